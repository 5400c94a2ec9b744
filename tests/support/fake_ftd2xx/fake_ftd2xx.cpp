// A stand-in for the D2XX library: the entry points the FTDI link loads, over simulated devices
// that the tests add through the FakeFtd2xx_* controls (testsupport/FakeFtd2xxControl.h).
// Built twice: complete (libftd2xx.so), and without FT_SetLatencyTimer (FAKE_FTD2XX_PARTIAL) for
// the test of a library the link must refuse.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plat/ftd2xx.h"
#include "testsupport/FakeFtd2xxControl.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using plat::FtDword;
using plat::FtHandle;
using plat::FtStatus;

struct Device {
  uint32_t Id = 0;
  std::string Serial;
  std::string Description;
  uintptr_t Handle = 0;  // 0: not open; guarded by the state's mutex
  bool RefuseOpen = false;
  std::atomic<bool> Present{true};

  std::mutex QueueMutex;  // guards Queue
  std::deque<uint8_t> Queue;

  std::mutex SinkMutex;  // held for a sink call; guards Sink, Context
  FakeFtd2xxSink Sink = nullptr;
  void* Context = nullptr;
};

struct State {
  std::mutex Mutex;  // guards everything but the atomics
  std::map<int, std::shared_ptr<Device>> Devices;  // key order is list order
  std::map<uintptr_t, std::shared_ptr<Device>> Handles;
  int NextKey = 1;
  uintptr_t NextHandle = 0x1000;
  bool ListFailure = false;
  std::vector<std::string> Log;
  std::atomic<uint64_t> StatusPolls{0};
  std::atomic<uint64_t> StaleHandleCalls{0};
};

State& S() {
  static State state;
  return state;
}

void Record(const std::string& line) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  S().Log.push_back(line);
}

std::shared_ptr<Device> Lookup(FtHandle handle) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == S().Handles.end()) {
    S().StaleHandleCalls.fetch_add(1);
    return nullptr;
  }
  return it->second;
}

std::shared_ptr<Device> ByKey(int key) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Devices.find(key);
  return it == S().Devices.end() ? nullptr : it->second;
}

// A call that only records itself: status of the handle.
FtStatus Plain(FtHandle handle, const std::string& line) {
  Record(line);
  const auto device = Lookup(handle);
  if (!device) return plat::kFtInvalidHandle;
  return device->Present ? plat::kFtOk : plat::kFtDeviceNotFound;
}

void CopyText(char* out, size_t size, const std::string& text) {
  std::memset(out, 0, size);
  std::memcpy(out, text.data(), std::min(text.size(), size - 1));
}

}  // namespace

// ---- controls -------------------------------------------------------------------------------------

FAKE_EXPORT int FakeFtd2xx_Add(uint32_t id, const char* serial, const char* description,
                               FakeFtd2xxSink sink, void* context) {
  auto device = std::make_shared<Device>();
  device->Id = id;
  device->Serial = serial ? serial : "";
  device->Description = description ? description : "";
  device->Sink = sink;
  device->Context = context;
  std::lock_guard<std::mutex> lock(S().Mutex);
  const int key = S().NextKey++;
  S().Devices[key] = std::move(device);
  return key;
}

FAKE_EXPORT void FakeFtd2xx_Remove(int key) {
  std::shared_ptr<Device> device;
  {
    std::lock_guard<std::mutex> lock(S().Mutex);
    const auto it = S().Devices.find(key);
    if (it == S().Devices.end()) return;
    device = it->second;
    device->Present = false;
    S().Devices.erase(it);
  }
  std::lock_guard<std::mutex> lock(device->SinkMutex);  // waits for a sink call in progress
  device->Sink = nullptr;
  device->Context = nullptr;
}

FAKE_EXPORT void FakeFtd2xx_Reset() {
  std::vector<int> keys;
  {
    std::lock_guard<std::mutex> lock(S().Mutex);
    for (const auto& [key, device] : S().Devices) keys.push_back(key);
  }
  for (int key : keys) FakeFtd2xx_Remove(key);
  std::lock_guard<std::mutex> lock(S().Mutex);
  S().Handles.clear();
  S().Log.clear();
  S().ListFailure = false;
  S().StatusPolls.store(0);
  S().StaleHandleCalls.store(0);
}

FAKE_EXPORT void FakeFtd2xx_Push(int key, const uint8_t* bytes, size_t n) {
  const auto device = ByKey(key);
  if (!device || !bytes) return;
  std::lock_guard<std::mutex> lock(device->QueueMutex);
  device->Queue.insert(device->Queue.end(), bytes, bytes + n);
}

