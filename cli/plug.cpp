// zk27 import --enable-on-plug / --disable-on-plug: the import started by
// the user's own systemd manager when a player appears.
//
// How a device starts a unit. systemd makes a device unit for every device
// that udev tags "systemd", in the system manager and in each user's
// manager alike; a unit that the device unit Wants= is started when the
// device appears. udev's SYSTEMD_USER_WANTS property adds such a Wants= in
// every user's manager at once, and only root can set it (in a rule): the
// package's rule leaves that line commented out, so that nobody's card is
// imported unasked. A user needs no rule of their own: a drop-in under
// $XDG_CONFIG_HOME/systemd/user for the device unit adds the Wants= in their
// manager alone, and removing it takes it away. The device unit's name must
// not depend on the USB port, so the rule's line for a player gives the
// device the alias /sys/subsystem/usb/devices/zk27 (SYSTEMD_ALIAS), whose
// unit is sys-subsystem-usb-devices-zk27.device. The manager reads the
// drop-in on `systemctl --user daemon-reload`, or when it next starts; it
// acts on a device's Wants= only when the device appears, so a player
// plugged in already is imported the next time it is.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli.h"
#include "platform.h"

namespace fs = std::filesystem;

const std::vector<OptionSpec> kPlugOptions = {
    {nullptr, "--enable-on-plug"},
    {nullptr, "--disable-on-plug"},
    {nullptr, "--notify"},
};

const char* const kPlugHelp =
    "  --notify         when done, show the summary line in a desktop notification\n"
    "                   with an \"Open folder\" action, as the import on plug-in does\n"
    "  --enable-on-plug from now on, import with your settings whenever a player\n"
    "                   is plugged in (your systemd user manager starts it; no root)\n"
    "  --disable-on-plug\n"
    "                   no more import on plug-in\n";

namespace {

const char* const kDeviceUnit = "sys-subsystem-usb-devices-zk27.device";
const char* const kDropInName = "zk27-import.conf";
const char* const kDropIn =
    "# Written by 'zk27 import --enable-on-plug'; 'zk27 import --disable-on-plug'\n"
    "# removes it. When a player appears, import its new recordings.\n"
    "[Unit]\n"
    "Wants=zk27-import.service\n";

fs::path UserUnitFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  // A relative XDG_CONFIG_HOME counts as unset, as XDG has it.
  fs::path base = (config && *config == '/') ? fs::path(config) : fs::path(platform::HomeFolder()) / ".config";
  return base / "systemd" / "user";
}

fs::path DropInFolder() { return UserUnitFolder() / (std::string(kDeviceUnit) + ".d"); }

// Written whole under a temporary name, then renamed into place: the
// manager never reads half a drop-in.
bool WriteDropIn(const fs::path& path, std::string* error) {
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << kDropIn;
    out.close();
    if (!out) {
      *error = temporary.string() + ": cannot write it";
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    fs::remove(temporary, ec);
    *error = path.string() + ": " + ec.message();
  }
  return !ec;
}

// Tells the user's manager, when one runs, to read its units again; says
// plainly when none could be told.
void ReloadUserManager() {
  const std::string systemctl = FindProgram("systemctl");
  if (systemctl.empty()) {
    Warn("systemctl is not installed: the change takes effect when your systemd user manager "
         "next starts");
    return;
  }
  if (RunProgram({systemctl, "--user", "daemon-reload"}) != 0)
    Warn("no systemd user manager answered 'systemctl --user daemon-reload': the change takes "
         "effect when it next starts (at your next login)");
}

}  // namespace

int EnablePlugImport() {
  const fs::path folder = DropInFolder();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    Error(folder.string() + ": " + ec.message());
    return kExitRefused;
  }
  std::string error;
  if (!WriteDropIn(folder / kDropInName, &error)) {
    Error(error);
    return kExitRefused;
  }
  ReloadUserManager();
  return kExitOk;
}

int DisablePlugImport() {
  const fs::path folder = DropInFolder();
  std::error_code ec;
  const bool removed = fs::remove(folder / kDropInName, ec);
  if (ec) {
    Error((folder / kDropInName).string() + ": " + ec.message());
    return kExitRefused;
  }
  // The folder goes too when nothing else of the user's is in it.
  if (fs::is_empty(folder, ec) && !ec) fs::remove(folder, ec);
  if (removed) ReloadUserManager();
  return kExitOk;
}

bool RunPlugOption(const Args& args, int* status) {
  const bool enable = Has(args, "--enable-on-plug");
  const bool disable = Has(args, "--disable-on-plug");
  if (!enable && !disable) return false;
  if (enable && disable)
    *status = UsageError("--enable-on-plug and --disable-on-plug exclude each other");
  else if (!args.operands.empty())
    *status = UsageError(std::string(enable ? "--enable-on-plug" : "--disable-on-plug") +
                         " takes no DIR: the folder comes from the import settings");
  else
    *status = enable ? EnablePlugImport() : DisablePlugImport();
  return true;
}
