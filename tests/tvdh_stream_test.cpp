// The voice decoder on the whole Creative Voice format: each ADPCM coding
// against the coding's definition (worked examples, and files coded here by
// an encoder that searches the codes), each block kind and header variant,
// damaged and odd files, rate changes, other formats' files, FLAC and Ogg
// output, and memory that does not grow with the recording. Every file is
// built here, byte by byte; the sound files written are read back with
// libsndfile (by the decoder's own reader where libsndfile is missing).
#include <gtest/gtest.h>
#include <sndfile.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "cardops.h"
#include "support/files.h"
#include "support/sound.h"
#include "support/voc.h"
#include "tvdh.h"

namespace {

using namespace zk27_test;
using Samples = std::vector<short>;

// ---- building voice files -------------------------------------------------------

Bytes VocHeader() { return zk27_test::VocHeader(0x0114); }

// A block of `type` whose size field says `declared` (the body's own size
// when negative).
void Block(Bytes* file, std::uint8_t type, const Bytes& body, long declared = -1) {
  const std::uint32_t size =
      declared < 0 ? static_cast<std::uint32_t>(body.size()) : static_cast<std::uint32_t>(declared);
  file->push_back(type);
  Put16(file, size & 0xFFFF);
  file->push_back(static_cast<std::uint8_t>(size >> 16));
  file->insert(file->end(), body.begin(), body.end());
}

void SoundBlock(Bytes* file, std::uint8_t timeConstant, std::uint8_t coding, const Bytes& data) {
  Bytes body{timeConstant, coding};
  body.insert(body.end(), data.begin(), data.end());
  Block(file, 1, body);
}

Bytes NewSoundFields(std::uint32_t rate, std::uint8_t bits, std::uint8_t channels, unsigned coding) {
  Bytes body;
  Put32(&body, rate);
  body.insert(body.end(), {bits, channels});
  Put16(&body, coding);
  Put32(&body, 0);
  return body;
}

void NewSoundBlock(Bytes* file, std::uint32_t rate, std::uint8_t bits, std::uint8_t channels, unsigned coding,
                   const Bytes& data) {
  Bytes body = NewSoundFields(rate, bits, channels, coding);
  body.insert(body.end(), data.begin(), data.end());
  Block(file, 9, body);
}

void Silence(Bytes* file, unsigned frames, std::uint8_t timeConstant) {
  Block(file, 3, {std::uint8_t((frames - 1) & 0xFF), std::uint8_t((frames - 1) >> 8), timeConstant});
}

Bytes Pcm16(const Samples& s) {
  Bytes b;
  for (short v : s) Put16(&b, static_cast<std::uint16_t>(v));
  return b;
}

Bytes PcmU8(const Samples& s) {
  Bytes b;
  for (short v : s) b.push_back(static_cast<std::uint8_t>((v >> 8) + 128));
  return b;
}

Samples FromU8(const Samples& s) {
  Samples out;
  for (short v : s) out.push_back(static_cast<short>((v >> 8) * 256));
  return out;
}

// A tone of `hz` at `rate`, `frames` long, at 60 % of full scale; a second
// channel at twice the frequency.
Samples Tone(std::size_t frames, int rate, double hz, int channels = 1) {
  Samples s;
  for (std::size_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      s.push_back(static_cast<short>(std::lround(19000 * std::sin(2 * std::numbers::pi * hz * (c + 1) * i / rate))));
  return s;
}

// ---- the codings' definitions, as an encoder sees them --------------------------------

// Creative's ADPCM of 8-bit sound (codings 1, 2, 3): one channel's state.
struct ByteState {
  int value = 128, step = 0;
};

int ByteStep(ByteState* st, unsigned code, int codeBits, int limit, int shift) {
  const unsigned sign = 1u << (codeBits - 1);
  const int magnitude = static_cast<int>(code & (sign - 1));
  const int delta = magnitude << (st->step + shift);
  st->value = std::clamp((code & sign) ? st->value - delta : st->value + delta, 0, 255);
  if (magnitude >= limit) st->step = std::min(st->step + 1, 3);
  if (magnitude == 0) st->step = std::max(st->step - 1, 0);
  return st->value;
}

// Codes mono 8-bit `target` (0..255) in `bits` (4, 3 or 2): the reference,
// then for each sample the code whose result comes nearest. `*decoded`
// receives what the definition makes of the codes, as 16-bit samples.
Bytes EncodeByteAdpcm(const std::vector<int>& target, int bits, Samples* decoded) {
  const int limit = bits == 4 ? 5 : bits == 3 ? 3 : 1, shift = bits == 2 ? 2 : 0;
  ByteState st;
  st.value = target[0];
  Bytes out{static_cast<std::uint8_t>(target[0])};
  decoded->push_back(static_cast<short>((target[0] - 128) * 256));
  // The code slots of one byte: the bits a code has, and where it sits.
  struct Slot {
    int codeBits, position;
  };
  std::vector<Slot> slots;
  if (bits == 4) slots = {{4, 4}, {4, 0}};
  if (bits == 3) slots = {{3, 5}, {3, 2}, {2, 0}};
  if (bits == 2) slots = {{2, 6}, {2, 4}, {2, 2}, {2, 0}};
  std::size_t i = 1;
  while (i < target.size()) {
    std::uint8_t byte = 0;
    for (const Slot& slot : slots) {
      const int want = i < target.size() ? target[i] : st.value;
      unsigned best = 0;
      int bestError = 1 << 30;
      for (unsigned code = 0; code < (1u << slot.codeBits); ++code) {
        ByteState trial = st;
        const int error = std::abs(ByteStep(&trial, code, slot.codeBits, limit, shift) - want);
        if (error < bestError) bestError = error, best = code;
      }
      ByteStep(&st, best, slot.codeBits, limit, shift);
      decoded->push_back(static_cast<short>((st.value - 128) * 256));
      byte |= static_cast<std::uint8_t>(best << slot.position);
      ++i;
    }
    out.push_back(byte);
  }
  return out;
}

// Creative's ADPCM of 16-bit sound (coding 0x200): one channel's state.
struct WordState {
  int value = 0, step = 511;
};

int WordStep(WordState* st, unsigned code) {
  static const int factor[8] = {230, 230, 230, 230, 307, 409, 512, 614};
  const int magnitude = static_cast<int>(code & 7);
  const int difference = ((2 * magnitude + 1) * st->step) / 8;
  const int kept = static_cast<int>(std::floor(st->value * 254 / 256.0));
  st->value = std::clamp((code & 8) ? kept - difference : kept + difference, -32768, 32767);
  st->step = std::clamp(st->step * factor[magnitude] / 256, 511, 32767);
  return st->value;
}

// Codes interleaved 16-bit `target` with `channels` (1 or 2): mono two
// samples a byte, high half first; stereo one frame a byte, left high.
Bytes EncodeWordAdpcm(const Samples& target, int channels, Samples* decoded) {
  std::vector<WordState> st(static_cast<std::size_t>(channels));
  Bytes out;
  for (std::size_t i = 0; i < target.size(); i += 2) {
    std::uint8_t byte = 0;
    for (std::size_t k = 0; k < 2; ++k) {
      WordState& s = st[(i + k) % static_cast<std::size_t>(channels)];
      const int want = i + k < target.size() ? target[i + k] : s.value;
      unsigned best = 0;
      int bestError = 1 << 30;
      for (unsigned code = 0; code < 16; ++code) {
        WordState trial = s;
        const int error = std::abs(WordStep(&trial, code) - want);
        if (error < bestError) bestError = error, best = code;
      }
      WordStep(&s, best);
      decoded->push_back(static_cast<short>(s.value));
      byte |= static_cast<std::uint8_t>(best << (k == 0 ? 4 : 0));
    }
    out.push_back(byte);
  }
  return out;
}

// ---- reading what was written ---------------------------------------------------------

double Rms(const Samples& a, const Samples& b, std::size_t from = 0, std::size_t to = SIZE_MAX) {
  to = std::min({to, a.size(), b.size()});
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += std::pow(double(a[i]) - b[i], 2);
  return to > from ? std::sqrt(sum / double(to - from)) : 0;
}

Samples Join(std::initializer_list<Samples> parts) {
  Samples all;
  for (const Samples& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class tvdh_format : public ::testing::Test {
 protected:
  int Decode(const Bytes& voc, const TvdhOutput& out = {}, TvdhReport* report = nullptr) {
    EXPECT_TRUE(WriteFile(in_, voc));
    return TVDecodeToFile(in_.c_str(), out_.c_str(), out, report);
  }
  // The samples of `voc` decoded to WAV; empty (and a failure) when refused.
  Samples Decoded(const Bytes& voc) {
    const int r = Decode(voc);
    EXPECT_EQ(r, kTvdhOk);
    return r == kTvdhOk ? ReadSound(out_).samples : Samples{};
  }
  TempDir dir_;
  const std::string in_ = dir_ / "in.voc";
  const std::string out_ = dir_ / "out.wav";
};

// ---- each ADPCM coding ------------------------------------------------------------

// Worked by hand from the definitions in adpcm.h.
TEST_F(tvdh_format, AdpcmCodingsWorkedExamples) {
  struct Row {
    const char* what;
    std::uint8_t coding;
    Bytes data;
    std::vector<int> eightBit;  // the 8-bit samples expected
  };
  const Row rows[] = {
      // +3; +5 (step 1); -(1<<1); -(7<<1) (step 2)
      {"4-bit", 1, {0x80, 0x35, 0x9F}, {128, 131, 136, 134, 120}},
      // +3 (step 1); +(2<<1); the third code, 2 bits, 11: -(1<<1)
      {"2.6-bit", 2, {0x80, 0x6B}, {128, 131, 135, 133}},
      // +(1<<2) (step 1); +(1<<3) (step 2); -(1<<4) (step 3); 0 (step 2)
      {"2-bit", 3, {0x80, 0x5C}, {128, 132, 140, 124, 124}},
      // from a reference near the top, +7 four times: kept at 255
      {"4-bit at the top", 1, {250, 0x77, 0x77}, {250, 255, 255, 255, 255}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Bytes voc = VocHeader();
    SoundBlock(&voc, 0x83, r.coding, r.data);
    voc.push_back(0);
    Samples want;
    for (int v : r.eightBit) want.push_back(static_cast<short>((v - 128) * 256));
    EXPECT_EQ(Decoded(voc), want);
    EXPECT_EQ(ReadSound(out_).rate, 8000);
  }
  // 16-bit ADPCM: code 7 from rest (difference 15 * 511 / 8 = 958, step
  // 511 * 614 / 256 = 1225), code 0 (950 + 153, step 1100), code 9
  // (1094 - 412, step 988), code 0 (676 + 123).
  Bytes voc = VocHeader();
  NewSoundBlock(&voc, 8000, 4, 1, 0x200, {0x70, 0x90});
  voc.push_back(0);
  EXPECT_EQ(Decoded(voc), (Samples{958, 1103, 682, 799}));
}

// A tone coded here in each ADPCM coding, split over a sound block and a
// continuation in the middle of a byte's codes: the decoder gives exactly
// what the definition makes of the codes, and that is near the tone.
TEST_F(tvdh_format, AdpcmCodingsFollowTheirDefinition) {
  const Samples tone = Tone(4001, 11025, 440);
  std::vector<int> eightBit;
  for (short v : tone) eightBit.push_back((v >> 8) + 128);
  for (int bits : {4, 3, 2}) {
    SCOPED_TRACE(bits);
    Samples want;
    const Bytes coded = EncodeByteAdpcm(eightBit, bits, &want);
    for (bool newFormat : {false, true}) {
      Bytes voc = VocHeader();
      const Bytes first(coded.begin(), coded.begin() + 777), rest(coded.begin() + 777, coded.end());
      const std::uint8_t coding = static_cast<std::uint8_t>(bits == 4 ? 1 : bits == 3 ? 2 : 3);
      if (newFormat)
        NewSoundBlock(&voc, 11025, static_cast<std::uint8_t>(bits), 1, coding, first);
      else
        SoundBlock(&voc, static_cast<std::uint8_t>(256 - 1000000 / 11025), coding, first);
      Block(&voc, 2, rest);
      voc.push_back(0);
      const Samples got = Decoded(voc);
      EXPECT_EQ(got, want);
      // 2 bits a sample follow a tone loosely; 4 bits closely.
      EXPECT_LT(Rms(got, FromU8(tone)), bits == 4 ? 1200 : bits == 3 ? 2500 : 5000);
    }
  }
  for (int channels : {1, 2}) {
    SCOPED_TRACE(channels);
    const Samples stereo = Tone(3000, 22050, 300, channels);
    Samples want;
    const Bytes coded = EncodeWordAdpcm(stereo, channels, &want);
    Bytes voc = VocHeader();
    NewSoundBlock(&voc, 22050, 4, static_cast<std::uint8_t>(channels), 0x200,
                  Bytes(coded.begin(), coded.begin() + 1001));
    Block(&voc, 2, Bytes(coded.begin() + 1001, coded.end()));
    voc.push_back(0);
    const Samples got = Decoded(voc);
    EXPECT_EQ(got, want);
    EXPECT_EQ(ReadSound(out_).channels, channels);
    EXPECT_LT(Rms(got, stereo), 1500);
  }
}

// ---- blocks and header variants ------------------------------------------------------

TEST_F(tvdh_format, HeaderVariantsOtherToolsRead) {
  const Samples a = Tone(300, 8000, 500);
  // The coding decides the sample size, whatever the bits field says.
  for (std::uint8_t bits : {12, 8, 16}) {
    SCOPED_TRACE(int(bits));
    Bytes voc = VocHeader();
    NewSoundBlock(&voc, 8000, bits, 1, 4, Pcm16(a));
    voc.push_back(0);
    EXPECT_EQ(Decoded(voc), a);
  }
  // A-law beside a bits field of 16: one byte a sample.
  Bytes alaw = VocHeader();
  NewSoundBlock(&alaw, 8000, 16, 1, 6, Bytes{0xD5, 0x55, 0x2A, 0xAA});
  alaw.push_back(0);
  EXPECT_EQ(Decoded(alaw), (Samples{8, -8, -32256, 32256}));
  // An extended block with mode 2: stereo, like any mode but 0.
  Bytes extended = VocHeader();
  Bytes fields;
  Put16(&fields, 65536 - 256000000 / (2 * 8000));
  fields.insert(fields.end(), {0, 2});
  Block(&extended, 8, fields);
  SoundBlock(&extended, 0x83, 0, PcmU8(Tone(100, 8000, 300, 2)));
  extended.push_back(0);
  EXPECT_EQ(Decoded(extended), FromU8(Tone(100, 8000, 300, 2)));
  EXPECT_EQ(ReadSound(out_).channels, 2);
  EXPECT_EQ(ReadSound(out_).rate, 8000);
  // A time constant of 255: a million samples a second.
  Bytes fast = VocHeader();
  SoundBlock(&fast, 255, 0, PcmU8(a));
  fast.push_back(0);
  EXPECT_EQ(Decoded(fast), FromU8(a));
  EXPECT_EQ(ReadSound(out_).rate, 1000000);
}

// Markers, text and repeat blocks carry no sound and are passed over (a
// repeat is played once); a continuation follows a silence.
TEST_F(tvdh_format, BlocksWithoutSoundArePassedOver) {
  const Samples a = Tone(200, 8000, 500), b = Tone(150, 8000, 900);
  Bytes voc = VocHeader();
  Block(&voc, 5, {'m', 'e', 'm', 'o', 0});
  Block(&voc, 6, {1, 0});  // repeat twice
  NewSoundBlock(&voc, 8000, 16, 1, 4, Pcm16(a));
  Block(&voc, 4, {7, 0});  // marker
  Block(&voc, 7, {});      // end of repeat
  Block(&voc, 0x42, {1, 2, 3, 4, 5});  // a kind the format does not have
  // A silence lasts its length at the sound's rate, whatever its own time
  // constant says (11111 Hz here).
  Silence(&voc, 50, 0xA6);
  Block(&voc, 2, Pcm16(b));
  voc.push_back(0);
  EXPECT_EQ(Decoded(voc), Join({a, Samples(50, 0), b}));
}

// ---- damage -----------------------------------------------------------------------

// Empty and too-short blocks are skipped, first or in the middle: what
// follows them is decoded.
TEST_F(tvdh_format, EmptyAndShortBlocksAreSkipped) {
  const Samples a = Tone(3000, 8000, 500), b = Tone(4013, 8000, 700);
  struct Row {
    const char* what;
    std::uint8_t type;
    Bytes body;
  };
  const Row rows[] = {
      {"empty sound block", 1, {}},         {"sound block of one byte", 1, {0x83}},
      {"empty new-format block", 9, {}},    {"new-format block of five bytes", 9, {0x40, 0x1F, 0, 0, 16}},
      {"silence of two bytes", 3, {9, 0}},  {"extended block of one byte", 8, {0}},
      {"empty continuation", 2, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Bytes middle = VocHeader();
    NewSoundBlock(&middle, 8000, 16, 1, 4, Pcm16(a));
    Block(&middle, r.type, r.body);
    NewSoundBlock(&middle, 8000, 16, 1, 4, Pcm16(b));
    middle.push_back(0);
    EXPECT_EQ(Decoded(middle), Join({a, b}));
    Bytes first = VocHeader();
    Block(&first, r.type, r.body);
    NewSoundBlock(&first, 8000, 16, 1, 4, Pcm16(b));
    first.push_back(0);
    EXPECT_EQ(Decoded(first), b);
  }
}

TEST_F(tvdh_format, LengthsPastTheEndAndLooseTailBytes) {
  const Samples a = Tone(1000, 8000, 500);
  // A sound block that claims more than the file holds: what it holds.
  Bytes cut = VocHeader();
  NewSoundBlock(&cut, 8000, 16, 1, 4, Pcm16(a));
  cut[26 + 1] = 0xFF;  // its size: 0x??FF.. past the end
  cut[26 + 3] = 0x7F;
  EXPECT_EQ(Decoded(cut), a);
  // A text block that claims more than the file holds ends the walk.
  Bytes text = VocHeader();
  NewSoundBlock(&text, 8000, 16, 1, 4, Pcm16(a));
  Block(&text, 5, {'a', 'b'}, 5000);
  EXPECT_EQ(Decoded(text), a);
  // A sound block in a coding no one knows, cut by the end of the file:
  // damage at the end, left out. Whole, it refuses the file.
  Bytes unknownTail = VocHeader();
  NewSoundBlock(&unknownTail, 8000, 16, 1, 4, Pcm16(a));
  Block(&unknownTail, 1, {0x83, 0x55, 1, 2, 3}, 5000);
  EXPECT_EQ(Decoded(unknownTail), a);
  Bytes unknownWhole = VocHeader();
  NewSoundBlock(&unknownWhole, 8000, 16, 1, 4, Pcm16(a));
  Block(&unknownWhole, 1, {0x83, 0x55, 1, 2, 3});
  EXPECT_EQ(Decode(unknownWhole), kTvdhNotVoice);
  // One to three bytes after the last block, no terminator: ignored.
  for (const Bytes& tail : {Bytes{1}, Bytes{1, 9}, Bytes{9, 0xFF, 0xFF}}) {
    Bytes loose = VocHeader();
    NewSoundBlock(&loose, 8000, 16, 1, 4, Pcm16(a));
    loose.insert(loose.end(), tail.begin(), tail.end());
    EXPECT_EQ(Decoded(loose), a);
  }
}

// sox writes a 16-bit sound block 8 bytes short of its samples and the
// terminator after them. sox reads such a file as its declared block; so
// does the decoder, whatever the stray bytes look like as a block header.
TEST_F(tvdh_format, SoxTailIsIgnoredAsSoxIgnoresIt) {
  for (int channels : {1, 2}) {
    for (unsigned lowByte : {0x01u, 0x03u, 0x08u, 0x02u, 0x09u, 0x00u}) {
      SCOPED_TRACE(testing::Message() << channels << " channel(s), stray type " << lowByte);
      Samples s = Tone(4000, 8000, 440, channels);
      s[s.size() - 4] = static_cast<short>(0x3400 | lowByte);
      Bytes voc = VocHeader();
      const Bytes data = Pcm16(s);
      Bytes body = NewSoundFields(8000, 16, static_cast<std::uint8_t>(channels), 4);
      body.insert(body.end(), data.begin(), data.end());
      Block(&voc, 9, body, static_cast<long>(body.size() - 8));
      voc.push_back(0);
      EXPECT_EQ(Decoded(voc), Samples(s.begin(), s.end() - 4));
    }
  }
}

// ---- rates ------------------------------------------------------------------------

// A later block at another rate is resampled to the first block's rate:
// nothing is dropped, and a tone stays the same tone.
TEST_F(tvdh_format, RateChangesAreResampledToTheFirstRate) {
  ZK27_NEEDS_SNDFILE("libsamplerate resamples");
  const Samples a = Tone(8000, 8000, 400), b = Tone(16000, 16000, 400);
  Bytes voc = VocHeader();
  NewSoundBlock(&voc, 8000, 16, 1, 4, Pcm16(a));
  NewSoundBlock(&voc, 16000, 16, 1, 4, Pcm16(b));
  NewSoundBlock(&voc, 8000, 16, 1, 4, Pcm16(a));
  voc.push_back(0);
  TvdhReport report;
  ASSERT_EQ(Decode(voc, {}, &report), kTvdhOk);
  EXPECT_EQ(report.outputRate, 8000);
  EXPECT_EQ(report.rates, (std::vector<int>{8000, 16000}));
  const Sound got = ReadSound(out_);
  EXPECT_EQ(got.rate, 8000);
  ASSERT_EQ(got.samples.size(), 24000u);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), got.samples.begin()));
  // The resampled second is the tone at 8 kHz, away from its edges.
  const Samples middle(got.samples.begin() + 8000, got.samples.begin() + 16000);
  EXPECT_LT(Rms(middle, a, 200, 7800), 300);
  // The third block comes after all of the second.
  EXPECT_TRUE(std::equal(a.begin(), a.end(), got.samples.end() - static_cast<long>(a.size())));

  // Old-format blocks with different time constants, and the note.
  Bytes old = VocHeader();
  SoundBlock(&old, 0x83, 0, PcmU8(Tone(800, 8000, 300)));
  SoundBlock(&old, 0xA6, 0, PcmU8(Tone(1111, 11111, 300)));
  old.push_back(0);
  ASSERT_TRUE(WriteFile(dir_ / "memo.voc", old));
  std::string outName;
  std::vector<std::string> notes;
  ASSERT_EQ(ConvertVoiceFile("memo.voc", &outName, dir_.path(), {}, &notes), kOpOk);
  EXPECT_EQ(outName, "memo.wav");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("memo.voc"), std::string::npos) << notes[0];
  EXPECT_NE(notes[0].find("8000 Hz, then 11111 Hz"), std::string::npos) << notes[0];
  EXPECT_NEAR(static_cast<double>(ReadSound(dir_ / "memo.wav").samples.size()), 1600.0, 3.0);
  // One rate throughout: nothing to say.
  notes.clear();
  Bytes plain = VocHeader();
  SoundBlock(&plain, 0x83, 0, Bytes(100, 0x90));
  plain.push_back(0);
  ASSERT_TRUE(WriteFile(dir_ / "plain.voc", plain));
  ASSERT_EQ(ConvertVoiceFile("plain.voc", &outName, dir_.path(), {}, &notes), kOpOk);
  EXPECT_TRUE(notes.empty());
}

// ---- other formats' files -------------------------------------------------------------

TEST_F(tvdh_format, OtherFormatsAreNoVoiceRecording) {
  // A WAV file and a FLAC file as libsndfile writes them.
  auto written = [&](int format) {
#ifdef _WIN32
    (void)format;
    return Bytes{};  // nothing writes them here
#else
    const std::string path = dir_ / "other";
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr);
    const Samples s = Tone(4000, 8000, 440);
    if (f) sf_writef_short(f, s.data(), static_cast<sf_count_t>(s.size()));
    if (f) sf_close(f);
    return ReadFile(path).value_or(Bytes{});
#endif
  };
  // Two MPEG-1 layer III frames of 128 kbit/s at 44.1 kHz (417 bytes each).
  Bytes mpeg;
  for (int i = 0; i < 2; ++i) {
    Bytes frame(417, 0x11);
    frame[0] = 0xFF, frame[1] = 0xFB, frame[2] = 0x90, frame[3] = 0x64;
    mpeg.insert(mpeg.end(), frame.begin(), frame.end());
  }
  Bytes id3{'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
  id3.insert(id3.end(), mpeg.begin(), mpeg.end());
  Bytes ogg{'O', 'g', 'g', 'S', 0, 2};
  ogg.resize(300, 0x33);
  const std::pair<const char*, Bytes> foreign[] = {
      {"WAV", written(SF_FORMAT_WAV | SF_FORMAT_PCM_16)}, {"FLAC", written(SF_FORMAT_FLAC | SF_FORMAT_PCM_16)},
      {"MP3 with a tag", id3}, {"MP3 frames", mpeg}, {"Ogg", ogg},
  };
  for (const auto& [what, bytes] : foreign) {
    SCOPED_TRACE(what);
    if (bytes.empty()) continue;  // not written: no libsndfile
    EXPECT_EQ(Decode(bytes), kTvdhForeign);
    EXPECT_FALSE(fs::exists(out_));
  }
  // Voice files with a damaged signature, or cut within it.
  Bytes good = VocHeader();
  NewSoundBlock(&good, 8000, 16, 1, 4, Pcm16(Tone(100, 8000, 440)));
  Bytes damaged = good;
  damaged[3] = 'a', damaged[9] = 'x', damaged[19] = 0;
  const std::pair<const char*, Bytes> broken[] = {
      {"signature damaged", damaged},
      {"cut within the signature", Bytes(good.begin(), good.begin() + 12)},
      {"cut after the signature", Bytes(good.begin(), good.begin() + 23)},
  };
  for (const auto& [what, bytes] : broken) {
    SCOPED_TRACE(what);
    EXPECT_EQ(Decode(bytes), kTvdhNotVoice);
    EXPECT_FALSE(fs::exists(out_));
  }
  // The engine's word for it.
  ASSERT_TRUE(WriteFile(dir_ / "song.voc", mpeg));
  std::string outName;
  EXPECT_EQ(ConvertVoiceFile("song.voc", &outName, dir_.path()), kOpNotVoice);
  EXPECT_NE(CardOpText(kOpNotVoice, "song.voc").find("not a voice recording"), std::string::npos);
  // Bytes that only begin like an MPEG frame are still headerless ADPCM.
  Bytes vox(2000, 0x17);
  vox[0] = 0xFF, vox[1] = 0xFB, vox[2] = 0x90, vox[3] = 0x64;
  EXPECT_EQ(Decode(vox), kTvdhOk);
  EXPECT_EQ(ReadSound(out_).samples.size(), 4000u);
}

// ---- output formats and rates --------------------------------------------------------

TEST_F(tvdh_format, FlacOggAndARateAskedFor) {
  ZK27_NEEDS_SNDFILE("it writes FLAC and Ogg, and libsamplerate resamples");
  const Samples a = Tone(8000, 8000, 440, 2);
  Bytes voc = VocHeader();
  NewSoundBlock(&voc, 8000, 16, 2, 4, Pcm16(a));
  voc.push_back(0);
  ASSERT_TRUE(WriteFile(dir_ / "memo.voc", voc));
  std::string name;
  ASSERT_EQ(ConvertVoiceFile("memo.voc", &name, dir_.path(), {VoiceOutput::Format::kFlac, 0}), kOpOk);
  EXPECT_EQ(name, "memo.flac");
  Sound got = ReadSound(dir_ / name);
  EXPECT_EQ(got.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  EXPECT_EQ(got.samples, a);  // lossless

  ASSERT_EQ(ConvertVoiceFile("memo.voc", &name, dir_.path(), {VoiceOutput::Format::kOgg, 0}), kOpOk);
  EXPECT_EQ(name, "memo.ogg");
  got = ReadSound(dir_ / name);
  EXPECT_EQ(got.format, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
  EXPECT_EQ(got.channels, 2);
  EXPECT_EQ(got.samples.size(), a.size());
  EXPECT_LT(Rms(got.samples, a, 2000, 14000), 1000);  // lossy, but the same tone

  ASSERT_EQ(ConvertVoiceFile("memo.voc", &name, dir_.path(), {VoiceOutput::Format::kWav, 16000}), kOpOk);
  EXPECT_EQ(name, "memo.wav");
  got = ReadSound(dir_ / name);
  EXPECT_EQ(got.rate, 16000);
  EXPECT_NEAR(static_cast<double>(got.samples.size()), 2.0 * a.size(), 8.0);
  EXPECT_LT(Rms(got.samples, Tone(16000, 16000, 440, 2), 1000, 30000), 300);

  // Headerless ADPCM at an asked rate too; a rate beyond reason is refused.
  const Bytes vox(4000, 0x13);
  ASSERT_TRUE(WriteFile(in_, vox));
  ASSERT_EQ(TVDecodeToFile(in_.c_str(), out_.c_str(), {TvdhFormat::kWav, 11025}, nullptr), kTvdhOk);
  EXPECT_EQ(ReadSound(out_).rate, 11025);
  EXPECT_EQ(TVDecodeToFile(in_.c_str(), (dir_ / "x.wav").c_str(), {TvdhFormat::kWav, -5}, nullptr),
            kTvdhCannotWrite);
  EXPECT_FALSE(fs::exists(dir_ / "x.wav"));
}

// A rate change keeps the recording's duration to the nearest frame, in
// voice files of every kind of run and in headerless ADPCM.
TEST_F(tvdh_format, ARateChangeKeepsTheDurationToTheFrame) {
  ZK27_NEEDS_SNDFILE("libsamplerate resamples");
  const struct Row {
    std::size_t frames;
    int rate, channels, asked;
  } rows[] = {
      {40000, 8000, 1, 44100},  // five seconds of a memo
      {1001, 8000, 1, 11025},   // 1379.5: up
      {999, 22050, 1, 8000},    // 362.4: down
      {3000, 11025, 2, 48000},  {5, 16000, 1, 44100},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.frames << " frames at " << r.rate << " Hz to " << r.asked << " Hz");
    Bytes voc = VocHeader();
    NewSoundBlock(&voc, static_cast<std::uint32_t>(r.rate), 16, static_cast<std::uint8_t>(r.channels), 4,
                  Pcm16(Tone(r.frames, r.rate, 300, r.channels)));
    voc.push_back(0);
    ASSERT_EQ(Decode(voc, {TvdhFormat::kWav, r.asked}), kTvdhOk);
    const std::size_t due = std::llround(double(r.frames) * r.asked / r.rate);
    EXPECT_EQ(ReadSound(out_).samples.size(), due * static_cast<std::size_t>(r.channels));
  }
  ASSERT_TRUE(WriteFile(in_, Bytes(20000, 0x13)));  // 40,000 samples at 8 kHz
  ASSERT_EQ(TVDecodeToFile(in_.c_str(), out_.c_str(), {TvdhFormat::kWav, 44100}, nullptr), kTvdhOk);
  EXPECT_EQ(ReadSound(out_).samples.size(), 220500u);
}

// ---- random damage ----------------------------------------------------------------------

// A recording of every block kind, damaged at random bytes and cut at random
// places: the decoder gives a known result every time, a readable sound file
// when it succeeds and nothing when it refuses.
TEST_F(tvdh_format, RandomDamageGivesAKnownResult) {
  ZK27_NEEDS_SNDFILE("its recording changes rate, and libsamplerate resamples");
  Bytes voc = VocHeader();
  Block(&voc, 5, {'x', 0});
  Bytes fields;
  Put16(&fields, 65536 - 256000000 / 8000);
  fields.insert(fields.end(), {0, 0});
  Block(&voc, 8, fields);
  SoundBlock(&voc, 0x83, 0, PcmU8(Tone(100, 8000, 300)));
  Silence(&voc, 30, 0x83);
  Samples unused;
  std::vector<int> eightBit(120, 128);
  for (std::size_t i = 0; i < eightBit.size(); ++i) eightBit[i] = 128 + static_cast<int>(60 * std::sin(i / 5.0));
  SoundBlock(&voc, 0x83, 1, EncodeByteAdpcm(eightBit, 4, &unused));
  Block(&voc, 2, EncodeByteAdpcm(eightBit, 4, &unused));
  NewSoundBlock(&voc, 8000, 4, 1, 0x200, Bytes(60, 0x71));
  NewSoundBlock(&voc, 11025, 16, 1, 4, Pcm16(Tone(200, 11025, 300)));
  NewSoundBlock(&voc, 8000, 8, 1, 6, Bytes(100, 0x55));
  voc.push_back(0);
  ASSERT_EQ(Decode(voc), kTvdhOk);
  std::uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFFFF; };
  const std::vector<int> known{kTvdhOk, kTvdhNotVoice, kTvdhTooLong};
  int decoded = 0;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    Bytes damaged = voc;
    // The header stays: damage to it is another test's.
    for (int k = 0; k < 4; ++k) damaged[26 + next() % (damaged.size() - 26)] = static_cast<std::uint8_t>(next());
    if (round % 3 == 0) damaged.resize(26 + next() % (damaged.size() - 26));
    const int r = Decode(damaged);
    EXPECT_NE(std::find(known.begin(), known.end(), r), known.end()) << r;
    if (r == kTvdhOk) {
      ++decoded;
      const Sound got = ReadSound(out_);
      EXPECT_GT(got.rate, 0);
      EXPECT_EQ(got.channels, 1);
    } else {
      EXPECT_FALSE(fs::exists(out_));
    }
    EXPECT_LE(FolderNames(dir_.path()).size(), 2u);  // in.voc and out.wav, no temporary left
    fs::remove(out_);
  }
  // Most damage leaves something to decode; some of it is refused.
  EXPECT_GT(decoded, 150) << decoded;
  EXPECT_LT(decoded, 300) << decoded;
}

// ---- memory ---------------------------------------------------------------------------

#ifndef _WIN32  // measured in a child process by fork and wait4

// The peak resident memory, in KiB, of a child process that decodes `in`
// into `out`; its result in `*result`.
long ChildPeakKib(const std::string& in, const std::string& out, int* result) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(TVDecodeToWavFile(kVoiceDecodeMode, in.c_str(), out.c_str()));
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)) return -1;
  *result = WEXITSTATUS(status);
  return usage.ru_maxrss;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasuredMemory = false;  // the sanitizer's shadow memory would count
