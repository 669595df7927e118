// The uncoded and the companded sample codings of a voice file, and the
// Dialogic (OKI) 4-bit ADPCM of a headerless recording, decoded to 16-bit
// samples here, so that decoding needs no sound library. Each gives the
// values libsndfile gives for the same bytes:
//   unsigned 8-bit: (byte - 128) << 8
//   16-bit little-endian: as it is
//   A-law, mu-law: the G.711 expansions to 16 bits
//   VOX: 12-bit OKI ADPCM (49 steps, the IMA step changes), each sample
//        kept to 12 bits and scaled to 16, the high half of a byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tvdh {

enum class RawCoding { kPcmU8, kPcm16, kAlaw, kUlaw };

// The bytes one sample of `coding` takes.
std::size_t RawSampleBytes(RawCoding coding);
// Decodes the whole samples of `n` bytes (a trailing part of one is left
// out), appending them to `out`.
void DecodeRaw(RawCoding coding, const std::uint8_t* in, std::size_t n, std::vector<short>* out);

// A headerless VOX recording, decoded piece by piece: the prediction and
// the step carry from one piece to the next.
class VoxAdpcm {
 public:
  void Decode(const std::uint8_t* in, std::size_t n, std::vector<short>* out);

 private:
  short Code(unsigned code);
  int last_ = 0;
  int stepIndex_ = 0;
};

}  // namespace tvdh
