// What the engine tells a user: each notice is a name, not a text. The
// front ends word it, each from a table of its own: the window with the
// texts its users have always read (msg::WindowText), zk27 with its own
// plain words. A notice travels through the notice hook (hooks.h).
#pragma once

#include <cstdint>

enum class Notice : std::uint8_t {
  // A sector command found the player busy.
  kSectorBusy,
  // The card check could not read the boot sector: no card, a busy player,
  // no player, or any other failure of the read.
  kCheckNoCard,
  kCheckBusy,
  kCheckNoPlayer,
  kCheckFailed,
  // The card's boot sector gives tables that do not fit the card.
  kTablesDoNotFit,
  // A music file on the card has no readable name.
  kInvalidFileStructure,
  // The start's refusal on the player's raw status.
  kStartNoCard,
  kStartBusy,
  kStartNoPlayer,
  // The reaction to the device's state after a probe.
  kStateNoCard,
  kStateNoPlayer,
  kStateNotReady,
  // The card does not carry the player's volume (asked as a question).
  kNotZk27Format,
  // The card is held by another program.
  kCardInUse,
  // A format that did not succeed: the player did not identify the card, the
  // card is too small, or writing it failed.
  kFormatNotIdentified,
  kFormatCardTooSmall,
  kFormatFailed,
  // The user would not have a foreign card formatted: the session ends.
  kProgramExited,
  // A repair's writes failed.
  kRepairFailed,
};

// One past the last notice, for walking them all.
inline constexpr int kNoticeCount = static_cast<int>(Notice::kRepairFailed) + 1;
