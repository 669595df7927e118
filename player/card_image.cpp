#include "card_image.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace player {

namespace {

std::string Reason(const std::string& what, int err) { return what + ": " + std::strerror(err); }

}  // namespace

bool MakeFolders(const std::string& path, unsigned mode, std::string* error) {
  if (path.empty()) return true;
  // Walk the components from the top so that each mkdir has its parent.
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), mode) == 0 || errno == EEXIST) continue;
    *error = Reason("cannot create folder " + prefix, errno);
    return false;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = path + " is not a folder";
    return false;
  }
  return true;
}

int OpenCardImage(const std::string& path, std::uint32_t sizeMiB, std::string* error) {
  if (path.empty()) {
    *error = "no card image given";
    return -1;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    if (sizeMiB == 0 || sizeMiB > kMaxCardMiB) {
      *error = "card size must be 1 to " + std::to_string(kMaxCardMiB) + " MiB";
      return -1;
    }
    if (auto slash = path.rfind('/'); slash != std::string::npos && slash > 0) {
      if (!MakeFolders(path.substr(0, slash), 0755, error)) return -1;
    }
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      *error = Reason("cannot create card image " + path, errno);
      return -1;
    }
    // ftruncate leaves a hole: the blank card reads as zeros and costs no disk.
    if (::ftruncate(fd, static_cast<off_t>(sizeMiB) * 1024 * 1024) != 0) {
      int err = errno;
      ::close(fd);
      ::unlink(path.c_str());
      *error = Reason("cannot size card image " + path, err);
      return -1;
    }
    return fd;
  }
  if (fd < 0) {
    *error = Reason("cannot open card image " + path, errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *error = Reason("cannot examine card image " + path, errno);
    ::close(fd);
    return -1;
  }
  const char* fault = nullptr;
  if (!S_ISREG(st.st_mode)) {
    fault = "is not a regular file";
  } else if (st.st_size <= 0) {
    fault = "is empty";
  } else if (st.st_size % 512 != 0) {
    fault = "is not a whole number of 512-byte sectors";
  } else if (st.st_size / 512 > 0xFFFFFFFFLL) {
    fault = "is too large for a card";
  }
  if (fault) {
    *error = "card image " + path + " " + fault;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace player
