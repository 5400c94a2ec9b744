// The one codec of application traffic, built into the server and the library alike: the byte
// layouts of the messages applications put and get (application messages, whose C form is the
// library's public header), and their translation to and from the HuxMessage records of the
// channel; the filter edits, the reply record and the J1939 frame header.
//
// Every decoder reads a record through a RecordView and never past its Data span; a record a
// decoder cannot use is refused, not guessed at. A record's bytes may have been written by any
// process on the machine, so nothing in it is trusted. Encoders fill a HuxMessage or a data
// buffer their caller provides and write only the Length they set.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "channel/Vocabulary.h"

namespace dral {

// ---------------------------------------------------------------------------------------------
// Application message layouts. The library's public header states the same values for
// applications; the library checks at compile time that both agree.

namespace app {

// Protocol: byte 0 of every application message, low nibble of a filter's protocol byte.
inline constexpr uint8_t kProtocolCan1 = 1;
inline constexpr uint8_t kProtocolJ1939Can1 = 2;
inline constexpr uint8_t kProtocolJ1708 = 3;
inline constexpr uint8_t kProtocolCan2 = 4;
inline constexpr uint8_t kProtocolJ1939Can2 = 5;
inline constexpr uint8_t kProtocolRaw = 0x20;
inline constexpr uint8_t kProtocolStandardId = 0x80;  // on CAN: an 11-bit identifier

// Lengths of whole messages.
inline constexpr uint16_t kCanMinLength = 5;
inline constexpr uint16_t kCanMaxLength = 13;
inline constexpr uint16_t kJ1939MinLength = 7;
inline constexpr uint16_t kJ1939SingleFrameMax = 15;  // 7 + 8 data bytes; longer goes by transport
inline constexpr uint16_t kJ1939MaxLength = 1792;
inline constexpr uint16_t kJ1708MinLength = 3;
inline constexpr uint16_t kJ1708MaxLength = 507;
inline constexpr uint16_t kRawMinLength = 2;
inline constexpr uint16_t kRawMaxLength = 2050;
// No received message is longer: every CAN, J1939 (7 + 1785) and J1708 (2 + 505) message fits.
inline constexpr uint16_t kMaxReceivedLength = 2001;

// CAN message: protocol, uint32 identifier (as CanFrameData Data[1..4]), 0..8 data bytes.
inline constexpr size_t kCanIdentifier = 1;

// J1939 message: protocol, then these fields, then the data.
inline constexpr size_t kJ1939PduSpecific = 1;
inline constexpr size_t kJ1939PduFormat = 2;
inline constexpr size_t kJ1939DataPage = 3;
inline constexpr size_t kJ1939Priority = 4;  // bits 0-2; bit 7 on send: broadcast
inline constexpr size_t kJ1939Source = 5;
inline constexpr size_t kJ1939Destination = 6;
inline constexpr size_t kJ1939Data = 7;
inline constexpr uint8_t kJ1939Broadcast = 0x80;

// J1708 message: protocol, header byte (0xFF on receive), the J1708 bytes (MID first).
inline constexpr size_t kJ1708Header = 1;
inline constexpr size_t kJ1708Data = 2;
inline constexpr uint8_t kJ1708ReceivedHeader = 0xFF;

// Raw message: protocol, HuxMessageType, data.
inline constexpr size_t kRawType = 1;
inline constexpr size_t kRawData = 2;

// Filter record: operation, protocol, then the operation's data.
inline constexpr size_t kFilterOperation = 0;
inline constexpr size_t kFilterProtocol = 1;
inline constexpr size_t kFilterData = 2;
inline constexpr uint8_t kFilterPassAll = 1;
inline constexpr uint8_t kFilterBlockAll = 2;
inline constexpr uint8_t kFilterPass = 3;
inline constexpr uint8_t kFilterBlock = 4;
inline constexpr uint8_t kFilterStandardId = 0x80;
inline constexpr size_t kCanFilterDataBytes = 8;  // uint32 Mask, uint32 Value

// J1939 filter data: which identifier fields an entry matches, and their values.
inline constexpr uint8_t kJ1939FilterPgn = 0x01;
inline constexpr uint8_t kJ1939FilterPriority = 0x02;
inline constexpr uint8_t kJ1939FilterSource = 0x04;
inline constexpr uint8_t kJ1939FilterDestination = 0x08;
#pragma pack(push, 1)
struct J1939FilterFields {
  uint8_t Fields;
  uint8_t PduSpecific;
  uint8_t PduFormat;
  uint8_t DataPage;
  uint8_t Priority;
  uint8_t SourceAddress;
  uint8_t DestinationAddress;
};
#pragma pack(pop)
static_assert(sizeof(J1939FilterFields) == 7);

}  // namespace app

// ---------------------------------------------------------------------------------------------
// Records as decoders see them.

// A record's type and exactly its data bytes.
struct RecordView {
  uint8_t Type = 0;
  std::span<const uint8_t> Data;
};

// The view of a HuxMessage; a Length above kHuxMaxData is cut to it.
inline RecordView ViewOf(const HuxMessage& m) {
  return {m.Type, {m.Data, std::min<size_t>(m.Length, kHuxMaxData)}};
}

// ---------------------------------------------------------------------------------------------
// Application messages to server records (library). Each fills `out` and returns true, or
// returns false (leaving `out` undefined) for a length outside its range. `message` is read
// only within `length` bytes.

// CAN message, length 5..13: MsgCanFrame.
bool EncodeCan(const uint8_t* message, uint16_t length, HuxMessage& out);
// J1939 message that fits one frame, length 7..15: MsgJ1939Frame.
bool EncodeJ1939Frame(const uint8_t* message, uint16_t length, HuxMessage& out);
// J1708 message, length 3..507: MsgJ1708Frame (no checksum: the server adds it).
bool EncodeJ1708(const uint8_t* message, uint16_t length, HuxMessage& out);
// Raw message, length 2..2050: a record of the type in byte 1.
bool EncodeRaw(const uint8_t* message, uint16_t length, HuxMessage& out);

// ---------------------------------------------------------------------------------------------
// Server records to application messages (library).

// The application message that a record from the server stands for, written to `out`. Returns
// its length, or 0 when the record yields none: a type that is not delivered, a record shorter
// than its fixed fields, or a message longer than `out`. A J1708 count that runs past the record
// is cut to the bytes the record holds. MsgReply and MsgAdapterData09 become raw messages.
uint16_t DecodeServerMessage(RecordView record, std::span<uint8_t> out);
// The same for a whole HuxMessage into app::kMaxReceivedLength bytes at `out`; 0 for a Length
// above kHuxMaxData.
uint16_t DecodeServerMessage(const HuxMessage& message, uint8_t* out);

// ---------------------------------------------------------------------------------------------
// Filter edits (FilterEdit of MsgCanFilter, MsgJ1939Filter and MsgJ1708Filter).

// An edit of an ID table (CAN or J1939).
struct IdFilterRequest {
  uint8_t Channels = 0;   // channel bits named (0x01, 0x02 or both); 0: none, or no data at all
  uint8_t Op = 0;         // FilterOp
  bool Extended = false;  // CAN: the entry is for an extended identifier
  bool Complete = false;  // the record holds all its operation needs
  uint32_t Mask = 0;      // the entry; zero for the bare operations
  uint32_t Value = 0;
  bool operator==(const IdFilterRequest&) const = default;
};

// An edit of the MID table (J1708).
struct MidFilterRequest {
  uint8_t Op = 0;  // FilterOp
  uint8_t Mid = 0;
  bool Complete = false;
  bool operator==(const MidFilterRequest&) const = default;
};

// True for the operations that carry an entry (pass, block).
inline bool FilterOpHasEntry(uint8_t op) {
  return op == FilterOpPass || op == FilterOpBlock;
}

// Write the edit into `data` (at least sizeof(IdFilterEdit) / sizeof(MidFilterEdit) bytes) and
// return its length: 1 for a bare operation, the whole edit for pass and block.
uint16_t EncodeIdFilterEdit(const IdFilterRequest& request, uint8_t* data);
uint16_t EncodeMidFilterEdit(const MidFilterRequest& request, uint8_t* data);
// Read an edit a client sent. Incomplete when it is too short for its operation; the entry (or
// MID) is read only from a complete pass or block edit.
IdFilterRequest DecodeIdFilterEdit(RecordView record);
MidFilterRequest DecodeMidFilterEdit(RecordView record);

// Filter records of the library to edits (library). `data` is the filter record's data (from its
// byte 2), read only by pass and block. False for an unknown operation. `channel` is 1 or 2.
bool EncodeCanFilter(const uint8_t* data, uint8_t operation, bool standardId, uint8_t channel,
                     HuxMessage& out);
bool EncodeJ1939Filter(const uint8_t* data, uint8_t operation, uint8_t channel, HuxMessage& out);
bool EncodeJ1708Filter(const uint8_t* data, uint8_t operation, HuxMessage& out);
// Mask and Value of the ID table entry that J1939 filter data selects. Bit 31 of a destination
// mask makes the server apply the entry to PDU1 identifiers only.
void J1939FilterEntry(const app::J1939FilterFields& data, uint32_t& mask, uint32_t& value);

// Block-all edits that a closing connection sends for each filter kind it used.
inline constexpr uint8_t kBlockAllBothChannels =
    kChannelBit1 | kChannelBit2 | FilterOpBlockAll << kFilterOpShift;
inline constexpr uint8_t kJ1708BlockAll = FilterOpBlockAll;

// ---------------------------------------------------------------------------------------------
// Reply record (data of MsgReply).

struct Reply {
  uint8_t RequestType = 0;
  uint8_t Result = ReplyFailed;
  uint8_t ErrorCode = FilterErrNone;  // of a failure
};

// Write the reply into `data` (at least sizeof(ReplyRecord) bytes); returns its length, 2 on
// success, 6 on failure (ErrorKind 2, the code, two zero bytes).
uint16_t EncodeReply(const Reply& reply, uint8_t* data);
// False for a record shorter than RequestType and Result; ErrorCode is read when present.
bool DecodeReply(RecordView record, Reply& reply);

// ---------------------------------------------------------------------------------------------
// J1939 frames (J1939FrameData): the records of MsgJ1939Frame and MsgJ1939Control, and thus of
// the transport and address-claim messages.

struct J1939Frame {
  uint8_t ChannelBits = 0;
  uint8_t SourceAddress = 0;
  uint8_t PduSpecific = 0;  // destination address when PduFormat < 0xF0
  uint8_t PduFormat = 0;
  uint8_t Priority = 0;    // 0..7
  uint8_t DataPage = 0;    // data page bits, 0..3
  std::span<const uint8_t> Payload;  // Data[5..]
};

inline bool IsPdu2(uint8_t pduFormat) {
  return pduFormat >= kPdu2FirstFormat;
}

// A whole multi-packet message (MsgJ1939Transport): channel, source, destination, PduSpecific,
// PduFormat, priority << 2 | data page, then the data.
constexpr uint16_t kJ1939TransportFixed = 6;

// False for a record shorter than the 5-byte header. Payload points into the record.
bool DecodeJ1939Frame(RecordView record, J1939Frame& frame);
// A record of `type` (MsgJ1939Frame, MsgJ1939Control) from the header and payload. False when
// the payload does not fit kHuxMaxData.
bool EncodeJ1939Record(uint8_t type, const J1939Frame& frame, HuxMessage& out);


// ---------------------------------------------------------------------------------------------
// J1939 network management (MsgJ1939Control): requests, acknowledgements, the transport
// protocol's connection management (TP.CM) and data transfer (TP.DT), address claims, and the
// server's clash notice. All are J1939FrameData records; the offsets below index their Data.
// The names live in namespace j1939, apart from the units' own.

namespace j1939 {

// PDU formats of network management.
inline constexpr uint8_t kPfAcknowledgement = 0xE8;
inline constexpr uint8_t kPfRequest = 0xEA;
inline constexpr uint8_t kPfTransportData = 0xEB;
inline constexpr uint8_t kPfTransportControl = 0xEC;
inline constexpr uint8_t kPfAddressClaimed = 0xEE;

// TP.CM control bytes.
inline constexpr uint8_t kTpCmRts = 16;
inline constexpr uint8_t kTpCmCts = 17;
inline constexpr uint8_t kTpCmEndOfMsgAck = 19;
inline constexpr uint8_t kTpCmBam = 32;
inline constexpr uint8_t kTpCmAbort = 255;

// Addresses with a meaning of their own: the global destination, and the null address (no
// address held; the same value as kNoAddress of the channel block).
inline constexpr uint8_t kGlobalAddress = 0xFF;
inline constexpr uint8_t kNullAddress = 0xFE;
inline constexpr uint8_t kMaxClaimableAddress = 253;

// TP.CM payload: control byte, then by control (RTS, BAM, EndOfMsgAck: uint16 size, packets;
// CTS: packets allowed, next packet; Abort: reason), then the transported PGN (PS, PF, DP).
inline constexpr size_t kTpCmControl = 5;
inline constexpr size_t kTpCmSize = 6;       // uint16 of RTS, BAM, EndOfMsgAck
inline constexpr size_t kTpCmPackets = 8;    // of RTS, BAM, EndOfMsgAck
inline constexpr size_t kTpCmMaxPerCts = 9;  // of RTS; 0xFF = no limit
inline constexpr size_t kTpCmAllowed = 6;    // of CTS: packets allowed (0: wait)
inline constexpr size_t kTpCmNext = 7;       // of CTS: next packet
inline constexpr size_t kTpCmReason = 6;     // of Abort
inline constexpr size_t kTpCmPgn = 10;       // three bytes: PS, PF, DP
inline constexpr uint16_t kTpCmLength = 13;
// TP.DT payload: sequence number 1..255, then seven data bytes (0xFF past the message's end).
inline constexpr size_t kTpDtSequence = 5;
inline constexpr size_t kTpDtData = 6;
inline constexpr uint16_t kTpDtBytes = 7;

// Address claim: the 8-byte NAME after the header, sent to the global address.
inline constexpr size_t kClaimName = 5;
inline constexpr uint16_t kNameBytes = 8;
inline constexpr uint16_t kAddressClaimLength = kClaimName + kNameBytes;  // 13
inline constexpr uint8_t kAddressClaimPriorityDataPage = 0x18;            // priority 6, page 0

// The request for the address-claimed PGN 0x00EE00 to the global address: its three PGN bytes.
inline constexpr uint16_t kRequestLength = 8;
inline constexpr size_t kRequestPgn = 5;

}  // namespace j1939

// An address-claimed record of `type` (MsgJ1939Frame from the server to the adapter,
// MsgJ1939Control from a client): `channelBits`, source `address`, global destination, the NAME.
void EncodeAddressClaim(uint8_t type, uint8_t channelBits, uint8_t address, const uint8_t* name,
                        HuxMessage& out);
// The clash notice for a claim (`claim` holds at least the 5-byte header): channel bit, the
// claim's four identifier bytes, and the NAME of the client that holds the address.
void EncodeClashNotice(uint8_t channelBit, const HuxMessage& claim, const uint8_t* holderName,
                       HuxMessage& out);
// True for a request (PF 0xEA) for the address-claimed PGN, to any destination.
bool RequestsAddressClaims(RecordView record);
// True for a request (PF 0xEA) to the global address for the address-claimed PGN.
bool IsAddressClaimRequest(RecordView record);
// The 29-bit identifier of the message a TP.CM RTS or BAM announces (`data` holds at least
// kTpCmLength bytes): the TP.CM's priority, the announced PGN, the TP.CM's destination as PDU
// specific for a PDU1 PGN, and the TP.CM's source.
uint32_t AnnouncedIdentifier(const uint8_t* data);

// ---------------------------------------------------------------------------------------------
// J1939 network management carried in MsgJ1939Control records: the transport protocol (TP.CM
// connection management, TP.DT data packets) and the address-claimed message, and the records
// of a transfer that the adapter runs itself (MsgJ1939Transport, MsgTransportResult).

namespace j1939 {


// Abort reasons.
inline constexpr uint8_t kAbortBusy = 1;       // no room for another session
inline constexpr uint8_t kAbortResources = 2;  // the message is longer than a receiver takes
inline constexpr uint8_t kAbortTimeout = 3;
inline constexpr uint8_t kAbortOther = 250;  // none of the listed reasons (a malformed announce)

inline constexpr uint16_t kMaxTransportBytes = 1785;  // 255 packets of 7 bytes
inline constexpr uint8_t kBytesPerPacket = 7;
inline constexpr uint8_t kNoPacketLimit = 0xFF;  // RTS byte 4: no limit of packets per CTS
inline constexpr size_t kControlPayload = 8;     // every TP.CM payload
inline constexpr size_t kPgnBytes = 3;           // PS, PF, data page: low byte first


// The packets a transfer of `size` bytes takes.
inline constexpr uint16_t PacketsFor(uint16_t size) {
  return static_cast<uint16_t>((size + kBytesPerPacket - 1) / kBytesPerPacket);
}

// A TP.CM payload as carried: control byte, four bytes whose meaning the control gives, PGN.
struct ConnectionControl {
  uint8_t Control = 0;
  uint8_t Byte1 = 0xFF;  // RTS, BAM, EndOfMsgAck: size low; CTS: packets allowed; Abort: reason
  uint8_t Byte2 = 0xFF;  // size high; CTS: next packet
  uint8_t Byte3 = 0xFF;  // RTS, BAM, EndOfMsgAck: total packets
  uint8_t Byte4 = 0xFF;  // RTS: most packets per CTS
  uint8_t Pgn[kPgnBytes] = {0, 0, 0};

