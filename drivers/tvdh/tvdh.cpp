// The voice decoder: a recording fetched from the card becomes a sound file
// (16-bit PCM WAV unless asked otherwise). It stands in for the decoder
// library that src/dllfunc/tvdh.h declares, and calls only the system,
// libsndfile and libsamplerate (sndfile_api.h, samplerate_api.h: loaded at
// run time). The player writes Creative Voice
// Files; a file without their header is taken as bare 4-bit ADPCM at 8 kHz,
// mono.
//
// A voice file is walked twice. The first walk reads only the blocks' own
// fields and skips their sound: it refuses what cannot be decoded (an
// unknown coding, a change of channel count, a sound too long for the
// output) before any file is made, and finds the rate to write at. The
// second walk decodes the sound a piece at a time and writes it as it goes,
// so memory stays the same whatever the recording's length. The blocks are
// parsed here, the ADPCM codings decoded by adpcm.cpp. The PCM codings, VOX
// and the WAV file are either libsndfile's work or the decoder's own
// (raw_codings.cpp, wav_writer.cpp), which give the same bytes: libsndfile
// where it is part of the system, the decoder's own where it may be missing.
// FLAC and Ogg are always libsndfile's; libsamplerate resamples blocks at
// another rate.
#include "tvdh.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adpcm.h"
#include "memory_sound.h"
#include "platform.h"
#include "raw_codings.h"
#include "samplerate_api.h"
#include "sndfile_api.h"
#include "wav_writer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kVocMagic[] = "Creative Voice File\x1A";
constexpr std::size_t kVocMagicSize = sizeof(kVocMagic) - 1;
constexpr std::size_t kVocMinHeader = 26;
// A headerless recording: 4-bit ADPCM, 8 kHz, mono.
constexpr int kVoxRate = 8000;
// The most samples a recording may become: 9 hours at 8 kHz, 512 MiB of
// 16-bit PCM, and well within a WAV file's 4 GiB.
constexpr std::uint64_t kMaxSamples = std::uint64_t{1} << 28;
// No recording is faster; a time constant of 255 in a sound block says 1 MHz.
constexpr int kMaxRate = 1000000;
constexpr int kMaxChannels = 8;
// The coded bytes read, decoded and written at a time.
constexpr std::size_t kPiece = 64 * 1024;
// sox writes a 16-bit sound block 8 bytes shorter than its samples: those 8
// bytes and the terminator are left after the block as it is declared.
constexpr std::uint64_t kMiscountedTail = 9;

// The sample codings a voice file's blocks may carry (the file's own numbers).
enum Coding : unsigned {
  kPcmU8 = 0,
  kAdpcm4 = 1,     // 8-bit sound in 4 bits
  kAdpcm3 = 2,     // 8-bit sound in 2.6 bits
  kAdpcm2 = 3,     // 8-bit sound in 2 bits
  kPcm16 = 4,
  kAlaw = 6,
  kUlaw = 7,
  kAdpcm16 = 0x200,  // 16-bit sound in 4 bits
};

bool KnownCoding(unsigned c) {
  return c == kPcmU8 || c == kAdpcm4 || c == kAdpcm3 || c == kAdpcm2 || c == kPcm16 || c == kAlaw || c == kUlaw ||
         c == kAdpcm16;
}

bool IsByteAdpcm(unsigned c) { return c == kAdpcm4 || c == kAdpcm3 || c == kAdpcm2; }

struct Format {
  int rate = 0;
  int channels = 0;
  unsigned coding = kPcmU8;
};

unsigned Le16(const std::uint8_t* b) { return b[0] | b[1] << 8; }
unsigned Le24(const std::uint8_t* b) { return Le16(b) | b[2] << 16; }
std::uint32_t Le32(const std::uint8_t* b) { return Le16(b) | static_cast<std::uint32_t>(Le16(b + 2)) << 16; }

// A time constant's rate, in whole samples a second below the exact one, as
// sox and ffmpeg take it (so a file either writes decodes at the rate
// either reads).
int TimeConstantRate(long long numerator, long long denominator) {
  return static_cast<int>(numerator / denominator);
}

// ---- the source file ------------------------------------------------------------

// The voice file, read front to back through a buffer of a piece; its size
// is taken once.
class Source {
 public:
  ~Source() {
    if (fd_ >= 0) platform::CloseFile(fd_);
  }
  bool Open(const char* path) {
    fd_ = platform::OpenFile(path, platform::kOpenRead);
    platform::FileState st;
    if (fd_ < 0 || !platform::StateOf(fd_, &st) || st.kind != platform::FileKind::kRegular) return false;
    size_ = st.size;
    return true;
  }
  std::uint64_t Size() const { return size_; }
  std::uint64_t Position() const { return position_; }
  std::uint64_t Left() const { return size_ - std::min(size_, position_); }
  bool Seek(std::uint64_t at) {
    position_ = at;
    return true;
  }
  bool Skip(std::uint64_t n) { return Seek(position_ + n); }
  // Exactly `n` bytes, or false.
  bool Read(void* into, std::size_t n) {
    auto* out = static_cast<std::uint8_t*>(into);
    std::size_t got = 0;
    while (got < n) {
      if (position_ < bufferAt_ || position_ >= bufferAt_ + buffer_.size()) {
        if (!Fill()) break;
      }
      const std::size_t from = static_cast<std::size_t>(position_ - bufferAt_);
      const std::size_t take = std::min(n - got, buffer_.size() - from);
      std::memcpy(out + got, buffer_.data() + from, take);
      got += take;
      position_ += take;
    }
    return got == n;
  }
  // Up to `n` bytes from `at`, without moving the reading position.
  std::size_t ReadAt(std::uint64_t at, void* into, std::size_t n) const {
    const long long got = platform::ReadAt(fd_, into, n, at);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }

