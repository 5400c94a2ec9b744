#include "channel/Codec.h"

#include <array>
#include <cstring>

namespace dral {
namespace {

constexpr uint16_t kJ1708CountBit8 = 256;
constexpr uint8_t kFilterOperationBits = 0x0F;  // the CAN filter looks only at these
constexpr uint8_t kPriorityBits = 0x07;
constexpr uint8_t kDataPageBits = 0x03;

uint8_t CanChannelBits(uint8_t protocol) {
  uint8_t bits = (protocol & 0x01) ? kChannelBit1 : kChannelBit2;
  if (!(protocol & app::kProtocolStandardId)) bits |= kExtendedIdBit;
  return bits;
}

uint8_t J1939Protocol(uint8_t channelBits) {
  return (channelBits & kChannelBit1) ? app::kProtocolJ1939Can1 : app::kProtocolJ1939Can2;
}

// The edit's FilterOp for a filter record's operation; false for an unknown one.
bool FilterOpOf(uint8_t operation, uint8_t& op) {
  switch (operation) {
    case app::kFilterPassAll:
      op = FilterOpPassAll;
      return true;
    case app::kFilterBlockAll:
      op = FilterOpBlockAll;
      return true;
    case app::kFilterPass:
      op = FilterOpPass;
      return true;
    case app::kFilterBlock:
      op = FilterOpBlock;
      return true;
    default:
      return false;
  }
}

uint8_t PriorityDataPage(uint8_t priority, uint8_t dataPage) {
  return static_cast<uint8_t>((priority & kPriorityBits) << 2 | (dataPage & kDataPageBits));
}

// ---- decoders of server records; each reads only `d` and writes at most out.size() bytes ----

uint16_t DecodeRaw(uint8_t type, std::span<const uint8_t> d, std::span<uint8_t> out) {
  if (app::kRawData + d.size() > out.size()) return 0;
  out[0] = app::kProtocolRaw;
  out[app::kRawType] = type;
  std::copy(d.begin(), d.end(), out.begin() + app::kRawData);
  return static_cast<uint16_t>(app::kRawData + d.size());
}

uint16_t DecodeCan(std::span<const uint8_t> d, std::span<uint8_t> out) {
  if (d.size() < sizeof(CanFrameHeader) || d.size() > out.size()) return 0;
  uint8_t protocol = (d[0] & kChannelBit1) ? app::kProtocolCan1 : app::kProtocolCan2;
  if (!(d[0] & kExtendedIdBit)) protocol |= app::kProtocolStandardId;
  out[0] = protocol;
  std::copy(d.begin() + 1, d.end(), out.begin() + 1);  // identifier and data unchanged
  return static_cast<uint16_t>(d.size());
}

// The J1939 message header (bytes 0..6) from the identifier fields.
void PutJ1939Header(uint8_t channelBits, uint8_t ps, uint8_t pf, uint8_t priorityDataPage,
                    uint8_t source, uint8_t destination, std::span<uint8_t> out) {
  out[0] = J1939Protocol(channelBits);
  out[app::kJ1939PduSpecific] = ps;
  out[app::kJ1939PduFormat] = pf;
  out[app::kJ1939DataPage] = priorityDataPage & 0x01;
  out[app::kJ1939Priority] = (priorityDataPage >> 2) & kPriorityBits;
  out[app::kJ1939Source] = source;
  out[app::kJ1939Destination] = destination;
}

uint16_t DecodeJ1939(std::span<const uint8_t> d, std::span<uint8_t> out) {
  J1939Frame f;
  if (!DecodeJ1939Frame({MsgJ1939Frame, d}, f)) return 0;
  if (app::kJ1939Data + f.Payload.size() > out.size()) return 0;
  const bool pdu2 = IsPdu2(f.PduFormat);
  PutJ1939Header(f.ChannelBits, pdu2 ? f.PduSpecific : 0, f.PduFormat,
                 PriorityDataPage(f.Priority, f.DataPage), f.SourceAddress,
                 pdu2 ? j1939::kGlobalAddress : f.PduSpecific, out);
  std::copy(f.Payload.begin(), f.Payload.end(), out.begin() + app::kJ1939Data);
  return static_cast<uint16_t>(app::kJ1939Data + f.Payload.size());
}

uint16_t DecodeJ1939Transport(std::span<const uint8_t> d, std::span<uint8_t> out) {
  if (d.size() < kJ1939TransportFixed) return 0;
  const auto data = d.subspan(kJ1939TransportFixed);
  if (app::kJ1939Data + data.size() > out.size()) return 0;
  PutJ1939Header(d[0], d[3], d[4], d[5], d[1], d[2], out);
  std::copy(data.begin(), data.end(), out.begin() + app::kJ1939Data);
  return static_cast<uint16_t>(app::kJ1939Data + data.size());
}

uint16_t DecodeJ1708(std::span<const uint8_t> d, std::span<uint8_t> out) {
  if (d.size() < sizeof(J1708FrameHeader)) return 0;
  const size_t claimed = d[2] + ((d[0] & kJ1708LengthBit8) ? kJ1708CountBit8 : 0);
  // In raw mode the server counts one byte more for a checksum that a copy from another client
  // does not carry; the message is still whole, so the count stops at the record's last byte.
  const size_t count = std::min(claimed, d.size() - sizeof(J1708FrameHeader));
  if (app::kJ1708Data + count > out.size()) return 0;
  out[0] = app::kProtocolJ1708;
  out[app::kJ1708Header] = app::kJ1708ReceivedHeader;
  const auto bytes = d.subspan(sizeof(J1708FrameHeader), count);
  std::copy(bytes.begin(), bytes.end(), out.begin() + app::kJ1708Data);
  return static_cast<uint16_t>(app::kJ1708Data + count);
}

}  // namespace

// ---- application messages to server records --------------------------------------------------

bool EncodeCan(const uint8_t* message, uint16_t length, HuxMessage& out) {
  if (length < app::kCanMinLength || length > app::kCanMaxLength) return false;
  out.Type = MsgCanFrame;
  out.Length = length;
  out.Data[0] = CanChannelBits(message[0]);
  // Identifier and data unchanged.
  std::memcpy(out.Data + offsetof(CanFrameHeader, Identifier), message + app::kCanIdentifier,
              length - app::kCanIdentifier);
  return true;
}

bool EncodeJ1939Frame(const uint8_t* message, uint16_t length, HuxMessage& out) {
  if (length < app::kJ1939MinLength || length > app::kJ1939SingleFrameMax) return false;
  J1939Frame f;
  f.ChannelBits = (message[0] & 0x02) ? kChannelBit1 : kChannelBit2;
  f.SourceAddress = message[app::kJ1939Source];
  f.PduFormat = message[app::kJ1939PduFormat];
  // PDU1 carries the destination in the PduSpecific position.
  f.PduSpecific = IsPdu2(f.PduFormat) ? message[app::kJ1939PduSpecific]
                                      : message[app::kJ1939Destination];
  f.Priority = message[app::kJ1939Priority] & kPriorityBits;
  f.DataPage = message[app::kJ1939DataPage] & 0x01;
  f.Payload = {message + app::kJ1939Data, length - app::kJ1939Data};
  return EncodeJ1939Record(MsgJ1939Frame, f, out);
}

bool EncodeJ1708(const uint8_t* message, uint16_t length, HuxMessage& out) {
  if (length < app::kJ1708MinLength || length > app::kJ1708MaxLength) return false;
  const uint16_t count = static_cast<uint16_t>(length - app::kJ1708Data);
  out.Type = MsgJ1708Frame;
  out.Length = static_cast<uint16_t>(sizeof(J1708FrameHeader) + count);
  out.Data[0] = count >= kJ1708CountBit8 ? kJ1708LengthBit8 : 0;
  out.Data[1] = message[app::kJ1708Header];
  out.Data[2] = static_cast<uint8_t>(count & 0xFF);
  std::memcpy(out.Data + sizeof(J1708FrameHeader), message + app::kJ1708Data, count);
  return true;
}

bool EncodeRaw(const uint8_t* message, uint16_t length, HuxMessage& out) {
  if (length < app::kRawMinLength || length > app::kRawMaxLength) return false;
  out.Type = message[app::kRawType];
  out.Length = static_cast<uint16_t>(length - app::kRawData);
  std::memcpy(out.Data, message + app::kRawData, out.Length);
  return true;
}

// ---- server records to application messages --------------------------------------------------

uint16_t DecodeServerMessage(RecordView record, std::span<uint8_t> out) {
  switch (record.Type) {
    case MsgReply:
    case MsgAdapterData09:
      return DecodeRaw(record.Type, record.Data, out);
    case MsgCanFrame:
      return DecodeCan(record.Data, out);
    case MsgJ1939Frame:
      return DecodeJ1939(record.Data, out);
    case MsgJ1939Transport:
      return DecodeJ1939Transport(record.Data, out);
    case MsgJ1708Frame:
      return DecodeJ1708(record.Data, out);
    default:
      return 0;
  }
}

uint16_t DecodeServerMessage(const HuxMessage& message, uint8_t* out) {
  if (message.Length > kHuxMaxData) return 0;
  return DecodeServerMessage(ViewOf(message), {out, app::kMaxReceivedLength});
}

// ---- filter edits -------------------------------------------------------------------------------

uint16_t EncodeIdFilterEdit(const IdFilterRequest& r, uint8_t* data) {
  data[0] = static_cast<uint8_t>((r.Channels & kChannelBitsMask) |
                                 (r.Op & kFilterOpMask) << kFilterOpShift |
                                 (r.Extended ? kExtendedIdBit : 0));
  if (!FilterOpHasEntry(r.Op)) return 1;
  PutU32(data + offsetof(IdFilterEdit, Mask), r.Mask);
  PutU32(data + offsetof(IdFilterEdit, Value), r.Value);
  return sizeof(IdFilterEdit);
}

uint16_t EncodeMidFilterEdit(const MidFilterRequest& r, uint8_t* data) {
  data[0] = r.Op & kFilterOpMask;
  if (!FilterOpHasEntry(r.Op)) return 1;
  data[offsetof(MidFilterEdit, Mid)] = r.Mid;
  return sizeof(MidFilterEdit);
}

IdFilterRequest DecodeIdFilterEdit(RecordView record) {
  IdFilterRequest r;
  const auto d = record.Data;
  if (d.empty()) return r;
  r.Channels = d[0] & kChannelBitsMask;
  r.Op = (d[0] >> kFilterOpShift) & kFilterOpMask;
  r.Extended = (d[0] & kExtendedIdBit) != 0;
  const bool entry = FilterOpHasEntry(r.Op);
  r.Complete = d.size() >= (entry ? sizeof(IdFilterEdit) : 1u);
  if (r.Complete && entry) {
    r.Mask = GetU32(&d[offsetof(IdFilterEdit, Mask)]);
    r.Value = GetU32(&d[offsetof(IdFilterEdit, Value)]);
  }
  return r;
}

MidFilterRequest DecodeMidFilterEdit(RecordView record) {
  MidFilterRequest r;
  const auto d = record.Data;
  if (d.empty()) return r;
  r.Op = d[0] & kFilterOpMask;
  const bool entry = FilterOpHasEntry(r.Op);
  r.Complete = d.size() >= (entry ? sizeof(MidFilterEdit) : 1u);
  if (r.Complete && entry) r.Mid = d[offsetof(MidFilterEdit, Mid)];
  return r;
}

bool EncodeCanFilter(const uint8_t* data, uint8_t operation, bool standardId, uint8_t channel,
                     HuxMessage& out) {
  IdFilterRequest r;
  r.Channels = channel;
  if (!FilterOpOf(operation & kFilterOperationBits, r.Op)) return false;
  if (FilterOpHasEntry(r.Op)) {
    // The standard-identifier flag of a block edit travels in the operation byte.
    r.Extended = r.Op == FilterOpPass ? !standardId : (operation & app::kFilterStandardId) == 0;
    // The entry goes as the application wrote it; the server normalises it.
    r.Mask = GetU32(data);
    r.Value = GetU32(data + sizeof(uint32_t));
  }
  out.Type = MsgCanFilter;
  out.Length = EncodeIdFilterEdit(r, out.Data);
  return true;
}

bool EncodeJ1939Filter(const uint8_t* data, uint8_t operation, uint8_t channel, HuxMessage& out) {
  IdFilterRequest r;
  r.Channels = channel;
  if (!FilterOpOf(operation, r.Op)) return false;
  if (FilterOpHasEntry(r.Op)) {
    app::J1939FilterFields fields;
    std::memcpy(&fields, data, sizeof fields);
    J1939FilterEntry(fields, r.Mask, r.Value);
  }
  out.Type = MsgJ1939Filter;
  out.Length = EncodeIdFilterEdit(r, out.Data);
  return true;
}

bool EncodeJ1708Filter(const uint8_t* data, uint8_t operation, HuxMessage& out) {
  MidFilterRequest r;
  if (!FilterOpOf(operation, r.Op)) return false;
  if (FilterOpHasEntry(r.Op)) r.Mid = data[0];
  out.Type = MsgJ1708Filter;
  out.Length = EncodeMidFilterEdit(r, out.Data);
  return true;
}

void J1939FilterEntry(const app::J1939FilterFields& data, uint32_t& mask, uint32_t& value) {
  constexpr uint32_t kPgnPdu2Mask = 0x01FFFF00;
  constexpr uint32_t kPgnPdu1Mask = 0x01FF0000;
  constexpr uint32_t kPriorityMask = 0x1C000000;
  constexpr uint32_t kSourceMask = 0x000000FF;
  constexpr uint32_t kDestinationMask = 0x8000FF00;  // bit 31: PDU1 identifiers only
  mask = 0;
  value = 0;
  const bool pgn = data.Fields & app::kJ1939FilterPgn;
  const bool pdu2 = IsPdu2(data.PduFormat);
  if (pgn) {
    value = static_cast<uint32_t>(data.PduFormat) << 16 |
            static_cast<uint32_t>(data.DataPage) << 24;
    if (pdu2) {
      value |= static_cast<uint32_t>(data.PduSpecific) << 8;
      mask = kPgnPdu2Mask;
    } else {
      mask = kPgnPdu1Mask;
    }
  }
  if (data.Fields & app::kJ1939FilterPriority) {
    value |= static_cast<uint32_t>(data.Priority & kPriorityBits) << 26;
    mask |= kPriorityMask;
  }
  if (data.Fields & app::kJ1939FilterSource) {
    value |= data.SourceAddress;
    mask |= kSourceMask;
  }
  // A PDU2 group named by the PGN has no destination to match.
  if ((data.Fields & app::kJ1939FilterDestination) && (!pgn || !pdu2)) {
    value |= static_cast<uint32_t>(data.DestinationAddress) << 8;
    mask |= kDestinationMask;
  }
}

// ---- reply record -------------------------------------------------------------------------------

uint16_t EncodeReply(const Reply& reply, uint8_t* data) {
  const bool ok = reply.Result == ReplyOk;
  ReplyRecord r{reply.RequestType, reply.Result, 0, 0, 0};
  if (!ok) {
    r.ErrorKind = kReplyErrorKindFilter;
    r.ErrorCode = reply.ErrorCode;
  }
  const uint16_t length = ok ? kReplyOkLength : kReplyFailedLength;
  std::memcpy(data, &r, length);
  return length;
}

bool DecodeReply(RecordView record, Reply& reply) {
  const auto d = record.Data;
  if (d.size() < kReplyOkLength) return false;
  reply.RequestType = d[offsetof(ReplyRecord, RequestType)];
  reply.Result = d[offsetof(ReplyRecord, Result)];
  reply.ErrorCode = d.size() > offsetof(ReplyRecord, ErrorCode)
                        ? d[offsetof(ReplyRecord, ErrorCode)]
                        : static_cast<uint8_t>(FilterErrNone);
  return true;
}

// ---- J1939 frames -------------------------------------------------------------------------------

bool DecodeJ1939Frame(RecordView record, J1939Frame& frame) {
  const auto d = record.Data;
  if (d.size() < sizeof(J1939FrameHeader)) return false;
  frame.ChannelBits = d[offsetof(J1939FrameHeader, ChannelBits)];
  frame.SourceAddress = d[offsetof(J1939FrameHeader, SourceAddress)];
  frame.PduSpecific = d[offsetof(J1939FrameHeader, PduSpecific)];
  frame.PduFormat = d[offsetof(J1939FrameHeader, PduFormat)];
  const uint8_t pdp = d[offsetof(J1939FrameHeader, PriorityDataPage)];
  frame.Priority = (pdp >> 2) & kPriorityBits;
  frame.DataPage = pdp & kDataPageBits;
  frame.Payload = d.subspan(sizeof(J1939FrameHeader));
  return true;
}

bool EncodeJ1939Record(uint8_t type, const J1939Frame& frame, HuxMessage& out) {
  if (frame.Payload.size() > kHuxMaxData - sizeof(J1939FrameHeader)) return false;
  out.Type = type;
  out.Length = static_cast<uint16_t>(sizeof(J1939FrameHeader) + frame.Payload.size());
  out.Data[offsetof(J1939FrameHeader, ChannelBits)] = frame.ChannelBits;
  out.Data[offsetof(J1939FrameHeader, SourceAddress)] = frame.SourceAddress;
  out.Data[offsetof(J1939FrameHeader, PduSpecific)] = frame.PduSpecific;
  out.Data[offsetof(J1939FrameHeader, PduFormat)] = frame.PduFormat;
  out.Data[offsetof(J1939FrameHeader, PriorityDataPage)] =
      PriorityDataPage(frame.Priority, frame.DataPage);
  std::copy(frame.Payload.begin(), frame.Payload.end(), out.Data + sizeof(J1939FrameHeader));
  return true;
}


// ---- J1939 network management -------------------------------------------------------------------

void EncodeAddressClaim(uint8_t type, uint8_t channelBits, uint8_t address, const uint8_t* name,
                        HuxMessage& out) {
  out.Type = type;
  out.Length = j1939::kAddressClaimLength;
  out.Data[offsetof(J1939FrameHeader, ChannelBits)] = channelBits;
  out.Data[offsetof(J1939FrameHeader, SourceAddress)] = address;
  out.Data[offsetof(J1939FrameHeader, PduSpecific)] = j1939::kGlobalAddress;
  out.Data[offsetof(J1939FrameHeader, PduFormat)] = j1939::kPfAddressClaimed;
  out.Data[offsetof(J1939FrameHeader, PriorityDataPage)] = j1939::kAddressClaimPriorityDataPage;
  std::memcpy(out.Data + j1939::kClaimName, name, j1939::kNameBytes);
}

void EncodeClashNotice(uint8_t channelBit, const HuxMessage& claim, const uint8_t* holderName,
                       HuxMessage& out) {
  AddressClashNotice notice{};
  notice.Channel = channelBit;
  std::memcpy(notice.Identifier, claim.Data + offsetof(J1939FrameHeader, SourceAddress),
              sizeof notice.Identifier);
  std::memcpy(notice.Name, holderName, sizeof notice.Name);
  out.Type = MsgJ1939Control;
  out.Length = sizeof notice;
  std::memcpy(out.Data, &notice, sizeof notice);
}

bool RequestsAddressClaims(RecordView record) {
  const auto d = record.Data;
  if (d.size() < j1939::kRequestLength) return false;
  return d[offsetof(J1939FrameHeader, PduFormat)] == j1939::kPfRequest &&
         d[j1939::kRequestPgn] == 0x00 && d[j1939::kRequestPgn + 1] == j1939::kPfAddressClaimed &&
         d[j1939::kRequestPgn + 2] == 0x00;
}

bool IsAddressClaimRequest(RecordView record) {
  return RequestsAddressClaims(record) &&
         record.Data[offsetof(J1939FrameHeader, PduSpecific)] == j1939::kGlobalAddress;
}

uint32_t AnnouncedIdentifier(const uint8_t* data) {
  constexpr uint8_t kPriorityField = 0x1C;
  const uint8_t pf = data[j1939::kTpCmPgn + 1];
  const uint8_t ps = IsPdu2(pf) ? data[j1939::kTpCmPgn] : data[offsetof(J1939FrameHeader, PduSpecific)];
  return static_cast<uint32_t>(data[offsetof(J1939FrameHeader, PriorityDataPage)] &
                               kPriorityField) << 24 |
         static_cast<uint32_t>(data[j1939::kTpCmPgn + 2]) << 24 | static_cast<uint32_t>(pf) << 16 |
         static_cast<uint32_t>(ps) << 8 | data[offsetof(J1939FrameHeader, SourceAddress)];
}

// ---- J1939 network management ------------------------------------------------------------------

namespace j1939 {
namespace {

constexpr size_t kTransportResultBytes = 6;  // result, source, destination, PGN (3 bytes)

std::array<uint8_t, kControlPayload> PayloadOf(const ConnectionControl& c) {
  return {c.Control, c.Byte1, c.Byte2, c.Byte3, c.Byte4, c.Pgn[0], c.Pgn[1], c.Pgn[2]};
}

HuxMessage ControlFrame(uint8_t channelBits, uint8_t source, uint8_t destination, uint8_t pf,
                        uint8_t priority, std::span<const uint8_t> payload) {
  J1939Frame f;
  f.ChannelBits = channelBits;
  f.SourceAddress = source;
  f.PduSpecific = destination;
  f.PduFormat = pf;
  f.Priority = priority & kPriorityBits;
  f.DataPage = 0;
  f.Payload = payload;
  HuxMessage m;
  EncodeJ1939Record(MsgJ1939Control, f, m);  // a payload of 8 bytes always fits
  return m;
}

}  // namespace

bool DecodeConnectionControl(const J1939Frame& frame, ConnectionControl& c) {
  const auto p = frame.Payload;
  if (p.size() < kControlPayload) return false;
  c.Control = p[0];
  c.Byte1 = p[1];
  c.Byte2 = p[2];
  c.Byte3 = p[3];
  c.Byte4 = p[4];
  std::copy(p.begin() + 5, p.begin() + 8, c.Pgn);
  return true;
}

ConnectionControl SizedControl(uint8_t control, uint16_t totalSize, uint8_t totalPackets,
                               uint8_t byte4, const uint8_t* pgn) {
  ConnectionControl c;
  c.Control = control;
  c.Byte1 = static_cast<uint8_t>(totalSize & 0xFF);
  c.Byte2 = static_cast<uint8_t>(totalSize >> 8);
  c.Byte3 = totalPackets;
  c.Byte4 = byte4;
  std::copy(pgn, pgn + kPgnBytes, c.Pgn);
  return c;
}

ConnectionControl ClearToSend(uint8_t count, uint8_t nextPacket, const uint8_t* pgn) {
  ConnectionControl c;
  c.Control = kTpCmCts;
  c.Byte1 = count;
  c.Byte2 = nextPacket;
  std::copy(pgn, pgn + kPgnBytes, c.Pgn);
  return c;
}

ConnectionControl AbortControl(uint8_t reason, const uint8_t* pgn) {
  ConnectionControl c;
  c.Control = kTpCmAbort;
  c.Byte1 = reason;
  std::copy(pgn, pgn + kPgnBytes, c.Pgn);
  return c;
}

HuxMessage ControlRecord(uint8_t channelBits, uint8_t source, uint8_t destination,
                         uint8_t priority, const ConnectionControl& control) {
  const auto payload = PayloadOf(control);
  return ControlFrame(channelBits, source, destination, kPfTransportControl, priority, payload);
}

HuxMessage DataPacketRecord(uint8_t channelBits, uint8_t source, uint8_t destination,
                            uint8_t priority, uint8_t sequence, const uint8_t* bytes) {
  std::array<uint8_t, 1 + kBytesPerPacket> payload;
  payload[0] = sequence;
  std::copy(bytes, bytes + kBytesPerPacket, payload.begin() + 1);
  return ControlFrame(channelBits, source, destination, kPfTransportData, priority, payload);
}

HuxMessage AddressClaimRecord(uint8_t channelBits, uint8_t address, const uint8_t* name) {
  HuxMessage m;
  EncodeAddressClaim(MsgJ1939Control, channelBits, address, name, m);
  return m;
}

uint64_t NameValue(const uint8_t* name) {
  uint64_t value = 0;
  for (size_t i = kNameBytes; i-- > 0;) value = value << 8 | name[i];
  return value;
}

uint16_t EncodeJ1939Message(const MessageHeader& h, std::span<const uint8_t> data,
                            std::span<uint8_t> out) {
  if (app::kJ1939Data + data.size() > out.size()) return 0;
  PutJ1939Header(h.ChannelBits, h.PduSpecific, h.PduFormat, h.PriorityDataPage, h.SourceAddress,
                 h.DestinationAddress, out);
  std::copy(data.begin(), data.end(), out.begin() + app::kJ1939Data);
  return static_cast<uint16_t>(app::kJ1939Data + data.size());
}

bool EncodeTransportRecord(const MessageHeader& h, std::span<const uint8_t> data,
                           HuxMessage& out) {
  if (data.size() > kMaxTransportBytes) return false;
  out.Type = MsgJ1939Transport;
  out.Length = static_cast<uint16_t>(kJ1939TransportFixed + data.size());
  out.Data[0] = h.ChannelBits;
  out.Data[1] = h.SourceAddress;
  out.Data[2] = h.DestinationAddress;
  out.Data[3] = h.PduSpecific;
  out.Data[4] = h.PduFormat;
  out.Data[5] = h.PriorityDataPage;
  std::copy(data.begin(), data.end(), out.Data + kJ1939TransportFixed);
  return true;
}

bool DecodeTransportResult(RecordView record, TransportResult& r) {
  const auto d = record.Data;
  if (d.size() < kTransportResultBytes) return false;
  r.Success = d[0] == kTransportResultSuccess;
  r.SourceAddress = d[1];
  r.DestinationAddress = d[2];
  r.Pgn = static_cast<uint32_t>(d[3] | d[4] << 8 | d[5] << 16);
  return true;
}

HuxMessage TransportResultRecord(const TransportResult& r) {
  HuxMessage m;
  m.Type = MsgTransportResult;
  m.Length = kTransportResultBytes;
  m.Data[0] = r.Success ? kTransportResultSuccess : 0;
  m.Data[1] = r.SourceAddress;
  m.Data[2] = r.DestinationAddress;
  m.Data[3] = static_cast<uint8_t>(r.Pgn & 0xFF);
  m.Data[4] = static_cast<uint8_t>(r.Pgn >> 8 & 0xFF);
  m.Data[5] = static_cast<uint8_t>(r.Pgn >> 16 & 0xFF);
  return m;
}

}  // namespace j1939

}  // namespace dral
