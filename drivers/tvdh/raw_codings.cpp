#include "raw_codings.h"

#include <algorithm>

namespace tvdh {

namespace {

short FromU8(std::uint8_t b) { return static_cast<short>((b - 128) * 256); }

short FromAlaw(std::uint8_t code) {
  const unsigned a = code ^ 0x55u;
  int t = static_cast<int>((a & 0x0Fu) << 4);
  const unsigned segment = (a & 0x70u) >> 4;
  if (segment == 0)
    t += 8;
  else
    t = (t + 0x108) << (segment - 1);
  return static_cast<short>((a & 0x80u) ? t : -t);
}

short FromUlaw(std::uint8_t code) {
  const unsigned u = ~code & 0xFFu;
  const int t = static_cast<int>((((u & 0x0Fu) << 3) + 0x84) << ((u & 0x70u) >> 4));
  return static_cast<short>((u & 0x80u) ? 0x84 - t : t - 0x84);
}

// The OKI steps, already scaled from 12 to 16 bits.
constexpr int kVoxSteps[] = {256,  272,  304,  336,  368,  400,  448,  496,  544,  592,  656,  720,   800,
                             880,  960,  1056, 1168, 1280, 1408, 1552, 1712, 1888, 2080, 2288,  2512,
                             2768, 3040, 3344, 3680, 4048, 4464, 4912, 5392, 5936, 6528, 7184,  7904,
                             8704, 9568, 10528, 11584, 12736, 14016, 15408, 16960, 18656, 20512, 22576, 24832};
constexpr int kVoxLastStep = static_cast<int>(sizeof kVoxSteps / sizeof kVoxSteps[0]) - 1;
constexpr int kStepChanges[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
// The low four bits of a 16-bit sample that a 12-bit coding cannot hold.
constexpr int kTwelveBits = ~0 << 4;

}  // namespace

std::size_t RawSampleBytes(RawCoding coding) { return coding == RawCoding::kPcm16 ? 2 : 1; }

void DecodeRaw(RawCoding coding, const std::uint8_t* in, std::size_t n, std::vector<short>* out) {
  const std::size_t width = RawSampleBytes(coding);
  out->reserve(out->size() + n / width);
  for (std::size_t i = 0; i + width <= n; i += width) {
    const std::uint8_t b = in[i];
    switch (coding) {
      case RawCoding::kPcmU8: out->push_back(FromU8(b)); break;
      case RawCoding::kPcm16: out->push_back(static_cast<short>(b | in[i + 1] << 8)); break;
      case RawCoding::kAlaw: out->push_back(FromAlaw(b)); break;
      case RawCoding::kUlaw: out->push_back(FromUlaw(b)); break;
    }
  }
}

short VoxAdpcm::Code(unsigned code) {
  const int step = kVoxSteps[stepIndex_];
  int difference = ((step * static_cast<int>(((code & 7u) << 1) | 1u)) >> 3) & kTwelveBits;
  if (code & 8u) difference = -difference;
  const int sample = std::clamp(last_ + difference, -32768, 32767);
  stepIndex_ = std::clamp(stepIndex_ + kStepChanges[code & 7u], 0, kVoxLastStep);
  last_ = sample;
  return static_cast<short>(sample);
}

void VoxAdpcm::Decode(const std::uint8_t* in, std::size_t n, std::vector<short>* out) {
  out->reserve(out->size() + 2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    out->push_back(Code(in[i] >> 4));
    out->push_back(Code(in[i] & 0x0Fu));
  }
}

}  // namespace tvdh
