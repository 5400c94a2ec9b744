// The test-side controls of the fake D2XX library (fake_ftd2xx/, built as libftd2xx.so): the
// library exports the D2XX entry points and these functions with C linkage. A test reaches them
// with FakeFtd2xx (FakeFtd2xx.h), which loads the same library file the link loads, so both see
// the one set of simulated devices of the process.
//
// A simulated device is a node of the device list (ID, serial number, description). Bytes the
// host writes go to the device's sink; bytes for the host are queued with FakeFtd2xx_Push and
// reported by FT_GetStatus and returned by FT_Read. The library records the calls a link makes
// (except the status polls and reads, which it counts) as text lines, e.g. "FT_SetBaudRate
// 115200".
//
// Socket devices: every stream socket in the folder kFakeFtd2xxSocketFolder of the device
// directory ($DRAL_DEVICE_DIR) is a device too, with the socket's file name (at most 15
// characters) as its serial number, the adapter's ids (kFakeFtd2xxSocketDeviceId) and the
// description "Adapter". FT_CreateDeviceInfoList reads the folder afresh; FT_OpenEx connects to
// the socket (one connection per open), FT_Write sends the host's bytes to it (within the write
// time-out of FT_SetTimeouts), and the status, queue and read calls take what it delivered.
// The end of the connection makes the device absent (FT_DEVICE_NOT_FOUND). This lets a program
// that loads the fake, such as the server, reach a device served by another process
// (AdapterDeviceFront's Ftdi kind).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char* kFakeFtd2xxSocketFolder = "ftd2xx";
inline constexpr uint32_t kFakeFtd2xxSocketDeviceId = 0x14EC9280;

extern "C" {

// Receives the host's bytes. Called on the writer's thread without the library's locks held;
// never after FakeFtd2xx_Remove of its device returned.
using FakeFtd2xxSink = void (*)(void* context, const uint8_t* bytes, size_t n);

using FakeFtd2xxAddFn = int (*)(uint32_t id, const char* serial, const char* description,
                                FakeFtd2xxSink sink, void* context);
using FakeFtd2xxRemoveFn = void (*)(int key);
using FakeFtd2xxResetFn = void (*)();
using FakeFtd2xxPushFn = void (*)(int key, const uint8_t* bytes, size_t n);
using FakeFtd2xxSetRefuseOpenFn = void (*)(int key, int refuse);
using FakeFtd2xxSetListFailureFn = void (*)(int fail);
using FakeFtd2xxIsOpenFn = int (*)(int key);
using FakeFtd2xxPendingFn = size_t (*)(int key);
using FakeFtd2xxLogFn = size_t (*)(char* buffer, size_t size);
using FakeFtd2xxCounterFn = uint64_t (*)();

// FakeFtd2xx_Add: appends a device to the list; returns its key (> 0).
// FakeFtd2xx_Remove: takes the device out of the list; its open handle then fails with
//   FT_DEVICE_NOT_FOUND. Waits for a sink call in progress.
// FakeFtd2xx_Reset: removes every device, clears the log, the counters and the list failure.
// FakeFtd2xx_Push: queues bytes for the host.
// FakeFtd2xx_SetRefuseOpen: FT_OpenEx of the device fails (as when another program has it).
// FakeFtd2xx_SetListFailure: FT_GetDeviceInfoList fails.
// FakeFtd2xx_IsOpen: the device has an open handle. FakeFtd2xx_Pending: bytes queued for the host.
// FakeFtd2xx_Log: the call lines joined by '\n' into `buffer` (cut at size - 1, terminated);
//   returns the full length.
// FakeFtd2xx_StatusPolls: FT_GetStatus calls. FakeFtd2xx_StaleHandleCalls: calls with a handle
//   that was never handed out or was already closed.

}  // extern "C"
