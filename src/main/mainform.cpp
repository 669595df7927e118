#include "mainform.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QSignalBlocker>

#include "focusstyle.h"
#include "glyphs.h"
#include "hooks.h"
#include "messages.h"
#include "text.h"
#include "tform1.h"

namespace {

// How the window reads the card: the repair offered once, and a failed
// mount still listing what the volume image holds.
const CardSession::ReadSteps kWindowRead{MountMode::kAsHeld, true, true};

const QColor kAqua(0, 255, 255);
const QColor kMaroon(128, 0, 0);

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Lists paint their face with the Base role, combos that cannot be edited
// with the Button role: both white.
void White(QWidget* w) {
  SetColour(w, QPalette::Base, Qt::white);
  if (qobject_cast<QComboBox*>(w)) SetColour(w, QPalette::Button, Qt::white);
}

// A heading: a raised panel with a centred label in maroon on aqua.
QFrame* Heading(QWidget* parent, const QRect& at, const QString& text, QLabel** label) {
  auto* panel = new QFrame(parent);
  panel->setGeometry(at);
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setLineWidth(1);
  *label = new QLabel(text, panel);
  (*label)->setGeometry(1, 1, at.width() - 2, at.height() - 2);
  (*label)->setAlignment(Qt::AlignCenter);
  (*label)->setFont(WindowFont(23));
  (*label)->setAutoFillBackground(true);
  SetColour(*label, QPalette::Window, kAqua);
  SetColour(*label, QPalette::WindowText, kMaroon);
  return panel;
}

QPushButton* Button(QWidget* parent, const QRect& at, const QString& caption, Glyph glyph) {
  auto* b = new QPushButton(caption, parent);
  b->setGeometry(at);
  if (glyph != Glyph::None) {
    b->setIcon(GlyphIcon(glyph));
    b->setIconSize(QSize(kGlyphSize, kGlyphSize));
  }
  return b;
}

}  // namespace

// ---- status bar -------------------------------------------------------------------

TStatusBar::TStatusBar(QWidget* parent, std::initializer_list<int> widths) : QFrame(parent) {
  int left = 0;
  for (int w : widths) {
    auto* panel = new QLabel(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setGeometry(left, 2, w - 2, 25);
    panel->setIndent(2);
    panels_.push_back(panel);
    left += w;
  }
}

QString TStatusBar::PanelText(int panel) const { return panels_.at(panel)->text(); }
void TStatusBar::SetPanelText(int panel, const QString& text) {
  QLabel* label = panels_.at(panel);
  // The panels keep their widths; a text wider than its panel in this
  // platform's font is set a little smaller rather than cut off.
  QFont font = this->font();
  const int room = label->contentsRect().width() - 2 * label->indent();
  while (font.pixelSize() > 9 && QFontMetrics(font).horizontalAdvance(text) > room)
    font.setPixelSize(font.pixelSize() - 1);
  label->setFont(font);
  label->setText(text);
}

DeviceStateEvent::DeviceStateEvent(DeviceStateCode state)
    : QEvent(static_cast<QEvent::Type>(kDeviceStateMessage)), state_(state) {}

namespace {
TMainForm* g_stateWindow = nullptr;
}  // namespace

TMainForm* TMainForm::StateWindow() { return g_stateWindow; }

// ---- the window -------------------------------------------------------------------

TMainForm::TMainForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  // A fixed window with a caption and a close box only. It is an ordinary
  // top-level window, not a tool window, so that it has a taskbar entry and
  // closing it ends the program.
  setAttribute(Qt::WA_QuitOnClose, true);
  // A probe during the creation already reports to this window.
  g_stateWindow = this;
  setObjectName("MainForm");
  setWindowTitle("MP3 File Management");
  setFont(WindowFont(13));
  setFixedSize(747, 524);
  move(114, 124);
  // The face colour of buttons.
  setAutoFillBackground(true);
  SetColour(this, QPalette::Window, palette().color(QPalette::Button));
  LayOut();
  ShowFocusAlways(this);
  PcSide = new TPcBrowser({FilterComboBox1, SDriveComboBox, SDirectoryListBox, SFileListBox, DownBitBtn, UpBitBtn,
                           StatusBar, &session_},
                          this);
  Connect();
  AddKeys();
  AddCardMenu();
  FormCreate();
  // A probe during the creation may already have closed the window.
  if (closing_) return;
  show();
  // A desktop's window manager makes a new window the active one anyway; on
  // a screen without one (a virtual screen) the keys would otherwise reach no
  // widget, and the keyboard focus would show nowhere.
  activateWindow();
}

TMainForm::~TMainForm() {
  if (g_stateWindow == this) g_stateWindow = nullptr;
  PcSide->SaveBrowserSettings();
}

