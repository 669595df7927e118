// Voice recordings fetched from the card, turned into sound files.
#include "cardops.h"
#include "tvdh.h"

std::string WaveFileName(const std::string& name) {
  // Everything before the last ".", where the kind begins: "memo.1.voc" and
  // "memo.2.voc" must not both become "memo.wav", the second over the first.
  // A name without one is kept whole.
  const std::size_t dot = name.rfind('.');
  return name.substr(0, dot) + ".wav";
}

int MaxVoiceOutputRate(VoiceOutput::Format format) {
  return format == VoiceOutput::Format::kFlac ? 655350 : 1000000;
}

std::string VoiceOutputName(const std::string& name, VoiceOutput::Format format) {
  std::string wav = WaveFileName(name);
  wav.resize(wav.size() - 4);  // ".wav"
  switch (format) {
    case VoiceOutput::Format::kFlac: return wav + ".flac";
    case VoiceOutput::Format::kOgg: return wav + ".ogg";
    default: return wav + ".wav";
  }
}

namespace {

TvdhFormat FormatOf(VoiceOutput::Format format) {
  switch (format) {
    case VoiceOutput::Format::kFlac: return TvdhFormat::kFlac;
    case VoiceOutput::Format::kOgg: return TvdhFormat::kOgg;
    default: return TvdhFormat::kWav;
  }
}

std::string Hz(int rate) { return std::to_string(rate) + " Hz"; }

// "8000 Hz, then 11111 Hz and 22050 Hz"
std::string RateList(const std::vector<int>& rates) {
  std::string text = Hz(rates.front()) + ", then ";
  for (std::size_t i = 1; i < rates.size(); ++i) {
    if (i > 1) text += i + 1 == rates.size() ? " and " : ", ";
    text += Hz(rates[i]);
  }
  return text;
}

}  // namespace

CardOpResult DecodeVoiceFileTo(const std::string& source, const std::string& target, const VoiceOutput& out,
                               std::vector<int>* rates, int* outputRate) {
  TvdhReport report;
  switch (TVDecodeToFile(source.c_str(), target.c_str(), TvdhOutput{FormatOf(out.format), out.rate}, &report)) {
    case kTvdhOk:
      break;
    case kTvdhCannotWrite:
      return kOpWavNotWritten;
    case kTvdhForeign:
      return kOpNotVoice;
    case kTvdhTooLong:
      return kOpVoiceTooLong;
    case kTvdhNoResampler:
      return kOpNoResampler;
    case kTvdhNoSoundLibrary:
      return kOpNoSoundLibrary;
    default:
      return kOpDecodeFailed;
  }
  if (rates) *rates = report.rates;
  if (outputRate) *outputRate = report.outputRate;
  return kOpOk;
}

CardOpResult ConvertVoiceFile(const std::string& voiceName, std::string* outName, const std::string& dir,
                              const VoiceOutput& out, std::vector<std::string>* notes) {
  *outName = VoiceOutputName(voiceName, out.format);
  const std::string folder = dir.empty() ? std::string(".") : dir;
  std::vector<int> rates;
  int outputRate = 0;
  const CardOpResult r = DecodeVoiceFileTo(folder + "/" + voiceName, folder + "/" + *outName, out, &rates, &outputRate);
  if (r != kOpOk) return r;
  // A rate asked for is no news; a recording that changes its rate is.
  if (notes && rates.size() > 1)
    notes->push_back(voiceName + " changes its sample rate between blocks (" + RateList(rates) +
                     "); it was written at " + Hz(outputRate) + ", the other parts resampled.");
  return kOpOk;
}
