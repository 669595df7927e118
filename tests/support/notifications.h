// The freedesktop notifications service faked for the tests of zk27's
// desktop notification: a Python service (fake_notifications.py) on a
// private session bus (dbus-run-session), which logs each Notify call and
// closes the notification or invokes its action, as told. It needs the
// sources' folder (ZK27_SOURCE_DIR).
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"

namespace zk27_test {

// A Python that has GLib's bindings, for the fake service.
inline std::string PythonWithGi() {
  std::string onPath;
  if (const char* path = std::getenv("PATH")) {
    std::istringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':') && onPath.empty();)
      if (!folder.empty() && ::access((folder + "/python3").c_str(), X_OK) == 0) onPath = folder + "/python3";
  }
  for (std::string python : {onPath, std::string("/usr/bin/python3")}) {
    if (python.empty()) continue;
    const std::string probe = "'" + python + "' -c 'from gi.repository import Gio' 2>/dev/null";
    if (std::system(probe.c_str()) == 0) return python;
  }
  return {};
}

// The fake service on a bus of its own, for this process and the programs
// it starts.
class FakeService {
 public:
  FakeService(const TempDir& dir, const std::string& python) : log_(dir / "notify.log"), mode_(dir / "mode") {
    Mode("close");
    const std::string ready = dir / "ready";
    const std::string script = std::string(ZK27_SOURCE_DIR) + "/tests/support/fake_notifications.py";
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(input[0], 0);
      ::execlp("dbus-run-session", "dbus-run-session", "--", python.c_str(), script.c_str(), ready.c_str(),
               log_.c_str(), mode_.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(input[0]);
    input_ = input[1];
    for (int i = 0; i < 200 && !fs::exists(ready); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    address_ = ReadText(ready);
    if (!address_.empty()) ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }
  ~FakeService() {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (input_ >= 0) ::close(input_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  bool Running() const { return !address_.empty(); }
  void Mode(const std::string& mode) { WriteFile(mode_, Bytes(mode.begin(), mode.end())); }
  // The Notify calls so far, one JSON line each.
  std::vector<std::string> Calls() const {
    std::vector<std::string> lines;
    std::istringstream text(ReadText(log_));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::string log_, mode_, address_;
  int input_ = -1;
  pid_t pid_ = -1;
};

// One field of a logged call, as its JSON text.
inline std::string Field(const std::string& call, const std::string& name) {
  std::smatch m;
  const std::regex value("\"" + name + "\": (\"[^\"]*\"|\\[[^\\]]*\\]|[0-9]+)");
  return std::regex_search(call, m, value) ? m[1].str() : std::string();
}

}  // namespace zk27_test
