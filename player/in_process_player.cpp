#include "in_process_player.h"

#include <cstring>

#include "platform.h"

namespace player {

namespace {

// The player the driver reaches now. Kept here because the driver only
// takes a backend: a player that is replaced must not, when it goes, take
// its successor off the driver.
InProcessPlayer* g_installed = nullptr;

}  // namespace

InProcessPlayer::InProcessPlayer(std::string imagePath, std::uint32_t sizeMiB) : path_(std::move(imagePath)) {
  fd_ = OpenCardImage(path_, sizeMiB, &error_);
  // A core always exists so that the controls work; without an image it has
  // a card of 0 sectors and OpenDev refuses every command.
  core_ = std::make_unique<PlayerCore>(fd_);
}

InProcessPlayer::~InProcessPlayer() {
  Uninstall();
  core_.reset();
  if (fd_ >= 0) platform::CloseFile(fd_);
}

void InProcessPlayer::Install() {
  if (g_installed && g_installed != this) g_installed->installed_ = false;
  g_installed = this;
  bulkusb::InstallInProcessBackend(this);
  installed_ = true;
}

void InProcessPlayer::Uninstall() {
  if (!installed_) return;
  installed_ = false;
  if (g_installed != this) return;
  g_installed = nullptr;
  bulkusb::InstallInProcessBackend(nullptr);
}

void InProcessPlayer::EndConversation() {
  devOpen_ = readOpen_ = writeOpen_ = false;
  broken_ = false;
  pending_.clear();
  core_->BeginCommand();
}

BulkHandle InProcessPlayer::OpenDev() {
  EndConversation();
  if (!ok() || !core_->Plugged()) return kInvalidBulkHandle;
  base_ += 3;  // fresh numbers: a handle kept from an earlier command is refused
  devOpen_ = true;
  return base_;
}

BulkHandle InProcessPlayer::OpenRead() {
  if (!devOpen_ || !core_->Plugged()) return kInvalidBulkHandle;
  readOpen_ = true;
  return base_ + 1;
}

BulkHandle InProcessPlayer::OpenWrite() {
  if (!devOpen_ || !core_->Plugged()) return kInvalidBulkHandle;
  writeOpen_ = true;
  return base_ + 2;
}

bool InProcessPlayer::Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  if (!readOpen_ || pipe != base_ + 1 || broken_ || !core_->Plugged() || pending_.empty()) return false;
  std::vector<std::uint8_t> message = std::move(pending_.front());
  pending_.pop_front();
  if (message.size() != size || buf == nullptr) return false;
  std::memcpy(buf, message.data(), size);
  *done = size;
  return true;
}

bool InProcessPlayer::Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  if (!writeOpen_ || pipe != base_ + 2 || broken_ || !core_->Plugged() || buf == nullptr) return false;
  std::vector<std::vector<std::uint8_t>> replies;
  const Step step = core_->OnHostMessage(static_cast<const std::uint8_t*>(buf), size, replies);
  // The message reached the player either way; a dropped conversation shows
  // up on the host's next pipe call.
  *done = size;
  if (step == Step::kDrop) {
    broken_ = true;
    pending_.clear();
    return true;
  }
  for (auto& r : replies) pending_.push_back(std::move(r));
  return true;
}

void InProcessPlayer::Close(BulkHandle handle) {
  if (handle == base_) devOpen_ = false;
  if (handle == base_ + 1) readOpen_ = false;
  if (handle == base_ + 2) writeOpen_ = false;
  if (!devOpen_ && !readOpen_ && !writeOpen_) EndConversation();
}

}  // namespace player
