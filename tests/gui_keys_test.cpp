// The window's keys and drops against the virtual player in this process:
// Delete on the card list, F5, Ctrl+Q, PC files dropped from a file manager,
// and the signals that end the program as its close box does.
#include <QDropEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QTimer>
#include <QUrl>
#include <csignal>
#include <unistd.h>

#include "cardops.h"
#include "endsignals.h"
#include "mainform.h"
#include "messages.h"
#include "passes.h"
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

// Keys reach a window's shortcuts only while it is the active window, as on
// a desktop.
bool Activate(QWidget* window) {
  window->activateWindow();
  return QTest::qWaitForWindowActive(window);
}

QMimeData* UriList(const QStringList& paths) {
  auto* data = new QMimeData;
  QList<QUrl> urls;
  for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
  data->setUrls(urls);
  return data;
}

// What a file manager's drag does over the card list: it enters, moves, and
// is dropped. Returns whether the list took it, and with which action.
struct DropResult {
  bool entered = false;
  bool dropped = false;
  Qt::DropAction action = Qt::IgnoreAction;
};
DropResult DropOn(QListWidget* list, const QMimeData* data, Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction) {
  DropResult r;
  QWidget* target = list->viewport();
  const QPoint at = target->rect().center();
  QDragEnterEvent enter(at, offered, data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &enter);
  r.entered = enter.isAccepted();
  if (!r.entered) return r;
  QDragMoveEvent move(at, offered, data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &move);
  QDropEvent drop(QPointF(at), offered, data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &drop);
  r.dropped = drop.isAccepted();
  r.action = drop.dropAction();
  return r;
}

// Counts the close events a window gets: the close box sends one, and so
// does everything that closes the window as the close box does.
class CloseCounter : public QObject {
 public:
  explicit CloseCounter(QWidget* window) { window->installEventFilter(this); }
  int closes = 0;

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Close) ++closes;
    return false;
  }
};

// The handler `sig` has now.
void (*Handler(int sig))(int) {
  struct sigaction now {};
  ::sigaction(sig, nullptr, &now);
  return now.sa_handler;
}
void (*TermHandler())(int) { return Handler(SIGTERM); }

}  // namespace

class KeysTest : public QObject {
  Q_OBJECT
 private slots:
  // A stop asked for by a failed case must not stop the next one's transfer.
  void init() { ClearStopRequest(); }
  void deleteKeyOnTheCardListIsTheDeleteButton();
  void f5ReadsBothSidesAgain();
  void f5WaitsForTheActionUnderWay();
  void ctrlQClosesTheWindowAsItsCloseBox();
  void filesDroppedOnTheCardListAreSentAsDownloadSends();
  void whatIsNotALocalFileIsNotTaken();
  void sigtermClosesTheWindowAsItsCloseBox();
  void aSignalStopsATransferAtTheNextCluster();
  void aSignalClosesAQuestionWithoutAnAnswer();
  void keyboardFocusIsVisible();
};

void KeysTest::deleteKeyOnTheCardListIsTheDeleteButton() {
  GuiCard env;
  env.StartFormattedCard();
  for (const char* name : {"a.mp3", "b.mp3", "c.voc"}) QVERIFY(env.Store(name, 70000));
  TMainForm form;
  QVERIFY(Activate(&form));
  form.MP3ListBox->setFocus();
  const QString one = QString(msg::kConfirmDeleteOne) + "\r\n";

  // No: the question names the one file, and nothing goes.
  Select(form.MP3ListBox, {"b.mp3"});
  env.messages.clear();
  env.answers = {Answer::No};
  QTest::keyClick(form.MP3ListBox, Qt::Key_Delete);
  QCOMPARE(env.questions, QStringList{one + "b.mp3"});
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "b.mp3", "c.voc"}));

  // Yes: the file leaves the card, as with the button.
  env.questions.clear();
  env.answers = {Answer::Yes};
  QTest::keyClick(form.MP3ListBox, Qt::Key_Delete);
  QCOMPARE(env.questions, QStringList{one + "b.mp3"});
  QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "c.voc"}));
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 70000)}, {"c.voc", GuiCard::Content("c.voc", 70000)}}),
           QString());

  // Several files: the question is the button's, unchanged.
  Select(form.MP3ListBox, {"a.mp3", "c.voc"});
  env.questions.clear();
  env.answers = {Answer::No};
  QTest::keyClick(form.MP3ListBox, Qt::Key_Delete);
  QCOMPARE(env.questions, QStringList{QString::fromStdString(msg::ConfirmDeleteMany(2))});
  QCOMPARE(form.MP3ListBox->count(), 2);

  // Delete elsewhere in the window does not touch the card.
  env.questions.clear();
  env.WritePcFile("pc/x.mp3", 10);
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  form.SFileListBox->selectAll();
  form.SFileListBox->setFocus();
  env.answers = {Answer::Yes};
  QTest::keyClick(form.SFileListBox, Qt::Key_Delete);
  QVERIFY(env.questions.isEmpty());
  QCOMPARE(form.MP3ListBox->count(), 2);
  QVERIFY(QFile::exists(env.dir.filePath("pc/x.mp3")));
}

