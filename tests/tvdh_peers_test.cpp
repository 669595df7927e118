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
bool HaveFfmpeg() { return std::system("ffmpeg -version >/dev/null 2>&1") == 0; }

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
  // `voc` decoded by the decoder and by sox (by ffmpeg with `ffmpeg`).
  void BothDecode(const std::string& voc, Sound* ours, Sound* theirs, bool ffmpeg = false) {
    const std::string a = dir_ / "ours.wav", b = dir_ / "theirs.wav";
    ASSERT_EQ(TVDecodeToWavFile(kVoiceDecodeMode, voc.c_str(), a.c_str()), kTvdhOk);
    if (ffmpeg)
      ASSERT_TRUE(Shell("ffmpeg -nostdin -v quiet -i " + Quoted(voc) + " -c:a pcm_s16le -y " + Quoted(b)));
    else
      ASSERT_TRUE(Shell("sox " + Quoted(voc) + " -b 16 -e signed-integer " + Quoted(b)));
    *ours = ReadSound(a);
    *theirs = ReadSound(b);
  }
  // `raw` (interleaved 16-bit) written by sox as a voice file in `encoding`.
  std::string SoxVoiceFile(const Bytes& raw, int rate, int channels, const std::string& encoding) {
    const std::string rawPath = dir_ / "t.raw", voc = dir_ / "t.voc";
    EXPECT_TRUE(WriteFile(rawPath, raw));
    EXPECT_TRUE(Shell("sox -t raw -r " + std::to_string(rate) + " -e signed-integer -b 16 -c " +
                      std::to_string(channels) + " " + Quoted(rawPath) + " " + encoding + " " + Quoted(voc)));
    return voc;
  }
  TempDir dir_;
};

