// The virtual player inside the test's own process: a PlayerCore behind the
// bulk driver's in-process backend, so that open_dev / pipe_read / pipe_write
// reach the core directly, with no daemon and no socket.
//
//   player::InProcessPlayer p(dir + "/card.img", 4);   // 4 MiB blank card
//   ASSERT_TRUE(p.ok()) << p.error();
//   p.Install();
//   p.core().Eject();          // every fault control of PlayerCore
//   ... engine calls ...
//   EXPECT_EQ(p.CommandsServed(), 3u);
//
// Single-threaded: the driver calls and the fault controls must come from the
// same thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bulk_backend.h"
#include "card_image.h"
#include "player_core.h"

namespace player {

class InProcessPlayer final : public bulkusb::Backend {
 public:
  // Opens the card image at `imagePath`; a missing one is created blank with
  // `sizeMiB` MiB. On failure ok() is false, error() says why, and the player
  // behaves as one that is not attached.
  explicit InProcessPlayer(std::string imagePath, std::uint32_t sizeMiB = kDefaultCardMiB);
  ~InProcessPlayer() override;

  InProcessPlayer(const InProcessPlayer&) = delete;
  InProcessPlayer& operator=(const InProcessPlayer&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }

  // Puts this player ahead of every other way to a player (replacing another
  // in-process player) / takes it away again. The destructor uninstalls it;
  // a player that was replaced leaves its successor in place.
  void Install();
  void Uninstall();
  bool Installed() const { return installed_; }

  PlayerCore& core() { return *core_; }
  const PlayerCore& core() const { return *core_; }
  std::uint64_t CommandsServed() const { return core_->CommandsServed(); }
  const std::string& ImagePath() const { return path_; }
  std::uint32_t SectorCount() const { return core_->SectorCount(); }
  // Shorthands for the cable: while unplugged open_dev fails, and the pipe
  // calls of a command already open fail.
  void Unplug() { core_->SetPlugged(false); }
  void Plug() { core_->SetPlugged(true); }

  // bulkusb::Backend. Each OpenDev starts a new conversation with fresh
  // handle numbers; handles of an earlier command are refused. Read hands out
  // the player's replies one per call and fails when nothing is queued, when
  // `size` is not the size of the queued message (the message is consumed),
  // or after a transport failure of the command.
  BulkHandle OpenDev() override;
  BulkHandle OpenRead() override;
  BulkHandle OpenWrite() override;
  bool Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) override;
  bool Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) override;
  void Close(BulkHandle handle) override;
  std::string Identity() override { return "inprocess:" + path_; }

 private:
  void EndConversation();

  std::string path_;
  std::string error_;
  int fd_ = -1;
  std::unique_ptr<PlayerCore> core_;
  bool installed_ = false;

  // The conversation of the command in progress.
  BulkHandle base_ = 1000;  // device handle; read = base_ + 1, write = base_ + 2
  bool devOpen_ = false;
  bool readOpen_ = false;
  bool writeOpen_ = false;
  bool broken_ = false;  // a transport failure happened: every pipe call fails
  std::deque<std::vector<std::uint8_t>> pending_;
};

}  // namespace player
