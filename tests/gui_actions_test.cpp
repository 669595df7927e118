// The main window's five actions against the virtual player in this process:
// what the user sees, what lands on the card and on the PC, and what is
// left whole when the card, the cable or the player fails half-way.
#include <QPainter>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QTimer>
#include <cmath>
#include <sndfile.h>

#include "check.h"
#include "fs_raw.h"
#include "support/gui.h"
#include "mainform.h"
#include "messages.h"
#include "voc_writer.h"

namespace {

// Watches every progress window that opens: the percentages its bar takes,
// and the "k of n" line at each card command. `onPercent` may inject a fault
// at a chosen point of the data.
class ProgressSpy : public PercentSpy {
 public:
  explicit ProgressSpy(player::PlayerCore& core) : core_(core) {
    core_.SetObserver([this](std::uint64_t, const player::CommandInfo&) {
      if (form1 && !form1->StaticText3->text().isEmpty() &&
          (positions.isEmpty() || positions.back() != form1->StaticText3->text()))
        positions << form1->StaticText3->text();
    });
  }
  ~ProgressSpy() override { core_.SetObserver(nullptr); }
  QStringList positions;

 private:
  player::PlayerCore& core_;
};

enum class Fault { Eject, Unplug, Busy, Drop, Recheck };
enum class Transfer { Download, Upload, ToWave };

// Applies `fault` to the player; Heal undoes it.
void Apply(player::InProcessPlayer& p, Fault fault) {
  switch (fault) {
    case Fault::Eject: p.core().Eject(); break;
    case Fault::Unplug: p.Unplug(); break;
    case Fault::Busy: p.core().SetBusy(true); break;
    case Fault::Drop: p.core().FailAfter(1); break;
    case Fault::Recheck: p.core().RequestRecheck(); break;
  }
}
void Heal(player::InProcessPlayer& p) {
  p.core().Insert();
  p.Plug();
  p.core().SetBusy(false);
  p.core().FailAfter(0);
}

void Select(QListWidget* list, const QStringList& names) {
  for (const QString& n : names) {
    const auto found = list->findItems(n, Qt::MatchExactly);
    QVERIFY2(!found.isEmpty(), qPrintable(n));
    found.front()->setSelected(true);
  }
}

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// The FileId byte of the card file `name` as the card holds it now.
int FileIdOnCard(const std::string& name) {
  MountVolume();
  RebuildCardList();
  const std::int32_t r = FindCardFile(name);
  return r > 0 ? CardFileTable[r].FileId : -1;
}

// A transfer's file of `clusters` clusters: on the PC in folder pc for a
// download, on the card otherwise (a recording for To Wave).
void PutFileToMove(GuiCard& env, Transfer transfer, int clusters) {
  QVERIFY(QDir().mkpath(env.dir.filePath("pc")));
  if (transfer == Transfer::Download)
    env.WritePcFile("pc/1.mp3", clusters * 65536);
  else
    QVERIFY(env.Store(transfer == Transfer::ToWave ? "1.voc" : "1.mp3", clusters * 65536));
}

// Selects what the transfer moves, folder pc shown; returns its button.
QPushButton* ReadyToMove(TMainForm& form, GuiCard& env, Transfer transfer) {
  form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc"));
  (transfer == Transfer::Download ? form.SFileListBox : form.MP3ListBox)->selectAll();
  return transfer == Transfer::Download ? form.DownBitBtn
         : transfer == Transfer::Upload ? form.UpBitBtn
                                        : form.WavBitBtn;
}

}  // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Transfer)

class ActionsTest : public QObject {
  Q_OBJECT
 private slots:
  void formatAsksAndSaysHowItWent();
  void downloadStoresTheSelection();
  void downloadSkipsWhatItCannotStore();
  void downloadStopsWhenTheCardFails_data();
  void downloadStopsWhenTheCardFails();
  void uploadFetchesTheSelection();
  void uploadStopsWhenTheCardFails_data();
  void uploadStopsWhenTheCardFails();
  void aFailedTransferEndsTheProgramOrKeepsItsWindow_data();
  void aFailedTransferEndsTheProgramOrKeepsItsWindow();
  void uploadIntoAFolderThatIsGone();
  void deleteReleasesAndClosesUpTheNumbers();
  void toWaveConvertsVoiceRecordingsOnly();
  void toWaveSaysWhenARecordingWasResampled();
  void aCardChangedElsewhereIsReadAgainBeforeAnAction();
  void aCardHeldByAnotherProgramIsLeftAlone();
  void aDamagedCardIsOfferedARepairOnce();
  void aTransferStopsWhenTheUserAsks();
  void aClickOnTheLineLeftSelectedEnablesItsButton_data();
  void aClickOnTheLineLeftSelectedEnablesItsButton();
  void escapeOnEitherWindowAsksToStop_data();
  void escapeOnEitherWindowAsksToStop();
  void screenshotOfATransfer();
};