void KeysTest::f5ReadsBothSidesAgain() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("song.mp3", 70000));
  env.WritePcFile("pc/a.mp3", 10);
  QVERIFY(QDir().mkpath(env.dir.filePath("pc/gone/deeper")));
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  QVERIFY(Activate(&form));

  // Made behind the window's back: a PC file, a PC folder, and a memo the
  // player records.
  env.WritePcFile("pc/new.mp3", 10);
  QVERIFY(QDir().mkpath(env.dir.filePath("pc/made")));
  QVERIFY(env.player->core().Record(std::vector<std::uint8_t>(100000, 0x5A)) == player::RecordResult::kOk);
  QCOMPARE(Lines(form.SFileListBox), QStringList{"a.mp3"});
  QCOMPARE(Lines(form.MP3ListBox), QStringList{"song.mp3"});
  QVERIFY(!Lines(form.SDirectoryListBox).contains("made"));

  env.messages.clear();
  QTest::keyClick(&form, Qt::Key_F5);
  QCOMPARE(Lines(form.SFileListBox), (QStringList{"a.mp3", "new.mp3"}));
  QVERIFY(Lines(form.SDirectoryListBox).contains("made"));
  QCOMPARE(form.SDirectoryListBox->Directory(), QDir::cleanPath(env.dir.filePath("pc")));
  const QString memo = QString::fromStdString(MakeVoiceName(0x81));
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"song.mp3", memo}));
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 2"));
  QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));
  QVERIFY(env.questions.isEmpty());
  QVERIFY(form.isVisible());

  // The folder shown went meanwhile: the nearest one above it is shown.
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc/gone/deeper")));
  QVERIFY(QDir(env.dir.filePath("pc/gone")).removeRecursively());
  QTest::keyClick(&form, Qt::Key_F5);
  QCOMPARE(form.SDirectoryListBox->Directory(), QDir::cleanPath(env.dir.filePath("pc")));
  QCOMPARE(Lines(form.SFileListBox), (QStringList{"a.mp3", "new.mp3"}));
  QVERIFY(env.messages.isEmpty());

  // A card pulled since: F5 finds it gone, says so and ends, as any action.
  env.player->core().Eject();
  QTest::keyClick(&form, Qt::Key_F5);
  QCOMPARE(env.messages, QStringList{msg::kStateNoCard});
  QVERIFY(!form.isVisible());
}

// F5 in the middle of a download (the window handles events while the files
// go) would read the card under the pass's feet; it is ignored there.
void KeysTest::f5WaitsForTheActionUnderWay() {
  GuiCard env;
  env.StartFormattedCard();
  env.WritePcFile("pc/a.mp3", 4 * 65536);
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  form.SFileListBox->selectAll();
  bool reread = true;
  PercentSpy spy;
  spy.onPercent = [&](int p) {
    if (p != 50) return;
    env.WritePcFile("pc/new.mp3", 10);
    QTest::keyClick(&form, Qt::Key_F5);
    form.RereadBothSides();
    reread = Lines(form.SFileListBox).contains("new.mp3");
  };
  QVERIFY(Activate(&form));
  form.DownBitBtnClick();
  QVERIFY(!reread);
  QCOMPARE(env.waits, QStringList{"2001:1 file downloaded"});
  QVERIFY(env.messages.isEmpty());
  // Once the download is over, F5 works again.
  QVERIFY(Activate(&form));
  QTest::keyClick(&form, Qt::Key_F5);
  QCOMPARE(Lines(form.SFileListBox), (QStringList{"a.mp3", "new.mp3"}));
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 4 * 65536)}}), QString());
}

void KeysTest::ctrlQClosesTheWindowAsItsCloseBox() {
  GuiCard env;
  env.StartFormattedCard();
  TMainForm form;
  QVERIFY(Activate(&form));
  CloseCounter counter(&form);
  QTest::keyClick(&form, Qt::Key_Q, Qt::ControlModifier);
  QVERIFY(!form.isVisible());
  QCOMPARE(counter.closes, 1);
  // The program ends on it, as on the close box.
  QVERIFY(form.testAttribute(Qt::WA_QuitOnClose));
  QVERIFY(env.messages.isEmpty() && env.questions.isEmpty());
}

