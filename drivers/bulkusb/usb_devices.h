// What the driver knows about players on USB, for a front end that helps a
// user find theirs: the players files (which USB ids count as a player) and
// the attached devices that could be one. Nothing here prints; the front end
// says what it found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bulkusb {

struct UsbId {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  friend bool operator==(const UsbId&, const UsbId&) = default;
};

// "vvvv:pppp", four lower-case hex digits each.
std::string FormatUsbId(UsbId id);

// The ids of one players file's text: one "vvvv:pppp" (hex) a line; text
// from '#' to the end of a line is a comment; blank and malformed lines are
// skipped. Repeated ids are kept once.
std::vector<UsbId> ParsePlayersList(const std::string& text);

// The players files the driver reads, in order: $ZK27_PLAYERS_FILE alone
// when it is set (tests, or a list kept elsewhere); otherwise the user's
// ($XDG_CONFIG_HOME/zk27/players, else ~/.config/zk27/players) and the
// system's (/etc/zk27/players, and the installation's own configuration
// folder when that is another one).
std::vector<std::string> PlayersFilePaths();

struct PlayersList {
  std::vector<UsbId> ids;              // every listed id, once
  std::vector<std::string> filesRead;  // the files that exist and could be read
};

// Reads every players file now. A missing or unreadable file lists nothing;
// that is no error.
PlayersList ReadPlayersLists();

// An attached USB device with an interface that offers exactly one bulk IN
// and one bulk OUT endpoint: the shape of the player's command pipes.
struct UsbBulkDevice {
  UsbId id;
  int bus = 0;
  int address = 0;
  std::string manufacturer;  // empty when the system does not tell
  std::string product;
  int interfaceNumber = 0;
  std::uint8_t bulkIn = 0;   // endpoint addresses
  std::uint8_t bulkOut = 0;
  std::string node;          // /dev/bus/usb/BBB/DDD
  bool listed = false;       // its id is in a players file
  bool accessible = false;   // this user may open the node for reading and writing
  std::string driver;        // Windows: the driver bound to it, empty when none
};

enum class UsbScan {
  kDone,         // the bus was scanned (the list may be empty)
  kUnavailable,  // USB cannot be reached here (no usbfs, libusb did not start)
};

// Scans the bus for devices of the player's shape, in bus and address order.
UsbScan ListBulkDevices(std::vector<UsbBulkDevice>* devices);

}  // namespace bulkusb