void ActionsTest::formatAsksAndSaysHowItWent() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("old.mp3", 70000));
  const QMap<QString, QByteArray> before{{"old.mp3", GuiCard::Content("old.mp3", 70000)}};
  TMainForm form;

  env.answers = {Answer::No};
  form.FMBitBtn->click();
  QCOMPARE(env.questions, QStringList{msg::kConfirmFormat});
  QVERIFY(env.messages.isEmpty());
  QCOMPARE(env.CardDiffers(before), QString());

  // A card the player does not identify as one it may format keeps its files.
  env.player->core().SetIdentifyBytes(0x84, 0x8B);
  env.answers = {Answer::Yes};
  form.FMBitBtn->click();
  QCOMPARE(env.messages, QStringList{QString(msg::FormatOutcome(kFormatNotIdentified))});
  QCOMPARE(Lines(form.MP3ListBox), QStringList{"old.mp3"});
  QVERIFY(form.isVisible());
  QCOMPARE(env.CardDiffers(before), QString());

  env.player->core().SetIdentifyBytes(0x84, 0x8A);
  env.messages.clear();
  env.waits.clear();
  env.answers = {Answer::Yes};
  // Every write of the format is made under the hourglass, which the window
  // had its turn to show first; the completion message is read over an
  // empty list and the normal cursor.
  auto hourglass = [] { return QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor; };
  bool windowsTurn = false;
  QStringList seen;
  QTimer::singleShot(0, &form, [&] { windowsTurn = true; });
  env.player->core().SetObserver([&](std::uint64_t, const player::CommandInfo& c) {
    if (c.code == kCmdWriteSectors && !(hourglass() && windowsTurn)) seen << "a write without the hourglass";
  });
  const FrontEndHooks installed = Hooks();
  FrontEndHooks hooks = installed;
  hooks.showMessage = [&, said = hooks.showMessage](const std::string& text) {
    seen << QString("%1 lines, hourglass %2").arg(form.MP3ListBox->count()).arg(hourglass());
    said(text);
  };
  InstallHooks(hooks);
  form.FMBitBtn->click();
  env.player->core().SetObserver(nullptr);
  InstallHooks(installed);
  QCOMPARE(seen, QStringList{"0 lines, hourglass 0"});
  QVERIFY(!QApplication::overrideCursor());
  QCOMPARE(env.messages, QStringList{msg::kFormattingCompleted});
  QCOMPARE(env.waits, QStringList{"1001:"});
  QCOMPARE(env.busyDepth, 0);
  QCOMPARE(form.MP3ListBox->count(), 0);
  QCOMPARE(form.StatusBar->PanelText(1), QString::fromStdString(msg::FreeSpaceText(CountFreeClusters())));
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 0"));
  QCOMPARE(env.CardDiffers({}), QString());

  // Without a card nothing is asked and nothing written.
  env.messages.clear();
  env.questions.clear();
  env.player->core().Eject();
  form.FMBitBtn->click();
  QCOMPARE(env.messages, QStringList{msg::kStateNoCard});
  QVERIFY(env.questions.isEmpty());
  QVERIFY(!form.isVisible());
}

void ActionsTest::downloadStoresTheSelection() {
  GuiCard env;
  env.StartFormattedCard();
  const QMap<QString, qint64> sizes{{"a.mp3", 0}, {"b.voc", 65537}, {"c.mp3", 8 * 65536}};
  QMap<QString, QByteArray> expected;
  for (auto it = sizes.begin(); it != sizes.end(); ++it) {
    env.WritePcFile("pc/" + it.key(), it.value());
    expected[it.key()] = GuiCard::Content(it.key(), it.value());
  }
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));

  // Nothing selected: the card view is read again and no window opens.
  form.DownBitBtn->setEnabled(true);
  ProgressSpy spy(env.player->core());
  form.DownBitBtnClick();
  QVERIFY(!form.DownBitBtn->isEnabled() && !form.UpBitBtn->isEnabled());
  QVERIFY(env.waits.isEmpty() && spy.positions.isEmpty());

  form.SFileListBox->selectAll();
  QVERIFY(form.DownBitBtn->isEnabled());
  // The window stays open to the user while the files go: other actions
  // wait for the download's end, and another folder does not change what
  // is sent.
  spy.onPercent = [&](int p) {
    if (p != 50) return;
    env.answers = {Answer::Yes, Answer::Yes};
    form.MP3ListBox->item(0)->setSelected(true);  // a.mp3 is on the card by now
    form.FMBitBtnClick();
    form.DelBitBtnClick();
    form.UpBitBtnClick();
    form.WavBitBtnClick();
    form.SDirectoryListBox->SetDirectory(env.dir.path());
    form.MP3ListBox->clearSelection();
  };
  form.DownBitBtn->click();
  QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));
  QCOMPARE(env.questions, QStringList());
  QCOMPARE(env.busyDepth, 0);
  QCOMPARE(spy.positions, (QStringList{"1 of 3", "2 of 3", "3 of 3"}));
  // The empty file moves no bar; 2 clusters, then 8.
  QCOMPARE(spy.percents, (QList<int>{50, 100, 12, 25, 38, 50, 62, 75, 88, 100}));
  QCOMPARE(env.waits, QStringList{"2001:3 files downloaded"});
  QVERIFY(form1 == nullptr);
  QVERIFY(form.isEnabled() && !form.DownBitBtn->isEnabled() && !form.UpBitBtn->isEnabled());
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "c.mp3", "b.voc"}));
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 3"));
  QCOMPARE(env.CardDiffers(expected), QString());
}

// Escape on the progress window asks; No goes on. The close box asks again;
// Yes stops after the current cluster: the file in flight is not kept, the
// one before it is, and the summary counts only that one.
void ActionsTest::aTransferStopsWhenTheUserAsks() {
  GuiCard env;
  env.StartFormattedCard();
  env.WritePcFile("pc/a.mp3", 65536);
  env.WritePcFile("pc/b.mp3", 8 * 65536);
  const int freeBefore = CountFreeClusters();
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  form.SFileListBox->selectAll();

  ProgressSpy spy(env.player->core());
  spy.onPercent = [&](int p) {
    if (!form1) return;
    if (p == 25) {  // b.mp3, 2 of its 8 clusters
      env.answers = {Answer::No};
      QTest::keyClick(form1, Qt::Key_Escape);
    } else if (p == 50) {
      env.answers = {Answer::Yes};
      form1->close();
      QVERIFY(form1->isVisible());  // the window stays until the transfer ends
    }
  };
  form.DownBitBtn->click();
  QCOMPARE(env.questions, (QStringList{msg::kStopQuestion, msg::kStopQuestion}));
  QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));
  QCOMPARE(spy.percents, (QList<int>{100, 12, 25, 38, 50}));
  QCOMPARE(env.waits, QStringList{"2001:1 file downloaded"});
  QVERIFY(form1 == nullptr);
  QCOMPARE(Lines(form.MP3ListBox), QStringList{"a.mp3"});
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 65536)}}), QString());
  QCOMPARE(CountFreeClusters(), freeBefore - 1);

  // The next action is not stopped by the earlier request.
  form.SFileListBox->clearSelection();
  form.SFileListBox->findItems("b.mp3", Qt::MatchExactly).first()->setSelected(true);
  env.waits.clear();
  spy.onPercent = nullptr;
  form.DownBitBtn->click();
  QCOMPARE(env.waits, QStringList{"2001:1 file downloaded"});
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "b.mp3"}));
}

