#include "pcside.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMap>
#include <QPainter>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <QStyle>
#include <QStyledItemDelegate>
#include <algorithm>

namespace {

QList<PcDrive> g_testDrives;

bool BrowsableMount(const QString& root) {
  return root.startsWith("/media/") || root.startsWith("/run/media/") || root.startsWith("/mnt/");
}

QString Clean(const QString& path) { return QDir::cleanPath(QDir(path).absolutePath()); }

bool Below(const QString& path, const QString& root) {
  if (root == "/") return path.startsWith('/');
  return path == root || path.startsWith(root + '/');
}

}  // namespace

QList<PcDrive> DrivesOnMounts(QStringList roots) {
  // A volume keeps the letter it was given for the whole run, so a letter
  // never comes to stand for another volume when one is unmounted: the
  // folders remembered per drive stay right, and a volume that is gone is a
  // letter that is gone.
  static QMap<QString, QChar> given;
  roots.sort();
  roots.removeDuplicates();
  for (const QString& root : roots) {
    if (given.contains(root)) continue;
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
      if (given.key(QChar(letter)).isEmpty()) {
        given.insert(root, QChar(letter));
        break;
      }
    }
  }
  QList<PcDrive> drives{{QChar('C'), "/", "/"}};
  for (const QString& root : roots)
    if (given.contains(root)) drives.append({given.value(root), root, QFileInfo(root).fileName()});
  std::sort(drives.begin(), drives.end(), [](const PcDrive& a, const PcDrive& b) { return a.letter < b.letter; });
  return drives;
}

QList<PcDrive> PcDrives() {
  if (!g_testDrives.isEmpty()) return g_testDrives;
  QStringList roots;
  for (const QStorageInfo& v : QStorageInfo::mountedVolumes())
    if (v.isValid() && BrowsableMount(v.rootPath())) roots << v.rootPath();
  return DrivesOnMounts(roots);
}

void SetPcDrivesForTesting(const QList<PcDrive>& drives) { g_testDrives = drives; }

quint32 LogicalDriveMask() {
  quint32 mask = 0;
  for (const PcDrive& d : PcDrives()) mask |= 1u << (d.letter.unicode() - 'A');
  return mask;
}

bool DrivePresent(QChar letter) {
  const QChar d = letter.toUpper();
  return d >= 'A' && d <= 'Z' && (LogicalDriveMask() >> (d.unicode() - 'A')) & 1u;
}

QString DriveRoot(QChar letter) {
  for (const PcDrive& d : PcDrives())
    if (d.letter == letter.toUpper()) return d.root;
  return {};
}

QChar DriveOfPath(const QString& path) {
  const QString p = Clean(path);
  QChar best('C');
  qsizetype bestLength = -1;
  for (const PcDrive& d : PcDrives()) {
    const QString root = Clean(d.root);
    if (Below(p, root) && root.size() > bestLength) {
      best = d.letter;
      bestLength = root.size();
    }
  }
  return best;
}

// ---- drives ------------------------------------------------------------------

TDriveComboBox::TDriveComboBox(QWidget* parent) : QComboBox(parent) {
  drive_ = Shown(DriveOfPath(QDir::currentPath()));
  Rebuild();
  connect(this, &QComboBox::activated, this, [this](int index) {
    emit Picked(index);
    // The handler may have rebuilt the list or taken the line away.
    if (currentIndex() >= 0) SetDrive(LetterAt(currentIndex()));
  });
}

QChar TDriveComboBox::LetterAt(int index) const {
  const QString text = itemText(index);
  return text.isEmpty() ? QChar() : text.front();
}

void TDriveComboBox::Rebuild() {
  const QSignalBlocker quiet(this);
  clear();
  for (const PcDrive& d : PcDrives()) addItem(QString(Shown(d.letter)) + ": [" + d.label + "]");
  drive_ = Shown(drive_);
  setCurrentIndex(findText(QString(drive_) + ":", Qt::MatchStartsWith));
}

void TDriveComboBox::SetUpperCaseDisplay() {
  upper_ = true;
  Rebuild();
}

void TDriveComboBox::ClearDrives() {
  const QSignalBlocker quiet(this);
  clear();
  setEditText(QString());
}

void TDriveComboBox::SetDrive(QChar letter) {
  letter = Shown(letter);
  {
    const QSignalBlocker quiet(this);
    setCurrentIndex(findText(QString(letter) + ":", Qt::MatchStartsWith));
  }
  if (letter.toUpper() == drive_.toUpper()) return;
  drive_ = letter;
  emit DriveChanged();
}

void TDriveComboBox::focusInEvent(QFocusEvent* event) {
  QComboBox::focusInEvent(event);
  emit Entered();
}

// ---- directories -------------------------------------------------------------

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kDepthRole = Qt::UserRole + 1;

