// SIGINT and SIGTERM end the desktop program cleanly: Ctrl-C in the terminal
// it was started from, or a plain `kill`, closes the window as its close box
// does, so that the settings file is written and the card is left as a
// finished operation leaves it.
//
// A signal handler may do next to nothing; it writes a byte to a socket pair,
// and the event loop hears it there and does the work.
#pragma once

#include <QObject>
#include <csignal>
#include <functional>

class QSocketNotifier;
class QWidget;

class TerminationWatch : public QObject {
 public:
  // Handles SIGINT and SIGTERM from now on (those not ignored when the
  // program started): each one runs `onSignal` in the event loop. One watch
  // at a time.
  explicit TerminationWatch(std::function<void()> onSignal);
  // The handlers that were there before come back.
  ~TerminationWatch() override;
  TerminationWatch(const TerminationWatch&) = delete;
  TerminationWatch& operator=(const TerminationWatch&) = delete;

  // A signal has been handled.
  bool Signalled() const { return signalled_; }

 private:
  void Drain();
  std::function<void()> onSignal_;
  QSocketNotifier* notifier_ = nullptr;
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
  bool signalled_ = false;
};

// What a signal does: a transfer under way stops at its next cluster, a
// question left open is closed without an answer (no one is there to give
// one), and `window`, when there is one, is closed as its close box closes it.
void EndAsAsked(QWidget* window);
