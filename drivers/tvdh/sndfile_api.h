// libsndfile, loaded when sound is first coded rather than when a program
// starts: zk27 runs many short commands and only the conversion of a voice
// file needs the library and the dozen codec libraries it brings along.
#pragma once

#include <sndfile.h>

namespace tvdh {

// The functions of libsndfile this decoder and the voice-file writer call.
struct SndfileApi {
  decltype(&::sf_open) open;
  decltype(&::sf_open_virtual) open_virtual;
  decltype(&::sf_close) close;
  decltype(&::sf_readf_short) readf_short;
  decltype(&::sf_writef_short) writef_short;
  decltype(&::sf_write_sync) write_sync;
  decltype(&::sf_error) error;
  decltype(&::sf_strerror) strerror;
};

// Loads libsndfile on the first call and returns its functions; null when
// the library or one of the functions cannot be found (then every later call
// is null too). Not for concurrent first calls from several threads.
const SndfileApi* Sndfile();

}  // namespace tvdh
