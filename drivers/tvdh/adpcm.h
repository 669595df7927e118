// Creative's ADPCM codings of voice-file sound, decoded to 16-bit samples.
//
// The 8-bit codings (the voice file's codings 1, 2 and 3) pack 8-bit sound
// into 4, 2.6 or 2 bits a sample. A run of them (a sound block and its
// continuations) starts with one uncoded 8-bit sample per channel, the
// reference, which is itself a sample and the first prediction. Each code
// then holds a sign bit (its top bit, set for down) and a magnitude:
//
//   sample = prediction +/- (magnitude << (step + shift)), kept within 0..255
//   step   = step + 1 when magnitude >= limit, step - 1 when it is 0, kept in 0..3
//
// with step 0 at the start, shift 2 for the 2-bit coding and 0 for the
// others, limit 5, 3 and 1 for the 4-, 2.6- and 2-bit codings. A byte holds
// its codes from its top bits down: two 4-bit codes; in the 2.6-bit coding
// two 3-bit codes and a 2-bit one (a sign bit and a one-bit magnitude, taken
// with that coding's shift and limit); four 2-bit codes.
//
// The 16-bit coding (coding 0x200) packs 16-bit sound into 4 bits a sample,
// with no reference: prediction 0 and step 511 at the start of a run, then
// for each code (sign bit 8, magnitude the low three bits)
//
//   difference = ((2 * magnitude + 1) * step) / 8
//   sample     = prediction * 254 / 256 (rounded down) -/+ difference,
//                kept within 16 bits
//   step       = step * factor[magnitude] / 256, kept within 511..32767
//
// with the factors 230, 230, 230, 230, 307, 409, 512, 614. A byte holds two
// codes, the high half first.
//
// With more than one channel, the codes (and the references) take turns
// channel by channel, each channel with its own prediction and step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tvdh {

class ByteAdpcm {
 public:
  // `bits`: 4, 3 (the 2.6-bit coding) or 2.
  ByteAdpcm(int bits, int channels);
  // Decodes `n` coded bytes of the run, appending interleaved samples.
  void Decode(const std::uint8_t* in, std::size_t n, std::vector<short>* out);

 private:
  void Code(unsigned code, int codeBits, std::vector<short>* out);
  int bits_, channels_, limit_, shift_;
  int referencesLeft_;
  int channel_ = 0;  // the channel of the next code
  std::vector<int> value_, step_;
};

class WordAdpcm {
 public:
  explicit WordAdpcm(int channels);
  void Decode(const std::uint8_t* in, std::size_t n, std::vector<short>* out);

 private:
  void Code(unsigned code, std::vector<short>* out);
  int channels_;
  int channel_ = 0;
  std::vector<int> value_, step_;
};

}  // namespace tvdh
