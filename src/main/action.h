// One action of the main window for its whole length: the buttons' and the
// card list menu's entries open it with their steps and leave it by scope.
#pragma once

#include <optional>

#include "mainform.h"

// One action for its whole length, opened by TMainForm::OpenAction and
// closed by CloseAction. The window handles events while an action waits
// (the progress window's text, the summary's pause), so a second click could
// start another action in the middle of the first: a format under a
// download, or a second progress window that the first then frees. Such a
// click is ignored.
class Action {
 public:
  Action(TMainForm& form, const TMainForm::ActionSteps& steps) : form_(form) {
    open_ = form_.OpenAction(steps, &hold_, &begun_);
  }
  ~Action() { form_.CloseAction(&hold_, begun_); }
  Action(const Action&) = delete;
  Action& operator=(const Action&) = delete;
  bool Open() const { return open_; }

 private:
  TMainForm& form_;
  std::optional<CardSession::Hold> hold_;
  bool begun_ = false;
  bool open_ = false;
};

