// The desktop notification after an import: the freedesktop notifications
// service on the session bus, through notify-send when it is installed, else
// through gdbus. Each notification replaces the one before (its id is kept
// between runs), so that a day of plugging in leaves one, not a stack.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

const char* const kAction = "open";
const char* const kActionText = "Open folder";
const char* const kIcon = "zk27-manager";
// How long the notification shows, and how long zk27 waits for "Open
// folder" at most: a unit's import ends even when the notifications
// service keeps the notification for ever.
constexpr int kShowMs = 30000;
constexpr int kWaitMs = kShowMs + 5000;
// How long a program may take to answer at all.
constexpr int kAnswerMs = 10000;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return (value && *value == '/') ? value : "";
}

// $XDG_RUNTIME_DIR/zk27-notification (gone at logout, as the notifications
// are), else in the cache folder.
fs::path IdFile() {
  if (const std::string runtime = Environment("XDG_RUNTIME_DIR"); !runtime.empty())
    return fs::path(runtime) / "zk27-notification";
  const std::string cache = Environment("XDG_CACHE_HOME");
  return (cache.empty() ? fs::path(platform::HomeFolder()) / ".cache" : fs::path(cache)) / "zk27" /
         "notification";
}

// A notification id as the service gave it; 0 (none) for anything else.
std::uint32_t ParseId(const std::string& text) {
  if (text.empty() || text.size() > 10) return 0;
  std::uint64_t id = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    id = id * 10 + static_cast<unsigned>(c - '0');
  }
  return id <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(id) : 0;
}

std::uint32_t LastId() {
  std::ifstream in(IdFile());
  std::string text;
  std::getline(in, text);
  return ParseId(text);
}

void KeepId(std::uint32_t id) {
  if (id == 0) return;
  const fs::path path = IdFile();
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << id << '\n';
    if (!out) return;
  }
  fs::rename(temporary, path, ec);
}

// The body is read as markup by many services: the folder's name shows as
// it is.
std::string MarkupEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

// A string in GVariant's text form, as gdbus reads its arguments.
std::string GVariantText(const std::string& text) {
  std::string out = "'";
  for (unsigned char c : text) {
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      static const char* hex = "0123456789abcdef";
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "'";
}

void OpenFolder(const std::string& folder) {
  const std::string opener = FindProgram("xdg-open");
  if (opener.empty()) {
    Warn("xdg-open is not installed: cannot open " + folder);
    return;
  }
  RunProgram({opener, folder});
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// notify-send prints the id (--print-id), then waits (--action) and prints
// the action's name when it is invoked; it ends when the notification closes.
void NotifyWithNotifySend(const std::string& program, const std::string& summary,
                          const std::string& folder) {
  std::vector<std::string> argv = {program,
                                   "--app-name=zk27",
                                   std::string("--icon=") + kIcon,
                                   "--print-id",
                                   "--expire-time=" + std::to_string(kShowMs),
                                   std::string("--action=") + kAction + "=" + kActionText};
  if (const std::uint32_t last = LastId()) argv.push_back("--replace-id=" + std::to_string(last));
  argv.insert(argv.end(), {"--", summary, MarkupEscaped(folder)});
  ChildProgram child;
  if (!child.Start(argv, true)) return;
  std::string line;
  if (!child.ReadLine(&line, kAnswerMs)) return;
  KeepId(ParseId(line));
  const std::int64_t until = NowMs() + kWaitMs;
  while (child.ReadLine(&line, static_cast<int>(std::max<std::int64_t>(0, until - NowMs())))) {
    if (line == kAction) {
      OpenFolder(folder);
      break;
    }
  }
}

// The id in gdbus's answer "(uint32 7,)".
std::uint32_t IdOfAnswer(const std::string& answer) {
  const std::string head = "(uint32 ";
  if (answer.compare(0, head.size(), head) != 0) return 0;
  const std::size_t end = answer.find(',', head.size());
  return end == std::string::npos ? 0 : ParseId(answer.substr(head.size(), end - head.size()));
}

// gdbus monitor shows the service's signals ("...ActionInvoked (uint32 7,
// 'open')", "...NotificationClosed (uint32 7, uint32 1)"); it is started
// before the call so that none is missed.
void NotifyWithGdbus(const std::string& program, const std::string& summary,
                     const std::string& folder) {
  const std::vector<std::string> where = {"--session", "--dest", "org.freedesktop.Notifications",
                                          "--object-path", "/org/freedesktop/Notifications"};
  ChildProgram monitor;
  std::vector<std::string> watch = {program, "monitor"};
  watch.insert(watch.end(), where.begin(), where.end());
  std::string line;
  // Its first line says that it watches.
  const bool watching = monitor.Start(watch, true) && monitor.ReadLine(&line, kAnswerMs);

  std::vector<std::string> call = {program, "call"};
  call.insert(call.end(), where.begin(), where.end());
  call.insert(call.end(), {"--method", "org.freedesktop.Notifications.Notify", GVariantText("zk27"),
                           std::to_string(LastId()), GVariantText(kIcon), GVariantText(summary),
                           GVariantText(MarkupEscaped(folder)),
                           "[" + GVariantText(kAction) + ", " + GVariantText(kActionText) + "]", "@a{sv} {}",
                           std::to_string(kShowMs)});
  ChildProgram notify;
  if (!notify.Start(call, true)) return;
  std::string answer;
  notify.ReadLine(&answer, kAnswerMs);
  if (notify.Wait() != 0) return;
  const std::uint32_t id = IdOfAnswer(answer);
  KeepId(id);
  if (!watching || id == 0) return;

  const std::string ours = "(uint32 " + std::to_string(id) + ",";
  const std::int64_t until = NowMs() + kWaitMs;
  while (monitor.ReadLine(&line, static_cast<int>(std::max<std::int64_t>(0, until - NowMs())))) {
    if (line.find(ours) == std::string::npos) continue;
    if (line.find(".ActionInvoked ") != std::string::npos &&
        line.find(GVariantText(kAction) + ")") != std::string::npos) {
      OpenFolder(folder);
      break;
    }
    if (line.find(".NotificationClosed ") != std::string::npos) break;
  }
}

}  // namespace

void NotifyImported(const std::string& summaryLine, const std::string& folder) {
  if (const std::string notifySend = FindProgram("notify-send"); !notifySend.empty())
    NotifyWithNotifySend(notifySend, summaryLine, folder);
  else if (const std::string gdbus = FindProgram("gdbus"); !gdbus.empty())
    NotifyWithGdbus(gdbus, summaryLine, folder);
}
