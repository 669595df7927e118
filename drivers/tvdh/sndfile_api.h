// libsndfile, loaded when sound is first coded rather than when a program
// starts: zk27 runs many short commands and only the conversion of a voice
// file needs the library and the dozen codec libraries it brings along.
#pragma once

#include <sndfile.h>

namespace tvdh {

// The functions of libsndfile this decoder and the voice-file writer call:
// api->open is sf_open, and so on.
#define ZK27_SNDFILE_FUNCTIONS(X) \
  X(open) X(open_virtual) X(close) X(readf_short) X(writef_short) X(write_sync) X(error) X(strerror)

struct SndfileApi {
#define ZK27_SNDFILE_MEMBER(name) decltype(&::sf_##name) name;
  ZK27_SNDFILE_FUNCTIONS(ZK27_SNDFILE_MEMBER)
#undef ZK27_SNDFILE_MEMBER
};

// Loads libsndfile on the first call and returns its functions; null when
// the library or one of the functions cannot be found (then every later call
// is null too). Not for concurrent first calls from several threads.
const SndfileApi* Sndfile();

}  // namespace tvdh
