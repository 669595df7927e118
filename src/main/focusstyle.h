// The window's style: the platform's own, with the keyboard focus always in
// sight. Styles such as Fusion show it only after the Tab key was used, and
// not at all on a list with nothing in it; a user of the keyboard must see
// where Delete, Enter or Space will act.
#pragma once

#include <QProxyStyle>

class FocusVisibleStyle : public QProxyStyle {
 public:
  FocusVisibleStyle();
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget = nullptr) const override;
  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                          const QWidget* widget = nullptr) const override;
};

// Gives `window` and every widget in it the style; the window owns it.
void ShowFocusAlways(QWidget* window);
