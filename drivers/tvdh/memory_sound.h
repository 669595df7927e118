// libsndfile on bytes in memory, through its virtual I/O.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <vector>

namespace tvdh {

// A byte vector that libsndfile reads, writes and seeks in. `bytes` must
// outlive the SNDFILE opened on it; writing grows it as libsndfile writes
// past its end.
struct MemoryFile {
  std::vector<std::uint8_t>* bytes = nullptr;
  sf_count_t position = 0;
};

// sf_open_virtual on `file`, read from its start. Null when libsndfile
// refuses the format in `info`.
SNDFILE* OpenMemory(MemoryFile* file, int mode, SF_INFO* info);

// Reads every frame left in `sound` as 16-bit samples, appended to `samples`.
// False when libsndfile reports an error on the way.
bool ReadAllFrames(SNDFILE* sound, int channels, std::vector<short>* samples);

}  // namespace tvdh
