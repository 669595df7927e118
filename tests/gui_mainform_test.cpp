// The desktop program's start-up, its card side and its progress window,
// against the virtual player in this process.
#include <sys/stat.h>
#include <unistd.h>

#include <QItemSelectionModel>
#include <QTimer>

#include "support/gui.h"
#include "mainform.h"
#include "messages.h"
#include "text.h"
#include "tform1.h"

Q_DECLARE_METATYPE(Answer)

namespace {

// A click on line `row` as the user makes it; with Ctrl it adds to the selection.
void ClickLine(QListWidget* list, int row, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QTest::mouseClick(list->viewport(), Qt::LeftButton, mods, list->visualItemRect(list->item(row)).center());
}

int RowOf(const QListWidget* list, const QString& text) {
  const auto found = list->findItems(text, Qt::MatchExactly);
  return found.isEmpty() ? -1 : list->row(found.front());
}

void SetFileId(std::uint32_t entry, std::uint8_t id) { VolumeImage.directory[entry * 32 + 12] = id; }

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT
 private slots:
  void startUpRefusesWithoutAUsableDevice_data();
  void startUpRefusesWithoutAUsableDevice();
  void startUpOffersToFormatAForeignCard_data();
  void startUpOffersToFormatAForeignCard();
  void windowListsTheCardInFileIdOrder();
  void deviceStateHandler_data();
  void deviceStateHandler();
  void recheckOfACardThatChanged_data();
  void recheckOfACardThatChanged();
  void cardListSelection();
  void aCardLineWithoutItsFileIsDropped();
  void programEndsWhenTheWindowCloses_data();
  void programEndsWhenTheWindowCloses();
  void progressWindow();
  void screenshotForTheReadme();
};

// ---- start-up -------------------------------------------------------------------

void MainFormTest::startUpRefusesWithoutAUsableDevice_data() {
  QTest::addColumn<QString>("fault");
  QTest::addColumn<QString>("message");
  QTest::newRow("no card (0x0080)") << "eject" << msg::kStartNoCard;
  QTest::newRow("transport failure (0xFF7F)") << "fail" << msg::kStartBusy;
  QTest::newRow("player unplugged (3)") << "unplug" << msg::kStartAttach;
  QTest::newRow("no player at all (3)") << "none" << msg::kStartAttach;
  // The player's folder is open to everyone: refused, not "no player".
  QTest::newRow("an unsafe folder") << "folder"
                                    << " is not yours alone (owner %1, mode 0777).\r\nThe player is not looked for there.";
}

void MainFormTest::startUpRefusesWithoutAUsableDevice() {
  QFETCH(QString, fault);
  QFETCH(QString, message);
  GuiCard env;
  env.StartFormattedCard();
  if (fault == "eject") env.player->core().Eject();
  if (fault == "fail") env.player->core().FailAfter(1);
  if (fault == "unplug") env.player->Unplug();
  if (fault == "none") env.player.reset();
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (fault == "folder") {
    env.player.reset();
    const QString folder = env.dir.filePath("run/zk27");
    QVERIFY(QDir().mkpath(folder) && ::chmod(folder.toUtf8().constData(), 0777) == 0);
    qputenv("XDG_RUNTIME_DIR", env.dir.filePath("run").toUtf8());
    qunsetenv("ZK27_PLAYER_SOCKET");
    message = "The folder " + folder + message.arg(::geteuid());
  }
  const bool started = StartUpChecks();
  qputenv("XDG_RUNTIME_DIR", runtime);
  QVERIFY(!started);
  QCOMPARE(env.messages, QStringList{message});
  QVERIFY(env.questions.isEmpty());
}

void MainFormTest::startUpOffersToFormatAForeignCard_data() {
  QTest::addColumn<Answer>("answer");
  QTest::addColumn<bool>("goesOn");
  QTest::addColumn<bool>("formatted");
  QTest::newRow("Yes formats") << Answer::Yes << true << true;
  QTest::newRow("No ends") << Answer::No << false << false;
  QTest::newRow("closed goes on unformatted") << Answer::Closed << true << false;
}

