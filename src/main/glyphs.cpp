#include "glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// An arrow across the glyph, pointing right (towards the card) or left.
QPainterPath Arrow(bool right) {
  QPainterPath path;
  const double s = kGlyphSize;
  path.moveTo(2, s * 0.38);
  path.lineTo(s * 0.55, s * 0.38);
  path.lineTo(s * 0.55, s * 0.15);
  path.lineTo(s - 2, s * 0.5);
  path.lineTo(s * 0.55, s * 0.85);
  path.lineTo(s * 0.55, s * 0.62);
  path.lineTo(2, s * 0.62);
  path.closeSubpath();
  if (!right) path = QTransform(-1, 0, 0, 1, s, 0).map(path);
  return path;
}

QPixmap Draw(Glyph glyph, bool enabled) {
  QPixmap pixmap(kGlyphSize, kGlyphSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  auto colour = [enabled](QColor c) { return enabled ? c : QColor(160, 160, 160); };
  const QPen outline(colour(QColor(40, 40, 40)), 1);
  switch (glyph) {
    case Glyph::Download:
      p.setPen(outline);
      p.setBrush(colour(QColor(30, 150, 40)));
      p.drawPath(Arrow(true));
      break;
    case Glyph::Upload:
      p.setPen(outline);
      p.setBrush(colour(QColor(30, 80, 200)));
      p.drawPath(Arrow(false));
      break;
    case Glyph::Delete:
      p.setPen(QPen(colour(QColor(200, 30, 30)), 4, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(5, 5, kGlyphSize - 5, kGlyphSize - 5);
      p.drawLine(kGlyphSize - 5, 5, 5, kGlyphSize - 5);
      break;
    case Glyph::Format: {
      // A card with a cut corner and its contacts.
      QPainterPath card;
      card.moveTo(4, 2);
      card.lineTo(kGlyphSize - 8, 2);
      card.lineTo(kGlyphSize - 3, 7);
      card.lineTo(kGlyphSize - 3, kGlyphSize - 2);
      card.lineTo(4, kGlyphSize - 2);
      card.closeSubpath();
      p.setPen(outline);
      p.setBrush(colour(QColor(230, 190, 40)));
      p.drawPath(card);
      p.setPen(QPen(colour(QColor(40, 40, 40)), 1));
      for (int x = 7; x < kGlyphSize - 5; x += 3) p.drawLine(x, kGlyphSize - 6, x, kGlyphSize - 3);
      break;
    }
    case Glyph::None:
      break;
  }
  return pixmap;
}

}  // namespace

QIcon GlyphIcon(Glyph glyph) {
  QIcon icon;
  icon.addPixmap(Draw(glyph, true), QIcon::Normal);
  icon.addPixmap(Draw(glyph, false), QIcon::Disabled);
  return icon;
}
