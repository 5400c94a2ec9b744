// The message vocabulary shared by the server, the client library and the adapter: the
// HuxMessage record, its type codes, the data layout of each type, reply records, link states,
// channel status bits and the server's statistics record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dral {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "records are little-endian on the wire");

// ---------------------------------------------------------------------------------------------
// HuxMessage: uint16 Length (little-endian), uint8 Type, Length data bytes.

constexpr uint16_t kHuxMaxData = 2048;   // longest Data of any HuxMessage
constexpr uint16_t kHuxRecordHeader = 3;  // Length (2) + Type (1) in a ring record

struct HuxMessage {
  uint16_t Length;
  uint8_t Type;
  uint8_t Data[kHuxMaxData];
};
static_assert(offsetof(HuxMessage, Length) == 0);
static_assert(offsetof(HuxMessage, Type) == 2);
static_assert(offsetof(HuxMessage, Data) == 3);

// HuxMessageType codes.
enum HuxMessageType : uint8_t {
  MsgAdapterCommand00 = 0x00,
  MsgReply = 0x01,
  MsgChannelControl = 0x02,
  MsgSetBaudRate = 0x03,
  MsgVersionRequest = 0x04,
  MsgVersionReply = 0x05,
  MsgStatusRequest = 0x06,
  MsgStatusReply = 0x07,
  MsgAdapterCommand08 = 0x08,
  MsgAdapterData09 = 0x09,
  MsgAdapterCommand0A = 0x0A,
  MsgAdapterCommand0B = 0x0B,
  MsgAdapterCommand0C = 0x0C,
  MsgCanFrame = 0x20,
  MsgCanFilter = 0x24,
  MsgJ1939Frame = 0x30,
  MsgJ1939Filter = 0x34,
  MsgJ1939Control = 0x35,
  MsgJ1939RawMode = 0x36,
  MsgJ1939Transport = 0x37,
  MsgTransportResult = 0x38,
  MsgJ1708Frame = 0x40,
  MsgJ1708Filter = 0x44,
  MsgJ1708RawMode = 0x45,
};

// Data of MsgChannelControl: channel number, then 1 on / 0 off.
enum AdapterChannel : uint8_t { ChannelCan1 = 1, ChannelCan2 = 2, ChannelJ1708 = 3 };
constexpr uint8_t kChannelOn = 1;
constexpr uint8_t kChannelOff = 0;

// Data of the raw-mode messages: 1 switches on, any other value off.
constexpr uint8_t kRawModeOn = 1;

// ChannelBits: Data[0] of CAN and J1939 frames and of their filter edits.
constexpr uint8_t kChannelBit1 = 0x01;
constexpr uint8_t kChannelBit2 = 0x02;
constexpr uint8_t kChannelBitsMask = 0x03;
constexpr uint8_t kExtendedIdBit = 0x10;
constexpr uint8_t kFilterOpShift = 2;  // FilterOp in bits 2-3 of a CAN/J1939 filter edit
constexpr uint8_t kFilterOpMask = 0x03;

// FilterOp.
enum FilterOp : uint8_t {
  FilterOpPass = 0,
  FilterOpBlock = 1,
  FilterOpPassAll = 2,
  FilterOpBlockAll = 3,
};

// ---------------------------------------------------------------------------------------------
// Records carried in Data. All packed and little-endian; read and written with memcpy.

#pragma pack(push, 1)

// CanFrameData: ChannelBits, identifier, then 0..8 data bytes.
struct CanFrameHeader {
  uint8_t ChannelBits;
  uint32_t Identifier;
};
static_assert(sizeof(CanFrameHeader) == 5 && offsetof(CanFrameHeader, Identifier) == 1);
constexpr uint16_t kCanMaxDataBytes = 8;

// J1939FrameData: ChannelBits, then the 29-bit identifier in four bytes, then the payload.
struct J1939FrameHeader {
  uint8_t ChannelBits;
  uint8_t SourceAddress;
  uint8_t PduSpecific;  // destination address when PduFormat < 0xF0
  uint8_t PduFormat;
  uint8_t PriorityDataPage;  // priority << 2 | data page bits
};
static_assert(sizeof(J1939FrameHeader) == 5);
static_assert(offsetof(J1939FrameHeader, SourceAddress) == 1);
static_assert(offsetof(J1939FrameHeader, PduSpecific) == 2);
static_assert(offsetof(J1939FrameHeader, PduFormat) == 3);
static_assert(offsetof(J1939FrameHeader, PriorityDataPage) == 4);
constexpr uint8_t kPdu2FirstFormat = 0xF0;  // PduFormat >= 0xF0: PduSpecific is a group extension

// J1708FrameData: flags (bit 7 = bit 8 of the 9-bit length), a header byte passed on untouched,
// the low 8 bits of the length, then the J1708 message (MID first, checksum last when present).
struct J1708FrameHeader {
  uint8_t Flags;
  uint8_t Header;
  uint8_t LengthLow;
};
static_assert(sizeof(J1708FrameHeader) == 3);
constexpr uint8_t kJ1708LengthBit8 = 0x80;

