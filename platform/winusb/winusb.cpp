// libdral_winusb.so: the six WinUsb_* entry points, over the device that the entry of the class
// folder is: a USB device node through libusb (libusb_interface.h), or a simulated device on a
// UNIX seqpacket socket speaking the protocol of plat/winusb_sim_protocol.h.
#include "plat/winusb.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "plat/overlapped.h"
#include "plat/tick.h"
#include "plat/unique_fd.h"
#include "plat/winusb_sim_protocol.h"
#include "libusb_interface.h"
#include "usb_interface.h"

namespace {

namespace sim = plat::winusb_sim;
using winusb::Description;
using winusb::Endpoint;
using winusb::UsbInterface;

// Transfers that arrive for an IN pipe nobody reads yet are kept up to this many; beyond it
// the oldest is dropped, as a device would overrun.
constexpr size_t kInboxLimit = 256;

// Parses a description packet (header included). False when it is malformed.
// The description has one setting: the simulated interface has no alternate settings.
bool ParseDescription(const uint8_t* p, size_t n, Description* description) {
  if (n < sim::kHeaderSize + 1 + sim::kInterfaceDescriptorLength) return false;
  p += sim::kHeaderSize;
  n -= sim::kHeaderSize;
  if (p[0] != sim::kProtocolVersion) return false;
  p += 1;
  n -= 1;
  description->Settings.assign(1, {});
  winusb::Setting* out = &description->Settings.front();
  std::memcpy(&out->Interface, p, sim::kInterfaceDescriptorLength);
  if (out->Interface.bLength != sim::kInterfaceDescriptorLength ||
      out->Interface.bDescriptorType != sim::kInterfaceDescriptorType ||
      out->Interface.bNumEndpoints > sim::kMaxEndpoints) {
    return false;
  }
  p += sim::kInterfaceDescriptorLength;
  n -= sim::kInterfaceDescriptorLength;
  if (n < size_t{out->Interface.bNumEndpoints} * sim::kEndpointDescriptorLength) return false;
  for (uint8_t i = 0; i < out->Interface.bNumEndpoints; ++i) {
    const uint8_t* e = p + size_t{i} * sim::kEndpointDescriptorLength;
    if (e[0] != sim::kEndpointDescriptorLength || e[1] != sim::kEndpointDescriptorType) {
      return false;
    }
    if ((e[2] & 0x0F) == 0) return false;  // endpoint 0 is the control pipe, never listed
    out->Endpoints.push_back({e[2], e[3], static_cast<uint16_t>(e[4] | (e[5] << 8)), e[6]});
  }
  return true;
}

// Waits for `events` on `fd` until `deadline` (tick count). Returns revents, 0 on time-out,
// -1 on a poll failure (errno set).
int PollUntil(int fd, short events, uint32_t start, uint32_t timeoutMs) {
  for (;;) {
    const uint32_t elapsed = plat::GetTickCount() - start;
    if (elapsed >= timeoutMs) return 0;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(timeoutMs - elapsed));
    if (n > 0) return p.revents;
    if (n < 0 && errno != EINTR) return -1;
  }
}