 private:
  // The piece of the file from the reading position; false at its end or
  // on a failure.
  bool Fill() {
    buffer_.resize(kPiece);
    const long long got = platform::ReadAt(fd_, buffer_.data(), buffer_.size(), position_);
    buffer_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    bufferAt_ = position_;
    return !buffer_.empty();
  }

  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t bufferAt_ = 0;
};

// ---- what a file is ----------------------------------------------------------------

// An MPEG audio frame header at `h`; its frame's length in `*length` (bytes,
// header included). Free-format frames (no bit rate) do not count: their
// length cannot be known.
bool MpegFrame(const std::uint8_t* h, unsigned* length) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  const unsigned version = (h[1] >> 3) & 3;  // 0: 2.5, 1: reserved, 2: 2, 3: 1
  const unsigned layer = (h[1] >> 1) & 3;    // 1: III, 2: II, 3: I
  const unsigned rateIndex = h[2] >> 4, frequencyIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
  if (version == 1 || layer == 0 || rateIndex == 0 || rateIndex == 15 || frequencyIndex == 3) return false;
  static constexpr unsigned kRates[5][14] = {
      {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
      {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
      {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
      {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2 and 2.5 layer I
      {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2 and 2.5 layers II, III
  };
  static constexpr unsigned kFrequencies[3] = {44100, 48000, 32000};
  const bool one = version == 3;
  const unsigned row = one ? 3 - layer : (layer == 3 ? 3 : 4);
  const unsigned bitRate = kRates[row][rateIndex - 1] * 1000;
  const unsigned frequency = kFrequencies[frequencyIndex] >> (one ? 0 : version == 2 ? 1 : 2);
  if (layer == 3)
    *length = (12 * bitRate / frequency + padding) * 4;
  else
    *length = (layer == 1 && !one ? 72 : 144) * bitRate / frequency + padding;
  return *length >= 4;
}

enum class Kind { kVoiceFile, kVox, kDamagedVoiceFile, kForeign };

// What the file is, from its first bytes (`head`, fewer when the file is
// shorter). Any bytes are valid VOX, so only signatures decide: another
// format's, or most of the voice file's.
Kind KindOf(const Source& source, const std::uint8_t* head, std::size_t n) {
  auto starts = [&](const char* signature) {
    const std::size_t len = std::strlen(signature);
    return n >= len && std::memcmp(head, signature, len) == 0;
  };
  if (starts(kVocMagic)) return n >= kVocMinHeader ? Kind::kVoiceFile : Kind::kDamagedVoiceFile;
  for (const char* signature : {"RIFF", "RIFX", "RF64", "ID3", "OggS", "fLaC"})
    if (starts(signature)) return Kind::kForeign;
  unsigned length = 0;
  if (n >= 4 && MpegFrame(head, &length)) {
    // A second frame where the first ends, when the file reaches that far:
    // ADPCM that happens to look like one frame header rarely has another.
    std::uint8_t next[4];
    if (source.Size() < length + 4u) return Kind::kForeign;
    unsigned nextLength = 0;
    if (source.ReadAt(length, next, 4) == 4 && MpegFrame(next, &nextLength) && ((next[1] ^ head[1]) & 0x1E) == 0)
      return Kind::kForeign;
  }
  // The voice file's signature damaged (more than half of it in place), or
  // the file cut within it (at least its first four bytes).
  const std::size_t compared = std::min(n, kVocMagicSize);
  std::size_t same = 0;
  for (std::size_t i = 0; i < compared; ++i) same += head[i] == static_cast<std::uint8_t>(kVocMagic[i]);
  if (compared == kVocMagicSize && same > kVocMagicSize / 2) return Kind::kDamagedVoiceFile;
  if (n < kVocMagicSize && n >= 4 && same == n) return Kind::kDamagedVoiceFile;
  return Kind::kVox;
}

// ---- the walk through the blocks -------------------------------------------------

// What the walk reports, block by block. Each returns kTvdhOk to go on.
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  // A sound block starts a run in format `f` (its continuations follow).
  virtual int Start(const Format& f) = 0;
  // `n` coded bytes of the run; `bytes` is null when the walk skips sound.
  virtual int Sound(const std::uint8_t* bytes, std::size_t n) = 0;
  // `frames` frames of silence at `rate`.
  virtual int Silence(int rate, std::uint64_t frames) = 0;
};

int CheckFormat(const Format& f) {
  if (!KnownCoding(f.coding)) return kTvdhNotVoice;
  if (f.rate <= 0 || f.rate > kMaxRate || f.channels <= 0 || f.channels > kMaxChannels) return kTvdhNotVoice;
  return kTvdhOk;
}

// Walks the blocks from the header's end to the terminator or the end of
// the file, reading sound bytes when `readSound`. What the format leaves
// loose is taken this way:
// - a block too short for its own fields is skipped, and what follows it is
//   read (an empty sound block, a silence block of two bytes);
// - a block whose declared length runs past the end of the file ends there:
//   the sound it holds is kept, as of a recording cut short; a sound block
//   so cut whose format cannot be decoded is left out;
// - bytes after the last block too few for a block header are ignored, and
//   so are the 9 bytes sox leaves after a 16-bit sound block;
// - a continuation without a sound block before it has no format: skipped;
// - repeats are played once, markers and text are skipped.
// One member per kind of block; each reads the block's `present` bytes (all
// of it the file holds) and returns kTvdhOk to go on.
class BlockWalk {
 public:
  BlockWalk(Source& src, bool readSound, BlockSink& sink)
      : src_(src), readSound_(readSound), sink_(sink), piece_(readSound ? kPiece : 0) {}

  int Run() {
    bool any = false;
    if (const int r = SeekFirstBlock(&any); r != kTvdhOk || !any) return r;
    for (;;) {
      unsigned type = 0;
      std::uint64_t size = 0;
      bool more = false;
      if (const int r = NextHeader(&more, &type, &size); r != kTvdhOk || !more) return r;
      const std::uint64_t present = std::min(size, src_.Left());
      const bool cut = present < size;
      keepExtended_ = false;
      wholePcm16_ = false;
      if (const int r = Block(type, present, cut); r != kTvdhOk) return r;
      // A cut block whose format cannot be decoded ends the walk before it.
      if (undecodableTail_) return kTvdhOk;
      if (!keepExtended_) haveExtended_ = false;
      afterWholePcm16_ = wholePcm16_;
      if (cut) return kTvdhOk;
    }
  }

 private:
  // The reading position at the first block, which the header gives; `any`
  // false when the file ends before it.
  int SeekFirstBlock(bool* any) {
    std::uint8_t header[kVocMinHeader];
    if (!src_.Seek(0) || !src_.Read(header, sizeof header)) return kTvdhCannotRead;
    const unsigned first = Le16(header + 20);
    if (first < kVocMinHeader) return kTvdhNotVoice;
    if (first >= src_.Size()) return kTvdhOk;
    *any = true;
    return src_.Seek(first) ? kTvdhOk : kTvdhCannotRead;
  }

  // The next block's type and declared size; `more` false at the end of the
  // blocks (the terminator, or too few bytes left for a block).
  int NextHeader(bool* more, unsigned* type, std::uint64_t* size) {
    const std::uint64_t left = src_.Left();
    std::uint8_t head[4];
    if (left < 4) return kTvdhOk;
    if (afterWholePcm16_ && left == kMiscountedTail) {
      std::uint8_t last = 1;
      if (src_.ReadAt(src_.Size() - 1, &last, 1) == 1 && last == 0) return kTvdhOk;
    }
    if (!src_.Read(head, 1)) return kTvdhCannotRead;
    *type = head[0];
    if (*type == 0) return kTvdhOk;
    if (!src_.Read(head + 1, 3)) return kTvdhCannotRead;
    *size = Le24(head + 1);
    *more = true;
    return kTvdhOk;
  }

  int Block(unsigned type, std::uint64_t present, bool cut) {
    switch (type) {
      case 1: return SoundBlock(present, cut);
      case 9: return NewSoundBlock(present, cut);
      case 2: return MoreSound(present, cut);
      case 3: return SilenceBlock(present);
      case 8: return ExtendedBlock(present);
      default: return Skip(present);  // markers, text, repeats (played once) and the unknown
    }
  }

  // Sound: time constant, coding, coded bytes.
  int SoundBlock(std::uint64_t present, bool cut) {
    std::uint8_t fields[2];
    if (present < sizeof fields) return Skip(present);
    if (!src_.Read(fields, sizeof fields)) return kTvdhCannotRead;
    const Format own{TimeConstantRate(1000000, 256 - fields[0]), 1, fields[1]};
    return SoundOfRun(haveExtended_ ? extended_ : own, present - sizeof fields, cut);
  }

  // New-format sound: rate, bits, channels, coding, reserved, coded bytes.
  // The coding decides the sample's size; the bits field is taken as a hint
  // (writers put 12 or 8 beside 16-bit PCM, 16 beside A-law).
  int NewSoundBlock(std::uint64_t present, bool cut) {
    std::uint8_t fields[12];
    if (present < sizeof fields) return Skip(present);
    if (!src_.Read(fields, sizeof fields)) return kTvdhCannotRead;
    const std::uint32_t rate = Le32(fields);
    const Format f{rate > static_cast<std::uint32_t>(kMaxRate) ? 0 : static_cast<int>(rate), fields[5],
                   Le16(fields + 6)};
    return SoundOfRun(f, present - sizeof fields, cut);
  }

  // A sound block's run started in format `f`, then its `n` coded bytes.
  int SoundOfRun(const Format& f, std::uint64_t n, bool cut) {
    const int r = Start(f, cut);
    if (undecodableTail_ || r != kTvdhOk) return r;
    wholePcm16_ = !cut && run_.coding == kPcm16;
    return Sound(n);
  }

  // More sound in the last sound block's format.
  int MoreSound(std::uint64_t present, bool cut) {
    if (!haveRun_) return Skip(present);
    wholePcm16_ = !cut && run_.coding == kPcm16;
    return Sound(present);
  }

  // Silence: length - 1, time constant. Within a recording a silence lasts
  // its length at the sound's own rate: its one-byte time constant cannot
  // state the rates of the new-format blocks. Before any sound it has only
  // its own.
  int SilenceBlock(std::uint64_t present) {
    std::uint8_t fields[3];
    if (present < sizeof fields) return Skip(present);
    if (!src_.Read(fields, sizeof fields)) return kTvdhCannotRead;
    const int rate = haveRun_ ? run_.rate : TimeConstantRate(1000000, 256 - fields[2]);
    if (const int r = sink_.Silence(rate, Le16(fields) + 1u); r != kTvdhOk) return r;
    return Skip(present - sizeof fields);
  }

  // Extended: 16-bit time constant, coding, mono (0) or stereo; the format
  // of the next sound block.
  int ExtendedBlock(std::uint64_t present) {
    std::uint8_t fields[4];
    if (present < sizeof fields) return Skip(present);
    if (!src_.Read(fields, sizeof fields)) return kTvdhCannotRead;
    const int channels = fields[3] == 0 ? 1 : 2;
    extended_ = {TimeConstantRate(256000000, static_cast<long long>(channels) * (65536 - Le16(fields))), channels,
                 fields[2]};
    haveExtended_ = keepExtended_ = true;
    return Skip(present - sizeof fields);
  }

  int Skip(std::uint64_t n) { return src_.Skip(n) ? kTvdhOk : kTvdhCannotRead; }

  // The rest of the block, `n` bytes, as sound of the current run.
  int Sound(std::uint64_t n) {
    while (n > 0) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, kPiece));
      if (readSound_ && !src_.Read(piece_.data(), take)) return kTvdhCannotRead;
      if (!readSound_ && !src_.Skip(take)) return kTvdhCannotRead;
      if (const int r = sink_.Sound(readSound_ ? piece_.data() : nullptr, take); r != kTvdhOk) return r;
      n -= take;
    }
    return kTvdhOk;
  }

  // A block cut by the end of the file that cannot be decoded is damage at
  // the end: the walk ends before it rather than refuse what came before.
  int Start(const Format& f, bool cut) {
    if (const int r = CheckFormat(f); r != kTvdhOk) {
      if (cut) undecodableTail_ = true;
      return cut ? static_cast<int>(kTvdhOk) : r;
    }
    run_ = f;
    haveRun_ = true;
    return sink_.Start(f);
  }

  Source& src_;
  const bool readSound_;
  BlockSink& sink_;
  Format run_;             // the last sound block's format, for continuations
  bool haveRun_ = false;
  Format extended_;        // an extended block's format, for the next sound block
  bool haveExtended_ = false;
  bool keepExtended_ = false;     // the block just walked was an extended block
  bool afterWholePcm16_ = false;  // the last block was 16-bit sound, read whole
  bool wholePcm16_ = false;       // the block just walked is such a block
  bool undecodableTail_ = false;
  std::vector<std::uint8_t> piece_;
};

