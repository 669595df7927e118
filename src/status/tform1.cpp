#include "tform1.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <algorithm>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPalette>

Tform1* form1 = nullptr;

QFont WindowFont(int pixels) {
  QFont font(QFontDatabase::families().contains("MS Sans Serif")
                 ? QStringLiteral("MS Sans Serif")
                 : QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
  font.setPixelSize(pixels);
  return font;
}

void SetColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
  QPalette p = widget->palette();
  p.setColor(role, colour);
  widget->setPalette(p);
}

namespace {

constexpr QColor kAqua(0, 255, 255);

QLabel* StaticText(QWidget* parent, int left, int top, int fontPixels, const QColor* background) {
  auto* label = new QLabel(parent);
  label->setFont(WindowFont(fontPixels));
  label->move(left, top);
  if (background) {
    label->setAutoFillBackground(true);
    SetColour(label, QPalette::Window, *background);
  }
  return label;
}

}  // namespace

Tform1::Tform1(QWidget* owner)
    : QWidget(owner, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("form1");
  setWindowTitle("Download File Status!");
  setFont(WindowFont(13));
  move(234, 351);

  StaticText1 = StaticText(this, 0, 0, 15, &kAqua);
  StaticText1->setObjectName("StaticText1");
  StaticText3 = StaticText(this, 0, 17, 13, &kAqua);
  StaticText3->setObjectName("StaticText3");
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setGeometry(0, 41, 528, 24);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);  // the percentage has its own text below
  StaticText2 = StaticText(this, 224, 73, 18, nullptr);
  StaticText2->setObjectName("StaticText2");
  // Sized to its contents: the percentage text starts at 73, so the window
  // grows below its 77 pixels by the height of that text.
  const int textHeight = QFontMetrics(StaticText2->font()).height();
  setFixedSize(528, std::max(77, 73 + textHeight + 2));
}

void Tform1::SetText(QLabel* label, const QString& text) {
  label->setText(text);
  label->adjustSize();  // static texts size themselves to their text
}

void Tform1::showstring(const QString& name, const QString& verb) {
  SetText(StaticText1, name + " is " + verb);
  QElapsedTimer clock;
  clock.start();
  do {
    QCoreApplication::processEvents();
  } while (clock.elapsed() < 1);
}

void Tform1::ShowPosition(int k, int n) { SetText(StaticText3, QString::number(k) + " of " + QString::number(n)); }

void Tform1::ShowPercent(int percent) {
  ProgressBar1->setValue(percent);
  SetText(StaticText2, QString::number(percent) + "%");
}

void Tform1::ShowStatus(const QString& text) { SetText(StaticText1, text); }

void Tform1::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && onStopAsked) {
    onStopAsked();
    return;
  }
  QWidget::keyPressEvent(event);
}

void Tform1::closeEvent(QCloseEvent* event) {
  // The window belongs to the transfer: it goes when the transfer ends.
  event->ignore();
  if (onStopAsked) onStopAsked();
}

void Tform1::ShowSummary(const QString& summary) {
  SetColour(StaticText1, QPalette::Window, QColor(255, 255, 255));
  SetText(StaticText1, summary);
  SetText(StaticText3, QString());
  // The colour of an inactive caption's text: the strip fades into the window.
  SetColour(StaticText3, QPalette::Window, palette().color(QPalette::Inactive, QPalette::PlaceholderText));
}
