#include "voc_writer.h"

#include <sndfile.h>

#include "memory_sound.h"

namespace tvdh {

namespace {

int Subformat(VocCodec codec) {
  switch (codec) {
    case VocCodec::kPcmU8: return SF_FORMAT_PCM_U8;
    case VocCodec::kAlaw: return SF_FORMAT_ALAW;
    case VocCodec::kUlaw: return SF_FORMAT_ULAW;
    default: return SF_FORMAT_PCM_16;
  }
}

// Every sample of the sound file at `path`, interleaved; its rate and
// channels in `*info`.
bool ReadSound(const std::string& path, SF_INFO* info, std::vector<short>* samples, std::string* problem) {
  SNDFILE* sound = sf_open(path.c_str(), SFM_READ, info);
  if (!sound) {
    *problem = path + " is not a sound file libsndfile can read (" + sf_strerror(nullptr) + ")";
    return false;
  }
  const bool ok = ReadAllFrames(sound, info->channels, samples);
  sf_close(sound);
  if (!ok) *problem = "cannot read the samples of " + path;
  return ok;
}

bool WriteVoc(const SF_INFO& in, const std::vector<short>& samples, VocCodec codec, std::vector<std::uint8_t>* voc,
              std::string* problem) {
  SF_INFO out{};
  out.samplerate = in.samplerate;
  out.channels = in.channels;
  out.format = SF_FORMAT_VOC | Subformat(codec);
  MemoryFile file{voc};
  SNDFILE* sound = OpenMemory(&file, SFM_WRITE, &out);
  if (!sound) {
    *problem = std::string("cannot write a voice file at this rate and channel count (") + sf_strerror(nullptr) + ")";
    return false;
  }
  const sf_count_t frames = static_cast<sf_count_t>(samples.size() / in.channels);
  const bool written = sf_writef_short(sound, samples.data(), frames) == frames;
  if (sf_close(sound) != 0 || !written) {
    *problem = "cannot write the voice file";
    return false;
  }
  return true;
}

}  // namespace

bool WavToVoiceFile(const std::string& wavPath, std::vector<std::uint8_t>* voc, std::string* problem,
                    VocCodec codec) {
  SF_INFO in{};
  std::vector<short> samples;
  if (!ReadSound(wavPath, &in, &samples, problem)) return false;
  if (in.channels > 2) {
    *problem = wavPath + " has " + std::to_string(in.channels) + " channels; a voice file holds one or two";
    return false;
  }
  std::vector<std::uint8_t> bytes;
  if (!WriteVoc(in, samples, codec, &bytes, problem)) return false;
  voc->swap(bytes);
  return true;
}

}  // namespace tvdh
