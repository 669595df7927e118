#include "tone.h"

#include <sndfile.h>

#include <cmath>
#include <vector>

namespace player {

bool WriteTone(const std::string& path, double seconds, std::string* problem) {
  constexpr int kRate = 8000;
  constexpr double kLow = 300, kHigh = 3000, kPi = 3.14159265358979323846;
  const auto frames = static_cast<std::size_t>(seconds * kRate + 0.5);
  std::vector<short> samples(frames);
  // The phase of a linear sweep: the frequency at t is kLow + (kHigh - kLow) t / seconds.
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double phase = 2 * kPi * (kLow * t + (kHigh - kLow) * t * t / (2 * seconds));
    samples[i] = static_cast<short>(std::lround(16384 * std::sin(phase)));
  }
  SF_INFO info{};
  info.samplerate = kRate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* sound = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!sound) {
    *problem = "cannot write " + path + ": " + sf_strerror(nullptr);
    return false;
  }
  const bool written = sf_write_short(sound, samples.data(), static_cast<sf_count_t>(frames)) ==
                       static_cast<sf_count_t>(frames);
  if (sf_close(sound) != 0 || !written) {
    *problem = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace player
