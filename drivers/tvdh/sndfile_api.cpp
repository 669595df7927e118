#include "sndfile_api.h"

#include "dynamic_library.h"
#include "tvdh.h"

namespace tvdh {

namespace {

// The library's run-time name, fixed by the build (the soname of the
// libsndfile it compiled against).
#ifndef ZK27_SNDFILE_LIBRARY
#ifdef _WIN32
// Beside the program or on the path, as the projects' Windows builds name them.
#define ZK27_SNDFILE_LIBRARY "sndfile.dll"
#else
#define ZK27_SNDFILE_LIBRARY "libsndfile.so.1"
#endif
#endif

bool Load(SndfileApi* api) {
  void* library = dllfunc::OpenLibrary(ZK27_SNDFILE_LIBRARY);
  if (!library) return false;
  bool found = true;
#define ZK27_SNDFILE_FIND(name) found = found && dllfunc::FindFunction(library, "sf_" #name, &api->name);
  ZK27_SNDFILE_FUNCTIONS(ZK27_SNDFILE_FIND)
#undef ZK27_SNDFILE_FIND
  return found;
}

}  // namespace

const SndfileApi* Sndfile() {
  static SndfileApi api{};
  static const bool loaded = Load(&api);
  return loaded ? &api : nullptr;
}

}  // namespace tvdh

const char* TvdhSoundLibraryName() { return ZK27_SNDFILE_LIBRARY; }
