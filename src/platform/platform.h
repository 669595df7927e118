// The operating system's services the engine and zk27 need, behind one set of
// functions with a POSIX side (posix.cpp) and a Win32 side (win32.cpp), the
// one chosen when the build is configured. Files are C library descriptors
// (int) on both: the Win32 side reaches the HANDLE beneath when it must.
// Failures leave errno set, as the POSIX calls do.
//
// Layer: the lowest of all. It owns what differs between the operating
// systems (libraries loaded at run time, terminals, file patterns, end
// signals) and calls only the system. Every layer above may call it; nothing
// here knows the card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// How OpenFile opens a file. kCreateNew makes the file, failing when the
// name exists; kNoWait keeps a named pipe from blocking the opening.
enum OpenFlags : unsigned {
  kOpenRead = 0,
  kOpenReadWrite = 1,
  kCreateNew = 2,
  kNoWait = 4,
  kCreateOrOpen = 8,  // read and write, made when missing, never through a link
  kNoFollow = 16,
  kAppend = 32,       // read, and written at the end only; made (0644) when missing
  kCreateImage = 64,  // read and write, made (0644), failing when the name exists
  kReplace = 128,     // read and write, made (0644) when missing, else emptied
};

// A descriptor, or -1.
int OpenFile(const std::string& path, unsigned flags);
// False when the file's last writes could not be made.
bool CloseFile(int fd);

// The next bytes of the file: how many were read, 0 at its end, -1 on a
// failure (interruptions are retried).
long long ReadSome(int fd, void* data, std::size_t size);
// Every byte written, or false.
bool WriteAll(int fd, const void* data, std::size_t size);
// Positioned, leaving the file's offset alone: bytes moved, -1 on a failure.
long long ReadAt(int fd, void* data, std::size_t size, std::uint64_t at);
long long WriteAt(int fd, const void* data, std::size_t size, std::uint64_t at);
// Every byte at `at`, or false (also at the file's end).
bool ReadAllAt(int fd, void* data, std::size_t size, std::uint64_t at);
bool WriteAllAt(int fd, const void* data, std::size_t size, std::uint64_t at);

// The file's data and size on the medium (fdatasync / FlushFileBuffers).
bool FlushFile(int fd);
// The file made `size` bytes long; what is never written may stay a hole.
bool SetFileSize(int fd, std::uint64_t size);
// Whether the descriptor was opened for reading only.
bool OpenedReadOnly(int fd);

enum class FileKind { kMissing, kRegular, kDirectory, kDevice, kOther };
struct FileState {
  FileKind kind = FileKind::kMissing;
  std::uint64_t size = 0;  // a device's: its length in bytes
  std::int64_t mtimeSec = 0;
  long mtimeNsec = 0;
};
// False (errno set) when the file cannot be looked at.
bool StateOf(int fd, FileState* state);
bool StateOf(const std::string& path, FileState* state);

// A path for std::filesystem and the C++ streams from UTF-8 text, and the
// UTF-8 text of one. Paths are UTF-8 everywhere in the engine; on Windows the
// C++ library would read a plain string in another code page, and a folder
// named "Mémos" would become another folder.
std::filesystem::path PathOf(const std::string& utf8);
std::string TextOf(const std::filesystem::path& path);
// fopen's stream of the file at `path` (UTF-8), with fopen's modes; null and
// errno set when it cannot be opened.
std::FILE* OpenStream(const std::string& path, const char* mode);

// Whether the two paths name one file, as a folder that does not tell upper
// from lower case (Windows', FAT's) makes of "Memo.voc" and "memo.voc".
// False when either cannot be looked at.
bool SameFile(const std::string& a, const std::string& b);
// Whether this system's folders cannot hold a file of this name (one name,
// no folder): on Windows a device's name, with any extension ("NUL.mp3" is
// the null device), a character Windows refuses, or a trailing dot or
// blank. Never elsewhere: the card's names hold no '/' and no NUL.
bool ReservedFileName(const std::string& name);
// Whether `error`, the errno of an OpenFile that was to make a file, says the
// folder refuses the name alone (a character a FAT or exFAT stick does not
// hold) rather than any new file. Never on Windows, whose C library gives
// EINVAL for every failure it has no number for; ReservedFileName knows the
// names Windows refuses.
bool RefusesName(int error);

