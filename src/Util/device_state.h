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
