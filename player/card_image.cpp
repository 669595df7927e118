#include "card_image.h"

#include <cerrno>
#include <cstring>
#ifdef _WIN32
#include <direct.h>
#else
#include <sys/stat.h>
#endif

#include "platform.h"

namespace player {

namespace {

std::string Reason(const std::string& what, int err) { return what + ": " + std::strerror(err); }

int MakeFolder(const std::string& path, unsigned mode) {
#ifdef _WIN32
  (void)mode;  // the folder takes its parent's access rules
  return ::_mkdir(path.c_str());
#else
  return ::mkdir(path.c_str(), mode);
#endif
}

}  // namespace

bool MakeFolders(const std::string& path, unsigned mode, std::string* error) {
  if (path.empty()) return true;
  // Walk the components from the top so that each mkdir has its parent.
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string prefix = path.substr(0, pos);
    if (MakeFolder(prefix, mode) == 0 || errno == EEXIST) continue;
    *error = Reason("cannot create folder " + prefix, errno);
    return false;
  }
  platform::FileState folder;
  if (!platform::StateOf(path, &folder) || folder.kind != platform::FileKind::kDirectory) {
    *error = path + " is not a folder";
    return false;
  }
  return true;
}

int OpenCardImage(const std::string& path, std::uint32_t sizeMiB, std::string* error) {
  if (path.empty()) {
    *error = "no card image given";
    return -1;
  }
  int fd = platform::OpenFile(path, platform::kOpenReadWrite);
  if (fd < 0 && errno == ENOENT) {
    if (sizeMiB == 0 || sizeMiB > kMaxCardMiB) {
      *error = "card size must be 1 to " + std::to_string(kMaxCardMiB) + " MiB";
      return -1;
    }
    if (auto slash = path.rfind('/'); slash != std::string::npos && slash > 0) {
      if (!MakeFolders(path.substr(0, slash), 0755, error)) return -1;
    }
    fd = platform::OpenFile(path, platform::kCreateImage);
    if (fd < 0) {
      *error = Reason("cannot create card image " + path, errno);
      return -1;
    }
    // ftruncate leaves a hole: the blank card reads as zeros and costs no disk.
    if (!platform::SetFileSize(fd, std::uint64_t{sizeMiB} * 1024 * 1024)) {
      int err = errno;
      platform::CloseFile(fd);
      platform::RemoveFile(path);
      *error = Reason("cannot size card image " + path, err);
      return -1;
    }
    return fd;
  }
  if (fd < 0) {
    *error = Reason("cannot open card image " + path, errno);
    return -1;
  }
  platform::FileState st;
  if (!platform::StateOf(fd, &st)) {
    *error = Reason("cannot examine card image " + path, errno);
    platform::CloseFile(fd);
    return -1;
  }
  const char* fault = nullptr;
  if (st.kind != platform::FileKind::kRegular) {
    fault = "is not a regular file";
  } else if (st.size == 0) {
    fault = "is empty";
  } else if (st.size % 512 != 0) {
    fault = "is not a whole number of 512-byte sectors";
  } else if (st.size / 512 > 0xFFFFFFFFULL) {
    fault = "is too large for a card";
  }
  if (fault) {
    *error = "card image " + path + " " + fault;
    platform::CloseFile(fd);
    return -1;
  }
  return fd;
}

}  // namespace player