void ActionsTest::aClickOnTheLineLeftSelectedEnablesItsButton_data() {
  QTest::addColumn<bool>("download");
  QTest::addColumn<bool>("stop");
  QTest::newRow("after a Download") << true << false;
  QTest::newRow("after a stopped Download") << true << true;
  QTest::newRow("after an Upload") << false << false;
}

void ActionsTest::aClickOnTheLineLeftSelectedEnablesItsButton() {
  QFETCH(bool, download);
  QFETCH(bool, stop);
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("card.mp3", 2 * 65536));
  env.WritePcFile("pc/pc.mp3", 2 * 65536);
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  QListWidget* from = download ? form.SFileListBox : form.MP3ListBox;
  QListWidget* other = download ? form.MP3ListBox : form.SFileListBox;
  QPushButton* button = download ? form.DownBitBtn : form.UpBitBtn;
  QPushButton* opposite = download ? form.UpBitBtn : form.DownBitBtn;
  const int panel = download ? 0 : 2;
  auto click = [](QListWidget* list) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
  };
  click(from);
  QVERIFY(button->isEnabled());
  const QString counted = form.StatusBar->PanelText(panel);
  ProgressSpy spy(env.player->core());
  spy.onPercent = [&](int p) {
    if (!stop || p != 50 || !form1) return;
    env.answers = {Answer::Yes};
    QTest::keyClick(form1, Qt::Key_Escape);
  };
  button->click();
  QCOMPARE(env.waits.size(), 1);
  QVERIFY(from->item(0)->isSelected());
  QCOMPARE(form.StatusBar->PanelText(panel), counted);
  // The transfer leaves both buttons off; a click on the line still
  // selected turns its button on, as a click does whether or not it changes
  // the selection.
  QVERIFY(!button->isEnabled() && !opposite->isEnabled());
  click(from);
  QVERIFY(button->isEnabled() && !opposite->isEnabled());
  QCOMPARE(from->selectedItems().size(), 1);
  click(other);
  QVERIFY(!button->isEnabled());
  click(from);
  QVERIFY(button->isEnabled() && !opposite->isEnabled());
  QCOMPARE(from->selectedItems().size(), 1);
}

// The keys as the window system sends them, to a window's focus. The
// progress window is the active one, so Escape reaches it; Escape on the
// main window asks too, disabled or not, and so does its close box. After
// the transfer the focus is back where it was: on the list the button sent
// from, as the button itself is disabled by then (To Wave's is not).
void ActionsTest::escapeOnEitherWindowAsksToStop_data() {
  QTest::addColumn<Transfer>("transfer");
  QTest::newRow("download") << Transfer::Download;
  QTest::newRow("upload") << Transfer::Upload;
  QTest::newRow("to wave") << Transfer::ToWave;
}

void ActionsTest::escapeOnEitherWindowAsksToStop() {
  QFETCH(Transfer, transfer);
  GuiCard env;
  env.StartFormattedCard();
  PutFileToMove(env, transfer, 8);
  TMainForm form;
  QVERIFY(QTest::qWaitForWindowActive(&form));
  QPushButton* button = ReadyToMove(form, env, transfer);
  QWidget* list = transfer == Transfer::Download ? form.SFileListBox : form.MP3ListBox;
  bool progressActive = false;
  PercentSpy spy;
  spy.onPercent = [&](int p) {
    if (!form1) return;
    env.answers = {p == 50 ? Answer::Yes : Answer::No};
    if (p == 12) {
      progressActive = QApplication::activeWindow() == form1 && QApplication::focusWidget() == form1;
      QTest::keyClick(form1->windowHandle(), Qt::Key_Escape);
    } else if (p == 38) {
      form.close();
    } else if (p == 25 || p == 50) {
      QTest::keyClick(form.windowHandle(), Qt::Key_Escape);
    }
  };
  QTest::mouseClick(button, Qt::LeftButton);
  QVERIFY(progressActive);
  QCOMPARE(env.questions, QStringList(4, msg::kStopQuestion));
  QCOMPARE(spy.percents, (QList<int>{12, 25, 38, 50}));
  QVERIFY(form1 == nullptr && form.isVisible());
  QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeWindow() == &form, 1000);
  QCOMPARE(QApplication::focusWidget(), transfer == Transfer::ToWave ? static_cast<QWidget*>(button) : list);
}

void ActionsTest::downloadSkipsWhatItCannotStore() {
  GuiCard env;
  env.StartFormattedCard();
  // b\u0416.mp3: a letter outside the card's code page.
  for (const char* name : {"a.mp3", "b\xD0\x96.mp3", "c.mp3", "gone.mp3"})
    env.WritePcFile(QString("pc/") + QString::fromUtf8(name), 1000);
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  form.SFileListBox->selectAll();
  QFile::remove(env.dir.filePath("pc/gone.mp3"));  // after it was selected
  ProgressSpy spy(env.player->core());
  form.DownBitBtnClick();
  // A skipped file does not advance the count: c.mp3 is sent as "2 of 4"
  // like the file before it.
  QCOMPARE(env.messages, (QStringList{QString::fromStdString(CardOpText(kOpNameNotStorable, "b\xD0\x96.mp3")),
                                      msg::kSelectedUnknown}));
  QCOMPARE(spy.positions, (QStringList{"1 of 4", "2 of 4"}));
  QCOMPARE(env.waits, QStringList{"2001:2 files downloaded"});
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 1000)}, {"c.mp3", GuiCard::Content("c.mp3", 1000)}}),
           QString());

  // A file that shrinks while it is sent is said and not stored; the run
  // goes on.
  env.messages.clear();
  env.waits.clear();
  env.WritePcFile("shrink/d.mp3", 3 * 65536);
  env.WritePcFile("shrink/e.mp3", 10);
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("shrink")));
  form.SFileListBox->selectAll();
  spy.onPercent = [&](int p) {
    if (p == 33) QFile::resize(env.dir.filePath("shrink/d.mp3"), 65536 + 10);
  };
  form.DownBitBtnClick();
  spy.onPercent = nullptr;
  QCOMPARE(env.messages, QStringList{QString::fromStdString(CardOpText(kOpPcReadFailed, "d.mp3"))});
  QCOMPARE(env.waits, QStringList{"2001:1 file downloaded"});
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 1000)},
                            {"c.mp3", GuiCard::Content("c.mp3", 1000)},
                            {"e.mp3", GuiCard::Content("e.mp3", 10)}}),
           QString());

  // A file larger than the free space stops the run: the next is not sent.
  env.messages.clear();
  env.waits.clear();
  env.WritePcFile("big/huge.mp3", 64 * 65536);
  env.WritePcFile("big/small.mp3", 10);
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("big")));
  form.SFileListBox->selectAll();
  form.DownBitBtnClick();
  QCOMPARE(env.messages, QStringList{msg::kNoSpace});
  QCOMPARE(env.waits, QStringList{"2001:0 file downloaded"});
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 1000)},
                            {"c.mp3", GuiCard::Content("c.mp3", 1000)},
                            {"e.mp3", GuiCard::Content("e.mp3", 10)}}),
           QString());
}

