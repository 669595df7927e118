// Voice files built byte by byte, for the decoder's tests.
#pragma once

#include <cstdint>

#include "support/files.h"

namespace zk27_test {

inline void Put16(Bytes* b, unsigned v) { b->insert(b->end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }
inline void Put32(Bytes* b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// The 26-byte header of a voice file of format `version` (0x010A, 0x0114),
// its check word right.
inline Bytes VocHeader(unsigned version) {
  const char magic[] = "Creative Voice File\x1A";
  Bytes b(magic, magic + 20);
  Put16(&b, 26);
  Put16(&b, version);
  Put16(&b, (~version + 0x1234u) & 0xFFFF);
  return b;
}

}  // namespace zk27_test
