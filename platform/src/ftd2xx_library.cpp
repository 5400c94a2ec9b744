#include <dlfcn.h>

#include <cstdlib>

#include "plat/ftd2xx.h"

namespace plat {
namespace {

template <typename Fn>
void Take(void* module, Fn& entry, const char* name) {
  entry = reinterpret_cast<Fn>(dlsym(module, name));
}

}  // namespace

bool Ftd2xxLibrary::Load(const std::string& path) {
  Unload();
  std::string file = path;
  if (file.empty()) {
    const char* env = std::getenv(kFtd2xxLibraryVar);
    file = env && *env ? env : kFtd2xxLibraryName;
  }
  module_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module_) {
    const char* why = dlerror();
    error_ = why ? why : file + ": cannot be loaded";
    return false;
  }
  error_.clear();
  Take(module_, FT_ListDevices, "FT_ListDevices");
  Take(module_, FT_Open, "FT_Open");
  Take(module_, FT_OpenEx, "FT_OpenEx");
  Take(module_, FT_Close, "FT_Close");
  Take(module_, FT_Read, "FT_Read");
  Take(module_, FT_Write, "FT_Write");
  Take(module_, FT_ResetDevice, "FT_ResetDevice");
  Take(module_, FT_SetBaudRate, "FT_SetBaudRate");
  Take(module_, FT_SetDataCharacteristics, "FT_SetDataCharacteristics");
  Take(module_, FT_SetFlowControl, "FT_SetFlowControl");
  Take(module_, FT_SetRts, "FT_SetRts");
  Take(module_, FT_ClrRts, "FT_ClrRts");
  Take(module_, FT_Purge, "FT_Purge");
  Take(module_, FT_SetTimeouts, "FT_SetTimeouts");
  Take(module_, FT_GetQueueStatus, "FT_GetQueueStatus");
  Take(module_, FT_GetStatus, "FT_GetStatus");
  Take(module_, FT_SetEventNotification, "FT_SetEventNotification");
  Take(module_, FT_CreateDeviceInfoList, "FT_CreateDeviceInfoList");
  Take(module_, FT_GetDeviceInfoList, "FT_GetDeviceInfoList");
  Take(module_, FT_SetLatencyTimer, "FT_SetLatencyTimer");
  return true;
}

bool Ftd2xxLibrary::Complete() const {
  // FT_Open is looked up but not required.
  return module_ && FT_ListDevices && FT_OpenEx && FT_Close && FT_Read && FT_Write &&
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
  if (module_) dlclose(module_);
  module_ = nullptr;
}

}  // namespace plat
