// The five actions of the main window: Format, Download (PC to card), Upload
// (card to PC), Delete and To Wave. Each handler shows what happens (probe,
// questions, progress window, messages, counts, buttons) and leaves the card
// work to the card operations, which zk27 runs the same way.
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QSignalBlocker>
#include <algorithm>
#include <functional>
#include <chrono>
#include <thread>

#include "hooks.h"
#include "action.h"
#include "mainform.h"
#include "messages.h"
#include "text.h"
#include "tform1.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

int SelectedCount(const QListWidget* list) { return static_cast<int>(list->selectedItems().size()); }

using Steps = TMainForm::ActionSteps;

// The hourglass for as long as it lives. It is on the screen before the
// constructor returns: the card work after it blocks the thread, and a cursor
// the window system has not been told of yet would change only after the work.
class WaitCursor {
 public:
  WaitCursor() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QGuiApplication::sync();
  }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

// Escape on the main window while a transfer runs asks to stop it, as on
// the progress window. A fetch disables the main window, and a disabled
// widget drops its keys, so the key is caught on its way to the window's
// widgets, before they see it. Installed on the application for the
// transfer's length.
class StopKey : public QObject {
 public:
  StopKey(QWidget* window, std::function<void()> ask, QObject* parent)
      : QObject(parent), window_(window), ask_(std::move(ask)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress || static_cast<QKeyEvent*>(event)->key() != Qt::Key_Escape ||
        !watched->isWidgetType() || static_cast<QWidget*>(watched)->window() != window_)
      return false;
    ask_();
    return true;
  }

 private:
  QWidget* window_;
  std::function<void()> ask_;
};

}  // namespace

bool TMainForm::BeginAction() {
  if (acting_) return false;
  acting_ = true;
  // Before the action disables anything: a disabled widget has given the
  // focus away already.
  focusBefore_ = focusWidget();
  giveFocusBack_ = false;
  return true;
}

void TMainForm::EndAction() {
  acting_ = false;
  ClearStopRequest();  // a stop belongs to the action that asked for it
  if (closing_) {
    // The window closed during a transfer: the progress window, still open
    // then, held the program's end back; it has gone now.
    QCoreApplication::quit();
    return;
  }
  if (giveFocusBack_) {
    giveFocusBack_ = false;
    // Without a window manager no window becomes active by itself when the
    // progress window goes, and the keys would reach no widget.
    activateWindow();
    QWidget* to = focusBefore_;
    if (!to || !to->isEnabled() || !to->isVisible()) to = focusFallback_;
    if (to) to->setFocus(Qt::OtherFocusReason);
  }
  // The player asked for the card to be read again while the action ran.
  if (recheckPending_ && !closing_) {
    recheckPending_ = false;
    DeviceStateMessage(kDeviceRecheck);
  }
}

bool TMainForm::OpenAction(const ActionSteps& steps, std::optional<CardSession::Hold>* hold, bool* begun) {
  *begun = BeginAction();
  if (!*begun) return false;
  if (steps.first && !steps.first()) return false;
  const auto refuse = [&steps] {
    if (steps.refused) steps.refused();
    return false;
  };
  if (steps.hold != CardLock::kNone) {
    hold->emplace(steps.hold);
    if (!HeldForAction(**hold)) return refuse();
  }
  if (steps.probe) ProbeForAction();
  if (steps.disableTransfers) {
    DownBitBtn->setEnabled(false);
    UpBitBtn->setEnabled(false);
  }
  switch (steps.gone) {
    case ActionSteps::Gone::kGoesOn: break;
    case ActionSteps::Gone::kEndsOnGone:
      if (session_.DeviceLost()) return refuse();
      break;
    case ActionSteps::Gone::kEndsOnCardOrLinkLost:
      if (session_.CardOrLinkLost()) return refuse();
      break;
  }
  if (steps.chosen && !steps.chosen()) return refuse();
  switch (steps.asRead) {
    case ActionSteps::AsRead::kNotNeeded: break;
    case ActionSteps::AsRead::kMust:
      // A list read again has lost the selection: the user chooses anew.
      if (!CardAsRead()) return refuse();
      break;
    case ActionSteps::AsRead::kUnlessGone:
      // Only a failed read ends it; a card read again goes on as it is now.
      if (!session_.DeviceLost() && !CardAsRead() && session_.State() != kDeviceReady) return refuse();
      break;
  }
  return true;
}