int WalkBlocks(Source& src, bool readSound, BlockSink& sink) { return BlockWalk(src, readSound, sink).Run(); }

// Frames that `bytes` coded bytes of a run in format `f` decode to, at most.
std::uint64_t FramesOf(const Format& f, std::uint64_t bytes) {
  const std::uint64_t ch = static_cast<std::uint64_t>(f.channels);
  switch (f.coding) {
    case kPcm16: return bytes / (2 * ch);
    case kAdpcm16: return bytes * 2 / ch;
    case kAdpcm4:
    case kAdpcm3:
    case kAdpcm2: {
      const std::uint64_t references = std::min(bytes, ch);
      const std::uint64_t perByte = f.coding == kAdpcm4 ? 2 : f.coding == kAdpcm3 ? 3 : 4;
      return (references + (bytes - references) * perByte) / ch;
    }
    default: return bytes / ch;
  }
}

// `frames` at `from` samples a second, counted at `to`; one more for the
// resampler's rounding.
std::uint64_t Rescaled(std::uint64_t frames, int from, int to) {
  if (from == to) return frames;
  return frames * static_cast<std::uint64_t>(to) / static_cast<std::uint64_t>(from) + 1;
}

// The first walk: what the recording holds, before anything is written.
class Plan : public BlockSink {
 public:
  explicit Plan(int askedRate) : askedRate_(askedRate) {}
  int Start(const Format& f) override {
    if (channels_ == 0)
      channels_ = f.channels;
    else if (f.channels != channels_)
      return kTvdhNotVoice;  // a sound file cannot change its channel count half way
    Met(f.rate);
    format_ = f;
    runBytes_ = 0;
    return kTvdhOk;
  }
  int Sound(const std::uint8_t*, std::size_t n) override {
    // A run's frames are counted whole: ADPCM's reference bytes make the
    // count of a piece depend on what came before.
    const std::uint64_t before = FramesOf(format_, runBytes_);
    runBytes_ += n;
    return Add(Rescaled(FramesOf(format_, runBytes_) - before, format_.rate, OutputRate()));
  }
  int Silence(int rate, std::uint64_t frames) override {
    if (rate <= 0 || rate > kMaxRate) return kTvdhNotVoice;
    Met(rate);
    return Add(Rescaled(frames, rate, OutputRate()));
  }
  bool HasSound() const { return !rates_.empty(); }
  int OutputRate() const { return askedRate_ ? askedRate_ : rates_.empty() ? 0 : rates_.front(); }
  int Channels() const { return channels_ ? channels_ : 1; }
  const std::vector<int>& Rates() const { return rates_; }
  bool Resamples() const {
    return std::any_of(rates_.begin(), rates_.end(), [&](int r) { return r != OutputRate(); });
  }