void MainFormTest::startUpOffersToFormatAForeignCard() {
  QFETCH(Answer, answer);
  QFETCH(bool, goesOn);
  QFETCH(bool, formatted);
  // The refusals are tested on the raw status as it comes; bit 7 comes first.
  QCOMPARE(msg::StartRefusal(0x00FF), msg::kStartNoCard);
  QCOMPARE(msg::StartRefusal(0x0001), nullptr);

  GuiCard env;
  env.StartPlayer();  // a blank card: read fine, not the player's volume
  env.answers << answer;
  QCOMPARE(StartUpChecks(), goesOn);
  QCOMPARE(env.questions, QStringList{QString(msg::kNotZk27Format) + " [warning]"});
  QCOMPARE(env.messages, goesOn ? QStringList{} : QStringList{msg::kProgramExited});
  env.messages.clear();
  QCOMPARE(CheckCard() == kCardOk, formatted);
  if (!goesOn) return;
  env.messages.clear();
  TMainForm form;
  QCOMPARE(form.MP3ListBox->count(), 0);
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 0"));
}

// ---- the card side ----------------------------------------------------------------

void MainFormTest::windowListsTheCardInFileIdOrder() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("a.mp3", 70000));
  QVERIFY(env.Store("b.mp3", 1000));
  QVERIFY(env.Store("memo.voc", 1000));
  // The scan meets FileId 2 first, then 1, then the recording.
  SetFileId(0, 2);
  SetFileId(1, 1);
  FlushVolume();
  QCOMPARE(DeviceState, 0);

  TMainForm form;
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"b.mp3", "a.mp3", "memo.voc"}));
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 3"));
  const std::uint32_t freeClusters = CountFreeClusters();
  QCOMPARE(form.StatusBar->PanelText(1), "The free space in your CF Card is " +
                                             QString::fromStdString(FormatThousands(std::to_string(freeClusters * 64))) +
                                             "KB");
  QCOMPARE(VolumeImage.directory[10000], 1);
  QVERIFY(!form.DownBitBtn->isEnabled());
  QVERIFY(!form.UpBitBtn->isEnabled());
  QVERIFY(form.DelBitBtn->isEnabled() && form.FMBitBtn->isEnabled() && form.WavBitBtn->isEnabled());
  QVERIFY(env.messages.isEmpty());

  // The window as laid out.
  QCOMPARE(form.windowTitle(), QString("MP3 File Management"));
  QCOMPARE(form.size(), QSize(747, 524));
  QCOMPARE(form.MP3ListBox->geometry(), QRect(400, 112, 281, 329));
  QCOMPARE(form.DownBitBtn->geometry(), QRect(256, 249, 121, 48));
  QCOMPARE(form.Label3->text(), QString("PC Site"));
  QCOMPARE(form.Label4->text(), QString("Device Site"));
  QVERIFY(form.WavBitBtn->icon().isNull());
  const QIcon glyph = form.DownBitBtn->icon();
  QVERIFY(glyph.pixmap(24, QIcon::Normal).toImage() != glyph.pixmap(24, QIcon::Disabled).toImage());
  QCOMPARE(form.MP3ListBox->selectionMode(), QAbstractItemView::ExtendedSelection);
}

void MainFormTest::deviceStateHandler_data() {
  QTest::addColumn<QString>("condition");
  QTest::addColumn<QString>("message");
  QTest::addColumn<bool>("closes");
  QTest::newRow("0 ready") << "ready" << "" << false;
  QTest::newRow("1 busy") << "busy" << "" << false;
  QTest::newRow("2 no card") << "eject" << msg::kStateNoCard << true;
  QTest::newRow("4 not attached") << "unplug" << msg::kStateAttach << true;
  QTest::newRow("5 not ready") << "not-ready" << msg::kStateNotReady << true;
  QTest::newRow("3 re-check") << "recheck" << "" << false;
}

