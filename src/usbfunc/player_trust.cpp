// The driver's refusal of a player, as the engine passes it on.
#include "bulkusb.h"
#include "usbfunc.h"

PlayerRefusal PlayerRefusalOfLastOpen() { return bulkusb::LastOpenRefusal(); }
