// The device's condition as the device link condenses every command's
// outcome: the type of the DeviceState (usbfunc.h) and of the report the
// link gives a front end after asking the player for its status (hooks.h).
#pragma once

#include <cstdint>

// The numbers are part of the contract: they are what the report carries to
// the main window, and what a raw result code's low byte maps to.
enum DeviceStateCode : std::uint8_t {
  kDeviceReady = 0,        // the last command succeeded
  kDeviceBusy = 1,
  kDeviceNoCard = 2,       // no card in the player
  kDeviceRecheck = 3,      // the card must be checked and read again
  kDeviceNotAttached = 4,  // includes driver handles that cannot be opened
  kDeviceNotReady = 5,     // includes a transport failure
};

// Why the last command failed in transport (LastTransportCause, usbfunc.h);
// the DeviceState is then 5.
enum class TransportCause : std::uint8_t {
  kNone,            // it did not fail in transport, or the link cannot tell why
  kNoAnswer,        // the player stopped answering: a pipe call failed, timed out
                    // or brought only part of a reply
  kWriteProtected,  // a card attached directly takes no writes (read-only device
                    // or file: EROFS, EACCES, EPERM, or a read-only open)
  kDiskFull,        // the disk that holds a card image has no room left (ENOSPC,
                    // EDQUOT, or the file size limit: EFBIG)
  kIoError,         // any other failed read or write of a card attached directly
};