 private:
  void Met(int rate) {
    if (std::find(rates_.begin(), rates_.end(), rate) == rates_.end()) rates_.push_back(rate);
  }
  int Add(std::uint64_t frames) {
    frames_ += frames;
    // Seven bytes of silence block stand for 64 Ki frames: a damaged file
    // of them must be refused before a byte of it is written.
    return frames_ * static_cast<std::uint64_t>(Channels()) > kMaxSamples ? kTvdhTooLong : kTvdhOk;
  }
  int askedRate_;
  int channels_ = 0;
  std::vector<int> rates_;
  Format format_;
  std::uint64_t runBytes_ = 0;
  std::uint64_t frames_ = 0;
};

// ---- the output -----------------------------------------------------------------

// The sound file the output's frames go to.
class SoundFile {
 public:
  virtual ~SoundFile() = default;
  // False when the frames could not be written.
  virtual bool Put(const short* samples, std::size_t frames) = 0;
  // False when the file could not be completed.
  virtual bool Close() = 0;
};

// A file libsndfile writes, in any format it has.
class LibraryFile final : public SoundFile {
 public:
  bool Open(const std::string& path, SF_INFO* info) {
    file_ = tvdh::OpenSoundFile(*tvdh::Sndfile(), path, SFM_WRITE, info);
    return file_ != nullptr;
  }
  ~LibraryFile() override { Close(); }
  bool Put(const short* samples, std::size_t frames) override {
    const auto n = static_cast<sf_count_t>(frames);
    return tvdh::Sndfile()->writef_short(file_, samples, n) == n;
  }
  bool Close() override {
    if (!file_) return true;
    tvdh::Sndfile()->write_sync(file_);
    const bool closed = tvdh::Sndfile()->close(file_) == 0;
    file_ = nullptr;
    return closed;
  }