// Sends a describe request and waits for the description. Returns 0 or an errno value.
int Describe(int fd, Description* out) {
  const uint8_t request[sim::kHeaderSize + 1] = {sim::kDescribe, 0, 0, 0, sim::kProtocolVersion};
  const uint32_t start = plat::GetTickCount();
  for (;;) {
    if (send(fd, request, sizeof request, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return errno;
    const int r = PollUntil(fd, POLLOUT, start, plat::kWinUsbDescribeTimeoutMs);
    if (r < 0) return errno;
    if (r == 0) return ETIMEDOUT;
  }
  std::vector<uint8_t> buf(sim::kHeaderSize + plat::kWinUsbMaxTransfer);
  for (;;) {
    const ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n == 0) return ENODEV;  // the device hung up
    if (n > 0) {
      // Anything before the description (a device should send nothing) is dropped.
      if (static_cast<size_t>(n) >= sim::kHeaderSize && buf[0] == sim::kDescription) {
        return ParseDescription(buf.data(), static_cast<size_t>(n), out) ? 0 : EPROTO;
      }
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return errno;
    const int r = PollUntil(fd, POLLIN, start, plat::kWinUsbDescribeTimeoutMs);
    if (r < 0) return errno;
    if (r == 0) return ETIMEDOUT;
  }
}

// One initialised interface: its own descriptor of the device's socket and an I/O thread.
// Every call on the socket passes MSG_DONTWAIT, so the caller's descriptor may be blocking or
// not (a duplicate shares that flag, so the library leaves it alone).
class SimInterface final : public plat::AsyncDevice, public UsbInterface {
 public:
  SimInterface(plat::UniqueFd fd, Description description)
      : AsyncDevice(std::move(fd)),
        UsbInterface(std::move(description)),
        scratch_(sim::kHeaderSize + plat::kWinUsbMaxTransfer) {}
  ~SimInterface() override { Close(); }

  plat::IoResult Read(uint8_t pipeId, uint8_t* buffer, uint32_t length,
                      plat::Overlapped& ov) override {
    return Submit(false, buffer, length, pipeId, ov);
  }
  plat::IoResult Write(uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                       plat::Overlapped& ov) override {
    // The buffer is only read from on the write path.
    return Submit(true, const_cast<uint8_t*>(buffer), length, pipeId, ov);
  }
  void Close() override { AsyncDevice::Close(); }

 private:
  // Completes every pending read whose pipe has a waiting transfer, oldest read first per pipe.
  void DeliverInboxLocked() {
    std::vector<uint8_t> blocked;  // pipes whose first pending read found nothing
    for (auto it = reads_.begin(); it != reads_.end();) {
      const uint8_t pipe = static_cast<uint8_t>(it->Tag);
      auto& box = inbox_[pipe];
      if (box.empty() || std::find(blocked.begin(), blocked.end(), pipe) != blocked.end()) {
        blocked.push_back(pipe);
        ++it;
        continue;
      }
      auto& packet = box.front();
      const size_t n = std::min<size_t>(packet.size(), it->Length);
      std::memcpy(it->Buffer, packet.data(), n);
      it->Done = static_cast<uint32_t>(n);
      if (n == packet.size()) {
        box.pop_front();
      } else {
        packet.erase(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n));
      }
      it = CompleteLocked(reads_, it, plat::kErrorSuccess);
    }
  }

  bool AnyReadWaitsLocked() const {
    for (const auto& r : reads_) {
      const auto box = inbox_.find(static_cast<uint8_t>(r.Tag));
      if (box == inbox_.end() || box->second.empty()) return true;
    }
    return false;
  }

  void FailReadsLocked(uint32_t error) {
    for (auto it = reads_.begin(); it != reads_.end();) it = CompleteLocked(reads_, it, error);
  }

  void ServiceLocked(short revents) override {
    const bool hungUp = (revents & (POLLHUP | POLLERR)) != 0;
    DeliverInboxLocked();
    // The socket is read only while a read waits: a device's transfers stay queued in the
    // socket until the host asks for them, as on the bus.
    while (AnyReadWaitsLocked()) {
      const ssize_t n = recv(fd_.Get(), scratch_.data(), scratch_.size(), MSG_DONTWAIT | MSG_TRUNC);
      if (n == 0) {
        FailReadsLocked(plat::kErrorDeviceNotConnected);
        break;
      }
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN && !hungUp) break;
        FailReadsLocked(errno == EAGAIN ? plat::kErrorDeviceNotConnected
                                        : plat::ErrorFromErrno(errno));
        break;
      }
      const size_t size = static_cast<size_t>(n);
      // Packets that are too short, too long (cut by the socket) or not data are dropped.
      if (size < sim::kHeaderSize || size > scratch_.size() || scratch_[0] != sim::kData) {
        continue;
      }
      const uint8_t pipe = scratch_[1];
      if (!HasPipe(pipe, true)) continue;
      auto& box = inbox_[pipe];
      box.emplace_back(scratch_.begin() + sim::kHeaderSize,
                       scratch_.begin() + static_cast<std::ptrdiff_t>(size));
      if (box.size() > kInboxLimit) box.pop_front();
      DeliverInboxLocked();
    }
    for (auto it = writes_.begin(); it != writes_.end();) {
      const sim::PacketHeader header{sim::kData, static_cast<uint8_t>(it->Tag), {0, 0}};
      iovec iov[2] = {{const_cast<sim::PacketHeader*>(&header), sizeof header},
                      {it->Buffer, it->Length}};
      msghdr msg{};
      msg.msg_iov = iov;
      msg.msg_iovlen = 2;
      const ssize_t n = sendmsg(fd_.Get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        it->Done = it->Length;  // a packet is sent whole or not at all
        it = CompleteLocked(writes_, it, plat::kErrorSuccess);
      } else if (errno == EINTR) {
        continue;
      } else if (errno == EAGAIN) {
        if (!hungUp) break;  // later transfers keep their order behind this one
        it = CompleteLocked(writes_, it, plat::kErrorDeviceNotConnected);
      } else {
        it = CompleteLocked(writes_, it, plat::ErrorFromErrno(errno));
      }
    }
  }

  void ClosingLocked() override { inbox_.clear(); }

  std::vector<uint8_t> scratch_;                               // guarded by mutex_
  std::map<uint8_t, std::deque<std::vector<uint8_t>>> inbox_;  // guarded by mutex_
};

