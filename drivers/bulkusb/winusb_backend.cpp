#include "winusb_backend.h"

#include <algorithm>
#include <cwctype>

namespace bulkusb {
namespace {

// The device interface every USB device has (GUID_DEVINTERFACE_USB_DEVICE):
// the one WinUSB opens when it is the device's function driver.
constexpr GUID kUsbDeviceInterface = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

std::string Narrow(const std::wstring& wide) {
  std::string text;
  for (wchar_t c : wide) text += c < 0x80 ? static_cast<char>(c) : '?';
  return text;
}

// The four hex digits after `key` ("VID_", "PID_") in a hardware id.
bool HexAfter(const std::wstring& id, const wchar_t* key, std::uint16_t* value) {
  std::wstring upper(id);
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  const std::size_t at = upper.find(key);
  if (at == std::wstring::npos || at + 8 > upper.size()) return false;
  unsigned v = 0;
  for (std::size_t i = at + 4; i < at + 8; ++i) {
    const wchar_t c = upper[i];
    const int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1;
    if (digit < 0) return false;
    v = v * 16 + static_cast<unsigned>(digit);
  }
  *value = static_cast<std::uint16_t>(v);
  return true;
}

// A registry property of the device as text: the first string of a list.
std::wstring Property(const WinUsbApi& api, HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
  wchar_t buffer[512] = {};
  DWORD type = 0;
  if (!api.GetDeviceRegistryProperty(set, device, property, &type, reinterpret_cast<PBYTE>(buffer),
                                     sizeof buffer - sizeof(wchar_t), nullptr))
    return {};
  return buffer;
}

bool IsWinUsb(std::string service) {
  for (char& c : service) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return service == "winusb";
}

// The path of the `index`th device interface, and the device it belongs to;
// false past the last.
bool InterfaceAt(const WinUsbApi& api, HDEVINFO set, DWORD index, std::wstring* path, SP_DEVINFO_DATA* device) {
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  if (!api.EnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterface, index, &iface)) return false;
  DWORD needed = 0;
  api.GetDeviceInterfaceDetail(set, &iface, nullptr, 0, &needed, nullptr);
  std::vector<std::uint8_t> detailBytes(std::max<DWORD>(needed, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)));
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBytes.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  device->cbSize = sizeof *device;
  path->clear();
  if (api.GetDeviceInterfaceDetail(set, &iface, detail, static_cast<DWORD>(detailBytes.size()), nullptr, device))
    *path = detail->DevicePath;
  return true;
}

// The pipes of the interface WinUSB opened: exactly one bulk IN and one bulk
// OUT endpoint, else false.
bool FindPipes(const WinUsbApi& api, WINUSB_INTERFACE_HANDLE usb, int* number, UCHAR* in, UCHAR* out) {
  USB_INTERFACE_DESCRIPTOR desc{};
  if (!api.QueryInterfaceSettings(usb, 0, &desc)) return false;
  int ins = 0, outs = 0;
  UCHAR bulkIn = 0, bulkOut = 0;
  for (UCHAR i = 0; i < desc.bNumEndpoints; ++i) {
    WINUSB_PIPE_INFORMATION pipe{};
    if (!api.QueryPipe(usb, 0, i, &pipe)) return false;
    if (pipe.PipeType != UsbdPipeTypeBulk) continue;
    if (pipe.PipeId & 0x80) {
      ++ins;
      bulkIn = pipe.PipeId;
    } else {
      ++outs;
      bulkOut = pipe.PipeId;
    }
  }
  if (ins != 1 || outs != 1) return false;
  *number = desc.bInterfaceNumber;
  *in = bulkIn;
  *out = bulkOut;
  return true;
}

// A device opened through WinUSB, closed when this goes.
struct Opened {
  const WinUsbApi& api;
  HANDLE file = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  Opened(const WinUsbApi& a, const std::wstring& path) : api(a) {
    // WinUSB wants the device opened for overlapped I/O, even for the
    // synchronous calls made here.
    file = api.CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file != INVALID_HANDLE_VALUE && !api.Initialize(file, &usb)) usb = nullptr;
  }
  ~Opened() {
    if (usb) api.Free(usb);
    if (file != INVALID_HANDLE_VALUE) api.CloseHandle(file);
  }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
};

// What a failed transfer's error says: the player is gone.
bool Unplugged(DWORD error) {
  return error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_FILE_NOT_FOUND ||
         error == ERROR_INVALID_HANDLE;
}

}  // namespace

