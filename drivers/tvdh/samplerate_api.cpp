#include "samplerate_api.h"

#include "dynamic_library.h"
#include "tvdh.h"

namespace tvdh {

namespace {

// The library's run-time name, fixed by the build (the soname of the
// libsamplerate it compiled against).
#ifndef ZK27_SAMPLERATE_LIBRARY
#ifdef _WIN32
// Beside the program or on the path, as the projects' Windows builds name them.
#define ZK27_SAMPLERATE_LIBRARY "samplerate.dll"
#else
#define ZK27_SAMPLERATE_LIBRARY "libsamplerate.so.0"
#endif
#endif

bool Load(SamplerateApi* api) {
  void* library = dllfunc::OpenLibrary(ZK27_SAMPLERATE_LIBRARY);
  if (!library) return false;
  bool found = true;
#define ZK27_SAMPLERATE_FIND(member, name) \
  found = found && dllfunc::FindFunction(library, "src_" #name, &api->member);
  ZK27_SAMPLERATE_FUNCTIONS(ZK27_SAMPLERATE_FIND)
#undef ZK27_SAMPLERATE_FIND
  return found;
}

}  // namespace

const SamplerateApi* Samplerate() {
  static SamplerateApi api{};
  static const bool loaded = Load(&api);
  return loaded ? &api : nullptr;
}

}  // namespace tvdh

const char* TvdhResamplerName() { return ZK27_SAMPLERATE_LIBRARY; }