void ActionsTest::downloadStopsWhenTheCardFails_data() {
  QTest::addColumn<Fault>("fault");
  QTest::addColumn<int>("when");  // after this many steps of the bar: 1.mp3 takes 2, 2.mp3 3
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<QStringList>("waits");
  QTest::addColumn<bool>("windowStays");
  const QStringList ended{"2001:1files downloaded", "2001:1 file downloaded"};
  QTest::newRow("card pulled") << Fault::Eject << 3 << QStringList{msg::kCardRemoved} << ended << false;
  QTest::newRow("cable pulled") << Fault::Unplug << 3 << QStringList{msg::kLostConnection} << ended << false;
  QTest::newRow("player busy") << Fault::Busy << 3 << QStringList{kBusyMessage, msg::kNotReady}
                               << QStringList{"2001:1 file downloaded"} << true;
  QTest::newRow("command dropped") << Fault::Drop << 3 << QStringList{msg::kNotReady}
                                   << QStringList{"2001:1 file downloaded"} << true;
  // All data sent, then the card goes as the tables are written: the file
  // is said to be lost and not counted.
  // A click on the card list meets the player asking for a re-check: the
  // download stops, and the card is read again once it has ended.
  QTest::newRow("re-check asked for") << Fault::Recheck << 3 << QStringList{msg::kNotReady}
                                      << QStringList{"2001:1 file downloaded"} << true;
  QTest::newRow("player busy as the tables are written")
      << Fault::Busy << 5
      << QStringList{kBusyMessage, QString::fromStdString(CardOpText(kOpFlushFailed, "2.mp3")), msg::kNotReady}
      << QStringList{"2001:1 file downloaded"} << true;
  QTest::newRow("card pulled before the tables")
      << Fault::Eject << 5
      << QStringList{QString::fromStdString(CardOpText(kOpFlushFailed, "2.mp3")), msg::kCardRemoved} << ended
      << false;
}

void ActionsTest::downloadStopsWhenTheCardFails() {
  QFETCH(Fault, fault);
  QFETCH(int, when);
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("kept.mp3", 5000));
  const int freeAtStart = CountFreeClusters();
  env.WritePcFile("pc/1.mp3", 2 * 65536);
  env.WritePcFile("pc/2.mp3", 3 * 65536);
  env.WritePcFile("pc/3.mp3", 100);
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  form.SFileListBox->selectAll();
  ProgressSpy spy(env.player->core());
  spy.onPercent = [&, steps = 0](int) mutable {
    if (++steps != when) return;
    Apply(*env.player, fault);
    if (fault == Fault::Recheck) form.MP3ListBox->item(0)->setSelected(true);
  };
  form.DownBitBtnClick();
  QTEST(env.messages, "messages");
  QTEST(env.waits, "waits");
  QTEST(form.isVisible(), "windowStays");
  QVERIFY(form1 == nullptr);
  QCOMPARE(env.busyDepth, 0);
  // The window lists what the card holds: the broken file is not there.
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"kept.mp3", "1.mp3"}));
  QCOMPARE(form.StatusBar->PanelText(1).endsWith(" KB"), fault == Fault::Recheck);

  Heal(*env.player);
  QCOMPARE(env.CardDiffers({{"kept.mp3", GuiCard::Content("kept.mp3", 5000)},
                            {"1.mp3", GuiCard::Content("1.mp3", 2 * 65536)}}),
           QString());
  // The clusters the broken file wrote to are still free.
  QCOMPARE(CountFreeClusters(), freeAtStart - 2);
}

