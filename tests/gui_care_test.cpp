// The card list's keys and menu for looking after a card, against the
// virtual player in this process: F2 renames the selected file, Alt+Up and
// Alt+Down move the selected music file in the play order; the menu offers
// these and the import of the voice recordings, the check, backup, restore
// and sync.
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QDir>
#include <QDirIterator>
#include <QPushButton>
#include <QTimer>
#include <QFile>
#include <QPainter>
#include <QMap>

#include "import.h"
#include "mainform.h"
#include "messages.h"
#include "support/gui.h"

namespace {

void Select(QListWidget* list, const QStringList& names) {
  list->clearSelection();
  for (const QString& n : names) {
    const auto found = list->findItems(n, Qt::MatchExactly);
    QVERIFY2(!found.isEmpty(), qPrintable(n));
    found.front()->setSelected(true);
    list->setCurrentItem(found.front(), QItemSelectionModel::NoUpdate);
  }
}

QStringList Selected(const QListWidget* list) {
  QStringList names;
  for (const QListWidgetItem* it : list->selectedItems()) names << it->text();
  return names;
}

// Keys reach a window's shortcuts only while it is the active window.
bool Activate(QWidget* window) {
  window->activateWindow();
  return QTest::qWaitForWindowActive(window);
}

QByteArray ImageBytes(const GuiCard& env) {
  QFile f(QString::fromStdString(env.player->ImagePath()));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The FileId of each file on the card, read afresh.
QMap<QString, int> FileIds() {
  QMap<QString, int> ids;
  if (MountVolume() != kMountOk) return ids;
  RebuildCardList();
  for (std::int32_t r = 1; r <= CardFileCount; ++r)
    ids[QString::fromStdString(PcNameFromCard(ListLine(CardFileTable[r].Name)))] = CardFileTable[r].FileId;
  return ids;
}

}  // namespace

class CareTest : public QObject {
  Q_OBJECT
 private slots:
  void f2RenamesTheSelectedFile();
  void f2CancelledOrUnchangedWritesNothing();
  void aRefusedNameSaysWhyAndChangesNothing();
  void altUpAndAltDownMoveTheMusicFileInThePlayOrder();
  void nothingMovesAtTheEndsOrOnAVoiceFile();
  void aCardPulledAtTheWriteEndsTheSessionAndKeepsTheFiles();
  void aCardChangedMeanwhileIsReadAgainFirst();
  void theMenuOpensOnARightClickAndTheMenuKey();
  void eachMenuEntryAsksAndSaysWhatItDid();
  void theImportEntryBringsRecordingsHomeAndKeepsTheChoices();
  void theImportDialogChoosesThroughItsBrowseButtonOrNothing();
  void screenshotOfTheMenu();
};

void CareTest::f2RenamesTheSelectedFile() {
  GuiCard env;
  env.StartFormattedCard();
  for (const char* name : {"a.mp3", "b.mp3", "c.voc"}) QVERIFY(env.Store(name, 70000));
  TMainForm form;
  QVERIFY(Activate(&form));
  form.MP3ListBox->setFocus();
  const QString prompt = msg::kRenamePrompt;

  Select(form.MP3ListBox, {"b.mp3"});
  env.texts = {"second song.mp3"};
  QTest::keyClick(form.MP3ListBox, Qt::Key_F2);
  QCOMPARE(env.textQuestions, QStringList{prompt + " [b.mp3]"});
  QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "second song.mp3", "c.voc"}));
  // The selection follows the file.
  QCOMPARE(Selected(form.MP3ListBox), QStringList{"second song.mp3"});
  QCOMPARE(form.MP3ListBox->currentRow(), 1);

  // A voice file, to a name in the card's code page beyond ASCII.
  Select(form.MP3ListBox, {"c.voc"});
  env.textQuestions.clear();
  env.texts = {QString::fromUtf8("Caf\u00e9 memo.VOC")};
  QTest::keyClick(form.MP3ListBox, Qt::Key_F2);
  QCOMPARE(env.textQuestions, QStringList{prompt + " [c.voc]"});
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "second song.mp3", QString::fromUtf8("Caf\u00e9 memo.VOC")}));
  QVERIFY(env.messages.isEmpty());

  // On the card: the new names, the same bytes, the same FileIds.
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 70000)},
                            {"second song.mp3", GuiCard::Content("b.mp3", 70000)},
                            {QString::fromUtf8("Caf\u00e9 memo.VOC"), GuiCard::Content("c.voc", 70000)}}),
           QString());
  QCOMPARE(FileIds(), (QMap<QString, int>{
                          {"a.mp3", 1}, {"second song.mp3", 2}, {QString::fromUtf8("Caf\u00e9 memo.VOC"), 0x81}}));
}

