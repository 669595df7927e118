// A 16-bit PCM WAV file written by the decoder itself: a 44-byte header (the
// RIFF chunk, a 16-byte "fmt " chunk, the "data" chunk) and the samples,
// little-endian, as libsndfile writes one. The header's two sizes are
// written as zero first and set when the file is finished, so a file cut
// short by a failure never claims samples it does not hold.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tvdh {

class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Creates or empties the file at `path` and writes the header. False when
  // it cannot be opened or written.
  bool Open(const std::string& path, int rate, int channels);
  // `frames` interleaved frames. False on a write failure, and on every
  // call after one; also when the data would pass what a WAV file's 32-bit
  // sizes can state.
  bool Write(const short* samples, std::size_t frames);
  // Sets the header's sizes and closes the file. False when anything
  // written since Open failed, or the file could not be completed.
  bool Close();

 private:
  std::FILE* file_ = nullptr;
  int rate_ = 0;
  int channels_ = 1;
  std::uint64_t dataBytes_ = 0;
  bool failed_ = false;
  std::vector<std::uint8_t> buffer_;
};

// The 44 bytes of a 16-bit PCM WAV header whose data chunk holds
// `dataBytes` bytes (at most 0xFFFFFFFF - 36).
std::vector<std::uint8_t> WavHeader(int rate, int channels, std::uint32_t dataBytes);

// A 16-bit PCM WAV file read back, as WavWriter and libsndfile write one:
// the chunks before "data" are walked past (so a "LIST" or "fact" chunk
// is no obstacle). A data chunk that claims more than the file holds is a
// read failure when its end is reached.
class WavReader {
 public:
  WavReader() = default;
  ~WavReader();
  WavReader(const WavReader&) = delete;
  WavReader& operator=(const WavReader&) = delete;

  // False when the file cannot be opened or is no 16-bit PCM WAV file.
  bool Open(const std::string& path);
  int Rate() const { return rate_; }
  int Channels() const { return channels_; }
  std::uint64_t Frames() const { return frames_; }
  // Up to `frames` interleaved frames into `samples`; how many were read,
  // 0 at the end, -1 when the file could not be read.
  std::int64_t Read(short* samples, std::size_t frames);

 private:
  std::FILE* file_ = nullptr;
  int rate_ = 0;
  int channels_ = 0;
  std::uint64_t frames_ = 0;
  std::uint64_t left_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace tvdh
