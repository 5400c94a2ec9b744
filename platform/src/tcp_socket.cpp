#include "plat/tcp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

namespace plat {
namespace {

bool ConnectedToItself(int socket) {
  sockaddr_in local{};
  sockaddr_in peer{};
  socklen_t localSize = sizeof local;
  socklen_t peerSize = sizeof peer;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
      getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) {
    return false;
  }
  return local.sin_port == peer.sin_port && local.sin_addr.s_addr == peer.sin_addr.s_addr;
}

}  // namespace

uint32_t ParseIPv4(const std::string& text) { return inet_addr(text.c_str()); }

std::string FormatIPv4(uint32_t address) {
  in_addr in{};
  in.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET, &in, text, sizeof text) ? text : "";
}

uint16_t HostToNet16(uint16_t value) { return htons(value); }
uint32_t HostToNet32(uint32_t value) { return htonl(value); }

UniqueFd TcpConnect(uint32_t address, uint16_t port, const std::atomic<bool>& cancel,
                    uint32_t sliceMs, int* error) {
  *error = 0;
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
  if (!fd) {
    *error = errno;
    return {};
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = port;
  peer.sin_addr.s_addr = address;
  if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      *error = errno;
      return {};
    }
    for (;;) {
      if (cancel.load(std::memory_order_acquire)) {
        *error = ECANCELED;
        return {};
      }
      pollfd p{fd.Get(), POLLOUT, 0};
      const int ready = poll(&p, 1, static_cast<int>(sliceMs > INT_MAX ? INT_MAX : sliceMs));
      if (ready < 0 && errno != EINTR) {
        *error = errno;
        return {};
      }
      if (ready > 0) break;
    }
    int result = 0;
    socklen_t size = sizeof result;
    if (getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &result, &size) != 0) result = errno;
    if (result != 0) {
      *error = result;
      return {};
    }
  }
  // A connection to a local port in the range of local ports can meet itself (simultaneous
  // open) when the system picks that very port for the attempt: nobody listens there, and what
  // it sends comes back to it. That is a refusal.
  if (ConnectedToItself(fd.Get())) {
    *error = ECONNREFUSED;
    return {};
  }
  // Frames are small and wanted at once.
  const int one = 1;
  setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  *error = 0;
  return fd;
}

int TcpSend(int socket, const uint8_t* buf, int len, int* error) {
  for (;;) {
    const ssize_t n = send(socket, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    *error = errno;
    return -1;
  }
}

int TcpReceive(int socket, uint8_t* buf, int size, uint32_t waitMs, int* error) {
  pollfd p{socket, POLLIN, 0};
  const int ready = poll(&p, 1, static_cast<int>(waitMs > INT_MAX ? INT_MAX : waitMs));
  if (ready < 0) {
    if (errno == EINTR) return kRecvNothing;
    *error = errno;
    return -1;
  }
  if (ready == 0) return kRecvNothing;
  const ssize_t n = recv(socket, buf, static_cast<size_t>(size), MSG_DONTWAIT);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kRecvNothing;
  *error = errno;
  return -1;
}

void TcpShutdownSend(int socket) { shutdown(socket, SHUT_WR); }

}  // namespace plat