 private:
  SNDFILE* file_ = nullptr;
};

// A 16-bit PCM WAV file the decoder writes itself.
class OwnWavFile final : public SoundFile {
 public:
  bool Open(const std::string& path, int rate, int channels) { return wav_.Open(path, rate, channels); }
  bool Put(const short* samples, std::size_t frames) override { return wav_.Write(samples, frames); }
  bool Close() override { return wav_.Close(); }

 private:
  tvdh::WavWriter wav_;
};

// The sound file being written: frames at the output's rate go straight in,
// frames at another rate through libsamplerate first.
class Output {
 public:
  Output(SoundFile* file, int rate, int channels) : file_(file), rate_(rate), channels_(channels) {}
  ~Output() {
    if (converter_) tvdh::Samplerate()->delete_(converter_);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // `frames` interleaved frames at `rate`.
  int Write(const short* samples, std::size_t frames, int rate) {
    if (frames == 0) return kTvdhOk;
    if (rate == rate_) {
      if (const int r = EndConversion(); r != kTvdhOk) return r;
      return Put(samples, frames);
    }
    if (converter_ && converterRate_ != rate)
      if (const int r = EndConversion(); r != kTvdhOk) return r;
    if (!converter_) {
      int error = 0;
      converter_ = tvdh::Samplerate()->new_(SRC_SINC_MEDIUM_QUALITY, channels_, &error);
      if (!converter_) return kTvdhNoResampler;
      converterRate_ = rate;
      fed_ = made_ = 0;
      last_.clear();
    }
    fed_ += frames;
    in_.resize(frames * static_cast<std::size_t>(channels_));
    tvdh::Samplerate()->short_to_float_array(samples, in_.data(), static_cast<int>(in_.size()));
    return Convert(in_.data(), frames, false);
  }

  int Silence(std::uint64_t frames, int rate) {
    if (const int r = EndConversion(); r != kTvdhOk) return r;
    frames = rate == rate_ ? frames : (frames * static_cast<std::uint64_t>(rate_) + rate / 2) / rate;
    static const std::vector<short> zeros(kPiece);
    const std::size_t perPiece = kPiece / static_cast<std::size_t>(channels_);
    while (frames > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(frames, perPiece));
      if (const int r = Put(zeros.data(), n); r != kTvdhOk) return r;
      frames -= n;
    }
    return kTvdhOk;
  }