#else
constexpr bool kMeasuredMemory = true;
#endif

// 4,095 silence blocks of 64 Ki frames each: 512 MiB of WAV from 28 KB,
// written with memory to spare; 4,097 are refused before anything is made.
TEST(tvdh_memory, SilenceBlocksDoNotFillTheMemory) {
  TempDir dir;
  for (int blocks : {4095, 4097}) {
    SCOPED_TRACE(blocks);
    Bytes voc = VocHeader();
    SoundBlock(&voc, 0x83, 0, Bytes(20, 0x80));
    for (int i = 0; i < blocks; ++i) Block(&voc, 3, {0xFF, 0xFF, 0x83});
    voc.push_back(0);
    ASSERT_TRUE(WriteFile(dir / "bomb.voc", voc));
    int result = -1;
    const long kib = ChildPeakKib(dir / "bomb.voc", dir / "bomb.wav", &result);
    ASSERT_GT(kib, 0);
    if (kMeasuredMemory) {
      EXPECT_LE(kib, 64 * 1024);
    }
    if (blocks == 4095) {
      EXPECT_EQ(result, kTvdhOk);
      EXPECT_EQ(fs::file_size(dir / "bomb.wav"), 44u + 2u * (20u + 4095u * 65536u));
    } else {
      EXPECT_EQ(result, kTvdhTooLong);
      EXPECT_FALSE(fs::exists(dir / "bomb.wav"));
    }
    fs::remove(dir / "bomb.wav");
  }
}

