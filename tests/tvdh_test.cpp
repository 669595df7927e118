// The voice decoder on voice files built block by block in the test, their
// samples coded by the test (support/sound.h), and the WAV files it writes
// read back. Also the voice files the virtual player records.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/sound.h"
#include "support/voc.h"
#include "tvdh.h"
#include "voc_writer.h"
#include "wav_writer.h"

namespace {

using namespace zk27_test;
using Samples = std::vector<short>;

// A sweep from low to high frequency at 70 % of full scale; a second
// channel carries a quieter, faster sweep so that swapped channels show.
Samples Chirp(std::size_t frames, int channels) {
  Samples s;
  for (std::size_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c) {
      const double t = static_cast<double>(i);
      const double phase = 2 * std::numbers::pi * (0.01 * t + 0.2 * t * t / (2.0 * frames)) * (1 + c);
      s.push_back(static_cast<short>(std::lround((c == 0 ? 23000 : 12000) * std::sin(phase))));
    }
  return s;
}

// `samples` coded as headerless sound in `subformat` (libsndfile's name for
// the coding): the PCM and companded codings by the test, VOX by libsndfile;
// empty where libsndfile is missing.
Bytes Encode(const TempDir& dir, const Samples& samples, int channels, int subformat, int rate = 8000) {
  Bytes b;
  for (const short x : samples) switch (subformat) {
      case SF_FORMAT_PCM_U8: b.push_back(static_cast<std::uint8_t>((x >> 8) + 128)); break;
      case SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE: Put16(&b, static_cast<std::uint16_t>(x)); break;
      case SF_FORMAT_ALAW: b.push_back(ALawCode(x)); break;
      case SF_FORMAT_ULAW: b.push_back(MuLawCode(x)); break;
      default: break;
    }
  if (subformat != SF_FORMAT_VOX_ADPCM) return b;
#ifdef _WIN32
  (void)dir, (void)channels, (void)rate;
  return {};
#else
  const std::string path = dir / "coded.raw";
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_RAW | subformat;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
  if (!f) return {};
  sf_writef_short(f, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
  sf_close(f);
  b = ReadFile(path).value_or(Bytes{});
  fs::remove(path);
  return b;
#endif
}

#ifndef _WIN32
bool WriteSound(const std::string& path, int rate, const Samples& samples, int channels) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  sf_writef_short(f, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
  return sf_close(f) == 0;
}
#endif

// The decoder's output read back: always a 16-bit PCM WAV file.
Sound ReadWav(const std::string& path) {
  Sound s = ReadSound(path);
  EXPECT_EQ(s.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16) << path;
  return s;
}

// How far a decoded sample may stray from the source sample `x`.
using Tolerance = std::function<int(int x)>;
const Tolerance kExact = [](int) { return 0; };
const Tolerance kEightBit = [](int) { return 255; };  // 1/256 of full scale
// A-law and µ-law keep about 4 bits below a sample's leading one: the step
// is a sixteenth of the sample, and a fixed one near zero.
const Tolerance kCompanded = [](int x) { return std::abs(x) / 16 + 64; };

::testing::AssertionResult Near(const Samples& got, const Samples& want, const std::vector<Tolerance>& tol) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << got.size() << " samples, expected " << want.size();
  for (std::size_t i = 0; i < got.size(); ++i)
    if (std::abs(got[i] - want[i]) > tol[i](want[i]))
      return ::testing::AssertionFailure() << "sample " << i << " is " << got[i] << ", expected " << want[i];
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Near(const Samples& got, const Samples& want, const Tolerance& tol) {
  return Near(got, want, std::vector<Tolerance>(want.size(), tol));
}

// ---- voice files, block by block ----------------------------------------------

Bytes VocHeader() { return zk27_test::VocHeader(0x010A); }

void Block(Bytes* file, std::uint8_t type, const Bytes& body) {
  file->push_back(type);
  Put16(file, body.size() & 0xFFFF);
  file->push_back(static_cast<std::uint8_t>(body.size() >> 16));
  file->insert(file->end(), body.begin(), body.end());
}

void SoundBlock(Bytes* file, std::uint8_t timeConstant, std::uint8_t codec, const Bytes& data) {
  Bytes body{timeConstant, codec};
  body.insert(body.end(), data.begin(), data.end());
  Block(file, 1, body);
}

void NewSoundBlock(Bytes* file, std::uint32_t rate, std::uint8_t bits, std::uint8_t channels, unsigned codec,
                   const Bytes& data) {
  Bytes body;
  Put32(&body, rate);
  body.insert(body.end(), {bits, channels});
  Put16(&body, codec);
  Put32(&body, 0);
  body.insert(body.end(), data.begin(), data.end());
  Block(file, 9, body);
}

class tvdh_decode : public ::testing::Test {
 protected:
  // Decodes `voc` (written as in.voc) to out.wav; the decoder's result.
  int Decode(const Bytes& voc) {
    EXPECT_TRUE(WriteFile(in_, voc));
    return TVDecodeToWavFile(kVoiceDecodeMode, in_.c_str(), out_.c_str());
  }
  TempDir dir_;
  const std::string in_ = dir_ / "in.voc";
  const std::string out_ = dir_ / "out.wav";
};

TEST_F(tvdh_decode, EachSampleCodingWithinItsOwnError) {
  struct Row {
    const char* what;
    int rate, channels, subformat;
    unsigned codec;  // the voice file's number
    bool newFormat;  // a type 9 block, else type 1 (mono, rate from the time constant)
    Tolerance tol;
  };
  const Row rows[] = {
      {"8-bit, type 1 at 8000 Hz", 8000, 1, SF_FORMAT_PCM_U8, 0, false, kEightBit},
      {"8-bit, type 1 at 10000 Hz", 10000, 1, SF_FORMAT_PCM_U8, 0, false, kEightBit},
      {"16-bit, type 9", 16000, 1, SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE, 4, true, kExact},
      {"16-bit stereo, type 9", 22050, 2, SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE, 4, true, kExact},
      {"A-law, type 9", 8000, 1, SF_FORMAT_ALAW, 6, true, kCompanded},
      {"mu-law, type 9", 8000, 1, SF_FORMAT_ULAW, 7, true, kCompanded},
      {"8-bit, type 9", 11025, 1, SF_FORMAT_PCM_U8, 0, true, kEightBit},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const Samples source = Chirp(3001, r.channels);
    const Bytes coded = Encode(dir_, source, r.channels, r.subformat);
    Bytes voc = VocHeader();
    const int bits = r.codec == 4 ? 16 : 8;
    if (r.newFormat)
      NewSoundBlock(&voc, r.rate, bits, r.channels, r.codec, coded);
    else
      SoundBlock(&voc, static_cast<std::uint8_t>(256 - 1000000 / r.rate), r.codec, coded);
    voc.push_back(0);
    ASSERT_EQ(Decode(voc), kTvdhOk);
    const Sound got = ReadWav(out_);
    EXPECT_EQ(got.rate, r.rate);
    EXPECT_EQ(got.channels, r.channels);
    EXPECT_TRUE(Near(got.samples, source, r.tol));
  }
}

// Extended stereo block and its sound block, a continuation, silence, a text
// block, a new-format block continued with a frame split between the two;
// everything after the terminator is ignored.
TEST_F(tvdh_decode, BlocksOfOneRecordingJoinInOrder) {
  const int rate = 16000;
  const Samples a = Chirp(500, 2), b = Chirp(301, 2), c = Chirp(400, 2);
  Bytes voc = VocHeader();
  Bytes extended;
  Put16(&extended, 65536 - 256000000 / (2 * rate));
  extended.insert(extended.end(), {0, 1});  // 8-bit, stereo
  Block(&voc, 8, extended);
  SoundBlock(&voc, 0x83, 0, Encode(dir_, a, 2, SF_FORMAT_PCM_U8));
  Block(&voc, 2, Encode(dir_, b, 2, SF_FORMAT_PCM_U8));
  Block(&voc, 3, {99, 0, 0x83});  // 100 frames of silence
  Block(&voc, 5, {'h', 'i', 0});
  const Bytes coded = Encode(dir_, c, 2, SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE);
  const auto split = coded.begin() + 1001;  // within a frame
  NewSoundBlock(&voc, rate, 16, 2, 4, Bytes(coded.begin(), split));
  Block(&voc, 2, Bytes(split, coded.end()));
  voc.push_back(0);
  SoundBlock(&voc, 0x83, 1, Bytes(50, 0x80));  // after the end: an ADPCM block nobody reads

  ASSERT_EQ(Decode(voc), kTvdhOk);
  const Sound got = ReadWav(out_);
  EXPECT_EQ(got.rate, rate);
  EXPECT_EQ(got.channels, 2);
  Samples want = a;
  want.insert(want.end(), b.begin(), b.end());
  want.insert(want.end(), 200, 0);
  want.insert(want.end(), c.begin(), c.end());
  std::vector<Tolerance> tol(a.size() + b.size(), kEightBit);
  tol.insert(tol.end(), 200 + c.size(), kExact);
  EXPECT_TRUE(Near(got.samples, want, tol));
}

TEST_F(tvdh_decode, CutShortFilesKeepTheirWholeSamples) {
  const Samples source = Chirp(1000, 2);
  const Bytes coded = Encode(dir_, source, 2, SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE);
  Bytes voc = VocHeader();
  NewSoundBlock(&voc, 8000, 16, 2, 4, coded);
  voc.resize(voc.size() - coded.size() / 2 - 3);  // a card pulled half way, in a frame
  ASSERT_EQ(Decode(voc), kTvdhOk);
  const Sound got = ReadWav(out_);
  EXPECT_EQ(got.channels, 2);
  EXPECT_TRUE(Near(got.samples, Samples(source.begin(), source.begin() + 2 * 499), kExact));

  // Cut inside a block's own fields: the blocks before it count.
  Bytes silenceCut = VocHeader();
  SoundBlock(&silenceCut, 0x83, 0, Bytes(10, 0x90));
  Block(&silenceCut, 3, {99, 0, 0x83});
  silenceCut.resize(silenceCut.size() - 2);
  ASSERT_EQ(Decode(silenceCut), kTvdhOk);
  EXPECT_EQ(ReadWav(out_).samples, Samples(10, 0x1000));
}

TEST_F(tvdh_decode, FilesThatAreNoRecordingThisDecoderKnows) {
  auto twoChannelCounts = VocHeader();
  NewSoundBlock(&twoChannelCounts, 8000, 16, 1, 4, Bytes(20, 1));
  NewSoundBlock(&twoChannelCounts, 8000, 16, 2, 4, Bytes(20, 1));
  auto unknownCodec = VocHeader();
  NewSoundBlock(&unknownCodec, 8000, 8, 1, 0x201, Bytes(20, 1));
  auto continuationFirst = VocHeader();
  Block(&continuationFirst, 2, Bytes(20, 0x80));
  auto headerOnly = VocHeader();
  auto terminatorOnly = VocHeader();
  terminatorOnly.push_back(0);
  auto textOnly = VocHeader();
  Block(&textOnly, 5, {'x', 0});
  const Bytes cutHeader(headerOnly.begin(), headerOnly.begin() + 22);
  // 29 KB of silence blocks that would stand for 512 MiB of samples.
  auto endlessSilence = VocHeader();
  SoundBlock(&endlessSilence, 0x83, 0, Bytes(20, 0x80));
  for (int i = 0; i < 4097; ++i) Block(&endlessSilence, 3, {0xFF, 0xFF, 0x83});

  const std::pair<const char*, Bytes> rows[] = {
      {"two channel counts", twoChannelCounts}, {"unknown codec", unknownCodec},
      {"continuation first", continuationFirst}, {"header only", headerOnly},
      {"terminator only", terminatorOnly}, {"text only", textOnly},
      {"header cut short", cutHeader},  {"endless silence", endlessSilence},
  };
  for (const auto& [what, voc] : rows) {
    SCOPED_TRACE(what);
    // Silence that would pass 2^28 samples is refused as too long.
    EXPECT_EQ(Decode(voc), std::string(what) == "endless silence" ? kTvdhTooLong : kTvdhNotVoice);
    EXPECT_FALSE(fs::exists(out_));
  }
}

// A file without the voice file header is 4-bit ADPCM at 8 kHz.
TEST_F(tvdh_decode, HeaderlessAdpcm) {
  // An empty recording is a WAV file without samples.
  ASSERT_EQ(Decode({}), kTvdhOk);
  const Sound empty = ReadWav(out_);
  EXPECT_EQ(empty.rate, 8000);
  EXPECT_EQ(empty.channels, 1);
  EXPECT_TRUE(empty.samples.empty());

  ZK27_NEEDS_SNDFILE("it codes the VOX recording");
  const Samples source = Chirp(8000, 1);
  ASSERT_EQ(Decode(Encode(dir_, source, 1, SF_FORMAT_VOX_ADPCM)), kTvdhOk);
  const Sound got = ReadWav(out_);
  EXPECT_EQ(got.rate, 8000);
  EXPECT_EQ(got.channels, 1);
  ASSERT_EQ(got.samples.size(), source.size());
  double squares = 0;
  for (std::size_t i = 0; i < source.size(); ++i) squares += std::pow(got.samples[i] - source[i], 2.0);
  EXPECT_LT(std::sqrt(squares / source.size()), 0.05 * 32768);
}

TEST_F(tvdh_decode, FailuresLeaveTheDestinationAlone) {
  Bytes voc = VocHeader();
  NewSoundBlock(&voc, 8000, 16, 1, 4, Encode(dir_, Chirp(100, 1), 1, SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE));
  ASSERT_TRUE(WriteFile(in_, voc));
  for (int mode : {1, 3}) EXPECT_EQ(TVDecodeToWavFile(mode, in_.c_str(), out_.c_str()), kTvdhBadMode);
  EXPECT_EQ(TVDecodeToWavFile(2, (dir_ / "missing.voc").c_str(), out_.c_str()), kTvdhCannotRead);
  EXPECT_EQ(TVDecodeToWavFile(2, (dir_ / "").c_str(), out_.c_str()), kTvdhCannotRead);  // a folder
  EXPECT_EQ(TVDecodeToWavFile(2, in_.c_str(), (dir_ / "no/out.wav").c_str()), kTvdhCannotWrite);
  EXPECT_EQ(FolderNames(dir_.path()), std::vector<std::string>{"in.voc"});
  // A folder in the destination's place: the WAV file is made, then cannot
  // take the name.
  fs::create_directory(dir_ / "taken.wav");
  EXPECT_EQ(TVDecodeToWavFile(2, in_.c_str(), (dir_ / "taken.wav").c_str()), kTvdhCannotWrite);
  EXPECT_EQ(FolderNames(dir_.path()), (std::vector<std::string>{"in.voc", "taken.wav"}));
  fs::remove(dir_ / "taken.wav");

  // An older destination stays when the new one cannot be made...
  const Bytes older{'o', 'l', 'd'};
  ASSERT_TRUE(WriteFile(out_, older));
  ASSERT_TRUE(WriteFile(dir_ / "bad.voc", VocHeader()));
  EXPECT_EQ(TVDecodeToWavFile(2, (dir_ / "bad.voc").c_str(), out_.c_str()), kTvdhNotVoice);
  EXPECT_EQ(TVDecodeToWavFile(1, in_.c_str(), out_.c_str()), kTvdhBadMode);
  EXPECT_EQ(ReadFile(out_), older);
  // ...and gives way to one made whole; no temporary is left either way.
  EXPECT_EQ(TVDecodeToWavFile(2, in_.c_str(), out_.c_str()), kTvdhOk);
  EXPECT_EQ(ReadWav(out_).samples.size(), 100u);
  EXPECT_EQ(FolderNames(dir_.path()), (std::vector<std::string>{"bad.voc", "in.voc", "out.wav"}));
}

// The decoder's own coding (the PCM codings, VOX and the WAV file) writes
// the very bytes libsndfile writes, for every code value of every coding:
// what lets the own one stand in where libsndfile is missing.
TEST_F(tvdh_decode, OwnCodingWritesTheBytesOfLibsndfile) {
  ZK27_NEEDS_SNDFILE("it is what the own coding is compared with");
  struct Row {
    const char* what;
    unsigned codec;  // the voice file's number; kVox: a headerless recording
    int rate, channels;
    std::size_t bytes;
  };
  constexpr unsigned kVox = 0xFFFF;
  const Row rows[] = {
      {"8-bit", 0, 8000, 1, 4001},          {"16-bit stereo", 4, 22050, 2, 8002},
      {"16-bit, a frame cut", 4, 8000, 1, 3001},
      {"A-law", 6, 8000, 1, 4096},          {"mu-law stereo", 7, 11025, 2, 4096},
      {"4-bit ADPCM", 1, 8000, 1, 2000},    {"16-bit ADPCM stereo", 0x200, 16000, 2, 3000},
      {"VOX", kVox, 8000, 1, 150001},       {"VOX, empty", kVox, 8000, 1, 0},
      {"a rate change, resampled", 6, 11025, 1, 3000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    // Every byte value, many times over, in no order.
    Bytes coded = Content(r.bytes, r.codec + r.bytes);
    Bytes file;
    if (r.codec == kVox) {
      if (!coded.empty()) coded[0] = 0x12;  // no other format's signature
      file = coded;
    } else {
      file = VocHeader();
      NewSoundBlock(&file, r.rate, 16, r.channels, r.codec, coded);
      Block(&file, 3, {0x40, 0x01, 0x83});  // silence
      if (std::string(r.what).find("rate") != std::string::npos)
        NewSoundBlock(&file, 8000, 8, r.channels, r.codec, coded);
      file.push_back(0);
    }
    ASSERT_TRUE(WriteFile(in_, file));
    const std::string library = dir_ / "library.wav", own = dir_ / "own.wav";
    for (const auto& [coder, path] : {std::pair{TvdhCoder::kLibrary, library}, std::pair{TvdhCoder::kOwn, own}})
      ASSERT_EQ(TVDecodeToFile(in_.c_str(), path.c_str(), TvdhOutput{TvdhFormat::kWav, 0, coder}, nullptr), kTvdhOk);
    const Bytes want = ReadFile(library).value_or(Bytes{});
    ASSERT_GT(want.size(), 44u - (r.bytes == 0 ? 1 : 0));
    EXPECT_TRUE(ReadFile(own) == want) << "own " << ReadFile(own).value_or(Bytes{}).size() << " bytes, libsndfile "
                                       << want.size();
  }
}

// The own WAV writer's sizes for any length, and a failed write reported.
TEST(tvdh_wav, SizesAndWriteFailures) {
  for (const std::uint32_t data : {0u, 2u, 0x7FFFFFFEu, 0xFFFFFFFFu - 36}) {
    const Bytes h = tvdh::WavHeader(48000, 2, data);
    ASSERT_EQ(h.size(), 44u);
    EXPECT_EQ(Le32(h, 4), data + 36);
    EXPECT_EQ(Le32(h, 40), data);
    EXPECT_EQ(Le32(h, 28), 48000u * 4);
  }
#ifndef _WIN32  // a full disk at hand
  tvdh::WavWriter full;
  const Samples piece(1 << 16, 1000);
  ASSERT_TRUE(full.Open("/dev/full", 8000, 1));
  bool wrote = true;
  for (int i = 0; i < 8 && wrote; ++i) wrote = full.Write(piece.data(), piece.size());
  EXPECT_FALSE(wrote && full.Close());
#endif
  TempDir dir;
  EXPECT_FALSE(tvdh::WavWriter().Open(dir / "no/such/folder.wav", 8000, 1));
}

// The own reader, which reads WAV files back where libsndfile is missing:
// the chunks before the data are walked past whatever their size, and a
// file that is no 16-bit WAV, or holds less than it says, is refused.
TEST(tvdh_wav, ReaderWalksChunksAndRefusesTheRest) {
  const Samples samples{1, -2, 300, -32768, 32767, 0};
  Bytes data;
  for (const short x : samples) Put16(&data, static_cast<std::uint16_t>(x));
  // A stereo file at 8000 Hz with `chunk` before its data.
  auto file = [&](const Bytes& chunk, std::size_t dataKept = 12) {
    Bytes b = tvdh::WavHeader(8000, 2, 12);
    b.insert(b.begin() + 36, chunk.begin(), chunk.end());
    b.insert(b.end(), data.begin(), data.begin() + static_cast<long>(dataKept));
    return b;
  };
  auto chunk = [](std::uint32_t size, std::size_t bodyBytes) {
    Bytes c{'L', 'I', 'S', 'T'};
    Put32(&c, size);
    c.resize(c.size() + bodyBytes, 'x');
    return c;
  };
  Bytes eightBit = file({});
  eightBit[34] = 8;
  Bytes notWave = file({});
  notWave[11] = 'X';
  const struct Row {
    const char* what;
    Bytes bytes;
    bool opens;
    std::int64_t read;  // what reading the three frames gives
  } rows[] = {
      {"as written", file({}), true, 3},
      {"an odd chunk and its pad byte", file(chunk(3, 4)), true, 3},
      {"a chunk that claims 4 GiB", file(chunk(0xFFFFFFF8u, 0)), false, 0},
      {"8-bit samples", eightBit, false, 0},
      {"no WAVE", notWave, false, 0},
      {"data cut short", file({}, 8), true, -1},
  };
  TempDir dir;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_TRUE(WriteFile(dir / "in.wav", r.bytes));
    tvdh::WavReader reader;
    ASSERT_EQ(reader.Open(dir / "in.wav"), r.opens);
    if (!r.opens) continue;
    EXPECT_EQ(reader.Rate(), 8000);
    EXPECT_EQ(reader.Channels(), 2);
    Samples got(6, 99);
    EXPECT_EQ(reader.Read(got.data(), 3), r.read);
    if (r.read < 0) continue;
    EXPECT_EQ(got, samples);
    EXPECT_EQ(reader.Read(got.data(), 3), 0);
  }
}

#ifndef _WIN32  // the recorder codes with libsndfile, and records for the player on Linux
// What the virtual player stores when it records a WAV file decodes to the
// WAV file's samples, in every coding the writer offers.
TEST(tvdh_record, RecordedVoiceFilesDecodeToTheirSamples) {
  TempDir dir;
  struct Row {
    tvdh::VocCodec codec;
    Tolerance tol;
  };
  const Row codecs[] = {{tvdh::VocCodec::kPcm16, kExact},
                        {tvdh::VocCodec::kPcmU8, kEightBit},
                        {tvdh::VocCodec::kAlaw, kCompanded},
                        {tvdh::VocCodec::kUlaw, kCompanded}};
  for (const auto& [rate, channels] : {std::pair{8000, 1}, std::pair{16000, 2}}) {
    const Samples source = Chirp(2000, channels);
    const std::string wav = dir / "memo.wav", voc = dir / "memo.voc", back = dir / "back.wav";
    ASSERT_TRUE(WriteSound(wav, rate, source, channels));
    for (const Row& r : codecs) {
      SCOPED_TRACE(testing::Message() << rate << " Hz, " << channels << " channel(s), codec "
                                      << static_cast<int>(r.codec));
      Bytes bytes;
      std::string problem;
      ASSERT_TRUE(tvdh::WavToVoiceFile(wav, &bytes, &problem, r.codec)) << problem;
      ASSERT_TRUE(WriteFile(voc, bytes));
      ASSERT_EQ(TVDecodeToWavFile(2, voc.c_str(), back.c_str()), kTvdhOk);
      const Sound got = ReadWav(back);
      EXPECT_EQ(got.rate, rate);
      EXPECT_EQ(got.channels, channels);
      EXPECT_TRUE(Near(got.samples, source, r.tol));
    }
  }

  // Bytes that are no sound, and more channels than a voice file holds.
  const std::string noise = dir / "noise.raw", surround = dir / "surround.wav";
  ASSERT_TRUE(WriteFile(noise, Bytes(3000, 0x5A)));
  ASSERT_TRUE(WriteSound(surround, 8000, Chirp(30, 3), 3));
  for (const std::string& path : {noise, surround}) {
    Bytes bytes{1, 2, 3};
    std::string problem;
    EXPECT_FALSE(tvdh::WavToVoiceFile(path, &bytes, &problem));
    EXPECT_NE(problem.find(path), std::string::npos) << problem;
    EXPECT_EQ(bytes, (Bytes{1, 2, 3}));
  }
}

#endif

}  // namespace
