// Shared set-up of the desktop program's tests: the virtual player in this
// process on a card image in a temporary folder, the program's own hooks with
// every dialog answered from a script, and a private configuration folder.
#pragma once

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QMap>
#include <QListWidget>
#include <QProgressBar>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <string>

#include "cardops.h"
#include "fs.h"
#include "hooks.h"
#include "in_process_player.h"
#include "startup.h"
#include "support/card_image.h"
#include "support/files.h"
#include "tform1.h"
#include "text.h"
#include "usbfunc.h"

// The lines of a list, top to bottom.
inline QStringList Lines(const QListWidget* list) {
  QStringList lines;
  for (int i = 0; i < list->count(); ++i) lines << list->item(i)->text();
  return lines;
}

class GuiCard {
 public:
  GuiCard() {
    qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
    qputenv("HOME", dir.filePath("home").toUtf8());
    QDir().mkpath(dir.filePath("home"));
    // No daemon of the user's may answer in place of the player in this process.
    qputenv("ZK27_PLAYER_SOCKET", dir.filePath("no-player.sock").toUtf8());
    // The in-process player's lock file goes to a runtime folder of the test's.
    const QString run = dir.filePath("run");
    QDir().mkpath(run);
    QFile::setPermissions(run, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", run.toUtf8());
    FrontEndHooks h = GuiHooks();
    h.showMessage = [this](const std::string& text) { messages << QString::fromStdString(text); };
    h.askYesNo = [this](const std::string&, const std::string& text, bool warning) {
      questions << QString::fromStdString(text) + (warning ? " [warning]" : "");
      return answers.isEmpty() ? Answer::Closed : answers.takeFirst();
    };
    // A line to type: the question and the line it starts with are kept;
    // the answer is the next scripted text, a null one (or none left)
    // cancelling.
    h.askText = [this](const std::string&, const std::string& text, std::string* value) {
      textQuestions << QString::fromStdString(text) + " [" + QString::fromStdString(*value) + "]";
      if (texts.isEmpty()) return false;
      const QString typed = texts.takeFirst();
      if (typed.isNull()) return false;
      *value = typed.toStdString();
      return true;
    };
    // A file dialog: the caption is kept; the answer is the next scripted
    // path, none left cancelling.
    h.askPath = [this](PathKind, const std::string& caption, std::string* path) {
      pathQuestions << QString::fromStdString(caption);
      if (paths.isEmpty()) return false;
      *path = paths.takeFirst().toStdString();
      return true;
    };
    // The import's dialog: what it started with is kept as "folder format
    // free"; the answer is the next scripted choice, none left cancelling.
    h.askImport = [this](const std::string&, ImportChoices* choices) {
      importQuestions << QString::fromStdString(choices->folder + " " + choices->format) +
                             (choices->free ? " free" : " keep");
      if (imports.isEmpty()) return false;
      *choices = imports.takeFirst();
      return true;
    };
    h.setBusyCursor = [this](bool busy) { busyDepth += busy ? 1 : -1; };
    // The program's waits pass at once; what the progress window said while
    // it waited is kept.
    h.wait = [this](std::uint32_t ms) {
      waits << QString::number(ms) + ":" + (form1 ? form1->StaticText1->text() : QString());
      QCoreApplication::processEvents();
    };
    InstallHooks(h);
  }
  ~GuiCard() { InstallHooks({}); }

  // A blank card of `sectors` sectors in the player, installed.
  player::InProcessPlayer& StartPlayer(std::uint32_t sectors = 4096) {
    player.reset();
    const std::string image = dir.filePath("card.img").toStdString();
    QFile::remove(QString::fromStdString(image));
    zk27_test::MakeBlankImage(image, sectors);
    player = std::make_unique<player::InProcessPlayer>(image);
    player->Install();
    return *player;
  }
  // The player's empty volume, mounted.
  void StartFormattedCard(std::uint32_t sectors = 4096) {
    StartPlayer(sectors);
    zk27_test::FormatImage(player->ImagePath(), sectors);
    MountVolume();
  }
  // Sends a PC file of `size` bytes to the card with the engine.
  bool Store(const QString& name, qint64 size) {
    const QString path = WritePcFile("store/" + name, size);
    return SendFileToCard(path.toStdString(), name.toStdString(), nullptr) == kOpOk;
  }
  // A PC file of `size` bytes under the temporary folder, its bytes drawn
  // from its name (Content); returns its path.
  QString WritePcFile(const QString& relative, qint64 size) {
    const QString path = dir.filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(Content(QFileInfo(path).fileName(), size));
    return path;
  }
  // Bytes that differ from file to file and from cluster to cluster, drawn
  // from the file's name.
  static QByteArray Content(const QString& name, qint64 size) {
    std::uint32_t seed = 2166136261u;
    for (QChar c : name) seed = (seed ^ c.unicode()) * 16777619u;
    const zk27_test::Bytes bytes = zk27_test::Content(static_cast<std::size_t>(size), seed);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
  }
  // Mounts the card again as a new session would and compares its files
  // with `expected` (PC name to bytes): the same names, each byte for byte.
  // Returns what differs, or an empty text.
  QString CardDiffers(const QMap<QString, QByteArray>& expected) {
    if (MountVolume() != kMountOk) return "the card cannot be mounted";
    QStringList listed;
    for (const std::string& line : RebuildCardList()) listed << QString::fromStdString(PcNameFromCard(line));
    listed.sort();
    if (listed != QStringList(expected.keys())) return "the card lists " + listed.join(", ");
    QTemporaryDir fetched;
    for (auto it = expected.begin(); it != expected.end(); ++it) {
      std::string card, pcName;
      CardNameFromPc(it.key().toStdString(), &card);
      const std::int32_t r = FindCardFile(card);
      if (r <= 0 || FetchCardFileTo(r, fetched.path().toStdString(), nullptr, &pcName) != kOpOk)
        return it.key() + " cannot be fetched";
      QFile f(fetched.filePath(QString::fromStdString(pcName)));
      if (!f.open(QIODevice::ReadOnly) || f.readAll() != it.value()) return it.key() + " differs";
    }
    return {};
  }
  QString SettingsPath() const { return dir.filePath("config/zk27/ZK27dir.ini"); }

  QTemporaryDir dir;
  std::unique_ptr<player::InProcessPlayer> player;
  QStringList messages;
  QStringList questions;
  QList<Answer> answers;
  QStringList textQuestions;  // "question [the line it started with]"
  QStringList texts;          // typed answers; a null QString cancels
  QStringList pathQuestions;  // the file dialogs' captions
  QStringList paths;          // chosen paths; none left cancels
  QStringList importQuestions;  // "folder format free|keep" the import's dialog started with
  QList<ImportChoices> imports; // its answers; none left cancels
  QStringList waits;  // "milliseconds:StaticText1"
  int busyDepth = 0;  // hourglasses set and not yet taken back
};

// The progress window's percentages as they are shown; `onPercent` may act
// at a chosen point of the data.
class PercentSpy : public QObject {
 public:
  PercentSpy() { qApp->installEventFilter(this); }
  ~PercentSpy() override { qApp->removeEventFilter(this); }
  QList<int> percents;
  std::function<void(int)> onPercent;

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Show)
      if (auto* w = qobject_cast<Tform1*>(o))
        connect(w->ProgressBar1, &QProgressBar::valueChanged, this, [this](int v) {
          percents << v;
          if (onPercent) onPercent(v);
        });
    return false;
  }
};
