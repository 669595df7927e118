// SHA-256 through Windows' own cryptography (CNG).
#include "platform.h"

#include <cstdio>
#include <memory>
#include <vector>
#include <windows.h>
#include <bcrypt.h>

namespace platform {

namespace {

struct HashHandles {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~HashHandles() {
    if (hash) ::BCryptDestroyHash(hash);
    if (algorithm) ::BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

bool Ok(NTSTATUS status) { return status >= 0; }

}  // namespace

std::string Sha256OfFile(const std::string& path) {
  const int fd = OpenFile(path, kOpenRead);
  if (fd < 0) return {};
  HashHandles h;
  bool good = Ok(::BCryptOpenAlgorithmProvider(&h.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
              Ok(::BCryptCreateHash(h.algorithm, &h.hash, nullptr, 0, nullptr, 0, 0));
  std::vector<unsigned char> buffer(65536);
  long long n = 0;
  while (good && (n = ReadSome(fd, buffer.data(), buffer.size())) > 0)
    good = Ok(::BCryptHashData(h.hash, buffer.data(), static_cast<ULONG>(n), 0));
  CloseFile(fd);
  unsigned char digest[32];
  if (!good || n < 0 || !Ok(::BCryptFinishHash(h.hash, digest, sizeof digest, 0))) return {};
  static const char* hex = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : digest) {
    text += hex[byte >> 4];
    text += hex[byte & 15];
  }
  return text;
}

}  // namespace platform
