// Every global of the engine back to the state of a program that has just
// started, so that no test case or fuzz input sees what an earlier one in the
// same process left behind.
#pragma once

#include <cstring>

#include "bulk_backend.h"
#include "cardops.h"
#include "fs.h"
#include "hooks.h"
#include "usbfunc.h"

inline void ResetEngine() {
  DetachCardImage();
  bulkusb::InstallInProcessBackend(nullptr);
  InstallHooks({});
  DeviceState = kDeviceReady;
  std::memset(SectorBuffer, 0, sizeof(SectorBuffer));
  VolumeImage = VolumeImageData{};
  ClusterList = {kEndOfChain};
  for (auto& r : CardFileTable) r = TFileInfor{};
  CardFileCount = 0;
  FreeClusterCount = 0;
  CurrentFileName.clear();
}
