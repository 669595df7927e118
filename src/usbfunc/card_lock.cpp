// One program at a time on a card: a lock (flock, LockFileEx on Windows) on
// the card image itself, on a USB player's device node, or on a lock file
// named after what the player is.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "bulkusb.h"
#include "card_source.h"
#include "platform.h"
#include "usbfunc.h"

namespace {

int g_lockFd = -1;        // what is flocked: the card image, or a player's lock file
bool g_ownLockFd = false; // the lock file is ours to close
int g_depth = 0;
CardLock g_mode = CardLock::kNone;

std::chrono::milliseconds LockWait() {
  if (const char* s = std::getenv("ZK27_LOCK_WAIT"); s && *s) {
    char* end = nullptr;
    const double seconds = std::strtod(s, &end);
    if (end != s && seconds >= 0 && seconds < 3600)
      return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  }
  return std::chrono::seconds(5);
}

// What the programs sharing the player flock, opened: its device node, or its
// lock file (made when missing); -1 when it cannot be. An empty identity (no
// player, or one in a refused folder) gives -2. A link is never followed:
// whoever could plant one would choose what the lock opens, or makes.
int OpenPlayerLockFile() {
  const std::string identity = bulkusb::PlayerIdentity();
  if (identity.empty()) return -2;
  const std::string path = bulkusb::PlayerLockFile(identity);
  if (path.empty()) return -1;
  if (bulkusb::PlayerLockIsDeviceNode(identity)) return platform::OpenFile(path, platform::kOpenRead | platform::kNoFollow);
  return platform::OpenFile(path, platform::kCreateOrOpen | platform::kNoFollow);
}

}  // namespace

CardLockResult LockCard(CardLock mode) {
  if (g_depth > 0) {
    if (mode == CardLock::kExclusive && g_mode != CardLock::kExclusive) return kLockInUse;
    ++g_depth;
    return kLockOk;
  }
  int fd = card_source::Active() ? card_source::Fd() : OpenPlayerLockFile();
  const bool own = !card_source::Active();
  if (fd == -1) return kLockFailed;
  if (fd >= 0) {
    const auto deadline = std::chrono::steady_clock::now() + LockWait();
    while (!platform::TryLockFile(fd, mode == CardLock::kExclusive)) {
      if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
        if (own) platform::CloseFile(fd);
        return kLockInUse;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  g_lockFd = fd;
  g_ownLockFd = own && fd >= 0;
  g_depth = 1;
  g_mode = mode;
  return kLockOk;
}

void UnlockCard() {
  if (g_depth == 0 || --g_depth > 0) return;
  if (g_lockFd >= 0) {
    platform::UnlockFile(g_lockFd);
    if (g_ownLockFd) platform::CloseFile(g_lockFd);
  }
  g_lockFd = -1;
  g_ownLockFd = false;
  g_mode = CardLock::kNone;
}

CardLock HeldCardLock() { return g_depth > 0 ? g_mode : CardLock::kNone; }
