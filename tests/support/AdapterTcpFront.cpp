#include "testsupport/AdapterTcpFront.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace dral_test {
namespace {

constexpr int kPollMs = 50;
constexpr size_t kReadChunk = 4096;

}  // namespace

std::string OwnLoopbackAddress(pid_t pid) {
  // Process ids stay below 2^22: 254 host parts times 2^16 networks hold them all.
  const auto n = static_cast<uint32_t>(pid) & 0x3FFFFF;
  const uint32_t host = 1 + n % 254;
  const uint32_t net = n / 254;
  return "127." + std::to_string(128 + (net >> 8 & 0x7F)) + "." + std::to_string(net & 0xFF) +
         "." + std::to_string(host);
}

AdapterTcpFront::AdapterTcpFront(AdapterSimulator& adapter, const std::string& address,
                                 uint16_t port)
    : adapter_(adapter) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int one = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  socklen_t size = sizeof local;
  const bool listening =
      listenFd_ >= 0 && wakeFd_ >= 0 && inet_pton(AF_INET, address.c_str(), &local.sin_addr) == 1 &&
      setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
      bind(listenFd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      listen(listenFd_, 4) == 0 &&
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&local), &size) == 0;
  if (!listening) {
    if (listenFd_ >= 0) close(listenFd_);
    if (wakeFd_ >= 0) close(wakeFd_);
    throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port));
  }
  port_ = ntohs(local.sin_port);
  adapter_.Attach(this);
  thread_ = std::thread([this] { Run(); });
}

AdapterTcpFront::~AdapterTcpFront() {
  adapter_.Detach(this);
  stop_.store(true);
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
  thread_.join();
  ClosePeer();
  close(listenFd_);
  close(wakeFd_);
}

void AdapterTcpFront::ClosePeer() {
  std::lock_guard<std::mutex> lock(peerMutex_);
  if (peerFd_ >= 0) close(peerFd_);
  peerFd_ = -1;
  peerConnected_.store(false);
}

std::string AdapterTcpFront::PeerAddress() {
  std::lock_guard<std::mutex> lock(peerMutex_);
  return peerAddress_;
}

std::chrono::steady_clock::time_point AdapterTcpFront::LastAcceptAt() {
  std::lock_guard<std::mutex> lock(peerMutex_);
  return acceptAt_;
}

void AdapterTcpFront::SendToHost(const uint8_t* bytes, size_t n) {
  std::lock_guard<std::mutex> lock(peerMutex_);
  if (peerFd_ >= 0) {
    [[maybe_unused]] const ssize_t sent = send(peerFd_, bytes, n, MSG_NOSIGNAL);
  }
}

void AdapterTcpFront::Run() {
  uint8_t buffer[kReadChunk];
  while (!stop_.load()) {
    int peer = -1;
    {
      std::lock_guard<std::mutex> lock(peerMutex_);
      peer = peerFd_;
    }
    pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}, {peer, POLLIN, 0}};
    if (poll(fds, 3, kPollMs) <= 0) continue;
    if (fds[1].revents & POLLIN) {
      sockaddr_in from{};
      socklen_t fromSize = sizeof from;
      const int fd =
          accept4(listenFd_, reinterpret_cast<sockaddr*>(&from), &fromSize, SOCK_CLOEXEC);
      if (fd >= 0) {
        ClosePeer();  // one host at a time: a new connection replaces the old one
        // Each message leaves as it is made, as the adapter sends it, not held for an ACK.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        char text[INET_ADDRSTRLEN] = {};
        std::lock_guard<std::mutex> lock(peerMutex_);
        peerAddress_ = inet_ntop(AF_INET, &from.sin_addr, text, sizeof text) ? text : "";
        peerFd_ = fd;
        acceptAt_ = std::chrono::steady_clock::now();
        peerConnected_.store(true);
        accepted_.fetch_add(1);
      }
    }
    if (peer >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t n = 0;
      {
        std::lock_guard<std::mutex> lock(peerMutex_);
        if (peerFd_ != peer) continue;  // closed or replaced meanwhile
        n = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
      }
      if (n > 0) {
        adapter_.FromHost(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        ClosePeer();
      }
    }
  }
}

}  // namespace dral_test
