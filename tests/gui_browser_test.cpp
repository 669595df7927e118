// The PC side of the main window: drives, folders, files, the settings file.
#include <QDir>
#include <QItemSelectionModel>

#include "support/gui.h"
#include "mainform.h"
#include "messages.h"

namespace {

constexpr qint64 kMiB = 1024 * 1024;

// Picks the line of drive `letter` in the combo as the user does.
void PickDrive(TDriveComboBox* combo, QChar letter) {
  const int index = combo->findText(QString(letter) + ":", Qt::MatchStartsWith);
  QVERIFY(index >= 0);
  combo->setCurrentIndex(index);
  emit combo->activated(index);
}

void SelectRows(QListWidget* list, std::initializer_list<int> rows) {
  QItemSelection selection;
  for (int r : rows) selection.select(list->model()->index(r, 0), list->model()->index(r, 0));
  list->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void WriteText(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(text);
}

}  // namespace

class BrowserTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    env_ = std::make_unique<GuiCard>();
    env_->StartFormattedCard();
    d_ = env_->dir.filePath("stick");
    QDir().mkpath(d_ + "/albums");
    // C: the root file system; D: a mounted stick; E: a reader without a card.
    SetPcDrivesForTesting({{QChar('C'), "/", "/"}, {QChar('D'), d_, "STICK"},
                           {QChar('E'), env_->dir.filePath("no-medium"), "READER"}});
  }
  void cleanup() {
    SetPcDrivesForTesting({});
    env_.reset();
  }

  void selectedFilesAreSummedAndEnableDownload();
  void aVanishedSelectedFileIsReportedAndDropped();
  void aReleaseWithNothingSelectedDisablesDownload();
  void eachDriveRemembersItsFolder();
  void unusableDrivesKeepThePreviousOne();
  void aVanishedFolderIsReportedOnOpening();
  void aVolumeKeepsItsLetter();
  void settingsFile_data();
  void settingsFile();
  void aCardLostWhileTheWindowIsCreatedEndsTheProgram();

 private:
  std::unique_ptr<GuiCard> env_;
  QString d_;
};

void BrowserTest::selectedFilesAreSummedAndEnableDownload() {
  const QString music = env_->dir.filePath("music");
  for (const char* name : {"b.MP3", "a.mp3", "c.voc"}) env_->WritePcFile(QString("music/") + name, kMiB);
  env_->WritePcFile("music/notes.txt", 10);
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(music));
  QCOMPARE(QDir::currentPath(), music);  // plain names are valid paths
  QCOMPARE(Lines(form.SFileListBox), (QStringList{"a.mp3", "b.MP3", "c.voc"}));

  form.SFileListBox->selectAll();
  QCOMPARE(form.StatusBar->PanelText(0), QString("3files :3,072KB"));
  QVERIFY(form.DownBitBtn->isEnabled());
  QVERIFY(!form.UpBitBtn->isEnabled());
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 0"));

  // Another folder: nothing is selected there.
  QVERIFY(form.SDirectoryListBox->SetDirectory(d_));
  QVERIFY(!form.DownBitBtn->isEnabled());
  QVERIFY(form.StatusBar->PanelText(0).isEmpty());
  QVERIFY(env_->messages.isEmpty());
}

void BrowserTest::aVanishedSelectedFileIsReportedAndDropped() {
  env_->WritePcFile("music/a.mp3", kMiB);
  env_->WritePcFile("music/b.mp3", 2 * kMiB + 512);
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env_->dir.filePath("music")));
  QVERIFY(QFile::remove(env_->dir.filePath("music/a.mp3")));
  SelectRows(form.SFileListBox, {0, 1});
  QCOMPARE(env_->messages, QStringList{"The file a.mp3 is not existed!"});
  QCOMPARE(Lines(form.SFileListBox), QStringList{"b.mp3"});
  QCOMPARE(form.StatusBar->PanelText(0), QString("1files :2,048KB"));
  QVERIFY(form.DownBitBtn->isEnabled());
}

void BrowserTest::aReleaseWithNothingSelectedDisablesDownload() {
  env_->WritePcFile("music/a.mp3", 100);
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env_->dir.filePath("music")));
  QListWidget* list = form.SFileListBox;
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
  QCOMPARE(form.StatusBar->PanelText(0), QString("1files :0KB"));
  QVERIFY(form.DownBitBtn->isEnabled());
  // A click below the last line leaves nothing selected.
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, list->viewport()->height() - 5));
  QVERIFY(list->selectedItems().isEmpty());
  QVERIFY(!form.DownBitBtn->isEnabled());
  QVERIFY(form.StatusBar->PanelText(0).isEmpty());
}

void BrowserTest::eachDriveRemembersItsFolder() {
  const QString music = env_->dir.filePath("music");
  QDir().mkpath(music);
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(music));
  PickDrive(form.SDriveComboBox, 'd');
  QCOMPARE(form.SDirectoryListBox->Directory(), d_);
  QCOMPARE(form.PcSide->LastDrive.toUpper(), QChar('D'));
  QVERIFY(form.SDirectoryListBox->SetDirectory(d_ + "/albums"));
  PickDrive(form.SDriveComboBox, 'c');
  QCOMPARE(form.SDirectoryListBox->Directory(), music);
  QCOMPARE(form.PcSide->LastDir, music);
  PickDrive(form.SDriveComboBox, 'd');
  QCOMPARE(form.SDirectoryListBox->Directory(), d_ + "/albums");
  QCOMPARE(QDir::currentPath(), d_ + "/albums");

  // The directory list: the chain from the drive's root, then the subfolders.
  QVERIFY(form.SDirectoryListBox->SetDirectory(d_));
  QCOMPARE(Lines(form.SDirectoryListBox), (QStringList{d_, "albums"}));
  form.SDirectoryListBox->setCurrentRow(1);
  QTest::keyClick(form.SDirectoryListBox, Qt::Key_Return);
  QCOMPARE(form.SDirectoryListBox->Directory(), d_ + "/albums");
  QVERIFY(env_->messages.isEmpty());
}

