// Text and number routines: thousands commas, character positions, drive
// letters, progress percentages and the one crossing between card names and
// PC names.
#include <gtest/gtest.h>

#include "text.h"

TEST(util_text, FormatThousandsPutsACommaBeforeEveryThreeDigitsFromTheRight) {
  EXPECT_EQ(FormatThousands("7"), "7");
  EXPECT_EQ(FormatThousands("123"), "123");
  EXPECT_EQ(FormatThousands("1000"), "1,000");
  EXPECT_EQ(FormatThousands("1234"), "1,234");
  EXPECT_EQ(FormatThousands("999999"), "999,999");
  EXPECT_EQ(FormatThousands("1234567"), "1,234,567");
  EXPECT_EQ(FormatThousands(""), "");
  for (std::size_t len = 1; len <= 12; ++len)
    EXPECT_EQ(FormatThousands(std::string(len, '9')).size(), len + (len - 1) / 3);
}

TEST(util_text, NthCharPosFindsTheNthOccurrenceOr512) {
  EXPECT_EQ(NthCharPos('.', "song.mp3", 1), 5);
  EXPECT_EQ(NthCharPos('.', "a.b.voc", 2), 4);
  EXPECT_EQ(NthCharPos('.', "song", 1), 512);
  EXPECT_EQ(NthCharPos('.', "", 1), 512);
  EXPECT_EQ(NthCharPos('.', "a.b", 3), 512);
  EXPECT_EQ(NthCharPos('.', "a.b", 0), 512);
}

TEST(util_text, DriveNumberLettersInEitherCase) {
  EXPECT_EQ(DriveNumber('c'), 3);
  EXPECT_EQ(DriveNumber('C'), 3);
  EXPECT_EQ(DriveNumber('A'), 1);
  EXPECT_EQ(DriveNumber('z'), 26);
  EXPECT_EQ(DriveNumber('1'), 0);
  EXPECT_EQ(DriveNumber('['), 0);
}

TEST(util_text, ProgressPercentRoundsHalvesToTheEvenNeighbour) {
  const int eighths[] = {12, 25, 38, 50, 62, 75, 88, 100};
  for (std::uint32_t i = 1; i <= 8; ++i) EXPECT_EQ(ProgressPercent(i, 8), eighths[i - 1]) << i;
  EXPECT_EQ(ProgressPercent(1, 3), 33);
  EXPECT_EQ(ProgressPercent(2, 3), 67);
  EXPECT_EQ(ProgressPercent(3, 3), 100);
  EXPECT_EQ(ProgressPercent(0, 0), 0);
}

TEST(util_text, CardNamesWindows1252RoundTripsThroughUtf8) {
  std::string card;
  ASSERT_TRUE(CardNameFromPc("Café.mp3", &card));
  EXPECT_EQ(card, std::string("Caf\xE9.mp3"));
  EXPECT_EQ(PcNameFromCard(card), "Café.mp3");

  ASSERT_TRUE(CardNameFromPc("€ – “x”.voc", &card));
  EXPECT_EQ(card, std::string("\x80 \x96 \x93x\x94.voc"));
  EXPECT_EQ(PcNameFromCard(card), "€ – “x”.voc");

  // Every byte maps to one character and back.
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  ASSERT_TRUE(CardNameFromPc(PcNameFromCard(all), &card));
  EXPECT_EQ(card, all);
}

TEST(util_text, CardNamesRefusesWhatTheCardCannotHold) {
  std::string card = "unchanged";
  EXPECT_FALSE(CardNameFromPc("日本.mp3", &card));
  EXPECT_FALSE(CardNameFromPc("emoji \xF0\x9F\x8E\xB5.mp3", &card));
  EXPECT_FALSE(CardNameFromPc("bad \xC3(.mp3", &card));       // broken sequence
  EXPECT_FALSE(CardNameFromPc("over \xC0\xAF.mp3", &card));   // overlong "/"
  EXPECT_FALSE(CardNameFromPc("cut \xE2\x82", &card));        // ends mid-sequence
  EXPECT_EQ(card, "unchanged");
}
