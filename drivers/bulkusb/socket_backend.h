// The virtual player's socket as a bulk pipe: one SOCK_SEQPACKET connection
// per command, so message boundaries hold as on a USB bulk pipe.
#pragma once

#include "bulk_backend.h"

namespace bulkusb {

class SocketBackend final : public Backend {
 public:
  BulkHandle OpenDev() override;
  BulkHandle OpenRead() override;
  BulkHandle OpenWrite() override;
  bool Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) override;
  bool Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) override;
  void Close(BulkHandle handle) override;
  // SocketIdentity of the socket: every program that reaches the player
  // through one socket, by whatever path, shares its lock. Empty when no
  // socket is there or its folder is refused.
  std::string Identity() override;

 private:
  int connection_ = -1;  // the connection opened by the last OpenDev
};

}  // namespace bulkusb
