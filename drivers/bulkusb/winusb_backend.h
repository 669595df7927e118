// A real player on USB through WinUSB (Windows). The player is a device whose
// id is in a players file and whose function driver is WinUSB (bound by the
// owner with Zadig or the INF in packaging/); its command pipes are the one
// bulk IN and one bulk OUT endpoint of its first interface.
//
// OpenDev finds the device interfaces of USB devices with SetupAPI, opens the
// first listed player that WinUSB drives and takes its pipes from the
// interface's endpoint descriptors, each given the transfer time-out. A
// stalled pipe is reset, so that the next command gets through; a player
// unplugged fails every call until the handles are closed. Closing the last
// of the three handles frees the device, as with libusb.
#pragma once

#include <string>
#include <vector>

#include "bulk_backend.h"
#include "pipe_handles.h"
#include "usb_devices.h"
#include "winusb_api.h"

namespace bulkusb {

// A USB device as SetupAPI lists it.
struct WinUsbCandidate {
  UsbId id;
  std::wstring path;     // its device interface, for CreateFileW
  std::string service;   // the driver bound to it (its service's name); empty when none
  bool winusb = false;   // that driver is WinUSB
};

// Every present USB device, in SetupAPI's order.
std::vector<WinUsbCandidate> FindUsbDevices(const WinUsbApi& api);

class WinUsbBackend final : public Backend {
 public:
  explicit WinUsbBackend(const WinUsbApi& api = SystemWinUsb()) : api_(api) {}
  ~WinUsbBackend() override { Release(); }
  BulkHandle OpenDev() override;
  BulkHandle OpenRead() override;
  BulkHandle OpenWrite() override;
  bool Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) override;
  bool Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) override;
  void Close(BulkHandle handle) override;
  // "winusb:PATH", the device interface of the first listed player WinUSB
  // drives.
  std::string Identity() override;

 private:
  bool Claim(const WinUsbCandidate& candidate);
  bool Transfer(UCHAR pipe, UCHAR* buf, std::uint32_t size, std::uint32_t* done, bool in);
  void Release();

  const WinUsbApi& api_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE usb_ = nullptr;
  UCHAR in_ = 0, out_ = 0;
  bool gone_ = false;         // the player went away during this command
  PipeHandles handles_;
};

// The listed players and the other devices WinUSB drives with the player's
// pipes, for `zk27 devices`. A listed player WinUSB does not drive is kept,
// with its driver's name (or none) and `accessible` false.
UsbScan ListWinUsbDevices(const WinUsbApi& api, const std::vector<UsbId>& listed,
                          std::vector<UsbBulkDevice>* devices);

}  // namespace bulkusb