  // Flushes what the resampler still holds.
  int Finish() { return EndConversion(); }

 private:
  int Put(const short* samples, std::size_t frames) {
    written_ += frames * static_cast<std::uint64_t>(channels_);
    // The plan counted every frame with room for rounding; more than that
    // is a fault here, not a longer recording.
    if (written_ > kMaxSamples + (std::uint64_t{1} << 20)) return kTvdhTooLong;
    return file_->Put(samples, frames) ? kTvdhOk : kTvdhCannotWrite;
  }

  // Feeds `frames` frames to the resampler and writes what comes out; with
  // `last`, also everything it still holds.
  int Convert(const float* in, std::size_t frames, bool last) {
    constexpr std::size_t kOutFrames = 8192;
    static const float kNothing[1] = {0};
    out_.resize(kOutFrames * static_cast<std::size_t>(channels_));
    shorts_.resize(out_.size());
    SRC_DATA data{};
    data.src_ratio = static_cast<double>(rate_) / converterRate_;
    data.end_of_input = last ? 1 : 0;
    for (;;) {
      data.data_in = frames > 0 ? in : kNothing;
      data.input_frames = static_cast<long>(frames);
      data.data_out = out_.data();
      data.output_frames = static_cast<long>(kOutFrames);
      if (tvdh::Samplerate()->process(converter_, &data) != 0) return kTvdhNoResampler;
      in += data.input_frames_used * channels_;
      frames -= static_cast<std::size_t>(data.input_frames_used);
      if (data.output_frames_gen > 0) {
        // Never more than the input's duration holds at this rate: the
        // resampler's last frames may run past it.
        const auto made = static_cast<std::uint64_t>(data.output_frames_gen);
        const std::uint64_t kept = std::min(made, DueFrames() - std::min(DueFrames(), made_));
        tvdh::Samplerate()->float_to_short_array(out_.data(), shorts_.data(),
                                                  static_cast<int>(data.output_frames_gen * channels_));
        if (const int r = PutConverted(shorts_.data(), static_cast<std::size_t>(kept)); r != kTvdhOk) return r;
      }
      // Done when the input is taken and the output was not cut short by
      // the buffer's size (at the end: when nothing more comes out).
      if (last ? data.output_frames_gen == 0
               : frames == 0 && data.output_frames_gen < static_cast<long>(kOutFrames))
        return last ? PadToDue() : kTvdhOk;
    }
  }

  // The frames the input fed to the converter lasts at the output's rate,
  // to the nearest frame.
  std::uint64_t DueFrames() const {
    const auto from = static_cast<std::uint64_t>(converterRate_);
    return (fed_ * static_cast<std::uint64_t>(rate_) + from / 2) / from;
  }

  int PutConverted(const short* samples, std::size_t frames) {
    if (frames == 0) return kTvdhOk;
    made_ += frames;
    const auto width = static_cast<std::size_t>(channels_);
    last_.assign(samples + (frames - 1) * width, samples + frames * width);
    return Put(samples, frames);
  }

  // A resampler that gave fewer frames than the input lasts ends on copies
  // of its last frame (silence when it gave none), so that a rate change
  // keeps the recording's duration.
  int PadToDue() {
    if (last_.size() != static_cast<std::size_t>(channels_)) last_.assign(static_cast<std::size_t>(channels_), 0);
    while (made_ < DueFrames()) {
      made_ += 1;
      if (const int r = Put(last_.data(), 1); r != kTvdhOk) return r;
    }
    return kTvdhOk;
  }

  int EndConversion() {
    if (!converter_) return kTvdhOk;
    const int r = Convert(nullptr, 0, true);
    tvdh::Samplerate()->delete_(converter_);
    converter_ = nullptr;
    return r;
  }

  SoundFile* file_;
  int rate_, channels_;
  SRC_STATE* converter_ = nullptr;
  int converterRate_ = 0;
  std::uint64_t fed_ = 0;   // frames given to the converter since it was made
  std::uint64_t made_ = 0;  // frames of it written
  std::vector<float> in_, out_;
  std::vector<short> shorts_, last_;
  std::uint64_t written_ = 0;
};

// ---- the second walk: decoding ------------------------------------------------------

int RawSubformat(unsigned coding) {
  switch (coding) {
    case kPcm16: return SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    case kAlaw: return SF_FORMAT_ALAW;
    case kUlaw: return SF_FORMAT_ULAW;
    default: return SF_FORMAT_PCM_U8;
  }
}

