#include "sndfile_api.h"

#include <dlfcn.h>

namespace tvdh {

namespace {

// The library's run-time name, fixed by the build (the soname of the
// libsndfile it compiled against).
#ifndef ZK27_SNDFILE_LIBRARY
#define ZK27_SNDFILE_LIBRARY "libsndfile.so.1"
#endif

template <typename F>
bool Find(void* library, const char* name, F* function) {
  *function = reinterpret_cast<F>(::dlsym(library, name));
  return *function != nullptr;
}

bool Load(SndfileApi* api) {
  // Kept loaded for the program's life: SNDFILE handles may outlive any
  // caller's scope.
  void* library = ::dlopen(ZK27_SNDFILE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (!library) return false;
  return Find(library, "sf_open", &api->open) && Find(library, "sf_open_virtual", &api->open_virtual) &&
         Find(library, "sf_close", &api->close) && Find(library, "sf_readf_short", &api->readf_short) &&
         Find(library, "sf_writef_short", &api->writef_short) && Find(library, "sf_write_sync", &api->write_sync) &&
         Find(library, "sf_error", &api->error) && Find(library, "sf_strerror", &api->strerror);
}

}  // namespace

const SndfileApi* Sndfile() {
  static SndfileApi api{};
  static const bool loaded = Load(&api);
  return loaded ? &api : nullptr;
}

}  // namespace tvdh