// The library's interface handles. Handles are numbers that are never reused, so a freed
// handle is recognised instead of reaching freed memory.
struct InterfaceTable {
  std::mutex mutex;  // guards interfaces and next
  std::unordered_map<uintptr_t, std::shared_ptr<UsbInterface>> interfaces;
  uintptr_t next = 0;
};

// Destroyed when the library is unloaded; by then the caller has freed every interface.
InterfaceTable& Interfaces() {
  static InterfaceTable table;
  return table;
}

std::shared_ptr<UsbInterface> Find(plat::WinUsbInterfaceHandle handle) {
  auto& t = Interfaces();
  std::lock_guard<std::mutex> lock(t.mutex);
  const auto it = t.interfaces.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.interfaces.end() ? nullptr : it->second;
}

int Fail(int err) {
  errno = err;
  return 0;
}

// The interface of a simulated device on the seqpacket socket `deviceFd`: 0 or an errno value.
int OpenSimInterface(int deviceFd, std::shared_ptr<UsbInterface>* out) {
  int type = 0;
  socklen_t len = sizeof type;
  if (getsockopt(deviceFd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return errno;
  if (type != SOCK_SEQPACKET) return EPROTOTYPE;
  plat::UniqueFd fd(fcntl(deviceFd, F_DUPFD_CLOEXEC, 0));
  if (!fd) return errno;
  Description description;
  if (const int err = Describe(fd.Get(), &description); err != 0) return err;
  *out = std::make_shared<SimInterface>(std::move(fd), std::move(description));
  return 0;
}

// The settings of `alternateSetting`, or null.
const winusb::Setting* SettingOf(const UsbInterface& device, uint8_t alternateSetting) {
  const auto& settings = device.Describe().Settings;
  return alternateSetting < settings.size() ? &settings[alternateSetting] : nullptr;
}

int StartTransfer(const plat::IoResult& r, uint32_t* transferred) {
  if (transferred) *transferred = r.Status == plat::IoStatus::Completed ? r.Bytes : 0;
  switch (r.Status) {
    case plat::IoStatus::Completed:
      return 1;
    case plat::IoStatus::Pending:
      return Fail(EINPROGRESS);
    default:
      switch (r.Error) {
        case plat::kErrorInvalidHandle:
          return Fail(EBADF);
        case plat::kErrorInvalidParameter:
          return Fail(EINVAL);
        case plat::kErrorDeviceNotConnected:
          return Fail(ENODEV);
        case plat::kErrorOperationAborted:
          return Fail(ECANCELED);
        case plat::kErrorNotEnoughMemory:
          return Fail(ENOMEM);
        default:
          return Fail(EIO);
      }
  }
}

}  // namespace

extern "C" {

int WinUsb_Initialize(int deviceFd, plat::WinUsbInterfaceHandle* interfaceHandle) {
  if (!interfaceHandle) return Fail(EINVAL);
  *interfaceHandle = nullptr;
  struct stat st {};
  if (fstat(deviceFd, &st) != 0) return 0;
  try {
    // What the entry is decides: a USB device node, or a simulated device's socket.
    std::shared_ptr<UsbInterface> device;
    int err = EPROTOTYPE;
    if (S_ISCHR(st.st_mode)) {
      plat::UniqueFd fd(fcntl(deviceFd, F_DUPFD_CLOEXEC, 0));
      err = fd ? winusb::OpenLibUsbInterface(std::move(fd), &device) : errno;
    } else if (S_ISSOCK(st.st_mode)) {
      err = OpenSimInterface(deviceFd, &device);
    }
    if (err != 0) return Fail(err);
    auto& t = Interfaces();
    std::lock_guard<std::mutex> lock(t.mutex);
    do {
      ++t.next;
    } while (t.next == 0 || t.interfaces.count(t.next) != 0);
    t.interfaces.emplace(t.next, std::move(device));
    *interfaceHandle = reinterpret_cast<plat::WinUsbInterfaceHandle>(t.next);
    return 1;
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}

int WinUsb_Free(plat::WinUsbInterfaceHandle interfaceHandle) {
  std::shared_ptr<UsbInterface> device;
  {
    auto& t = Interfaces();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.interfaces.find(reinterpret_cast<uintptr_t>(interfaceHandle));
    if (it == t.interfaces.end()) return Fail(EBADF);
    device = std::move(it->second);
    t.interfaces.erase(it);
  }
  device->Close();
  return 1;
}

int WinUsb_QueryInterfaceSettings(plat::WinUsbInterfaceHandle interfaceHandle,
                                  uint8_t alternateSetting,
                                  plat::UsbInterfaceDescriptor* descriptor) {
  const auto device = Find(interfaceHandle);
  if (!device) return Fail(EBADF);
  if (!descriptor) return Fail(EINVAL);
  const winusb::Setting* setting = SettingOf(*device, alternateSetting);
  if (!setting) return Fail(ENOENT);
  *descriptor = setting->Interface;
  return 1;
}

int WinUsb_QueryPipe(plat::WinUsbInterfaceHandle interfaceHandle, uint8_t alternateSetting,
                     uint8_t pipeIndex, plat::WinUsbPipeInformation* pipe) {
  const auto device = Find(interfaceHandle);
  if (!device) return Fail(EBADF);
  if (!pipe) return Fail(EINVAL);
  const winusb::Setting* setting = SettingOf(*device, alternateSetting);
  if (!setting || pipeIndex >= setting->Endpoints.size()) return Fail(ENOENT);
  const Endpoint& e = setting->Endpoints[pipeIndex];
  pipe->PipeType = e.Attributes & 0x03u;
  pipe->PipeId = e.Address;
  pipe->MaximumPacketSize = e.MaxPacketSize & 0x07FFu;
  pipe->Interval = e.Interval;
  return 1;
}

int WinUsb_ReadPipe(plat::WinUsbInterfaceHandle interfaceHandle, uint8_t pipeId, uint8_t* buffer,
                    uint32_t length, uint32_t* transferred, plat::Overlapped* overlapped) {
  if (transferred) *transferred = 0;
  const auto device = Find(interfaceHandle);
  if (!device) return Fail(EBADF);
  if (!overlapped || (!buffer && length != 0) || !device->HasPipe(pipeId, true)) {
    return Fail(EINVAL);
  }
  try {
    return StartTransfer(device->Read(pipeId, buffer, length, *overlapped), transferred);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}

int WinUsb_WritePipe(plat::WinUsbInterfaceHandle interfaceHandle, uint8_t pipeId,
                     const uint8_t* buffer, uint32_t length, uint32_t* transferred,
                     plat::Overlapped* overlapped) {
  if (transferred) *transferred = 0;
  const auto device = Find(interfaceHandle);
  if (!device) return Fail(EBADF);
  if (!overlapped || (!buffer && length != 0) || length > plat::kWinUsbMaxTransfer ||
      !device->HasPipe(pipeId, false)) {
    return Fail(EINVAL);
  }
  try {
    return StartTransfer(device->Write(pipeId, buffer, length, *overlapped), transferred);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}

}  // extern "C"
