// The voice decoder: a recording fetched from the card becomes a 16-bit PCM
// WAV file. The player writes Creative Voice Files; a file without their
// header is taken as bare 4-bit ADPCM at 8 kHz, mono. The voice file's blocks are
// walked here; libsndfile turns each block's samples into 16-bit ones and
// writes the WAV file.
#include "tvdh.h"


#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "memory_sound.h"
#include "sndfile_api.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kVocMagic[] = "Creative Voice File\x1A";
constexpr std::size_t kVocMagicSize = sizeof(kVocMagic) - 1;
constexpr std::size_t kVocMinHeader = 26;
// A headerless recording: 4-bit ADPCM, 8 kHz, mono.
constexpr int kVoxRate = 8000;
// The most samples a recording may hold: 9 hours at 8 kHz, 512 MiB of WAV.
constexpr std::size_t kMaxSamples = std::size_t{1} << 28;

// The sample codings a voice file's blocks may carry (the file's own numbers).
enum Codec : unsigned { kPcmU8 = 0, kPcm16 = 4, kAlaw = 6, kUlaw = 7 };

struct Format {
  int rate = 0;
  int channels = 0;
  unsigned codec = kPcmU8;
};

// The decoded recording: every block's samples, interleaved, in one format.
struct Recording {
  bool hasSound = false;
  int rate = 0;
  int channels = 0;
  std::vector<short> samples;
};

unsigned Le16(const Bytes& b, std::size_t at) { return b[at] | b[at + 1] << 8; }
unsigned Le24(const Bytes& b, std::size_t at) { return Le16(b, at) | b[at + 2] << 16; }
std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return Le16(b, at) | static_cast<std::uint32_t>(Le16(b, at + 2)) << 16;
}

bool ReadWholeFile(const char* path, Bytes* bytes) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  std::uint8_t chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool HasVocHeader(const Bytes& b) {
  return b.size() >= kVocMagicSize && std::memcmp(b.data(), kVocMagic, kVocMagicSize) == 0;
}

bool KnownCodec(unsigned codec) { return codec == kPcmU8 || codec == kPcm16 || codec == kAlaw || codec == kUlaw; }

int BytesPerSample(unsigned codec) { return codec == kPcm16 ? 2 : 1; }

int RawSubformat(unsigned codec) {
  switch (codec) {
    case kPcm16: return SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    case kAlaw: return SF_FORMAT_ALAW;
    case kUlaw: return SF_FORMAT_ULAW;
    default: return SF_FORMAT_PCM_U8;
  }
}

// Decodes headerless coded sound with libsndfile, appending 16-bit samples.
// Only whole frames are handed over: a block cut short keeps what it holds.
bool DecodeRaw(const std::uint8_t* data, std::size_t size, int rate, int channels, int subformat,
               std::size_t frameBytes, std::vector<short>* samples) {
  size -= size % frameBytes;
  if (size == 0) return true;
  Bytes raw(data, data + size);
  tvdh::MemoryFile file{&raw};
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_RAW | subformat;
  SNDFILE* sound = tvdh::OpenMemory(&file, SFM_READ, &info);
  if (!sound) return false;
  const bool ok = tvdh::ReadAllFrames(sound, channels, samples);
  tvdh::Sndfile()->close(sound);
  return ok;
}

// Every block of one recording has the same rate and channel count: a WAV
// file cannot change them half way.
bool Join(Recording* rec, int rate, int channels) {
  if (rate <= 0 || rate > 655350 || channels <= 0) return false;
  if (!rec->hasSound) {
    rec->hasSound = true;
    rec->rate = rate;
    rec->channels = channels;
  }
  return rec->rate == rate && rec->channels == channels;
}

int RoundedRate(long long numerator, long long denominator) {
  return static_cast<int>((numerator + denominator / 2) / denominator);
}

