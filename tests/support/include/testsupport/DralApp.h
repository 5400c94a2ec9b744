// The application side of tests that load libDRAL.so: messages as the library passes them,
// filter records, and bounded waits on one connection. Header only; the user links the dl
// library.
#pragma once

#include <cstdint>
#include <vector>

#include "DRAL.h"
#include "testsupport/DralApi.h"
#include "testsupport/test_util.h"

namespace dral_test {

using Bytes = std::vector<uint8_t>;
using Api = DralApi;

// The type of the server's replies to filter edits, which reach the application as raw messages.
constexpr uint8_t kReplyType = 0x01;

// The next message of the connection, passing over replies; empty when none came within
// `timeoutMs`.
inline Bytes NextMessage(const Api& api, DRAL_Handle h, int timeoutMs) {
  uint8_t buffer[DRAL_MAX_MESSAGE_LENGTH];
  uint32_t n = 0;
  WaitUntil(
      [&] {
        n = api.GetMessage(h, buffer, sizeof buffer);
        const bool reply = n >= 2 && buffer[0] == DRAL_PROTOCOL_RAW && buffer[1] == kReplyType;
        return n != 0 && !reply;
      },
      timeoutMs);
  return Bytes(buffer, buffer + n);
}

// The next `count` messages (fewer when they do not come within `timeoutMs` each).
inline std::vector<Bytes> NextMessages(const Api& api, DRAL_Handle h, size_t count, int timeoutMs) {
  std::vector<Bytes> out;
  while (out.size() < count) {
    Bytes m = NextMessage(api, h, timeoutMs);
    if (m.empty()) break;
    out.push_back(std::move(m));
  }
  return out;
}

inline bool WaitLinkState(const Api& api, DRAL_Handle h, uint32_t state, int timeoutMs) {
  return WaitUntil([&] { return api.GetStatus(h) == (DRAL_OK | state); }, timeoutMs);
}

// The adapter version the library reports, read until it is `expected` or `timeoutMs` is over.
// The link turns connected as the server sends its version request, before the reply is in.
inline Bytes AwaitAdapterVersion(const Api& api, DRAL_Handle h, const Bytes& expected,
                                 int timeoutMs) {
  Bytes version(6);
  WaitUntil(
      [&] { return api.GetAdapterVersion(h, version.data()) == DRAL_OK && version == expected; },
      timeoutMs);
  return version;
}

// Waits until the server knows the adapter's channel 1 as available (from its status poll): only
// then does it copy transmitted frames to the other connections.
inline bool WaitChannelAvailable(const Api& api, DRAL_Handle h, int timeoutMs) {
  return WaitUntil(
      [&] {
        DralAdapterStatus s{};
        return api.GetAdapterStatus(h, reinterpret_cast<uint8_t*>(&s)) == DRAL_OK &&
               (s.Can1Status & 0x7F) == 0x01;
      },
      timeoutMs);
}

inline uint32_t Put(const Api& api, DRAL_Handle h, const Bytes& m) {
  return api.PutMessage(h, m.data(), static_cast<uint16_t>(m.size()));
}

inline uint32_t Filter(const Api& api, DRAL_Handle h, DralFilter f) {
  return api.ConfigFilter(h, &f);
}

inline uint8_t J1708Checksum(const Bytes& message) {
  uint8_t sum = 0;
  for (uint8_t b : message) sum = static_cast<uint8_t>(sum + b);
  return static_cast<uint8_t>(0 - sum);
}

// Application messages as DRAL_GetMessage returns them.
inline Bytes CanMessage(uint32_t id, const Bytes& data) {
  Bytes m = {DRAL_PROTOCOL_CAN1, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
             static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 24)};
  m.insert(m.end(), data.begin(), data.end());
  return m;
}
// A PDU2 (broadcast) J1939 message of PGN `pgn` from `source` at `priority`.
inline Bytes J1939Message(uint16_t pgn, uint8_t source, uint8_t priority, const Bytes& data) {
  Bytes m = {DRAL_PROTOCOL_J1939_CAN1,
             static_cast<uint8_t>(pgn),
             static_cast<uint8_t>(pgn >> 8),
             0,
             priority,
             source,
             0xFF};
  m.insert(m.end(), data.begin(), data.end());
  return m;
}
// A PDU1 J1939 message of group `pduFormat` (below 240) from `source` to `destination`, as it is
// sent and as the destination receives it.
inline Bytes J1939MessageTo(uint8_t pduFormat, uint8_t source, uint8_t destination,
                            uint8_t priority, const Bytes& data) {
  Bytes m = {DRAL_PROTOCOL_J1939_CAN1, 0, pduFormat, 0, priority, source, destination};
  m.insert(m.end(), data.begin(), data.end());
  return m;
}
// `size` data bytes for a multi-packet message: no two packets of 7 bytes alike, and a `seed` of
// its own per message, so a packet put in the wrong place or into another transfer shows.
inline Bytes TransferData(size_t size, uint8_t seed) {
  Bytes data(size);
  uint32_t x = 0x9E3779B9u * (seed + 1u);
  for (uint8_t& b : data) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return data;
}
// A received J1708 message: header 0xFF, then the message without its checksum (the adapter's
// length does not count the checksum byte).
inline Bytes J1708Received(const Bytes& message) {
  Bytes m = {DRAL_PROTOCOL_J1708, 0xFF};
  m.insert(m.end(), message.begin(), message.end());
  return m;
}

// A filter that passes every message of `protocol`.
inline DralFilter PassAll(uint8_t protocol) {
  DralFilter f{};
  f.Operation = DRAL_FILTER_PASS_ALL;
  f.Protocol = protocol;
  return f;
}

}  // namespace dral_test
