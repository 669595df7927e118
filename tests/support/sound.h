// Sound for the decoder's tests: the WAV files it writes read back, and
// samples coded as a voice file's companded codings by an encoder of the
// test's own (the decoder only decodes them). On Linux libsndfile reads the
// WAV files, so that they are read by another hand than the decoder's;
// where libsndfile is missing (Windows) the decoder's own WavReader does.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include "wav_writer.h"
#endif

// Skips the rest of a case where libsndfile (or libsamplerate) is not at
// hand, as on Windows: what follows codes, reads or resamples sound that
// only the library does.
#ifdef _WIN32
#define ZK27_NEEDS_SNDFILE(what) GTEST_SKIP() << "no libsndfile here: " << (what)
#else
#define ZK27_NEEDS_SNDFILE(what) \
  do {                           \
  } while (0)
#endif

namespace zk27_test {

struct Sound {
  int rate = 0;
  int channels = 0;
  int format = 0;  // libsndfile's SF_FORMAT_* of the file
  std::vector<short> samples;
};

inline Sound ReadSound(const std::string& path) {
  Sound s;
#ifdef _WIN32
  tvdh::WavReader wav;
  EXPECT_TRUE(wav.Open(path)) << path << " is no 16-bit WAV file";
  s.rate = wav.Rate();
  s.channels = wav.Channels();
  s.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  s.samples.resize(static_cast<std::size_t>(wav.Frames()) * static_cast<std::size_t>(wav.Channels()));
  EXPECT_EQ(wav.Read(s.samples.data(), static_cast<std::size_t>(wav.Frames())),
            static_cast<std::int64_t>(wav.Frames()));
  EXPECT_EQ(wav.Read(s.samples.data(), 1), 0) << path << " holds more than its header says";
#else
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
  if (!f) return s;
  s.rate = info.samplerate;
  s.channels = info.channels;
  s.format = info.format;
  s.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
  EXPECT_EQ(sf_readf_short(f, s.samples.data(), info.frames), info.frames);
  sf_close(f);
#endif
  return s;
}

// G.711 A-law of a 16-bit sample: 13 bits kept, as a segment (the position
// of the leading one) and four bits below it, even bits inverted.
inline std::uint8_t ALawCode(int sample) {
  int v = sample >> 3;
  const std::uint8_t mask = v >= 0 ? 0xD5 : 0x55;
  if (v < 0) v = -v - 1;
  int segment = 0;
  while (segment < 8 && v > (0x20 << segment) - 1) ++segment;
  if (segment == 8) return static_cast<std::uint8_t>(0x7F ^ mask);
  const int low = segment < 2 ? (v >> 1) & 0xF : (v >> segment) & 0xF;
  return static_cast<std::uint8_t>(((segment << 4) | low) ^ mask);
}

// G.711 mu-law of a 16-bit sample: 14 bits kept, biased by 33 so that the
// segments double from the start, all bits inverted.
inline std::uint8_t MuLawCode(int sample) {
  int v = sample >> 2;
  const std::uint8_t mask = v < 0 ? 0x7F : 0xFF;
  v = std::abs(v);
  if (v > 8159) v = 8159;
  v += 0x84 >> 2;
  int segment = 0;
  while (segment < 8 && v > (0x40 << segment) - 1) ++segment;
  if (segment == 8) return static_cast<std::uint8_t>(0x7F ^ mask);
  return static_cast<std::uint8_t>(((segment << 4) | ((v >> (segment + 1)) & 0xF)) ^ mask);
}

}  // namespace zk27_test
