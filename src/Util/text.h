// Text and number routines shared by every layer.
#pragma once

#include <cstdint>
#include <string>

// "1234567" -> "1,234,567": a comma before every group of three characters
// counted from the right. Meant for unsigned decimal texts.
std::string FormatThousands(const std::string& digits);

// 1-based position of the n-th `ch` in `text`; 512 when there is none, when
// `text` is empty or when n < 1.
int NthCharPos(char ch, const std::string& text, int n);

// 'A'..'Z' in either case give 1..26; anything else 0.
int DriveNumber(char letter);

// Names on the card are 8-bit Windows-1252 text; on the PC they are UTF-8.
// These two are the only crossing between them.
//
// CardNameFromPc fails (returns false) for text that is not valid UTF-8 or
// holds a character outside the code page.
bool CardNameFromPc(const std::string& utf8, std::string* card);
std::string PcNameFromCard(const std::string& card);

// The longest name a name slot holds, in card bytes.
inline constexpr std::size_t kMaxCardNameBytes = 62;

// i / total * 100 rounded to the nearest whole number, halves to the even
// neighbour (1 of 8 gives 12, 3 of 8 gives 38). 0 when total is 0.
// A size in decimal units with one decimal, as a file manager shows it:
// "12.4 MB", "44.2 kB", "812 bytes".
std::string HumanSize(std::uint64_t bytes);

int ProgressPercent(std::uint32_t done, std::uint32_t total);