void TMainForm::LayOut() {
  // In tab order.
  FilterComboBox1 = new QComboBox(this);
  FilterComboBox1->setGeometry(121, 71, 112, 24);
  FilterComboBox1->addItem("MP3 Files(*.mp3;*.voc)", QStringLiteral("*.mp3;*.voc"));
  SDriveComboBox = new TDriveComboBox(this);
  SDriveComboBox->setGeometry(9, 73, 104, 22);
  SDirectoryListBox = new TDirectoryListBox(this);
  SDirectoryListBox->setGeometry(9, 96, 224, 137);
  SFileListBox = new TFileListBox(this);
  SFileListBox->setGeometry(9, 240, 224, 201);
  SFileListBox->SetMask(FilterComboBox1->currentData().toString());
  MP3ListBox = new QListWidget(this);
  MP3ListBox->setGeometry(400, 112, 281, 329);
  MP3ListBox->setSelectionMode(QAbstractItemView::ExtendedSelection);
  DownBitBtn = Button(this, {256, 249, 121, 48}, "Download", Glyph::Download);
  UpBitBtn = Button(this, {256, 320, 121, 49}, "Upload", Glyph::Upload);
  DelBitBtn = Button(this, {400, 64, 137, 41}, "Delete", Glyph::Delete);
  FMBitBtn = Button(this, {553, 64, 128, 41}, "Format", Glyph::Format);
  Panel2 = Heading(this, {9, 9, 224, 48}, "PC Site", &Label3);
  Panel3 = Heading(this, {400, 9, 281, 48}, "Device Site", &Label4);
  WavBitBtn = Button(this, {256, 184, 121, 49}, "To Wave", Glyph::None);
  StatusBar = new TStatusBar(this, {188, 280, 150});
  StatusBar->setGeometry(0, height() - 29, width(), 29);

  for (QWidget* w : std::initializer_list<QWidget*>{FilterComboBox1, SDriveComboBox, SDirectoryListBox,
                                                    SFileListBox, MP3ListBox})
    White(w);
  FilterComboBox1->setObjectName("FilterComboBox1");
  SDriveComboBox->setObjectName("SDriveComboBox");
  SDirectoryListBox->setObjectName("SDirectoryListBox");
  SFileListBox->setObjectName("SFileListBox");
  MP3ListBox->setObjectName("MP3ListBox");
  DownBitBtn->setObjectName("DownBitBtn");
  UpBitBtn->setObjectName("UpBitBtn");
  DelBitBtn->setObjectName("DelBitBtn");
  FMBitBtn->setObjectName("FMBitBtn");
  WavBitBtn->setObjectName("WavBitBtn");
  StatusBar->setObjectName("StatusBar");
}

void TMainForm::Connect() {
  // The PC side's lists are the browser's own.
  OnEveryClick(MP3ListBox, [this] { MP3ListBoxClick(); });
  connect(FMBitBtn, &QPushButton::clicked, this, &TMainForm::FMBitBtnClick);
  connect(DownBitBtn, &QPushButton::clicked, this, &TMainForm::DownBitBtnClick);
  connect(UpBitBtn, &QPushButton::clicked, this, &TMainForm::UpBitBtnClick);
  connect(DelBitBtn, &QPushButton::clicked, this, &TMainForm::DelBitBtnClick);
  connect(WavBitBtn, &QPushButton::clicked, this, &TMainForm::WavBitBtnClick);
}

bool TMainForm::event(QEvent* e) {
  if (e->type() == static_cast<QEvent::Type>(kDeviceStateMessage)) {
    DeviceStateMessage(static_cast<DeviceStateEvent*>(e)->State());
    return true;
  }
  if (e->type() == QEvent::WindowActivate && PcSide) PcSide->FormActivate();
  return QWidget::event(e);
}

void TMainForm::mousePressEvent(QMouseEvent* e) {
  QWidget::mousePressEvent(e);
  // The window's own click: on its bare face, not on a label or the status
  // bar that let the press through.
  if (e->button() == Qt::LeftButton && !childAt(e->position().toPoint())) FormClick();
}

void TMainForm::FormClick() {
  StatusBar->SetPanelText(2, Q(msg::TotalFilesText(session_.FileCount())));
  session_.Probe();
}

// ---- the card side ------------------------------------------------------------------

std::string TMainForm::CardLine(int row) const {
  const QListWidgetItem* it = MP3ListBox->item(row);
  return it ? it->data(Qt::UserRole).toByteArray().toStdString() : std::string();
}

void TMainForm::FillMp3List(const std::vector<std::string>& lines) {
  const QSignalBlocker quiet(MP3ListBox);
  MP3ListBox->clear();
  for (const std::string& line : lines) {
    auto* it = new QListWidgetItem(Q(PcNameFromCard(line)), MP3ListBox);
    it->setData(Qt::UserRole, QByteArray::fromStdString(line));
  }
}