// What the walk through a voice file's blocks carries from block to block.
// A sound block and its continuations make one run of coded bytes, decoded
// when the run ends: a frame may straddle two blocks.
struct Walk {
  Format sound;            // the last sound block's format, for continuations
  bool haveSound = false;
  Format extended;         // an extended block's format, for the next sound block
  bool haveExtended = false;
  Bytes run;
};

bool StartRun(Walk* w, Recording* rec, const Format& f) {
  if (!KnownCodec(f.codec) || !Join(rec, f.rate, f.channels)) return false;
  w->sound = f;
  w->haveSound = true;
  return true;
}

// Decodes the run so far; leaves it empty.
bool EndRun(Walk* w, Recording* rec) {
  if (w->run.empty()) return true;
  const std::size_t frameBytes = static_cast<std::size_t>(BytesPerSample(w->sound.codec)) * w->sound.channels;
  const bool ok = DecodeRaw(w->run.data(), w->run.size(), w->sound.rate, w->sound.channels,
                            RawSubformat(w->sound.codec), frameBytes, &rec->samples);
  w->run.clear();
  return ok;
}

// One block's body (`size` bytes at `at`, fewer when the file is cut short).
// kTvdhOk to go on, kTvdhNotVoice for a block this decoder cannot decode.
// `*cut` is set when the block lacks even its own fields.
int TakeBlock(unsigned type, const Bytes& b, std::size_t at, std::size_t size, Walk* w, Recording* rec,
              bool* cut) {
  const std::uint8_t* body = b.data() + at;
  const bool startsAnew = type == 1 || type == 3 || type == 9;
  if (startsAnew && !EndRun(w, rec)) return kTvdhNotVoice;
  switch (type) {
    case 1: {  // sound data: time constant, codec, samples
      if (size < 2) return *cut = true, kTvdhOk;
      Format f{RoundedRate(1000000, 256 - body[0]), 1, body[1]};
      if (w->haveExtended) f = w->extended;
      if (!StartRun(w, rec, f)) return kTvdhNotVoice;
      w->run.assign(body + 2, body + size);
      return kTvdhOk;
    }
    case 2:  // more samples in the last sound block's format
      if (!w->haveSound) return kTvdhNotVoice;
      w->run.insert(w->run.end(), body, body + size);
      return kTvdhOk;
    case 3: {  // silence: length - 1, time constant
      if (size < 3) return *cut = true, kTvdhOk;
      const int rate = w->haveSound ? w->sound.rate : RoundedRate(1000000, 256 - body[2]);
      const int channels = w->haveSound ? w->sound.channels : 1;
      if (!Join(rec, rate, channels)) return kTvdhNotVoice;
      // Seven bytes of silence block stand for up to 128 KiB of samples: a
      // damaged file of them must not exhaust the memory.
      const std::size_t silence = (Le16(b, at) + 1u) * static_cast<std::size_t>(channels);
      if (rec->samples.size() + silence > kMaxSamples) return kTvdhNotVoice;
      rec->samples.resize(rec->samples.size() + silence, 0);
      return kTvdhOk;
    }
    case 8: {  // extended: 16-bit time constant, codec, mono or stereo
      if (size < 4) return *cut = true, kTvdhOk;
      const int channels = body[3] == 0 ? 1 : body[3] == 1 ? 2 : 0;
      if (channels == 0) return kTvdhNotVoice;
      w->extended = {RoundedRate(256000000, static_cast<long long>(channels) * (65536 - Le16(b, at))), channels,
                     body[2]};
      w->haveExtended = true;
      return kTvdhOk;
    }
    case 9: {  // new-format sound data: rate, bits, channels, codec, reserved
      if (size < 12) return *cut = true, kTvdhOk;
      const std::uint32_t rate = Le32(b, at);
      const unsigned bits = body[4];
      const Format f{rate > 655350 ? 0 : static_cast<int>(rate), body[5], Le16(b, at + 6)};
      if ((f.codec == kPcm16) != (bits == 16) || (bits != 8 && bits != 16)) return kTvdhNotVoice;
      if (!StartRun(w, rec, f)) return kTvdhNotVoice;
      w->run.assign(body + 12, body + size);
      return kTvdhOk;
    }
    default:  // markers, text, repeats (played once) and the unknown
      return kTvdhOk;
  }
}

