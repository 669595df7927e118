#include "text.h"

#include <cstdio>
#include <iterator>

#include <array>
#include <cmath>

std::string FormatThousands(const std::string& digits) {
  std::string out;
  const std::size_t len = digits.size();
  out.reserve(len + len / 3);
  for (std::size_t i = 0; i < len; ++i) {
    if (i > 0 && (len - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

int NthCharPos(char ch, const std::string& text, int n) {
  if (n < 1) return 512;
  int seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ch && ++seen == n) return static_cast<int>(i) + 1;
  }
  return 512;
}

int DriveNumber(char letter) {
  if (letter >= 'A' && letter <= 'Z') return letter - 'A' + 1;
  if (letter >= 'a' && letter <= 'z') return letter - 'a' + 1;
  return 0;
}

namespace {

// Code points of the bytes 0x80..0x9F in Windows-1252. The five bytes that the
// code page leaves open keep their C1 code points, so every byte has exactly
// one character and the mapping is reversible.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t CodePointOf(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
  return byte;
}

bool ByteOf(char32_t cp, unsigned char* byte) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
    *byte = static_cast<unsigned char>(cp);
    return true;
  }
  for (std::size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == cp) {
      *byte = static_cast<unsigned char>(0x80 + i);
      return true;
    }
  }
  return false;
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one UTF-8 sequence at text[*i]; false for malformed input.
bool NextCodePoint(const std::string& text, std::size_t* i, char32_t* cp) {
  const auto lead = static_cast<unsigned char>(text[*i]);
  int extra;
  char32_t value;
  if (lead < 0x80) { extra = 0; value = lead; }
  else if ((lead & 0xE0) == 0xC0) { extra = 1; value = lead & 0x1F; }
  else if ((lead & 0xF0) == 0xE0) { extra = 2; value = lead & 0x0F; }
  else if ((lead & 0xF8) == 0xF0) { extra = 3; value = lead & 0x07; }
  else return false;
  if (*i + extra >= text.size()) return false;
  for (int k = 1; k <= extra; ++k) {
    const auto c = static_cast<unsigned char>(text[*i + k]);
    if ((c & 0xC0) != 0x80) return false;
    value = (value << 6) | (c & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (value < kMin[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *i += extra + 1;
  *cp = value;
  return true;
}

}  // namespace

bool CardNameFromPc(const std::string& utf8, std::string* card) {
  std::string out;
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp;
    unsigned char byte;
    if (!NextCodePoint(utf8, &i, &cp) || !ByteOf(cp, &byte)) return false;
    out.push_back(static_cast<char>(byte));
  }
  *card = std::move(out);
  return true;
}

std::string PcNameFromCard(const std::string& card) {
  std::string out;
  out.reserve(card.size());
  for (unsigned char byte : card) AppendUtf8(CodePointOf(byte), &out);
  return out;
}

int ProgressPercent(std::uint32_t done, std::uint32_t total) {
  if (total == 0) return 0;
  // nearbyint rounds in the current mode, which is to-nearest-even.
  return static_cast<int>(std::nearbyint(static_cast<double>(done) / total * 100.0));
}

std::string HumanSize(std::uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1000.0;
  std::size_t unit = 0;
  // 999.95 kB would show as "1000.0 kB": it is 1.0 MB.
  while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}
