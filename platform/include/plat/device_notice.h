// Removal notices for open device handles.
//
// A `DeviceNoticeSource` watches the device handles registered with it and reports the removal
// of each one once, as a `DeviceNotice` carrying the codes of a device-change message about a
// handle (event 0x8004 "remove complete", device type 6 "handle"). It notices two kinds of
// removal:
// - the handle's entry in the device directory is deleted, renamed away or replaced, or its
//   folder goes (inotify on the folder of the path the handle was opened with);
// - the device hangs up: its descriptor reports POLLHUP or POLLERR (a socket whose peer closed,
//   a character device whose hardware went away). A FIFO never hangs up.
//
// Notices go to one sink that the owner installs (the main window: the sink posts the notice
// to the main thread, for example with cls::QueueCall, and returns). The sink runs on the
// source's watcher thread; it must not wait for another thread that might be calling into the
// source (it may call Unregister and SetDeviceNoticeSink itself). Without a sink, notices are
// dropped.
//
// Thread safety: every member may be called from any thread. The watcher thread starts in the
// constructor and is stopped and joined by the destructor; its waits are bounded (it re-checks
// its stop flag at least every 500 ms and is woken at once by the destructor).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "plat/device_interface.h"

namespace plat {

// Event codes of a device-change notice. The source reports only kDbtDeviceRemoveComplete;
// the others are named for receivers that treat them alike.
inline constexpr uint32_t kDbtDeviceQueryRemove = 0x8001;
inline constexpr uint32_t kDbtDeviceQueryRemoveFailed = 0x8002;
inline constexpr uint32_t kDbtDeviceRemovePending = 0x8003;
inline constexpr uint32_t kDbtDeviceRemoveComplete = 0x8004;
// Device types of a notice.
inline constexpr uint32_t kDbtDevTypeDeviceInterface = 5;
inline constexpr uint32_t kDbtDevTypeHandle = 6;

using DeviceNotifyHandle = uint32_t;  // one registration; 0 is none

enum class RemovalCause : uint8_t {
  EntryDeleted,  // the entry (or its folder) left the device directory
  HangUp,        // the device's descriptor reported a hang-up
};

struct DeviceNotice {
  uint32_t Event = kDbtDeviceRemoveComplete;
  uint32_t DeviceType = kDbtDevTypeHandle;
  DeviceHandle Handle = 0;              // the registered handle (it may be closed by now)
  DeviceNotifyHandle Notification = 0;  // the registration this notice is about
  uintptr_t Recipient = 0;              // as given to RegisterDeviceHandle
  std::string Path;                     // the path the handle was opened with
  RemovalCause Cause = RemovalCause::EntryDeleted;
};

class DeviceNoticeSource {
 public:
  using Sink = std::function<void(const DeviceNotice&)>;

  DeviceNoticeSource();
  // Stops and joins the watcher thread and releases every registration. The sink is not
  // called once the destructor has returned.
  ~DeviceNoticeSource();
  DeviceNoticeSource(const DeviceNoticeSource&) = delete;
  DeviceNoticeSource& operator=(const DeviceNoticeSource&) = delete;

  // Installs (or, with an empty function, removes) the sink. On return the previous sink is
  // not running and will not be called again (unless this is called from the sink itself).
  void SetDeviceNoticeSink(Sink sink);

  // Watches `handle` (open, see device_interface.h) until Unregister. `recipient` is handed
  // back in the notice. The source keeps its own duplicate of the descriptor until Unregister
  // or the removal, so the caller may close the handle at any time. An entry that is already
  // gone when this is called is reported at once. Returns 0 with *error set when the handle is
  // not open (kErrorInvalidHandle) or no descriptor is left.
  DeviceNotifyHandle RegisterDeviceHandle(DeviceHandle handle, uintptr_t recipient,
                                          uint32_t* error);

  // Ends a registration. On return no notice about it is being delivered or will be.
  // False when `notification` is not registered.
  bool Unregister(DeviceNotifyHandle notification);

 private:
  struct Registration {
    DeviceHandle Handle;
    uintptr_t Recipient;
    std::string Path;
    std::string Name;  // last component of Path
    UniqueFd Fd;       // our duplicate; not open once closed
    int Wd;            // inotify watch of Path's folder; -1 when none
    bool Due;          // removal seen, notice not yet delivered
    bool Reported;     // notice delivered; watched no more
    RemovalCause Cause;
  };

  void WatcherMain();
  void ReadInotifyLocked();
  void MarkLocked(Registration& reg, RemovalCause cause);
  void ReleaseWatchLocked(int wd);
  void Deliver();
  void Wake();

  std::recursive_mutex sinkMutex_;  // guards sink_; held while the sink runs
  Sink sink_;

  std::mutex mutex_;  // guards regs_, watchUsers_, closeLater_, next_
  std::map<DeviceNotifyHandle, Registration> regs_;
  std::unordered_map<int, int> watchUsers_;  // inotify watch -> registrations using it
  std::vector<UniqueFd> closeLater_;  // duplicates of ended registrations, closed by the watcher
  DeviceNotifyHandle next_ = 0;

  UniqueFd inotifyFd_;  // not open without inotify
  UniqueFd wakeFd_;     // not open without an eventfd
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace plat
