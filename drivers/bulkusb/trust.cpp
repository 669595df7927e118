// Whom the driver believes: the folder that holds the virtual player's socket
// and the lock files, and the process that answers on the socket.
#include "bulk_backend.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#ifdef _WIN32
#include <filesystem>
#include <system_error>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform.h"

namespace bulkusb {

namespace {

OpenRefusal g_refusal;

#ifndef _WIN32
OpenRefusal FolderRefusal(const std::string& folder, const struct stat& st) {
  OpenRefusal r;
  r.kind = Refusal::kFolder;
  r.path = folder;
  r.directory = S_ISDIR(st.st_mode);
  r.owner = st.st_uid;
  r.mode = st.st_mode & 07777;
  return r;
}
#endif

// The socket's folder, as spelled; "." for a bare name.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

OpenRefusal LastOpenRefusal() { return g_refusal; }
void NoteRefusal(const OpenRefusal& refusal) { g_refusal = refusal; }

std::string RuntimeFolder() { return platform::RuntimeFolder(); }

#ifdef _WIN32
// On Windows the folder lies in the user's own profile (%LOCALAPPDATA%),
// whose access list admits the user alone: it is made when missing and must
// be a folder. No local socket is reached there (the virtual player is on
// TCP), so there is no peer to examine and no socket to name a lock after.
bool OwnFolder(const std::string& folder, OpenRefusal* why) {
  *why = {};
  if (folder.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(platform::PathOf(folder), ec);
  if (std::filesystem::is_directory(std::filesystem::symlink_status(platform::PathOf(folder), ec))) return true;
  why->kind = Refusal::kFolder;
  why->path = folder;
  return false;
}

bool TrustedPeer(int, const std::string&, OpenRefusal* why) {
  *why = {};
  return true;
}

std::string SocketIdentity(const std::string&) { return {}; }
#else
bool OwnFolder(const std::string& folder, OpenRefusal* why) {
  *why = {};
  struct stat st {};
  // lstat: a symbolic link is refused, not followed to whatever it names.
  if (::lstat(folder.c_str(), &st) != 0) {
    if (errno != ENOENT) return false;
    // Made here when missing, so that nobody else can make it first; a
    // folder someone made between the look and the mkdir is examined below.
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (::lstat(folder.c_str(), &st) != 0) return false;
  }
  if (S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0) return true;
  *why = FolderRefusal(folder, st);
  return false;
}

bool TrustedPeer(int fd, const std::string& socketPath, OpenRefusal* why) {
  *why = {};
  ucred peer{};
  socklen_t size = sizeof(peer);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof(peer) &&
      (peer.uid == ::geteuid() || peer.uid == 0))
    return true;
  why->kind = Refusal::kPeer;
  why->path = socketPath;
  why->peer = size == sizeof(peer) ? peer.uid : static_cast<std::uint32_t>(-1);
  return false;
}

std::string SocketIdentity(const std::string& socketPath) {
  struct stat st {};
  if (::stat(socketPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
  // The folder the socket really lies in, whatever links led to it: every
  // program that reaches this socket reaches that folder too.
  char* real = ::realpath(socketPath.c_str(), nullptr);
  if (!real) return {};
  const std::string folder = FolderOf(real);
  std::free(real);
  char key[64];
  std::snprintf(key, sizeof(key), "socket:%" PRIxMAX ":%" PRIxMAX ":", static_cast<std::uintmax_t>(st.st_dev),
                static_cast<std::uintmax_t>(st.st_ino));
  return key + folder;
}
#endif

bool SocketFolderTrusted(const std::string& socketPath, OpenRefusal* why) {
  *why = {};
  // A socket the user named elsewhere is the user's own choice; its peer is
  // still examined after the connect.
  const std::string folder = RuntimeFolder();
  if (FolderOf(socketPath) != folder) return true;
  return OwnFolder(folder, why);
}

}  // namespace bulkusb