void MainFormTest::deviceStateHandler() {
  QFETCH(QString, condition);
  QFETCH(QString, message);
  QFETCH(bool, closes);
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("one.mp3", 1000));
  TMainForm form;
  QVERIFY(form.isVisible());
  // A file arrives behind the window's back: only a re-check shows it.
  QVERIFY(env.Store("two.mp3", 200000));
  const QString panel1 = form.StatusBar->PanelText(1);

  player::PlayerCore& core = env.player->core();
  if (condition == "busy") core.SetBusy(true);
  if (condition == "eject") core.Eject();
  if (condition == "unplug") env.player->Unplug();
  if (condition == "not-ready") core.SetNotReady(true);
  if (condition == "recheck") core.RequestRecheck();
  ProbeDevice();

  QCOMPARE(env.messages, message.isEmpty() ? QStringList{} : QStringList{message});
  QCOMPARE(form.isVisible(), !closes);
  if (condition == "recheck") {
    QCOMPARE(Lines(form.MP3ListBox), (QStringList{"one.mp3", "two.mp3"}));
    QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 2"));
    QVERIFY(form.StatusBar->PanelText(1).endsWith("0 KB"));
    QVERIFY(form.StatusBar->PanelText(1) != panel1);
  } else {
    QCOMPARE(Lines(form.MP3ListBox), QStringList{"one.mp3"});
    QCOMPARE(form.StatusBar->PanelText(1), panel1);
  }
}

void MainFormTest::recheckOfACardThatChanged_data() {
  QTest::addColumn<QString>("card");
  QTest::addColumn<Answer>("answer");
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<bool>("closes");
  QTest::addColumn<bool>("formatted");
  QTest::newRow("foreign, Yes formats") << "foreign" << Answer::Yes << QStringList{} << false << true;
  QTest::newRow("foreign, No ends") << "foreign" << Answer::No << QStringList{msg::kProgramExited} << true << false;
  QTest::newRow("foreign, closed reloads") << "foreign" << Answer::Closed << QStringList{} << false << false;
  // A lost total over a file is asked as a foreign card, never formatted unasked.
  QTest::newRow("no total, Yes formats") << "no total" << Answer::Yes << QStringList{} << false << true;
  QTest::newRow("no total, No ends") << "no total" << Answer::No << QStringList{msg::kProgramExited} << true << false;
  QTest::newRow("unreadable") << "unreadable" << Answer::Closed << QStringList{" Device Busy !!\r\nPlease Reconnect the Device!"} << true
                              << true;
}

void MainFormTest::recheckOfACardThatChanged() {
  QFETCH(QString, card);
  QFETCH(Answer, answer);
  QFETCH(QStringList, messages);
  QFETCH(bool, closes);
  QFETCH(bool, formatted);
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("kept.mp3", 1000));
  TMainForm form;
  player::PlayerCore& core = env.player->core();
  core.RequestRecheck();
  if (card == "foreign") {
    // The card lost the player's label and signature; the rest is as it was.
    zk27_test::WriteAt(env.player->ImagePath(), 32 * 512 + 3, {'M', 'S', 'D', 'O', 'S', '5', '.', '0'});
    zk27_test::WriteAt(env.player->ImagePath(), 32 * 512 + 510, {0x55, 0xAA});
    env.answers << answer;
  } else if (card == "no total") {
    zk27_test::WriteAt(env.player->ImagePath(), 32 * 512 + 32, {0, 0, 0, 0});
    env.answers << answer;
  } else {
    core.FailAfter(2);  // the re-check's read of the boot sector fails
  }
  ProbeDevice();
  QCOMPARE(env.messages, messages);
  if (card == "no total") QCOMPARE(env.questions, QStringList{QString(msg::kNotZk27Format) + " [warning]"});
  QCOMPARE(form.isVisible(), !closes);
  QCOMPARE(CheckCard() == kCardOk, formatted);
  if (!closes) QCOMPARE(form.MP3ListBox->count(), formatted ? 0 : 1);
}