void CareTest::f2CancelledOrUnchangedWritesNothing() {
  GuiCard env;
  env.StartFormattedCard();
  for (const char* name : {"a.mp3", "b.mp3"}) QVERIFY(env.Store(name, 1000));
  TMainForm form;
  QVERIFY(Activate(&form));
  form.MP3ListBox->setFocus();
  const QByteArray before = ImageBytes(env);

  // Cancelled, with or without a text typed.
  Select(form.MP3ListBox, {"a.mp3"});
  env.texts = {QString()};
  QTest::keyClick(form.MP3ListBox, Qt::Key_F2);
  QCOMPARE(env.textQuestions.size(), 1);
  // The same name again.
  env.texts = {"a.mp3"};
  QTest::keyClick(form.MP3ListBox, Qt::Key_F2);
  QCOMPARE(env.textQuestions.size(), 2);
  // Two files selected: F2 renames one file at a time, and asks nothing.
  Select(form.MP3ListBox, {"a.mp3", "b.mp3"});
  env.texts = {"c.mp3"};
  QTest::keyClick(form.MP3ListBox, Qt::Key_F2);
  QCOMPARE(env.textQuestions.size(), 2);
  // F2 elsewhere in the window does not rename a card file.
  Select(form.MP3ListBox, {"a.mp3"});
  form.SFileListBox->setFocus();
  QTest::keyClick(form.SFileListBox, Qt::Key_F2);
  QCOMPARE(env.textQuestions.size(), 2);

  QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "b.mp3"}));
  QVERIFY(ImageBytes(env) == before);
}

void CareTest::aRefusedNameSaysWhyAndChangesNothing() {
  GuiCard env;
  env.StartFormattedCard();
  for (const char* name : {"a.mp3", "b.mp3", "c.voc"}) QVERIFY(env.Store(name, 1000));
  TMainForm form;
  QVERIFY(Activate(&form));
  form.MP3ListBox->setFocus();
  const QByteArray before = ImageBytes(env);
  const QString tooLong = QString(59, 'x') + ".mp3";
  const QString polish = QString::fromUtf8("\u0142\u00f3d\u017a.mp3");
  const QList<QPair<QString, QString>> cases = {
      {"b.mp3", QString::fromStdString(CardOpText(kOpNameOnCard, "b.mp3"))},
      {"a.voc", msg::kInvalidType},
      {"a", msg::kInvalidType},
      {tooLong, QString::fromStdString(CardOpText(kOpNameTooLong, tooLong.toStdString()))},
      {"back\\slash.mp3", QString::fromStdString(CardOpText(kOpNameNotStorable, "back\\slash.mp3"))},
      {"tab\there.mp3", QString::fromStdString(CardOpText(kOpNameNotStorable, "tab\there.mp3"))},
      {polish, QString::fromStdString(CardOpText(kOpNameNotStorable, polish.toStdString()))},
  };
  const QString prompt = msg::kRenamePrompt;
  for (const auto& [typed, said] : cases) {
    Select(form.MP3ListBox, {"a.mp3"});
    env.messages.clear();
    env.textQuestions.clear();
    // The box opens again on the name as typed; here it is cancelled.
    env.texts = {typed, QString()};
    QTest::keyClick(form.MP3ListBox, Qt::Key_F2);
    QVERIFY2(!said.isEmpty(), qPrintable(typed));
    QCOMPARE(env.messages, QStringList{said});
    QCOMPARE(env.textQuestions, (QStringList{prompt + " [a.mp3]", prompt + " [" + typed + "]"}));
    QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "b.mp3", "c.voc"}));
    QCOMPARE(Selected(form.MP3ListBox), QStringList{"a.mp3"});
    QVERIFY2(ImageBytes(env) == before, qPrintable(typed));
  }
  QVERIFY(env.texts.isEmpty());
  QVERIFY(form.isVisible());

  // The name mended in the box that opened again is taken.
  env.messages.clear();
  env.texts = {"x.voc", "x.mp3"};
  QTest::keyClick(form.MP3ListBox, Qt::Key_F2);
  QCOMPARE(env.messages, QStringList{msg::kInvalidType});
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"x.mp3", "b.mp3", "c.voc"}));
}