void KeysTest::filesDroppedOnTheCardListAreSentAsDownloadSends() {
  GuiCard env;
  env.StartFormattedCard();
  const QString a = env.WritePcFile("desk/a.mp3", 2 * 65536);
  const QString b = env.WritePcFile("desk/b.voc", 100);
  const QString unstorable = env.WritePcFile("desk/b\u0416.mp3", 100);  // outside the card's code page
  const QString notes = env.WritePcFile("desk/notes.txt", 100);
  TMainForm form;
  PercentSpy spy;

  // Dropped from a file manager offering copy or move: taken as a copy, so
  // the PC files stay where they are.
  std::unique_ptr<QMimeData> data(UriList({a, b}));
  const DropResult r = DropOn(form.MP3ListBox, data.get());
  QVERIFY(r.entered && r.dropped);
  QCOMPARE(r.action, Qt::CopyAction);
  // The file manager has its answer before the files go.
  QVERIFY(env.waits.isEmpty());
  QTRY_COMPARE(env.waits, QStringList{"2001:2 files downloaded"});
  QVERIFY2(env.messages.isEmpty(), qPrintable(env.messages.join("|")));
  QCOMPARE(spy.percents, (QList<int>{50, 100}));  // b.voc's one cluster: still 100
  QVERIFY(form1 == nullptr && form.isEnabled());
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "b.voc"}));
  QCOMPARE(form.StatusBar->PanelText(2), QString("Total Files: 2"));
  QVERIFY(QFile::exists(a) && QFile::exists(b));
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 2 * 65536)},
                            {"b.voc", GuiCard::Content("b.voc", 100)}}),
           QString());

  // A file the card does not take: the same message as Download gives.
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("desk")));
  Select(form.SFileListBox, {"b\u0416.mp3"});
  env.messages.clear();
  env.waits.clear();
  form.DownBitBtnClick();
  const QStringList byDownload = env.messages;
  const QStringList downloadWaits = env.waits;
  QCOMPARE(byDownload, QStringList{QString::fromStdString(CardOpText(kOpNameNotStorable, "b\xD0\x96.mp3"))});
  env.messages.clear();
  env.waits.clear();
  data.reset(UriList({unstorable}));
  QVERIFY(DropOn(form.MP3ListBox, data.get()).dropped);
  QTRY_COMPARE(env.waits, downloadWaits);
  QCOMPARE(env.messages, byDownload);
  env.messages.clear();
  env.waits.clear();
  data.reset(UriList({notes}));
  QVERIFY(DropOn(form.MP3ListBox, data.get()).dropped);
  QTRY_COMPARE(env.waits, QStringList{"2001:0 file downloaded"});
  QCOMPARE(env.messages, QStringList{msg::kInvalidType});
  QCOMPARE(Lines(form.MP3ListBox), (QStringList{"a.mp3", "b.voc"}));
}

void KeysTest::whatIsNotALocalFileIsNotTaken() {
  GuiCard env;
  env.StartFormattedCard();
  const QString a = env.WritePcFile("desk/a.mp3", 100);
  TMainForm form;

  QMimeData text;
  text.setText(a);
  QVERIFY(!DropOn(form.MP3ListBox, &text).entered);
  QMimeData remote;
  remote.setUrls({QUrl("https://example.org/a.mp3")});
  QVERIFY(!DropOn(form.MP3ListBox, &remote).entered);
  // A drag that can only move the file is refused: the card takes copies.
  std::unique_ptr<QMimeData> data(UriList({a}));
  QVERIFY(!DropOn(form.MP3ListBox, data.get(), Qt::MoveAction).entered);
  QTest::qWait(50);
  QVERIFY(env.waits.isEmpty() && env.messages.isEmpty());
  QCOMPARE(form.MP3ListBox->count(), 0);
  QVERIFY(QFile::exists(a));
}

