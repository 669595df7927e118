#include "loopback_tcp.h"

#include <cstdlib>
#include <cstring>
#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

namespace bulkusb {

namespace {

// PORT as a number from 1 (0 when `anyPort`) to 65535, digits only.
bool ParsePort(const std::string& text, bool anyPort, std::uint16_t* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (v > 65535 || (v == 0 && !anyPort)) return false;
  *port = static_cast<std::uint16_t>(v);
  return true;
}

}  // namespace

socklen_t LoopbackAddress(const std::string& text, bool anyPort, sockaddr_storage* address) {
  *address = {};
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return 0;
  std::uint16_t port = 0;
  if (!ParsePort(text.substr(colon + 1), anyPort, &port)) return 0;
  const std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
    if (::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6->sin6_addr) != 1 ||
        !IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr))
      return 0;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    return sizeof(sockaddr_in6);
  }
  auto* v4 = reinterpret_cast<sockaddr_in*>(address);
  // inet_pton takes the four dotted numbers only: no "localhost", no
  // shortened or octal forms that would name another host than they seem.
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1 || (ntohl(v4->sin_addr.s_addr) >> 24) != 127) return 0;
  v4->sin_family = AF_INET;
  v4->sin_port = htons(port);
  return sizeof(sockaddr_in);
}

std::string AddressText(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof(host));
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6.sin6_port));
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
  ::inet_ntop(AF_INET, &v4.sin_addr, host, sizeof(host));
  return std::string(host) + ":" + std::to_string(ntohs(v4.sin_port));
}

void PutFrameLength(std::uint32_t length, std::uint8_t header[kFrameHeaderSize]) {
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) header[i] = static_cast<std::uint8_t>(length >> (8 * i));
}

std::uint32_t FrameLength(const std::uint8_t header[kFrameHeaderSize]) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) length |= std::uint32_t{header[i]} << (8 * i);
  return length;
}

std::string PlayerTcpAddress() {
  const char* s = std::getenv("ZK27_PLAYER_TCP");
  return s ? s : "";
}

}  // namespace bulkusb
