// A sound file read back and compared with what the decoder wrote: the proof
// an import waits for before it counts a copy.
#include <sndfile.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "cardops.h"
#include "sndfile_api.h"
#include "wav_writer.h"

namespace {

constexpr std::size_t kPieceFrames = 16384;

// Ogg Vorbis keeps what the ear hears, not the samples: its frames are
// taken as the reference's when the difference carries at most this share
// of the reference's energy (-20 dB). A file cut short, shifted, or decoded
// from other sound is far above it; the codec's own loss on speech stays
// well below.
constexpr double kLossyNoiseShare = 1.0 / 100;

// One sound file open for reading: through libsndfile where it is, else
// through the decoder's own WAV reader (where libsndfile is missing the
// decoder writes WAV alone, so nothing else is there to read back).
class SoundIn {
 public:
  SoundIn() = default;
  SoundIn(const SoundIn&) = delete;
  SoundIn& operator=(const SoundIn&) = delete;
  ~SoundIn() {
    if (sound_) tvdh::Sndfile()->close(sound_);
  }

  bool Open(const std::string& path) {
    if (const tvdh::SndfileApi* sf = tvdh::Sndfile()) {
      SF_INFO info{};
      sound_ = tvdh::OpenSoundFile(*sf, path, SFM_READ, &info);
      rate_ = info.samplerate;
      channels_ = info.channels;
      frames_ = static_cast<std::int64_t>(info.frames);
      return sound_ != nullptr;
    }
    if (!wav_.Open(path)) return false;
    rate_ = wav_.Rate();
    channels_ = wav_.Channels();
    frames_ = static_cast<std::int64_t>(wav_.Frames());
    return true;
  }

  // Up to `frames` frames; 0 at the end, -1 on a read failure.
  std::int64_t Read(short* samples, std::size_t frames) {
    if (!sound_) return wav_.Read(samples, frames);
    const tvdh::SndfileApi& sf = *tvdh::Sndfile();
    const sf_count_t got = sf.readf_short(sound_, samples, static_cast<sf_count_t>(frames));
    return got == 0 && sf.error(sound_) != SF_ERR_NO_ERROR ? -1 : static_cast<std::int64_t>(got);
  }

  int Rate() const { return rate_; }
  int Channels() const { return channels_; }
  std::int64_t Frames() const { return frames_; }

 private:
  SNDFILE* sound_ = nullptr;
  tvdh::WavReader wav_;
  int rate_ = 0;
  int channels_ = 0;
  std::int64_t frames_ = 0;
};

// Every frame of both files, a piece at a time, into `compare`; false when
// a read fails or one file ends before the other.
template <typename Compare>
bool WalkBoth(SoundIn& a, SoundIn& b, int channels, Compare compare) {
  const std::size_t width = static_cast<std::size_t>(channels);
  std::vector<short> x(kPieceFrames * width), y(x.size());
  for (;;) {
    const std::int64_t got = a.Read(x.data(), kPieceFrames);
    const std::int64_t also = b.Read(y.data(), kPieceFrames);
    if (got != also || got < 0) return false;
    if (got == 0) return true;
    if (!compare(x.data(), y.data(), static_cast<std::size_t>(got) * width)) return false;
  }
}

}  // namespace

CardOpResult CompareSoundFiles(const std::string& written, const std::string& reference, VoiceOutput::Format format) {
  // FLAC and Ogg are read by libsndfile alone.
  if (!tvdh::Sndfile() && format != VoiceOutput::Format::kWav) return kOpPcReadFailed;
  SoundIn w, r;
  if (!w.Open(written) || !r.Open(reference)) return kOpPcReadFailed;
  if (w.Rate() != r.Rate() || w.Channels() != r.Channels() || w.Frames() != r.Frames() || r.Channels() < 1)
    return kOpVerifyFailed;
  if (format != VoiceOutput::Format::kOgg) {
    const bool same = WalkBoth(w, r, r.Channels(), [](const short* x, const short* y, std::size_t n) {
      for (std::size_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return false;
      return true;
    });
    return same ? kOpOk : kOpVerifyFailed;
  }
  double signal = 0, noise = 0, samples = 0;
  const bool whole = WalkBoth(w, r, r.Channels(), [&](const short* x, const short* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const double d = static_cast<double>(x[i]) - y[i];
      signal += static_cast<double>(y[i]) * y[i];
      noise += d * d;
    }
    samples += static_cast<double>(n);
    return true;
  });
  // Besides the share, one step of the 16-bit scale a sample: near-silence
  // has too little energy for a share of it to measure the codec by.
  return whole && noise <= signal * kLossyNoiseShare + samples ? kOpOk : kOpVerifyFailed;
}