// `from` renamed to `to`, replacing a file of that name in one step.
bool RenameFile(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);
// `from` renamed to `to` only where no file of that name is: false with
// errno EEXIST when the name is taken.
bool RenameNoReplace(const std::string& from, const std::string& to);
// A file's or a folder's data and entries made to reach the disk.
bool FlushPath(const std::string& path);
// A new folder only this user may enter, named after `pattern` with its
// last six characters (XXXXXX) replaced; false when none could be made.
bool MakeUniqueFolder(std::string* pattern);

// The file's access and modification times set to `seconds`; false when
// they cannot be.
bool SetFileTime(const std::string& path, std::time_t seconds);
// The local calendar time of `when`.
std::tm LocalTime(std::time_t when);

// An advisory lock on the whole file, shared or exclusive, taken at once or
// refused (false, errno EWOULDBLOCK when another holds it).
bool TryLockFile(int fd, bool exclusive);
void UnlockFile(int fd);

// Gives back a lock TryLockFile took, the file staying open.
void UnlockFile(int fd);

// ---- a card in a reader ------------------------------------------------------

// The name to open a card in a reader by. On Windows a drive letter ("E:",
// "e:", "E:\") is its volume, \\.\E:; \\.\E: and \\.\PhysicalDriveN
// stay as they are. Anything else, and every name elsewhere, is a file's
// name and stays as it is.
std::string CardDevicePath(const std::string& name);
// Whether `name` (as CardDevicePath gives it) is a Windows volume, \\.\X:.
bool IsVolumePath(const std::string& name);

// Takes the volume open at `fd` for this program alone: locked, then
// dismounted, so that the file system Windows keeps on the card neither
// writes to it nor serves stale sectors while sectors are written beneath
// it (FSCTL_LOCK_VOLUME, FSCTL_DISMOUNT_VOLUME). False, errno set, when
// another program holds files open on it. Elsewhere nothing, and true.
bool TakeVolume(int fd);
// Unlocks a volume TakeVolume took; Windows mounts it again on next use.
void ReleaseVolume(int fd);

// A removable disk attached (Windows: \\.\PhysicalDriveN, found by number).
struct RemovableDisk {
  std::string path;
  std::uint64_t size = 0;  // bytes; 0 when the reader holds no medium
  std::string name;        // vendor and product as the disk gives them
};
// The removable disks attached; none where card readers are block devices
// the user names (Linux).
std::vector<RemovableDisk> RemovableDisks();

int ProcessId();
bool IsTerminal(int fd);
// Descriptors 0, 1 and 2 opened on the null device when the program was
// started without them, so that no file opened later takes their numbers.
bool OpenStandardDescriptors();

// A library opened at run time, and a function in it; null when missing.
void* OpenLibrary(const char* name);
void* FindSymbol(void* library, const char* name);

// Whether `name` matches the shell pattern `pattern` (*, ?, [...] and [!...];
// a backslash is a character like any other).
bool MatchesPattern(const std::string& pattern, const std::string& name);

// While caught, the end-of-program signals (SIGINT, SIGTERM, SIGHUP; on
// Windows Ctrl-C, Ctrl-Break and closing the console) run `handler`, which
// must only set a flag, instead of ending the program. Restoring gives back
// what was there before. Not nested.
void CatchEndSignals(void (*handler)(int));
void RestoreEndSignals();

// The environment variable `name` as UTF-8 text (Windows keeps it in UTF-16);
// empty when unset.
std::string Variable(const char* name);
// The user's home folder ($HOME; %USERPROFILE% on Windows); empty when unset.
std::string HomeFolder();
// The user's configuration folder: $XDG_CONFIG_HOME when absolute, else
// ~/.config; on
// Windows %APPDATA%. Empty when neither can be told.
std::string ConfigFolder();
// This program's folder for the user's sockets and lock files:
// $XDG_RUNTIME_DIR/zk27, else /tmp/zk27-UID; on Windows %LOCALAPPDATA%\zk27.
std::string RuntimeFolder();

// SHA-256 of a file's bytes, as lowercase hex, by the system's own
// cryptography (libcrypto; CNG on Windows); empty when the file cannot be
// read.
std::string Sha256OfFile(const std::string& path);

// On Windows: the arguments as UTF-8, the console writing UTF-8, and the
// standard output and error in binary mode (lines end in "\n"). Does
// nothing elsewhere, where arguments already are the bytes given.
void UseUtf8(int* argc, char*** argv);

// The calling thread's timer slack lowered, so that short sleeps end on
// time (Linux only; elsewhere nothing).
void LowerTimerSlack();

}  // namespace platform
