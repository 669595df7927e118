// The voice decoder beside sox, where sox is installed: voice files that sox
// writes decode to exactly the samples sox reads from them (the 16-bit ones,
// whose block sox counts 8 bytes short, up to what sox makes of the stray
// bytes), and Creative's 8-bit ADPCM, which
// sox reads by a reading of its own, to nearly the same sound. Without sox
// every case is skipped (CTest counts it as skipped, not passed).
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/files.h"
#include "tvdh.h"

namespace {

using namespace zk27_test;
using Samples = std::vector<short>;

bool HaveSox() { return std::system("sox --version >/dev/null 2>&1") == 0; }

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

bool Shell(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

struct Sound {
  int rate = 0, channels = 0;
  Samples samples;
};

Sound ReadSound(const std::string& path) {
  Sound s;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  EXPECT_NE(f, nullptr) << path;
  if (!f) return s;
  s.rate = info.samplerate;
  s.channels = info.channels;
  s.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
  sf_readf_short(f, s.samples.data(), info.frames);
  sf_close(f);
  return s;
}

// Interleaved 16-bit samples of a tone, `frames` long.
Bytes ToneRaw(std::size_t frames, int rate, int channels, double hz) {
  Bytes b;
  for (std::size_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) {
      const auto v = static_cast<std::uint16_t>(std::lround(20000 * std::sin(2 * M_PI * hz * (c + 1) * i / rate)));
      b.push_back(static_cast<std::uint8_t>(v));
      b.push_back(static_cast<std::uint8_t>(v >> 8));
    }
  return b;
}

class tvdh_peers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveSox()) GTEST_SKIP() << "sox is not installed (scripts/setup installs it)";
  }
  // `voc` decoded by the decoder and by sox.
  void BothDecode(const std::string& voc, Sound* ours, Sound* theirs) {
    const std::string a = dir_ / "ours.wav", b = dir_ / "sox.wav";
    ASSERT_EQ(TVDecodeToWavFile(kVoiceDecodeMode, voc.c_str(), a.c_str()), kTvdhOk);
    ASSERT_TRUE(Shell("sox " + Quoted(voc) + " -b 16 -e signed-integer " + Quoted(b)));
    *ours = ReadSound(a);
    *theirs = ReadSound(b);
  }
  TempDir dir_;
};

TEST_F(tvdh_peers, FilesSoxWritesDecodeAsSoxReadsThem) {
  struct Row {
    int rate, channels;
    const char* encoding;  // sox's words for the voice file's coding
  };
  const Row rows[] = {
      {8000, 1, "-e signed-integer -b 16"},   {8000, 2, "-e signed-integer -b 16"},
      {22050, 1, "-e signed-integer -b 16"},  {44100, 2, "-e signed-integer -b 16"},
      {8000, 1, "-e unsigned-integer -b 8"},  {11025, 2, "-e unsigned-integer -b 8"},
      {16000, 1, "-e unsigned-integer -b 8"},
  };
  for (const Row& r : rows) {
    // Each of the stray bytes a 16-bit file's short block count can leave
    // as a block type; for 8-bit files the same tones.
    for (unsigned stray : {0x01u, 0x03u, 0x08u, 0x02u, 0x00u}) {
      SCOPED_TRACE(testing::Message() << r.rate << " Hz, " << r.channels << " ch, " << r.encoding << ", stray "
                                      << stray);
      Bytes raw = ToneRaw(4000, r.rate, r.channels, 440);
      raw[raw.size() - 8] = static_cast<std::uint8_t>(stray);  // the 4th sample from the end, low byte
      raw[raw.size() - 7] = 0x34;
      const std::string rawPath = dir_ / "t.raw", voc = dir_ / "t.voc";
      ASSERT_TRUE(WriteFile(rawPath, raw));
      ASSERT_TRUE(Shell("sox -t raw -r " + std::to_string(r.rate) + " -e signed-integer -b 16 -c " +
                      std::to_string(r.channels) + " " + Quoted(rawPath) + " " + r.encoding + " " + Quoted(voc)));
      Sound ours, theirs;
      BothDecode(voc, &ours, &theirs);
      // A time constant states a rate only roughly: the decoder takes the
      // nearest whole rate (11,025 Hz for sox's 11,024.98), sox the one below.
      EXPECT_NEAR(ours.rate, theirs.rate, std::string(r.encoding).find("-b 8") != std::string::npos ? 1 : 0);
      EXPECT_EQ(ours.channels, theirs.channels);
      const bool sixteen = std::string(r.encoding).find("-b 16") != std::string::npos;
      if (sixteen && (stray == 2 || stray == 3)) {
        // sox reads the stray bytes as a continuation (two more frames) or
        // a silence (one more); the decoder ignores them, so its frames are
        // sox's up to those.
        ASSERT_LE(ours.samples.size(), theirs.samples.size());
        EXPECT_LE(theirs.samples.size() - ours.samples.size(), 2u * static_cast<unsigned>(r.channels));
        EXPECT_TRUE(std::equal(ours.samples.begin(), ours.samples.end(), theirs.samples.begin()));
        EXPECT_EQ(ours.samples.size(), (4000u - 4u / static_cast<unsigned>(r.channels)) * r.channels);
      } else {
        EXPECT_EQ(ours.samples, theirs.samples);
      }
    }
  }
}