void TMainForm::CloseAction(std::optional<CardSession::Hold>* hold, bool begun) {
  // The card is let go before the action ends: a re-check that the end
  // runs holds it for itself.
  hold->reset();
  if (begun) EndAction();
}

bool TMainForm::HeldForAction(const CardSession::Hold& lock) {
  if (lock.Result() == kLockOk) return true;
  ShowMessage(lock.Result() == kLockInUse ? kCardInUseMessage : msg::kCardLockFailed);
  return false;
}

bool TMainForm::CardAsRead() {
  // Between actions the card is not held: another program may have changed
  // it, and writing the tables read before would undo its work or give its
  // clusters to a second file.
  if (session_.AsRead()) return true;
  if (session_.State() != kDeviceReady) {
    // The read failed: the card or the player is gone, or busy (said by the
    // read itself).
    if (session_.DeviceLost()) DeviceStateMessage(session_.State());
    return false;
  }
  const bool wasMounted = session_.Mounted();
  Reload();
  if (wasMounted) ShowMessage(msg::kCardChanged);
  return false;
}

void TMainForm::ProbeForAction() {
  // The action's own probe: a re-check it calls for is made at once, so that
  // the action works on the card as it is now.
  actionProbe_ = true;
  session_.Probe();
  actionProbe_ = false;
}

// ---- the progress window ------------------------------------------------------------

Tform1* TMainForm::OpenProgressWindow(bool disableMainWindow, QWidget* fallback) {
  // Owned by the application, not by this window: it is a window of its own.
  form1 = new Tform1();
  form1->onStopAsked = [this] { AskToStop(); };
  // Goes with the progress window.
  qApp->installEventFilter(new StopKey(this, [this] { AskToStop(); }, form1));
  form1->show();
  // The active window, so that Escape reaches it. A window manager may not
  // activate a tool window by itself, and without one no window becomes
  // active at all.
  form1->raise();
  form1->activateWindow();
  form1->setFocus(Qt::ActiveWindowFocusReason);
  focusFallback_ = fallback;
  giveFocusBack_ = true;
  if (disableMainWindow) setEnabled(false);
  SetBusyCursor(true);
  return form1;
}

void TMainForm::AskToStop() {
  if (StopRequested()) return;
  // The window closed on the card's or the player's condition, or on the
  // user's own Yes: the session ends, and so does the transfer, unasked.
  if (closing_) {
    RequestStop();
    return;
  }
  // The question is a window of its own. Once it has gone the keys go back
  // to the window that asked: without a window manager no window would have
  // them, and a window manager may pick the main window.
  const QPointer<QWidget> asking = QApplication::activeWindow();
  if (AskYesNo("", msg::kStopQuestion) == Answer::Yes) RequestStop();
  if (asking && asking->isVisible()) asking->activateWindow();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (form1 && !closing_) {
    AskToStop();
    if (!StopRequested()) {
      event->ignore();
      return;
    }
  }
  // The program ends once the action under way, if any, has ended.
  closing_ = true;
  QWidget::closeEvent(event);
}

void TMainForm::CloseProgressWindow() {
  delete form1;
  form1 = nullptr;
}

ProgressFn TMainForm::ProgressTo(const QString& shownName, const char* verb) {
  return [shownName, verb](std::uint32_t done, std::uint32_t total) {
    if (!form1) return;
    // Between clusters the user may ask the transfer to stop.
    QCoreApplication::processEvents();
    if (!form1) return;
    if (done == 0) {  // the data begins to move
      form1->showstring(shownName, verb);
      form1->ProgressBar1->setRange(0, 100);
      return;
    }
    form1->ShowPercent(ProgressPercent(done, total));
  };
}

// ---- Format -----------------------------------------------------------------------------

void TMainForm::FMBitBtnClick() {
  Steps steps;
  steps.asRead = Steps::AsRead::kNotNeeded;  // the card goes whatever it holds
  const Action action(*this, steps);
  if (!action.Open()) return;
  if (AskYesNo(msg::kConfirmFormatCaption, msg::kConfirmFormat) != Answer::Yes) return;
  // Held from the answer on: a question left open must not keep other
  // programs off the card.
  const CardSession::Hold lock(CardLock::kExclusive);
  if (!HeldForAction(lock)) return;
  const FormatResult formatted = [this] {
    const WaitCursor hourglass;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const FormatResult result = session_.Format();
    WaitMilliseconds(1001);
    return result;
  }();
  // The files are gone before the message says so; a refused card keeps
  // its list.
  if (formatted == kFormatOk) {
    const QSignalBlocker quiet(MP3ListBox);
    MP3ListBox->clear();
  }
  // Only a format that succeeded is called completed; a refused card keeps
  // its files, and the user must hear that it was not formatted.
  ShowMessage(msg::FormatOutcome(formatted));
  session_.Mount();
  if (session_.State() == kDeviceReady) {
    RefreshCardView();
  } else if (session_.State() != kDeviceBusy) {
    CloseMainWindow();
  }
}

