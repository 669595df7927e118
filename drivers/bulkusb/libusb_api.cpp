#include "libusb_api.h"

#include "dynamic_library.h"

namespace bulkusb {

namespace {

// The library's run-time name, fixed by the build (the soname of the libusb
// it compiled against).
#ifndef ZK27_LIBUSB_LIBRARY
#define ZK27_LIBUSB_LIBRARY "libusb-1.0.so.0"
#endif

LibusbApi g_api{};

bool Load() {
  void* library = dllfunc::OpenLibrary(ZK27_LIBUSB_LIBRARY);
  if (!library) return false;
  bool found = true;
#define ZK27_LIBUSB_FIND(name) found = found && dllfunc::FindFunction(library, "libusb_" #name, &g_api.name);
  ZK27_LIBUSB_FUNCTIONS(ZK27_LIBUSB_FIND)
#undef ZK27_LIBUSB_FIND
  return found;
}

}  // namespace

bool LibusbLoaded() {
  static const bool loaded = Load();
  return loaded;
}

const LibusbApi& Usb() { return g_api; }

}  // namespace bulkusb
