// Shared set-up of the desktop program's tests: the virtual player in this
// process on a card image in a temporary folder, the program's own hooks with
// every dialog answered from a script, and a private configuration folder.
#pragma once

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QListWidget>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>

#include "cardops.h"
#include "fs.h"
#include "hooks.h"
#include "in_process_player.h"
#include "player_test_support.h"
#include "startup.h"
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
    FrontEndHooks h = GuiHooks();
    h.showMessage = [this](const std::string& text) { messages << QString::fromStdString(text); };
    h.askYesNo = [this](const std::string&, const std::string& text, bool warning) {
      questions << QString::fromStdString(text) + (warning ? " [warning]" : "");
      return answers.isEmpty() ? Answer::Closed : answers.takeFirst();
    };
    h.setBusyCursor = nullptr;
    InstallHooks(h);
  }
  ~GuiCard() { InstallHooks({}); }

  // A blank card of `sectors` sectors in the player, installed.
  player::InProcessPlayer& StartPlayer(std::uint32_t sectors = 4096) {
    player.reset();
    const std::string image = dir.filePath("card.img").toStdString();
    QFile::remove(QString::fromStdString(image));
    player_test::MakeBlankImage(image, sectors);
    player = std::make_unique<player::InProcessPlayer>(image);
    player->Install();
    return *player;
  }
  // The player's empty volume, mounted.
  void StartFormattedCard(std::uint32_t sectors = 4096) {
    StartPlayer(sectors);
    player_test::FormatImage(player->ImagePath(), sectors);
    MountVolume();
  }
  // Sends a PC file of `size` bytes to the card with the engine.
  bool Store(const QString& name, qint64 size) {
    const QString path = WritePcFile("store/" + name, size);
    return SendFileToCard(path.toStdString(), name.toStdString(), nullptr) == kOpOk;
  }
  // A PC file of `size` bytes under the temporary folder; returns its path.
  QString WritePcFile(const QString& relative, qint64 size) {
    const QString path = dir.filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(QByteArray(size, 'x'));
    return path;
  }
  QString SettingsPath() const { return dir.filePath("config/zk27/ZK27dir.ini"); }

  QTemporaryDir dir;
  std::unique_ptr<player::InProcessPlayer> player;
  QStringList messages;
  QStringList questions;
  QList<Answer> answers;
};