void CareTest::altUpAndAltDownMoveTheMusicFileInThePlayOrder() {
  GuiCard env;
  env.StartFormattedCard();
  for (const char* name : {"m1.mp3", "m2.mp3", "v1.voc", "m3.mp3", "m4.mp3"}) QVERIFY(env.Store(name, 70000));
  TMainForm form;
  QVERIFY(Activate(&form));
  form.MP3ListBox->setFocus();
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"m1.mp3", "m2.mp3", "m3.mp3", "m4.mp3", "v1.voc"}));

  Select(form.MP3ListBox, {"m2.mp3"});
  QTest::keyClick(form.MP3ListBox, Qt::Key_Down, Qt::AltModifier);
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"m1.mp3", "m3.mp3", "m2.mp3", "m4.mp3", "v1.voc"}));
  QCOMPARE(Selected(form.MP3ListBox), QStringList{"m2.mp3"});
  QCOMPARE(form.MP3ListBox->currentRow(), 2);
  QCOMPARE(FileIds(), (QMap<QString, int>{{"m1.mp3", 1}, {"m3.mp3", 2}, {"m2.mp3", 3}, {"m4.mp3", 4}, {"v1.voc", 0x81}}));

  // The selection followed: the next key moves the same file on.
  QTest::keyClick(form.MP3ListBox, Qt::Key_Down, Qt::AltModifier);
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"m1.mp3", "m3.mp3", "m4.mp3", "m2.mp3", "v1.voc"}));
  for (int i = 0; i < 3; ++i) QTest::keyClick(form.MP3ListBox, Qt::Key_Up, Qt::AltModifier);
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"m2.mp3", "m1.mp3", "m3.mp3", "m4.mp3", "v1.voc"}));
  QCOMPARE(Selected(form.MP3ListBox), QStringList{"m2.mp3"});
  QCOMPARE(form.MP3ListBox->currentRow(), 0);
  QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));

  // The play order is the card's: read afresh, the files are whole and
  // numbered as the list shows them.
  QCOMPARE(FileIds(), (QMap<QString, int>{{"m2.mp3", 1}, {"m1.mp3", 2}, {"m3.mp3", 3}, {"m4.mp3", 4}, {"v1.voc", 0x81}}));
  QMap<QString, QByteArray> files;
  for (const char* name : {"m1.mp3", "m2.mp3", "v1.voc", "m3.mp3", "m4.mp3"})
    files[name] = GuiCard::Content(name, 70000);
  QCOMPARE(env.CardDiffers(files), QString());
}

