// A real player on USB through libusb. The player is a device whose id is in
// a players file; its command pipes are the first interface that offers
// exactly one bulk IN and one bulk OUT endpoint.
//
// OpenDev finds, opens and claims the player, detaching a kernel driver that
// held the interface (it is not bound again: a driver that probed the player
// after every command would fight the next one). OpenRead and OpenWrite
// hand out the IN and OUT pipes of that player. Every transfer has a time-out;
// a time-out, a stall, a short transfer or a vanished device fails the call.
// When the last of the three handles is closed the interface is released
// and the device closed, so nothing is held between commands and a player
// plugged in again is simply found by the next one.
#pragma once

#include <chrono>

#include "bulk_backend.h"
#include "pipe_handles.h"

struct libusb_device_handle;

namespace bulkusb {

class UsbBackend final : public Backend {
 public:
  // kInvalidBulkHandle when no listed player is attached or none could be
  // opened and claimed; then nothing is left open.
  BulkHandle OpenDev() override;
  BulkHandle OpenRead() override;
  BulkHandle OpenWrite() override;
  bool Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) override;
  bool Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) override;
  void Close(BulkHandle handle) override;
  // "usb:/dev/bus/usb/BBB/DDD", the device node of the first listed player
  // attached.
  std::string Identity() override;

 private:
  bool Transfer(unsigned char endpoint, unsigned char* buf, std::uint32_t size, std::uint32_t* done);
  void Release();

  libusb_device_handle* device_ = nullptr;
  int interface_ = -1;
  unsigned char in_ = 0;
  unsigned char out_ = 0;
  PipeHandles handles_;
};

// How long one pipe call may wait for the player. Tests of a device that never
// answers shorten it; everyone else keeps the default of kPipeTimeoutSeconds.
void SetUsbPipeTimeout(std::chrono::milliseconds timeout);

}  // namespace bulkusb
