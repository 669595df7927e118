// The card list's menu: on a right click or the Menu key, what the engine
// does for a card beyond the five buttons (the voice recordings imported, a
// check and its repair, a backup and its restore, a folder synced), beside the list's own keys. Each entry
// opens an action as the buttons do, asks through the message hooks and
// says its outcome in the window's words.
#include <QDir>
#include <QShortcut>

#include "action.h"
#include "hooks.h"
#include "import.h"
#include "mainform.h"
#include "messages.h"
#include "sync.h"
#include "tform1.h"
#include "text.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

using Steps = TMainForm::ActionSteps;

}  // namespace

void TMainForm::AddCardMenu() {
  CardMenu = new QMenu(this);
  // The keys are the list's own shortcuts; the menu only shows them.
  RenameAction = CardMenu->addAction(QString(msg::kMenuRename) + "\tF2", this, &TMainForm::RenameSelectedFile);
  MoveUpAction = CardMenu->addAction(QString(msg::kMenuMoveUp) + "\tAlt+Up", this, [this] { MoveSelectedFile(-1); });
  MoveDownAction =
      CardMenu->addAction(QString(msg::kMenuMoveDown) + "\tAlt+Down", this, [this] { MoveSelectedFile(1); });
  CardMenu->addSeparator();
  ImportAction = CardMenu->addAction(QString::fromUtf8(msg::kMenuImport), this, &TMainForm::ImportRecordingsClick);
  CardMenu->addSeparator();
  CheckAction = CardMenu->addAction(msg::kMenuCheck, this, &TMainForm::CheckCardClick);
  CardMenu->addSeparator();
  BackupAction = CardMenu->addAction(QString::fromUtf8(msg::kMenuBackup), this, &TMainForm::BackupCardClick);
  RestoreAction = CardMenu->addAction(QString::fromUtf8(msg::kMenuRestore), this, &TMainForm::RestoreCardClick);
  SyncAction = CardMenu->addAction(QString::fromUtf8(msg::kMenuSync), this, &TMainForm::SyncFolderClick);
  MP3ListBox->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(MP3ListBox, &QWidget::customContextMenuRequested, this, &TMainForm::ShowCardMenu);
  // The Menu key opens it at the current line.
  auto* key = new QShortcut(QKeySequence(Qt::Key_Menu), MP3ListBox);
  key->setContext(Qt::WidgetShortcut);
  connect(key, &QShortcut::activated, this, [this] {
    const QListWidgetItem* current = MP3ListBox->currentItem();
    ShowCardMenu(current ? MP3ListBox->visualItemRect(current).center() : QPoint(0, 0));
  });
}

void TMainForm::ShowCardMenu(const QPoint& at) {
  if (acting_) return;
  // One file at a time for a rename; a music file for the play order.
  const int row = SelectedCardRow();
  const std::int32_t r = row >= 0 ? session_.Find(CardLine(row)) : 0;
  const bool music = r > 0 && !IsVoiceFileId(session_.Record(r).FileId);
  RenameAction->setEnabled(r > 0);
  MoveUpAction->setEnabled(music);
  MoveDownAction->setEnabled(music);
  CardMenu->popup(MP3ListBox->viewport()->mapToGlobal(at));
}

CardOpResult TMainForm::WithProgress(const QString& shown, const char* verb,
                                     const std::function<CardOpResult(const ProgressFn&)>& work) {
  Tform1* progress = OpenProgressWindow(true, MP3ListBox);
  progress->ShowPosition(1, 1);
  progress->showstring(shown, verb);
  const CardOpResult result = work(ProgressTo(shown, verb));
  SetBusyCursor(false);
  CloseProgressWindow();
  setEnabled(true);
  return result;
}

// ---- the check and its repair ------------------------------------------------------------