void CareTest::nothingMovesAtTheEndsOrOnAVoiceFile() {
  GuiCard env;
  env.StartFormattedCard();
  for (const char* name : {"m1.mp3", "v1.voc", "m2.mp3", "v2.voc"}) QVERIFY(env.Store(name, 1000));
  TMainForm form;
  QVERIFY(Activate(&form));
  form.MP3ListBox->setFocus();
  const QStringList listed{"m1.mp3", "m2.mp3", "v1.voc", "v2.voc"};
  QCOMPARE(Lines(form.MP3ListBox), listed);
  const QByteArray before = ImageBytes(env);

  struct Case {
    QString file;
    Qt::Key key;
  };
  const QList<Case> cases = {
      {"m1.mp3", Qt::Key_Up},    // the first file
      {"m2.mp3", Qt::Key_Down},  // the last music file: a voice file follows
      {"v1.voc", Qt::Key_Up},
      {"v1.voc", Qt::Key_Down},
      {"v2.voc", Qt::Key_Up},
      {"v2.voc", Qt::Key_Down},
  };
  for (const Case& c : cases) {
    Select(form.MP3ListBox, {c.file});
    QTest::keyClick(form.MP3ListBox, c.key, Qt::AltModifier);
    QCOMPARE(Lines(form.MP3ListBox), listed);
    QCOMPARE(Selected(form.MP3ListBox), QStringList{c.file});
    QVERIFY2(ImageBytes(env) == before, qPrintable(c.file));
  }
  // Two files selected: nothing moves.
  Select(form.MP3ListBox, {"m1.mp3", "m2.mp3"});
  QTest::keyClick(form.MP3ListBox, Qt::Key_Down, Qt::AltModifier);
  QCOMPARE(Lines(form.MP3ListBox), listed);
  QVERIFY(ImageBytes(env) == before);
  QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));
  QVERIFY(env.questions.isEmpty());

  // Up and down without Alt still only move the cursor.
  Select(form.MP3ListBox, {"m2.mp3"});
  QTest::keyClick(form.MP3ListBox, Qt::Key_Up);
  QCOMPARE(Lines(form.MP3ListBox), listed);
  QVERIFY(ImageBytes(env) == before);
}

void CareTest::aCardPulledAtTheWriteEndsTheSessionAndKeepsTheFiles() {
  QMap<QString, QByteArray> files;
  for (const char* name : {"m1.mp3", "m2.mp3", "v1.voc"}) files[name] = GuiCard::Content(name, 70000);
  for (const bool rename : {true, false}) {
    GuiCard env;
    env.StartFormattedCard();
    for (const char* name : {"m1.mp3", "m2.mp3", "v1.voc"}) QVERIFY(env.Store(name, 70000));
    TMainForm form;
    QVERIFY(Activate(&form));
    form.MP3ListBox->setFocus();
    Select(form.MP3ListBox, {"m1.mp3"});
    // The card goes as the first write arrives.
    env.player->core().SetObserver([&](std::uint64_t, const player::CommandInfo& c) {
      if (c.code == kCmdWriteSectors) env.player->core().Eject();
    });
    env.texts = {"new name.mp3"};
    if (rename)
      QTest::keyClick(form.MP3ListBox, Qt::Key_F2);
    else
      QTest::keyClick(form.MP3ListBox, Qt::Key_Down, Qt::AltModifier);
    QCOMPARE(env.messages, QStringList{msg::kCardRemoved});
    QVERIFY(!form.isVisible());
    env.player->core().SetObserver(nullptr);
    env.player->core().Insert();
    QCOMPARE(env.CardDiffers(files), QString());
    QCOMPARE(FileIds(), (QMap<QString, int>{{"m1.mp3", 1}, {"m2.mp3", 2}, {"v1.voc", 0x81}}));
  }
}

void CareTest::aCardChangedMeanwhileIsReadAgainFirst() {
  GuiCard env;
  env.StartFormattedCard();
  for (const char* name : {"m1.mp3", "m2.mp3"}) QVERIFY(env.Store(name, 1000));
  TMainForm form;
  QVERIFY(Activate(&form));
  form.MP3ListBox->setFocus();
  const QString memo = QString::fromStdString(MakeVoiceName(0x81));
  for (const bool rename : {true, false}) {
    // The player records a memo behind the window's back: the list shown is
    // no longer the card's, so the key reads the card again and does nothing
    // more; the user chooses anew.
    QVERIFY(env.player->core().Record(std::vector<std::uint8_t>(1000, 0x5A)) == player::RecordResult::kOk);
    Select(form.MP3ListBox, {"m1.mp3"});
    env.messages.clear();
    env.texts = {"new name.mp3"};
    if (rename)
      QTest::keyClick(form.MP3ListBox, Qt::Key_F2);
    else
      QTest::keyClick(form.MP3ListBox, Qt::Key_Down, Qt::AltModifier);
    QCOMPARE(env.messages, QStringList{msg::kCardChanged});
    QVERIFY(env.textQuestions.isEmpty());
    QCOMPARE(Lines(form.MP3ListBox).mid(0, 2), (QStringList{"m1.mp3", "m2.mp3"}));
    QVERIFY(Lines(form.MP3ListBox).contains(memo));
  }
  QCOMPARE(FileIds().value("m1.mp3"), 1);
}