// ---- Download: PC files to the card --------------------------------------------------------

void TMainForm::FinishDownload(const PassSummary& summary) {
  SetBusyCursor(false);
  RefreshCardView();
  if (form1) form1->ShowSummary(Q(summary.text));
  WaitSeconds(2);
  setEnabled(true);
  CloseProgressWindow();
}

void TMainForm::DownBitBtnClick() {
  // The selection as it stands once the card is known: the window stays open
  // to the user while the files go, and a change of folder must not change
  // what is sent.
  SendPcFiles([this] {
    const QDir folder(SDirectoryListBox->Directory());
    QStringList paths;
    for (int row = 0; row < SFileListBox->count(); ++row)
      if (SFileListBox->item(row)->isSelected()) paths << folder.filePath(SFileListBox->item(row)->text());
    return paths;
  });
}

void TMainForm::DropOnCardList(const QStringList& paths) {
  SendPcFiles([paths] { return paths; });
}

void TMainForm::SendPcFiles(const std::function<QStringList()>& pick) {
  Steps steps;
  steps.hold = CardLock::kExclusive;
  steps.gone = Steps::Gone::kGoesOn;  // a missing card shows at the first file
  // The PC files to send do not depend on the card list: when the card was
  // read again the new list is shown and the files go to the card as it is
  // now.
  steps.asRead = Steps::AsRead::kUnlessGone;
  const Action action(*this, steps);
  if (!action.Open()) return;
  DownBitBtn->setEnabled(false);
  UpBitBtn->setEnabled(false);
  RefreshCardView();
  const QStringList paths = pick();
  std::vector<SendItem> files;
  for (const QString& path : paths)
    files.push_back({QFile::encodeName(path).toStdString(), QFileInfo(path).fileName().toStdString()});
  if (files.empty()) return;
  SendItems(files, paths);
}

void TMainForm::SendItems(const std::vector<SendItem>& files, const QStringList& paths) {
  OpenProgressWindow(false, SFileListBox);
  PassCallbacks view;
  view.starting = [this](std::size_t, int position, int total) { form1->ShowPosition(position, total); };
  view.transferring = [&](std::size_t i) { return ProgressTo(paths[static_cast<int>(i)], msg::kDownloading); };
  view.finished = [this](const FileReport& report) {
    for (const std::string& m : report.messages) ShowMessage(m);
    if (report.counted) RefreshCardView();
    if (report.step == PassStep::kEndSession) {
      form1->ShowStatus(Q(report.endText));
      WaitSeconds(2);
      CloseMainWindow();
    }
  };
  FinishDownload(session_.Send(files, view));
}

// ---- Upload: card files to the PC ----------------------------------------------------------

bool TMainForm::FinishUpload(const PassSummary& summary) {
  SetBusyCursor(false);
  if (!summary.text.empty()) {
    form1->ShowSummary(Q(summary.text));
    SFileListBox->Update();
    WaitSeconds(2);
    CloseProgressWindow();
    setEnabled(true);
    return true;
  }
  if (!summary.endText.empty()) {  // a card command failed
    form1->ShowStatus(Q(summary.endText));
    WaitSeconds(3);
    CloseProgressWindow();
    if (summary.end == PassStep::kEndSession) {
      CloseMainWindow();
      return false;
    }
  }
  // Otherwise the pass ended with a message of its own, the progress window
  // already closed.
  setEnabled(true);
  return true;
}