std::vector<WinUsbCandidate> FindUsbDevices(const WinUsbApi& api) {
  std::vector<WinUsbCandidate> found;
  HDEVINFO set = api.GetClassDevs(&kUsbDeviceInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return found;
  std::wstring path;
  SP_DEVINFO_DATA device{};
  for (DWORD i = 0; InterfaceAt(api, set, i, &path, &device); ++i) {
    WinUsbCandidate c;
    const std::wstring hardwareId = Property(api, set, &device, SPDRP_HARDWAREID);
    if (path.empty() || !HexAfter(hardwareId, L"VID_", &c.id.vendor) || !HexAfter(hardwareId, L"PID_", &c.id.product))
      continue;
    c.path = path;
    c.service = Narrow(Property(api, set, &device, SPDRP_SERVICE));
    c.winusb = IsWinUsb(c.service);
    found.push_back(std::move(c));
  }
  api.DestroyDeviceInfoList(set);
  return found;
}

bool WinUsbBackend::Claim(const WinUsbCandidate& candidate) {
  Opened device(api_, candidate.path);
  int number = 0;
  UCHAR in = 0, out = 0;
  if (!device.usb || !FindPipes(api_, device.usb, &number, &in, &out)) return false;
  // No call may wait for ever on a player that stopped answering.
  ULONG timeout = kPipeTimeoutSeconds * 1000;
  for (UCHAR pipe : {in, out})
    if (!api_.SetPipePolicy(device.usb, pipe, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout)) return false;
  file_ = device.file;
  usb_ = device.usb;
  device.file = INVALID_HANDLE_VALUE;
  device.usb = nullptr;
  in_ = in;
  out_ = out;
  gone_ = false;
  return true;
}

BulkHandle WinUsbBackend::OpenDev() {
  Release();  // whatever an earlier command left open
  const std::vector<UsbId> listed = ReadPlayersLists().ids;
  if (listed.empty()) return kInvalidBulkHandle;  // no SetupAPI work at all
  for (const WinUsbCandidate& c : FindUsbDevices(api_)) {
    if (!c.winusb || std::find(listed.begin(), listed.end(), c.id) == listed.end()) continue;
    if (Claim(c)) break;
  }
  if (!usb_) return kInvalidBulkHandle;
  return handles_.OpenDevice();
}

std::string WinUsbBackend::Identity() {
  const std::vector<UsbId> listed = ReadPlayersLists().ids;
  if (listed.empty()) return {};
  for (const WinUsbCandidate& c : FindUsbDevices(api_))
    if (c.winusb && std::find(listed.begin(), listed.end(), c.id) != listed.end()) return "winusb:" + Narrow(c.path);
  return {};
}

BulkHandle WinUsbBackend::OpenRead() {
  return usb_ ? handles_.OpenRead() : kInvalidBulkHandle;
}

BulkHandle WinUsbBackend::OpenWrite() {
  return usb_ ? handles_.OpenWrite() : kInvalidBulkHandle;
}

bool WinUsbBackend::Transfer(UCHAR pipe, UCHAR* buf, std::uint32_t size, std::uint32_t* done, bool in) {
  *done = 0;
  if (gone_) return false;
  ULONG moved = 0;
  const BOOL ok = in ? api_.ReadPipe(usb_, pipe, buf, size, &moved, nullptr)
                     : api_.WritePipe(usb_, pipe, buf, size, &moved, nullptr);
  *done = static_cast<std::uint32_t>(std::min<ULONG>(moved, size));
  if (ok) return *done == size;
  const DWORD error = api_.GetLastError();
  if (error == ERROR_SEM_TIMEOUT) return false;  // WinUSB gave the transfer up itself
  if (Unplugged(error)) {
    gone_ = true;
    return false;
  }
  // A stall (ERROR_GEN_FAILURE, which an unplug also gives): the halted pipe
  // is reset so that the next command gets through; a pipe that cannot be
  // reset belongs to a player that is gone.
  if (!api_.ResetPipe(usb_, pipe)) gone_ = true;
  return false;
}

bool WinUsbBackend::Read(BulkHandle pipe, void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  if (!usb_ || !handles_.IsOpenRead(pipe)) return false;
  return Transfer(in_, static_cast<UCHAR*>(buf), size, done, true);
}

bool WinUsbBackend::Write(BulkHandle pipe, const void* buf, std::uint32_t size, std::uint32_t* done) {
  *done = 0;
  if (!usb_ || !handles_.IsOpenWrite(pipe)) return false;
  // WinUSB takes a non-const buffer for both directions; a write only reads it.
  return Transfer(out_, static_cast<UCHAR*>(const_cast<void*>(buf)), size, done, false);
}

void WinUsbBackend::Close(BulkHandle handle) {
  if (handles_.Close(handle)) Release();
}

void WinUsbBackend::Release() {
  if (usb_) api_.Free(usb_);
  if (file_ != INVALID_HANDLE_VALUE) api_.CloseHandle(file_);
  usb_ = nullptr;
  file_ = INVALID_HANDLE_VALUE;
  gone_ = false;
  handles_.Clear();
}

UsbScan ListWinUsbDevices(const WinUsbApi& api, const std::vector<UsbId>& listed,
                          std::vector<UsbBulkDevice>* devices) {
  devices->clear();
  for (const WinUsbCandidate& c : FindUsbDevices(api)) {
    UsbBulkDevice d;
    d.id = c.id;
    d.node = Narrow(c.path);
    d.driver = c.service;
    d.listed = std::find(listed.begin(), listed.end(), c.id) != listed.end();
    bool shaped = false;
    if (c.winusb) {
      Opened device(api, c.path);
      d.accessible = device.usb != nullptr;
      shaped = d.accessible && FindPipes(api, device.usb, &d.interfaceNumber, &d.bulkIn, &d.bulkOut);
    }
    // A device WinUSB does not drive cannot be asked for its pipes: shown
    // when it is listed, so that its owner learns it needs the driver.
    if (shaped || d.listed) devices->push_back(std::move(d));
  }
  return UsbScan::kDone;
}

UsbScan ListBulkDevices(std::vector<UsbBulkDevice>* devices) {
  return ListWinUsbDevices(SystemWinUsb(), ReadPlayersLists().ids, devices);
}

Backend& UsbPlayerBackend() {
  static WinUsbBackend backend;
  return backend;
}

const WinUsbApi& SystemWinUsb() {
#define ZK27_WINUSB_ADDRESS(member, function) &::function,
  static const WinUsbApi api{ZK27_WINUSB_FUNCTIONS(ZK27_WINUSB_ADDRESS)};
#undef ZK27_WINUSB_ADDRESS
  return api;
}

}  // namespace bulkusb
