// The FTDI D2XX library, loaded at run time: the vendor's libftd2xx.so (the same entry points as
// its Windows library), or a stand-in with the same exports (the tests' fake).
//
// The prototypes below are written from the library's published calling conventions: a status
// of 0 (kFtOk) is success; a device handle is an opaque pointer the library hands out. Nothing
// here knows the adapter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plat/shared_library.h"

namespace plat {

using FtHandle = void*;       // nullptr: no device
using FtStatus = uint32_t;    // kFtOk or the library's error code
using FtDword = uint32_t;

inline constexpr FtStatus kFtOk = 0;
inline constexpr FtStatus kFtInvalidHandle = 1;
inline constexpr FtStatus kFtDeviceNotFound = 2;
inline constexpr FtStatus kFtDeviceNotOpened = 3;
inline constexpr FtStatus kFtIoError = 4;
inline constexpr FtStatus kFtInvalidParameter = 6;

// FT_OpenEx flag: the argument is a serial number text.
inline constexpr FtDword kFtOpenBySerialNumber = 1;

// One entry of the device list (FT_GetDeviceInfoList), laid out as the vendor documents it for
// its x86-64 Linux library: four 32-bit words (its ULONG and DWORD are 32 bits there), the two
// texts, then the handle with the width and alignment of a pointer: 104 bytes.
struct FtDeviceListInfoNode {
  FtDword Flags;
  FtDword Type;
  FtDword ID;     // vendor id in the high 16 bits, product id in the low 16 bits
  FtDword LocId;
  char SerialNumber[16];
  char Description[64];
  FtHandle ftHandle;
};
static_assert(sizeof(FtDword) == 4 && sizeof(FtStatus) == 4);
static_assert(sizeof(FtDeviceListInfoNode::Flags) == 4 && sizeof(FtDeviceListInfoNode::Type) == 4 &&
              sizeof(FtDeviceListInfoNode::ID) == 4 && sizeof(FtDeviceListInfoNode::LocId) == 4);
static_assert(sizeof(FtDeviceListInfoNode::SerialNumber) == 16);
static_assert(sizeof(FtDeviceListInfoNode::Description) == 64);
static_assert(sizeof(FtDeviceListInfoNode::ftHandle) == sizeof(void*));
static_assert(offsetof(FtDeviceListInfoNode, Flags) == 0);
static_assert(offsetof(FtDeviceListInfoNode, Type) == 4);
static_assert(offsetof(FtDeviceListInfoNode, ID) == 8);
static_assert(offsetof(FtDeviceListInfoNode, LocId) == 12);
static_assert(offsetof(FtDeviceListInfoNode, SerialNumber) == 16);
static_assert(offsetof(FtDeviceListInfoNode, Description) == 32);
static_assert(offsetof(FtDeviceListInfoNode, ftHandle) == 96);
static_assert(sizeof(void*) != 8 || (sizeof(FtDeviceListInfoNode) == 104 &&
                                     alignof(FtDeviceListInfoNode) == 8));

// Entry point types.
using FtListDevicesFn = FtStatus (*)(void* arg1, void* arg2, FtDword flags);
using FtOpenFn = FtStatus (*)(int deviceNumber, FtHandle* handle);
using FtOpenExFn = FtStatus (*)(void* arg, FtDword flags, FtHandle* handle);
using FtCloseFn = FtStatus (*)(FtHandle handle);
using FtReadFn = FtStatus (*)(FtHandle handle, void* buffer, FtDword toRead, FtDword* read);
using FtWriteFn = FtStatus (*)(FtHandle handle, void* buffer, FtDword toWrite, FtDword* written);
using FtResetDeviceFn = FtStatus (*)(FtHandle handle);
using FtSetBaudRateFn = FtStatus (*)(FtHandle handle, FtDword baudRate);
using FtSetDataCharacteristicsFn = FtStatus (*)(FtHandle handle, uint8_t wordLength,
                                                uint8_t stopBits, uint8_t parity);
using FtSetFlowControlFn = FtStatus (*)(FtHandle handle, uint16_t flowControl, uint8_t xon,
                                        uint8_t xoff);
using FtSetRtsFn = FtStatus (*)(FtHandle handle);
using FtClrRtsFn = FtStatus (*)(FtHandle handle);
using FtPurgeFn = FtStatus (*)(FtHandle handle, FtDword mask);
using FtSetTimeoutsFn = FtStatus (*)(FtHandle handle, FtDword readTimeout, FtDword writeTimeout);
using FtGetQueueStatusFn = FtStatus (*)(FtHandle handle, FtDword* rxBytes);
using FtGetStatusFn = FtStatus (*)(FtHandle handle, FtDword* rxBytes, FtDword* txBytes,
                                   FtDword* eventStatus);
using FtSetEventNotificationFn = FtStatus (*)(FtHandle handle, FtDword mask, void* param);
using FtCreateDeviceInfoListFn = FtStatus (*)(FtDword* count);
using FtGetDeviceInfoListFn = FtStatus (*)(FtDeviceListInfoNode* list, FtDword* count);
using FtSetLatencyTimerFn = FtStatus (*)(FtHandle handle, uint8_t latencyMs);
// Only in the vendor's Linux and macOS libraries: adds a vendor/product id pair that the device
// list and the opens accept besides the vendor's own ids.
using FtSetVidPidFn = FtStatus (*)(FtDword vendorId, FtDword productId);

inline constexpr const char* kFtd2xxLibraryName = "libftd2xx.so";
// Names the library file to load instead of the loader's search for kFtd2xxLibraryName.
inline constexpr const char* kFtd2xxLibraryVar = "DRAL_FTD2XX_LIBRARY";

// The library and its 20 entry points, looked up by name in this order: FT_ListDevices,
// FT_Open, FT_OpenEx, FT_Close, FT_Read, FT_Write, FT_ResetDevice, FT_SetBaudRate,
// FT_SetDataCharacteristics, FT_SetFlowControl, FT_SetRts, FT_ClrRts, FT_Purge, FT_SetTimeouts,
// FT_GetQueueStatus, FT_GetStatus, FT_SetEventNotification, FT_CreateDeviceInfoList,
// FT_GetDeviceInfoList, FT_SetLatencyTimer; then FT_SetVIDPID, which only some platforms'
// libraries have and which Complete() does not require.
//
// Load and Unload from one owner; the entry points may then be called from any thread while the
// library stays loaded. The loader's handle is reference counted, so several instances may
// load the library side by side.
class Ftd2xxLibrary {
 public:
  Ftd2xxLibrary() = default;
  ~Ftd2xxLibrary() { Unload(); }
  Ftd2xxLibrary(const Ftd2xxLibrary&) = delete;
  Ftd2xxLibrary& operator=(const Ftd2xxLibrary&) = delete;

