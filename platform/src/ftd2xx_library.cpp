#include <cstdlib>

#include "plat/ftd2xx.h"

namespace plat {
namespace {

template <typename Fn>
void Take(const SharedLibrary& library, Fn& entry, const char* name) {
  entry = library.Entry<Fn>(name);
}

}  // namespace

bool Ftd2xxLibrary::Load(const std::string& path) {
  Unload();
  std::string file = path;
  if (file.empty()) {
    const char* env = std::getenv(kFtd2xxLibraryVar);
    file = env && *env ? env : kFtd2xxLibraryName;
  }
  if (!library_.Load({file})) return false;
  Take(library_, FT_ListDevices, "FT_ListDevices");
  Take(library_, FT_Open, "FT_Open");
  Take(library_, FT_OpenEx, "FT_OpenEx");
  Take(library_, FT_Close, "FT_Close");
  Take(library_, FT_Read, "FT_Read");
  Take(library_, FT_Write, "FT_Write");
  Take(library_, FT_ResetDevice, "FT_ResetDevice");
  Take(library_, FT_SetBaudRate, "FT_SetBaudRate");
  Take(library_, FT_SetDataCharacteristics, "FT_SetDataCharacteristics");
  Take(library_, FT_SetFlowControl, "FT_SetFlowControl");
  Take(library_, FT_SetRts, "FT_SetRts");
  Take(library_, FT_ClrRts, "FT_ClrRts");
  Take(library_, FT_Purge, "FT_Purge");
  Take(library_, FT_SetTimeouts, "FT_SetTimeouts");
  Take(library_, FT_GetQueueStatus, "FT_GetQueueStatus");
  Take(library_, FT_GetStatus, "FT_GetStatus");
  Take(library_, FT_SetEventNotification, "FT_SetEventNotification");
  Take(library_, FT_CreateDeviceInfoList, "FT_CreateDeviceInfoList");
  Take(library_, FT_GetDeviceInfoList, "FT_GetDeviceInfoList");
  Take(library_, FT_SetLatencyTimer, "FT_SetLatencyTimer");
  Take(library_, FT_SetVIDPID, "FT_SetVIDPID");
  return true;
}

bool Ftd2xxLibrary::Complete() const {
  // FT_Open and FT_SetVIDPID are looked up but not required.
  return library_.IsLoaded() && FT_ListDevices && FT_OpenEx && FT_Close && FT_Read && FT_Write &&
         FT_ResetDevice && FT_SetBaudRate && FT_SetDataCharacteristics && FT_SetFlowControl &&
         FT_SetRts && FT_ClrRts && FT_Purge && FT_SetTimeouts && FT_GetQueueStatus &&
         FT_GetStatus && FT_SetEventNotification && FT_CreateDeviceInfoList &&
         FT_GetDeviceInfoList && FT_SetLatencyTimer;
}

void Ftd2xxLibrary::Unload() {
  FT_ListDevices = nullptr;
  FT_Open = nullptr;
  FT_OpenEx = nullptr;
  FT_Close = nullptr;
  FT_Read = nullptr;
  FT_Write = nullptr;
  FT_ResetDevice = nullptr;
  FT_SetBaudRate = nullptr;
  FT_SetDataCharacteristics = nullptr;
  FT_SetFlowControl = nullptr;
  FT_SetRts = nullptr;
  FT_ClrRts = nullptr;
  FT_Purge = nullptr;
  FT_SetTimeouts = nullptr;
  FT_GetQueueStatus = nullptr;
  FT_GetStatus = nullptr;
  FT_SetEventNotification = nullptr;
  FT_CreateDeviceInfoList = nullptr;
  FT_GetDeviceInfoList = nullptr;
  FT_SetLatencyTimer = nullptr;
  FT_SetVIDPID = nullptr;
  library_.Unload();
}

}  // namespace plat
