// The WinUSB backend over a fake of SetupAPI and WinUSB: players found or
// not, the pipes taken from the descriptors, the time-out given, a stall
// reset, a time-out and an unplug failing the call. Windows only; runs under
// wine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "winusb_backend.h"

namespace {

using bulkusb::UsbBulkDevice;
using bulkusb::WinUsbApi;
using bulkusb::WinUsbBackend;

// ---- the fake -----------------------------------------------------------------

struct FakePipe {
  UCHAR id;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
};
struct FakeResult {
  BOOL ok;
  DWORD error;
  ULONG moved;
};
struct FakeDevice {
  std::wstring hardwareId;  // empty: the property cannot be read
  std::wstring service;     // empty: no driver
  std::vector<FakePipe> pipes = {{0x81}, {0x02}};
};
struct Fake {
  std::vector<FakeDevice> devices;
  std::deque<FakeResult> results;  // the next transfers' outcomes; success of all bytes when empty
  BOOL resetWorks = TRUE;
  std::vector<UCHAR> resets;
  std::vector<std::pair<UCHAR, ULONG>> timeouts;
  int transfers = 0, opened = 0, frees = 0, closes = 0;
  DWORD lastError = 0;
};
Fake g;

HDEVINFO const kSet = reinterpret_cast<HDEVINFO>(0x10);
int IndexOf(HANDLE h, std::uintptr_t base) { return static_cast<int>(reinterpret_cast<std::uintptr_t>(h) - base); }
std::wstring PathOf(std::size_t i) { return L"\\\\?\\usb#fake#" + std::to_wstring(i); }

BOOL Fail(DWORD error) {
  g.lastError = error;
  return FALSE;
}

HDEVINFO WINAPI GetClassDevs(const GUID*, PCWSTR, HWND, DWORD) { return kSet; }
BOOL WINAPI EnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD i, PSP_DEVICE_INTERFACE_DATA d) {
  if (i >= g.devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
  d->Reserved = i;
  return TRUE;
}
BOOL WINAPI GetDeviceInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA iface, PSP_DEVICE_INTERFACE_DETAIL_DATA_W out,
                                     DWORD size, PDWORD needed, PSP_DEVINFO_DATA device) {
  const std::wstring path = PathOf(iface->Reserved);
  const DWORD want = static_cast<DWORD>(sizeof(DWORD) + (path.size() + 1) * sizeof(wchar_t));
  if (needed) *needed = want;
  if (!out || size < want) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::copy(path.c_str(), path.c_str() + path.size() + 1, out->DevicePath);
  if (device) device->DevInst = static_cast<DWORD>(iface->Reserved);
  return TRUE;
}
BOOL WINAPI GetDeviceRegistryProperty(HDEVINFO, PSP_DEVINFO_DATA device, DWORD property, PDWORD, PBYTE out,
                                      DWORD size, PDWORD) {
  const FakeDevice& d = g.devices.at(device->DevInst);
  const std::wstring& text = property == SPDRP_HARDWAREID ? d.hardwareId : d.service;
  if (text.empty() || size < (text.size() + 2) * sizeof(wchar_t)) return Fail(ERROR_INVALID_DATA);
  std::fill(out, out + size, 0);
  std::copy(text.begin(), text.end(), reinterpret_cast<wchar_t*>(out));
  return TRUE;
}
BOOL WINAPI DestroyDeviceInfoList(HDEVINFO set) { return set == kSet; }
HANDLE WINAPI CreateFile(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE) {
  for (std::size_t i = 0; i < g.devices.size(); ++i)
    if (PathOf(i) == path && (flags & FILE_FLAG_OVERLAPPED)) {
      ++g.opened;
      return reinterpret_cast<HANDLE>(0x100 + i);
    }
  g.lastError = ERROR_FILE_NOT_FOUND;
  return INVALID_HANDLE_VALUE;
}
BOOL WINAPI CloseHandle(HANDLE) { return ++g.closes, TRUE; }
BOOL WINAPI Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE usb) {
  const int i = IndexOf(file, 0x100);
  if (g.devices.at(i).service != L"WinUSB") return Fail(ERROR_INVALID_FUNCTION);
  *usb = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(0x200 + i);
  return TRUE;
}
BOOL WINAPI Free(WINUSB_INTERFACE_HANDLE) { return ++g.frees, TRUE; }
BOOL WINAPI QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE usb, UCHAR, PUSB_INTERFACE_DESCRIPTOR desc) {
  desc->bInterfaceNumber = 3;
  desc->bNumEndpoints = static_cast<UCHAR>(g.devices.at(IndexOf(usb, 0x200)).pipes.size());
  return TRUE;
}
BOOL WINAPI QueryPipe(WINUSB_INTERFACE_HANDLE usb, UCHAR, UCHAR index, PWINUSB_PIPE_INFORMATION info) {
  const FakePipe& p = g.devices.at(IndexOf(usb, 0x200)).pipes.at(index);
  info->PipeId = p.id;
  info->PipeType = p.type;
  return TRUE;
}
BOOL WINAPI SetPipePolicy(WINUSB_INTERFACE_HANDLE, UCHAR pipe, ULONG policy, ULONG, PVOID value) {
  if (policy == PIPE_TRANSFER_TIMEOUT) g.timeouts.emplace_back(pipe, *static_cast<ULONG*>(value));
  return TRUE;
}
BOOL WINAPI Pipe(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG size, PULONG moved, LPOVERLAPPED) {
  ++g.transfers;
  FakeResult r{TRUE, 0, size};
  if (!g.results.empty()) r = g.results.front(), g.results.pop_front();
  *moved = r.moved;
  return r.ok ? TRUE : Fail(r.error);
}
BOOL WINAPI ResetPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe) {
  g.resets.push_back(pipe);
  return g.resetWorks ? TRUE : Fail(ERROR_DEVICE_NOT_CONNECTED);
}
DWORD WINAPI GetLastError() { return g.lastError; }