// ffmpeg's cases need sox (to write the files) and ffmpeg.
class tvdh_peers_ffmpeg : public tvdh_peers {
 protected:
  void SetUp() override {
    tvdh_peers::SetUp();
    if (!IsSkipped() && !HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  }
};

struct SoxRow {
  int rate, channels;
  const char* encoding;  // sox's words for the voice file's coding
  bool sixteen() const { return std::string(encoding).find("-b 16") != std::string::npos; }
};
const SoxRow kSoxRows[] = {
    {8000, 1, "-e signed-integer -b 16"},   {8000, 2, "-e signed-integer -b 16"},
    {22050, 1, "-e signed-integer -b 16"},  {44100, 2, "-e signed-integer -b 16"},
    {8000, 1, "-e unsigned-integer -b 8"},  {11025, 2, "-e unsigned-integer -b 8"},
    {16000, 1, "-e unsigned-integer -b 8"},
};
// Each of the stray bytes a 16-bit file's short block count can leave as a
// block type (the low byte of the 4th sample from the end).
const unsigned kStrays[] = {0x01u, 0x03u, 0x08u, 0x02u, 0x00u};

Bytes StrayTone(const SoxRow& r, unsigned stray) {
  Bytes raw = ToneRaw(4000, r.rate, r.channels, 440);
  raw[raw.size() - 8] = static_cast<std::uint8_t>(stray);
  raw[raw.size() - 7] = 0x34;
  return raw;
}

// Creative ADPCM bytes after a mid-scale reference: codes that rise in the
// first half of each period of 200 bytes and fall in the second.
Bytes AdpcmVoiceFile(unsigned coding, std::uint8_t channels = 1) {
  Bytes voc{'C', 'r', 'e', 'a', 't', 'i', 'v', 'e', ' ', 'V', 'o', 'i', 'c', 'e', ' ', 'F', 'i', 'l', 'e', 0x1A,
            26, 0, 0x0A, 0x01, 0x29, 0x11};
  Bytes data;
  if (coding != 0x200) data.push_back(0x80);
  for (int i = 0; i < 2000; ++i) {
    const double x = std::sin(2 * M_PI * i / 200.0);
    const std::uint8_t up = coding == 1 ? 0x22 : coding == 2 ? 0x24 : coding == 3 ? 0x55 : 0x31;
    const std::uint8_t down = coding == 1 ? 0xAA : coding == 2 ? 0xB6 : coding == 3 ? 0xFF : 0xB9;
    data.push_back(x > 0 ? up : down);
  }
  if (coding == 0x200) {
    // A new-format block: rate, bits, channels, coding, reserved.
    const std::size_t size = data.size() + 12;
    voc.insert(voc.end(), {9, std::uint8_t(size), std::uint8_t(size >> 8), std::uint8_t(size >> 16), 0x40, 0x1F, 0,
                           0, 4, channels, 0x00, 0x02, 0, 0, 0, 0});
  } else {
    const std::size_t size = data.size() + 2;
    voc.insert(voc.end(), {1, std::uint8_t(size), std::uint8_t(size >> 8), std::uint8_t(size >> 16), 0x83,
                           static_cast<std::uint8_t>(coding)});
  }
  voc.insert(voc.end(), data.begin(), data.end());
  voc.push_back(0);
  return voc;
}

TEST_F(tvdh_peers, FilesSoxWritesDecodeAsSoxReadsThem) {
  for (const SoxRow& r : kSoxRows) {
    for (unsigned stray : kStrays) {
      SCOPED_TRACE(testing::Message() << r.rate << " Hz, " << r.channels << " ch, " << r.encoding << ", stray "
                                      << stray);
      Sound ours, theirs;
      BothDecode(SoxVoiceFile(StrayTone(r, stray), r.rate, r.channels, r.encoding), &ours, &theirs);
      EXPECT_EQ(ours.rate, theirs.rate);
      EXPECT_EQ(ours.channels, theirs.channels);
      if (r.sixteen() && (stray == 2 || stray == 3)) {
        // sox reads the stray bytes as a continuation (two more frames) or
        // a silence (one more); the decoder ignores them, so its frames are
        // sox's up to those.
        ASSERT_LE(ours.samples.size(), theirs.samples.size());
        EXPECT_LE(theirs.samples.size() - ours.samples.size(), 2u * static_cast<unsigned>(r.channels));
        EXPECT_TRUE(std::equal(ours.samples.begin(), ours.samples.end(), theirs.samples.begin()));
      } else {
        EXPECT_EQ(ours.samples, theirs.samples);
      }
      if (r.sixteen()) {
        EXPECT_EQ(ours.samples.size(), (4000u - 4u / static_cast<unsigned>(r.channels)) * r.channels);
      }
    }
  }
}

TEST_F(tvdh_peers_ffmpeg, FilesSoxWritesDecodeAsFfmpegReadsThem) {
  for (const SoxRow& r : kSoxRows) {
    for (unsigned stray : kStrays) {
      SCOPED_TRACE(testing::Message() << r.rate << " Hz, " << r.channels << " ch, " << r.encoding << ", stray "
                                      << stray);
      Sound ours, theirs;
      BothDecode(SoxVoiceFile(StrayTone(r, stray), r.rate, r.channels, r.encoding), &ours, &theirs, true);
      EXPECT_EQ(ours.rate, theirs.rate);
      EXPECT_EQ(ours.channels, theirs.channels);
      // ffmpeg reads some of the stray bytes as sound (up to two frames);
      // up to them it has the decoder's samples.
      ASSERT_LE(ours.samples.size(), theirs.samples.size());
      EXPECT_LE(theirs.samples.size() - ours.samples.size(), 2u * static_cast<unsigned>(r.channels));
      EXPECT_TRUE(std::equal(ours.samples.begin(), ours.samples.end(), theirs.samples.begin()));
      if (!r.sixteen()) {
        EXPECT_EQ(ours.samples, theirs.samples);
      }
    }
  }
}

TEST_F(tvdh_peers_ffmpeg, AdpcmAsFfmpegReadsIt) {
  const std::pair<unsigned, std::uint8_t> rows[] = {{1, 1}, {2, 1}, {3, 1}, {0x200, 1}, {0x200, 2}};
  for (const auto& [coding, channels] : rows) {
    SCOPED_TRACE(testing::Message() << coding << ", " << int(channels) << " channel(s)");
    const std::string path = dir_ / "a.voc";
    ASSERT_TRUE(WriteFile(path, AdpcmVoiceFile(coding, channels)));
    Sound ours, theirs;
    BothDecode(path, &ours, &theirs, true);
    EXPECT_EQ(ours.rate, theirs.rate);
    EXPECT_EQ(ours.channels, theirs.channels);
    ASSERT_EQ(ours.samples.size(), theirs.samples.size());
    const int scale = coding == 0x200 ? 1 : 2;
    std::size_t differ = 0;
    for (std::size_t i = 0; i < ours.samples.size(); ++i) differ += ours.samples[i] != scale * theirs.samples[i];
    EXPECT_EQ(differ, 0u) << "of " << ours.samples.size();
  }
}

// Creative's 8-bit ADPCM: sox's reading of the codings differs from the
// format's definition in how the step follows the codes, so the two agree
// on the sound within a tolerance, not sample for sample.
TEST_F(tvdh_peers, AdpcmNearSox) {
  for (unsigned coding : {1u, 2u, 3u}) {
    SCOPED_TRACE(coding);
    const std::string path = dir_ / "a.voc";
    ASSERT_TRUE(WriteFile(path, AdpcmVoiceFile(coding)));
    Sound ours, theirs;
    BothDecode(path, &ours, &theirs);
    EXPECT_EQ(ours.rate, theirs.rate);
    ASSERT_EQ(ours.samples.size(), theirs.samples.size());
    double sum = 0, power = 0;
    for (std::size_t i = 0; i < ours.samples.size(); ++i) {
      sum += std::pow(double(ours.samples[i]) - theirs.samples[i], 2);
      power += std::pow(double(theirs.samples[i]), 2);
    }
    // Within a tenth of the signal's own level (measured: 0.7 %, 1.5 % and 5.4 %
    // for the 4-, 2.6- and 2-bit codings).
    EXPECT_LT(std::sqrt(sum), 0.1 * std::sqrt(power));
  }
}

}  // namespace
