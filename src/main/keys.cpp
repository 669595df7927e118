// What the window does beside its buttons, as desktop file managers do: the
// Delete key on the card list, F2 to rename a card file and Alt+Up/Alt+Down
// to move a music file in the play order, F5 to read both sides again,
// Ctrl+Q to close, and PC files dropped on the card list from a file manager.
#include <QDropEvent>
#include <QFileInfo>
#include <QKeySequence>
#include <QMimeData>
#include <QShortcut>
#include <QTimer>
#include <QUrl>

#include "mainform.h"

namespace {

// The local files among the dropped addresses (text/uri-list); addresses of
// other machines are not files the card can take.
QStringList LocalFiles(const QMimeData* data) {
  QStringList paths;
  if (!data || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  return paths;
}

// The nearest folder that is still there, from `path` upwards.
QString ExistingFolder(QString path) {
  while (!QFileInfo(path).isDir()) {
    const QString up = QFileInfo(path).absolutePath();
    if (up == path) return {};
    path = up;
  }
  return path;
}

}  // namespace

void TMainForm::AddKeys() {
  // The key works where the button's selection is: on the card list only,
  // so that Delete in any other list never asks about the card.
  auto* del = new QShortcut(QKeySequence(Qt::Key_Delete), MP3ListBox);
  del->setContext(Qt::WidgetShortcut);
  connect(del, &QShortcut::activated, DelBitBtn, &QPushButton::click);
  auto* rename = new QShortcut(QKeySequence(Qt::Key_F2), MP3ListBox);
  rename->setContext(Qt::WidgetShortcut);
  connect(rename, &QShortcut::activated, this, &TMainForm::RenameSelectedFile);
  auto* up = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Up), MP3ListBox);
  up->setContext(Qt::WidgetShortcut);
  connect(up, &QShortcut::activated, this, [this] { MoveSelectedFile(-1); });
  auto* down = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Down), MP3ListBox);
  down->setContext(Qt::WidgetShortcut);
  connect(down, &QShortcut::activated, this, [this] { MoveSelectedFile(1); });
  auto* reread = new QShortcut(QKeySequence(Qt::Key_F5), this);
  connect(reread, &QShortcut::activated, this, &TMainForm::RereadBothSides);
  auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
  connect(quit, &QShortcut::activated, this, &QWidget::close);

  MP3ListBox->setAcceptDrops(true);
  MP3ListBox->viewport()->setAcceptDrops(true);
  MP3ListBox->viewport()->installEventFilter(this);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* e) {
  if (watched != MP3ListBox->viewport()) return QWidget::eventFilter(watched, e);
  switch (e->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDragMoveEvent*>(e);
      // Always a copy: a file manager told "moved" would delete the PC file.
      if (!acting_ && (drag->possibleActions() & Qt::CopyAction) && !LocalFiles(drag->mimeData()).isEmpty()) {
        drag->setDropAction(Qt::CopyAction);
        drag->accept();
      } else {
        drag->ignore();
      }
      return true;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(e);
      const QStringList paths = LocalFiles(drop->mimeData());
      if (acting_ || !(drop->possibleActions() & Qt::CopyAction) || paths.isEmpty()) {
        drop->ignore();
        return true;
      }
      drop->setDropAction(Qt::CopyAction);
      drop->accept();
      // The file manager waits for the drop's answer; the files go once it
      // has it, not while it waits.
      QTimer::singleShot(0, this, [this, paths] { DropOnCardList(paths); });
      return true;
    }
    default:
      return QWidget::eventFilter(watched, e);
  }
}

void TMainForm::RereadBothSides() {
  // Not in the middle of an action: the card is its, and so is the list.
  if (!BeginAction()) return;
  // The PC side: the folder as the disk has it now. A folder that went
  // meanwhile gives way to the nearest one above it.
  const QString folder = ExistingFolder(SDirectoryListBox->Directory());
  if (folder.isEmpty() || !SDirectoryListBox->SetDirectory(folder)) PcSide->FallBackToDriveC();
  // The card side: as a re-check reads it, the card held for the scan,
  // which may name new recordings.
  DownBitBtn->setEnabled(false);
  UpBitBtn->setEnabled(false);
  {
    const CardSession::Hold lock(CardLock::kExclusive);
    if (HeldForAction(lock)) {
      ProbeForAction();
      if (!session_.DeviceLost() && !closing_) Reload();
    }
  }
  EndAction();
}