FAKE_EXPORT void FakeFtd2xx_SetRefuseOpen(int key, int refuse) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Devices.find(key);
  if (it != S().Devices.end()) it->second->RefuseOpen = refuse != 0;
}

FAKE_EXPORT void FakeFtd2xx_SetListFailure(int fail) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  S().ListFailure = fail != 0;
}

FAKE_EXPORT int FakeFtd2xx_IsOpen(int key) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Devices.find(key);
  return it != S().Devices.end() && it->second->Handle != 0 ? 1 : 0;
}

FAKE_EXPORT size_t FakeFtd2xx_Pending(int key) {
  const auto device = ByKey(key);
  if (!device) return 0;
  std::lock_guard<std::mutex> lock(device->QueueMutex);
  return device->Queue.size();
}

FAKE_EXPORT size_t FakeFtd2xx_Log(char* buffer, size_t size) {
  std::string all;
  {
    std::lock_guard<std::mutex> lock(S().Mutex);
    for (const auto& line : S().Log) all += line + "\n";
  }
  if (buffer && size > 0) CopyText(buffer, size, all);
  return all.size();
}

FAKE_EXPORT uint64_t FakeFtd2xx_StatusPolls() { return S().StatusPolls.load(); }
FAKE_EXPORT uint64_t FakeFtd2xx_StaleHandleCalls() { return S().StaleHandleCalls.load(); }

// ---- D2XX entry points -------------------------------------------------------------------------

FAKE_EXPORT FtStatus FT_ListDevices(void*, void*, FtDword) {
  Record("FT_ListDevices");
  return plat::kFtInvalidParameter;
}

FAKE_EXPORT FtStatus FT_Open(int, FtHandle* handle) {
  Record("FT_Open");
  if (handle) *handle = nullptr;
  return plat::kFtDeviceNotOpened;
}

FAKE_EXPORT FtStatus FT_OpenEx(void* arg, FtDword flags, FtHandle* handle) {
  const std::string serial = arg ? static_cast<const char*>(arg) : "";
  Record("FT_OpenEx " + serial + " " + std::to_string(flags));
  if (!handle) return plat::kFtInvalidParameter;
  *handle = nullptr;
  if (flags != plat::kFtOpenBySerialNumber) return plat::kFtInvalidParameter;
  std::lock_guard<std::mutex> lock(S().Mutex);
  for (const auto& [key, device] : S().Devices) {
    if (device->Serial != serial) continue;
    if (device->Handle != 0 || device->RefuseOpen) return plat::kFtDeviceNotOpened;
    device->Handle = S().NextHandle++;
    S().Handles[device->Handle] = device;
    *handle = reinterpret_cast<FtHandle>(device->Handle);
    return plat::kFtOk;
  }
  return plat::kFtDeviceNotFound;
}

FAKE_EXPORT FtStatus FT_Close(FtHandle handle) {
  Record("FT_Close");
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == S().Handles.end()) {
    S().StaleHandleCalls.fetch_add(1);
    return plat::kFtInvalidHandle;
  }
  it->second->Handle = 0;
  S().Handles.erase(it);
  return plat::kFtOk;
}

FAKE_EXPORT FtStatus FT_Read(FtHandle handle, void* buffer, FtDword toRead, FtDword* read) {
  if (!read || (!buffer && toRead > 0)) return plat::kFtInvalidParameter;
  *read = 0;
  const auto device = Lookup(handle);
  if (!device) return plat::kFtInvalidHandle;
  if (!device->Present) return plat::kFtDeviceNotFound;
  std::lock_guard<std::mutex> lock(device->QueueMutex);
  const size_t n = std::min<size_t>(toRead, device->Queue.size());
  std::copy_n(device->Queue.begin(), n, static_cast<uint8_t*>(buffer));
  device->Queue.erase(device->Queue.begin(), device->Queue.begin() + static_cast<long>(n));
  *read = static_cast<FtDword>(n);
  return plat::kFtOk;
}

FAKE_EXPORT FtStatus FT_Write(FtHandle handle, void* buffer, FtDword toWrite, FtDword* written) {
  Record("FT_Write " + std::to_string(toWrite));
  if (!written || (!buffer && toWrite > 0)) return plat::kFtInvalidParameter;
  *written = 0;
  const auto device = Lookup(handle);
  if (!device) return plat::kFtInvalidHandle;
  std::lock_guard<std::mutex> lock(device->SinkMutex);
  if (!device->Present) return plat::kFtDeviceNotFound;
  if (device->Sink) device->Sink(device->Context, static_cast<const uint8_t*>(buffer), toWrite);
  *written = toWrite;
  return plat::kFtOk;
}