void MainFormTest::cardListSelection() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("x.mp3", 1000000));
  QVERIFY(env.Store("y.mp3", 600000));
  QVERIFY(env.Store("z.mp3", 1023));
  env.WritePcFile("pc/song.mp3", 10);
  TMainForm form;
  form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc"));
  form.SFileListBox->item(0)->setSelected(true);
  QVERIFY(form.DownBitBtn->isEnabled());

  ClickLine(form.MP3ListBox, RowOf(form.MP3ListBox, "x.mp3"));
  ClickLine(form.MP3ListBox, RowOf(form.MP3ListBox, "y.mp3"), Qt::ControlModifier);
  QCOMPARE(form.StatusBar->PanelText(2), QString("2files selected:1,562kB"));
  QVERIFY(form.UpBitBtn->isEnabled());
  QVERIFY(!form.DownBitBtn->isEnabled());
  QVERIFY(!form.StatusBar->PanelText(0).isEmpty());  // the PC side's summary stays

  ClickLine(form.MP3ListBox, RowOf(form.MP3ListBox, "z.mp3"));
  QCOMPARE(form.StatusBar->PanelText(2), QString("1files selected:0kB"));
  QCOMPARE(CurrentFileName, std::string("z.mp3"));

  // A click on the status bar is no click on the window's face.
  QTest::mouseClick(form.StatusBar, Qt::LeftButton, {}, QPoint(400, 10));
  QCOMPARE(form.StatusBar->PanelText(2), QString("1files selected:0kB"));
  QTest::mouseClick(&form, Qt::LeftButton, {}, QPoint(300, 100));
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 3"));

  // A refill is no selection of the user's: no probe, no selection text.
  const std::uint64_t served = env.player->CommandsServed();
  form.RefreshCardView();
  QCOMPARE(env.player->CommandsServed(), served);
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 3"));
  QVERIFY(form.UpBitBtn->isEnabled());

  ClickLine(form.MP3ListBox, 0);
  ClickLine(form.MP3ListBox, 0, Qt::ControlModifier);  // deselects the last line
  QVERIFY(!form.UpBitBtn->isEnabled());
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 3"));

  // Without a card nothing on the window follows the click.
  env.player->core().Eject();
  ClickLine(form.MP3ListBox, 1);
  QCOMPARE(env.messages, QStringList{msg::kStateNoCard});
  QVERIFY(!form.UpBitBtn->isEnabled());
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 3"));
  QVERIFY(env.messages.size() == 1 && !form.isVisible());
}

void MainFormTest::aCardLineWithoutItsFileIsDropped() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("kept.mp3", 3000));
  QVERIFY(env.Store("lost.mp3", 5000));
  // The second file's name slot lost its length: it is listed without a name.
  const std::uint16_t slot = VolumeImage.directory[32 + 1] | VolumeImage.directory[32 + 2] << 8;
  VolumeImage.nameTable[slot] = VolumeImage.nameTable[slot + 1] = 0;
  FlushVolume();
  TMainForm form;
  QCOMPARE(env.messages, QStringList{msg::kInvalidFileStructure});
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"kept.mp3", ""}));
  env.messages.clear();
  form.MP3ListBox->selectAll();
  QCOMPARE(env.messages, QStringList{msg::kFileNotExisted});
  QCOMPARE(Lines(form.MP3ListBox), QStringList{"kept.mp3"});
  QCOMPARE(form.StatusBar->PanelText(2), QString("1files selected:2kB"));
}

// The message loop ends with the window, whoever closes it, and the settings
// file is written on the way out.
void MainFormTest::programEndsWhenTheWindowCloses_data() {
  QTest::addColumn<bool>("cardPulled");
  QTest::newRow("the user closes the window") << false;
  QTest::newRow("the card is pulled") << true;
}

void MainFormTest::programEndsWhenTheWindowCloses() {
  QFETCH(bool, cardPulled);
  GuiCard env;
  env.StartFormattedCard();
  QTimer::singleShot(50, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* form = qobject_cast<TMainForm*>(w);
      if (!form || !form->isVisible()) continue;
      if (cardPulled) {
        env.player->core().Eject();
        form->FormClick();
      } else {
        form->close();
      }
    }
  });
  QCOMPARE(RunMainProgram(), 0);
  QCOMPARE(env.messages, cardPulled ? QStringList{msg::kStateNoCard} : QStringList{});
  QVERIFY(QFile::exists(env.SettingsPath()));
}

