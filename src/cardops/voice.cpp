// Voice recordings fetched from the card, turned into WAV files.
#include "cardops.h"
#include "text.h"
#include "tvdh.h"

std::string WaveFileName(const std::string& name) {
  // Everything before the first "."; a name without one is kept whole.
  const int dot = NthCharPos('.', name, 1);
  return name.substr(0, static_cast<std::size_t>(dot - 1)) + ".wav";
}

CardOpResult ConvertVoiceFile(const std::string& voiceName, std::string* wavName, const std::string& dir) {
  *wavName = WaveFileName(voiceName);
  const std::string folder = dir.empty() ? std::string(".") : dir;
  const std::string source = folder + "/" + voiceName;
  const std::string target = folder + "/" + *wavName;
  switch (TVDecodeToWavFile(kVoiceDecodeMode, source.c_str(), target.c_str())) {
    case kTvdhOk:
      return kOpOk;
    case kTvdhCannotWrite:
      return kOpWavNotWritten;
    default:
      return kOpDecodeFailed;
  }
}
