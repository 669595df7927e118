// The five actions of the main window: Format, Download (PC to card), Upload
// (card to PC), Delete and To Wave. Each handler shows what happens (probe,
// questions, progress window, messages, counts, buttons) and leaves the card
// work to the card operations, which zk27 runs the same way.
#include <QDir>
#include <QFile>
#include <QSignalBlocker>
#include <chrono>
#include <thread>

#include "cardops.h"
#include "fs.h"
#include "hooks.h"
#include "mainform.h"
#include "messages.h"
#include "text.h"
#include "tform1.h"
#include "usbfunc.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

int SelectedCount(const QListWidget* list) { return static_cast<int>(list->selectedItems().size()); }

// The text of the progress window's first line when a run stops on the card.
QString StoppedText(int count, const char* verb) { return QString::number(count) + verb; }

// Marks an action as running for its whole length. The window handles events
// while an action waits (the progress window's text, the summary's pause), so
// a second click could start another action in the middle of the first: a
// format under a download, or a second progress window that the first then
// frees. Such a click is ignored.
class ActionScope {
 public:
  explicit ActionScope(TMainForm& form) : form_(form), entered_(form.BeginAction()) {}
  ~ActionScope() {
    if (entered_) form_.EndAction();
  }
  ActionScope(const ActionScope&) = delete;
  ActionScope& operator=(const ActionScope&) = delete;
  bool Entered() const { return entered_; }

 private:
  TMainForm& form_;
  bool entered_;
};

}  // namespace

bool TMainForm::BeginAction() {
  if (acting_) return false;
  acting_ = true;
  return true;
}

void TMainForm::EndAction() {
  acting_ = false;
  // The player asked for the card to be read again while the action ran.
  if (recheckPending_ && !closing_) {
    recheckPending_ = false;
    DeviceStateMessage(3);
  }
}

bool TMainForm::HeldForAction(const CardLockScope& lock) {
  if (lock.Result() == kLockOk) return true;
  ShowMessage(lock.Result() == kLockInUse ? kCardInUseMessage : msg::kCardLockFailed);
  return false;
}

bool TMainForm::CardAsRead() {
  // Between actions the card is not held: another program may have changed
  // it, and writing the tables read before would undo its work or give its
  // clusters to a second file.
  if (VolumeImage.mounted && CardTablesUnchanged()) return true;
  if (DeviceState != 0) {
    // The read failed: the card or the player is gone, or busy (said by the
    // read itself).
    if (DeviceGone()) DeviceStateMessage(DeviceState);
    return false;
  }
  const bool wasMounted = VolumeImage.mounted;
  Reload();
  if (wasMounted) ShowMessage(msg::kCardChanged);
  return false;
}

void TMainForm::ProbeForAction() {
  // The action's own probe: a re-check it calls for is made at once, so that
  // the action works on the card as it is now.
  actionProbe_ = true;
  ProbeDevice(this);
  actionProbe_ = false;
}

// ---- the progress window ------------------------------------------------------------

Tform1* TMainForm::OpenProgressWindow(bool disableMainWindow) {
  // Owned by the application, not by this window: it is a window of its own.
  form1 = new Tform1();
  form1->show();
  if (disableMainWindow) setEnabled(false);
  SetBusyCursor(true);
  return form1;
}

void TMainForm::CloseProgressWindow() {
  delete form1;
  form1 = nullptr;
}