  uint16_t TotalSize() const { return static_cast<uint16_t>(Byte1 | Byte2 << 8); }
  uint32_t PgnValue() const { return static_cast<uint32_t>(Pgn[0] | Pgn[1] << 8 | Pgn[2] << 16); }
};

// The payload of a TP.CM frame; false when it holds fewer than its 8 bytes.
bool DecodeConnectionControl(const J1939Frame& frame, ConnectionControl& control);

// Payloads of the TP.CM messages.
ConnectionControl SizedControl(uint8_t control, uint16_t totalSize, uint8_t totalPackets,
                               uint8_t byte4, const uint8_t* pgn);  // RTS, BAM, EndOfMsgAck
ConnectionControl ClearToSend(uint8_t count, uint8_t nextPacket, const uint8_t* pgn);
ConnectionControl AbortControl(uint8_t reason, const uint8_t* pgn);

// A MsgJ1939Control record of a TP.CM message. `priority` 0..7, data page 0.
HuxMessage ControlRecord(uint8_t channelBits, uint8_t source, uint8_t destination,
                         uint8_t priority, const ConnectionControl& control);
// A MsgJ1939Control record of the TP.DT packet `sequence` with 7 bytes from `bytes`.
HuxMessage DataPacketRecord(uint8_t channelBits, uint8_t source, uint8_t destination,
                            uint8_t priority, uint8_t sequence, const uint8_t* bytes);
// A MsgJ1939Control record of the address-claimed message for `address` with `name`.
HuxMessage AddressClaimRecord(uint8_t channelBits, uint8_t address, const uint8_t* name);

// A J1939 NAME as the number it is: it travels least significant byte first, and the lower
// number wins a contest for an address.
uint64_t NameValue(const uint8_t* name);

// The header of a whole J1939 message (bytes 0..6 of the application layout).
struct MessageHeader {
  uint8_t ChannelBits = 0;
  uint8_t PduSpecific = 0;
  uint8_t PduFormat = 0;
  uint8_t PriorityDataPage = 0;  // priority << 2 | data page
  uint8_t SourceAddress = 0;
  uint8_t DestinationAddress = 0;
};

// The application message of a whole J1939 message: header and `data`, written to `out`.
// Returns its length, or 0 when it does not fit `out`.
uint16_t EncodeJ1939Message(const MessageHeader& header, std::span<const uint8_t> data,
                            std::span<uint8_t> out);

// MsgJ1939Transport: a whole multi-packet message that the adapter sends by itself. False when
// the data exceed kMaxTransportBytes.
bool EncodeTransportRecord(const MessageHeader& header, std::span<const uint8_t> data,
                           HuxMessage& out);

// MsgTransportResult: the adapter's outcome of such a transfer.
struct TransportResult {
  bool Success = false;  // result byte 1
  uint8_t SourceAddress = 0;
  uint8_t DestinationAddress = 0;
  uint32_t Pgn = 0;  // PS | PF << 8 | data page << 16
};
inline constexpr uint8_t kTransportResultSuccess = 1;
// False for a record shorter than its 6 bytes.
bool DecodeTransportResult(RecordView record, TransportResult& result);
HuxMessage TransportResultRecord(const TransportResult& result);

}  // namespace j1939

}  // namespace dral
