// The PC side's three linked lists: drives, directories and files.
//
// Drives keep their letters on every platform, because the settings file and
// the per-drive memory of the browser are by letter: C: is the root file
// system, and the mounted volumes a user browses (removable media under
// /media, /run/media and /mnt) get D:, E:, ... in the order of their mount
// points. Paths are shown and kept natively.
#pragma once

#include <QComboBox>
#include <QHash>
#include <QList>
#include <QListWidget>
#include <QString>
#include <QStringList>
#include <functional>

struct PcDrive {
  QChar letter;  // upper case
  QString root;  // the folder the drive letter stands for
  QString label;
};

// C: and the volumes mounted at `roots`, each with the letter it has had
// since it was first seen in this run (the first free one from D:).
QList<PcDrive> DrivesOnMounts(QStringList roots);
// The drives as they are now.
QList<PcDrive> PcDrives();
// Bit n set for every present drive, bit 0 = A.
quint32 LogicalDriveMask();
// Whether `letter` (either case) has its bit in the logical-drive mask.
bool DrivePresent(QChar letter);
// The root folder of `letter` (either case); empty when no such drive.
QString DriveRoot(QChar letter);
// The letter of the drive that holds `path` (upper case); C when none other.
QChar DriveOfPath(const QString& path);
// Replaces the mounted volumes by `drives` (for tests); an empty list goes
// back to the real ones.
void SetPcDrivesForTesting(const QList<PcDrive>& drives);

// SDriveComboBox: one line per drive, "d: [label]". The letters are shown in
// lower case until the upper-case display is switched on.
class TDriveComboBox : public QComboBox {
  Q_OBJECT
 public:
  explicit TDriveComboBox(QWidget* parent = nullptr);
  // The current drive in the case shown.
  QChar Drive() const { return drive_; }
  // Makes `letter` the current drive; when it differs from the current one,
  // DriveChanged follows.
  void SetDrive(QChar letter);
  // Rebuilds the list in upper case and reselects the current drive.
  void SetUpperCaseDisplay();
  // Empties the list and its text.
  void ClearDrives();
  // The letter of line `index` in the case shown.
  QChar LetterAt(int index) const;

 signals:
  // The user picked line `index`; the drive has not changed yet.
  void Picked(int index);
  void DriveChanged();
  void Entered();

 protected:
  void focusInEvent(QFocusEvent* event) override;

 private:
  void Rebuild();
  QChar Shown(QChar letter) const { return upper_ ? letter.toUpper() : letter.toLower(); }
  bool upper_ = false;
  QChar drive_;
};

// SDirectoryListBox: the folders from the drive's root down to the one shown,
// as an opened, indented chain, then the shown folder's subfolders. A folder
// opens on a double-click or Enter. The process's current directory follows
// the folder shown, so plain file names of the file list are valid paths.
class TDirectoryListBox : public QListWidget {
  Q_OBJECT
 public:
  explicit TDirectoryListBox(QWidget* parent = nullptr);
  QString Directory() const { return dir_; }
  // Shows `path`; false, and nothing changes, when it is no folder.
  bool SetDirectory(const QString& path);
  // Shows the current folder of drive `letter`: the one this list showed
  // there last, else its root. False when the drive has no root.
  bool SetDrive(QChar letter);
  // The folder of line `row`.
  QString PathAt(int row) const;
  // Opens the folder of the current line, if it is another one.
  void OpenCurrent();

 signals:
  void DirectoryChanged();
  void EnterPressed();
  void Opening();  // a double-click, before the folder opens

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void Refill();
  QString dir_;
  QHash<QChar, QString> current_;  // by drive letter
};

// SFileListBox: the shown folder's files that match the mask, sorted by name,
// several selectable. Refills never count as the user's selection.
class TFileListBox : public QListWidget {
  Q_OBJECT
 public:
  explicit TFileListBox(QWidget* parent = nullptr);
  void SetDirectory(const QString& dir);
  // A mask of patterns separated by ";", matched in any letter case.
  void SetMask(const QString& mask);
  // Reads the folder again.
  void Update();
  QString Directory() const { return dir_; }

 signals:
  void MouseUp();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QString dir_;
  QStringList patterns_;
};

// Calls `click` once for every click of the user's on a line of `list`,
// whether or not the click changed the selection, and once for every other
// change of the selection the user makes (the keyboard, a drag over the
// lines). A click on the line that is already the selection still counts: it
// is how a user asks for the list's button again. Refills from the program
// block the list's signals and count for nothing.
void OnEveryClick(QListWidget* list, std::function<void()> click);
