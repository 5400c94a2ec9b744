// Device interfaces of an interface class, and device handles with overlapped I/O.
//
// The device interfaces of a class are the entries of the folder `{GUID}` (the class GUID in
// braces, matched without regard to case) under the device directory: $DRAL_DEVICE_DIR when set,
// else /dev/dral. The variable is read at each call. An entry is a character device, a FIFO or a
// UNIX socket (stream or seqpacket), or a symbolic link to one (as a udev rule makes it).
//
// A device handle is a small number naming one open entry, as a file handle would. Handles are
// never reused within a process (32-bit counter), so a handle that was closed by one thread
// only makes the calls of another fail with kErrorInvalidHandle; it never reaches a different
// device or a reused descriptor. All functions here may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plat/overlapped.h"
#include "plat/unique_fd.h"

namespace plat {

// --- enumeration ---

// The device directory: $DRAL_DEVICE_DIR, else "/dev/dral".
std::string DeviceDirectory();

// The folder that holds the interfaces of `classGuid` ("{B2A7A7FA-...}", braces included): an
// existing folder whose name matches without regard to case, else DeviceDirectory()/classGuid
// (which may not exist). Device simulators create their entries here.
std::string DeviceInterfaceFolder(std::string_view classGuid);

// The device paths of the present interfaces of `classGuid`, sorted by entry name (byte order).
// Lists character devices, FIFOs and sockets (through symbolic links); skips names starting
// with '.', dangling links and other file types. A missing folder is an empty list with
// *error 0; *error (when given) is an errno value only when the folder could not be read.
std::vector<std::string> EnumerateDeviceInterfaces(std::string_view classGuid,
                                                   int* error = nullptr);

// --- opening ---

enum class DeviceKind : uint8_t { CharacterDevice, Fifo, StreamSocket, SeqPacketSocket };

// Opens the entry at `path` as a non-blocking, close-on-exec descriptor for reading and
// writing that the caller owns, or returns one that is not open with *error set (codes of
// overlapped.h):
// - a UNIX socket is connected (stream first, then seqpacket); no listener ->
//   kErrorDeviceNotConnected, a full backlog -> kErrorBusy (the open never waits);
// - a FIFO is opened read-write, so it never reports a hang-up and what is written to it can
//   be read back; it ends only with its removal;
// - a character device or FIFO is opened exclusively: an advisory lock (flock) that another
//   holder has makes the open fail with kErrorSharingViolation;
// - a terminal device is switched to raw mode (no echo, no translation, no control
//   characters) with CLOCAL (a carrier drop never hangs it up); its line rate is left as it is;
// - anything else -> kErrorNotSupported; a missing entry -> kErrorFileNotFound.
UniqueFd OpenDeviceNode(const std::string& path, DeviceKind* kind, uint32_t* error);

// --- device handles ---

using DeviceHandle = uint32_t;  // 0 is no handle

// Opens `path` (OpenDeviceNode) and returns a new handle, or 0 with *error set.
DeviceHandle CreateDeviceFile(const std::string& path, uint32_t* error);

// Closes the handle: pending operations complete with kErrorOperationAborted, the handle's I/O
// thread is joined, the descriptor is closed. Operations that other threads start afterwards
// fail with kErrorInvalidHandle. False when `handle` is not open.
bool CloseDeviceFile(DeviceHandle handle);

// The path the handle was opened with; empty when the handle is not open.
std::string DeviceFilePath(DeviceHandle handle);

// Reads up to `length` bytes into `buffer`. Completes with the bytes one read of the device
// delivers (1..length; one packet of a seqpacket socket, cut to `length`); pending while the
// device has nothing. The end of the peer's stream completes with kErrorDeviceNotConnected.
// `buffer` and `ov` must stay valid until the operation completes (or is cancelled).
IoResult ReadFile(DeviceHandle handle, void* buffer, uint32_t length, Overlapped& ov);

// Writes `length` bytes. Completes when all of them were taken by the device (a stream device
// may take them in several steps); a hang-up completes with kErrorDeviceNotConnected and the
// count taken so far. Never raises SIGPIPE. Buffer lifetime as for ReadFile.
IoResult WriteFile(DeviceHandle handle, const void* buffer, uint32_t length, Overlapped& ov);

// Cancels the pending operations that the calling thread started on `handle` (synchronous:
// on return they have completed with kErrorOperationAborted). False when the handle is not
// open or the thread had nothing pending. Operations that a library started on its own
// descriptor (WinUSB pipe transfers) are cancelled with CancelIoEx on their record instead.
bool CancelIo(DeviceHandle handle);

// A duplicate of the handle's descriptor that the caller owns (for WinUsb_Initialize, which
// makes its own copy, and for the removal watcher). Empty with *error set when the handle is
// not open.
UniqueFd DuplicateDeviceDescriptor(DeviceHandle handle, uint32_t* error);

}  // namespace plat
