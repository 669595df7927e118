// The command line's own plumbing: exit statuses, messages and progress.
#pragma once

#include <string>
#include <vector>

#include "cardops.h"
#include "usbfunc.h"

enum ExitStatus : int {
  kExitOk = 0,
  kExitRefused = 1,   // a file was refused or failed
  kExitUsage = 2,
  kExitDevice = 3,    // no player, no card, busy, lost connection, unreadable card
};

// A text with its "\r\n" line breaks as the terminal's.
std::string ShownText(const std::string& text);
// Why the card could not be had (a LockCard result other than kLockOk).
std::string CardLockRefusal(CardLockResult result);
// Says what was wrong with the command line; returns kExitUsage.
int UsageError(const std::string& problem);
// Prints one of the system's texts (or our own) on stderr, "\r\n" as a line break.
void Say(const std::string& text);

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

struct Session {
  bool windowClosed = false;  // the device's state ended the session
  bool assumeYes = false;
};
extern Session g_session;

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
// Lists the USB devices that could be a player; needs no card.
int CmdDevices(const std::vector<std::string>& args);
