// The test-side controls of the fake libusb-1.0 (fake_libusb/, built as libusb-1.0.so): the
// library exports the libusb entry points the WinUSB library uses and these functions with C
// linkage. A test reaches them with FakeLibusb (FakeLibusb.h), which loads the same file that
// the WinUSB library is pointed at (DRAL_LIBUSB_LIBRARY), so both see one set of devices.
//
// A simulated USB device is a character device node that the test owns (a pseudo-terminal
// slave, say) and the raw bytes of its configuration descriptor (configuration, interface and
// endpoint descriptors as on the bus). libusb_wrap_sys_device on a descriptor of that node
// yields the device (matched by the node's device number; the newest device added on it). Transfers are bulk transfers: an IN
// transfer completes with the oldest transfer pushed for its endpoint (LIBUSB_TRANSFER_OVERFLOW
// when that is longer than asked), an OUT transfer completes at once and is kept for
// FakeLibusb_TakeWritten. Completions are handed to their callbacks only inside
// libusb_handle_events_timeout on the context, as libusb does; a cancelled transfer comes back
// one pass of event handling after its cancellation, as from the kernel some time later.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

using FakeLibusbAddFn = int (*)(const char* nodePath, const uint8_t* config, size_t n);
using FakeLibusbPushFn = void (*)(int key, uint8_t endpoint, const uint8_t* bytes, size_t n);
using FakeLibusbFailTransferFn = void (*)(int key, uint8_t endpoint, int status);
using FakeLibusbVanishFn = void (*)(int key);
using FakeLibusbTakeWrittenFn = int (*)(int key, uint8_t* endpoint, uint8_t* buffer,
                                        size_t size);
using FakeLibusbQueryFn = int (*)(int key);
using FakeLibusbCounterFn = int (*)();
using FakeLibusbResetFn = void (*)();

// FakeLibusb_Add: a device on the node at `nodePath`; returns its key (> 0), or -1 when the
//   node is no character device.
// FakeLibusb_Push: one IN transfer of `endpoint` for the host.
// FakeLibusb_FailTransfer: the oldest pending transfer of `endpoint`, or else the next one
//   submitted, completes with `status` (a libusb_transfer_status) and no bytes.
// FakeLibusb_Vanish: the device goes away: its pending transfers complete with
//   LIBUSB_TRANSFER_NO_DEVICE, later submissions fail with LIBUSB_ERROR_NO_DEVICE.
// FakeLibusb_TakeWritten: removes the oldest OUT transfer: its endpoint into *endpoint and up to
//   `size` bytes into `buffer`; returns its length, or -1 when there is none.
// FakeLibusb_Claimed: the interface number claimed on the device, or -1.
// FakeLibusb_Pending: the device's transfers submitted and not yet handed back.
// FakeLibusb_Live: contexts, device handles, transfers and configuration descriptors made and
//   not yet given back (0 once a user has cleaned up).
// FakeLibusb_Misuse: calls libusb forbids (a transfer freed in flight, a context exited while
//   its events are handled or its handles are open, a call on a closed handle).
// FakeLibusb_NoDiscovery: LIBUSB_OPTION_NO_DEVICE_DISCOVERY was set for new contexts.
// FakeLibusb_Reset: forgets every device and clears the counters.

}  // extern "C"
