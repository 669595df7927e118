#include "memory_sound.h"

#include "sndfile_api.h"

#include <algorithm>
#include <cstring>

namespace tvdh {

namespace {

MemoryFile* Of(void* user) { return static_cast<MemoryFile*>(user); }

sf_count_t Length(void* user) { return static_cast<sf_count_t>(Of(user)->bytes->size()); }

sf_count_t Seek(sf_count_t offset, int whence, void* user) {
  MemoryFile* f = Of(user);
  sf_count_t base = 0;
  if (whence == SEEK_CUR) base = f->position;
  if (whence == SEEK_END) base = Length(user);
  if (base + offset < 0) return -1;
  f->position = base + offset;
  return f->position;
}

sf_count_t Read(void* out, sf_count_t count, void* user) {
  MemoryFile* f = Of(user);
  const sf_count_t left = std::max<sf_count_t>(0, Length(user) - f->position);
  const sf_count_t n = std::min(count, left);
  if (n > 0) std::memcpy(out, f->bytes->data() + f->position, static_cast<std::size_t>(n));
  f->position += n;
  return n;
}

sf_count_t Write(const void* in, sf_count_t count, void* user) {
  MemoryFile* f = Of(user);
  const std::size_t end = static_cast<std::size_t>(f->position + count);
  if (end > f->bytes->size()) f->bytes->resize(end);
  std::memcpy(f->bytes->data() + f->position, in, static_cast<std::size_t>(count));
  f->position += count;
  return count;
}

sf_count_t Tell(void* user) { return Of(user)->position; }

}  // namespace

SNDFILE* OpenMemory(MemoryFile* file, int mode, SF_INFO* info) {
  static SF_VIRTUAL_IO io{Length, Seek, Read, Write, Tell};
  file->position = 0;
  return Sndfile()->open_virtual(&io, mode, info, file);
}

bool ReadAllFrames(SNDFILE* sound, int channels, std::vector<short>* samples) {
  constexpr sf_count_t kChunk = 4096;
  std::vector<short> chunk(static_cast<std::size_t>(kChunk * channels));
  for (;;) {
    const sf_count_t got = Sndfile()->readf_short(sound, chunk.data(), kChunk);
    if (got <= 0) break;
    samples->insert(samples->end(), chunk.begin(), chunk.begin() + got * channels);
  }
  return Sndfile()->error(sound) == SF_ERR_NO_ERROR;
}

}  // namespace tvdh
