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
//
// TVDecodeToFile does the same with a choice of output format and rate, and
// tells what the caller may want to pass on (TvdhReport).
//
// What is read: Creative Voice Files, block by block, in every coding the
// format has (8-bit and 16-bit PCM, A-law, mu-law, Creative's 4-, 2.6- and
// 2-bit ADPCM of 8-bit sound and its 4-bit ADPCM of 16-bit sound); a file
// without their header is taken as bare 4-bit ADPCM (VOX) at 8 kHz, mono.
// The recording is written at the rate of its first block; blocks at another
// rate are resampled to it. A file that starts with another sound or
// container format's signature (RIFF, ID3 or an MPEG audio frame, OggS,
// fLaC) is refused as no voice recording; so is one that carries most of the
// voice file's signature but not all of it, or is cut within its header.
// Memory does not grow with the recording: blocks are decoded and written
// as they are read.
//
// Layer: the voice decoder's declarations; drivers/tvdh implements them on
// libsndfile and libsamplerate (loaded at run time). The card operations
// (src/cardops) call it to fetch a recording as sound; zk27-player uses its
// writer to make recordings. It calls nothing of the engine.
#pragma once

#include <cstdint>
#include <vector>

inline constexpr std::int32_t kVoiceDecodeMode = 2;  // the one mode there is

enum TvdhResult : std::int32_t {
  kTvdhOk = 0,
  kTvdhBadMode = 1,         // the first argument is not 2
  kTvdhCannotRead = 2,      // the source is missing or cannot be read
  kTvdhNotVoice = 3,        // the source holds no voice data this decoder knows
  kTvdhCannotWrite = 4,     // the destination cannot be written
  kTvdhForeign = 5,         // the source is another format's file, not a voice recording
  kTvdhTooLong = 6,         // the sound would pass 2^28 samples (512 MiB as 16-bit PCM)
  kTvdhNoResampler = 7,     // resampling is needed and libsamplerate cannot be loaded
  kTvdhNoSoundLibrary = 8,  // the output needs libsndfile (FLAC, Ogg; WAV where it codes) and it cannot be loaded
};

std::int32_t TVDecodeToWavFile(std::int32_t mode, const char* source, const char* destination);

// The sound file TVDecodeToFile writes.
enum class TvdhFormat { kWav, kFlac, kOgg };  // 16-bit PCM WAV, 16-bit FLAC, Ogg Vorbis
// Who decodes the PCM codings and VOX, and writes a WAV file: libsndfile, or
// the decoder itself (the same samples, the same bytes). kPlatform is
// libsndfile where it is part of the system (Linux) and the decoder's own
// where it may be missing (Windows). FLAC and Ogg are libsndfile's always.
enum class TvdhCoder { kPlatform, kLibrary, kOwn };
struct TvdhOutput {
  TvdhFormat format = TvdhFormat::kWav;
  int rate = 0;  // samples a second; 0 keeps the rate of the recording's first block
  TvdhCoder coder = TvdhCoder::kPlatform;
};

// The file names libsndfile and libsamplerate are loaded by here, for a
// message saying which one is missing.
const char* TvdhSoundLibraryName();
const char* TvdhResamplerName();

// What a conversion found beyond its result.
struct TvdhReport {
  int outputRate = 0;      // the rate written
  std::vector<int> rates;  // the recording's own rates, each once, in the order met
};

// Decodes `source` into `destination` in the format and at the rate `out`
// asks for. Results and what is left behind as for TVDecodeToWavFile; with
// a rate outside 1..1,000,000 the result is kTvdhCannotWrite. `report` may
// be null; it is filled when the result is kTvdhOk.
std::int32_t TVDecodeToFile(const char* source, const char* destination, const TvdhOutput& out,
                            TvdhReport* report);
