#include "sndfile_api.h"

#include "dynamic_library.h"
#include "platform.h"
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
#ifdef _WIN32
  dllfunc::FindFunction(library, "sf_wchar_open", &api->wchar_open);
#endif
  return found;
}

}  // namespace

const SndfileApi* Sndfile() {
  static SndfileApi api{};
  static const bool loaded = Load(&api);
  return loaded ? &api : nullptr;
}

SNDFILE* OpenSoundFile(const SndfileApi& api, const std::string& path, int mode, SF_INFO* info) {
#ifdef _WIN32
  if (api.wchar_open) return api.wchar_open(platform::PathOf(path).c_str(), mode, info);
#endif
  return api.open(path.c_str(), mode, info);
}

}  // namespace tvdh

const char* TvdhSoundLibraryName() { return ZK27_SNDFILE_LIBRARY; }
