// The pictures on the four glyph buttons, drawn here: each has a normal and a
// greyed disabled state.
#pragma once

#include <QIcon>

enum class Glyph { None, Download, Upload, Delete, Format };

inline constexpr int kGlyphSize = 24;

QIcon GlyphIcon(Glyph glyph);