void ActionsTest::uploadFetchesTheSelection() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("stale.mp3", 10));
  QVERIFY(env.Store("three.mp3", 3 * 65536));
  QVERIFY(env.Store("small.mp3", 100));
  QVERIFY(env.Store("empty.mp3", 0));
  env.WritePcFile("pc/small.mp3", 99999);  // replaced without a question
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  // A file that leaves the card behind the window's back.
  QCOMPARE(ReleaseCardFile("stale.mp3"), kOpOk);
  FlushVolume();
  RebuildCardList();  // the engine knows; the window's list does not
  {
    const QSignalBlocker quiet(form.MP3ListBox);  // a click would drop the line already
    form.MP3ListBox->selectAll();
  }
  ProgressSpy spy(env.player->core());
  form.UpBitBtn->setEnabled(true);
  form.UpBitBtn->click();

  QCOMPARE(env.messages, QStringList{msg::kFileNotExisted});
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"three.mp3", "small.mp3", "empty.mp3"}));
  QCOMPARE(spy.positions, (QStringList{"1 of 3", "2 of 3"}));
  QCOMPARE(spy.percents, (QList<int>{33, 67, 100, 0, 100, 0}));
  QCOMPARE(env.waits, QStringList{"2001:3 files uploaded"});
  QVERIFY(form1 == nullptr && form.isEnabled());
  QVERIFY(!form.DownBitBtn->isEnabled() && !form.UpBitBtn->isEnabled());
  QCOMPARE(CurrentFileName, std::string("empty.mp3"));
  // Exactly the card files' bytes, and the file list read again.
  for (const auto& [name, size] : {std::pair{"three.mp3", 3 * 65536}, {"small.mp3", 100}, {"empty.mp3", 0}})
    QCOMPARE(ReadAll(env.dir.filePath(QString("pc/") + name)), GuiCard::Content(name, size));
  QCOMPARE(Lines(form.SFileListBox), (QStringList{"empty.mp3", "small.mp3", "three.mp3"}));
  QCOMPARE(QDir(env.dir.filePath("pc")).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

void ActionsTest::uploadStopsWhenTheCardFails_data() {
  QTest::addColumn<Fault>("fault");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<bool>("windowStays");
  QTest::newRow("card pulled") << Fault::Eject << QStringList{msg::kCardRemoved} << false;
  QTest::newRow("cable pulled") << Fault::Unplug << QStringList{msg::kLostConnection} << false;
  QTest::newRow("player busy") << Fault::Busy << QStringList{kBusyMessage, msg::kNotReady} << true;
  QTest::newRow("command dropped") << Fault::Drop << QStringList{msg::kNotReady} << true;
}

void ActionsTest::uploadStopsWhenTheCardFails() {
  QFETCH(Fault, fault);
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("1.mp3", 2 * 65536));
  QVERIFY(env.Store("2.mp3", 3 * 65536));
  QVERIFY(env.Store("3.mp3", 100));
  env.WritePcFile("pc/2.mp3", 77);  // an older copy that a failed fetch must not cost
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  form.MP3ListBox->selectAll();
  env.messages.clear();
  ProgressSpy spy(env.player->core());
  spy.onPercent = [&](int p) {
    if (p == 33) Apply(*env.player, fault);
  };
  form.UpBitBtnClick();
  QTEST(env.messages, "messages");
  QCOMPARE(env.waits, QStringList{"3001:1files uploaded"});
  QTEST(form.isVisible(), "windowStays");
  QVERIFY(form1 == nullptr);
  QCOMPARE(env.busyDepth, 0);
  if (form.isVisible()) QVERIFY(form.isEnabled());

  QCOMPARE(ReadAll(env.dir.filePath("pc/1.mp3")), GuiCard::Content("1.mp3", 2 * 65536));
  QCOMPARE(ReadAll(env.dir.filePath("pc/2.mp3")), GuiCard::Content("2.mp3", 77));
  QVERIFY(!QFile::exists(env.dir.filePath("pc/3.mp3")));
  QCOMPARE(QDir(env.dir.filePath("pc")).entryList(QDir::Files | QDir::Hidden).size(), 2);
  Heal(*env.player);
  QCOMPARE(env.CardDiffers({{"1.mp3", GuiCard::Content("1.mp3", 2 * 65536)},
                            {"2.mp3", GuiCard::Content("2.mp3", 3 * 65536)},
                            {"3.mp3", GuiCard::Content("3.mp3", 100)}}),
           QString());
}

// The program as it runs, its message loop included. A transfer that the
// card, the cable or the player cuts says so and asks nothing (stopping is
// the user's question): a card or link gone ends the program, any other
// failure leaves the window open until the user closes it.
void ActionsTest::aFailedTransferEndsTheProgramOrKeepsItsWindow_data() {
  QTest::addColumn<Transfer>("transfer");
  QTest::addColumn<Fault>("fault");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<bool>("programEnds");
  for (const auto& [transfer, name] :
       {std::pair{Transfer::Download, "download"}, {Transfer::Upload, "upload"}, {Transfer::ToWave, "to wave"}}) {
    QTest::addRow("%s, card pulled", name) << transfer << Fault::Eject << QStringList{msg::kCardRemoved} << true;
    QTest::addRow("%s, cable pulled", name) << transfer << Fault::Unplug << QStringList{msg::kLostConnection} << true;
    QTest::addRow("%s, player busy", name) << transfer << Fault::Busy << QStringList{kBusyMessage, msg::kNotReady}
                                           << false;
    QTest::addRow("%s, command dropped", name) << transfer << Fault::Drop << QStringList{msg::kNotReady} << false;
  }
}

void ActionsTest::aFailedTransferEndsTheProgramOrKeepsItsWindow() {
  QFETCH(Transfer, transfer);
  QFETCH(Fault, fault);
  GuiCard env;
  env.StartFormattedCard();
  PutFileToMove(env, transfer, 3);
  PercentSpy spy;
  spy.onPercent = [&](int p) {
    if (p == 33) Apply(*env.player, fault);
  };
  bool windowStayed = false;
  QTimer::singleShot(0, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* form = qobject_cast<TMainForm*>(w);
      if (!form || !form->isVisible()) continue;
      ReadyToMove(*form, env, transfer)->click();
      windowStayed = form->isVisible();
      if (windowStayed) form->close();
    }
  });
  // A program that goes on after its window has gone fails here, not at the
  // suite's time-out.
  const QObject guard;
  QTimer::singleShot(5000, &guard, [] { QCoreApplication::exit(1); });
  QCOMPARE(RunMainProgram(), 0);
  QTEST(env.messages, "messages");
  QCOMPARE(env.questions, QStringList());
  QTEST(!windowStayed, "programEnds");
  QCOMPARE(spy.percents.value(0), 33);
}

void ActionsTest::uploadIntoAFolderThatIsGone() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("a.voc", 1000));
  QVERIFY(QDir().mkpath(env.dir.filePath("pc")));
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  QVERIFY(QDir(env.dir.filePath("pc")).removeRecursively());
  form.MP3ListBox->selectAll();
  env.messages.clear();
  form.UpBitBtnClick();
  QCOMPARE(env.messages, QStringList{msg::kInvalidHandle});
  QVERIFY(env.waits.isEmpty());
  QVERIFY(form1 == nullptr && form.isEnabled() && form.isVisible());

  // To Wave ends the same way, and gives its button back.
  form.MP3ListBox->selectAll();
  env.messages.clear();
  form.WavBitBtnClick();
  QCOMPARE(env.messages, QStringList{msg::kInvalidHandle});
  QVERIFY(form1 == nullptr && form.isEnabled() && form.WavBitBtn->isEnabled());
}

