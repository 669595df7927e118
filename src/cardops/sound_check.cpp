// A sound file read back and compared with what the decoder wrote: the proof
// an import waits for before it counts a copy.
#include <sndfile.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "cardops.h"
#include "sndfile_api.h"

namespace {

constexpr sf_count_t kPieceFrames = 16384;

// Ogg Vorbis keeps what the ear hears, not the samples: its frames are
// taken as the reference's when the difference carries at most this share
// of the reference's energy (-20 dB). A file cut short, shifted, or decoded
// from other sound is far above it; the codec's own loss on speech stays
// well below.
constexpr double kLossyNoiseShare = 1.0 / 100;

struct SoundCloser {
  void operator()(SNDFILE* file) const { tvdh::Sndfile()->close(file); }
};
using Sound = std::unique_ptr<SNDFILE, SoundCloser>;

Sound OpenForReading(const std::string& path, SF_INFO* info) {
  *info = SF_INFO{};
  return Sound(tvdh::Sndfile()->open(path.c_str(), SFM_READ, info));
}

// Every frame of both files, a piece at a time, into `compare`; false when
// a read fails or one file ends before the other.
template <typename Compare>
bool WalkBoth(SNDFILE* a, SNDFILE* b, int channels, Compare compare) {
  const tvdh::SndfileApi& sf = *tvdh::Sndfile();
  const std::size_t width = static_cast<std::size_t>(channels);
  std::vector<short> x(static_cast<std::size_t>(kPieceFrames) * width), y(x.size());
  for (;;) {
    const sf_count_t got = sf.readf_short(a, x.data(), kPieceFrames);
    const sf_count_t also = sf.readf_short(b, y.data(), kPieceFrames);
    if (got != also || got < 0) return false;
    if (got == 0) return sf.error(a) == SF_ERR_NO_ERROR && sf.error(b) == SF_ERR_NO_ERROR;
    if (!compare(x.data(), y.data(), static_cast<std::size_t>(got) * width)) return false;
  }
}

}  // namespace

CardOpResult CompareSoundFiles(const std::string& written, const std::string& reference, VoiceOutput::Format format) {
  if (!tvdh::Sndfile()) return kOpPcReadFailed;
  SF_INFO wi, ri;
  const Sound w = OpenForReading(written, &wi);
  const Sound r = OpenForReading(reference, &ri);
  if (!w || !r) return kOpPcReadFailed;
  if (wi.samplerate != ri.samplerate || wi.channels != ri.channels || wi.frames != ri.frames || ri.channels < 1)
    return kOpVerifyFailed;
  if (format != VoiceOutput::Format::kOgg) {
    const bool same = WalkBoth(w.get(), r.get(), ri.channels, [](const short* x, const short* y, std::size_t n) {
      for (std::size_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return false;
      return true;
    });
    return same ? kOpOk : kOpVerifyFailed;
  }
  double signal = 0, noise = 0, samples = 0;
  const bool whole = WalkBoth(w.get(), r.get(), ri.channels, [&](const short* x, const short* y, std::size_t n) {
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