void KeysTest::sigtermClosesTheWindowAsItsCloseBox() {
  GuiCard env;
  env.StartFormattedCard();
  const auto before = TermHandler();
  {
    TMainForm form;
    TerminationWatch watch([&form] { EndAsAsked(&form); });
    QVERIFY(TermHandler() != before);
    CloseCounter counter(&form);
    QVERIFY(::kill(::getpid(), SIGTERM) == 0);
    QTRY_VERIFY(!form.isVisible());
    QVERIFY(watch.Signalled());
    QCOMPARE(counter.closes, 1);
    QVERIFY(env.messages.isEmpty() && env.questions.isEmpty());
    ClearStopRequest();
  }
  // The window's destruction wrote the settings file, as after the close box.
  QVERIFY(QFile::exists(env.SettingsPath()));
  QVERIFY(TermHandler() == before);

  // Started as a shell's background job, with SIGINT ignored: it stays so.
  const auto intBefore = Handler(SIGINT);
  ::signal(SIGINT, SIG_IGN);
  {
    TerminationWatch watch([] { EndAsAsked(nullptr); });
    QVERIFY(Handler(SIGINT) == SIG_IGN);
    QVERIFY(Handler(SIGTERM) != before);
  }
  ::signal(SIGINT, intBefore);
}

// A signal during a download stops it at the next cluster, as the user's
// Yes to the stop question does, and closes the window: the file in flight
// is not kept, the one before it is.
void KeysTest::aSignalStopsATransferAtTheNextCluster() {
  GuiCard env;
  env.StartFormattedCard();
  env.WritePcFile("pc/a.mp3", 65536);
  env.WritePcFile("pc/b.mp3", 8 * 65536);
  TMainForm form;
  TerminationWatch watch([&form] { EndAsAsked(&form); });
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  form.SFileListBox->selectAll();
  PercentSpy spy;
  spy.onPercent = [&](int p) {
    if (p == 25) ::kill(::getpid(), SIGINT);
  };
  form.DownBitBtnClick();
  QVERIFY(watch.Signalled());
  QVERIFY(!form.isVisible());
  QVERIFY2(env.messages.isEmpty() && env.questions.isEmpty(), qPrintable(env.messages.join("|")));
  // b.mp3 moves one cluster more after the signal, and no further.
  QCOMPARE(spy.percents, (QList<int>{100, 12, 25, 38}));
  QCOMPARE(env.waits, QStringList{"2001:1 file downloaded"});
  QVERIFY(form1 == nullptr);
  QVERIFY(!StopRequested());  // the action's end forgot it
  QCOMPARE(env.CardDiffers({{"a.mp3", GuiCard::Content("a.mp3", 65536)}}), QString());
}

void KeysTest::aSignalClosesAQuestionWithoutAnAnswer() {
  // The program's own question box, as the user would meet it.
  const FrontEndHooks real = GuiHooks();
  TerminationWatch watch([] { EndAsAsked(nullptr); });
  QTimer::singleShot(100, [] { ::kill(::getpid(), SIGTERM); });
  QCOMPARE(real.askYesNo("", "Do you really want to format this CF card??", false), Answer::Closed);
  QVERIFY(watch.Signalled());
  QVERIFY(StopRequested());
  ClearStopRequest();
  QTimer::singleShot(100, [] { ::kill(::getpid(), SIGINT); });
  real.showMessage("Fomatting completed");  // returns: the box was closed
  ClearStopRequest();
}

// Whatever has the keyboard focus looks different from when it has not: the
// lists (empty or not) and the buttons, on the style this platform draws.
void KeysTest::keyboardFocusIsVisible() {
  GuiCard env;
  env.StartFormattedCard();
  QVERIFY(env.Store("a.mp3", 100));
  env.WritePcFile("pc/x.mp3", 10);
  QVERIFY(QDir().mkpath(env.dir.filePath("empty")));
  TMainForm form;
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("pc")));
  QVERIFY(Activate(&form));
  auto check = [&](QWidget* w, const QString& what) {
    w->setFocus(Qt::TabFocusReason);
    QVERIFY2(w->hasFocus(), qPrintable(what));
    const QImage focused = w->grab().toImage();
    (form.WavBitBtn == w ? form.DelBitBtn : form.WavBitBtn)->setFocus(Qt::TabFocusReason);
    const QImage unfocused = w->grab().toImage();
    QVERIFY2(focused != unfocused, qPrintable(what + " looks the same with and without the focus"));
  };
  for (QWidget* w : std::initializer_list<QWidget*>{form.FilterComboBox1, form.SDriveComboBox, form.SDirectoryListBox,
                                                     form.SFileListBox, form.MP3ListBox, form.DelBitBtn,
                                                     form.FMBitBtn, form.WavBitBtn})
    check(w, w->objectName());
  // Lists with nothing in them.
  QVERIFY(form.SDirectoryListBox->SetDirectory(env.dir.filePath("empty")));
  check(form.SFileListBox, "empty SFileListBox");
  form.MP3ListBox->clear();
  check(form.MP3ListBox, "empty MP3ListBox");
}

QTEST_MAIN(KeysTest)
#include "gui_keys_test.moc"
