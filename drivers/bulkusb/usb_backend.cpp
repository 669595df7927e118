#include "usb_backend.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "libusb_api.h"
#include "usb_devices.h"

namespace bulkusb {
namespace {

std::chrono::milliseconds g_pipeTimeout{kPipeTimeoutSeconds * 1000};

// One libusb context for the whole process, started on first need and kept:
// every command looks for the player, and starting libusb each time would
// cost more than the look itself. A machine where libusb cannot start (no
// usbfs, as in many containers) or without libusb is asked once.
libusb_context* Context() {
  static libusb_context* const context = [] {
    libusb_context* c = nullptr;
    return LibusbLoaded() && Usb().init(&c) == 0 ? c : nullptr;
  }();
  return context;
}

// The listed ids, read again only when a players file changed, appeared or
// went away: a stat per file and command, never a read.
struct FileStamp {
  std::string path;
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long modifiedNs = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

const std::vector<UsbId>& ListedPlayers() {
  static std::vector<FileStamp> stamps;
  static std::vector<UsbId> ids;
  static bool loaded = false;
  std::vector<FileStamp> now;
  for (const std::string& path : PlayersFilePaths()) {
    FileStamp stamp;
    stamp.path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
      stamp.exists = true;
      stamp.device = st.st_dev;
      stamp.inode = st.st_ino;
      stamp.size = st.st_size;
      stamp.modifiedNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    }
    now.push_back(std::move(stamp));
  }
  if (!loaded || now != stamps) {
    ids = ReadPlayersLists().ids;
    stamps = std::move(now);
    loaded = true;
  }
  return ids;
}

// Where a device's command pipes are: the first interface setting with
// exactly one bulk IN and one bulk OUT endpoint.
struct PipeShape {
  bool configured = true;  // false: the device must be given its configuration
  int configuration = 0;
  int interfaceNumber = 0;
  int altSetting = 0;
  std::uint8_t in = 0;
  std::uint8_t out = 0;
};

bool FindPipes(libusb_device* device, PipeShape* shape) {
  libusb_config_descriptor* config = nullptr;
  shape->configured = true;
  int r = Usb().get_active_config_descriptor(device, &config);
  if (r == LIBUSB_ERROR_NOT_FOUND) {
    shape->configured = false;
    r = Usb().get_config_descriptor(device, 0, &config);
  }
  if (r != 0 || !config) return false;
  shape->configuration = config->bConfigurationValue;
  bool found = false;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
    const libusb_interface& iface = config->interface[i];
    for (int a = 0; a < iface.num_altsetting && !found; ++a) {
      const libusb_interface_descriptor& alt = iface.altsetting[a];
      int ins = 0, outs = 0;
      std::uint8_t in = 0, out = 0;
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        if ((ep.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
          ++ins;
          in = ep.bEndpointAddress;
        } else {
          ++outs;
          out = ep.bEndpointAddress;
        }
      }
      if (ins == 1 && outs == 1) {
        shape->interfaceNumber = alt.bInterfaceNumber;
        shape->altSetting = alt.bAlternateSetting;
        shape->in = in;
        shape->out = out;
        found = true;
      }
    }
  }
  Usb().free_config_descriptor(config);
  return found;
}

std::string NodePath(libusb_device* device) {
  char path[40];
  std::snprintf(path, sizeof(path), "/dev/bus/usb/%03u/%03u", Usb().get_bus_number(device),
                Usb().get_device_address(device));
  return path;
}

// A string the kernel already read from the device, from sysfs: readable by
// every user and without touching the device.
std::string SysfsString(libusb_device* device, const char* attribute) {
  std::uint8_t ports[8];
  const int depth = Usb().get_port_numbers(device, ports, sizeof(ports));
  if (depth <= 0) return {};
  std::string name = std::to_string(Usb().get_bus_number(device)) + "-";
  for (int i = 0; i < depth; ++i) name += (i ? "." : "") + std::to_string(ports[i]);
  std::ifstream file("/sys/bus/usb/devices/" + name + "/" + attribute);
  std::string value;
  std::getline(file, value);
  return value;
}

}  // namespace

void SetUsbPipeTimeout(std::chrono::milliseconds timeout) { g_pipeTimeout = timeout; }

Backend& UsbPlayerBackend() {
  static UsbBackend backend;
  return backend;
}

BulkHandle UsbBackend::OpenDev() {
  Release();  // whatever an earlier command left open
  const std::vector<UsbId>& listed = ListedPlayers();
  if (listed.empty()) return kInvalidBulkHandle;  // no libusb work at all
  libusb_context* context = Context();
  if (!context) return kInvalidBulkHandle;

  libusb_device** devices = nullptr;
  const ssize_t count = Usb().get_device_list(context, &devices);
  if (count < 0) return kInvalidBulkHandle;
  for (ssize_t i = 0; i < count && !device_; ++i) {
    libusb_device_descriptor desc{};
    if (Usb().get_device_descriptor(devices[i], &desc) != 0) continue;
    if (std::find(listed.begin(), listed.end(), UsbId{desc.idVendor, desc.idProduct}) == listed.end())
      continue;
    PipeShape shape;
    if (!FindPipes(devices[i], &shape)) continue;

    libusb_device_handle* handle = nullptr;
    if (Usb().open(devices[i], &handle) != 0) continue;
    if (!shape.configured && Usb().set_configuration(handle, shape.configuration) != 0) {
      Usb().close(handle);
      continue;
    }
    // A driver of the kernel's that took the interface must let go of it; a
    // detach that fails shows as a refused claim.
    if (Usb().kernel_driver_active(handle, shape.interfaceNumber) == 1)
      Usb().detach_kernel_driver(handle, shape.interfaceNumber);
    if (Usb().claim_interface(handle, shape.interfaceNumber) != 0) {
      Usb().close(handle);
      continue;
    }
    if (shape.altSetting != 0 &&
        Usb().set_interface_alt_setting(handle, shape.interfaceNumber, shape.altSetting) != 0) {
      Usb().release_interface(handle, shape.interfaceNumber);
      Usb().close(handle);
      continue;
    }
    device_ = handle;
    interface_ = shape.interfaceNumber;
    in_ = shape.in;
    out_ = shape.out;
  }
  Usb().free_device_list(devices, 1);
  if (!device_) return kInvalidBulkHandle;
  return handles_.OpenDevice();
}

