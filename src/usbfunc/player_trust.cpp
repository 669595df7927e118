// The driver's refusal of a player, as the engine passes it on.
#include "bulkusb.h"
#include "usbfunc.h"

PlayerRefusal PlayerRefusalOfLastOpen() {
  const bulkusb::OpenRefusal r = bulkusb::LastOpenRefusal();
  PlayerRefusal out;
  switch (r.kind) {
    case bulkusb::Refusal::kNone: return out;
    case bulkusb::Refusal::kFolder: out.kind = PlayerRefusal::Kind::kFolder; break;
    case bulkusb::Refusal::kPeer: out.kind = PlayerRefusal::Kind::kPeer; break;
  }
  out.path = r.path;
  out.directory = r.directory;
  out.owner = r.owner;
  out.mode = r.mode;
  out.peer = r.peer;
  return out;
}
