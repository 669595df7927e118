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