// ---- the progress window ------------------------------------------------------------

void MainFormTest::progressWindow() {
  Tform1 w;
  w.show();
  QCOMPARE(w.windowTitle(), QString("Download File Status!"));
  QCOMPARE(w.width(), 528);
  w.ShowPercent(100);
  QVERIFY(w.rect().contains(w.StaticText2->geometry()));  // the percentage is not cut off
  QCOMPARE(w.ProgressBar1->geometry(), QRect(0, 41, 528, 24));
  QCOMPARE(w.ProgressBar1->maximum(), 100);

  w.showstring("a.mp3", msg::kDownloading);
  QCOMPARE(w.StaticText1->text(), QString("a.mp3 is Downloading"));
  w.ShowPosition(2, 3);
  QCOMPARE(w.StaticText3->text(), QString("2 of 3"));

  auto percents = [&w](std::uint32_t units) {
    QStringList shown;
    for (std::uint32_t i = 1; i <= units; ++i) {
      w.ShowPercent(ProgressPercent(i, units));
      // The bar and the text always agree.
      shown << (w.StaticText2->text().chopped(1).toInt() == w.ProgressBar1->value() ? w.StaticText2->text() : "?");
    }
    return shown;
  };
  QCOMPARE(percents(3), (QStringList{"33%", "67%", "100%"}));
  QCOMPARE(percents(8), (QStringList{"12%", "25%", "38%", "50%", "62%", "75%", "88%", "100%"}));

  w.ShowSummary(QString::fromStdString(msg::CountText(1, "downloaded")));
  QCOMPARE(w.StaticText1->text(), QString("1 file downloaded"));
  QCOMPARE(w.StaticText1->palette().color(QPalette::Window), QColor(255, 255, 255));
  QVERIFY(w.StaticText3->text().isEmpty());
  QCOMPARE(msg::CountText(0, "uploaded"), std::string("0 file uploaded"));
  QCOMPARE(msg::CountText(3, "downloaded"), std::string("3 files downloaded"));
}

// The README's picture of the main window, made when ZK27_SCREENSHOT_DIR
// names a folder (scripts/screenshots).
void MainFormTest::screenshotForTheReadme() {
  const QString out = qEnvironmentVariable("ZK27_SCREENSHOT_DIR");
  if (out.isEmpty()) QSKIP("ZK27_SCREENSHOT_DIR is not set");
  GuiCard env;
  env.StartFormattedCard(64 * 2048);
  QVERIFY(env.Store("Morning walk.mp3", 3400000));
  QVERIFY(env.Store("Interview.mp3", 5100000));
  QVERIFY(env.Store("Shopping list.voc", 180000));
  const std::vector<std::uint8_t> memo(90000, 0x80);
  QCOMPARE(env.player->core().Record(memo), player::RecordResult::kOk);
  MountVolume();
  QDir demo(QDir::temp().filePath("zk27-demo/Music"));
  QVERIFY(demo.removeRecursively() || !demo.exists());
  for (const auto& [name, size] : {std::pair{"Evening news.mp3", 4200000}, {"Lecture.mp3", 9800000},
                                   {"Reminder.voc", 120000}, {"Song for you.mp3", 3900000}}) {
    QFile f(demo.filePath(name));
    QVERIFY(QDir().mkpath(demo.path()) && f.open(QIODevice::WriteOnly));
    f.resize(size);
  }
  TMainForm form;
  form.SDriveComboBox->SetUpperCaseDisplay();
  QVERIFY(form.SDirectoryListBox->SetDirectory(demo.path()));
  form.SFileListBox->item(0)->setSelected(true);
  form.SFileListBox->item(1)->setSelected(true);
  QVERIFY(form.grab().save(out + "/main-window.png"));
  demo.removeRecursively();
}

QTEST_MAIN(MainFormTest)
#include "gui_mainform_test.moc"
