#include "focusstyle.h"

#include <QAbstractItemView>
#include <QPainter>
#include <QStyleOption>
#include <QWidget>

namespace {

// The style draws with `option` as if the focus had come from the keyboard
// whenever the widget has it; the option is the caller's and is given back
// as it was.
class KeyboardFocus {
 public:
  explicit KeyboardFocus(const QStyleOption* option) : option_(const_cast<QStyleOption*>(option)) {
    if (option_) {
      saved_ = option_->state;
      if (saved_ & QStyle::State_HasFocus) option_->state |= QStyle::State_KeyboardFocusChange;
    }
  }
  ~KeyboardFocus() {
    if (option_) option_->state = saved_;
  }
  KeyboardFocus(const KeyboardFocus&) = delete;
  KeyboardFocus& operator=(const KeyboardFocus&) = delete;

 private:
  QStyleOption* option_;
  QStyle::State saved_;
};

}  // namespace

FocusVisibleStyle::FocusVisibleStyle() : QProxyStyle() {}

void FocusVisibleStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                      const QWidget* widget) const {
  {
    const KeyboardFocus focus(option);
    QProxyStyle::drawPrimitive(element, option, painter, widget);
  }
  // A list shows the focus on its current line; an empty list has none, so
  // its frame takes the focus colour instead, over the frame's own width.
  const auto* list = qobject_cast<const QAbstractItemView*>(widget);
  if (element == PE_Frame && list && option && (option->state & State_HasFocus)) {
    const int width = qMax(1, pixelMetric(PM_DefaultFrameWidth, option, widget));
    painter->save();
    QPen pen(option->palette.color(QPalette::Active, QPalette::Highlight), width);
    pen.setJoinStyle(Qt::MiterJoin);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    const qreal half = width / 2.0;
    painter->drawRect(QRectF(option->rect).adjusted(half, half, -half, -half));
    painter->restore();
  }
}

void FocusVisibleStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                                    const QWidget* widget) const {
  const KeyboardFocus focus(option);
  QProxyStyle::drawControl(element, option, painter, widget);
}

void FocusVisibleStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                           QPainter* painter, const QWidget* widget) const {
  const KeyboardFocus focus(option);
  QProxyStyle::drawComplexControl(control, option, painter, widget);
}

void ShowFocusAlways(QWidget* window) {
  auto* style = new FocusVisibleStyle;
  style->setParent(window);
  window->setStyle(style);
  for (QWidget* w : window->findChildren<QWidget*>()) w->setStyle(style);
}
