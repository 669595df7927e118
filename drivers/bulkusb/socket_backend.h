// The virtual player's socket as a bulk pipe: one SOCK_SEQPACKET connection
// per command, so message boundaries hold as on a USB bulk pipe. With
// $ZK27_PLAYER_TCP a TCP connection on the loopback instead, each message
// framed by its length (loopback_tcp.h).
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
  BulkHandle OpenTcp(const std::string& address);
  int connection_ = -1;  // the connection opened by the last OpenDev
  bool tcp_ = false;     // that connection is TCP: its messages are framed
};

}  // namespace bulkusb