// FilterEdit of MsgCanFilter / MsgJ1939Filter (Length 9). A bare operation to the adapter has
// Length 1 (ChannelBits only).
struct IdFilterEdit {
  uint8_t ChannelBits;  // with the FilterOp in bits 2-3
  uint32_t Mask;
  uint32_t Value;
};
static_assert(sizeof(IdFilterEdit) == 9 && offsetof(IdFilterEdit, Mask) == 1 &&
              offsetof(IdFilterEdit, Value) == 5);

// FilterEdit of MsgJ1708Filter (Length 2); a bare operation to the adapter has Length 1.
struct MidFilterEdit {
  uint8_t Op;  // FilterOp in bits 0-1
  uint8_t Mid;
};
static_assert(sizeof(MidFilterEdit) == 2);

// ReplyRecord, data of MsgReply: Length 2 on success, 6 on failure.
struct ReplyRecord {
  uint8_t RequestType;
  uint8_t Result;
  uint8_t ErrorKind;
  uint8_t ErrorCode;
  uint16_t Zero;
};
static_assert(sizeof(ReplyRecord) == 6 && offsetof(ReplyRecord, ErrorCode) == 3);
constexpr uint16_t kReplyOkLength = 2;
constexpr uint16_t kReplyFailedLength = 6;
constexpr uint8_t ReplyOk = 1;
constexpr uint8_t ReplyFailed = 0;
constexpr uint8_t kReplyErrorKindFilter = 2;
enum FilterError : uint8_t {
  FilterErrNone = 0,
  FilterErrListFull = 1,
  FilterErrBlockListFull = 3,
  FilterErrNotFound = 4,
};

// AddressClashNotice (server to client, type 0x35, Length 13).
struct AddressClashNotice {
  uint8_t Channel;  // channel bit, 1 or 2
  uint8_t Identifier[4];
  uint8_t Name[8];
};
static_assert(sizeof(AddressClashNotice) == 13 && offsetof(AddressClashNotice, Name) == 5);

// Data of MsgVersionReply.
struct VersionReply {
  uint8_t Version[6];  // [2] major, [3] minor
  uint16_t AdapterFlags;
};
static_assert(sizeof(VersionReply) == 8 && offsetof(VersionReply, AdapterFlags) == 6);
constexpr uint16_t kVersionBytes = 6;
constexpr uint16_t kVersionWithFlags = 8;
constexpr size_t kVersionMajorIndex = 2;
constexpr size_t kVersionMinorIndex = 3;
constexpr uint16_t AdapterFlagTransport = 0x0001;  // the adapter runs J1939 transport itself

// AdapterStatusReply, data of MsgStatusReply (17 bytes).
struct AdapterStatusReply {
  uint8_t Unused;
  uint32_t PacketsReceived;
  uint32_t PacketsSent;
  uint16_t ChecksumErrors;
  uint16_t PacketErrors;
  uint8_t Can1Status;
  uint8_t Can2Status;
  uint8_t J1708Status;
  uint8_t OtherStatus;
};
static_assert(sizeof(AdapterStatusReply) == 17);
static_assert(offsetof(AdapterStatusReply, PacketsReceived) == 1);
static_assert(offsetof(AdapterStatusReply, PacketsSent) == 5);
static_assert(offsetof(AdapterStatusReply, ChecksumErrors) == 9);
static_assert(offsetof(AdapterStatusReply, PacketErrors) == 11);
static_assert(offsetof(AdapterStatusReply, Can1Status) == 13);
static_assert(offsetof(AdapterStatusReply, OtherStatus) == 16);
constexpr uint16_t kStatusCountersLength = 12;  // counters are taken from this length on
constexpr uint16_t kStatusBytesLength = 16;     // status bytes are taken from this length on

#pragma pack(pop)

// ChannelStatus bits (Can1Status, Can2Status, J1708Status).
constexpr uint8_t StatusAvailable = 0x01;
constexpr uint8_t StatusError = 0x08;
constexpr uint8_t kStatusBitRateShift = 4;  // bits 4-5: 0 250k, 1 500k, 2 1000k
constexpr uint8_t kStatusBitRateMask = 0x30;
constexpr uint8_t StatusRawMode = 0x80;  // set by the server while the raw mode is on

// LinkState.
enum LinkState : uint16_t {
  LinkStopped = 0x100,
  LinkSearching = 0x101,
  LinkConnected = 0x102,
  LinkNoServer = 0x103,
};

// The server's counters, read by the main form.
struct ServerStatistics {
  uint32_t CanTxCount;
  uint32_t CanRxCount;
  uint32_t J1708TxCount;
  uint32_t J1708RxCount;
  uint32_t Spare;
  uint32_t AdapterPacketsReceived;
  uint32_t AdapterPacketsSent;
  uint16_t AdapterChecksumErrors;
  uint16_t AdapterPacketErrors;
  // The server's own losses: checked frames from the adapter that found the link manager's
  // received-frame ring full, and records that found a client's ToClient ring full.
  uint32_t ReceiveRingDrops;
  uint32_t ClientRingDrops;
};
static_assert(offsetof(ServerStatistics, AdapterPacketErrors) == 30);
static_assert(sizeof(ServerStatistics) == 40);

// Little-endian field access inside Data.
inline uint16_t GetU16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t GetU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void PutU16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void PutU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

}  // namespace dral