tvdh::RawCoding RawCodingOf(unsigned coding) {
  switch (coding) {
    case kPcm16: return tvdh::RawCoding::kPcm16;
    case kAlaw: return tvdh::RawCoding::kAlaw;
    case kUlaw: return tvdh::RawCoding::kUlaw;
    default: return tvdh::RawCoding::kPcmU8;
  }
}

// Decodes headerless PCM-coded bytes (whole frames), with libsndfile unless
// `own`, appending 16-bit samples.
bool DecodePcm(Bytes* raw, const Format& f, bool own, std::vector<short>* samples) {
  if (raw->empty()) return true;
  if (own) {
    tvdh::DecodeRaw(RawCodingOf(f.coding), raw->data(), raw->size(), samples);
    return true;
  }
  tvdh::MemoryFile file{raw};
  SF_INFO info{};
  info.samplerate = f.rate;
  info.channels = f.channels;
  info.format = SF_FORMAT_RAW | RawSubformat(f.coding);
  SNDFILE* sound = tvdh::OpenMemory(&file, SFM_READ, &info);
  if (!sound) return false;
  const bool ok = tvdh::ReadAllFrames(sound, f.channels, samples);
  tvdh::Sndfile()->close(sound);
  return ok;
}

class Decoder : public BlockSink {
 public:
  Decoder(Output* out, bool ownCoding) : out_(out), own_(ownCoding) {}
  int Start(const Format& f) override {
    format_ = f;
    // A frame cut by the end of the last run is dropped with it.
    carry_.clear();
    pending_.clear();
    byteAdpcm_.reset();
    wordAdpcm_.reset();
    if (IsByteAdpcm(f.coding))
      byteAdpcm_ = std::make_unique<tvdh::ByteAdpcm>(f.coding == kAdpcm4 ? 4 : f.coding == kAdpcm3 ? 3 : 2, f.channels);
    if (f.coding == kAdpcm16) wordAdpcm_ = std::make_unique<tvdh::WordAdpcm>(f.channels);
    return kTvdhOk;
  }
  int Sound(const std::uint8_t* bytes, std::size_t n) override {
    if (byteAdpcm_) {
      byteAdpcm_->Decode(bytes, n, &pending_);
    } else if (wordAdpcm_) {
      wordAdpcm_->Decode(bytes, n, &pending_);
    } else {
      // A frame may straddle two blocks (or two pieces): its first bytes
      // wait for the rest.
      const std::size_t frameBytes =
          static_cast<std::size_t>(format_.coding == kPcm16 ? 2 : 1) * static_cast<std::size_t>(format_.channels);
      carry_.insert(carry_.end(), bytes, bytes + n);
      const std::size_t whole = carry_.size() - carry_.size() % frameBytes;
      raw_.assign(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(whole));
      carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(whole));
      if (!DecodePcm(&raw_, format_, own_, &pending_)) return kTvdhNotVoice;
    }
    const std::size_t channels = static_cast<std::size_t>(format_.channels);
    const std::size_t frames = pending_.size() / channels;
    const int r = out_->Write(pending_.data(), frames, format_.rate);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(frames * channels));
    return r;
  }
  int Silence(int rate, std::uint64_t frames) override { return out_->Silence(frames, rate); }

 private:
  Output* out_;
  const bool own_;
  Format format_;
  Bytes carry_, raw_;
  std::vector<short> pending_;
  std::unique_ptr<tvdh::ByteAdpcm> byteAdpcm_;
  std::unique_ptr<tvdh::WordAdpcm> wordAdpcm_;
};

// Headerless VOX ADPCM, decoded here a piece at a time.
int DecodeOwnVox(Source& src, Output* out) {
  if (!src.Seek(0)) return kTvdhCannotRead;
  tvdh::VoxAdpcm vox;
  Bytes piece(kPiece / 2);
  std::vector<short> samples;
  for (std::uint64_t left = src.Size(); left > 0;) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
    if (!src.Read(piece.data(), take)) return kTvdhCannotRead;
    samples.clear();
    vox.Decode(piece.data(), take, &samples);
    if (const int r = out->Write(samples.data(), samples.size(), kVoxRate); r != kTvdhOk) return r;
    left -= take;
  }
  return kTvdhOk;
}

// Headerless VOX ADPCM, decoded by libsndfile a piece at a time.
int DecodeVox(const char* source, Output* out) {
  SF_INFO info{};
  info.samplerate = kVoxRate;
  info.channels = 1;
  info.format = SF_FORMAT_RAW | SF_FORMAT_VOX_ADPCM;
  const tvdh::SndfileApi& sf = *tvdh::Sndfile();
  SNDFILE* sound = tvdh::OpenSoundFile(sf, source, SFM_READ, &info);
  if (!sound) return kTvdhNotVoice;
  std::vector<short> piece(kPiece);
  int r = kTvdhOk;
  for (;;) {
    const sf_count_t got = sf.readf_short(sound, piece.data(), static_cast<sf_count_t>(piece.size()));
    if (got <= 0) break;
    r = out->Write(piece.data(), static_cast<std::size_t>(got), kVoxRate);
    if (r != kTvdhOk) break;
  }
  if (r == kTvdhOk && sf.error(sound) != SF_ERR_NO_ERROR) r = kTvdhCannotRead;
  sf.close(sound);
  return r;
}

