// The command line's own plumbing: exit statuses, messages and progress.
#pragma once

#include <string>
#include <vector>

#include "cardops.h"
#include "fs.h"
#include "usbfunc.h"

enum ExitStatus : int {
  kExitOk = 0,
  kExitRefused = 1,   // a file was refused or failed
  kExitUsage = 2,
  kExitDevice = 3,    // no player, no card, busy, lost connection, unreadable card
  kExitInterrupted = 130,  // Ctrl-C, SIGTERM or SIGHUP stopped the run (128 + SIGINT)
};

// A text with its "\r\n" line breaks as the terminal's.
std::string ShownText(const std::string& text);
// Why the card could not be had (a LockCard result other than kLockOk).
std::string CardLockRefusal(CardLockResult result);
// Says what was wrong with the command line; returns kExitUsage.
int UsageError(const std::string& problem);
// Prints one of the system's texts (or our own) on stderr, "\r\n" as a line break.
void Say(const std::string& text);
// Writes `text` to standard output as it stands. zk27 writes with stdio
// only: the C++ streams would set up their locales at every start.
void Print(const std::string& text);

// Shows "name is Downloading  37%  (2 of 5)" on one line of a terminal.
class ProgressLine {
 public:
  ProgressLine(std::string verb, int of);
  void Start(const std::string& name, int index);
  ProgressFn Callback();
  void End();

 private:
  bool tty_;
  bool open_ = false;
  std::string verb_;
  std::string name_;
  int index_ = 0;
  int of_;
};

// A command's arguments: its flags and its operands.
struct Args {
  std::vector<std::string> flags;
  std::vector<std::string> operands;
  int status = kExitOk;
};

// Splits a command's arguments into the `known` flags and the operands.
// `operandNeeded` is the usage message when at least one operand is needed,
// or nullptr when the command takes none. False on a usage error, with
// args->status set.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& known,
               const char* operandNeeded, const char* command, Args* out);
// True when flag `a` (or its other spelling `b`) was given.
bool Has(const std::vector<std::string>& flags, const char* a, const char* b = nullptr);

struct Session {
  bool windowClosed = false;  // the device's state ended the session
  bool assumeYes = false;
};
extern Session g_session;

// Says what the DeviceState tells of the device on stderr; returns kExitDevice.
int SayState();
// The player's status as the program's start tests it; kExitOk or the status
// to end with, said on stderr.
int CheckDeviceStatus();
// Checks the card's volume and mounts it, without the card list: the image
// is the card as it is. kExitOk or the status to end with, said on stderr.
int ReadVolume(MountMode mode = MountMode::kAsHeld);
// Reaches the card: the start-up status checks, then RecheckCard. Returns
// kExitOk or the status to end with.
int OpenCard();
// Checks the card's volume and reads it: the card check, the mount and the
// card list. What the main window does when the player asks for a re-check.
int RecheckCard();

int CmdInfo(const std::vector<std::string>& args);
int CmdLs(const std::vector<std::string>& args);
int CmdPut(const std::vector<std::string>& args);
int CmdGet(const std::vector<std::string>& args);
int CmdRm(const std::vector<std::string>& args);
int CmdFormat(const std::vector<std::string>& args);
int CmdTowav(const std::vector<std::string>& args);
// Examines the card's volume; with --repair mends it.
int CmdCheck(const std::vector<std::string>& args);
// Lists the USB devices that could be a player; needs no card.
int CmdDevices(const std::vector<std::string>& args);
