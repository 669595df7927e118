#include "startup.h"

#include <cstdio>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

#include "endsignals.h"
#include "mainform.h"
#include "messages.h"
#include "session.h"

namespace {

const QString kCaption = QStringLiteral("MP3 File Management");

QString Shown(const std::string& text) { return QString::fromStdString(text).replace("\r\n", "\n"); }

void MessageBox(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, kCaption, Shown(text), QMessageBox::Ok);
  box.exec();
}

// A Yes/No box without owner window. Closing it (Escape, the window's close
// button) answers neither: a hidden reject button takes that road.
Answer YesNoBox(const std::string& caption, const std::string& text, bool warning) {
  QMessageBox box(warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                  caption.empty() ? kCaption : QString::fromStdString(caption), Shown(text));
  QPushButton* yes = box.addButton(QMessageBox::Yes);
  QPushButton* no = box.addButton(QMessageBox::No);
  QPushButton* closed = box.addButton(QString(), QMessageBox::RejectRole);
  closed->hide();
  box.setEscapeButton(closed);
  box.exec();
  if (box.clickedButton() == yes) return Answer::Yes;
  if (box.clickedButton() == no) return Answer::No;
  return Answer::Closed;
}

// A line to type, without owner window, as the message boxes. Cancel,
// Escape and the close box answer nothing.
bool TextBox(const std::string& caption, const std::string& text, std::string* value) {
  QInputDialog box;
  box.setWindowTitle(caption.empty() ? kCaption : QString::fromStdString(caption));
  box.setInputMode(QInputDialog::TextInput);
  box.setLabelText(Shown(text));
  box.setTextValue(QString::fromStdString(*value));
  if (box.exec() != QDialog::Accepted) return false;
  *value = box.textValue().toStdString();
  return true;
}

// A file dialog without owner window, as the message boxes.
bool PathBox(PathKind kind, const std::string& caption, std::string* path) {
  const QString title = QString::fromStdString(caption);
  const QString start = QString::fromStdString(*path);
  QString chosen;
  switch (kind) {
    case PathKind::kOpenFile: chosen = QFileDialog::getOpenFileName(nullptr, title, start); break;
    case PathKind::kSaveFile: chosen = QFileDialog::getSaveFileName(nullptr, title, start); break;
    case PathKind::kFolder: chosen = QFileDialog::getExistingDirectory(nullptr, title, start); break;
  }
  if (chosen.isEmpty()) return false;
  *path = chosen.toStdString();
  return true;
}

// The import's one dialog, without owner window, as the message boxes: the
// folder typed or chosen with the browse button (the file dialog hook), the
// format, and whether the card is freed after. OK needs a folder.
bool ImportBox(const std::string& caption, ImportChoices* choices) {
  QDialog box;
  box.setWindowTitle(QString::fromStdString(caption));
  auto* folder = new QLineEdit(QString::fromStdString(choices->folder), &box);
  folder->setMinimumWidth(280);
  auto* browse = new QPushButton(QString::fromUtf8(msg::kImportBrowse), &box);
  auto* format = new QComboBox(&box);
  format->addItems({"wav", "flac", "ogg"});
  format->setCurrentText(QString::fromStdString(choices->format));
  auto* free = new QCheckBox(msg::kImportFree, &box);
  free->setChecked(choices->free);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &box);
  auto* where = new QHBoxLayout;
  where->addWidget(folder);
  where->addWidget(browse);
  auto* form = new QFormLayout(&box);
  form->addRow(msg::kImportFolder, where);
  form->addRow(msg::kImportFormat, format);
  form->addRow(free);
  form->addRow(buttons);
  QObject::connect(browse, &QPushButton::clicked, &box, [&] {
    std::string path = folder->text().toStdString();
    if (AskPath(PathKind::kFolder, caption, &path)) folder->setText(QString::fromStdString(path));
  });
  const auto allowOk = [&] { buttons->button(QDialogButtonBox::Ok)->setEnabled(!folder->text().trimmed().isEmpty()); };
  QObject::connect(folder, &QLineEdit::textChanged, &box, allowOk);
  allowOk();
  QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
  if (box.exec() != QDialog::Accepted) return false;
  choices->folder = folder->text().trimmed().toStdString();
  choices->format = format->currentText().toStdString();
  choices->free = free->isChecked();
  return true;
}

// Why the driver refused what answered for the player, for a message box.
std::string UntrustedPlayerText(const PlayerRefusal& why) {
  if (why.kind == PlayerRefusal::Kind::kAddress)
    return "ZK27_PLAYER_TCP names " + why.path +
           ", which is not this computer's loopback (127.0.0.1:PORT).\r\nThe player is not looked for there.";
  if (why.kind == PlayerRefusal::Kind::kPeer)
    return "Another user (uid " + std::to_string(why.peer) + ") answers on " + why.path +
           ".\r\nIt is not taken for the player.";
  char mode[8];
  std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(why.mode));
  return "The folder " + why.path + (why.directory ? " is not yours alone" : " is not a real folder") + " (owner " +
         std::to_string(why.owner) + ", mode " + mode + ").\r\nThe player is not looked for there.";
}

// The device's condition as the main window's DeviceStateMessage, handled
// before the probe goes on. Before the window exists nobody hears it: the
// start-up tests the player's status itself.
void DeliverNow(DeviceStateCode state) {
  TMainForm* window = TMainForm::StateWindow();
  if (!window) return;
  DeviceStateEvent event(state);
  QCoreApplication::sendEvent(window, &event);
}

void BusyCursor(bool busy) {
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

}  // namespace

FrontEndHooks GuiHooks() {
  FrontEndHooks h;
  h.showMessage = MessageBox;
  // Through the message hook, so that whoever shows the messages shows these.
  h.notice = [](Notice notice) { ShowMessage(msg::WindowText(notice)); };
  h.askYesNo = YesNoBox;
  h.askText = TextBox;
  h.askPath = PathBox;
  h.askImport = ImportBox;
  h.deviceState = DeliverNow;
  h.setBusyCursor = BusyCursor;
  h.processEvents = [] { QCoreApplication::processEvents(); };
  return h;
}

bool StartUpChecks() {
  CardSession session;
  const OpeningReport opening = session.CheckPlayerAndCard();
  switch (opening.state) {
    case CardOpening::kPlayerRefused:
      ShowNotice(opening.notice);
      return false;
    case CardOpening::kPlayerUntrusted:
      ShowMessage(UntrustedPlayerText(session.LastRefusal()));
      return false;
    case CardOpening::kForeign:
    case CardOpening::kZeroTotal:
      // The main window shows whatever the card holds after the question.
      return session.AskToFormatForeign(opening);
    case CardOpening::kUnreadable:
      return false;  // the check has said why
    case CardOpening::kOpen:
      return true;
  }
  return true;
}

int RunMainProgram() {
  // Ctrl-C or a kill closes the window as its close box does; before the
  // window exists, it ends the start.
  QWidget* window = nullptr;
  const TerminationWatch watch([&window] { EndAsAsked(window); });
  if (!StartUpChecks() || watch.Signalled()) return 0;
  TMainForm form;
  window = &form;
  // Closed while it was being created: no window is left to end the loop.
  if (form.Closing() || watch.Signalled()) return 0;
  return QApplication::exec();
}
