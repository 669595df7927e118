// The platform layer's naming of a card in a reader: drive letters and
// physical drives on Windows (run there under wine), every name left alone
// elsewhere.
#include <gtest/gtest.h>

#include "platform.h"

TEST(util_platform, CardDevicePathNamesTheVolumeOfADriveLetter) {
  struct Row {
    const char* given;
    const char* windows;  // what Windows opens; elsewhere the name itself
    bool volume;          // a volume, to be locked and dismounted
  } rows[] = {
      {"E:", "\\\\.\\E:", true},
      {"e:", "\\\\.\\E:", true},
      {"E:\\", "\\\\.\\E:", true},
      {"e:/", "\\\\.\\E:", true},
      {"\\\\.\\F:", "\\\\.\\F:", true},
      {"\\\\.\\PhysicalDrive2", "\\\\.\\PhysicalDrive2", false},
      {"E:card.img", "E:card.img", false},
      {"E:\\card.img", "E:\\card.img", false},
      {"card.img", "card.img", false},
      {"1:", "1:", false},
      {"", "", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.given);
#ifdef _WIN32
    EXPECT_EQ(platform::CardDevicePath(r.given), r.windows);
    EXPECT_EQ(platform::IsVolumePath(platform::CardDevicePath(r.given)), r.volume);
#else
    EXPECT_EQ(platform::CardDevicePath(r.given), r.given);
    EXPECT_FALSE(platform::IsVolumePath(platform::CardDevicePath(r.given)));
#endif
  }
}

// The names Windows' folders cannot hold, which a card may carry: a device's
// name with any extension, a character Windows refuses. Elsewhere every name
// the card lets through is a file's.
TEST(util_platform, ReservedFileNamesAreWindowsDevicesAndCharacters) {
  struct Row {
    const char* name;
    bool windows;
  } rows[] = {
      {"NUL.mp3", true},     {"nul.voc", true},      {"Con.mp3", true},     {"AUX.tar.voc", true},
      {"COM1.mp3", true},    {"lpt9.voc", true},     {"COM\u00B9.mp3", true}, {"NUL .mp3", true},
      {"a?b.mp3", true},     {"x<y.mp3", true},      {"p|q.mp3", true},     {"say \"hi\".mp3", true},
      {"a*.voc", true},      {"song.mp3.", true},    {"song.mp3 ", true},   {"COM10.mp3", false},
      {"CONSOLE.mp3", false}, {"nul-2.mp3", false},   {"song.mp3", false},   {"trail .mp3", false},
      {"m\u00E9mo.voc", false}, {"ANUL.mp3", false},
  };
  for (const Row& r : rows) {
#ifdef _WIN32
    EXPECT_EQ(platform::ReservedFileName(r.name), r.windows) << r.name;
#else
    EXPECT_FALSE(platform::ReservedFileName(r.name)) << r.name;
#endif
  }
}