bool TMainForm::FetchSelectedFiles(bool toWave) {
  std::vector<std::string> lines;
  std::vector<int> rows;
  for (int row = 0; row < MP3ListBox->count(); ++row) {
    if (!MP3ListBox->item(row)->isSelected()) continue;
    lines.push_back(CardLine(row));
    rows.push_back(row);
  }
  int removed = 0;  // lines taken out of the list so far: the rows after them moved up
  PassCallbacks view;
  view.starting = [this](std::size_t, int position, int total) {
    form1->ShowPosition(position, total);
    form1->ShowPercent(0);
  };
  view.transferring = [&](std::size_t i) {
    const QString shown = Q(PcNameFromCard(lines[i]));
    form1->showstring(shown, msg::kUploading);
    return ProgressTo(shown, msg::kUploading);
  };
  view.finished = [&](const FileReport& report) {
    // The message comes after the progress window has gone.
    if (report.result == kOpCannotCreatePcFile) CloseProgressWindow();
    for (const std::string& m : report.messages) ShowMessage(m);
    for (const std::string& n : report.notes) ShowMessage(n);  // a recording resampled
    if (!report.pcName.empty()) SFileListBox->addItem(Q(report.pcName));
    if (report.result == kOpNotOnCard) {
      // A line that names no file goes; the line after it moves up.
      const QSignalBlocker quiet(MP3ListBox);  // the removal is no click of the user's
      delete MP3ListBox->takeItem(rows[report.index] - removed++);
    }
  };
  const FetchKind kind = toWave ? FetchKind::kToWave : FetchKind::kFiles;
  return FinishUpload(session_.Fetch({lines.begin(), lines.end()}, kind, ".", view));
}

void TMainForm::UpBitBtnClick() {
  Steps steps;
  steps.hold = CardLock::kShared;
  steps.disableTransfers = true;
  steps.gone = Steps::Gone::kEndsOnCardOrLinkLost;
  steps.chosen = [this] { return SelectedCount(MP3ListBox) > 0; };
  const Action action(*this, steps);
  if (!action.Open()) return;

  OpenProgressWindow(true, MP3ListBox);
  FetchSelectedFiles(false);
}

// ---- Delete ---------------------------------------------------------------------------------

void TMainForm::DelBitBtnClick() {
  Steps steps;
  steps.hold = CardLock::kExclusive;
  steps.disableTransfers = true;
  steps.chosen = [this] { return SelectedCount(MP3ListBox) > 0; };
  const Action action(*this, steps);
  if (!action.Open()) return;
  const int selected = SelectedCount(MP3ListBox);
  std::vector<std::string> names;
  for (int row = 0; row < MP3ListBox->count(); ++row)
    if (MP3ListBox->item(row)->isSelected()) names.push_back(CardLine(row));
  // One file is named under the question, as the list shows it, so that the
  // user sees what goes even when the Delete key, not a look at the list,
  // asked for it.
  const std::string question = selected == 1
                                   ? std::string(msg::kConfirmDeleteOne) + "\r\n" + PcNameFromCard(names.front())
                                   : msg::ConfirmDeleteMany(selected);
  if (AskYesNo(msg::kConfirmDeleteCaption, question) != Answer::Yes) return;

  PassCallbacks view;
  view.finished = [&](const FileReport& report) {
    if (report.result == kOpOk) return;
    for (const std::string& m : report.messages) ShowMessage(m);
    const QSignalBlocker quiet(MP3ListBox);
    const QList<QListWidgetItem*> gone =
        MP3ListBox->findItems(Q(PcNameFromCard(names[report.index])), Qt::MatchExactly);
    if (!gone.isEmpty()) delete gone.first();
  };
  const PassSummary summary = session_.Delete({names.begin(), names.end()}, view);
  if (summary.end == PassStep::kEndSession) {
    if (!summary.text.empty()) ShowMessage(summary.text);
    CloseMainWindow();
    return;
  }
  FillMp3List(session_.Relist());
  StatusBar->SetPanelText(1, Q(msg::FreeSpaceText(session_.FreeClusters())));
  StatusBar->SetPanelText(2, QString());
}

// ---- Rename and the play order: the card list's keys ---------------------------------------

namespace {

// What a refused rename or order says.
std::string Refusal(CardOpResult result, const std::string& name) {
  return msg::FileText(msg::PassWords::kChange, result, name);
}

// The music files' FileIds in play order: the list's music lines, top down.
std::vector<std::uint8_t> MusicOrder(const CardSession& card) {
  std::vector<std::uint8_t> ids;
  for (std::int32_t r = card.FileCount(); r >= 1; --r)
    if (!IsVoiceFileId(card.Record(r).FileId)) ids.push_back(card.Record(r).FileId);
  return ids;
}

}  // namespace

int TMainForm::SelectedCardRow() const {
  int found = -1;
  for (int row = 0; row < MP3ListBox->count(); ++row) {
    if (!MP3ListBox->item(row)->isSelected()) continue;
    if (found >= 0) return -1;
    found = row;
  }
  return found;
}

