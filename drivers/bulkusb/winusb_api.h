// The SetupAPI and WinUSB functions the WinUSB backend calls, as a table:
// the system's own (SystemWinUsb) in the program, a fake in the tests, which
// play players that are not there.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <winusb.h>

namespace bulkusb {

// api.ReadPipe is WinUsb_ReadPipe, api.GetClassDevs SetupDiGetClassDevsW,
// and so on.
#define ZK27_WINUSB_FUNCTIONS(X)                                                                             \
  X(GetClassDevs, SetupDiGetClassDevsW) X(EnumDeviceInterfaces, SetupDiEnumDeviceInterfaces)                  \
  X(GetDeviceInterfaceDetail, SetupDiGetDeviceInterfaceDetailW)                                               \
  X(GetDeviceRegistryProperty, SetupDiGetDeviceRegistryPropertyW)                                             \
  X(DestroyDeviceInfoList, SetupDiDestroyDeviceInfoList) X(CreateFile, CreateFileW) X(CloseHandle, CloseHandle) \
  X(Initialize, WinUsb_Initialize) X(Free, WinUsb_Free) X(QueryInterfaceSettings, WinUsb_QueryInterfaceSettings) \
  X(QueryPipe, WinUsb_QueryPipe) X(SetPipePolicy, WinUsb_SetPipePolicy) X(ReadPipe, WinUsb_ReadPipe)          \
  X(WritePipe, WinUsb_WritePipe) X(ResetPipe, WinUsb_ResetPipe) X(GetLastError, GetLastError)

struct WinUsbApi {
#define ZK27_WINUSB_MEMBER(member, function) decltype(&::function) member;
  ZK27_WINUSB_FUNCTIONS(ZK27_WINUSB_MEMBER)
#undef ZK27_WINUSB_MEMBER
};

// The functions of setupapi.dll, winusb.dll and kernel32.dll.
const WinUsbApi& SystemWinUsb();

}  // namespace bulkusb
