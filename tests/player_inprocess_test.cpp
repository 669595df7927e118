// The in-process player behind the real driver calls.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "bulkusb.h"
#include "in_process_player.h"
#include "support/card_image.h"
#include "support/files.h"
#include "support/player_protocol.h"

using namespace zk27_test;
using player::InProcessPlayer;

namespace {

class player_inprocess : public ::testing::Test {
 protected:
  void SetUp() override {
    // Should the in-process player not be installed, the driver must find no
    // daemon either.
    ::setenv("ZK27_PLAYER_SOCKET", (dir_ / "no-player.sock").c_str(), 1);
    RuntimeFolderIn(dir_);
  }
  TempDir dir_;
};

TEST_F(player_inprocess, MissingImageIsCreatedBlankAndSparse) {
  const std::string path = dir_ / "a/b/card.img";
  InProcessPlayer p(path, 3);
  ASSERT_TRUE(p.ok()) << p.error();
  EXPECT_EQ(p.ImagePath(), path);
  EXPECT_EQ(p.SectorCount(), 3u * 2048);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3 * 1024 * 1024);
  EXPECT_LT(st.st_blocks * 512, st.st_size);
  EXPECT_EQ(ReadAt(path, 3 * 1024 * 1024 - 512, 512), Bytes(512, 0));
}

TEST_F(player_inprocess, ExistingImageKeepsItsSizeAndBadOnesAreRefused) {
  ASSERT_TRUE(MakeBlankImage(dir_ / "small.img", 300));
  InProcessPlayer small(dir_ / "small.img", 64);
  ASSERT_TRUE(small.ok());
  EXPECT_EQ(small.SectorCount(), 300u);

  ASSERT_TRUE(WriteAt(dir_ / "small.img", 300 * 512, Bytes(100, 1)));  // no longer whole sectors
  InProcessPlayer bad(dir_ / "small.img", 64);
  EXPECT_FALSE(bad.ok());
  EXPECT_NE(bad.error().find("512"), std::string::npos) << bad.error();
  bad.Install();
  Bytes none;
  EXPECT_EQ(Exchange(StatusCommand(), 0, &none), 0x0003);
}

TEST_F(player_inprocess, DriverCallsReachTheCard) {
  InProcessPlayer p(dir_ / "card.img", 1);
  ASSERT_TRUE(p.ok());
  p.Install();
  Bytes info(512);
  ASSERT_EQ(Exchange(IdentifyCommand(), 1, &info), 0);
  EXPECT_EQ(info[0], 0x84);
  EXPECT_EQ(info[16], 0x08);  // 2048 sectors

  Bytes sectors = Pattern(40);
  const Bytes second = Pattern(41);
  sectors.insert(sectors.end(), second.begin(), second.end());
  ASSERT_EQ(Exchange(WriteCommand(40, 2), 2, &sectors, true), 0);
  EXPECT_EQ(ReadAt(p.ImagePath(), 40 * 512, 1024), sectors);
  Bytes back(1024);
  ASSERT_EQ(Exchange(ReadCommand(40, 2), 2, &back), 0);
  EXPECT_EQ(back, sectors);
  EXPECT_EQ(p.CommandsServed(), 3u);
}

TEST_F(player_inprocess, FaultControlsShowThroughTheDriver) {
  InProcessPlayer p(dir_ / "card.img", 1);
  p.Install();
  Bytes none;
  p.core().Eject();
  EXPECT_EQ(Exchange(StatusCommand(), 0, &none), 0x0080);
  p.core().Insert();
  p.Unplug();
  EXPECT_EQ(Exchange(StatusCommand(), 0, &none), 0x0003);
  p.Plug();
  p.core().FailAfter(1);
  EXPECT_EQ(Exchange(StatusCommand(), 0, &none), 0xFF7F);
  EXPECT_EQ(Exchange(StatusCommand(), 0, &none), 0);
  EXPECT_EQ(p.CommandsServed(), 3u);  // the unplugged attempt never reached the player
}

TEST_F(player_inprocess, PipeCallsOutsideTheConversationFail) {
  InProcessPlayer p(dir_ / "card.img", 1);
  p.Install();
  std::uint32_t done = 0;
  std::uint8_t buf[512];

  BulkHandle dev = open_dev(), in = open_read(), out = open_write();
  EXPECT_FALSE(pipe_read(in, buf, 2, &done));  // nothing asked, nothing queued
  const Bytes read = ReadCommand(0, 1);
  ASSERT_TRUE(pipe_write(out, read.data(), 31, &done));
  EXPECT_FALSE(pipe_read(in, buf, 512, &done));  // the status is 2 bytes, not 512
  EXPECT_EQ(done, 0u);
  EXPECT_TRUE(pipe_read(in, buf, 512, &done));   // the sector itself, the whole data phase
  EXPECT_FALSE(pipe_read(in, buf, 2, &done));   // a 13-byte completion comes next
  for (BulkHandle h : {dev, in, out}) close_handle(h);

  // Handles of a finished command do not reach the next one.
  BulkHandle dev2 = open_dev(), in2 = open_read(), out2 = open_write();
  const Bytes status = StatusCommand();
  ASSERT_TRUE(pipe_write(out2, status.data(), 31, &done));
  EXPECT_FALSE(pipe_read(in, buf, 2, &done));
  EXPECT_FALSE(pipe_write(out, status.data(), 31, &done));
  EXPECT_TRUE(pipe_read(in2, buf, 2, &done));

  // After a transport failure every further read of that command fails.
  p.core().FailAfter(1);
  ASSERT_TRUE(pipe_write(out2, status.data(), 31, &done));
  EXPECT_FALSE(pipe_read(in2, buf, 13, &done));  // not even the completion of the last command
  EXPECT_FALSE(pipe_read(in2, buf, 2, &done));
  for (BulkHandle h : {dev2, in2, out2}) close_handle(h);
}

TEST_F(player_inprocess, UninstalledPlayerIsOutOfReach) {
  Bytes none;
  {
    InProcessPlayer p(dir_ / "card.img", 1);
    p.Install();
    EXPECT_EQ(Exchange(StatusCommand(), 0, &none), 0);
    p.Uninstall();
    EXPECT_EQ(Exchange(StatusCommand(), 0, &none), 0x0003);
    p.Install();
  }  // the destructor takes it away
  EXPECT_EQ(Exchange(StatusCommand(), 0, &none), 0x0003);

  // A player replaced by another leaves the new one installed when it goes.
  auto first = std::make_unique<InProcessPlayer>(dir_ / "first.img", 1);
  first->Install();
  InProcessPlayer second(dir_ / "second.img", 2);
  second.Install();
  EXPECT_FALSE(first->Installed());
  first.reset();
  Bytes info(512);
  ASSERT_EQ(Exchange(IdentifyCommand(), 1, &info), 0);
  EXPECT_EQ(info[16], 0x10);  // the 2 MiB card answers
}

}  // namespace
