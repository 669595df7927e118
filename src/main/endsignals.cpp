#include "endsignals.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "passes.h"

namespace {

// [0] is written by the handler, [1] read by the event loop.
int g_pair[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // Non-blocking: with the pair full, the loop has a byte to wake on already.
  [[maybe_unused]] const ssize_t n = ::write(g_pair[0], &byte, 1);
  errno = saved;
}

}  // namespace

TerminationWatch::TerminationWatch(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
  Q_ASSERT(g_pair[0] < 0);
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_pair) != 0) {
    // Without the pair the signals keep their default effect.
    g_pair[0] = g_pair[1] = -1;
    return;
  }
  notifier_ = new QSocketNotifier(g_pair[1], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // A signal the program was started with ignored stays ignored: a shell
  // starts a background job with SIGINT ignored, so that a Ctrl-C meant
  // for the shell's foreground does not end it.
  ::sigaction(SIGINT, nullptr, &oldInt_);
  ::sigaction(SIGTERM, nullptr, &oldTerm_);
  if (oldInt_.sa_handler != SIG_IGN) ::sigaction(SIGINT, &action, nullptr);
  if (oldTerm_.sa_handler != SIG_IGN) ::sigaction(SIGTERM, &action, nullptr);
}

TerminationWatch::~TerminationWatch() {
  if (g_pair[0] < 0) return;
  ::sigaction(SIGINT, &oldInt_, nullptr);
  ::sigaction(SIGTERM, &oldTerm_, nullptr);
  delete notifier_;
  ::close(g_pair[0]);
  ::close(g_pair[1]);
  g_pair[0] = g_pair[1] = -1;
}

void TerminationWatch::Drain() {
  char bytes[64];
  while (::read(g_pair[1], bytes, sizeof bytes) > 0) {
  }
  signalled_ = true;
  if (onSignal_) onSignal_();
}

void EndAsAsked(QWidget* window) {
  // As on the user's Yes to the stop question: the file in flight is not
  // kept, the files done before it are. A transfer left to run on would keep
  // the program alive for minutes after it was told to end.
  RequestStop();
  // Innermost first: each rejected box unwinds to the one below it. A box
  // that will not go is not waited for.
  for (int tries = 0; tries < 16; ++tries) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) break;
    if (auto* dialog = qobject_cast<QDialog*>(modal))
      dialog->reject();
    else
      modal->close();
  }
  if (window) window->close();
}
