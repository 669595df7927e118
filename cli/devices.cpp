// zk27 devices: the USB devices that could be a player, and what a user must
// do so that the driver takes theirs.
#include <cstdio>

#include "cli.h"
#include "platform.h"
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

// The largest card there is: 65,520 clusters of 64 KiB, and its tables.
constexpr std::uint64_t kLargestCard = std::uint64_t{4} << 30;

std::string Size(std::uint64_t bytes) {
  char text[32];
  if (bytes >= (std::uint64_t{1} << 30))
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1 << 30));
  else
    std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes >> 20));
  return text;
}

}  // namespace

std::string CardSizedDisks(const std::vector<platform::RemovableDisk>& disks) {
  Report out;
  bool any = false;
  for (const platform::RemovableDisk& d : disks) {
    if (d.size == 0 || d.size > kLargestCard) continue;
    if (!any) out << "Removable disks of a card's size (zk27 --image PATH, or the drive letter):\n";
    any = true;
    out << "  " << Padded(d.path, 22) << "  " << Padded(Size(d.size), 9) << "  "
        << (d.name.empty() ? std::string("(no name given)") : d.name) << '\n';
  }
  if (!any) out << "No removable disk of a card's size (at most 4 GiB) holds a medium.\n";
  return out.text;
}

namespace {

#ifdef _WIN32
// How an owner makes WinUSB the player's driver.
constexpr const char* kBindWinUsb =
    "Windows gives a player no driver of its own. Bind WinUSB to it with Zadig\n"
    "(choose the player, WinUSB, \"Install Driver\") or with the INF file\n"
    "zk27-winusb.inf (its id added; right click, Install), then run\n"
    "'zk27 devices' again.\n";
#endif

// One device's second line: whether it is listed and whether zk27 may use it.
std::string Standing(const bulkusb::UsbBulkDevice& d) {
  std::string text = d.listed ? "listed as a player" : "not listed";
#ifdef _WIN32
  if (d.accessible) return text + ", WinUSB drives it";
  return text + ", present but has no WinUSB driver" + (d.driver.empty() ? "" : " (its driver: " + d.driver + ")");
#else
  return text + (d.accessible ? ", you may open it" : ", you may not open it");
#endif
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
#ifdef _WIN32
  out << CardSizedDisks(platform::RemovableDisks()) << '\n';
#endif

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
    char where[64] = "";
    if (d.bus || d.address) std::snprintf(where, sizeof(where), "bus %03d address %03d", d.bus, d.address);
    std::string name = d.manufacturer;
    if (!d.product.empty()) name += (name.empty() ? "" : " ") + d.product;
    if (name.empty()) name = "(no name given)";
    char pipes[48];
    if (d.bulkIn || d.bulkOut)
      std::snprintf(pipes, sizeof(pipes), "interface %d, IN 0x%02x, OUT 0x%02x", d.interfaceNumber, d.bulkIn,
                    d.bulkOut);
    else
      std::snprintf(pipes, sizeof(pipes), "pipes unknown without WinUSB");
    out << "  " << bulkusb::FormatUsbId(d.id) << "  " << where << "  " << Padded(name, 28)
              << "  " << pipes << '\n'
              << "             " << Standing(d) << '\n';
    anyListed = anyListed || d.listed;
    if (d.listed && !d.accessible) locked.push_back(d.id);
  }
  out << '\n';

#ifdef _WIN32
  if (!anyListed)
    out << "None of them is listed as a player. If one of them is your player (unplug\n"
           "it and run 'zk27 devices' again to see which one goes away), add its id,\n"
           "for example "
        << bulkusb::FormatUsbId(devices.front().id) << ", as a line of " << userFile << ".\n";
  if (!locked.empty()) out << kBindWinUsb;
  if (anyListed && locked.empty())
    out << "The listed player is ready: zk27 uses it before the virtual player.\n";
  return kExitOk;
#endif
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
