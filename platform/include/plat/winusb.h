// The WinUSB library: bulk transfers to a USB interface, loaded at run time.
//
// Our library (libdral_winusb.so, folder platform/winusb) exports six functions with C linkage.
// What the device interface (the entry of the WinUSB class folder) is decides how it is reached:
// - a character device is a USB device node (/dev/bus/usb/BBB/DDD, linked into the folder by a
//   udev rule): the library drives the device's first interface through libusb-1.0, which it
//   loads at run time ($DRAL_LIBUSB_LIBRARY, else libusb-1.0.so.0); pipe transfers are bulk
//   transfers;
// - a UNIX seqpacket socket is a simulated device (see docs/winusb-sim-protocol.md).
//
// Conventions of all six functions: they return non-zero on success and 0 on failure with
// errno set (map it with plat::ErrorFromErrno). A transfer that was started but has not finished
// fails with errno EINPROGRESS (kErrorIoPending) and completes later through its Overlapped
// record, exactly like plat::ReadFile; cancel it with plat::CancelIoEx on the record (it was not
// started on a device handle, so plat::CancelIo does not see it). Nothing throws.
//
// Interface handles are opaque values (never dereference one), valid from WinUsb_Initialize to
// WinUsb_Free. A handle that was freed makes every later call fail with EBADF, also on other
// threads, so freeing one thread's interface never lets another thread's transfer reach freed
// memory. All functions may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "plat/overlapped.h"
#include "plat/shared_library.h"

namespace plat {

struct WinUsbInterfaceTag;
using WinUsbInterfaceHandle = WinUsbInterfaceTag*;  // nullptr is none

// The USB standard interface descriptor (9 bytes, as on the bus).
#pragma pack(push, 1)
struct UsbInterfaceDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bInterfaceNumber;
  uint8_t bAlternateSetting;
  uint8_t bNumEndpoints;
  uint8_t bInterfaceClass;
  uint8_t bInterfaceSubClass;
  uint8_t bInterfaceProtocol;
  uint8_t iInterface;
};
#pragma pack(pop)
static_assert(sizeof(UsbInterfaceDescriptor) == 9);

// USB transfer types, as in an endpoint's bmAttributes bits 0-1.
inline constexpr uint32_t kUsbPipeTypeControl = 0;
inline constexpr uint32_t kUsbPipeTypeIsochronous = 1;
inline constexpr uint32_t kUsbPipeTypeBulk = 2;
inline constexpr uint32_t kUsbPipeTypeInterrupt = 3;
// Bit of a pipe id (endpoint address) that marks an IN pipe (device to host).
inline constexpr uint8_t kUsbEndpointDirectionIn = 0x80;

struct WinUsbPipeInformation {
  uint32_t PipeType;           // kUsbPipeType*
  uint8_t PipeId;              // endpoint address; kUsbEndpointDirectionIn set for IN pipes
  uint16_t MaximumPacketSize;  // wMaxPacketSize bits 0-10
  uint8_t Interval;            // bInterval
};

// The largest transfer one WinUsb_ReadPipe/WinUsb_WritePipe moves (one packet on the socket).
inline constexpr uint32_t kWinUsbMaxTransfer = 65536;
// How long WinUsb_Initialize waits for the device to describe itself.
inline constexpr uint32_t kWinUsbDescribeTimeoutMs = 1000;

inline constexpr const char* kWinUsbLibraryName = "libdral_winusb.so";
inline constexpr const char* kWinUsbLibraryVar = "DRAL_WINUSB_LIBRARY";
// Names the libusb-1.0 library file the WinUSB library loads instead of libusb-1.0.so.0.
inline constexpr const char* kLibUsbLibraryVar = "DRAL_LIBUSB_LIBRARY";

// Entry point types (the prototypes below, as pointers).
using WinUsbInitializeFn = int (*)(int deviceFd, WinUsbInterfaceHandle* interfaceHandle);
using WinUsbFreeFn = int (*)(WinUsbInterfaceHandle interfaceHandle);
using WinUsbQueryInterfaceSettingsFn = int (*)(WinUsbInterfaceHandle interfaceHandle,
                                               uint8_t alternateSetting,
                                               UsbInterfaceDescriptor* descriptor);
using WinUsbQueryPipeFn = int (*)(WinUsbInterfaceHandle interfaceHandle, uint8_t alternateSetting,
                                  uint8_t pipeIndex, WinUsbPipeInformation* pipe);
using WinUsbReadPipeFn = int (*)(WinUsbInterfaceHandle interfaceHandle, uint8_t pipeId,
                                 uint8_t* buffer, uint32_t length, uint32_t* transferred,
                                 Overlapped* overlapped);
using WinUsbWritePipeFn = int (*)(WinUsbInterfaceHandle interfaceHandle, uint8_t pipeId,
                                  const uint8_t* buffer, uint32_t length, uint32_t* transferred,
                                  Overlapped* overlapped);