void ActionsTest::deleteReleasesAndClosesUpTheNumbers() {
  GuiCard env;
  env.StartFormattedCard();
  for (const char* name : {"m1.mp3", "m2.mp3", "m3.mp3", "m4.mp3", "v1.voc", "v2.voc"})
    QVERIFY(env.Store(name, 70000));
  TMainForm form;
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"m1.mp3", "m2.mp3", "m3.mp3", "m4.mp3", "v1.voc", "v2.voc"}));

  // No: nothing changes but the transfer buttons.
  Select(form.MP3ListBox, {"m1.mp3", "m2.mp3", "v2.voc"});
  env.messages.clear();
  env.answers = {Answer::No};
  form.UpBitBtn->setEnabled(true);
  form.DelBitBtn->click();
  QCOMPARE(env.questions, QStringList{"Do you really want to delete these 3 files!!"});
  QVERIFY(!form.UpBitBtn->isEnabled());
  QCOMPARE(form.MP3ListBox->count(), 6);

  // The two lowest music files go: 3 and 4 become 1 and 2; voice keeps its
  // numbers. A line whose file left the card meanwhile is said and dropped.
  form.MP3ListBox->clearSelection();
  Select(form.MP3ListBox, {"m1.mp3", "m2.mp3", "v2.voc"});
  QCOMPARE(ReleaseCardFile("v2.voc"), kOpOk);
  FlushVolume();
  env.messages.clear();
  env.questions.clear();
  env.answers = {Answer::Yes};
  const int freeBefore = CountFreeClusters();
  form.DelBitBtnClick();
  QCOMPARE(env.messages, QStringList{QString::fromStdString(msg::DeleteNotExisted("v2.voc"))});
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"m3.mp3", "m4.mp3", "v1.voc"}));
  QCOMPARE(form.StatusBar->PanelText(1), QString::fromStdString(msg::FreeSpaceText(freeBefore + 4)));
  QCOMPARE(form.StatusBar->PanelText(2), QString());
  QCOMPARE(FileIdOnCard("m3.mp3"), 1);
  QCOMPARE(FileIdOnCard("m4.mp3"), 2);
  QCOMPARE(FileIdOnCard("v1.voc"), 0x81);
  QCOMPARE(env.CardDiffers({{"m3.mp3", GuiCard::Content("m3.mp3", 70000)},
                            {"m4.mp3", GuiCard::Content("m4.mp3", 70000)},
                            {"v1.voc", GuiCard::Content("v1.voc", 70000)}}),
           QString());

  // One file, and the card goes while the tables are written: the user is
  // told and the program ends; the files stay whole.
  Select(form.MP3ListBox, {"m4.mp3"});
  env.questions.clear();
  env.messages.clear();
  env.answers = {Answer::Yes};
  env.player->core().SetObserver([&](std::uint64_t, const player::CommandInfo& c) {
    if (c.code == 0x51) env.player->core().Eject();
  });
  form.DelBitBtnClick();
  QCOMPARE(env.questions, QStringList{QString(msg::kConfirmDeleteOne) + "\r\nm4.mp3"});
  QCOMPARE(env.messages, QStringList{msg::kCardRemoved});
  QVERIFY(!form.isVisible());
  Heal(*env.player);
  QCOMPARE(env.CardDiffers({{"m3.mp3", GuiCard::Content("m3.mp3", 70000)},
                            {"m4.mp3", GuiCard::Content("m4.mp3", 70000)},
                            {"v1.voc", GuiCard::Content("v1.voc", 70000)}}),
           QString());
}

