#include "hooks.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {
FrontEndHooks g_hooks;
}

void InstallHooks(FrontEndHooks hooks) { g_hooks = std::move(hooks); }
const FrontEndHooks& Hooks() { return g_hooks; }

void ShowMessage(const std::string& text) {
  if (g_hooks.showMessage) g_hooks.showMessage(text);
}

void ShowNotice(Notice notice) {
  if (g_hooks.notice) g_hooks.notice(notice);
}

Answer AskYesNo(const std::string& caption, const std::string& text, bool warning) {
  return g_hooks.askYesNo ? g_hooks.askYesNo(caption, text, warning) : Answer::Closed;
}

bool AskText(const std::string& caption, const std::string& text, std::string* value) {
  if (!g_hooks.askText) return false;
  std::string typed = *value;
  if (!g_hooks.askText(caption, text, &typed)) return false;
  *value = std::move(typed);
  return true;
}

bool AskImport(const std::string& caption, ImportChoices* choices) {
  if (!g_hooks.askImport) return false;
  ImportChoices chosen = *choices;
  if (!g_hooks.askImport(caption, &chosen)) return false;
  *choices = std::move(chosen);
  return true;
}

bool AskPath(PathKind kind, const std::string& caption, std::string* path) {
  if (!g_hooks.askPath) return false;
  std::string chosen = *path;
  if (!g_hooks.askPath(kind, caption, &chosen) || chosen.empty()) return false;
  *path = std::move(chosen);
  return true;
}

void ReportDeviceState(DeviceStateCode state) {
  if (g_hooks.deviceState) g_hooks.deviceState(state);
}

void SetBusyCursor(bool busy) {
  if (g_hooks.setBusyCursor) g_hooks.setBusyCursor(busy);
}

void WaitMilliseconds(std::uint32_t milliseconds) {
  if (g_hooks.wait) {
    g_hooks.wait(milliseconds);
    return;
  }
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
  if (!g_hooks.processEvents) {
    std::this_thread::sleep_until(end);
    return;
  }
  // Handle events in short slices instead of spinning: the interface stays
  // alive and the wait lasts as long.
  while (Clock::now() < end) {
    g_hooks.processEvents();
    const auto next = std::min(end, Clock::now() + std::chrono::milliseconds(5));
    std::this_thread::sleep_until(next);
  }
}

void WaitSeconds(std::uint16_t seconds) { WaitMilliseconds(seconds * 1000u + 1u); }
