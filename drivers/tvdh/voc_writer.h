// Sound files made into voice files as the player's recorder makes them:
// the virtual player stores what this writes when it "records" a memo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tvdh {

// The sample coding of the voice file written.
enum class VocCodec { kPcm16, kPcmU8, kAlaw, kUlaw };

// Reads the sound file at `wavPath` (WAV or any other file libsndfile reads)
// and writes its samples into `*voc` as a Creative Voice File at the same
// rate and channel count (one or two): one new-format sound block, continued
// in further blocks past 16 MiB. False, with `*voc` untouched and the
// reason in `*problem`, when the file cannot be read as sound or its
// channels do not fit a voice file.
bool WavToVoiceFile(const std::string& wavPath, std::vector<std::uint8_t>* voc, std::string* problem,
                    VocCodec codec = VocCodec::kPcm16);

}  // namespace tvdh