ProgressFn TMainForm::ProgressTo(const QString& shownName, const char* verb) {
  return [shownName, verb](std::uint32_t done, std::uint32_t total) {
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
  const ActionScope scope(*this);
  if (!scope.Entered()) return;
  ProbeForAction();
  if (DeviceGone()) return;
  if (AskYesNo(msg::kConfirmFormatCaption, msg::kConfirmFormat) != Answer::Yes) return;
  // Held from the answer on: a question left open must not keep other
  // programs off the card.
  const CardLockScope lock(CardLock::kExclusive);
  if (!HeldForAction(lock)) return;
  SetBusyCursor(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const FormatResult formatted = FormatCard();
  WaitMilliseconds(1001);
  SetBusyCursor(false);
  // Only a format that succeeded is called completed; a refused card keeps
  // its files, and the user must hear that it was not formatted.
  ShowMessage(formatted == kFormatOk ? msg::kFormattingCompleted : msg::FormatFailure(formatted));
  MountVolume();
  if (DeviceState == 0) {
    RefreshCardView();
  } else if (DeviceState != 1) {
    CloseMainWindow();
  }
}

// ---- Download: PC files to the card --------------------------------------------------------

void TMainForm::FinishDownload(int stored) {
  SetBusyCursor(false);
  RefreshCardView();
  if (form1) form1->ShowSummary(Q(msg::CountText(stored, "downloaded")));
  WaitSeconds(2);
  setEnabled(true);
  CloseProgressWindow();
}

void TMainForm::DownBitBtnClick() {
  const ActionScope scope(*this);
  if (!scope.Entered()) return;
  const CardLockScope lock(CardLock::kExclusive);
  if (!HeldForAction(lock)) return;
  ProbeForAction();  // a missing card shows at the first file
  // The PC files to send do not depend on the card list: when the card was
  // read again the new list is shown and the files go to the card as it is
  // now; only a failed read stops here.
  if (!DeviceGone()) {
    const bool asRead = CardAsRead();
    if (!asRead && DeviceState != 0) return;
  }
  int stored = 0;
  DownBitBtn->setEnabled(false);
  UpBitBtn->setEnabled(false);
  RefreshCardView();
  // The selection as it stands now: the window stays open to the user while
  // the files go, and a change of folder must not change what is sent.
  QStringList lines;
  for (int row = 0; row < SFileListBox->count(); ++row)
    if (SFileListBox->item(row)->isSelected()) lines << SFileListBox->item(row)->text();
  const int selected = static_cast<int>(lines.size());
  if (selected == 0) return;

  OpenProgressWindow(false);
  const QDir folder(SDirectoryListBox->Directory());
  for (const QString& line : lines) {
    form1->ShowPosition(stored + 1, selected);
    const QString path = folder.filePath(line);
    const CardOpResult r =
        SendFileToCard(QFile::encodeName(path).toStdString(), line.toStdString(), ProgressTo(path, msg::kDownloading));
    switch (r) {
      case kOpOk:
        RefreshCardView();
        ++stored;
        continue;
      case kOpCannotOpenPcFile:
        ShowMessage(msg::kSelectedUnknown);
        continue;
      case kOpWrongKind:
        ShowMessage(msg::kInvalidType);
        continue;
      case kOpNameNotStorable:
      case kOpNameTooLong:
      case kOpNoFileIdLeft:
      case kOpNameOnCard:
      case kOpPcReadFailed:  // this file only; the next may be fine
        ShowMessage(CardOpText(r, line.toStdString()));
        continue;
      case kOpNoSpace:
        ShowMessage(msg::kNoSpace);
        break;
      case kOpDirectoryFull:
        ShowMessage(msg::kTooManyFiles);
        break;
      case kOpNameTableFull:
        ShowMessage(CardOpText(r, line.toStdString()));
        break;
      case kOpDeviceGone:  // found by the probe, which said so already
        break;
      default:  // a card command failed: during the data, or the table write
        if (r == kOpFlushFailed) ShowMessage(CardOpText(r, line.toStdString()));
        ShowMessage(msg::TransferFailure(DeviceState));
        if (DeviceState == 2 || DeviceState == 4) {
          form1->ShowStatus(StoppedText(stored, "files downloaded"));
          WaitSeconds(2);
          CloseMainWindow();
        }
        break;
    }
    break;  // the run stops here
  }
  FinishDownload(stored);
}

// ---- Upload: card files to the PC ----------------------------------------------------------

void TMainForm::FinishUpload(int count) {
  SetBusyCursor(false);
  form1->ShowSummary(Q(msg::CountText(count, "uploaded")));
  SFileListBox->Update();
  WaitSeconds(2);
  CloseProgressWindow();
  setEnabled(true);
}

bool TMainForm::StopUpload(int count) {
  ShowMessage(msg::TransferFailure(DeviceState));
  const bool ending = DeviceState == 2 || DeviceState == 4;
  SetBusyCursor(false);
  form1->ShowStatus(StoppedText(count, "files uploaded"));
  WaitSeconds(3);
  CloseProgressWindow();
  if (ending) CloseMainWindow();
  else setEnabled(true);
  return ending;
}

std::int32_t TMainForm::SelectedCardFile(int row) {
  CurrentFileName = CardLine(row);
  const std::int32_t r = FindCardFile(CurrentFileName);
  if (r > 0) return r;
  // A line that names no file (or an empty one) goes; the line after it
  // moves up into this row.
  ShowMessage(msg::kFileNotExisted);
  const QSignalBlocker quiet(MP3ListBox);  // the removal is no click of the user's
  delete MP3ListBox->takeItem(row);
  return 0;
}

TMainForm::FetchOutcome TMainForm::FetchSelectedFile(std::int32_t r, std::string* pcName) {
  if (DeviceState != 0) return FetchOutcome::DeviceFailed;
  const QString shown = Q(PcNameFromCard(CurrentFileName));
  form1->showstring(shown, msg::kUploading);
  // Into the process's current folder: the folder the PC side shows.
  const CardOpResult result = FetchCardFileTo(r, ".", ProgressTo(shown, msg::kUploading), pcName);
  switch (result) {
    case kOpOk:
      return FetchOutcome::Fetched;
    case kOpCannotCreatePcFile:
      return FetchOutcome::CannotCreate;
    case kOpDeviceFailed:
      return FetchOutcome::DeviceFailed;
    default:  // this file only: a damaged chain, an unsafe name, a PC write error
      ShowMessage(CardOpText(result, shown.toStdString()));
      return FetchOutcome::Skipped;
  }
}

void TMainForm::InvalidHandle() {
  CloseProgressWindow();
  ShowMessage(msg::kInvalidHandle);
  SetBusyCursor(false);
  setEnabled(true);
}

bool TMainForm::FetchSelectedFiles(bool toWave) {
  int count = 0;
  for (int row = 0; row < MP3ListBox->count();) {
    if (!MP3ListBox->item(row)->isSelected()) {
      ++row;
      continue;
    }
    form1->ShowPosition(count + 1, SelectedCount(MP3ListBox));
    form1->ShowPercent(0);
    const std::int32_t r = SelectedCardFile(row);
    if (r == 0) continue;
    ++row;
    if (toWave && (CardFileTable[r].FileId & 0x80) == 0) {
      ShowMessage(msg::kUnknownVoice);
      continue;
    }
    std::string pcName;
    switch (FetchSelectedFile(r, &pcName)) {
      case FetchOutcome::Fetched:
        SFileListBox->addItem(Q(pcName));
        if (toWave) {
          // A recording that cannot be turned into sound is said, not counted.
          std::string wavName;
          const CardOpResult decoded = ConvertVoiceFile(pcName, &wavName);
          if (decoded != kOpOk) {
            ShowMessage(CardOpText(decoded, pcName));
            continue;
          }
        }
        ++count;
        continue;
      case FetchOutcome::Skipped:
        continue;
      case FetchOutcome::CannotCreate:
        InvalidHandle();
        return true;
      case FetchOutcome::DeviceFailed:
        return !StopUpload(count);
    }
  }
  FinishUpload(count);
  return true;
}

void TMainForm::UpBitBtnClick() {
  const ActionScope scope(*this);
  if (!scope.Entered()) return;
  const CardLockScope lock(CardLock::kShared);
  if (!HeldForAction(lock)) return;
  ProbeForAction();
  DownBitBtn->setEnabled(false);
  UpBitBtn->setEnabled(false);
  if (DeviceState == 2 || DeviceState == 4) return;
  if (SelectedCount(MP3ListBox) == 0) return;
  // A list read again has lost the selection: the user chooses anew.
  if (!CardAsRead()) return;

  OpenProgressWindow(true);
  FetchSelectedFiles(false);
}

// ---- Delete ---------------------------------------------------------------------------------

void TMainForm::DelBitBtnClick() {
  const ActionScope scope(*this);
  if (!scope.Entered()) return;
  const CardLockScope lock(CardLock::kExclusive);
  if (!HeldForAction(lock)) return;
  ProbeForAction();
  DownBitBtn->setEnabled(false);
  UpBitBtn->setEnabled(false);
  if (DeviceGone()) return;
  const int selected = SelectedCount(MP3ListBox);
  if (selected == 0) return;
  if (!CardAsRead()) return;
  const std::string question = selected == 1 ? std::string(msg::kConfirmDeleteOne) : msg::ConfirmDeleteMany(selected);
  if (AskYesNo(msg::kConfirmDeleteCaption, question) != Answer::Yes) return;

  std::vector<std::string> names;
  for (int row = 0; row < MP3ListBox->count(); ++row)
    if (MP3ListBox->item(row)->isSelected()) names.push_back(CardLine(row));
  for (const std::string& name : names) {
    if (ReleaseCardFile(name) == kOpOk) continue;
    const QString shown = Q(PcNameFromCard(name));
    ShowMessage(msg::DeleteNotExisted(shown.toStdString()));
    const QSignalBlocker quiet(MP3ListBox);
    const QList<QListWidgetItem*> gone = MP3ListBox->findItems(shown, Qt::MatchExactly);
    if (!gone.isEmpty()) delete gone.first();
  }
  FlushVolume(FlushOrder::kReleasing);
  if (DeviceState != 0) {
    // The tables may be half written: the user must hear it before the
    // program ends.
    if (DeviceState != 1) ShowMessage(msg::TransferFailure(DeviceState));
    CloseMainWindow();
    return;
  }
  FillMp3List(RebuildCardList());
  StatusBar->SetPanelText(1, Q(msg::FreeSpaceText(FreeClusterCount)));
  StatusBar->SetPanelText(2, QString());
}

// ---- To Wave: voice recordings to WAV files ----------------------------------------------

void TMainForm::WavBitBtnClick() {
  const ActionScope scope(*this);
  if (!scope.Entered()) return;
  DownBitBtn->setEnabled(false);
  UpBitBtn->setEnabled(false);
  WavBitBtn->setEnabled(false);
  // No probe: the state of the last command decides.
  if (DeviceState != 0 || SelectedCount(MP3ListBox) == 0) {
    WavBitBtn->setEnabled(true);
    return;
  }
  const CardLockScope lock(CardLock::kShared);
  if (!HeldForAction(lock) || !CardAsRead()) {
    WavBitBtn->setEnabled(true);
    return;
  }

  OpenProgressWindow(true);
  if (FetchSelectedFiles(true)) WavBitBtn->setEnabled(true);
}