// Indents each line by its depth in the chain.
class IndentDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem o = option;
    o.rect.adjust(index.data(kDepthRole).toInt() * 10, 0, 0, 0);
    QStyledItemDelegate::paint(painter, o, index);
  }
};

}  // namespace

TDirectoryListBox::TDirectoryListBox(QWidget* parent) : QListWidget(parent) {
  setItemDelegate(new IndentDelegate(this));
  setSelectionMode(QAbstractItemView::SingleSelection);
}

QString TDirectoryListBox::PathAt(int row) const {
  const QListWidgetItem* it = item(row);
  return it ? it->data(kPathRole).toString() : QString();
}

bool TDirectoryListBox::SetDirectory(const QString& path) {
  const QFileInfo info(path);
  if (path.isEmpty() || !info.isDir()) return false;
  const QString dir = Clean(info.absoluteFilePath());
  if (!QDir::setCurrent(dir)) return false;
  dir_ = dir;
  current_[DriveOfPath(dir)] = dir;
  Refill();
  emit DirectoryChanged();
  return true;
}

bool TDirectoryListBox::SetDrive(QChar letter) {
  const QString root = DriveRoot(letter);
  if (root.isEmpty() || !QFileInfo(root).isDir()) return false;
  // Each drive has a current folder of its own: the one shown there last.
  const QString last = current_.value(letter.toUpper());
  if (!last.isEmpty() && DriveOfPath(last) == letter.toUpper() && SetDirectory(last)) return true;
  return SetDirectory(root);
}

void TDirectoryListBox::Refill() {
  const QSignalBlocker quiet(this);
  clear();
  const QString root = Clean(DriveRoot(DriveOfPath(dir_)));
  const QIcon opened = style()->standardIcon(QStyle::SP_DirOpenIcon);
  const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);
  auto add = [this](const QIcon& icon, const QString& text, const QString& path, int depth) {
    auto* it = new QListWidgetItem(icon, text, this);
    it->setData(kPathRole, path);
    it->setData(kDepthRole, depth);
  };
  // The chain from the root to the folder shown.
  add(opened, QDir::toNativeSeparators(root), root, 0);
  int depth = 0;
  QString path = root;
  const QString rest = dir_.mid(root == "/" ? 1 : root.size() + 1);
  for (const QString& part : rest.split('/', Qt::SkipEmptyParts)) {
    path = path == "/" ? "/" + part : path + "/" + part;
    add(opened, part, path, ++depth);
  }
  setCurrentRow(count() - 1);
  // Then what it holds.
  const QDir here(dir_);
  for (const QString& sub : here.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase))
    add(closed, sub, here.filePath(sub), depth + 1);
}

void TDirectoryListBox::OpenCurrent() {
  const QString path = PathAt(currentRow());
  if (!path.isEmpty() && path != dir_) SetDirectory(path);
}

void TDirectoryListBox::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    emit EnterPressed();
    OpenCurrent();
    return;
  }
  QListWidget::keyPressEvent(event);
}

void TDirectoryListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  QListWidget::mouseDoubleClickEvent(event);
  emit Opening();
  OpenCurrent();
}

// ---- files -------------------------------------------------------------------

TFileListBox::TFileListBox(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::ExtendedSelection);
}

void TFileListBox::SetDirectory(const QString& dir) {
  dir_ = dir;
  Update();
}

void TFileListBox::SetMask(const QString& mask) {
  patterns_ = mask.split(';', Qt::SkipEmptyParts);
  Update();
}

void TFileListBox::Update() {
  const QSignalBlocker quiet(this);
  clear();
  if (dir_.isEmpty()) return;
  QDir here(dir_);
  here.setNameFilters(patterns_);
  // Without QDir::CaseSensitive the patterns match in any letter case, as the
  // card's own kinds do (song.MP3 is music).
  addItems(here.entryList(QDir::Files, QDir::Name | QDir::IgnoreCase));
}

void TFileListBox::mouseReleaseEvent(QMouseEvent* event) {
  QListWidget::mouseReleaseEvent(event);
  emit MouseUp();
}

// ---- clicks ------------------------------------------------------------------

namespace {

// A press starts a click; a change of the selection from then on is the
// click's own call, and the click that changed nothing calls at its release.
class ClickWatch : public QObject {
 public:
  ClickWatch(QListWidget* list, std::function<void()> click) : QObject(list), click_(std::move(click)) {
    list->viewport()->installEventFilter(this);
    connect(list, &QListWidget::itemSelectionChanged, this, [this] {
      changed_ = true;
      click_();
    });
    // Emitted at the release, after any change of the selection it made.
    connect(list, &QAbstractItemView::clicked, this, [this] {
      if (!changed_) click_();
    });
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
      changed_ = false;
    return QObject::eventFilter(watched, event);
  }

 private:
  std::function<void()> click_;
  bool changed_ = false;
};

}  // namespace

void OnEveryClick(QListWidget* list, std::function<void()> click) { new ClickWatch(list, std::move(click)); }
