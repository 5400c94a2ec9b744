#include "testsupport/AdapterDeviceFront.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>

#include "plat/device_interface.h"
#include "plat/winusb_sim_protocol.h"
#include "testsupport/FakeFtd2xxControl.h"
#include "testsupport/SimWinUsbDevice.h"

namespace dral_test {
namespace {

namespace wsim = plat::winusb_sim;

// The I/O thread looks at its requests at least this often, also when nothing wakes it.
constexpr int kPollMs = 200;
// Largest chunk of the byte stream handed to one send() of the stream socket.
constexpr size_t kMaxStreamWrite = 65536;
constexpr size_t kReadBufferSize = wsim::kHeaderSize + 65536;

// UsbDriver and Ftdi devices are byte streams; WinUsb devices speak in packets.
bool Streamed(DeviceFrontKind kind) {
  return kind != DeviceFrontKind::WinUsb;
}

std::string EntryPath(const DeviceFrontOptions& o) {
  if (o.Kind == DeviceFrontKind::Ftdi) {
    const std::string root =
        o.DeviceDirectory.empty() ? plat::DeviceDirectory() : o.DeviceDirectory;
    return root + "/" + kFakeFtd2xxSocketFolder + "/" + o.Name;
  }
  const char* guid = o.Kind == DeviceFrontKind::UsbDriver ? kUsbDriverClassGuid : kWinUsbClassGuid;
  const std::string folder = o.DeviceDirectory.empty() ? plat::DeviceInterfaceFolder(guid)
                                                       : o.DeviceDirectory + "/" + guid;
  return folder + "/" + o.Name;
}

std::vector<uint8_t> DescriptionPacket(const DeviceFrontOptions& o) {
  const uint8_t lo = static_cast<uint8_t>(o.MaxPacketSize & 0xFF);
  const uint8_t hi = static_cast<uint8_t>(o.MaxPacketSize >> 8);
  return {
      wsim::kDescription,
      0,
      0,
      0,
      wsim::kProtocolVersion,
      // Interface 0, alternate setting 0, two endpoints, vendor-specific class.
      wsim::kInterfaceDescriptorLength,
      wsim::kInterfaceDescriptorType,
      0,
      0,
      2,
      0xFF,
      0,
      0,
      0,
      wsim::kEndpointDescriptorLength,
      wsim::kEndpointDescriptorType,
      o.InPipe,
      o.PipeAttributes,
      lo,
      hi,
      0,
      wsim::kEndpointDescriptorLength,
      wsim::kEndpointDescriptorType,
      o.OutPipe,
      o.PipeAttributes,
      lo,
      hi,
      0,
  };
}

}  // namespace

AdapterDeviceFront::AdapterDeviceFront(AdapterSimulator& adapter, DeviceFrontOptions options)
    : adapter_(adapter),
      options_(std::move(options)),
      path_(EntryPath(options_)),
      readBuffer_(kReadBufferSize) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  adapter_.Attach(this);
  thread_ = std::thread([this] { Run(); });
}

AdapterDeviceFront::~AdapterDeviceFront() {
  adapter_.Detach(this);  // waits for a SendToHost in progress
  stop_.store(true);
  Wake();
  thread_.join();
  if (wakeFd_ >= 0) close(wakeFd_);
}

bool AdapterDeviceFront::Plug() {
  return Submit(Request::Plug) && plugged_.load();
}

void AdapterDeviceFront::Unplug() {
  Submit(Request::Unplug);
}

bool AdapterDeviceFront::Submit(Request request) {
  std::unique_lock<std::mutex> lock(requestMutex_);
  // One request at a time: wait for the thread to take the previous one.
  if (!requestDone_.wait_for(lock, std::chrono::milliseconds(kRequestTimeoutMs),
                             [this] { return request_ == Request::None; })) {
    return false;
  }
  request_ = request;
  const uint64_t seq = ++requestSeq_;
  Wake();
  return requestDone_.wait_for(lock, std::chrono::milliseconds(kRequestTimeoutMs),
                               [&] { return doneSeq_ >= seq; });
}

void AdapterDeviceFront::Wake() {
  const uint64_t one = 1;
  if (wakeFd_ >= 0) {
    [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
  }
}

void AdapterDeviceFront::SendToHost(const uint8_t* bytes, size_t n) {
  bool wasEmpty = false;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    if (!hostReady_) {
      bytesWithoutHost_.fetch_add(n);
      return;
    }
    const size_t held = pending_.size() - pendingHead_;
    if (held + n > options_.MaxPendingBytes) {
      // The whole block goes, so the host never gets half a frame.
      bytesOverflowed_.fetch_add(n);
      return;
    }
    wasEmpty = held == 0;
    if (pendingHead_ > 0 && pendingHead_ >= pending_.size() / 2) {
      pending_.erase(pending_.begin(),
                     pending_.begin() + static_cast<std::ptrdiff_t>(pendingHead_));
      pendingHead_ = 0;
    }
    pending_.insert(pending_.end(), bytes, bytes + n);
  }
  if (wasEmpty) Wake();
}