// Walks the blocks from the header's end to the terminator (or the end of
// the file). A file cut short in a block keeps the whole samples before the
// cut.
int DecodeVoc(const Bytes& b, Recording* rec) {
  if (b.size() < kVocMinHeader) return kTvdhNotVoice;
  std::size_t at = Le16(b, 20);
  if (at < kVocMinHeader) return kTvdhNotVoice;
  Walk walk;
  bool cut = false;
  while (at < b.size() && !cut) {
    const unsigned type = b[at];
    if (type == 0 || at + 4 > b.size()) break;
    const std::size_t size = Le24(b, at + 1);
    const std::size_t body = at + 4;
    const std::size_t present = std::min(size, b.size() - body);
    const int r = TakeBlock(type, b, body, present, &walk, rec, &cut);
    if (r != kTvdhOk) return r;
    if (type != 8) walk.haveExtended = false;
    cut = cut || present < size;
    at = body + size;
  }
  if (!EndRun(&walk, rec)) return kTvdhNotVoice;
  return rec->hasSound ? kTvdhOk : kTvdhNotVoice;
}

int DecodeVox(const Bytes& b, Recording* rec) {
  Join(rec, kVoxRate, 1);
  if (b.empty()) return kTvdhOk;
  return DecodeRaw(b.data(), b.size(), kVoxRate, 1, SF_FORMAT_VOX_ADPCM, 1, &rec->samples) ? kTvdhOk
                                                                                          : kTvdhNotVoice;
}

// A new file beside `destination`, created here and so ours to replace or
// remove. Empty when the folder takes no new file.
std::string CreateTemporaryBeside(const std::string& destination) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name =
        destination + ".tvdh-" + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".part";
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return name;
    }
    if (errno != EEXIST) break;
  }
  return {};
}

bool WriteWavFile(const std::string& path, const Recording& rec) {
  SF_INFO info{};
  info.samplerate = rec.rate;
  info.channels = rec.channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  const tvdh::SndfileApi& sf = *tvdh::Sndfile();
  SNDFILE* sound = sf.open(path.c_str(), SFM_WRITE, &info);
  if (!sound) return false;
  const sf_count_t frames = static_cast<sf_count_t>(rec.samples.size() / rec.channels);
  bool ok = sf.writef_short(sound, rec.samples.data(), frames) == frames;
  sf.write_sync(sound);
  ok = sf.close(sound) == 0 && ok;
  return ok;
}

// The WAV file takes the destination's name only once it is whole, so a
// failure leaves an older destination as it was.
int WriteWavInPlace(const char* destination, const Recording& rec) {
  const std::string temporary = CreateTemporaryBeside(destination);
  if (temporary.empty()) return kTvdhCannotWrite;
  if (WriteWavFile(temporary, rec) && std::rename(temporary.c_str(), destination) == 0) return kTvdhOk;
  std::remove(temporary.c_str());
  return kTvdhCannotWrite;
}

}  // namespace

std::int32_t TVDecodeToWavFile(std::int32_t mode, const char* source, const char* destination) {
  if (mode != kVoiceDecodeMode) return kTvdhBadMode;
  // Without libsndfile no sample can be coded, so no WAV file can be written.
  if (!tvdh::Sndfile()) return kTvdhCannotWrite;
  Bytes bytes;
  if (!source || !ReadWholeFile(source, &bytes)) return kTvdhCannotRead;
  Recording rec;
  const int decoded = HasVocHeader(bytes) ? DecodeVoc(bytes, &rec) : DecodeVox(bytes, &rec);
  if (decoded != kTvdhOk) return decoded;
  if (!destination || !*destination) return kTvdhCannotWrite;
  return WriteWavInPlace(destination, rec);
}
