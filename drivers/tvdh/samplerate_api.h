// libsamplerate, loaded when a recording first needs resampling rather than
// when a program starts: most conversions keep their rate, and zk27 runs many
// short commands that convert nothing.
#pragma once

#include <samplerate.h>

namespace tvdh {

// The functions of libsamplerate the decoder calls: api->process is
// src_process, api->new_ src_new, and so on.
#define ZK27_SAMPLERATE_FUNCTIONS(X)                                                           \
  X(new_, new) X(delete_, delete) X(process, process) X(short_to_float_array, short_to_float_array) \
  X(float_to_short_array, float_to_short_array)

struct SamplerateApi {
#define ZK27_SAMPLERATE_MEMBER(member, name) decltype(&::src_##name) member;
  ZK27_SAMPLERATE_FUNCTIONS(ZK27_SAMPLERATE_MEMBER)
#undef ZK27_SAMPLERATE_MEMBER
};

// Loads libsamplerate on the first call and returns its functions; null when
// the library or one of the functions cannot be found (then every later call
// is null too). Not for concurrent first calls from several threads.
const SamplerateApi* Samplerate();

}  // namespace tvdh
