// Libraries opened when first needed rather than when a program starts: zk27
// runs many short commands, and most of them need neither the USB library
// (a card image has no player) nor the sound libraries (only a conversion
// codes sound). The platform layer opens it; a library opened here stays loaded for the
// program's life.
#pragma once

#include "platform.h"

namespace dllfunc {

// Opens the library `soname`; null when it cannot be found or loaded.
inline void* OpenLibrary(const char* soname) { return platform::OpenLibrary(soname); }

// Looks up `name` in `library` as a function of the type of *function.
template <typename F>
bool FindFunction(void* library, const char* name, F* function) {
  *function = reinterpret_cast<F>(platform::FindSymbol(library, name));
  return *function != nullptr;
}

}  // namespace dllfunc
