// The card attached directly: the commands of the device link carried out on
// an open file instead of the player. Private to the device link.
#pragma once

#include <cstdint>

namespace card_source {

bool Active();
// The open card image or block device; -1 when none is attached.
int Fd();
std::uint16_t Read(std::uint32_t lba, std::uint16_t count);
std::uint16_t Write(std::uint32_t lba, std::uint16_t count);
std::uint16_t Identify();

}  // namespace card_source
