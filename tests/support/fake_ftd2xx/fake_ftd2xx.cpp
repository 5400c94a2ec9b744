// A stand-in for the D2XX library: the entry points the FTDI link loads, over simulated devices
// that the tests add through the FakeFtd2xx_* controls (testsupport/FakeFtd2xxControl.h).
// Built three times: complete (libftd2xx.so, with the Linux library's FT_SetVIDPID), without
// FT_SetLatencyTimer (FAKE_FTD2XX_PARTIAL) for the test of a library the link must refuse, and
// without FT_SetVIDPID (FAKE_FTD2XX_NO_VIDPID), as the vendor's libraries of other platforms.
//
// Besides those, every stream socket in the socket folder of the device directory is a device
// (see FakeFtd2xxControl.h): the list is read afresh by FT_CreateDeviceInfoList, FT_OpenEx
// connects to the socket, FT_Write sends to it and the reads take what it delivered. So a server
// in a process of its own reaches an adapter simulator served by another process.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "plat/ftd2xx.h"
#include "testsupport/FakeFtd2xxControl.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using plat::FtDword;
using plat::FtHandle;
using plat::FtStatus;

// Bytes a socket device holds for the host; beyond this they stay in the socket (as a device's
// buffer being full stops the transfers).
constexpr size_t kSocketQueueLimit = 65536;
constexpr uint32_t kDefaultWriteTimeoutMs = 2000;

struct Device {
  uint32_t Id = 0;
  std::string Serial;
  std::string Description;
  std::string SocketPath;  // a socket device: the socket it connects to when opened
  uintptr_t Handle = 0;    // 0: not open; guarded by the state's mutex
  bool RefuseOpen = false;
  std::atomic<bool> Present{true};
  std::atomic<uint32_t> WriteTimeoutMs{kDefaultWriteTimeoutMs};

  std::mutex QueueMutex;  // guards Queue
  std::deque<uint8_t> Queue;

  std::mutex SinkMutex;  // held for a sink call or a socket write; guards Sink, Context
  FakeFtd2xxSink Sink = nullptr;
  void* Context = nullptr;

  // A socket device's connection while open: set by FT_OpenEx before the handle is handed out;
  // FT_Close takes it away under the state's mutex and closes it with QueueMutex and SinkMutex
  // held, so no read or write is using it then. Reads use it under QueueMutex, writes under
  // SinkMutex.
  std::atomic<int> Fd{-1};

  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device() {
    if (Fd.load() >= 0) close(Fd.load());
  }
};

struct State {
  std::mutex Mutex;                                // guards everything but the atomics
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

// ---- socket devices
// -------------------------------------------------------------------------------

// The sockets in the socket folder now: file name (the serial number) -> path.
std::map<std::string, std::string> SocketEntries() {
  std::map<std::string, std::string> out;
  const char* dir = std::getenv("DRAL_DEVICE_DIR");
  if (!dir || !*dir) return out;
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(dir) / kFakeFtd2xxSocketFolder, ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_socket(ec) && name.size() < 16) out[name] = entry.path().string();
  }
  return out;
}

// Brings the socket devices of the list up to date with the folder: a new socket is appended, a
// vanished one leaves the list (an open handle of it lives on until its connection ends).
void RescanSockets() {
  auto entries = SocketEntries();
  std::lock_guard<std::mutex> lock(S().Mutex);
  for (auto it = S().Devices.begin(); it != S().Devices.end();) {
    const std::string& path = it->second->SocketPath;
    if (path.empty()) {
      ++it;
      continue;
    }
    const auto found = entries.find(it->second->Serial);
    if (found != entries.end() && found->second == path) {
      entries.erase(found);
      ++it;
    } else {
      it = S().Devices.erase(it);
    }
  }
  for (const auto& [serial, path] : entries) {
    auto device = std::make_shared<Device>();
    device->Id = kFakeFtd2xxSocketDeviceId;
    device->Serial = serial;
    device->Description = "Adapter";
    device->SocketPath = path;
    S().Devices[S().NextKey++] = std::move(device);
  }
}

// Connects to a socket device; the descriptor, or -1.
int ConnectSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Moves what the socket delivered into the queue, up to kSocketQueueLimit. The end of the
// connection makes the device absent. Called with the device's QueueMutex held.
void PumpSocket(Device& device) {
  const int fd = device.Fd.load();
  if (fd < 0) return;
  uint8_t chunk[16384];
  while (device.Queue.size() < kSocketQueueLimit) {
    const size_t room = std::min(sizeof chunk, kSocketQueueLimit - device.Queue.size());
    const ssize_t n = recv(fd, chunk, room, MSG_DONTWAIT);
    if (n > 0) {
      device.Queue.insert(device.Queue.end(), chunk, chunk + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) device.Present = false;
    return;
  }
}

// Sends `n` bytes to a socket device within its write time-out; the bytes sent, or -1 when the
// connection failed. Called with the device's SinkMutex held.
ssize_t SendSocket(Device& device, const uint8_t* bytes, size_t n) {
  const int fd = device.Fd.load();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(device.WriteTimeoutMs.load());
  size_t sent = 0;
  while (sent < n) {
    const ssize_t r = send(fd, bytes + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      sent += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;  // the time-out: what went is the count
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left));
  }
  return static_cast<ssize_t>(sent);
}

}  // namespace

