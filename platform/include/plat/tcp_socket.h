// IPv4 TCP client sockets for a link: connect with a way to give up, send that never raises
// SIGPIPE and never blocks, receive in bounded slices. Addresses and ports in network byte
// order, as the socket calls take them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "plat/unique_fd.h"

namespace plat {

// The address inet_addr gives for `text`: the dotted-decimal parse (also the short forms such as
// "127.1"), or kInvalidIPv4 (which equals the parse of "255.255.255.255") when it does not parse.
constexpr uint32_t kInvalidIPv4 = 0xFFFFFFFFu;
uint32_t ParseIPv4(const std::string& text);
// Dotted text of an address in network order.
std::string FormatIPv4(uint32_t address);
uint16_t HostToNet16(uint16_t value);
uint32_t HostToNet32(uint32_t value);

// Connects a TCP stream socket to `address`:`port`. Waits for the system's own outcome (refusal,
// the system's connect time-out, success), checking `cancel` every `sliceMs`; a true `cancel`
// ends the attempt. Returns the connected socket (close-on-exec, blocking), or an empty one
// with *error = errno (ECANCELED when cancelled; ECONNREFUSED also when the socket met itself,
// which an attempt to a local port nobody listens on can do).
UniqueFd TcpConnect(uint32_t address, uint16_t port, const std::atomic<bool>& cancel,
                    uint32_t sliceMs, int* error);

// Sends up to `len` bytes without waiting for room and without SIGPIPE. Returns the count
// the system took, or -1 with *error = errno (EAGAIN when the send buffer is full).
int TcpSend(int socket, const uint8_t* buf, int len, int* error);

// Waits up to `waitMs` for bytes and receives up to `size` of them. Returns the count (> 0),
// 0 when the peer closed its side, -1 with *error = errno on failure, or -2 when nothing came
// within `waitMs` (EINTR counts as nothing).
constexpr int kRecvNothing = -2;
int TcpReceive(int socket, uint8_t* buf, int size, uint32_t waitMs, int* error);

// Shuts down the sending side (the peer sees the end of the stream).
void TcpShutdownSend(int socket);

}  // namespace plat
