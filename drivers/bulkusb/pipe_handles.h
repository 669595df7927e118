// The three handles a USB backend hands out over the one player it has
// claimed for a command: the device, its IN pipe and its OUT pipe. Each is
// open at most once at a time; a handle of another kind or one already
// closed is refused. When the last one is closed the backend frees the
// device, so nothing is held between commands.
#pragma once

#include "bulkusb.h"

namespace bulkusb {

class PipeHandles {
 public:
  // After the device has been claimed: only its own handle is open.
  BulkHandle OpenDevice() {
    open_ = kDeviceBit;
    return kDevice;
  }
  BulkHandle OpenRead() { return Open(kReadBit, kRead); }
  BulkHandle OpenWrite() { return Open(kWriteBit, kWrite); }
  bool IsOpenRead(BulkHandle handle) const { return handle == kRead && (open_ & kReadBit); }
  bool IsOpenWrite(BulkHandle handle) const { return handle == kWrite && (open_ & kWriteBit); }
  // True when `handle` was the last one open: the device is to be freed.
  bool Close(BulkHandle handle) {
    const unsigned bit = handle == kDevice ? kDeviceBit
                         : handle == kRead ? kReadBit
                         : handle == kWrite ? kWriteBit
                                            : 0u;
    open_ &= ~bit;
    return open_ == 0;
  }
  void Clear() { open_ = 0; }

 private:
  static constexpr BulkHandle kDevice = 1, kRead = 2, kWrite = 3;
  static constexpr unsigned kDeviceBit = 1u << 0, kReadBit = 1u << 1, kWriteBit = 1u << 2;

  BulkHandle Open(unsigned bit, BulkHandle handle) {
    if (open_ & bit) return kInvalidBulkHandle;
    open_ |= bit;
    return handle;
  }

  unsigned open_ = 0;  // bit per handle: device, read pipe, write pipe
};

}  // namespace bulkusb