// Creative's 8-bit ADPCM: sox's reading of the codings differs from the
// format's definition in how the step follows the codes, so the two agree
// on the sound within a tolerance, not sample for sample.
TEST_F(tvdh_peers, AdpcmNearSox) {
  for (unsigned coding : {1u, 2u, 3u}) {
    SCOPED_TRACE(coding);
    // Bytes of a slowly varying code pattern after a mid-scale reference.
    Bytes voc{'C', 'r', 'e', 'a', 't', 'i', 'v', 'e', ' ', 'V', 'o', 'i', 'c', 'e', ' ', 'F', 'i', 'l', 'e', 0x1A,
              26, 0, 0x0A, 0x01, 0x29, 0x11};
    Bytes data{0x80};
    for (int i = 0; i < 2000; ++i) {
      const double x = std::sin(2 * M_PI * i / 200.0);
      // Codes that rise in the first half of each period and fall in the second.
      const std::uint8_t up = coding == 1 ? 0x22 : coding == 2 ? 0x24 : 0x55;
      const std::uint8_t down = coding == 1 ? 0xAA : coding == 2 ? 0xB6 : 0xFF;
      data.push_back(x > 0 ? up : down);
    }
    voc.push_back(1);
    const std::size_t size = data.size() + 2;
    voc.insert(voc.end(), {std::uint8_t(size), std::uint8_t(size >> 8), std::uint8_t(size >> 16), 0x83,
                           static_cast<std::uint8_t>(coding)});
    voc.insert(voc.end(), data.begin(), data.end());
    voc.push_back(0);
    const std::string path = dir_ / "a.voc";
    ASSERT_TRUE(WriteFile(path, voc));
    Sound ours, theirs;
    BothDecode(path, &ours, &theirs);
    EXPECT_EQ(ours.rate, theirs.rate);
    ASSERT_EQ(ours.samples.size(), theirs.samples.size());
    double sum = 0, power = 0;
    for (std::size_t i = 0; i < ours.samples.size(); ++i) {
      sum += std::pow(double(ours.samples[i]) - theirs.samples[i], 2);
      power += std::pow(double(theirs.samples[i]), 2);
    }
    // Within a tenth of the signal's own level (measured: 0.7 %, 1.5 % and 5 %
    // for the 4-, 2.6- and 2-bit codings).
    EXPECT_LT(std::sqrt(sum), 0.1 * std::sqrt(power));
  }
}

}  // namespace