bool AdapterDeviceFront::HasPending() {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  return hostReady_ && pending_.size() > pendingHead_;
}

void AdapterDeviceFront::Run() {
  for (;;) {
    Request request = Request::None;
    uint64_t seq = 0;
    {
      std::lock_guard<std::mutex> lock(requestMutex_);
      request = request_;
      seq = requestSeq_;
    }
    if (request != Request::None) {
      if (request == Request::Plug) DoPlug();
      if (request == Request::Unplug) DoUnplug();
      {
        std::lock_guard<std::mutex> lock(requestMutex_);
        request_ = Request::None;
        doneSeq_ = seq;
      }
      requestDone_.notify_all();
    }
    if (stop_.load()) {
      DoUnplug();
      return;
    }

    pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}, {hostFd_, POLLIN, 0}};
    if (hostFd_ >= 0 && HasPending()) fds[2].events |= POLLOUT;
    if (poll(fds, 3, kPollMs) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t r = read(wakeFd_, &count, sizeof count);
    }
    if (fds[1].revents & POLLIN) {
      Accept();
      continue;  // the previous host's events are void now
    }
    if (hostFd_ >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) ReadFromHost();
    if (hostFd_ >= 0 && (fds[2].revents & POLLOUT)) WriteToHost();
  }
}

void AdapterDeviceFront::DoPlug() {
  if (plugged_.load()) return;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
  const int type = Streamed(options_.Kind) ? SOCK_STREAM : SOCK_SEQPACKET;
  listenFd_ = ListenUnixSocket(path_, type);
  error_.store(listenFd_ >= 0 ? 0 : errno);
  plugged_.store(listenFd_ >= 0);
}

void AdapterDeviceFront::DoUnplug() {
  if (!plugged_.load()) return;
  // Entry first, then the connection: the host sees the device leave the directory and hang up.
  unlink(path_.c_str());
  CloseHost();
  close(listenFd_);
  listenFd_ = -1;
  plugged_.store(false);
}

void AdapterDeviceFront::Accept() {
  const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  CloseHost();
  hostFd_ = fd;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    // A WinUSB host is served once it has asked for the description.
    hostReady_ = Streamed(options_.Kind);
  }
  connected_.store(true);
  connections_.fetch_add(1);
}

void AdapterDeviceFront::CloseHost() {
  if (hostFd_ < 0) return;
  close(hostFd_);
  hostFd_ = -1;
  connected_.store(false);
  std::lock_guard<std::mutex> lock(pendingMutex_);
  hostReady_ = false;
  pending_.clear();
  pendingHead_ = 0;
}

void AdapterDeviceFront::ReadFromHost() {
  const ssize_t n = recv(hostFd_, readBuffer_.data(), readBuffer_.size(), MSG_DONTWAIT);
  if (n > 0) {
    if (Streamed(options_.Kind)) {
      bytesFromHost_.fetch_add(static_cast<uint64_t>(n));
      adapter_.FromHost(readBuffer_.data(), static_cast<size_t>(n));
    } else {
      HandlePacket(readBuffer_.data(), static_cast<size_t>(n));
    }
  } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    CloseHost();  // the host went away
  }
}

void AdapterDeviceFront::HandlePacket(const uint8_t* p, size_t n) {
  if (n < wsim::kHeaderSize) return;
  if (p[0] == wsim::kDescribe) {
    const auto answer = DescriptionPacket(options_);
    if (send(hostFd_, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
        static_cast<ssize_t>(answer.size())) {
      describes_.fetch_add(1);
      std::lock_guard<std::mutex> lock(pendingMutex_);
      hostReady_ = true;
    }
  } else if (p[0] == wsim::kData && p[1] == options_.OutPipe) {
    bytesFromHost_.fetch_add(n - wsim::kHeaderSize);
    adapter_.FromHost(p + wsim::kHeaderSize, n - wsim::kHeaderSize);
  }
}

void AdapterDeviceFront::WriteToHost() {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  while (pendingHead_ < pending_.size()) {
    const size_t held = pending_.size() - pendingHead_;
    ssize_t sent = 0;
    size_t taken = 0;
    if (Streamed(options_.Kind)) {
      sent = send(hostFd_, pending_.data() + pendingHead_, std::min(held, kMaxStreamWrite),
                  MSG_NOSIGNAL | MSG_DONTWAIT);
      taken = sent > 0 ? static_cast<size_t>(sent) : 0;
    } else {
      taken = std::min(held, kMaxInTransfer);
      uint8_t packet[wsim::kHeaderSize + kMaxInTransfer] = {wsim::kData, options_.InPipe, 0, 0};
      std::copy_n(pending_.data() + pendingHead_, taken, packet + wsim::kHeaderSize);
      sent = send(hostFd_, packet, wsim::kHeaderSize + taken, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent <= 0) taken = 0;
    }
    if (sent <= 0) return;  // full (POLLOUT will come) or gone (the read side notices)
    pendingHead_ += taken;
    bytesToHost_.fetch_add(taken);
  }
  pending_.clear();
  pendingHead_ = 0;
}

}  // namespace dral_test