void BrowserTest::unusableDrivesKeepThePreviousOne() {
  TMainForm form;
  form.SDriveComboBox->SetUpperCaseDisplay();
  const QString before = form.SDirectoryListBox->Directory();
  PickDrive(form.SDriveComboBox, 'E');
  QCOMPARE(env_->messages, QStringList{"Drive E: [READER] is not ready"});
  QCOMPARE(form.SDriveComboBox->Drive(), QChar('C'));
  QCOMPARE(form.SDriveComboBox->currentText(), QString("C: [/]"));
  QCOMPARE(form.SDirectoryListBox->Directory(), before);

  // The stick is pulled after the list was built.
  env_->messages.clear();
  SetPcDrivesForTesting({{QChar('C'), "/", "/"}});
  PickDrive(form.SDriveComboBox, 'D');
  QCOMPARE(env_->messages, QStringList{"network drive D: [STICK]is disconnected"});
  QCOMPARE(form.SDriveComboBox->findText("D:", Qt::MatchStartsWith), -1);
  QCOMPARE(form.SDirectoryListBox->Directory(), before);
  QCOMPARE(form.SDriveComboBox->currentText(), QString("C: [/]"));
}

void BrowserTest::aVanishedFolderIsReportedOnOpening() {
  TMainForm form;
  PickDrive(form.SDriveComboBox, 'd');
  QCOMPARE(form.SDirectoryListBox->Directory(), d_);
  QVERIFY(QDir(d_ + "/albums").removeRecursively());
  form.SDirectoryListBox->setCurrentRow(1);
  QTest::keyClick(form.SDirectoryListBox, Qt::Key_Return);
  QCOMPARE(env_->messages, QStringList{"Directory albums does not exist!!"});
  QCOMPARE(form.SDriveComboBox->Drive().toUpper(), QChar('C'));
}

void BrowserTest::aVolumeKeepsItsLetter() {
  auto letters = [](const QStringList& roots) {
    QString shown;
    for (const PcDrive& d : DrivesOnMounts(roots)) shown += QString(d.letter) + "=" + d.root + " ";
    return shown.trimmed();
  };
  QCOMPARE(letters({"/media/u/b", "/media/u/a"}), QString("C=/ D=/media/u/a E=/media/u/b"));
  // a is unmounted: b stays E, and D is gone rather than standing for b.
  QCOMPARE(letters({"/media/u/b"}), QString("C=/ E=/media/u/b"));
  QCOMPARE(letters({"/media/u/c", "/media/u/b"}), QString("C=/ E=/media/u/b F=/media/u/c"));
  QCOMPARE(letters({"/media/u/a", "/media/u/c"}), QString("C=/ D=/media/u/a F=/media/u/c"));
}

void BrowserTest::settingsFile_data() {
  QTest::addColumn<QByteArray>("file");  // "<none>" for no file; %D the stick, %M a folder on C
  QTest::addColumn<QString>("opens");    // %H the home folder
  QTest::newRow("first run") << QByteArray("<none>") << "%H";
  QTest::newRow("empty") << QByteArray("") << "%H";
  QTest::newRow("one line") << QByteArray("D\r\n") << "%H";
  QTest::newRow("drive D") << QByteArray("D\r\n%D/albums\r\n") << "%D/albums";
  QTest::newRow("CR line ends, lower case") << QByteArray("d\r%D/albums\rmore\r") << "%D/albums";
  QTest::newRow("letter and folder disagree") << QByteArray("D\r\n%M\r\n") << "/";
  QTest::newRow("folder deleted since") << QByteArray("c\r\n%M/gone\r\n") << "/";
}

void BrowserTest::settingsFile() {
  QFETCH(QByteArray, file);
  QFETCH(QString, opens);
  const QString music = env_->dir.filePath("music");
  QDir().mkpath(music);
  file.replace("%D", d_.toUtf8()).replace("%M", music.toUtf8());
  opens.replace("%D", d_).replace("%H", QDir::homePath());
  if (file != "<none>") WriteText(env_->SettingsPath(), file);

  QString shown;
  {
    TMainForm form;
    QCOMPARE(form.PcSide->SettingsFile(), env_->SettingsPath());
    shown = form.SDirectoryListBox->Directory();
    QCOMPARE(shown, opens);
    QCOMPARE(form.SDriveComboBox->Drive().toUpper(), DriveOfPath(opens));
    QVERIFY(env_->messages.isEmpty());
  }
  // Written at teardown: the letter and the folder last shown, CR LF ended.
  const QByteArray saved = ReadAll(env_->SettingsPath());
  QCOMPARE(saved.toUpper(), (QString(DriveOfPath(opens)) + "\r\n" + opens + "\r\n").toUtf8().toUpper());
}

// The drive change of the settings file probes the player before the window
// is shown.
void BrowserTest::aCardLostWhileTheWindowIsCreatedEndsTheProgram() {
  WriteText(env_->SettingsPath(), "D\r\n" + d_.toUtf8() + "\r\n");
  env_->player->core().Eject();
  TMainForm form;
  QCOMPARE(env_->messages, QStringList{msg::kStateNoCard});
  QVERIFY(form.Closing());
  QVERIFY(!form.isVisible());
}

QTEST_MAIN(BrowserTest)
#include "gui_browser_test.moc"