void CareTest::theMenuOpensOnARightClickAndTheMenuKey() {
  GuiCard env;
  env.StartFormattedCard();
  for (const char* name : {"a.mp3", "b.mp3", "c.voc"}) QVERIFY(env.Store(name, 1000));
  TMainForm form;
  QVERIFY(Activate(&form));
  form.MP3ListBox->setFocus();
  Select(form.MP3ListBox, {"c.voc"});
  const QPoint at = form.MP3ListBox->visualItemRect(form.MP3ListBox->item(2)).center();
  // What a right click gives the list (the offscreen platform makes none of a click).
  QContextMenuEvent click(QContextMenuEvent::Mouse, at, form.MP3ListBox->viewport()->mapToGlobal(at));
  QCoreApplication::sendEvent(form.MP3ListBox->viewport(), &click);
  QTRY_VERIFY(form.CardMenu->isVisible());
  // A voice file has no place in the play order.
  QVERIFY(form.RenameAction->isEnabled());
  QVERIFY(!form.MoveUpAction->isEnabled());
  QVERIFY(!form.MoveDownAction->isEnabled());
  // What the engine does, each entry once.
  QStringList entries;
  for (const QAction* a : form.CardMenu->actions())
    if (!a->isSeparator()) entries << a->text();
  QCOMPARE(entries, (QStringList{"Rename\tF2", "Move up\tAlt+Up", "Move down\tAlt+Down",
                                 QString::fromUtf8(msg::kMenuImport), msg::kMenuCheck,
                                 QString::fromUtf8(msg::kMenuBackup), QString::fromUtf8(msg::kMenuRestore),
                                 QString::fromUtf8(msg::kMenuSync)}));
  form.CardMenu->hide();
  QVERIFY(Activate(&form));
  form.MP3ListBox->setFocus();
  Select(form.MP3ListBox, {"a.mp3"});
  QTest::keyClick(form.MP3ListBox, Qt::Key_Menu);
  QTRY_VERIFY(form.CardMenu->isVisible());
  QVERIFY(form.MoveDownAction->isEnabled());
  form.CardMenu->hide();
  // The entries do what the keys do.
  form.MoveDownAction->trigger();
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"b.mp3", "a.mp3", "c.voc"}));
  env.texts = {"first.mp3"};
  form.RenameAction->trigger();
  QCOMPARE(env.textQuestions, QStringList{QString(msg::kRenamePrompt) + " [a.mp3]"});
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"b.mp3", "first.mp3", "c.voc"}));
  QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));
  QCOMPARE(FileIds(), (QMap<QString, int>{{"b.mp3", 1}, {"first.mp3", 2}, {"c.voc", 0x81}}));
}

