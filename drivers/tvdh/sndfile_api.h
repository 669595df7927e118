// libsndfile, loaded when sound is first coded rather than when a program
// starts: zk27 runs many short commands and only the conversion of a voice
// file needs the library and the dozen codec libraries it brings along.
#pragma once

#include <sndfile.h>

#include <string>

namespace tvdh {

// The functions of libsndfile this decoder and the voice-file writer call:
// api->open is sf_open, and so on.
#define ZK27_SNDFILE_FUNCTIONS(X) \
  X(open) X(open_virtual) X(close) X(readf_short) X(writef_short) X(write_sync) X(error) X(strerror)

struct SndfileApi {
#define ZK27_SNDFILE_MEMBER(name) decltype(&::sf_##name) name;
  ZK27_SNDFILE_FUNCTIONS(ZK27_SNDFILE_MEMBER)
#undef ZK27_SNDFILE_MEMBER
  // sf_wchar_open, which only Windows builds of the library have; null
  // elsewhere.
  SNDFILE* (*wchar_open)(const wchar_t* path, int mode, SF_INFO* info) = nullptr;
};

// Loads libsndfile on the first call and returns its functions; null when
// the library or one of the functions cannot be found (then every later call
// is null too). Not for concurrent first calls from several threads.
const SndfileApi* Sndfile();

// sf_open of the file at `path`, UTF-8 text. On Windows through
// sf_wchar_open where the library has it: there sf_open reads a path in the
// ANSI code page, and a name outside it would be another file.
SNDFILE* OpenSoundFile(const SndfileApi& api, const std::string& path, int mode, SF_INFO* info);

}  // namespace tvdh
