// The voice file is laid out here: the header, one new-format sound block
// (type 9) and, for a long recording, continuation blocks (type 2), then the
// terminator. libsndfile codes the samples. (Its own voice file writer counts
// the terminator into the last block, which a strict reader takes for one
// more sample.)
#include "voc_writer.h"


#include <algorithm>

#include "memory_sound.h"
#include "sndfile_api.h"

namespace tvdh {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kMagic[] = "Creative Voice File\x1A";
constexpr unsigned kHeaderSize = 26;
constexpr unsigned kVersion = 0x0114;
constexpr std::size_t kMaxBlockBody = 0xFFFFFF;  // a block's size has three bytes
constexpr std::size_t kNewFormatFields = 12;

struct Coding {
  int subformat;
  unsigned number;  // the voice file's codec number
  unsigned bits;
};

Coding CodingOf(VocCodec codec) {
  switch (codec) {
    case VocCodec::kPcmU8: return {SF_FORMAT_PCM_U8, 0, 8};
    case VocCodec::kAlaw: return {SF_FORMAT_ALAW, 6, 8};
    case VocCodec::kUlaw: return {SF_FORMAT_ULAW, 7, 8};
    default: return {SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE, 4, 16};
  }
}

void Put(Bytes* b, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) b->push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Every sample of the sound file at `path`, interleaved; its rate and
// channels in `*info`.
bool ReadSound(const std::string& path, SF_INFO* info, std::vector<short>* samples, std::string* problem) {
  const SndfileApi& sf = *Sndfile();
  SNDFILE* sound = OpenSoundFile(sf, path, SFM_READ, info);
  if (!sound) {
    *problem = path + " is not a sound file libsndfile can read (" + sf.strerror(nullptr) + ")";
    return false;
  }
  const bool ok = ReadAllFrames(sound, info->channels, samples);
  sf.close(sound);
  if (!ok) *problem = "cannot read the samples of " + path;
  return ok;
}

// The samples coded as headerless sound.
bool Code(const SF_INFO& in, const std::vector<short>& samples, const Coding& coding, Bytes* coded) {
  SF_INFO out{};
  out.samplerate = in.samplerate;
  out.channels = in.channels;
  out.format = SF_FORMAT_RAW | coding.subformat;
  MemoryFile file{coded};
  SNDFILE* sound = OpenMemory(&file, SFM_WRITE, &out);
  if (!sound) return false;
  const sf_count_t frames = static_cast<sf_count_t>(samples.size() / in.channels);
  const bool written = Sndfile()->writef_short(sound, samples.data(), frames) == frames;
  return Sndfile()->close(sound) == 0 && written;
}

Bytes Layout(const SF_INFO& in, const Coding& coding, const Bytes& coded) {
  Bytes voc(kMagic, kMagic + sizeof kMagic - 1);
  Put(&voc, kHeaderSize, 2);
  Put(&voc, kVersion, 2);
  Put(&voc, (~kVersion + 0x1234u) & 0xFFFF, 2);
  // Blocks end on whole frames, so each one can be decoded on its own.
  const std::size_t frameBytes = coding.bits / 8 * static_cast<std::size_t>(in.channels);
  const std::size_t perBlock = (kMaxBlockBody - kNewFormatFields) / frameBytes * frameBytes;
  std::size_t done = 0;
  do {
    const std::size_t n = std::min(perBlock, coded.size() - done);
    if (done == 0) {
      voc.push_back(9);
      Put(&voc, static_cast<std::uint32_t>(kNewFormatFields + n), 3);
      Put(&voc, static_cast<std::uint32_t>(in.samplerate), 4);
      Put(&voc, coding.bits, 1);
      Put(&voc, static_cast<std::uint32_t>(in.channels), 1);
      Put(&voc, coding.number, 2);
      Put(&voc, 0, 4);
    } else {
      voc.push_back(2);
      Put(&voc, static_cast<std::uint32_t>(n), 3);
    }
    voc.insert(voc.end(), coded.begin() + done, coded.begin() + done + n);
    done += n;
  } while (done < coded.size());
  voc.push_back(0);
  return voc;
}

}  // namespace

bool WavToVoiceFile(const std::string& wavPath, std::vector<std::uint8_t>* voc, std::string* problem,
                    VocCodec codec) {
  if (!Sndfile()) {
    *problem = "libsndfile cannot be loaded; it reads and codes the sound";
    return false;
  }
  SF_INFO in{};
  std::vector<short> samples;
  if (!ReadSound(wavPath, &in, &samples, problem)) return false;
  if (in.channels > 2) {
    *problem = wavPath + " has " + std::to_string(in.channels) + " channels; a voice file holds one or two";
    return false;
  }
  const Coding coding = CodingOf(codec);
  Bytes coded;
  if (!Code(in, samples, coding, &coded)) {
    *problem = "cannot code the samples of " + wavPath;
    return false;
  }
  *voc = Layout(in, coding, coded);
  return true;
}

}  // namespace tvdh