const WinUsbApi kFake{GetClassDevs, EnumDeviceInterfaces, GetDeviceInterfaceDetail, GetDeviceRegistryProperty,
                      DestroyDeviceInfoList, CreateFile, CloseHandle, Initialize, Free, QueryInterfaceSettings,
                      QueryPipe, SetPipePolicy, Pipe, Pipe, ResetPipe, GetLastError};

const std::wstring kPlayer = L"USB\\VID_1B3F&PID_2002&REV_0100";
const std::wstring kOther = L"USB\\VID_0781&PID_5567&REV_0100";

class usb_winusb : public ::testing::Test {
 protected:
  void SetUp() override {
    g = Fake{};
    players_ = std::filesystem::temp_directory_path() / ("zk27-players-" + std::to_string(::GetCurrentProcessId()));
    std::ofstream(players_) << "1b3f:2002\n";
    ::_putenv_s("ZK27_PLAYERS_FILE", players_.string().c_str());
  }
  void TearDown() override { std::filesystem::remove(players_); }
  // The backend's three handles open on the fake's player.
  void Open(WinUsbBackend& usb) {
    dev_ = usb.OpenDev();
    ASSERT_NE(dev_, kInvalidBulkHandle);
    read_ = usb.OpenRead();
    write_ = usb.OpenWrite();
  }
  std::filesystem::path players_;
  BulkHandle dev_ = kInvalidBulkHandle, read_ = kInvalidBulkHandle, write_ = kInvalidBulkHandle;
};