void CareTest::eachMenuEntryAsksAndSaysWhatItDid() {
  struct Case {
    const char* entry;
    QStringList paths;  // relative to the test's folder
    QList<Answer> answers;
    QStringList messages;   // each message begins so
    int questions;
    QStringList cardAfter;  // the card's files afterwards
  };
  const QList<Case> cases = {
      {"check", {}, {}, {"The card is clean: 2 files."}, 0, {"a.mp3", "b.mp3"}},
      {"backup", {"card.img"}, {}, {"The card was backed up to "}, 0, {"a.mp3", "b.mp3"}},
      {"backup cancelled", {}, {}, {}, 0, {"a.mp3", "b.mp3"}},
      {"restore refused", {"old.img"}, {Answer::No}, {}, 1, {"a.mp3"}},
      {"restore", {"old.img"}, {Answer::Yes}, {"The card was restored from "}, 1, {"a.mp3", "b.mp3"}},
      {"sync", {"songs"}, {Answer::Yes}, {}, 1, {"a.mp3", "new.mp3"}},
      {"sync refused", {"songs"}, {Answer::No}, {}, 1, {"a.mp3"}},
  };
  for (const Case& c : cases) {
    GuiCard env;
    env.StartFormattedCard();
    QVERIFY(env.Store("a.mp3", 70000));
    QVERIFY(env.Store("b.mp3", 70000));
    // A backup of the card with both files, then the card with a.mp3 alone.
    const QString old = env.dir.filePath("old.img");
    QVERIFY(QFile::copy(QString::fromStdString(env.player->ImagePath()), old));
    env.WritePcFile("songs/a.mp3", 70000);
    env.WritePcFile("songs/new.mp3", 3000);
    const QString entry = c.entry;
    if (entry.startsWith("restore") || entry.startsWith("sync")) {
      QVERIFY(MountVolume() == kMountOk);
      RebuildCardList();
      QVERIFY(ReleaseCardFile(std::string("b.mp3")) == kOpOk);
      FlushVolume(FlushOrder::kReleasing);
      QVERIFY(MountVolume() == kMountOk);
    }
    TMainForm form;
    for (const QString& p : c.paths) env.paths << env.dir.filePath(p);
    env.answers = c.answers;
    QAction* action = entry.startsWith("check")     ? form.CheckAction
                      : entry.startsWith("backup")  ? form.BackupAction
                      : entry.startsWith("restore") ? form.RestoreAction
                                                    : form.SyncAction;
    action->trigger();
    QCOMPARE(env.messages.size(), c.messages.size());
    for (int i = 0; i < c.messages.size(); ++i) QVERIFY2(env.messages[i].startsWith(c.messages[i]), qPrintable(entry));
    QCOMPARE(env.questions.size(), c.questions);
    QCOMPARE(env.pathQuestions.size(), entry == "check" ? 0 : 1);
    if (entry == "backup") QVERIFY(QFileInfo(env.dir.filePath("card.img")).size() > 0);
    QStringList listed = Lines(form.MP3ListBox);
    listed.sort();
    QCOMPARE(listed, c.cardAfter);
  }
}

namespace {

// Files under `folder` as "day/name", its import record left out.
QStringList FilesUnder(const QString& folder) {
  QStringList found;
  QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString rel = QDir(folder).relativeFilePath(it.next());
    if (rel != ".zk27-imports") found << rel;
  }
  found.sort();
  return found;
}

}  // namespace

// The dialog starts from the settings (the defaults first), its choices are
// kept there for the command line, the recording lands in its dated folder,
// and with "Free after import" it leaves the card's list; a cancelled
// dialog does nothing.
void CareTest::theImportEntryBringsRecordingsHomeAndKeepsTheChoices() {
  struct Case {
    const char* name;
    bool answered;
    bool free;
    QStringList cardAfter;
  };
  const QList<Case> cases = {
      {"import", true, false, {"250704001.voc", "a.mp3"}},
      {"import and free", true, true, {"a.mp3"}},
      {"cancelled", false, false, {"250704001.voc", "a.mp3"}},
  };
  for (const Case& c : cases) {
    GuiCard env;
    env.StartFormattedCard();
    QVERIFY(env.Store("a.mp3", 3000));
    QVERIFY(env.Store("250704001.voc", 20000));
    TMainForm form;
    const QString memos = env.dir.filePath("memos");
    if (c.answered) env.imports << ImportChoices{memos.toStdString(), "flac", c.free};
    form.ImportAction->trigger();
    QCOMPARE(env.importQuestions, QStringList{env.dir.filePath("home/Memos") + " wav keep"});
    QStringList listed = Lines(form.MP3ListBox);
    listed.sort();
    QCOMPARE(listed, c.cardAfter);
    if (!c.answered) {
      QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));
      QVERIFY(!QFileInfo::exists(memos));
      QVERIFY(!QFileInfo::exists(QString::fromStdString(ImportSettingsPath())));
      continue;
    }
    QCOMPARE(FilesUnder(memos), QStringList{"2025-07-04/250704001.flac"});
    QCOMPARE(env.messages.size(), 1);
    QVERIFY2(env.messages[0].startsWith("1 recording imported ("), qPrintable(env.messages[0]));
    QCOMPARE(env.messages[0].endsWith(", 1 freed from the card (20.0 kB)"), c.free);
    // The command line reads what the dialog chose; the next dialog starts there.
    ImportOptions kept;
    ImportSettingsProblem problem;
    QVERIFY(ReadImportSettings(ImportSettingsPath(), &kept, &problem));
    QCOMPARE(QString::fromStdString(kept.folder), memos);
    QVERIFY(kept.format == VoiceOutput::Format::kFlac);
    QCOMPARE(kept.free, c.free);
    form.ImportAction->trigger();
    QCOMPARE(env.importQuestions.size(), 2);
    QCOMPARE(env.importQuestions[1], memos + (c.free ? " flac free" : " flac keep"));
    QCOMPARE(env.messages.size(), 1);
  }
}

