// The import on plug-in: the drop-in that --enable-on-plug writes and
// --disable-on-plug removes, in a temporary XDG_CONFIG_HOME, with systemctl
// missing, answering and failing; and the desktop notification, sent to a
// fake notifications service on a private session bus (dbus-run-session)
// through notify-send and through gdbus.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>

#include "cli.h"
#include "support/files.h"
#include "support/notifications.h"

namespace zk27_test {
namespace {

const char* const kDropIn = "systemd/user/sys-subsystem-usb-devices-zk27.device.d/zk27-import.conf";

// PATH for one test: a folder of its own holding only the programs it is
// given (links to the real ones, or scripts).
class ProgramFolder {
 public:
  explicit ProgramFolder(const TempDir& dir) : bin_(dir.Sub("bin")), saved_(std::getenv("PATH")) {}
  ~ProgramFolder() { ::setenv("PATH", saved_.c_str(), 1); }
  // A script that appends its arguments to `log` and exits with `status`.
  void Fake(const std::string& name, const std::string& log, int status = 0) {
    const std::string path = bin_ + "/" + name;
    const std::string text = "#!/bin/sh\necho \"$@\" >> '" + log + "'\nexit " + std::to_string(status) + "\n";
    ASSERT_TRUE(WriteFile(path, Bytes(text.begin(), text.end())));
    fs::permissions(path, fs::perms::owner_all);
  }
  // The real program, when this machine has it.
  bool Real(const std::string& name) {
    const std::string found = FindProgram(name);
    if (found.empty()) return false;
    fs::create_symlink(found, bin_ + "/" + name);
    return true;
  }
  void Use() const { ::setenv("PATH", bin_.c_str(), 1); }

 private:
  std::string bin_;
  std::string saved_;
};

// ---- --enable-on-plug / --disable-on-plug -----------------------------------------

class cli_plug : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    config_ = dir_.Sub("config");
    ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }
  std::string DropIn() const { return config_ + "/" + kDropIn; }

  TempDir dir_;
  std::string config_;
};

// How the user's manager is told, and what is said when it cannot be.
struct ManagerRow {
  const char* what;
  bool systemctl;     // on PATH at all
  int status;         // its exit status
  const char* said;   // a part of the warning; "" for none
};

TEST_F(cli_plug, TheDropInComesAndGoesAndTheManagerIsToldOrTheUserIs) {
  const ManagerRow rows[] = {
      {"systemctl missing", false, 0, "systemctl is not installed"},
      {"a user manager answers", true, 0, ""},
      {"no user manager runs", true, 1, "no systemd user manager answered"},
  };
  for (const ManagerRow& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string log = dir_ / (std::string("systemctl-") + std::to_string(row.status) + row.what[0]);
    ProgramFolder programs(dir_);
    if (row.systemctl) programs.Fake("systemctl", log, row.status);
    programs.Use();

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(EnablePlugImport(), kExitOk);
    const std::string enabled = ::testing::internal::GetCapturedStderr();
    const std::string text = ReadText(DropIn());
    EXPECT_NE(text.find("[Unit]\nWants=zk27-import.service\n"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(DropIn() + ".tmp"));

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(DisablePlugImport(), kExitOk);
    const std::string disabled = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fs::exists(fs::path(DropIn()).parent_path()));

    for (const std::string& said : {enabled, disabled}) {
      if (*row.said)
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
      else
        EXPECT_EQ(said, "");
    }
    EXPECT_EQ(ReadText(log), row.systemctl ? "--user daemon-reload\n--user daemon-reload\n" : "");
    fs::remove_all(dir_ / "bin");
  }
}

TEST_F(cli_plug, DisablingLeavesTheUsersOwnFilesAndTellsNoManagerWhenNothingWasOn) {
  const std::string log = dir_ / "systemctl.log";
  ProgramFolder programs(dir_);
  programs.Fake("systemctl", log);
  programs.Use();
  ASSERT_EQ(DisablePlugImport(), kExitOk);  // never on: nothing to remove
  EXPECT_EQ(ReadText(log), "");

  ASSERT_EQ(EnablePlugImport(), kExitOk);
  ASSERT_EQ(EnablePlugImport(), kExitOk);  // twice is once
  const std::string own = fs::path(DropIn()).parent_path() / "timeout.conf";
  ASSERT_TRUE(WriteFile(own, Bytes{'#', '\n'}));
  ASSERT_EQ(DisablePlugImport(), kExitOk);
  EXPECT_FALSE(fs::exists(DropIn()));
  EXPECT_TRUE(fs::exists(own));
  EXPECT_EQ(ReadText(log), "--user daemon-reload\n--user daemon-reload\n--user daemon-reload\n");
}