void ActionsTest::toWaveConvertsVoiceRecordingsOnly() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("song.mp3", 1000));
  // A voice file in a coding the decoder does not know (number 5, which the
  // format leaves unused).
  QByteArray bad("Creative Voice File\x1A\x1A\x00\x0A\x01\x29\x11", 26);
  bad += QByteArray("\x01\x66\x00\x00\x83\x05", 6) + QByteArray(100, 'z') + QByteArray(1, '\0');
  const QString badPath = env.dir.filePath("store/bad.voc");
  QFile f(badPath);
  QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bad) == bad.size());
  f.close();
  QCOMPARE(SendFileToCard(badPath.toStdString(), "bad.voc", nullptr), kOpOk);
  // A memo the player records from a sound file: a rising tone, 8 kHz.
  std::vector<short> tone(4000);
  for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<short>(12000 * std::sin(i * i * 1e-4));
  const QString wavPath = env.dir.filePath("tone.wav");
  SF_INFO info{0, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* out = sf_open(wavPath.toUtf8().constData(), SFM_WRITE, &info);
  QVERIFY(out && sf_write_short(out, tone.data(), 4000) == 4000);
  sf_close(out);
  std::vector<std::uint8_t> voc;
  std::string problem;
  QVERIFY2(tvdh::WavToVoiceFile(wavPath.toStdString(), &voc, &problem), problem.c_str());
  QCOMPARE(env.player->core().Record(voc), player::RecordResult::kOk);
  QVERIFY(QDir().mkpath(env.dir.filePath("pc")));

  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  QCOMPARE(form.MP3ListBox->count(), 3);
  const QString memo = form.MP3ListBox->item(2)->text();
  QVERIFY2(memo.endsWith(".voc") && memo.size() == 13, qPrintable(memo));
  const QString memoWav = memo.chopped(4) + ".wav";

  // Nothing selected: only the button comes back.
  form.UpBitBtn->setEnabled(true);
  form.WavBitBtnClick();
  QVERIFY(form.WavBitBtn->isEnabled() && !form.UpBitBtn->isEnabled() && env.waits.isEmpty());

  form.MP3ListBox->selectAll();
  env.messages.clear();
  form.WavBitBtn->click();
  QCOMPARE(env.messages,
           (QStringList{msg::kUnknownVoice, QString::fromStdString(CardOpText(kOpDecodeFailed, "bad.voc"))}));
  QCOMPARE(env.waits, QStringList{"2001:1 file uploaded"});
  QVERIFY(form1 == nullptr && form.isEnabled() && form.WavBitBtn->isEnabled());
  QVERIFY(!form.DownBitBtn->isEnabled() && !form.UpBitBtn->isEnabled());
  QCOMPARE(Lines(form.MP3ListBox).size(), 3);
  QCOMPARE(QDir(env.dir.filePath("pc")).entryList(QDir::Files | QDir::Hidden, QDir::Name),
           (QStringList{memo.chopped(4) + ".voc", memoWav, "bad.voc"}));
  QCOMPARE(Lines(form.SFileListBox), (QStringList{memo, "bad.voc"}));

  // The WAV file holds the recorded samples.
  SF_INFO got{};
  SNDFILE* in = sf_open(env.dir.filePath("pc/" + memoWav).toUtf8().constData(), SFM_READ, &got);
  QVERIFY(in);
  std::vector<short> samples(got.frames);
  sf_read_short(in, samples.data(), got.frames);
  sf_close(in);
  QCOMPARE(got.samplerate, 8000);
  QCOMPARE(got.channels, 1);
  QCOMPARE(got.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  QVERIFY(samples == tone);

  QCOMPARE(env.busyDepth, 0);

  // Without a good device state nothing starts; the button comes back.
  DeviceState = kDeviceNotReady;
  form.WavBitBtnClick();
  QVERIFY(form.WavBitBtn->isEnabled() && env.waits.size() == 1);
  DeviceState = kDeviceReady;

  // A busy player ends the pass with the button back; a pulled card ends
  // the program. The fault meets the file's data, after the tables were
  // found as the window read them.
  form.MP3ListBox->clearSelection();
  form.MP3ListBox->item(2)->setSelected(true);
  env.messages.clear();
  env.waits.clear();
  env.player->core().SetObserver([&](std::uint64_t, const player::CommandInfo& c) {
    if (c.code == 0x52 && c.lba >= VolumeImage.dataStart) env.player->core().SetBusy(true);
  });
  form.WavBitBtnClick();
  QCOMPARE(env.messages, (QStringList{kBusyMessage, msg::kNotReady}));
  QCOMPARE(env.waits, QStringList{"3001:0files uploaded"});
  QVERIFY(form.isVisible() && form.isEnabled() && form.WavBitBtn->isEnabled() && env.busyDepth == 0);
  Heal(*env.player);
  form.MP3ListBox->clearSelection();
  form.MP3ListBox->item(2)->setSelected(true);  // its probe finds the player well again
  env.messages.clear();
  env.waits.clear();
  env.player->core().SetObserver([&](std::uint64_t, const player::CommandInfo& c) {
    if (c.code == 0x52 && c.lba >= VolumeImage.dataStart) env.player->core().Eject();
  });
  form.WavBitBtnClick();
  QCOMPARE(env.messages, QStringList{msg::kCardRemoved});
  QCOMPARE(env.waits, QStringList{"3001:0files uploaded"});
  QVERIFY(!form.isVisible() && !form.WavBitBtn->isEnabled());
  env.player->core().SetObserver(nullptr);

  QCOMPARE(WaveFileName("memo1.voc"), std::string("memo1.wav"));
  QCOMPARE(WaveFileName("a.b.voc"), std::string("a.b.wav"));
  QCOMPARE(WaveFileName("Mr. Brightside.voc"), std::string("Mr. Brightside.wav"));
  QCOMPARE(WaveFileName("memo"), std::string("memo.wav"));
}

// The player records a memo while the window is idle: the window's tables are
// no longer the card's, and writing them back would drop the memo or give its
// clusters to the next file.
void ActionsTest::aCardChangedElsewhereIsReadAgainBeforeAnAction() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("a.mp3", 70000));
  QVERIFY(env.Store("b.mp3", 70000));
  TMainForm form;
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "b.mp3"}));
  const std::vector<std::uint8_t> memo(100000, 0x5A);
  QVERIFY(env.player->core().Record(memo) == player::RecordResult::kOk);

  // Delete: the selection was made on the old list, so nothing is deleted;
  // the user sees the card as it is and chooses again.
  Select(form.MP3ListBox, {"a.mp3"});
  env.messages.clear();
  env.answers = {Answer::Yes};
  form.DelBitBtnClick();
  QCOMPARE(env.messages, QStringList{msg::kCardChanged});
  QVERIFY(env.questions.isEmpty());
  const QString memoName = QString::fromStdString(MakeVoiceName(0x81));
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "b.mp3", memoName}));
  const QMap<QString, QByteArray> three = {{"a.mp3", GuiCard::Content("a.mp3", 70000)},
                                           {"b.mp3", GuiCard::Content("b.mp3", 70000)},
                                           {memoName, QByteArray(100000, 0x5A)}};
  QCOMPARE(env.CardDiffers(three), QString());

  // Download: the PC files go to the card as it is now, next to a second memo.
  QVERIFY(env.player->core().Record(memo) == player::RecordResult::kOk);
  const QString c = env.WritePcFile("pc/c.mp3", 70000);
  QVERIFY(form.SDirectoryListBox->SetDirectory(QFileInfo(c).absolutePath()));
  Select(form.SFileListBox, {"c.mp3"});
  env.messages.clear();
  form.DownBitBtnClick();
  QCOMPARE(env.messages, QStringList{msg::kCardChanged});
  const QString memo2 = QString::fromStdString(MakeVoiceName(0x82));
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "b.mp3", "c.mp3", memoName, memo2}));
  QMap<QString, QByteArray> five = three;
  five.insert("c.mp3", GuiCard::Content("c.mp3", 70000));
  five.insert(memo2, QByteArray(100000, 0x5A));
  QCOMPARE(env.CardDiffers(five), QString());
}

// While another program holds the card, an action waits a moment, says so
// and changes nothing.
void ActionsTest::aCardHeldByAnotherProgramIsLeftAlone() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("a.mp3", 70000));
  TMainForm form;
  int ready[2];
  QVERIFY(::pipe(ready) == 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    // Another program: it takes the same player's lock and keeps it.
    const bool held = LockCard(CardLock::kExclusive) == kLockOk;
    const char c = held ? 'y' : 'n';
    if (::write(ready[1], &c, 1) != 1) _exit(1);
    ::sleep(30);
    _exit(0);
  }
  char c = 0;
  QVERIFY(::read(ready[0], &c, 1) == 1);
  ::close(ready[0]);
  ::close(ready[1]);
  qputenv("ZK27_LOCK_WAIT", "0.2");
  Select(form.MP3ListBox, {"a.mp3"});
  env.messages.clear();
  env.answers = {Answer::Yes, Answer::Yes};
  form.DelBitBtnClick();
  // The format asks first and holds the card from the answer on.
  form.FMBitBtnClick();
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  qunsetenv("ZK27_LOCK_WAIT");
  QCOMPARE(c, 'y');
  QCOMPARE(env.messages, (QStringList{kCardInUseMessage, kCardInUseMessage}));
  QCOMPARE(env.questions, QStringList{msg::kConfirmFormat});
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 70000)}}), QString());

  // Once it is free again the action goes through.
  env.questions.clear();
  env.answers = {Answer::Yes};
  form.DelBitBtnClick();
  QCOMPARE(env.questions, QStringList{QString(msg::kConfirmDeleteOne) + "\r\na.mp3"});
  QCOMPARE(env.CardDiffers({}), QString());
}

