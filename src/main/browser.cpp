// The PC side of TMainForm: the settings file and the handlers of the drive,
// directory and file lists.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QStandardPaths>

#include "mainform.h"
#include "hooks.h"
#include "messages.h"
#include "text.h"

namespace {

int Drive(QChar letter) { return DriveNumber(static_cast<char>(letter.toLatin1())); }
void Say(const QString& text) { ShowMessage(text.toStdString()); }

}  // namespace

// ---- the settings file ----------------------------------------------------------

void TMainForm::LoadBrowserSettings() {
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
  const bool shown = SDirectoryListBox->SetDirectory(LastDir);
  if (!shown || DriveRoot(LastDrive).isEmpty()) {
    FallBackToDriveC();
    return;
  }
  SDriveComboBox->SetDrive(LastDrive);
}

void TMainForm::FallBackToDriveC() {
  LastDrive = 'C';
  LastDir = DriveRoot('C');
  SDirectoryListBox->SetDirectory(LastDir);
  SDriveComboBox->SetDrive('C');
}

void TMainForm::SaveBrowserSettings() {
  if (WindowsDir.isEmpty()) return;
  QDir().mkpath(WindowsDir);
  // Written whole or not at all: a full disk never leaves half a file.
  QSaveFile file(SettingsFile());
  if (!file.open(QIODevice::WriteOnly)) return;
  file.write((QString(LastDrive) + "\r\n" + LastDir + "\r\n").toUtf8());
  file.commit();
}

// ---- the drive combo -----------------------------------------------------------------

void TMainForm::FormActivate() { SDriveComboBox->SetUpperCaseDisplay(); }

void TMainForm::SDriveComboBoxEnter() {
  if (DrivePresent(SDriveComboBox->Drive())) SDriveComboBox->SetUpperCaseDisplay();
}

void TMainForm::SDriveComboBoxClick(int index) {
  const QString text = SDriveComboBox->itemText(index);
  if (text.isEmpty()) return;
  const QChar letter = text.front().toUpper();
  if (DrivePresent(letter)) {
    if (!QFileInfo(DriveRoot(letter)).isDir()) {
      SDriveComboBox->ClearDrives();
      Say("Drive " + text + " is not ready");
      SDriveComboBox->SetUpperCaseDisplay();
    }
    return;
  }
  // A drive that is gone since the list was built.
  if (text.front() == LastDrive) LastDrive = 'C';
  Say("network drive " + text + "is disconnected");
  const QSignalBlocker quiet(SDriveComboBox);
  SDriveComboBox->removeItem(index);
  // The combo shows the drive the directory list is still on.
  SDriveComboBox->setCurrentIndex(
      SDriveComboBox->findText(QString(SDriveComboBox->Drive()) + ":", Qt::MatchStartsWith));
}

void TMainForm::SDriveComboBoxChange() {
  if (!QFileInfo(DriveRoot(SDriveComboBox->Drive())).isDir()) SDriveComboBox->SetDrive(LastDrive);
  session_.Probe();
  LastDrive = SDriveComboBox->Drive();
  const QString remembered = DriveDirs[Drive(LastDrive)];
  if (!remembered.isEmpty()) SDirectoryListBox->SetDirectory(remembered);
  LastDir = SDirectoryListBox->Directory();
}

// ---- the directory list --------------------------------------------------------------

void TMainForm::SDirectoryListBoxChange() {
  const QString old = LastDir;
  LastDir = SDirectoryListBox->Directory();
  // While the drive changes, LastDrive still names the drive being left: it
  // keeps the folder it showed last.
  DriveDirs[Drive(LastDrive)] = SDriveComboBox->Drive() == LastDrive ? LastDir : old;
  DownBitBtn->setEnabled(false);
  StatusBar->SetPanelText(0, QString());
}

void TMainForm::SDirectoryListBoxClick() { session_.Probe(); }

void TMainForm::FormClick() {
  StatusBar->SetPanelText(2, QString::fromStdString(msg::TotalFilesText(CardFileCount)));
  session_.Probe();
}

void TMainForm::SDirectoryListBoxKeyDown() { SDirectorylistBoxDblClick(); }

// Bound to the list's opening by Enter and double-click: a folder that has
// gone since the list was read is reported instead of opened.
void TMainForm::SDirectorylistBoxDblClick() {
  const QListWidgetItem* line = SDirectoryListBox->currentItem();
  const QString path = SDirectoryListBox->PathAt(SDirectoryListBox->currentRow());
  if (!line || path.isEmpty() || QFileInfo(path).isDir()) return;
  const QChar d = DriveOfPath(SDirectoryListBox->PathAt(0));
  const QString root = DriveRoot(d);
  if (QFileInfo(root).isDir()) {
    Say("Directory " + line->text() + " does not exist!!");
    SDirectoryListBox->SetDirectory(root);
  } else {
    Say(QString("Drive ") + d + ": does not exist!!");
  }
  SDriveComboBox->SetDrive('C');
}

// ---- the file list ---------------------------------------------------------------------

void TMainForm::SFileListBoxMouseUp() {
  if (!SFileListBox->selectedItems().isEmpty()) return;
  DownBitBtn->setEnabled(false);
  StatusBar->SetPanelText(0, QString());
}

void TMainForm::SFileListBoxClick() {
  StatusBar->SetPanelText(2, QString::fromStdString(msg::TotalFilesText(CardFileCount)));
  session_.Probe();
  if (DeviceGone()) return;
  DownBitBtn->setEnabled(true);
  UpBitBtn->setEnabled(false);

  int count = 0;
  quint32 bytes = 0;  // the low 32 bits of each size, wrapping
  const QSignalBlocker quiet(SFileListBox);
  const QDir dir(SFileListBox->Directory());
  for (int row = 0; row < SFileListBox->count();) {
    QListWidgetItem* it = SFileListBox->item(row);
    if (!it->isSelected()) {
      ++row;
      continue;
    }
    const QString name = it->text();
    const QFileInfo info(dir.filePath(name));
    if (!info.exists() || info.isDir()) {
      Say("The file " + name + " is not existed!");
      delete SFileListBox->takeItem(row);  // the next line moves up into this row
      continue;
    }
    ++count;
    QFile file(info.filePath());
    if (file.open(QIODevice::ReadOnly)) bytes += static_cast<quint32>(file.size());
    ++row;
  }
  if (count > 0) {
    StatusBar->SetPanelText(
        0, QString::number(count) + "files :" + QString::fromStdString(FormatThousands(std::to_string(bytes >> 10))) + "KB");
  } else {
    StatusBar->SetPanelText(0, QString());
    DownBitBtn->setEnabled(false);
  }
}