std::string UsbBackend::Identity() {
  const std::vector<UsbId>& listed = ListedPlayers();
  if (listed.empty()) return {};
  libusb_context* context = Context();
  if (!context) return {};
  libusb_device** devices = nullptr;
  const ssize_t count = Usb().get_device_list(context, &devices);
  if (count < 0) return {};
  std::string identity;
  for (ssize_t i = 0; i < count && identity.empty(); ++i) {
    libusb_device_descriptor desc{};
    PipeShape shape;
    if (Usb().get_device_descriptor(devices[i], &desc) != 0 ||
        std::find(listed.begin(), listed.end(), UsbId{desc.idVendor, desc.idProduct}) == listed.end() ||
        !FindPipes(devices[i], &shape))
      continue;
    // The device node: every user, session and environment reaches it
    // alike, and it is what the programs sharing the player flock.
    identity = "usb:" + NodePath(devices[i]);
  }
  Usb().free_device_list(devices, 1);
  return identity;
}

BulkHandle UsbBackend::OpenRead() {
  return device_ ? handles_.OpenRead() : kInvalidBulkHandle;
}

BulkHandle UsbBackend::OpenWrite() {
  return device_ ? handles_.OpenWrite() : kInvalidBulkHandle;
}

bool UsbBackend::Transfer(unsigned char endpoint, unsigned char* buf, std::uint32_t size,
                          std::uint32_t* done) {
  *done = 0;
  int moved = 0;
  const int r = Usb().bulk_transfer(device_, endpoint, buf, static_cast<int>(size), &moved,
                                     static_cast<unsigned>(g_pipeTimeout.count()));
  if (moved > 0) *done = static_cast<std::uint32_t>(moved);
  // A stalled pipe stays halted until the host clears it; clearing it now
  // lets the next command through.
  if (r == LIBUSB_ERROR_PIPE) Usb().clear_halt(device_, endpoint);
  return r == 0 && *done == size;
}

bool UsbBackend::Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  if (!device_ || !handles_.IsOpenRead(pipe)) return false;
  return Transfer(in_, static_cast<unsigned char*>(buf), size, done);
}

bool UsbBackend::Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  if (!device_ || !handles_.IsOpenWrite(pipe)) return false;
  // libusb takes a non-const buffer for both directions; an OUT transfer
  // only reads it.
  return Transfer(out_, static_cast<unsigned char*>(const_cast<void*>(buf)), size, done);
}

void UsbBackend::Close(BulkHandle handle) {
  if (handles_.Close(handle)) Release();
}

void UsbBackend::Release() {
  if (device_) {
    Usb().release_interface(device_, interface_);  // fails harmlessly when the player is gone
    Usb().close(device_);
  }
  device_ = nullptr;
  interface_ = -1;
  handles_.Clear();
}

UsbScan ListBulkDevices(std::vector<UsbBulkDevice>* found) {
  found->clear();
  libusb_context* context = Context();
  if (!context) return UsbScan::kUnavailable;
  const std::vector<UsbId> listed = ReadPlayersLists().ids;

  libusb_device** devices = nullptr;
  const ssize_t count = Usb().get_device_list(context, &devices);
  if (count < 0) return UsbScan::kUnavailable;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor desc{};
    PipeShape shape;
    if (Usb().get_device_descriptor(devices[i], &desc) != 0 || !FindPipes(devices[i], &shape))
      continue;
    UsbBulkDevice d;
    d.id = {desc.idVendor, desc.idProduct};
    d.bus = Usb().get_bus_number(devices[i]);
    d.address = Usb().get_device_address(devices[i]);
    d.interfaceNumber = shape.interfaceNumber;
    d.bulkIn = shape.in;
    d.bulkOut = shape.out;
    d.node = NodePath(devices[i]);
    d.listed = std::find(listed.begin(), listed.end(), d.id) != listed.end();
    d.accessible = ::access(d.node.c_str(), R_OK | W_OK) == 0;
    d.manufacturer = SysfsString(devices[i], "manufacturer");
    d.product = SysfsString(devices[i], "product");
    found->push_back(std::move(d));
  }
  Usb().free_device_list(devices, 1);
  std::sort(found->begin(), found->end(), [](const UsbBulkDevice& a, const UsbBulkDevice& b) {
    return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
  });
  return UsbScan::kDone;
}

}  // namespace bulkusb
