// The packets between the WinUSB library and a simulated device on a UNIX seqpacket socket. docs/winusb-sim-protocol.md describes the protocol for device writers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat::winusb_sim {

inline constexpr uint8_t kProtocolVersion = 1;

// Every packet starts with this header; the payload follows.
#pragma pack(push, 1)
struct PacketHeader {
  uint8_t Kind;         // kDescribe, kDescription or kData
  uint8_t Endpoint;     // kData: the pipe id (endpoint address); otherwise 0
  uint8_t Reserved[2];  // 0 when sent, ignored when received
};
#pragma pack(pop)
static_assert(sizeof(PacketHeader) == 4);

inline constexpr size_t kHeaderSize = sizeof(PacketHeader);

// Library -> device, first packet of a session. Payload: one byte, kProtocolVersion.
inline constexpr uint8_t kDescribe = 0x01;
// Device -> library, the answer. Payload: one byte kProtocolVersion, the 9-byte USB interface
// descriptor, then bNumEndpoints 7-byte USB endpoint descriptors; anything after is ignored.
inline constexpr uint8_t kDescription = 0x02;
// Either way: one bulk transfer of the pipe in Endpoint. Payload: the transfer's bytes (may be
// empty: a zero-length transfer).
inline constexpr uint8_t kData = 0x03;

inline constexpr uint8_t kInterfaceDescriptorType = 4;
inline constexpr uint8_t kEndpointDescriptorType = 5;
inline constexpr uint8_t kInterfaceDescriptorLength = 9;
inline constexpr uint8_t kEndpointDescriptorLength = 7;
// The most endpoints one interface may have (USB: 15 IN and 15 OUT besides endpoint 0).
inline constexpr uint8_t kMaxEndpoints = 30;

}  // namespace plat::winusb_sim