// A send cut off after the table's chain but before the entry leaves
// clusters that no file owns; the window says so once and repairs on Yes.
void ActionsTest::aDamagedCardIsOfferedARepairOnce() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("a.mp3", 70000));
  QVERIFY(MountVolume() == kMountOk);
  const int freeBefore = CountFreeClusters();
  // Clusters 10 to 12 chained in both copies, under no entry.
  SetTableEntry(10, 11);
  SetTableEntry(11, 12);
  SetTableEntry(12, kEndOfChain);
  FlushVolume();
  QVERIFY(MountVolume() == kMountOk);
  QCOMPARE(CountFreeClusters(), freeBefore - 3);

  const QString offer = QString::fromStdString(msg::RepairOffer(1));
  {
    env.answers = {Answer::No};
    TMainForm form;
    QCOMPARE(env.questions, QStringList{offer});
    QCOMPARE(form.StatusBar->PanelText(1), QString::fromStdString(msg::FreeSpaceText(freeBefore - 3)));
    // Said once: a re-check of the card does not ask again.
    form.DeviceStateMessage(kDeviceRecheck);
    QCOMPARE(env.questions, QStringList{offer});
  }
  env.questions.clear();
  env.answers = {Answer::Yes};
  TMainForm form;
  QCOMPARE(env.questions, QStringList{offer});
  QVERIFY(env.messages.isEmpty());
  QCOMPARE(form.StatusBar->PanelText(1), QString::fromStdString(msg::FreeSpaceText(freeBefore)));
  QCOMPARE(Lines(form.MP3ListBox), QStringList{"a.mp3"});
  QVERIFY(ReadTableCopy2());
  QVERIFY(CheckVolume(0).problems.empty());
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 70000)}}), QString());
}

// The README's picture of a transfer, made when ZK27_SCREENSHOT_DIR names a
// folder (scripts/screenshots): the main window with the progress window
// over it, half-way through the second of three files.
void ActionsTest::screenshotOfATransfer() {
  const QString out = qEnvironmentVariable("ZK27_SCREENSHOT_DIR");
  if (out.isEmpty()) QSKIP("ZK27_SCREENSHOT_DIR is not set");
  GuiCard env;
  env.StartFormattedCard(32 * 2048);
  QVERIFY(env.Store("Morning walk.mp3", 340000));
  QDir demo(QDir::temp().filePath("zk27-demo/Music"));
  QVERIFY(demo.removeRecursively() && QDir().mkpath(demo.path()));
  for (const auto& [name, size] : {std::pair{"Evening news.mp3", 6 * 65536}, {"Lecture.mp3", 8 * 65536},
                                   {"Reminder.voc", 120000}}) {
    QFile f(demo.filePath(name));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(GuiCard::Content(name, size)) == size);
  }
  TMainForm form;
  form.SDriveComboBox->SetUpperCaseDisplay();
  QVERIFY(form.SDirectoryListBox->SetDirectory(demo.path()));
  form.SFileListBox->selectAll();
  bool saved = false;
  env.player->core().SetObserver([&](std::uint64_t, const player::CommandInfo&) {
    if (saved || !form1 || form1->StaticText3->text() != "2 of 3" || form1->StaticText2->text() != "50%") return;
    QPixmap shot = form.grab();
    QPainter painter(&shot);
    const QRect at(form1->pos() - form.pos(), form1->size());
    painter.drawPixmap(at.topLeft(), form1->grab());
    painter.setPen(Qt::darkGray);
    painter.drawRect(at.adjusted(-1, -1, 0, 0));
    saved = shot.save(out + "/transfer.png");
  });
  form.DownBitBtnClick();
  env.player->core().SetObserver(nullptr);
  demo.removeRecursively();
  QVERIFY(saved);
}

// A recording whose rate changes between blocks: the WAV file is written at
// the first block's rate and the window says what was resampled.
void ActionsTest::toWaveSaysWhenARecordingWasResampled() {
  GuiCard env;
  env.StartFormattedCard();
  QByteArray voc("Creative Voice File\x1A\x1A\x00\x0A\x01\x29\x11", 26);
  for (const char timeConstant : {'\x83', '\xA6'}) {  // 8000 Hz, then 11111 Hz
    voc += QByteArray("\x01\xCA\x00\x00", 4) + timeConstant + QByteArray(1, '\0');
    for (int i = 0; i < 200; ++i) voc += static_cast<char>(128 + (i % 20) * 4);
  }
  voc += QByteArray(1, '\0');
  QVERIFY(QDir().mkpath(env.dir.filePath("store")) && QDir().mkpath(env.dir.filePath("pc")));
  const QString path = env.dir.filePath("store/two.voc");
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly) && f.write(voc) == voc.size());
  f.close();
  QCOMPARE(SendFileToCard(path.toStdString(), "two.voc", nullptr), kOpOk);

  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  QCOMPARE(Lines(form.MP3ListBox), QStringList{"two.voc"});
  form.MP3ListBox->selectAll();
  env.messages.clear();
  form.WavBitBtn->click();
  QCOMPARE(env.messages.size(), 1);
  QVERIFY2(env.messages[0].startsWith("two.voc changes its sample rate between blocks (8000 Hz, then 11111 Hz)"),
           qPrintable(env.messages[0]));
  QCOMPARE(env.waits, QStringList{"2001:1 file uploaded"});
  SF_INFO got{};
  SNDFILE* in = sf_open(env.dir.filePath("pc/two.wav").toUtf8().constData(), SFM_READ, &got);
  QVERIFY(in);
  sf_close(in);
  QCOMPARE(got.samplerate, 8000);
  QVERIFY(std::abs(got.frames - 344) <= 2);  // 200 frames, and 200 at 11111 Hz made 144
}

QTEST_MAIN(ActionsTest)
#include "gui_actions_test.moc"
