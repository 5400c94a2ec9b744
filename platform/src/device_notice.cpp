#include "plat/device_notice.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "plat/scheduling.h"

namespace plat {
namespace {

constexpr int kWatcherPollMs = 500;
// What makes a registered entry count as removed: deleted, renamed away or replaced in its
// folder, or the folder itself deleted, moved or unmounted (IN_UNMOUNT and IN_IGNORED come
// without being asked for).
constexpr uint32_t kEntryEvents = IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kFolderEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

std::string Folder(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EntryExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

}  // namespace

DeviceNoticeSource::DeviceNoticeSource() {
  // Without inotify (descriptor limits) removals are still noticed by hang-up.
  inotifyFd_ = UniqueFd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  // Without the eventfd the watcher still sees changes within its poll interval.
  wakeFd_ = UniqueFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  thread_ = std::thread([this] { WatcherMain(); });
}

DeviceNoticeSource::~DeviceNoticeSource() {
  stop_.store(true, std::memory_order_release);
  Wake();
  thread_.join();
  // The descriptors close with their owners.
}

void DeviceNoticeSource::SetDeviceNoticeSink(Sink sink) {
  std::lock_guard<std::recursive_mutex> lock(sinkMutex_);
  sink_ = std::move(sink);
}

DeviceNotifyHandle DeviceNoticeSource::RegisterDeviceHandle(DeviceHandle handle,
                                                            uintptr_t recipient, uint32_t* error) {
  const std::string path = DeviceFilePath(handle);
  if (path.empty()) {
    *error = kErrorInvalidHandle;
    return 0;
  }
  UniqueFd fd = DuplicateDeviceDescriptor(handle, error);
  if (!fd) return 0;

  std::lock_guard<std::mutex> lock(mutex_);
  int wd = -1;
  if (inotifyFd_) {
    wd = inotify_add_watch(inotifyFd_.Get(), Folder(path).c_str(),
                           kEntryEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (wd >= 0) ++watchUsers_[wd];
  }
  do {
    ++next_;
  } while (next_ == 0 || regs_.count(next_) != 0);
  Registration reg{handle, recipient, path,  LastComponent(path),       UniqueFd(),
                   wd,     false,     false, RemovalCause::EntryDeleted};
  // Checked after the watch is in place, so a deletion is either seen here or reported by it.
  if (!EntryExists(path)) reg.Due = true;
  reg.Fd = std::move(fd);  // the duplicate now belongs to the registration
  const DeviceNotifyHandle id = next_;
  regs_.emplace(id, std::move(reg));
  *error = kErrorSuccess;
  Wake();
  return id;
}

bool DeviceNoticeSource::Unregister(DeviceNotifyHandle notification) {
  // The sink lock first: a notice about this registration that is being delivered finishes
  // before the registration ends, and none starts afterwards.
  std::lock_guard<std::recursive_mutex> sinkLock(sinkMutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = regs_.find(notification);
  if (it == regs_.end()) return false;
  if (it->second.Fd) closeLater_.push_back(std::move(it->second.Fd));
  ReleaseWatchLocked(it->second.Wd);
  regs_.erase(it);
  Wake();
  return true;
}

void DeviceNoticeSource::ReleaseWatchLocked(int wd) {
  if (wd < 0) return;
  const auto it = watchUsers_.find(wd);
  if (it == watchUsers_.end()) return;  // the watch ended with its folder
  if (--it->second == 0) {
    inotify_rm_watch(inotifyFd_.Get(), wd);
    watchUsers_.erase(it);
  }
}

void DeviceNoticeSource::Wake() {
  if (!wakeFd_) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd_.Get(), &one, sizeof one);
}

void DeviceNoticeSource::MarkLocked(Registration& reg, RemovalCause cause) {
  if (reg.Due || reg.Reported) return;
  reg.Due = true;
  reg.Cause = cause;
}

void DeviceNoticeSource::ReadInotifyLocked() {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = read(inotifyFd_.Get(), buf, sizeof buf);
    if (n <= 0) return;  // EAGAIN: drained
    for (ssize_t off = 0; off < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      if (ev->mask & IN_Q_OVERFLOW) {
        // Events were lost: look at every registered entry instead.
        for (auto& [id, reg] : regs_) {
          if (!EntryExists(reg.Path)) MarkLocked(reg, RemovalCause::EntryDeleted);
        }
        continue;
      }
      const std::string name = ev->len ? std::string(ev->name) : std::string();
      for (auto& [id, reg] : regs_) {
        if (reg.Wd != ev->wd) continue;
        if ((ev->mask & kFolderEvents) || ((ev->mask & kEntryEvents) && name == reg.Name)) {
          MarkLocked(reg, RemovalCause::EntryDeleted);
        }
        if (ev->mask & IN_IGNORED) reg.Wd = -1;  // the kernel ended the watch
      }
      if (ev->mask & IN_IGNORED) watchUsers_.erase(ev->wd);
    }
  }
}

void DeviceNoticeSource::WatcherMain() {
  AdoptProcessPriority();
  std::vector<pollfd> fds;
  std::vector<DeviceNotifyHandle> ids;  // registration of fds[2 + i]
  while (!stop_.load(std::memory_order_acquire)) {
    fds.clear();
    ids.clear();
    fds.push_back({wakeFd_.Get(), POLLIN, 0});
    fds.push_back({inotifyFd_.Get(), POLLIN, 0});
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Descriptors of ended registrations are closed here, never while being polled.
      closeLater_.clear();
      for (const auto& [id, reg] : regs_) {
        if (!reg.Fd || reg.Due || reg.Reported) continue;
        fds.push_back({reg.Fd.Get(), 0, 0});  // POLLHUP and POLLERR are always reported
        ids.push_back(id);
      }
    }
    const int n = poll(fds.data(), fds.size(), kWatcherPollMs);
    if (n < 0 && errno != EINTR) {
      usleep(1000);  // poll refuses only for lack of memory; do not spin
      continue;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t r = read(wakeFd_.Get(), &count, sizeof count);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (fds[1].revents & POLLIN) ReadInotifyLocked();
      for (size_t i = 0; i < ids.size(); ++i) {
        if ((fds[2 + i].revents & (POLLHUP | POLLERR)) == 0) continue;
        const auto it = regs_.find(ids[i]);
        if (it != regs_.end()) MarkLocked(it->second, RemovalCause::HangUp);
      }
    }
    Deliver();
  }
}

void DeviceNoticeSource::Deliver() {
  std::lock_guard<std::recursive_mutex> sinkLock(sinkMutex_);
  std::vector<DeviceNotice> notices;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, reg] : regs_) {
      if (!reg.Due) continue;
      reg.Due = false;
      reg.Reported = true;
      // A removed device is watched no more; its duplicate would only keep reporting.
      reg.Fd.Reset();
      DeviceNotice notice;
      notice.Event = kDbtDeviceRemoveComplete;
      notice.DeviceType = kDbtDevTypeHandle;
      notice.Handle = reg.Handle;
      notice.Notification = id;
      notice.Recipient = reg.Recipient;
      notice.Path = reg.Path;
      notice.Cause = reg.Cause;
      notices.push_back(std::move(notice));
    }
  }
  if (notices.empty()) return;
  // A copy: the sink may replace itself while it runs.
  const Sink sink = sink_;
  if (!sink) return;
  for (const auto& notice : notices) {
    // The sink may have ended a later registration of this batch.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (regs_.count(notice.Notification) == 0) continue;
    }
    sink(notice);
  }
}

}  // namespace plat
