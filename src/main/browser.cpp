#include "browser.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QStandardPaths>

#include "mainform.h"
#include "pcside.h"
#include "cardops.h"
#include "hooks.h"
#include "messages.h"
#include "text.h"

namespace {

int Drive(QChar letter) { return DriveNumber(static_cast<char>(letter.toLatin1())); }
void Say(const QString& text) { ShowMessage(text.toStdString()); }

}  // namespace

TPcBrowser::TPcBrowser(const Window& window, QObject* parent) : QObject(parent), w_(window) { Connect(); }

void TPcBrowser::Connect() {
  connect(w_.filter, &QComboBox::currentIndexChanged, this,
          [this] { w_.files->SetMask(w_.filter->currentData().toString()); });
  connect(w_.drives, &TDriveComboBox::Entered, this, &TPcBrowser::SDriveComboBoxEnter);
  connect(w_.drives, &TDriveComboBox::Picked, this, &TPcBrowser::SDriveComboBoxClick);
  // The directory list follows the drive first, then the browser hears of it.
  connect(w_.drives, &TDriveComboBox::DriveChanged, this, [this] {
    w_.folders->SetDrive(w_.drives->Drive());
    SDriveComboBoxChange();
  });
  connect(w_.folders, &QListWidget::itemClicked, this, &TPcBrowser::SDirectoryListBoxClick);
  connect(w_.folders, &TDirectoryListBox::DirectoryChanged, this, [this] {
    w_.files->SetDirectory(w_.folders->Directory());
    SDirectoryListBoxChange();
  });
  connect(w_.folders, &TDirectoryListBox::EnterPressed, this, &TPcBrowser::SDirectoryListBoxKeyDown);
  connect(w_.folders, &TDirectoryListBox::Opening, this, &TPcBrowser::SDirectorylistBoxDblClick);
  // Refills block the lists' signals, so these are the user's clicks only.
  OnEveryClick(w_.files, [this] { SFileListBoxClick(); });
  connect(w_.files, &TFileListBox::MouseUp, this, &TPcBrowser::SFileListBoxMouseUp);
}

// ---- the settings file ----------------------------------------------------------

void TPcBrowser::LoadBrowserSettings() {
  WindowsDir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/zk27";
  if (!WindowsDir.endsWith('/')) WindowsDir += '/';

  // The first run, and a file too short to hold both lines, open the home folder.
  LastDrive = 'c';
  LastDir = QDir::homePath();
  QFile file(SettingsFile());
  if (file.open(QIODevice::ReadOnly)) {
    QString text = QString::fromUtf8(file.readAll());
    text.replace("\r\n", "\n").replace('\r', '\n');
    const QStringList lines = text.split('\n');
    if (lines.size() >= 2 && !lines[0].isEmpty() && !lines[1].isEmpty()) {
      LastDrive = lines[0].front();
      LastDir = lines[1];
    }
  }
  if (LastDrive.toUpper() != DriveOfPath(LastDir)) {
    LastDrive = 'C';
    LastDir = DriveRoot('C');
  }
  DriveDirs[Drive(LastDrive)] = LastDir;
  const bool shown = w_.folders->SetDirectory(LastDir);
  if (!shown || DriveRoot(LastDrive).isEmpty()) {
    FallBackToDriveC();
    return;
  }
  w_.drives->SetDrive(LastDrive);
}

void TPcBrowser::FallBackToDriveC() {
  LastDrive = 'C';
  LastDir = DriveRoot('C');
  w_.folders->SetDirectory(LastDir);
  w_.drives->SetDrive('C');
}

void TPcBrowser::SaveBrowserSettings() {
  if (WindowsDir.isEmpty()) return;
  QDir().mkpath(WindowsDir);
  // Written whole or not at all: a full disk never leaves half a file.
  QSaveFile file(SettingsFile());
  if (!file.open(QIODevice::WriteOnly)) return;
  file.write((QString(LastDrive) + "\r\n" + LastDir + "\r\n").toUtf8());
  file.commit();
}

// ---- the drive combo -----------------------------------------------------------------

void TPcBrowser::FormActivate() { w_.drives->SetUpperCaseDisplay(); }

void TPcBrowser::SDriveComboBoxEnter() {
  if (DrivePresent(w_.drives->Drive())) w_.drives->SetUpperCaseDisplay();
}