TEST_F(cli_plug, AFolderThatCannotBeWrittenIsSaidAndNothingIsWritten) {
  // The user unit folder is a file: no drop-in can go under it.
  fs::create_directories(config_ + "/systemd");
  ASSERT_TRUE(WriteFile(config_ + "/systemd/user", Bytes{'x'}));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(EnablePlugImport(), kExitRefused);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("zk27: " + config_ + "/systemd/user"), std::string::npos) << said;
}

struct OptionRow {
  std::vector<std::string> args;
  bool handled;
  int status;
};

TEST_F(cli_plug, TheOptionsRunAloneAndRefuseEachOtherAndAFolder) {
  ProgramFolder programs(dir_);
  programs.Use();  // no systemctl
  const OptionRow rows[] = {
      {{"--notify"}, false, kExitOk},
      {{"--enable-on-plug", "--disable-on-plug"}, true, kExitUsage},
      {{"--enable-on-plug", "memos"}, true, kExitUsage},
      {{"--enable-on-plug"}, true, kExitOk},
      {{"--disable-on-plug"}, true, kExitOk},
  };
  for (const OptionRow& row : rows) {
    SCOPED_TRACE(row.args[0] + (row.args.size() > 1 ? " " + row.args[1] : ""));
    Args args;
    ASSERT_TRUE(ParseArgs(row.args, kPlugOptions, nullptr, nullptr, &args));
    int status = -1;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunPlugOption(args, &status), row.handled);
    ::testing::internal::GetCapturedStderr();
    if (row.handled) {
      EXPECT_EQ(status, row.status);
    }
    EXPECT_EQ(fs::exists(DropIn()), row.args[0] == "--enable-on-plug" && row.status == kExitOk);
  }
}

// ---- the notification ----------------------------------------------------------------

class cli_plug_notify : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (FindProgram("dbus-run-session").empty()) GTEST_SKIP() << "dbus-run-session is missing (package dbus)";
    python_ = PythonWithGi();
    if (python_.empty()) GTEST_SKIP() << "no python3 with GLib's bindings (package python3-gi)";
    RuntimeFolderIn(dir_);
  }
  TempDir dir_;
  std::string python_;
};

// notify-send or gdbus: the summary line, the action, the folder, and each
// notification replacing the one before; "Open folder" opens the folder.
TEST_P(cli_plug_notify, OneNotificationReplacedWithItsActionOpeningTheFolder) {
  const std::string program = GetParam();
  ProgramFolder programs(dir_);
  if (!programs.Real(program)) GTEST_SKIP() << program << " is missing";
  const std::string opened = dir_ / "xdg-open.log";
  programs.Fake("xdg-open", opened);
  FakeService service(dir_, python_);
  ASSERT_TRUE(service.Running());
  programs.Use();

  const std::string folder = dir_ / "memos & notes";
  NotifyImported("3 recordings imported (12.4 MB)", folder);
  EXPECT_EQ(ReadText(opened), "");  // closed, not acted on
  service.Mode("invoke");
  NotifyImported("1 recording imported (2.1 MB), 1 freed from the card (2.1 MB)", folder);
  EXPECT_EQ(ReadText(opened), folder + "\n");

  const std::vector<std::string> calls = service.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(Field(calls[0], "summary"), "\"3 recordings imported (12.4 MB)\"");
  EXPECT_EQ(Field(calls[1], "summary"), "\"1 recording imported (2.1 MB), 1 freed from the card (2.1 MB)\"");
  EXPECT_EQ(Field(calls[0], "app"), "\"zk27\"");
  EXPECT_EQ(Field(calls[0], "actions"), "[\"open\", \"Open folder\"]");
  EXPECT_NE(Field(calls[0], "body").find("memos &amp; notes"), std::string::npos) << calls[0];
  EXPECT_EQ(Field(calls[0], "replaces_id"), "0");
  EXPECT_EQ(Field(calls[1], "replaces_id"), Field(calls[0], "id"));
  EXPECT_EQ(Field(calls[1], "id"), Field(calls[0], "id"));
}

INSTANTIATE_TEST_SUITE_P(cli_plug, cli_plug_notify, ::testing::Values("notify-send", "gdbus"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::regex_replace(info.param, std::regex("-"), "_");
                         });

TEST_F(cli_plug_notify, NothingWithoutEitherProgram) {
  ProgramFolder programs(dir_);
  FakeService service(dir_, python_);
  ASSERT_TRUE(service.Running());
  programs.Use();
  const auto start = std::chrono::steady_clock::now();
  NotifyImported("3 recordings imported (12.4 MB)", dir_.path());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(service.Calls().empty());
}

}  // namespace
}  // namespace zk27_test