// The program's own import dialog, as the user meets it: the browse button
// asks through the file dialog hook, OK gives the choices; Escape gives
// nothing and leaves the choices as they were.
void CareTest::theImportDialogChoosesThroughItsBrowseButtonOrNothing() {
  GuiCard env;
  const FrontEndHooks real = GuiHooks();
  env.paths << env.dir.filePath("chosen");
  ImportChoices choices{"/m", "wav", false};
  QTimer::singleShot(0, [] {
    QWidget* box = QApplication::activeModalWidget();
    QVERIFY(box);
    for (QPushButton* b : box->findChildren<QPushButton*>())
      if (b->text() == QString::fromUtf8(msg::kImportBrowse)) b->click();
    box->findChild<QComboBox*>()->setCurrentText("ogg");
    box->findChild<QCheckBox*>()->setChecked(true);
    box->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  QVERIFY(real.askImport(msg::kImportCaption, &choices));
  QCOMPARE(env.pathQuestions, QStringList{msg::kImportCaption});
  QCOMPARE(QString::fromStdString(choices.folder), env.dir.filePath("chosen"));
  QCOMPARE(QString::fromStdString(choices.format), QString("ogg"));
  QVERIFY(choices.free);
  QTimer::singleShot(0, [] {
    QWidget* box = QApplication::activeModalWidget();
    QVERIFY(box);
    box->findChild<QComboBox*>()->setCurrentText("flac");
    QTest::keyClick(box, Qt::Key_Escape);
  });
  QVERIFY(!real.askImport(msg::kImportCaption, &choices));
  QCOMPARE(QString::fromStdString(choices.format), QString("ogg"));
}

void CareTest::screenshotOfTheMenu() {
  const QString out = qEnvironmentVariable("ZK27_SCREENSHOT_DIR");
  if (out.isEmpty()) QSKIP("ZK27_SCREENSHOT_DIR is not set");
  GuiCard env;
  env.StartFormattedCard(64 * 2048);
  for (const char* name : {"Morning walk.mp3", "Interview.mp3", "Shopping list.voc"}) QVERIFY(env.Store(name, 300000));
  MountVolume();
  // The PC side shows a folder of the picture's own, not the test's.
  QDir demo(QDir::temp().filePath("zk27-demo/Memos"));
  QVERIFY(demo.removeRecursively() || !demo.exists());
  QVERIFY(QDir().mkpath(demo.path()));
  TMainForm form;
  form.SDriveComboBox->SetUpperCaseDisplay();
  QVERIFY(form.SDirectoryListBox->SetDirectory(demo.path()));
  QVERIFY(Activate(&form));
  Select(form.MP3ListBox, {"Interview.mp3"});
  const QPoint at = form.MP3ListBox->visualItemRect(form.MP3ListBox->item(1)).center();
  QContextMenuEvent click(QContextMenuEvent::Mouse, at, form.MP3ListBox->viewport()->mapToGlobal(at));
  QCoreApplication::sendEvent(form.MP3ListBox->viewport(), &click);
  QTRY_VERIFY(form.CardMenu->isVisible());
  // The menu is a window of its own: drawn onto the main window where it opened.
  QPixmap shot = form.grab();
  QPainter painter(&shot);
  painter.drawPixmap(form.mapFromGlobal(form.CardMenu->pos()), form.CardMenu->grab());
  painter.end();
  QVERIFY(shot.save(QDir(out).filePath("context-menu.png")));
  form.CardMenu->hide();
  demo.removeRecursively();
}

QTEST_MAIN(CareTest)
#include "gui_care_test.moc"