// ---- the file written --------------------------------------------------------------

// A new file beside `destination`, created here and so ours to replace or
// remove. Empty when the folder takes no new file.
std::string CreateTemporaryBeside(const std::string& destination) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name =
        destination + ".tvdh-" + std::to_string(platform::ProcessId()) + "-" + std::to_string(attempt) + ".part";
    const int fd = platform::OpenFile(name, platform::kCreateNew);
    if (fd >= 0) {
      platform::CloseFile(fd);
      return name;
    }
    if (errno != EEXIST) break;
  }
  return {};
}

#ifdef _WIN32
constexpr bool kOwnCodingByDefault = true;
#else
constexpr bool kOwnCodingByDefault = false;
#endif

bool OwnCoding(TvdhCoder coder) {
  return coder == TvdhCoder::kOwn || (coder == TvdhCoder::kPlatform && kOwnCodingByDefault);
}

int SoundFormat(TvdhFormat format) {
  switch (format) {
    case TvdhFormat::kFlac: return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    case TvdhFormat::kOgg: return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    default: return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  }
}

}  // namespace

std::int32_t TVDecodeToFile(const char* source, const char* destination, const TvdhOutput& out,
                            TvdhReport* report) {
  if (out.rate < 0 || out.rate > kMaxRate) return kTvdhCannotWrite;
  // FLAC and Ogg are libsndfile's to write; WAV too unless the decoder codes
  // it itself.
  const bool own = OwnCoding(out.coder);
  if ((!own || out.format != TvdhFormat::kWav) && !tvdh::Sndfile()) return kTvdhNoSoundLibrary;
  Source src;
  if (!source || !src.Open(source)) return kTvdhCannotRead;
  std::uint8_t head[kVocMinHeader];
  const std::size_t headBytes = src.ReadAt(0, head, sizeof head);
  if (headBytes < std::min<std::uint64_t>(src.Size(), sizeof head)) return kTvdhCannotRead;

  int rate = 0, channels = 1;
  bool resamples = false;
  Plan plan(out.rate);
  const Kind kind = KindOf(src, head, headBytes);
  switch (kind) {
    case Kind::kForeign: return kTvdhForeign;
    case Kind::kDamagedVoiceFile: return kTvdhNotVoice;
    case Kind::kVoiceFile: {
      if (const int r = WalkBlocks(src, false, plan); r != kTvdhOk) return r;
      if (!plan.HasSound()) return kTvdhNotVoice;
      rate = plan.OutputRate();
      channels = plan.Channels();
      resamples = plan.Resamples();
      break;
    }
    case Kind::kVox:
      rate = out.rate ? out.rate : kVoxRate;
      resamples = rate != kVoxRate;
      if (src.Size() * 2 * static_cast<std::uint64_t>(rate) / kVoxRate > kMaxSamples) return kTvdhTooLong;
      break;
  }
  if (resamples && !tvdh::Samplerate()) return kTvdhNoResampler;
  if (!destination || !*destination) return kTvdhCannotWrite;

  // The sound file takes the destination's name only once it is whole, so a
  // failure leaves an older destination as it was.
  const std::string temporary = CreateTemporaryBeside(destination);
  if (temporary.empty()) return kTvdhCannotWrite;
  LibraryFile libraryFile;
  OwnWavFile ownFile;
  SoundFile* file = nullptr;
  if (own && out.format == TvdhFormat::kWav) {
    if (ownFile.Open(temporary, rate, channels)) file = &ownFile;
  } else {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SoundFormat(out.format);
    if (libraryFile.Open(temporary, &info)) file = &libraryFile;
  }
  int r = file ? kTvdhOk : kTvdhCannotWrite;
  if (file) {
    {
      Output output(file, rate, channels);
      if (kind == Kind::kVoiceFile) {
        Decoder decoder(&output, own);
        r = WalkBlocks(src, true, decoder);
      } else if (src.Size() > 0) {
        r = own ? DecodeOwnVox(src, &output) : DecodeVox(source, &output);
      }
      if (r == kTvdhOk) r = output.Finish();
    }
    if (!file->Close() && r == kTvdhOk) r = kTvdhCannotWrite;
  }
  if (r == kTvdhOk && !platform::RenameFile(temporary, destination)) r = kTvdhCannotWrite;
  if (r != kTvdhOk) {
    platform::RemoveFile(temporary);
    return r;
  }
  if (report) {
    report->outputRate = rate;
    report->rates = kind == Kind::kVoiceFile ? plan.Rates() : std::vector<int>{kVoxRate};
  }
  return kTvdhOk;
}

std::int32_t TVDecodeToWavFile(std::int32_t mode, const char* source, const char* destination) {
  if (mode != kVoiceDecodeMode) return kTvdhBadMode;
  return TVDecodeToFile(source, destination, TvdhOutput{}, nullptr);
}
