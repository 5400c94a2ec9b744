#include "testsupport/SimWinUsbDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "plat/winusb_sim_protocol.h"

namespace dral_test {
namespace {

namespace sim = plat::winusb_sim;

// poll on one descriptor for up to `timeoutMs` (EINTR resumes with the time left).
bool WaitFor(int fd, short events, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

int ListenUnixSocket(const std::string& path, int type) {
  constexpr int kBacklog = 8;
  sockaddr_un addr{};
  std::string target = path;
  int dir = -1;
  if (target.size() >= sizeof addr.sun_path) {
    const auto slash = path.find_last_of('/');
    dir = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    target = "/proc/self/fd/" + std::to_string(dir) + path.substr(slash);
  }
  int fd = -1;
  if (target.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
  } else {
    fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  }
  bool ok = false;
  if (fd >= 0) {
    addr.sun_family = AF_UNIX;
    target.copy(addr.sun_path, sizeof addr.sun_path - 1);
    unlink(path.c_str());
    ok = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
         listen(fd, kBacklog) == 0;
  }
  const int savedErrno = errno;
  if (dir >= 0) close(dir);
  if (!ok && fd >= 0) {
    close(fd);
    fd = -1;
  }
  errno = savedErrno;
  return fd;
}


// ---------------------------------------------------------------------------------------------
// SimSocketDevice

SimSocketDevice::SimSocketDevice(std::string path, int type)
    : path_(std::move(path)), listenFd_(ListenUnixSocket(path_, type)) {}

SimSocketDevice::~SimSocketDevice() {
  HangUp();
  if (listenFd_ >= 0) close(listenFd_);
  unlink(path_.c_str());
}

bool SimSocketDevice::Accept(int timeoutMs) {
  if (!WaitFor(listenFd_, POLLIN, timeoutMs)) return false;
  const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return false;
  HangUp();
  peerFd_ = fd;
  return true;
}

bool SimSocketDevice::Send(const std::vector<uint8_t>& data, int timeoutMs) {
  size_t done = 0;
  // Sends once at least: an empty seqpacket packet is a packet.
  for (;;) {
    const ssize_t n =
        send(peerFd_, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      done += static_cast<size_t>(n);
      if (done >= data.size()) return true;
    } else if (errno == EAGAIN) {
      if (!WaitFor(peerFd_, POLLOUT, timeoutMs)) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

std::vector<uint8_t> SimSocketDevice::Receive(size_t max, int timeoutMs) {
  if (!WaitFor(peerFd_, POLLIN, timeoutMs)) return {};
  std::vector<uint8_t> buf(max);
  const ssize_t n = recv(peerFd_, buf.data(), buf.size(), MSG_DONTWAIT);
  buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buf;
}

void SimSocketDevice::HangUp() {
  if (peerFd_ >= 0) close(peerFd_);
  peerFd_ = -1;
}

void SimSocketDevice::Remove() {
  unlink(path_.c_str());
}

// ---------------------------------------------------------------------------------------------
// SimWinUsbDevice

SimWinUsbDevice::SimWinUsbDevice(std::string path) : SimWinUsbDevice(std::move(path), Options{}) {}

SimWinUsbDevice::SimWinUsbDevice(std::string path, Options options)
    : path_(std::move(path)), options_(std::move(options)) {
  listenFd_ = ListenUnixSocket(path_, SOCK_SEQPACKET);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (listenFd_ >= 0 && wakeFd_ >= 0) thread_ = std::thread([this] { Run(); });
}

SimWinUsbDevice::~SimWinUsbDevice() {
  stop_.store(true);
  Wake();
  if (thread_.joinable()) thread_.join();
  if (clientFd_ >= 0) close(clientFd_);
  if (listenFd_ >= 0) close(listenFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
  unlink(path_.c_str());
}

std::vector<uint8_t> SimWinUsbDevice::DescriptionPacket() const {
  std::vector<uint8_t> p;
  p.reserve(sim::kHeaderSize + 1 + sim::kInterfaceDescriptorLength +
            options_.Endpoints.size() * sim::kEndpointDescriptorLength);
  for (uint8_t b : {sim::kDescription, uint8_t{0}, uint8_t{0}, uint8_t{0}, sim::kProtocolVersion}) {
    p.push_back(b);
  }
  // Interface descriptor: vendor-specific class, alternate setting 0.
  for (uint8_t b :
       {sim::kInterfaceDescriptorLength, sim::kInterfaceDescriptorType, options_.InterfaceNumber,
        uint8_t{0}, static_cast<uint8_t>(options_.Endpoints.size()), uint8_t{0xFF}, uint8_t{0},
        uint8_t{0}, uint8_t{0}}) {
    p.push_back(b);
  }
  for (const auto& e : options_.Endpoints) {
    for (uint8_t b : {sim::kEndpointDescriptorLength, sim::kEndpointDescriptorType, e.Address,
                      e.Attributes, static_cast<uint8_t>(e.MaxPacketSize & 0xFF),
                      static_cast<uint8_t>(e.MaxPacketSize >> 8), e.Interval}) {
      p.push_back(b);
    }
  }
  return p;
}

void SimWinUsbDevice::Wake() {
  const uint64_t one = 1;
  if (wakeFd_ >= 0) {
    [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
  }
}

bool SimWinUsbDevice::SendRaw(const std::vector<uint8_t>& packet) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (clientFd_ < 0) return false;
  return send(clientFd_, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
         static_cast<ssize_t>(packet.size());
}

bool SimWinUsbDevice::SendIn(uint8_t endpoint, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> packet(sim::kHeaderSize + data.size());
  packet[0] = sim::kData;
  packet[1] = endpoint;
  std::copy(data.begin(), data.end(), packet.begin() + sim::kHeaderSize);
  return SendRaw(packet);
}

std::optional<SimWinUsbDevice::Transfer> SimWinUsbDevice::ReceiveOut(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!outReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return !out_.empty(); })) {
    return std::nullopt;
  }
  Transfer t = std::move(out_.front());
  out_.pop_front();
  return t;
}

void SimWinUsbDevice::HangUp() {
  hangUp_.store(true);
  Wake();
  // The thread closes the connection; wait (bounded) until it has.
  for (int i = 0; i < 2000 && hangUp_.load(); ++i) usleep(1000);
}

void SimWinUsbDevice::HandlePacketLocked(const uint8_t* p, size_t n) {
  if (n < sim::kHeaderSize) return;
  if (p[0] == sim::kDescribe) {
    ++describes_;  // before the answer, so a host that has it sees the count
    if (options_.AnswerDescribe) {
      const auto answer = DescriptionPacket();
      send(clientFd_, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  } else if (p[0] == sim::kData) {
    out_.push_back({p[1], std::vector<uint8_t>(p + sim::kHeaderSize, p + n)});
    outReady_.notify_all();
  }
}

void SimWinUsbDevice::Run() {
  std::vector<uint8_t> buf(sim::kHeaderSize + 65536);
  while (!stop_.load()) {
    int client = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (hangUp_.load()) {
        if (clientFd_ >= 0) close(clientFd_);
        clientFd_ = -1;
        connected_.store(false);
        hangUp_.store(false);
      }
      client = clientFd_;
    }
    // Only this thread closes clientFd_, so polling it outside the lock is safe.
    pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}, {client, POLLIN, 0}};
    if (poll(fds, 3, 200) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t r = read(wakeFd_, &count, sizeof count);
    }
    if (fds[1].revents & POLLIN) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (clientFd_ >= 0) close(clientFd_);
        clientFd_ = fd;
        connected_.store(true);
        ++connections_;
        continue;  // the old descriptor's events are void now
      }
    }
    if (client >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      std::lock_guard<std::mutex> lock(mutex_);
      const ssize_t n = recv(clientFd_, buf.data(), buf.size(), MSG_DONTWAIT);
      if (n > 0) {
        HandlePacketLocked(buf.data(), static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        close(clientFd_);  // the host went away
        clientFd_ = -1;
        connected_.store(false);
      }
    }
  }
}

}  // namespace dral_test