// ---- controls
// -------------------------------------------------------------------------------------

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

FAKE_EXPORT uint64_t FakeFtd2xx_StatusPolls() {
  return S().StatusPolls.load();
}
FAKE_EXPORT uint64_t FakeFtd2xx_StaleHandleCalls() {
  return S().StaleHandleCalls.load();
}

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
    if (!device->SocketPath.empty()) {
      const int fd = ConnectSocket(device->SocketPath);
      if (fd < 0) return plat::kFtDeviceNotOpened;
      device->Fd = fd;
      device->Present = true;
    }
    device->Handle = S().NextHandle++;
    S().Handles[device->Handle] = device;
    *handle = reinterpret_cast<FtHandle>(device->Handle);
    return plat::kFtOk;
  }
  return plat::kFtDeviceNotFound;
}

FAKE_EXPORT FtStatus FT_Close(FtHandle handle) {
  Record("FT_Close");
  std::shared_ptr<Device> device;
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(S().Mutex);
    const auto it = S().Handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == S().Handles.end()) {
      S().StaleHandleCalls.fetch_add(1);
      return plat::kFtInvalidHandle;
    }
    device = it->second;
    device->Handle = 0;
    S().Handles.erase(it);
    fd = device->Fd.exchange(-1);
  }
  if (fd >= 0) {
    // Waits for a read or write in progress on the connection.
    std::scoped_lock io(device->QueueMutex, device->SinkMutex);
    close(fd);
    device->Queue.clear();
  }
  return plat::kFtOk;
}

FAKE_EXPORT FtStatus FT_Read(FtHandle handle, void* buffer, FtDword toRead, FtDword* read) {
  if (!read || (!buffer && toRead > 0)) return plat::kFtInvalidParameter;
  *read = 0;
  const auto device = Lookup(handle);
  if (!device) return plat::kFtInvalidHandle;
  if (!device->Present) return plat::kFtDeviceNotFound;
  std::lock_guard<std::mutex> lock(device->QueueMutex);
  PumpSocket(*device);
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
  if (device->Fd.load() >= 0) {
    const ssize_t sent = SendSocket(*device, static_cast<const uint8_t*>(buffer), toWrite);
    if (sent < 0) {
      device->Present = false;
      return plat::kFtIoError;
    }
    *written = static_cast<FtDword>(sent);
    return plat::kFtOk;
  }
  if (device->Sink) device->Sink(device->Context, static_cast<const uint8_t*>(buffer), toWrite);
  *written = toWrite;
  return plat::kFtOk;
}

FAKE_EXPORT FtStatus FT_ResetDevice(FtHandle handle) {
  return Plain(handle, "FT_ResetDevice");
}

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

FAKE_EXPORT FtStatus FT_SetRts(FtHandle handle) {
  return Plain(handle, "FT_SetRts");
}
FAKE_EXPORT FtStatus FT_ClrRts(FtHandle handle) {
  return Plain(handle, "FT_ClrRts");
}

FAKE_EXPORT FtStatus FT_Purge(FtHandle handle, FtDword mask) {
  return Plain(handle, "FT_Purge " + std::to_string(mask));
}

FAKE_EXPORT FtStatus FT_SetTimeouts(FtHandle handle, FtDword readTimeout, FtDword writeTimeout) {
  Record("FT_SetTimeouts " + std::to_string(readTimeout) + " " + std::to_string(writeTimeout));
  const auto device = Lookup(handle);
  if (!device) return plat::kFtInvalidHandle;
  device->WriteTimeoutMs = writeTimeout;
  return device->Present ? plat::kFtOk : plat::kFtDeviceNotFound;
}

FAKE_EXPORT FtStatus FT_GetQueueStatus(FtHandle handle, FtDword* rxBytes) {
  if (!rxBytes) return plat::kFtInvalidParameter;
  *rxBytes = 0;
  const auto device = Lookup(handle);
  if (!device) return plat::kFtInvalidHandle;
  std::lock_guard<std::mutex> lock(device->QueueMutex);
  PumpSocket(*device);
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
  RescanSockets();
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

#ifndef FAKE_FTD2XX_NO_VIDPID
FAKE_EXPORT FtStatus FT_SetVIDPID(FtDword vendorId, FtDword productId) {
  Record("FT_SetVIDPID " + std::to_string(vendorId) + " " + std::to_string(productId));
  return plat::kFtOk;
}
#endif

#ifndef FAKE_FTD2XX_PARTIAL
FAKE_EXPORT FtStatus FT_SetLatencyTimer(FtHandle handle, uint8_t latencyMs) {
  return Plain(handle, "FT_SetLatencyTimer " + std::to_string(latencyMs));
}
#endif