void TPcBrowser::SDriveComboBoxClick(int index) {
  const QString text = w_.drives->itemText(index);
  if (text.isEmpty()) return;
  const QChar letter = text.front().toUpper();
  if (DrivePresent(letter)) {
    if (!QFileInfo(DriveRoot(letter)).isDir()) {
      w_.drives->ClearDrives();
      Say("Drive " + text + " is not ready");
      w_.drives->SetUpperCaseDisplay();
    }
    return;
  }
  // A drive that is gone since the list was built.
  if (text.front() == LastDrive) LastDrive = 'C';
  Say("network drive " + text + "is disconnected");
  const QSignalBlocker quiet(w_.drives);
  w_.drives->removeItem(index);
  // The combo shows the drive the directory list is still on.
  w_.drives->setCurrentIndex(
      w_.drives->findText(QString(w_.drives->Drive()) + ":", Qt::MatchStartsWith));
}

void TPcBrowser::SDriveComboBoxChange() {
  if (!QFileInfo(DriveRoot(w_.drives->Drive())).isDir()) w_.drives->SetDrive(LastDrive);
  w_.card->Probe();
  LastDrive = w_.drives->Drive();
  const QString remembered = DriveDirs[Drive(LastDrive)];
  if (!remembered.isEmpty()) w_.folders->SetDirectory(remembered);
  LastDir = w_.folders->Directory();
}

// ---- the directory list --------------------------------------------------------------

void TPcBrowser::SDirectoryListBoxChange() {
  const QString old = LastDir;
  LastDir = w_.folders->Directory();
  // While the drive changes, LastDrive still names the drive being left: it
  // keeps the folder it showed last.
  DriveDirs[Drive(LastDrive)] = w_.drives->Drive() == LastDrive ? LastDir : old;
  w_.download->setEnabled(false);
  w_.statusBar->SetPanelText(0, QString());
}

void TPcBrowser::SDirectoryListBoxClick() { w_.card->Probe(); }

void TPcBrowser::SDirectoryListBoxKeyDown() { SDirectorylistBoxDblClick(); }

// Bound to the list's opening by Enter and double-click: a folder that has
// gone since the list was read is reported instead of opened.
void TPcBrowser::SDirectorylistBoxDblClick() {
  const QListWidgetItem* line = w_.folders->currentItem();
  const QString path = w_.folders->PathAt(w_.folders->currentRow());
  if (!line || path.isEmpty() || QFileInfo(path).isDir()) return;
  const QChar d = DriveOfPath(w_.folders->PathAt(0));
  const QString root = DriveRoot(d);
  if (QFileInfo(root).isDir()) {
    Say("Directory " + line->text() + " does not exist!!");
    w_.folders->SetDirectory(root);
  } else {
    Say(QString("Drive ") + d + ": does not exist!!");
  }
  w_.drives->SetDrive('C');
}

// ---- the file list ---------------------------------------------------------------------

void TPcBrowser::SFileListBoxMouseUp() {
  if (!w_.files->selectedItems().isEmpty()) return;
  w_.download->setEnabled(false);
  w_.statusBar->SetPanelText(0, QString());
}

void TPcBrowser::SFileListBoxClick() {
  w_.statusBar->SetPanelText(2, QString::fromStdString(msg::TotalFilesText(w_.card->FileCount())));
  w_.card->Probe();
  if (w_.card->DeviceLost()) return;
  w_.download->setEnabled(true);
  w_.upload->setEnabled(false);

  int count = 0;
  quint32 bytes = 0;  // the low 32 bits of each size, wrapping
  const QSignalBlocker quiet(w_.files);
  const QDir dir(w_.files->Directory());
  for (int row = 0; row < w_.files->count();) {
    QListWidgetItem* it = w_.files->item(row);
    if (!it->isSelected()) {
      ++row;
      continue;
    }
    const QString name = it->text();
    const QFileInfo info(dir.filePath(name));
    if (!info.exists() || info.isDir()) {
      Say("The file " + name + " is not existed!");
      delete w_.files->takeItem(row);  // the next line moves up into this row
      continue;
    }
    ++count;
    QFile file(info.filePath());
    if (file.open(QIODevice::ReadOnly)) bytes += static_cast<quint32>(file.size());
    ++row;
  }
  if (count > 0) {
    w_.statusBar->SetPanelText(
        0, QString::number(count) + "files :" + QString::fromStdString(FormatThousands(std::to_string(bytes >> 10))) + "KB");
  } else {
    w_.statusBar->SetPanelText(0, QString());
    w_.download->setEnabled(false);
  }
}
