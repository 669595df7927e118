// libusb, loaded when a player is first looked for on USB rather than when a
// program starts: a card attached directly needs no USB at all.
#pragma once

#include <libusb.h>

namespace bulkusb {

// The functions of libusb the USB backend calls: Usb().open is libusb_open,
// and so on.
#define ZK27_LIBUSB_FUNCTIONS(X)                                                                           \
  X(init) X(get_device_list) X(free_device_list) X(get_device_descriptor) X(get_active_config_descriptor) \
  X(get_config_descriptor) X(free_config_descriptor) X(open) X(close) X(set_configuration)              \
  X(kernel_driver_active) X(detach_kernel_driver) X(claim_interface) X(release_interface)               \
  X(set_interface_alt_setting) X(bulk_transfer) X(clear_halt) X(get_port_numbers) X(get_bus_number)     \
  X(get_device_address)

struct LibusbApi {
#define ZK27_LIBUSB_MEMBER(name) decltype(&::libusb_##name) name;
  ZK27_LIBUSB_FUNCTIONS(ZK27_LIBUSB_MEMBER)
#undef ZK27_LIBUSB_MEMBER
};

// Loads libusb on the first call; false when the library or one of its
// functions cannot be found (and on every later call then).
bool LibusbLoaded();

// The functions; only after LibusbLoaded() returned true.
const LibusbApi& Usb();

}  // namespace bulkusb
