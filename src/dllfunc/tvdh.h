// The voice decoder as the card manager sees it.
//
// TVDecodeToWavFile(2, source, destination) reads the voice recording at
// `source` (a file fetched from the card) and writes it as a 16-bit PCM WAV
// file at `destination`, at the recording's own sample rate and channel
// count. Both are file names as the operating system takes them; names
// without a folder are taken in the current directory.
//
// The result is 0 when the WAV file was written whole. Any other value is a
// failure, and then no file is left at `destination`: an older file of that
// name is kept as it was.
#pragma once

#include <cstdint>

inline constexpr std::int32_t kVoiceDecodeMode = 2;  // the one mode there is

enum TvdhResult : std::int32_t {
  kTvdhOk = 0,
  kTvdhBadMode = 1,         // the first argument is not 2
  kTvdhCannotRead = 2,      // the source is missing or cannot be read
  kTvdhNotVoice = 3,        // the source holds no voice data this decoder knows
  kTvdhCannotWrite = 4,     // the destination cannot be written
};

std::int32_t TVDecodeToWavFile(std::int32_t mode, const char* source, const char* destination);
