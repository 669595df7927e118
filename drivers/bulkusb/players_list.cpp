// The players files: which USB ids the driver takes for a player.
#include "usb_devices.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform.h"

#ifndef ZK27_SYSCONFDIR
#define ZK27_SYSCONFDIR "/etc"
#endif

namespace bulkusb {
namespace {

bool ParseHex16(const std::string& text, std::uint16_t* value) {
  if (text.empty() || text.size() > 4) return false;
  unsigned v = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    v = v * 16 + static_cast<unsigned>(digit);
  }
  *value = static_cast<std::uint16_t>(v);
  return true;
}

std::string Trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

}  // namespace

std::string FormatUsbId(UsbId id) {
  char text[10];
  std::snprintf(text, sizeof(text), "%04x:%04x", id.vendor, id.product);
  return text;
}

std::vector<UsbId> ParsePlayersList(const std::string& text) {
  std::vector<UsbId> ids;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    line = Trimmed(line);
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    UsbId id;
    if (!ParseHex16(line.substr(0, colon), &id.vendor) ||
        !ParseHex16(line.substr(colon + 1), &id.product))
      continue;
    // Vendor 0 is no vendor; such a line is a slip, not a player.
    if (id.vendor == 0) continue;
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  }
  return ids;
}

std::vector<std::string> PlayersFilePaths() {
  if (const std::string only = platform::Variable("ZK27_PLAYERS_FILE"); !only.empty()) return {only};
  std::vector<std::string> paths;
  if (const std::string config = platform::ConfigFolder(); !config.empty())
    paths.push_back(config + "/zk27/players");
#ifndef _WIN32
  // The system's files; Windows has only the user's.
  paths.push_back("/etc/zk27/players");
  const std::string installed = std::string(ZK27_SYSCONFDIR) + "/zk27/players";
  if (installed != paths.back()) paths.push_back(installed);
#endif
  return paths;
}

PlayersList ReadPlayersLists() {
  PlayersList list;
  for (const std::string& path : PlayersFilePaths()) {
    platform::FileState st;
    if (!platform::StateOf(path, &st) || st.kind != platform::FileKind::kRegular) continue;
    std::ifstream file(platform::PathOf(path));
    if (!file) continue;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) continue;
    list.filesRead.push_back(path);
    for (const UsbId& id : ParsePlayersList(text.str()))
      if (std::find(list.ids.begin(), list.ids.end(), id) == list.ids.end()) list.ids.push_back(id);
  }
  return list;
}

}  // namespace bulkusb
