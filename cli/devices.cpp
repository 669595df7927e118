// zk27 devices: the USB devices that could be a player, and what a user must
// do so that the driver takes theirs.
#include <cstdio>

#include "cli.h"
#include "usb_devices.h"

namespace {

std::string UdevLine(bulkusb::UsbId id) {
  char line[256];
  // The "systemd" tag and the alias give the player a device unit of one
  // name, which 'zk27 import --enable-on-plug' has the user's manager watch.
  std::snprintf(line, sizeof(line),
                "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"%04x\", ATTR{idProduct}==\"%04x\", "
                "TAG+=\"uaccess\", TAG+=\"systemd\", ENV{SYSTEMD_ALIAS}+=\"/sys/subsystem/usb/devices/zk27\"",
                id.vendor, id.product);
  return line;
}

// The report, gathered as text and printed whole at the end.
struct Report {
  std::string text;
  Report& operator<<(const std::string& s) {
    text += s;
    return *this;
  }
  Report& operator<<(const char* s) {
    text += s;
    return *this;
  }
  Report& operator<<(char c) {
    text += c;
    return *this;
  }
};

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// What `zk27 devices` shows; returns its exit status.
int Describe(Report& out) {
  std::vector<bulkusb::UsbBulkDevice> devices;
  const bulkusb::UsbScan scan = bulkusb::ListBulkDevices(&devices);
  const bulkusb::PlayersList players = bulkusb::ReadPlayersLists();
  const std::vector<std::string> paths = bulkusb::PlayersFilePaths();
  const std::string userFile = paths.empty() ? std::string("~/.config/zk27/players") : paths.front();

  out << "Players files:\n";
  for (const std::string& path : paths) {
    bool read = false;
    for (const std::string& r : players.filesRead) read = read || r == path;
    out << "  " << path << (read ? "" : "  (not there)") << '\n';
  }
  if (players.ids.empty()) {
    out << "  They list no player.\n";
  } else {
    out << "  Listed:";
    for (const bulkusb::UsbId& id : players.ids) out << ' ' << bulkusb::FormatUsbId(id);
    out << '\n';
  }
  out << '\n';

  if (scan == bulkusb::UsbScan::kUnavailable) {
    out << "USB cannot be reached on this machine (no /dev/bus/usb, or libusb did not\n"
                 "start), so no player on USB can be found. Card images and card readers\n"
                 "(zk27 --image PATH) and the virtual player (zk27-player) still work.\n";
    return kExitDevice;
  }
  if (devices.empty()) {
    out << "No USB device with one bulk IN and one bulk OUT endpoint is attached.\n"
                 "Connect the player, switch it on and run 'zk27 devices' again.\n";
    return kExitOk;
  }

  out << "USB devices with one bulk IN and one bulk OUT endpoint:\n";
  bool anyListed = false;
  std::vector<bulkusb::UsbId> locked;
  for (const bulkusb::UsbBulkDevice& d : devices) {
    char where[64];
    std::snprintf(where, sizeof(where), "bus %03d address %03d", d.bus, d.address);
    std::string name = d.manufacturer;
    if (!d.product.empty()) name += (name.empty() ? "" : " ") + d.product;
    if (name.empty()) name = "(no name given)";
    char pipes[48];
    std::snprintf(pipes, sizeof(pipes), "interface %d, IN 0x%02x, OUT 0x%02x", d.interfaceNumber,
                  d.bulkIn, d.bulkOut);
    out << "  " << bulkusb::FormatUsbId(d.id) << "  " << where << "  " << Padded(name, 28)
              << "  " << pipes << '\n'
              << "             " << (d.listed ? "listed as a player" : "not listed")
              << (d.accessible ? ", you may open it" : ", you may not open it") << '\n';
    anyListed = anyListed || d.listed;
    if (d.listed && !d.accessible) locked.push_back(d.id);
  }
  out << '\n';

  if (!anyListed) {
    out << "None of them is listed as a player. If one of them is your player (unplug\n"
                 "it and run 'zk27 devices' again to see which one goes away), add its id\n"
                 "to your players file, for example:\n"
                 "  mkdir -p \"$(dirname "
              << userFile << ")\"\n"
              << "  echo " << bulkusb::FormatUsbId(devices.front().id) << " >> " << userFile << '\n'
              << "or, for every user of this machine, to /etc/zk27/players.\n";
  }
  if (!locked.empty() || !anyListed) {
    out << (anyListed ? "" : "\n")
              << "A listed player must also be open to you. Give the logged-in user access\n"
                 "with a udev rule, a line per id in /etc/udev/rules.d/70-zk27.rules:\n";
    if (locked.empty()) locked.push_back(devices.front().id);
    for (const bulkusb::UsbId& id : locked) out << "  " << UdevLine(id) << '\n';
    out << "then run 'sudo udevadm control --reload' and plug the player in again.\n";
  }
  if (anyListed && locked.empty())
    out << "The listed player is ready: zk27 uses it before the virtual player.\n";
  return kExitOk;
}

}  // namespace

int CmdDevices(const Args&) {
  Report report;
  const int status = Describe(report);
  Print(report.text);
  return status;
}
