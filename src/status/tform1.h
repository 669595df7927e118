// The progress window of one transfer.
//
// Each transfer creates one Tform1, shows it, writes its controls as it goes
// and frees it at the end; `form1` refers to it meanwhile. The window holds no
// data of its own; the only events it handles are the user's ways of asking
// the transfer to stop (Escape, its close box), which it passes on.
//
// Layer: a front end's window (Qt Widgets). It calls only src/Util; the main
// window (src/main) creates it and writes its controls.
#pragma once

#include <QFont>
#include <QLabel>
#include <QProgressBar>
#include <QString>
#include <QWidget>
#include <functional>

class Tform1 : public QWidget {
  Q_OBJECT
 public:
  explicit Tform1(QWidget* owner = nullptr);

  // StaticText1 = name + " is " + verb, then about 1 ms of event handling so
  // the text and any queued repaints appear before the file is moved.
  void showstring(const QString& name, const QString& verb);

  // The place in the selection: "k of n".
  void ShowPosition(int k, int n);
  // The bar and StaticText2 at `percent`.
  void ShowPercent(int percent);
  // StaticText1 alone, as when a transfer stops on the card.
  void ShowStatus(const QString& text);
  // The end of a transfer: `summary` on white, StaticText3 emptied.
  void ShowSummary(const QString& summary);

  // Called when the user asks the transfer to stop; the window stays open
  // until the transfer ends. Without it those keys and the close box do
  // nothing.
  std::function<void()> onStopAsked;

  QLabel* StaticText1;  // the current file, at the end the summary
  QLabel* StaticText3;  // "k of n"
  QProgressBar* ProgressBar1;
  QLabel* StaticText2;  // "p%"

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void SetText(QLabel* label, const QString& text);
};

// The windows' font at `pixels` high: "MS Sans Serif" where the system has it,
// else the platform's sans font.
QFont WindowFont(int pixels);

// Sets one colour role of `widget`'s palette.
void SetColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour);

// The window of the running transfer; null when none runs.
extern Tform1* form1;