// The library loaded with the dynamic loader, and its six entry points.
//
// Not thread-safe: load, use and unload it from one owner (the port thread). Unload only when
// no interface of it is left (WinUsb_Free every one first); the loader's handle is reference
// counted, so several instances may load the library side by side.
class WinUsbLibrary {
 public:
  WinUsbLibrary() = default;
  ~WinUsbLibrary() { Unload(); }
  WinUsbLibrary(const WinUsbLibrary&) = delete;
  WinUsbLibrary& operator=(const WinUsbLibrary&) = delete;

  // Loads the library from `path`, or when `path` is empty from: $DRAL_WINUSB_LIBRARY, else
  // libdral_winusb.so in the program's folder, else libdral_winusb.so on the loader's search
  // path. Takes every entry point by name; one that is missing stays null (the caller decides).
  // False, with Error() telling why, when the library could not be loaded.
  bool Load(const std::string& path = {});
  void Unload();  // sets every entry point to null
  bool IsLoaded() const { return library_.IsLoaded(); }
  const std::string& Error() const { return library_.Error(); }

  WinUsbInitializeFn Initialize = nullptr;
  WinUsbFreeFn Free = nullptr;
  WinUsbQueryInterfaceSettingsFn QueryInterfaceSettings = nullptr;
  WinUsbQueryPipeFn QueryPipe = nullptr;
  WinUsbReadPipeFn ReadPipe = nullptr;
  WinUsbWritePipeFn WritePipe = nullptr;

 private:
  SharedLibrary library_;
};

}  // namespace plat

extern "C" {

// Opens the interface of the device whose descriptor is `deviceFd` (a WinUSB-class entry opened
// with plat::OpenDeviceNode or a device handle's duplicate). The library makes its own
// duplicate; the caller keeps and closes its descriptor. errno: EBADF for a bad descriptor,
// EPROTOTYPE for a descriptor that is neither a character device nor a seqpacket socket.
// - A USB device node: reads the descriptors of the active configuration and claims its first
//   interface; never waits for the device. errno: ELIBACC/ELIBBAD when libusb cannot be loaded
//   or lacks an entry point, EIO for a node that is not a USB device, EACCES, EBUSY when another
//   program or driver holds the interface, ENODEV when the device is gone, EPROTO when the
//   configuration has no interface.
// - A simulated device: asks it to describe itself and waits up to kWinUsbDescribeTimeoutMs for
//   the answer. errno: ETIMEDOUT when the device does not answer, EPROTO for a malformed
//   description, ENODEV/EPIPE when it hangs up.
int WinUsb_Initialize(int deviceFd, plat::WinUsbInterfaceHandle* interfaceHandle);

// Ends the interface: pending transfers complete with kErrorOperationAborted, the library's
// I/O thread (libusb's event thread for a USB device) is joined, its descriptor closed. EBADF
// when the handle is not (any longer) valid.
int WinUsb_Free(plat::WinUsbInterfaceHandle interfaceHandle);

// The interface descriptor of alternate setting `alternateSetting` (an index: 0 is the setting
// in use; a simulated device has only 0; beyond the last: ENOENT).
int WinUsb_QueryInterfaceSettings(plat::WinUsbInterfaceHandle interfaceHandle,
                                  uint8_t alternateSetting,
                                  plat::UsbInterfaceDescriptor* descriptor);

// The pipe at `pipeIndex` of alternate setting `alternateSetting` (0 .. bNumEndpoints - 1, in
// the device's order; beyond: ENOENT).
int WinUsb_QueryPipe(plat::WinUsbInterfaceHandle interfaceHandle, uint8_t alternateSetting,
                     uint8_t pipeIndex, plat::WinUsbPipeInformation* pipe);

// Reads one transfer from the IN pipe `pipeId` into `buffer`: completes with the transfer's
// length (at most `length`, and at most kWinUsbMaxTransfer; from a simulated device the rest of
// a longer transfer is what the next read gets). A zero-length transfer completes with 0. `overlapped` is required (EINVAL without); on an
// immediate completion *transferred is the count, else 0. EINVAL for a pipe that is not an IN
// pipe of the interface. A hang-up or a USB device that went away completes (and fails the
// next start) with kErrorDeviceNotConnected; a failed USB transfer (a stall, an error on the
// bus) completes with kErrorGenFailure.
int WinUsb_ReadPipe(plat::WinUsbInterfaceHandle interfaceHandle, uint8_t pipeId, uint8_t* buffer,
                    uint32_t length, uint32_t* transferred, plat::Overlapped* overlapped);

// Writes `length` bytes (at most kWinUsbMaxTransfer, else EINVAL) as one transfer to the OUT
// pipe `pipeId` (EINVAL for a pipe that is not an OUT pipe of the interface). As ReadPipe for
// the rest.
int WinUsb_WritePipe(plat::WinUsbInterfaceHandle interfaceHandle, uint8_t pipeId,
                     const uint8_t* buffer, uint32_t length, uint32_t* transferred,
                     plat::Overlapped* overlapped);

}  // extern "C"