  // Loads the library from `path`, or when `path` is empty from $DRAL_FTD2XX_LIBRARY, else
  // libftd2xx.so on the loader's search path, and takes every entry point by name (a missing
  // one stays null). False, with Error() telling why, when the library could not be loaded.
  bool Load(const std::string& path = {});
  void Unload();  // sets every entry point to null
  bool IsLoaded() const { return library_.IsLoaded(); }
  // Every entry point the link needs is present: all of them except FT_Open.
  bool Complete() const;
  const std::string& Error() const { return library_.Error(); }

  FtListDevicesFn FT_ListDevices = nullptr;
  FtOpenFn FT_Open = nullptr;
  FtOpenExFn FT_OpenEx = nullptr;
  FtCloseFn FT_Close = nullptr;
  FtReadFn FT_Read = nullptr;
  FtWriteFn FT_Write = nullptr;
  FtResetDeviceFn FT_ResetDevice = nullptr;
  FtSetBaudRateFn FT_SetBaudRate = nullptr;
  FtSetDataCharacteristicsFn FT_SetDataCharacteristics = nullptr;
  FtSetFlowControlFn FT_SetFlowControl = nullptr;
  FtSetRtsFn FT_SetRts = nullptr;
  FtClrRtsFn FT_ClrRts = nullptr;
  FtPurgeFn FT_Purge = nullptr;
  FtSetTimeoutsFn FT_SetTimeouts = nullptr;
  FtGetQueueStatusFn FT_GetQueueStatus = nullptr;
  FtGetStatusFn FT_GetStatus = nullptr;
  FtSetEventNotificationFn FT_SetEventNotification = nullptr;
  FtCreateDeviceInfoListFn FT_CreateDeviceInfoList = nullptr;
  FtGetDeviceInfoListFn FT_GetDeviceInfoList = nullptr;
  FtSetLatencyTimerFn FT_SetLatencyTimer = nullptr;
  FtSetVidPidFn FT_SetVIDPID = nullptr;  // optional

 private:
  SharedLibrary library_;
};

}  // namespace plat
