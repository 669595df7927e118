// Where the engine meets a front end.
//
// The engine shows a few notices of its own (the busy notice of the sector
// commands, the card check's notices, the listing's broken-entry notice) and
// tells the main window about the device's condition. It does so only through
// these hooks, which the front end installs at start: the desktop program
// with dialogs and a synchronous window event, the command line with lines on
// stderr, tests with scripted answers. Without hooks nothing is shown.
//
// Layer: the bottom of the engine, beside src/platform. It owns the hooks,
// the notices (notice.h), the DeviceState's codes (device_state.h), the
// standard descriptors' set-up (descriptors.h) and small text and number
// routines (text.h). It calls only src/platform and the C++ library; every
// other folder may call it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "device_state.h"
#include "notice.h"

enum class Answer { Yes, No, Closed };

// What a file dialog asks for: a file to read, a file to write, or a folder.
enum class PathKind { kOpenFile, kSaveFile, kFolder };

// What the window's import dialog chooses: the folder, the format of the
// sound files ("wav", "flac" or "ogg") and whether the card is freed after.
struct ImportChoices {
  std::string folder;
  std::string format = "wav";
  bool free = false;
};

struct FrontEndHooks {
  // A modal message with an OK button. Texts use "\r\n" for line breaks.
  // The window's own texts; the engine says what it has to say as notices.
  std::function<void(const std::string& text)> showMessage;
  // A notice of the engine's, for the front end to word and show as a
  // message.
  std::function<void(Notice notice)> notice;
  // A Yes/No question; `warning` asks for the warning icon, otherwise none.
  std::function<Answer(const std::string& caption, const std::string& text, bool warning)> askYesNo;
  // A line of text to type, for `text` under `caption`: `value` holds what
  // the line starts with (UTF-8) and receives what was typed. False when the
  // user cancelled or closed the box; `value` is then left as it was.
  std::function<bool(const std::string& caption, const std::string& text, std::string* value)> askText;
  // A file or folder to choose, for `caption`: `path` holds where the
  // dialog starts and receives the choice (UTF-8). False when the user
  // cancelled or closed the dialog; `path` is then left as it was.
  std::function<bool(PathKind kind, const std::string& caption, std::string* path)> askPath;
  // The import's choices, for `caption`: `choices` holds what the dialog
  // starts with and receives what was chosen. False when the user cancelled
  // or closed it; `choices` is then left as it was.
  std::function<bool(const std::string& caption, ImportChoices* choices)> askImport;
  // The device's condition after the link asked the player for its status;
  // returns once the front end has reacted to it (the desktop program hands
  // it to its main window as the window's DeviceStateMessage).
  std::function<void(DeviceStateCode state)> deviceState;
  // Hourglass on (true) or back to the default (false).
  std::function<void(bool busy)> setBusyCursor;
  // Handles pending window events; called repeatedly while waiting.
  std::function<void()> processEvents;
  // When set, stands in for the wall-clock waits of WaitSeconds and
  // WaitMilliseconds (tests see what was waited for without the time passing).
  std::function<void(std::uint32_t milliseconds)> wait;
};

// Replaces every hook at once; empty members fall back to doing nothing.
void InstallHooks(FrontEndHooks hooks);
const FrontEndHooks& Hooks();

void ShowMessage(const std::string& text);
void ShowNotice(Notice notice);
Answer AskYesNo(const std::string& caption, const std::string& text, bool warning = false);
// Without a front end to type into, nothing is typed: false.
bool AskText(const std::string& caption, const std::string& text, std::string* value);
// Without a front end to choose with, nothing is chosen: false.
bool AskPath(PathKind kind, const std::string& caption, std::string* path);
// Without a front end to choose with, nothing is chosen: false.
bool AskImport(const std::string& caption, ImportChoices* choices);
void ReportDeviceState(DeviceStateCode state);
void SetBusyCursor(bool busy);

// Waits `seconds` seconds and 1 ms of wall-clock time while window events are
// still handled.
void WaitSeconds(std::uint16_t seconds);
// Waits `milliseconds` while window events are still handled.
void WaitMilliseconds(std::uint32_t milliseconds);
