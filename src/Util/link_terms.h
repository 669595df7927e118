// The words of the device link (src/usbfunc) that a front end needs to hold
// and word the card: how the card is held and what became of the asking, and
// how the writes to a card attached directly reach it. Defined here, below
// the link, so that the card operations can hand them on.
#pragma once

#include <cstdint>

// How a card attached directly takes its writes (AttachCardImage, usbfunc.h).
enum class ImageWrites : std::uint8_t { kCached, kSynced };

// The card held by one program at a time (LockCard, usbfunc.h).
enum class CardLock : std::uint8_t { kNone, kShared, kExclusive };
enum CardLockResult : std::uint8_t {
  kLockOk = 0,
  kLockInUse = 1,   // another program held the card for the whole wait
  kLockFailed = 2,  // the lock file cannot be made
};
// The window's words for kLockInUse.
inline constexpr const char* kCardInUseMessage = "The card is in use by another program.";