void TMainForm::CheckCardClick() {
  Steps steps;
  steps.hold = CardLock::kExclusive;  // the repair, if asked for, writes
  steps.asRead = Steps::AsRead::kNotNeeded;  // the card is examined as it is
  const Action action(*this, steps);
  if (!action.Open()) return;
  std::uint32_t sectors = 0;
  const auto readAsItIs = [&] {
    return session_.Mount(MountMode::kSizedByCard) == kMountOk && session_.ReadForCheck(&sectors);
  };
  if (!readAsItIs()) {
    if (session_.DeviceLost()) {
      EndOnFailedWrite();
      return;
    }
    ShowMessage(msg::kCheckUnreadable);
    Reload();
    return;
  }
  const VolumeCheck check = session_.Examine(sectors);
  const std::string report = msg::CheckReport(check.problems, check.files.size());
  if (check.problems.empty()) {
    ShowMessage(report);
  } else if (AskYesNo(msg::kCheckCaption, report, true) == Answer::Yes) {
    const std::vector<std::string> done = session_.Repair(sectors);
    if (session_.State() != kDeviceReady) {
      ShowMessage(msg::kRepairFailed);
      if (session_.DeviceLost()) {
        CloseMainWindow();
        return;
      }
    } else {
      const std::vector<std::string> left =
          readAsItIs() ? session_.Examine(sectors).problems : std::vector<std::string>{};
      ShowMessage(msg::RepairReport(done, left));
    }
  }
  // The window's list, read again as the window reads a card.
  Reload();
}

// ---- backup and restore ---------------------------------------------------------------------

void TMainForm::BackupCardClick() {
  std::string path = QDir::home().filePath("card.img").toStdString();
  Steps steps;
  // Chosen before the card is held: a dialog left open keeps nobody off it.
  steps.first = [&path] { return AskPath(PathKind::kSaveFile, msg::kBackupCaption, &path); };
  steps.hold = CardLock::kShared;
  steps.gone = Steps::Gone::kEndsOnCardOrLinkLost;
  const Action action(*this, steps);
  if (!action.Open()) return;
  std::uint64_t read = 0;
  const CardOpResult result = WithProgress(Q(path), msg::kBackingUp,
                                           [&](const ProgressFn& p) { return BackupCard(path, p, &read); });
  ShowMessage(msg::BackupOutcome(result, path, read));
  if (session_.CardOrLinkLost()) CloseMainWindow();
}

void TMainForm::RestoreCardClick() {
  std::string path = QDir::homePath().toStdString();
  Steps steps;
  steps.first = [&path] { return AskPath(PathKind::kOpenFile, msg::kRestoreCaption, &path); };
  steps.hold = CardLock::kExclusive;
  steps.gone = Steps::Gone::kEndsOnCardOrLinkLost;
  steps.asRead = Steps::AsRead::kNotNeeded;  // the card goes whatever it holds
  const Action action(*this, steps);
  if (!action.Open()) return;
  // What the card will hold is said in the question.
  ImageFit fit;
  if (const CardOpResult fits = FitCardImage(path, &fit); fits != kOpOk) {
    ShowMessage(msg::RestoreOutcome(fits, path, &fit));
    return;
  }
  if (AskYesNo(msg::kRestoreCaption, msg::RestoreQuestion(path, fit), true) != Answer::Yes) return;
  const CardOpResult result =
      WithProgress(Q(path), msg::kRestoring, [&](const ProgressFn& p) { return RestoreCard(path, p); });
  ShowMessage(msg::RestoreOutcome(result, path, nullptr));
  if (session_.CardOrLinkLost()) {
    CloseMainWindow();
    return;
  }
  Reload();
}

// ---- a folder synced ---------------------------------------------------------------------------