FAKE_EXPORT FtStatus FT_ResetDevice(FtHandle handle) { return Plain(handle, "FT_ResetDevice"); }

FAKE_EXPORT FtStatus FT_SetBaudRate(FtHandle handle, FtDword baudRate) {
  return Plain(handle, "FT_SetBaudRate " + std::to_string(baudRate));
}

FAKE_EXPORT FtStatus FT_SetDataCharacteristics(FtHandle handle, uint8_t wordLength,
                                               uint8_t stopBits, uint8_t parity) {
  return Plain(handle, "FT_SetDataCharacteristics " + std::to_string(wordLength) + " " +
                           std::to_string(stopBits) + " " + std::to_string(parity));
}

FAKE_EXPORT FtStatus FT_SetFlowControl(FtHandle handle, uint16_t flowControl, uint8_t xon,
                                       uint8_t xoff) {
  return Plain(handle, "FT_SetFlowControl " + std::to_string(flowControl) + " " +
                           std::to_string(xon) + " " + std::to_string(xoff));
}

FAKE_EXPORT FtStatus FT_SetRts(FtHandle handle) { return Plain(handle, "FT_SetRts"); }
FAKE_EXPORT FtStatus FT_ClrRts(FtHandle handle) { return Plain(handle, "FT_ClrRts"); }

FAKE_EXPORT FtStatus FT_Purge(FtHandle handle, FtDword mask) {
  return Plain(handle, "FT_Purge " + std::to_string(mask));
}

FAKE_EXPORT FtStatus FT_SetTimeouts(FtHandle handle, FtDword readTimeout, FtDword writeTimeout) {
  return Plain(handle, "FT_SetTimeouts " + std::to_string(readTimeout) + " " +
                           std::to_string(writeTimeout));
}

FAKE_EXPORT FtStatus FT_GetQueueStatus(FtHandle handle, FtDword* rxBytes) {
  if (!rxBytes) return plat::kFtInvalidParameter;
  *rxBytes = 0;
  const auto device = Lookup(handle);
  if (!device) return plat::kFtInvalidHandle;
  std::lock_guard<std::mutex> lock(device->QueueMutex);
  *rxBytes = static_cast<FtDword>(device->Queue.size());
  return plat::kFtOk;
}

FAKE_EXPORT FtStatus FT_GetStatus(FtHandle handle, FtDword* rxBytes, FtDword* txBytes,
                                  FtDword* eventStatus) {
  S().StatusPolls.fetch_add(1);
  if (!rxBytes || !txBytes || !eventStatus) return plat::kFtInvalidParameter;
  *txBytes = 0;
  *eventStatus = 0;
  return FT_GetQueueStatus(handle, rxBytes);
}

FAKE_EXPORT FtStatus FT_SetEventNotification(FtHandle handle, FtDword mask, void*) {
  return Plain(handle, "FT_SetEventNotification " + std::to_string(mask));
}

FAKE_EXPORT FtStatus FT_CreateDeviceInfoList(FtDword* count) {
  Record("FT_CreateDeviceInfoList");
  if (!count) return plat::kFtInvalidParameter;
  std::lock_guard<std::mutex> lock(S().Mutex);
  *count = static_cast<FtDword>(S().Devices.size());
  return plat::kFtOk;
}

FAKE_EXPORT FtStatus FT_GetDeviceInfoList(plat::FtDeviceListInfoNode* list, FtDword* count) {
  Record("FT_GetDeviceInfoList");
  if (!list || !count) return plat::kFtInvalidParameter;
  std::lock_guard<std::mutex> lock(S().Mutex);
  if (S().ListFailure) return plat::kFtIoError;
  FtDword i = 0;
  for (const auto& [key, device] : S().Devices) {
    if (i == *count) break;  // the caller's array holds no more
    plat::FtDeviceListInfoNode& node = list[i++];
    node.Flags = device->Handle != 0 ? 1 : 0;
    node.Type = 5;
    node.ID = device->Id;
    node.LocId = static_cast<FtDword>(key);
    CopyText(node.SerialNumber, sizeof node.SerialNumber, device->Serial);
    CopyText(node.Description, sizeof node.Description, device->Description);
    node.ftHandle = reinterpret_cast<FtHandle>(device->Handle);
  }
  *count = i;
  return plat::kFtOk;
}

#ifndef FAKE_FTD2XX_PARTIAL
FAKE_EXPORT FtStatus FT_SetLatencyTimer(FtHandle handle, uint8_t latencyMs) {
  return Plain(handle, "FT_SetLatencyTimer " + std::to_string(latencyMs));
}
#endif