void TMainForm::ShowCardCounts(bool spaced) {
  StatusBar->SetPanelText(1, Q(msg::FreeSpaceText(session_.FreeClusters(), spaced)));
  StatusBar->SetPanelText(2, Q(msg::TotalFilesText(session_.FileCount())));
}

void TMainForm::FormCreate() {
  // The card list's scan may write (names of new recordings).
  const CardSession::Hold hold(CardLock::kExclusive);
  std::vector<std::string> lines;
  if (hold.Result() == kLockOk) {
    lines = session_.Read(kWindowRead).lines;
  } else {
    // The list stays empty; the first action reads the card.
    ShowMessage(kCardInUseMessage);
    session_.ListNothing();
  }
  FillMp3List(lines);
  session_.MarkWindowOpened();
  DownBitBtn->setEnabled(false);
  UpBitBtn->setEnabled(false);
  StatusBar->SetPanelText(1, Q(msg::FreeSpaceText(session_.FreeClusters())));
  PcSide->LoadBrowserSettings();
  StatusBar->SetPanelText(2, Q(msg::TotalFilesText(session_.FileCount())));
}

void TMainForm::RefreshCardView() {
  FillMp3List(session_.Relist());
  ShowCardCounts(false);
}

void TMainForm::Reload() {
  {
    const QSignalBlocker quiet(MP3ListBox);
    MP3ListBox->clear();
  }
  FillMp3List(session_.Read(kWindowRead).lines);
  ShowCardCounts(true);
}

void TMainForm::DeviceStateMessage(DeviceStateCode state) {
  const StateVerdict verdict = JudgeDeviceState(state);
  if (verdict.reaction == StateReaction::kNone) return;
  if (verdict.reaction == StateReaction::kEndSession) {
    ShowNotice(verdict.notice);
    CloseMainWindow();
    return;
  }
  // The player asks for the card to be checked and read again. An action
  // under way works on the volume as it was read (a click elsewhere during
  // its waits probes the player too); the card is read again once it ends.
  if (acting_ && !actionProbe_) {
    recheckPending_ = true;
    return;
  }
  // Within an action the card is held already, perhaps only for reading:
  // then the list's scan leaves the card as it is.
  const CardLock held = session_.Held();
  const CardSession::Hold hold(held == CardLock::kNone ? CardLock::kExclusive : held);
  if (hold.Result() != kLockOk) {
    ShowMessage(kCardInUseMessage);
    return;
  }
  const OpeningReport format = session_.CheckFormat();
  switch (format.state) {
    case CardOpening::kForeign:
    case CardOpening::kZeroTotal:
      // A card held only for reading is not formatted: the question waits
      // for the action's end, when the card can be held whole.
      if (session_.Held() == CardLock::kShared) {
        recheckPending_ = true;
        return;
      }
      if (!session_.AskToFormatForeign(format)) {
        CloseMainWindow();
        return;
      }
      break;
    case CardOpening::kUnreadable:
      CloseMainWindow();
      return;
    case CardOpening::kOpen:
    case CardOpening::kPlayerRefused:
    case CardOpening::kPlayerUntrusted:
      break;
  }
  Reload();
}

void TMainForm::CloseMainWindow() {
  closing_ = true;
  close();
}

void TMainForm::MP3ListBoxClick() {
  session_.Probe();
  if (session_.State() == kDeviceNoCard) return;
  DownBitBtn->setEnabled(false);
  UpBitBtn->setEnabled(true);
  std::int32_t selected = 0;
  std::uint32_t bytes = 0;  // wraps as the player's program did
  const QSignalBlocker quiet(MP3ListBox);
  for (int row = 0; row < MP3ListBox->count();) {
    if (!MP3ListBox->item(row)->isSelected()) {
      ++row;
      continue;
    }
    const std::string line = CardLine(row);
    session_.SetCurrentFile(line);
    const std::int32_t r = session_.Find(line);
    if (r <= 0) {
      // A line that names no file (a file whose name is lost) goes, as in
      // the transfers; the line after it moves up into this row.
      ShowMessage(msg::kFileNotExisted);
      delete MP3ListBox->takeItem(row);
      continue;
    }
    ++selected;
    bytes += session_.SizeOf(r);
    ++row;
  }
  if (selected > 0) {
    StatusBar->SetPanelText(
        2, QString::number(selected) + "files selected:" + Q(FormatThousands(std::to_string(bytes / 1024))) + "kB");
  } else {
    UpBitBtn->setEnabled(false);
    StatusBar->SetPanelText(2, Q(msg::TotalFilesText(session_.FileCount())));
  }
}
