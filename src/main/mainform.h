// TMainForm: the main window. The PC side on the left, the card side on the
// right, the action buttons between and above them, a status bar below.
//
// The card work is the engine's (src/cardops); this window shows its result,
// asks the questions and reacts to the device's condition, which the device
// link reports with a synchronous DeviceStateMessage event.
//
// Layer: the desktop program's front end (Qt Widgets): the start-up, the
// card list and its menu, the PC-side browser, the settings, the button
// actions. It drives the card through a CardSession and the card operations
// (src/cardops), words the engine's notices with its window texts, and shows
// progress in Tform1 (src/status). Nothing below calls it but through the
// hooks it installs (src/Util/hooks.h).
#pragma once

#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "browser.h"
#include "pcside.h"
#include "session.h"

class Tform1;

// The bottom strip of three sunken text panels.
class TStatusBar : public QFrame {
 public:
  explicit TStatusBar(QWidget* parent, std::initializer_list<int> widths);
  QString PanelText(int panel) const;
  void SetPanelText(int panel, const QString& text);

 private:
  std::vector<QLabel*> panels_;
};

class TMainForm : public QWidget {
  Q_OBJECT
 public:
  // Lays out the window and runs FormCreate.
  explicit TMainForm(QWidget* parent = nullptr);
  // Writes the settings file before anything is freed.
  ~TMainForm() override;
  // The window that hears of the device's condition: the main window
  // created last and not yet destroyed; null when there is none.
  static TMainForm* StateWindow();

  // ---- components ----
  QComboBox* FilterComboBox1;
  TDriveComboBox* SDriveComboBox;
  TDirectoryListBox* SDirectoryListBox;
  TFileListBox* SFileListBox;
  QListWidget* MP3ListBox;
  QPushButton* DownBitBtn;
  QPushButton* UpBitBtn;
  QPushButton* DelBitBtn;
  QPushButton* FMBitBtn;
  QFrame* Panel2;
  QLabel* Label3;
  QFrame* Panel3;
  QLabel* Label4;
  QPushButton* WavBitBtn;
  TStatusBar* StatusBar;

  // ---- the PC side: its memory and the handlers of its lists ----
  TPcBrowser* PcSide = nullptr;

  // ---- the card side ----
  void FormCreate();
  // Refills the card list from the volume image and rewrites panels 1 and 2.
  void RefreshCardView();
  // The reaction to the device's condition after a probe.
  void DeviceStateMessage(DeviceStateCode state);
  void MP3ListBoxClick();

  // ---- the five actions ----
  void FMBitBtnClick();
  void DownBitBtnClick();
  void UpBitBtnClick();
  void DelBitBtnClick();
  void WavBitBtnClick();
  // The window's keys and drops, beside the buttons. F5: both sides read
  // again, the PC folder and the card. A drop of PC files on the card list:
  // they are sent as Download sends the PC selection.
  void RereadBothSides();
  void DropOnCardList(const QStringList& paths);
  // The card list's keys for looking after a card. F2: the selected file
  // gets the name the user types (same kind, checked whole before anything
  // is written). Alt+Up, Alt+Down: the selected music file moves one place
  // up (step -1) or down (+1) in the list, and so in the play order. One
  // file at a time; a voice file or a file at the end stays.
  void RenameSelectedFile();
  void MoveSelectedFile(int step);
  // Holds the card for a change of the one selected card file, probes the
  // player and checks the card is as read, then calls `change` with the
  // file's row and record.
  void ChangeSelectedFile(const std::function<void(int row, std::int32_t r)>& change);
  void RenameCardRecord(int row, std::int32_t r);
  void MoveCardRecord(int row, std::int32_t r, int step);
  // True once the window was closed, on the device's condition or by the
  // user; the program ends once the action under way, if any, has ended.
  bool Closing() const { return closing_; }
  // One action at a time: BeginAction is false while another runs.
  // EndAction runs a re-check of the card that the player asked for meanwhile.
  bool BeginAction();
  void EndAction();
  // The opening steps of an action, in this order: `first` (false ends the
  // action there), the card held in `hold`, the player probed, Download and
  // Upload disabled, the action ended on a lost device (`gone`), `chosen`
  // (the selection still stands), and the card checked to be as read.
  // `refused` runs when a step after `first` ends the action.
  struct ActionSteps {
    enum class Gone { kGoesOn, kEndsOnGone, kEndsOnCardOrLinkLost };
    enum class AsRead { kNotNeeded, kMust, kUnlessGone };
    std::function<bool()> first;
    CardLock hold = CardLock::kNone;
    bool probe = true;
    bool disableTransfers = false;
    Gone gone = Gone::kEndsOnGone;
    std::function<bool()> chosen;
    AsRead asRead = AsRead::kMust;
    std::function<void()> refused;
  };
  // Opens an action (BeginAction, then the steps); false when it must not
  // go on. `hold` receives the card's lock. CloseAction ends what
  // OpenAction began, whatever it returned: the card let go, then EndAction.
  bool OpenAction(const ActionSteps& steps, std::optional<CardSession::Hold>* hold, bool* begun);
  void CloseAction(std::optional<CardSession::Hold>* hold, bool begun);
  // The card name behind line `row` of MP3ListBox.
  std::string CardLine(int row) const;

