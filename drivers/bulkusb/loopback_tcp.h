// The virtual player over TCP on this computer's loopback, for hosts whose
// local sockets keep no message boundaries (Windows has stream sockets only).
// Each message goes as its length, 4 bytes little-endian, then its bytes.
#pragma once

#include <cstdint>
#include <string>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#endif

namespace bulkusb {

// The header before every message on a TCP connection to the player.
inline constexpr std::size_t kFrameHeaderSize = 4;
// No message of the protocol comes near this; a longer length is a broken
// or hostile peer, and the connection is dropped.
inline constexpr std::uint32_t kMaxFrameSize = 1u << 20;

// `text` as "127.X.Y.Z:PORT" or "[::1]:PORT" in `*address`, with its length;
// 0 when it is no such address: anything off the loopback is refused, as the
// port has no owner to check. A PORT of 0 is taken only when `anyPort`
// (a player that listens there is given a free port).
socklen_t LoopbackAddress(const std::string& text, bool anyPort, sockaddr_storage* address);
// The address of a bound or connected socket as LoopbackAddress reads it.
std::string AddressText(const sockaddr_storage& address);

void PutFrameLength(std::uint32_t length, std::uint8_t header[kFrameHeaderSize]);
std::uint32_t FrameLength(const std::uint8_t header[kFrameHeaderSize]);

// The player's TCP address, $ZK27_PLAYER_TCP; empty when the player is
// reached through its local socket.
std::string PlayerTcpAddress();

}  // namespace bulkusb
