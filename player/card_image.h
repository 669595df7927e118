// Card image files: a regular file whose size is the card's size, a whole
// number of 512-byte sectors.
#pragma once

#include <cstdint>
#include <string>

namespace player {

// The biggest card a blank image is made for: 65,536 clusters of 64 KiB, the
// most a 16-bit allocation table can address.
inline constexpr std::uint32_t kMaxCardMiB = 4096;
inline constexpr std::uint32_t kDefaultCardMiB = 128;

// Opens the card image at `path` for reading and writing. A missing file, and
// any missing folder above it, is created first: a blank card of `sizeMiB`
// MiB (1..kMaxCardMiB), zero-filled and sparse. An existing file keeps its
// size; it must be a non-empty regular file of whole sectors.
// Returns the descriptor (close-on-exec), or -1 with a reason in *error.
int OpenCardImage(const std::string& path, std::uint32_t sizeMiB, std::string* error);

// Creates every missing folder of `path` (the path itself included) with
// `mode`. Returns false with a reason in *error.
bool MakeFolders(const std::string& path, unsigned mode, std::string* error);

}  // namespace player