  // ---- the card list's menu (right click, the Menu key) ----
  // What the engine does beyond the five buttons, offered where the card's
  // files are. Each entry asks, shows progress and says its outcome as the
  // actions do.
  QMenu* CardMenu = nullptr;
  QAction* RenameAction = nullptr;
  QAction* MoveUpAction = nullptr;
  QAction* MoveDownAction = nullptr;
  QAction* CheckAction = nullptr;
  QAction* BackupAction = nullptr;
  QAction* RestoreAction = nullptr;
  QAction* SyncAction = nullptr;
  QAction* ImportAction = nullptr;
  // The card examined as it is, the report shown, and the repair offered
  // when there is something to mend.
  void CheckCardClick();
  // The whole card into an image file the user names.
  void BackupCardClick();
  // An image file the user picks written onto the card, after a question.
  void RestoreCardClick();
  // A folder's music and voice files onto the card: the plan, then Yes/No.
  void SyncFolderClick();
  // The card's new voice recordings brought home into a folder, chosen with
  // the format and "Free after import" in one dialog and kept in the import
  // settings; the summary line at the end.
  void ImportRecordingsClick();

  // A click on the window's bare face.
  void FormClick();

 protected:
  bool event(QEvent* event) override;
  // The close box or Ctrl+Q during a transfer asks to stop it, as the
  // progress window's close box does; the window goes only on a Yes.
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void LayOut();
  void Connect();
  void FillMp3List(const std::vector<std::string>& lines);
  void ShowCardCounts(bool spaced);
  void Reload();
  void CloseMainWindow();
  // The card list's menu and its entries.
  void AddCardMenu();
  void ShowCardMenu(const QPoint& at);
  // The send pass over `files`, shown under `shown` (one name a file), as
  // Download shows it.
  void SendItems(const std::vector<SendItem>& files, const QStringList& shown);
  // The image or backup pass's progress window: `work` runs with the
  // progress callback; the main window is disabled meanwhile.
  CardOpResult WithProgress(const QString& shown, const char* verb,
                            const std::function<CardOpResult(const ProgressFn&)>& work);
  // The keys of the window: Delete, F2, Alt+Up and Alt+Down on the card
  // list, F5, Ctrl+Q.
  void AddKeys();
  // The row of the one selected card line; -1 when none or several are.
  int SelectedCardRow() const;
  // Makes the line of the file of FileId `fileId` the current and only
  // selected line of the list just filled: the selection follows the file.
  void SelectCardFile(std::uint8_t fileId);
  // A write to the card failed: the user hears why and the session ends,
  // as after a deletion whose tables could not be written.
  void EndOnFailedWrite();

  // The actions' shared steps.
  // Opens the progress window as the active window, so that Escape reaches
  // it. When it has gone and the action ends, the keyboard focus goes back
  // to the widget that had it when the action began, or to `fallback` when
  // that one is disabled by then (the transfer's own button).
  Tform1* OpenProgressWindow(bool disableMainWindow, QWidget* fallback);
  void CloseProgressWindow();
  // The user's question whether the transfer under way should stop; none
  // when the window is closing anyway, which stops the transfer at once.
  void AskToStop();
  ProgressFn ProgressTo(const QString& shownName, const char* verb);
  void FinishDownload(const PassSummary& summary);
  // Download's pass, for Download and for a drop: the PC files that `pick`
  // gives once the card is known to be the one the window read.
  void SendPcFiles(const std::function<QStringList()>& pick);
  // The end of a fetch pass, as the pass ended. False when the main window
  // was closed.
  bool FinishUpload(const PassSummary& summary);
  void ProbeForAction();
  // False, after saying so, when another program holds the card.
  bool HeldForAction(const CardSession::Hold& lock);
  // True when the card's tables are still those the window read. Otherwise
  // the card is read again and its list shown anew (with a message when
  // another program changed it), or a failed read is reported; false then.
  bool CardAsRead();
  // The pass of Upload (and, with `toWave`, of To Wave) over the selected
  // card lines, to one of its ends. False when the main window was closed.
  bool FetchSelectedFiles(bool toWave);

  // The card as this window drives it.
  CardSession session_;
  bool closing_ = false;
  bool acting_ = false;          // one of the five actions runs
  bool recheckPending_ = false;  // a re-check waits for the action's end
  bool actionProbe_ = false;     // the running action's own probe
  // Where the keyboard focus goes back to after a transfer.
  QPointer<QWidget> focusBefore_;
  QPointer<QWidget> focusFallback_;
  bool giveFocusBack_ = false;   // a progress window was shown in this action
};

// The window message by which the main window hears of the device's
// condition (the operating system's first user message, 1024, plus 100).
inline constexpr int kDeviceStateMessage = 1024 + 100;

// The Qt event that carries the DeviceStateMessage; its parameter is the
// DeviceState.
class DeviceStateEvent : public QEvent {
 public:
  explicit DeviceStateEvent(DeviceStateCode state);
  DeviceStateCode State() const { return state_; }

 private:
  DeviceStateCode state_;
};