void TMainForm::SyncFolderClick() {
  std::string dir = SDirectoryListBox->Directory().toStdString();
  Steps steps;
  steps.first = [&dir] { return AskPath(PathKind::kFolder, msg::kSyncCaption, &dir); };
  steps.hold = CardLock::kExclusive;
  const Action action(*this, steps);
  if (!action.Open()) return;
  // The window adds and replaces; the card's files the folder lacks stay.
  SyncPlan plan;
  if (!PlanSync(dir, false, false, &plan)) {
    ShowMessage(msg::FolderUnreadable(dir));
    return;
  }
  bool ask = false;
  const std::string text = msg::SyncPlanText(plan, dir, &ask);
  if (!ask) {
    ShowMessage(text);
    return;
  }
  if (AskYesNo(msg::kSyncCaption, text) != Answer::Yes) return;
  const std::vector<SendItem> items = plan.SendItems();
  QStringList shown;
  for (const SendItem& item : items) shown << Q(item.pcName);
  SendItems(items, shown);
  if (closing_) return;
  session_.Relist();
  if (session_.Order(SyncedMusicOrder(plan)) == kOpDeviceFailed) {
    EndOnFailedWrite();
    return;
  }
  RefreshCardView();
}

// ---- the voice recordings brought home ------------------------------------------------------

namespace {

const char* FormatName(VoiceOutput::Format format) {
  switch (format) {
    case VoiceOutput::Format::kFlac: return "flac";
    case VoiceOutput::Format::kOgg: return "ogg";
    case VoiceOutput::Format::kWav: break;
  }
  return "wav";
}

VoiceOutput::Format FormatNamed(const std::string& name) {
  if (name == "flac") return VoiceOutput::Format::kFlac;
  if (name == "ogg") return VoiceOutput::Format::kOgg;
  return VoiceOutput::Format::kWav;
}

// The settings the command line reads, as the dialog's starting choices
// (the defaults, after saying so, when the file cannot be read); the folder
// defaults to ~/Memos.
ImportOptions ImportSettings() {
  ImportOptions options;
  const std::string path = ImportSettingsPath();
  ImportSettingsProblem problem;
  if (!ReadImportSettings(path, &options, &problem)) {
    ShowMessage(msg::ImportSettingsUnread(path, problem.line));
    options = {};
  }
  if (options.folder.empty()) options.folder = QDir::home().filePath("Memos").toStdString();
  return options;
}

// The dialog's choices over the settings, which then keep them.
bool ChooseImport(ImportOptions* options) {
  ImportChoices choices{options->folder, FormatName(options->format), options->free};
  if (!AskImport(msg::kImportCaption, &choices)) return false;
  options->folder = choices.folder;
  options->format = FormatNamed(choices.format);
  options->free = choices.free;
  if (const std::string path = ImportSettingsPath(); !WriteImportSettings(path, *options))
    ShowMessage(msg::ImportSettingsUnwritten(path));
  return true;
}

}  // namespace

void TMainForm::ImportRecordingsClick() {
  ImportOptions options;
  Steps steps;
  // Chosen before the card is held: a dialog left open keeps nobody off it.
  steps.first = [&options, &steps] {
    options = ImportSettings();
    if (!ChooseImport(&options)) return false;
    // Only freeing changes the card.
    steps.hold = options.free ? CardLock::kExclusive : CardLock::kShared;
    return true;
  };
  steps.gone = Steps::Gone::kEndsOnCardOrLinkLost;
  // The recordings are taken from the card as it is now, read again if
  // another program changed it.
  steps.asRead = Steps::AsRead::kUnlessGone;
  const Action action(*this, steps);
  if (!action.Open()) return;

  const std::vector<ImportCandidate> found = ListVoiceRecordings();
  OpenProgressWindow(true, MP3ListBox);
  ImportView view;
  view.starting = [](std::size_t, int position, int total) {
    if (form1) form1->ShowPosition(position, total);
  };
  view.transferring = [&](std::size_t i) {
    const QString shown = Q(PcNameFromCard(found[i].cardName));
    if (form1) form1->showstring(shown, msg::kImporting);
    return ProgressTo(shown, msg::kImporting);
  };
  const ImportReport report = RunImport(options, view);
  SetBusyCursor(false);
  CloseProgressWindow();
  setEnabled(true);
  ShowMessage(msg::ImportResultText(report, options.folder));
  if (session_.CardOrLinkLost()) {
    CloseMainWindow();
    return;
  }
  // The freed recordings leave the list, the others renumbered.
  if (report.freeing == ImportFreeing::kFreed || report.tablesTouched) Reload();
}