// Ten minutes of 16-bit sound at 22,050 Hz (26 MB, a sound block and a
// continuation) decode within 16 MiB.
TEST(tvdh_memory, LongRecordingsDecodeInConstantMemory) {
  TempDir dir;
  const std::string voc = dir / "long.voc";
  {
    const Bytes second = Pcm16(Tone(22050, 22050, 440));
    const std::uint32_t half = 300 * static_cast<std::uint32_t>(second.size());
    Bytes head = VocHeader();
    Bytes fields = NewSoundFields(22050, 16, 1, 4);
    Block(&head, 9, fields, 12 + half);
    ASSERT_TRUE(WriteFile(voc, head));
    std::FILE* f = std::fopen(voc.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    for (int s = 0; s < 300; ++s) std::fwrite(second.data(), 1, second.size(), f);
    const Bytes continuation{2, std::uint8_t(half), std::uint8_t(half >> 8), std::uint8_t(half >> 16)};
    std::fwrite(continuation.data(), 1, continuation.size(), f);
    for (int s = 0; s < 300; ++s) std::fwrite(second.data(), 1, second.size(), f);
    std::fputc(0, f);
    std::fclose(f);
  }
  int result = -1;
  const long kib = ChildPeakKib(voc, dir / "long.wav", &result);
  EXPECT_EQ(result, kTvdhOk);
  if (kMeasuredMemory) {
    EXPECT_LE(kib, 16 * 1024);
  }
  EXPECT_EQ(fs::file_size(dir / "long.wav"), 44u + 2u * 600u * 22050u);
}

#endif

}  // namespace