TEST_F(usb_winusb, PlayersFoundOrNot) {
  const FakeDevice noDriver{kPlayer, L""}, otherDriver{kPlayer, L"usbccgp"}, winusb{kPlayer, L"WinUSB"};
  const FakeDevice twoIns{kPlayer, L"WinUSB", {{0x81}, {0x82}, {0x02}}};
  const FakeDevice stranger{kOther, L"WinUSB"}, strangerNoDriver{kOther, L"USBSTOR"};
  struct Row {
    const char* what;
    std::vector<FakeDevice> devices;
    int opens;  // the device opened, -1 none
    std::vector<std::string> listing;  // "listed/not, driver, accessible/not" per device shown
  } rows[] = {
      {"no player", {}, -1, {}},
      {"one player", {winusb}, 0, {"listed WinUSB open 3 81 02"}},
      {"the second of two", {noDriver, winusb}, 1, {"listed  closed", "listed WinUSB open 3 81 02"}},
      {"no WinUSB driver", {otherDriver}, -1, {"listed usbccgp closed"}},
      {"not the player's pipes", {twoIns}, -1, {"listed WinUSB open"}},
      {"an unlisted device", {strangerNoDriver, stranger}, -1, {"unlisted WinUSB open 3 81 02"}},
      {"no hardware id", {FakeDevice{L"", L"WinUSB"}}, -1, {}},
  };
  for (Row& r : rows) {
    SCOPED_TRACE(r.what);
    g = Fake{};
    g.devices = r.devices;
    {
      WinUsbBackend usb(kFake);
      const BulkHandle dev = usb.OpenDev();
      EXPECT_EQ(dev != kInvalidBulkHandle, r.opens >= 0);
      if (r.opens >= 0) {
        EXPECT_EQ(usb.Identity(), "winusb:\\\\?\\usb#fake#" + std::to_string(r.opens));
        // The time-out on both pipes, once each.
        EXPECT_EQ(g.timeouts, (std::vector<std::pair<UCHAR, ULONG>>{{0x81, 5000}, {0x02, 5000}}));
        usb.Close(dev);
      }
    }
    // Whatever was opened was let go.
    EXPECT_EQ(g.closes, g.opened);
    std::vector<UsbBulkDevice> shown;
    EXPECT_EQ(bulkusb::ListWinUsbDevices(kFake, {{0x1b3f, 0x2002}}, &shown), bulkusb::UsbScan::kDone);
    std::vector<std::string> listing;
    for (const UsbBulkDevice& d : shown) {
      char pipes[32] = "";
      if (d.bulkIn) std::snprintf(pipes, sizeof pipes, " %d %02x %02x", d.interfaceNumber, d.bulkIn, d.bulkOut);
      listing.push_back(std::string(d.listed ? "listed " : "unlisted ") + d.driver +
                        (d.accessible ? " open" : " closed") + pipes);
    }
    EXPECT_EQ(listing, r.listing);
    EXPECT_EQ(g.closes, g.opened);
  }
}

TEST_F(usb_winusb, TransfersStallsTimeOutsAndUnplugs) {
  struct Row {
    const char* what;
    std::deque<FakeResult> results;
    BOOL resetWorks;
    std::vector<bool> reads;  // the outcome of each read in turn
    std::vector<UCHAR> resets;
    int transfers;  // calls that reached the pipe
  } rows[] = {
      {"all well", {}, TRUE, {true, true}, {}, 2},
      {"a stall, then success", {{FALSE, ERROR_GEN_FAILURE, 0}}, TRUE, {false, true}, {0x81}, 2},
      {"a time-out, then success", {{FALSE, ERROR_SEM_TIMEOUT, 0}}, TRUE, {false, true}, {}, 2},
      {"a short read", {{TRUE, 0, 100}}, TRUE, {false, true}, {}, 2},
      {"unplugged", {{FALSE, ERROR_DEVICE_NOT_CONNECTED, 200}}, TRUE, {false, false, false}, {}, 1},
      {"unplugged, a bad command", {{FALSE, ERROR_BAD_COMMAND, 0}}, TRUE, {false, false}, {}, 1},
      {"unplugged, the reset refused", {{FALSE, ERROR_GEN_FAILURE, 0}}, FALSE, {false, false}, {0x81}, 1},
  };
  for (Row& r : rows) {
    SCOPED_TRACE(r.what);
    g = Fake{};
    g.devices = {{kPlayer, L"WinUSB"}};
    g.results = r.results;
    g.resetWorks = r.resetWorks;
    WinUsbBackend usb(kFake);
    Open(usb);
    std::vector<std::uint8_t> buf(512);
    std::vector<bool> got;
    for (std::size_t i = 0; i < r.reads.size(); ++i) {
      std::uint32_t done = 99;
      got.push_back(usb.Read(read_, buf.data(), 512, &done));
      EXPECT_LE(done, 512u);
      if (got.back()) {
        EXPECT_EQ(done, 512u);
      }
    }
    EXPECT_EQ(got, r.reads);
    EXPECT_EQ(g.resets, r.resets);
    EXPECT_EQ(g.transfers, r.transfers);
    // The wrong handle in either direction moves nothing.
    std::uint32_t done = 0;
    EXPECT_FALSE(usb.Write(read_, buf.data(), 512, &done));
    usb.Close(read_);
    usb.Close(write_);
    EXPECT_EQ(g.frees, 0);  // the device handle still holds it
    usb.Close(dev_);
    EXPECT_EQ(g.frees, 1);
    EXPECT_EQ(g.closes, 1);
    // The next command finds the player again, whatever became of this one.
    Open(usb);
    EXPECT_TRUE(usb.Read(read_, buf.data(), 512, &done));
  }
}

}  // namespace
