// The card attached directly: the commands of the device link carried out on
// an open file instead of the player. Private to the device link.
#pragma once

#include <cstdint>

#include "usbfunc.h"

namespace card_source {

// The commands the rest of the link sends to a card, for one road to it.
// Each returns a raw result code as ExchangeCommand does. `barrier` returns
// once every write made before it is on the card, so that no write after it
// can reach the card first.
struct Operations {
  std::uint16_t (*read)(std::uint32_t lba, std::uint16_t count);
  std::uint16_t (*write)(std::uint32_t lba, std::uint16_t count);
  std::uint16_t (*identify)();
  std::uint16_t (*status)();
  std::uint16_t (*barrier)();
};

// The player's commands, through the driver (usbfunc.cpp).
extern const Operations kPlayerOperations;
// The road in use: the open file's commands while a card is attached
// directly, the player's otherwise. AttachCardImage and DetachCardImage
// switch it.
const Operations& Current();
// Puts `operations` in the place of the road in use until the next attach or
// detach, and returns the road it replaced, so that a road can be wrapped in
// one that watches it (the tests' write recorder).
const Operations& Replace(const Operations& operations);

bool Active();
// The open card image or block device; -1 when none is attached.
int Fd();
std::uint16_t Read(std::uint32_t lba, std::uint16_t count);
std::uint16_t Write(std::uint32_t lba, std::uint16_t count);
std::uint16_t Identify();
std::uint16_t Barrier();

// What a road keeps of a command's outcome for LastTransportCause,
// LastTransportErrno and CardWritesMade.
void NoteFailure(TransportCause cause, int error);
void NoteWriteMade();

}  // namespace card_source