void TMainForm::SelectCardFile(std::uint8_t fileId) {
  // The list shows records CardFileCount..1 from the top. The selection is
  // the one the user made, moved along: no click of the user's.
  const QSignalBlocker quiet(MP3ListBox);
  for (std::int32_t r = 1; r <= session_.FileCount(); ++r) {
    if (session_.Record(r).FileId != fileId) continue;
    MP3ListBox->setCurrentRow(session_.FileCount() - r, QItemSelectionModel::ClearAndSelect);
    return;
  }
}

void TMainForm::EndOnFailedWrite() {
  // The tables may be half written. A busy player has said so itself.
  if (session_.State() != kDeviceBusy) ShowMessage(msg::TransferFailure(session_.State()));
  CloseMainWindow();
}

void TMainForm::ChangeSelectedFile(const std::function<void(int row, std::int32_t r)>& change) {
  Steps steps;
  steps.first = [this] { return SelectedCardRow() >= 0; };
  steps.hold = CardLock::kExclusive;
  const Action action(*this, steps);
  if (!action.Open()) return;
  const int row = SelectedCardRow();
  if (row < 0) return;
  const std::int32_t r = session_.Find(CardLine(row));
  if (r > 0) change(row, r);
}

void TMainForm::RenameSelectedFile() {
  ChangeSelectedFile([this](int row, std::int32_t r) { RenameCardRecord(row, r); });
}

void TMainForm::RenameCardRecord(int row, std::int32_t r) {
  const std::string line = CardLine(row);
  const std::uint8_t fileId = session_.Record(r).FileId;
  const std::string shown = PcNameFromCard(line);
  std::string name = shown;
  // A refused name is said, and the box opens again on the name as typed,
  // to be mended rather than typed anew.
  for (;;) {
    if (!AskText(msg::kRenameCaption, msg::kRenamePrompt, &name) || name == shown) return;
    const CardOpResult result = session_.Rename(line, name);
    if (result == kOpOk) break;
    if (result == kOpDeviceFailed) {
      EndOnFailedWrite();
      return;
    }
    ShowMessage(Refusal(result, name));
    if (!NewNameRefused(result)) return;
  }
  FillMp3List(session_.Relist());
  SelectCardFile(fileId);  // a rename keeps the FileId
}

void TMainForm::MoveSelectedFile(int step) {
  ChangeSelectedFile([this, step](int row, std::int32_t r) { MoveCardRecord(row, r, step); });
}

void TMainForm::MoveCardRecord(int row, std::int32_t r, int step) {
  // Voice files have no place in the play order.
  if (IsVoiceFileId(session_.Record(r).FileId)) return;
  std::vector<std::uint8_t> ids = MusicOrder(session_);
  const std::ptrdiff_t count = static_cast<std::ptrdiff_t>(ids.size());
  const std::ptrdiff_t at = std::find(ids.begin(), ids.end(), session_.Record(r).FileId) - ids.begin();
  const std::ptrdiff_t to = at + step;
  if (at >= count || to < 0 || to >= count) return;
  std::swap(ids[static_cast<std::size_t>(at)], ids[static_cast<std::size_t>(to)]);
  // By FileId: it names a file whatever its name.
  std::vector<CardFileRef> order;
  for (const std::uint8_t id : ids) order.push_back(CardFileRef::OfFileId(id));
  const CardOpResult result = session_.Order(order);
  if (result == kOpDeviceFailed) {
    EndOnFailedWrite();
    return;
  }
  if (result != kOpOk) ShowMessage(Refusal(result, PcNameFromCard(CardLine(row))));
  FillMp3List(session_.Relist());
  // The music files are numbered 1..n in the order given.
  if (result == kOpOk) SelectCardFile(static_cast<std::uint8_t>(to + 1));
}

// ---- To Wave: voice recordings to WAV files ----------------------------------------------

void TMainForm::WavBitBtnClick() {
  Steps steps;
  steps.first = [this] {
    DownBitBtn->setEnabled(false);
    UpBitBtn->setEnabled(false);
    WavBitBtn->setEnabled(false);
    // No probe: the state of the last command decides.
    if (session_.State() == kDeviceReady && SelectedCount(MP3ListBox) > 0) return true;
    WavBitBtn->setEnabled(true);
    return false;
  };
  steps.hold = CardLock::kShared;
  steps.probe = false;
  steps.gone = Steps::Gone::kGoesOn;
  steps.refused = [this] { WavBitBtn->setEnabled(true); };
  const Action action(*this, steps);
  if (!action.Open()) return;

  OpenProgressWindow(true, MP3ListBox);
  if (FetchSelectedFiles(true)) WavBitBtn->setEnabled(true);
}
