// An interface of a real USB device, reached through libusb-1.0 on the device's node
// (/dev/bus/usb/BBB/DDD, linked into the class folder by a udev rule).
//
// libusb is loaded at run time: from $DRAL_LIBUSB_LIBRARY when set (the tests' fake), else
// libusb-1.0.so.0 on the loader's search path. It stays loaded while an interface uses it.
//
// The interface is the first one of the device's active configuration, as a WinUSB interface
// handle is the first interface of its device; its alternate settings and endpoints are the
// device's descriptors. Pipe transfers are bulk transfers. Each one moves through a buffer of
// the library's own, so a cancellation completes the caller's record at once (the caller's
// buffer is never touched afterwards) while libusb gives the transfer back later. A device that
// goes away completes the pending transfers and refuses later ones with
// kErrorDeviceNotConnected, as a removal does.
//
// Threads: one event thread per interface runs libusb's event handling (completions run there)
// in slices of kEventSliceMs; Close stops and joins it. Every member may be called from any
// thread but the event thread.
#pragma once

#include <memory>

#include "plat/unique_fd.h"
#include "usb_interface.h"

namespace winusb {

inline constexpr const char* kLibUsbLibraryName = "libusb-1.0.so.0";
// One pass of libusb's event handling waits at most this long.
inline constexpr int kEventSliceMs = 100;
// How long Close waits for libusb to give back the cancelled transfers.
inline constexpr uint32_t kDrainTimeoutMs = 2000;

// Opens the first interface of the device whose node `fd` is (the library's own descriptor,
// taken over). Returns 0 with *out set, or an errno value: ELIBACC when libusb cannot be
// loaded, ELIBBAD when it lacks an entry point, EPROTO when the device has no interface, or
// the mapping of libusb's error (EIO for a node that is not a USB device, EACCES, EBUSY when
// another driver holds the interface, ENODEV when the device is gone).
int OpenLibUsbInterface(plat::UniqueFd fd, std::shared_ptr<UsbInterface>* out);

}  // namespace winusb
