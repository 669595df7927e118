#include "adpcm.h"

#include <algorithm>

namespace tvdh {

namespace {

short FromEightBit(int value) { return static_cast<short>((value - 128) * 256); }

}  // namespace

ByteAdpcm::ByteAdpcm(int bits, int channels)
    : bits_(bits),
      channels_(channels),
      limit_(bits == 4 ? 5 : bits == 3 ? 3 : 1),
      shift_(bits == 2 ? 2 : 0),
      referencesLeft_(channels),
      value_(static_cast<std::size_t>(channels), 128),
      step_(static_cast<std::size_t>(channels), 0) {}

void ByteAdpcm::Code(unsigned code, int codeBits, std::vector<short>* out) {
  const unsigned signBit = 1u << (codeBits - 1);
  const int magnitude = static_cast<int>(code & (signBit - 1));
  int& value = value_[static_cast<std::size_t>(channel_)];
  int& step = step_[static_cast<std::size_t>(channel_)];
  const int delta = magnitude << (step + shift_);
  value = std::clamp((code & signBit) ? value - delta : value + delta, 0, 255);
  if (magnitude >= limit_)
    step = std::min(step + 1, 3);
  else if (magnitude == 0)
    step = std::max(step - 1, 0);
  out->push_back(FromEightBit(value));
  channel_ = (channel_ + 1) % channels_;
}

void ByteAdpcm::Decode(const std::uint8_t* in, std::size_t n, std::vector<short>* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned b = in[i];
    if (referencesLeft_ > 0) {
      value_[static_cast<std::size_t>(channel_)] = static_cast<int>(b);
      out->push_back(FromEightBit(static_cast<int>(b)));
      channel_ = (channel_ + 1) % channels_;
      --referencesLeft_;
      continue;
    }
    switch (bits_) {
      case 4:
        Code(b >> 4, 4, out);
        Code(b & 15, 4, out);
        break;
      case 3:
        Code(b >> 5, 3, out);
        Code((b >> 2) & 7, 3, out);
        Code(b & 3, 2, out);
        break;
      default:
        for (int s = 6; s >= 0; s -= 2) Code((b >> s) & 3, 2, out);
        break;
    }
  }
}

WordAdpcm::WordAdpcm(int channels)
    : channels_(channels),
      value_(static_cast<std::size_t>(channels), 0),
      step_(static_cast<std::size_t>(channels), 511) {}

void WordAdpcm::Code(unsigned code, std::vector<short>* out) {
  static constexpr int kFactor[8] = {230, 230, 230, 230, 307, 409, 512, 614};
  const int magnitude = static_cast<int>(code & 7);
  int& value = value_[static_cast<std::size_t>(channel_)];
  int& step = step_[static_cast<std::size_t>(channel_)];
  const int difference = ((2 * magnitude + 1) * step) / 8;
  // The division rounds down, below zero too.
  const int kept = (value * 254) >> 8;
  value = std::clamp((code & 8) ? kept - difference : kept + difference, -32768, 32767);
  step = std::clamp(step * kFactor[magnitude] / 256, 511, 32767);
  out->push_back(static_cast<short>(value));
  channel_ = (channel_ + 1) % channels_;
}

void WordAdpcm::Decode(const std::uint8_t* in, std::size_t n, std::vector<short>* out) {
  for (std::size_t i = 0; i < n; ++i) {
    Code(in[i] >> 4, out);
    Code(in[i] & 15, out);
  }
}

}  // namespace tvdh
