// TPcBrowser: the PC side of the main window. It keeps what the browser
// remembers (the drive and folder shown, the folder last shown on each
// drive; the first two saved in the settings file) and handles the drive,
// folder and file lists. The window owns it and lays the lists out; the
// browser reaches the rest of the window only through the widgets of its
// `Window`: the Download and Upload buttons and the status bar.
#pragma once

#include <QChar>
#include <QObject>
#include <QString>

class QComboBox;
class QPushButton;
class TDirectoryListBox;
class TDriveComboBox;
class TFileListBox;
class TStatusBar;
class CardSession;

class TPcBrowser : public QObject {
 public:
  // The window's widgets the PC side works with.
  struct Window {
    QComboBox* filter = nullptr;
    TDriveComboBox* drives = nullptr;
    TDirectoryListBox* folders = nullptr;
    TFileListBox* files = nullptr;
    QPushButton* download = nullptr;
    QPushButton* upload = nullptr;
    TStatusBar* statusBar = nullptr;
    // The card the window drives: probed on a click, its file count shown.
    CardSession* card = nullptr;
  };
  // Connects the lists to the handlers below.
  TPcBrowser(const Window& window, QObject* parent);

  // ---- the memory; saved in the settings file ----
  QChar LastDrive{'c'};
  QString LastDir;
  QString DriveDirs[27];  // by DriveNumber, 1..26
  QString WindowsDir;     // the folder of the settings file, ending in "/"

  // ---- the settings file ----
  void LoadBrowserSettings();
  void SaveBrowserSettings();
  QString SettingsFile() const { return WindowsDir + "ZK27dir.ini"; }
  // Shows the root of drive C:, for a folder or drive that is gone.
  void FallBackToDriveC();

  // ---- the handlers ----
  // The window became the active one.
  void FormActivate();
  void SDriveComboBoxEnter();
  void SDriveComboBoxClick(int index);
  void SDriveComboBoxChange();
  void SDirectoryListBoxClick();
  void SDirectoryListBoxChange();
  void SDirectoryListBoxKeyDown();
  void SDirectorylistBoxDblClick();
  void SFileListBoxClick();
  void SFileListBoxMouseUp();

 private:
  void Connect();
  Window w_;
};
