#include "channel/Codec.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "testsupport/test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
using dral::HuxMessage;
using dral_test::Le32;

// n bytes counting up from `first`.
Bytes Counting(size_t n, uint8_t first = 0) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes IdEdit(uint8_t bits, uint32_t mask, uint32_t value) {
  return Cat(Cat({bits}, Le32(mask)), Le32(value));
}

// ---- Application messages and filter records to server records ---------------------------------

enum class Source { Can, J1939, J1708, Raw, Filter };

struct EncodeCase {
  std::string What;
  Source From;
  // A message, or for Filter a filter record: operation, protocol, data.
  Bytes Input;
  std::optional<uint8_t> Type;  // none: refused
  Bytes Data;
};

// Encodes as the library does; a filter record goes to the setter its protocol nibble names.
std::optional<HuxMessage> Encode(const EncodeCase& c) {
  HuxMessage m{};
  const uint8_t* in = c.Input.data();
  const auto n = static_cast<uint16_t>(c.Input.size());
  bool ok = false;
  switch (c.From) {
    case Source::Can:
      ok = dral::EncodeCan(in, n, m);
      break;
    case Source::J1939:
      ok = dral::EncodeJ1939Frame(in, n, m);
      break;
    case Source::J1708:
      ok = dral::EncodeJ1708(in, n, m);
      break;
    case Source::Raw:
      ok = dral::EncodeRaw(in, n, m);
      break;
    case Source::Filter: {
      const uint8_t op = in[dral::app::kFilterOperation];
      const uint8_t protocol = in[dral::app::kFilterProtocol];
      const uint8_t* data = in + dral::app::kFilterData;
      switch (protocol & 0x0F) {
        case 1:
        case 4:
          ok = dral::EncodeCanFilter(data, op, protocol & 0x80, (protocol & 0x0F) == 1 ? 1 : 2, m);
          break;
        case 2:
        case 5:
          ok = dral::EncodeJ1939Filter(data, op, (protocol & 0x0F) == 2 ? 1 : 2, m);
          break;
        default:
          ok = dral::EncodeJ1708Filter(data, op, m);
      }
    }
  }
  if (!ok) return std::nullopt;
  return m;
}

Bytes J1708Message(size_t length) {
  Bytes m = Cat({3, 0x5A}, Counting(length - 2, 2));
  return m;
}

TEST(MessageCodec, EncodesApplicationMessagesAndFilterRecords) {
  const Bytes canRest = {0x21, 0x43, 0x65, 0x07, 0xDE, 0xAD};
  const Bytes canData = {1, 2, 3, 4, 5, 6, 7, 8};
  const Bytes big(2100, 0x20);
  auto head = [&](size_t n) { return Bytes(big.begin(), big.begin() + n); };
  const std::vector<EncodeCase> cases = {
      // CAN: the protocol selects channel and identifier form.
      {"CAN1 extended", Source::Can, Cat({0x01}, canRest), 0x20, Cat({0x11}, canRest)},
      {"CAN1 standard", Source::Can, Cat({0x81}, canRest), 0x20, Cat({0x01}, canRest)},
      {"CAN2 extended", Source::Can, Cat({0x04}, canRest), 0x20, Cat({0x12}, canRest)},
      {"CAN2 standard", Source::Can, Cat({0x84}, canRest), 0x20, Cat({0x02}, canRest)},
      // J1939: PF 0xEA (PDU1) takes the destination from byte 6; PDU2 sends the group
      // extension and masks the priority byte (broadcast bit and junk).
      {"J1939 PDU1", Source::J1939, {2, 0x00, 0xEA, 1, 6, 0x80, 0x21, 0xAA, 0xBB, 0xCC}, 0x30,
       {0x01, 0x80, 0x21, 0xEA, 6 << 2 | 1, 0xAA, 0xBB, 0xCC}},
      {"J1939 PDU2", Source::J1939, {5, 0xEC, 0xFE, 0x02, 0x83, 0x10, 0x21, 1, 2, 3, 4, 5, 6, 7, 8},
       0x30, {0x02, 0x10, 0xEC, 0xFE, 3 << 2, 1, 2, 3, 4, 5, 6, 7, 8}},
      // J1708: bit 8 of the byte count in bit 7 of Data[0].
      {"J1708 of 256 bytes", Source::J1708, J1708Message(258), 0x40,
       Cat({0x80, 0x5A, 0x00}, Counting(256, 2))},
      {"J1708 of 255 bytes", Source::J1708, J1708Message(257), 0x40,
       Cat({0x00, 0x5A, 0xFF}, Counting(255, 2))},
      {"raw with data", Source::Raw, {0x20, 0x08, 1, 2}, 0x08, {1, 2}},
      {"raw without data", Source::Raw, {0x20, 0x0C}, 0x0C, {}},
      {"raw of 2050 bytes", Source::Raw, head(2050), 0x20, Bytes(2048, 0x20)},
      // Lengths outside each range.
      {"CAN of 4", Source::Can, head(4), std::nullopt, {}},
      {"CAN of 14", Source::Can, head(14), std::nullopt, {}},
      {"J1939 of 6", Source::J1939, head(6), std::nullopt, {}},
      {"J1939 of 16 goes by transport", Source::J1939, head(16), std::nullopt, {}},
      {"J1708 of 2", Source::J1708, head(2), std::nullopt, {}},
      {"J1708 of 508", Source::J1708, head(508), std::nullopt, {}},
      {"raw of 1", Source::Raw, head(1), std::nullopt, {}},
      {"raw of 2051", Source::Raw, head(2051), std::nullopt, {}},
      // J1939 filters: fields PGN | destination; a PDU2 group matches no destination.
      {"J1939 PGN of PDU2", Source::Filter, {3, 2, 0x09, 0xCA, 0xFE, 1, 0, 0, 0x21}, 0x34,
       IdEdit(0x01, 0x01FFFF00, 0x01FECA00)},
      {"J1939 PGN of PDU1 and destination", Source::Filter, {4, 5, 0x09, 0xCA, 0xEF, 0, 0, 0, 0x21},
       0x34, IdEdit(0x02 + 4, 0x01FF0000 | 0x8000FF00, 0x00EF2100)},
      {"J1939 priority (masked) and source", Source::Filter, {3, 5, 0x06, 0, 0, 0, 0x0B, 0x42, 0},
       0x34, IdEdit(0x02, 0x1C0000FF, 3u << 26 | 0x42)},
      {"J1939 destination without PGN", Source::Filter, {3, 2, 0x08, 0, 0xFE, 0, 0, 0, 0x33}, 0x34,
       IdEdit(0x01, 0x8000FF00, 0x3300)},
      {"J1939 pass all", Source::Filter, {1, 2}, 0x34, {0x09}},
      {"J1939 block all", Source::Filter, {2, 5}, 0x34, {0x0E}},
      {"J1939 compares the whole operation byte", Source::Filter, {0x81, 2}, std::nullopt, {}},
      {"J1939 unknown operation", Source::Filter, {5, 2}, std::nullopt, {}},
      // J1708 filters.
      {"J1708 pass all", Source::Filter, {1, 3, 0x80}, 0x44, {2}},
      {"J1708 block all", Source::Filter, {2, 3, 0x80}, 0x44, {3}},
      {"J1708 pass", Source::Filter, {3, 3, 0x80}, 0x44, {0, 0x80}},
      {"J1708 block", Source::Filter, {4, 3, 0x80}, 0x44, {1, 0x80}},
      {"J1708 unknown operation", Source::Filter, {0, 3, 0x80}, std::nullopt, {}},
      // CAN filters: the standard flag of pass is on the protocol, that of block on the
      // operation; only the low nibble of the operation selects.
      {"CAN pass extended", Source::Filter, Cat({3, 1}, canData), 0x24, Cat({0x11}, canData)},
      {"CAN pass standard", Source::Filter, Cat({3, 0x81}, canData), 0x24, Cat({0x01}, canData)},
      {"CAN block ignores the pass flag", Source::Filter, Cat({4, 0x84}, canData), 0x24,
       Cat({0x16}, canData)},
      {"CAN block standard", Source::Filter, Cat({0x84, 4}, canData), 0x24, Cat({0x06}, canData)},
      {"CAN low nibble selects", Source::Filter, {0xF1, 4}, 0x24, {0x0A}},
      {"CAN block all", Source::Filter, {2, 1}, 0x24, {0x0D}},
      {"CAN unknown operation", Source::Filter, {5, 1}, std::nullopt, {}},
  };
  for (const EncodeCase& c : cases) {
    const auto m = Encode(c);
    ASSERT_EQ(m.has_value(), c.Type.has_value()) << c.What;
    if (!m) continue;
    EXPECT_EQ(m->Type, *c.Type) << c.What;
    EXPECT_EQ(Bytes(m->Data, m->Data + m->Length), c.Data) << c.What;
  }
}

// ---- Server records to application messages -------------------------------------------------

struct DecodeCase {
  std::string What;
  uint8_t Type;
  Bytes Data;
  Bytes Message;  // empty: yields none
};

TEST(MessageCodec, DecodesServerRecordsIntoApplicationMessages) {
  const Bytes rest = {0x78, 0x56, 0x34, 0x12, 0xAA, 0xBB};
  Bytes j1708Long = Counting(3 + 260, 0x40);
  j1708Long[0] = 0x80;  // bit 8 of the count
  j1708Long[1] = 0x5A;  // the adapter's header byte, replaced on receive
  j1708Long[2] = 4;
  // A raw-mode copy of another client's message: the count is one above the 10 bytes held.
  const Bytes j1708Bytes = Counting(10, 0x63);
  const Bytes j1708Whole = Cat({3, 0xFF}, j1708Bytes);
  Bytes j1939Longest = Counting(1999);
  j1939Longest[3] = 0xFE;
  const std::vector<DecodeCase> cases = {
      {"CAN1 extended", 0x20, Cat({0x11}, rest), Cat({0x01}, rest)},
      {"CAN1 standard", 0x20, Cat({0x01}, rest), Cat({0x81}, rest)},
      {"CAN2 extended", 0x20, Cat({0x12}, rest), Cat({0x04}, rest)},
      {"CAN2 standard", 0x20, Cat({0x02}, rest), Cat({0x84}, rest)},
      // Channel 2, SA 0x80, PS 0x21 (destination), PF 0xEA, priority 6 data page 1.
      {"J1939 PDU1 carries its destination", 0x30, {0x02, 0x80, 0x21, 0xEA, 6 << 2 | 1, 1, 2, 3},
       {5, 0x00, 0xEA, 1, 6, 0x80, 0x21, 1, 2, 3}},
      {"J1939 PDU2 carries its group extension", 0x30, {0x01, 0x00, 0xEC, 0xFE, 3 << 2, 9},
       {2, 0xEC, 0xFE, 0, 3, 0x00, 0xFF, 9}},
      {"transport of another client keeps its addresses", 0x37,
       {0x01, 0x11, 0x22, 0x00, 0xEF, 7 << 2 | 1, 5, 6}, {2, 0x00, 0xEF, 1, 7, 0x11, 0x22, 5, 6}},
      {"J1708 with bit 8 delivers 260 bytes", 0x40, j1708Long,
       Cat({3, 0xFF}, Bytes(j1708Long.begin() + 3, j1708Long.end()))},
      {"J1708 count beyond the record", 0x40, Cat({0, 0, 11}, j1708Bytes), j1708Whole},
      {"J1708 bit 8 beyond the record", 0x40, Cat({0x80, 0, 11}, j1708Bytes), j1708Whole},
      {"J1708 checksum after the count", 0x40, Cat(Cat({0, 0, 10}, j1708Bytes), {0x99}),
       j1708Whole},
      {"reply as raw", 0x01, {0x24, 1}, {0x20, 0x01, 0x24, 1}},
      {"empty reply as raw", 0x01, {}, {0x20, 0x01}},
      // Raw and J1939 frame: N + 2 bytes; transport: N + 1; 2001 is the limit, beyond it the
      // record is dropped, not cut.
      {"longest raw", 0x09, Counting(1999), Cat({0x20, 0x09}, Counting(1999))},
      {"raw beyond the limit", 0x09, Counting(2000), {}},
      {"reply beyond the limit", 0x01, Counting(2048), {}},
      {"J1939 beyond the limit", 0x30, Cat(j1939Longest, {0}), {}},
      {"transport beyond the limit", 0x37, Counting(2001), {}},
      // Short and undelivered records.
      {"short CAN", 0x20, {0x11, 1, 2, 3}, {}},
      {"short J1939", 0x30, {0x01, 1, 2, 0xFE}, {}},
      {"short transport", 0x37, {0x01, 1, 2, 3, 0xFE}, {}},
      {"short J1708", 0x40, {0, 0}, {}},
      {"version reply", 0x05, Counting(8), {}},
      {"J1939 control", 0x35, Counting(13), {}},
  };
  for (const DecodeCase& c : cases) {
    // Exactly the record's bytes and exactly the longest message: AddressSanitizer sees any
    // access beyond either.
    const std::vector<uint8_t> data = c.Data;
    std::vector<uint8_t> out(dral::app::kMaxReceivedLength);
    const uint16_t n = dral::DecodeServerMessage({c.Type, data}, out);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), c.Message) << c.What;
  }
  // The longest J1939 frame fits exactly (checked apart: its expected message is long).
  std::vector<uint8_t> out(dral::app::kMaxReceivedLength);
  EXPECT_EQ(dral::DecodeServerMessage({dral::MsgJ1939Frame, j1939Longest}, out), 2001u);
  // A HuxMessage whose Length field exceeds its room yields nothing.
  HuxMessage bad{};
  bad.Type = dral::MsgAdapterData09;
  bad.Length = dral::kHuxMaxData + 1;
  EXPECT_EQ(dral::DecodeServerMessage(bad, out.data()), 0u);
}

// ---- Records both sides read: filter edits, replies, J1939 frames -------------------------------

TEST(MessageCodec, FilterEditsReadBackAsWrittenAndShortOnesAreIncomplete) {
  using dral::IdFilterRequest;
  using dral::MidFilterRequest;
  for (const IdFilterRequest& r :
       {IdFilterRequest{1, dral::FilterOpPass, true, true, 0x1FFFFFFF, 0x18FEF100},
        IdFilterRequest{2, dral::FilterOpBlock, false, true, 0x7FF, 0x123},
        IdFilterRequest{3, dral::FilterOpBlockAll, false, true, 0, 0}}) {
    uint8_t data[sizeof(dral::IdFilterEdit)];
    const uint16_t n = dral::EncodeIdFilterEdit(r, data);
    EXPECT_EQ(dral::DecodeIdFilterEdit({dral::MsgCanFilter, {data, n}}), r);
  }
  const Bytes pass = IdEdit(0x11, 0xFF, 0x42);
  const auto cut = dral::DecodeIdFilterEdit({dral::MsgCanFilter, {pass.data(), 8}});
  EXPECT_EQ(cut.Channels, 1);
  EXPECT_FALSE(cut.Complete);
  EXPECT_EQ(cut.Mask, 0u);
  EXPECT_EQ(dral::DecodeIdFilterEdit({dral::MsgCanFilter, {}}).Channels, 0);

  for (const MidFilterRequest& r : {MidFilterRequest{dral::FilterOpBlock, 0x80, true},
                                    MidFilterRequest{dral::FilterOpPassAll, 0, true}}) {
    uint8_t data[sizeof(dral::MidFilterEdit)];
    const uint16_t n = dral::EncodeMidFilterEdit(r, data);
    EXPECT_EQ(dral::DecodeMidFilterEdit({dral::MsgJ1708Filter, {data, n}}), r);
  }
  const uint8_t passWithoutMid = dral::FilterOpPass;
  EXPECT_FALSE(dral::DecodeMidFilterEdit({dral::MsgJ1708Filter, {&passWithoutMid, 1}}).Complete);
  EXPECT_FALSE(dral::DecodeMidFilterEdit({dral::MsgJ1708Filter, {}}).Complete);
}

TEST(MessageCodec, RepliesAndJ1939FramesReadBackAsWritten) {
  uint8_t data[sizeof(dral::ReplyRecord)];
  EXPECT_EQ(dral::EncodeReply({0x34, dral::ReplyOk, dral::FilterErrListFull}, data), 2);
  EXPECT_EQ(Bytes(data, data + 2), (Bytes{0x34, 1}));
  EXPECT_EQ(dral::EncodeReply({0x34, dral::ReplyFailed, dral::FilterErrNotFound}, data), 6);
  EXPECT_EQ(Bytes(data, data + 6), (Bytes{0x34, 0, 2, 4, 0, 0}));
  dral::Reply reply;
  ASSERT_TRUE(dral::DecodeReply({dral::MsgReply, {data, 6}}, reply));
  EXPECT_EQ(reply.RequestType, 0x34);
  EXPECT_EQ(reply.Result, dral::ReplyFailed);
  EXPECT_EQ(reply.ErrorCode, dral::FilterErrNotFound);
  EXPECT_FALSE(dral::DecodeReply({dral::MsgReply, {data, 1}}, reply));

  // A TP.CM clear-to-send as the transport code builds it.
  const Bytes payload = {17, 4, 1, 0xFF, 0xFF, 0x00, 0xEF, 0x00};
  dral::J1939Frame frame;
  frame.ChannelBits = dral::kChannelBit2;
  frame.SourceAddress = 0x21;
  frame.PduSpecific = 0x80;
  frame.PduFormat = 0xEC;
  frame.Priority = 7;
  frame.DataPage = 0;
  frame.Payload = payload;
  HuxMessage m{};
  ASSERT_TRUE(dral::EncodeJ1939Record(dral::MsgJ1939Control, frame, m));
  EXPECT_EQ(m.Type, dral::MsgJ1939Control);
  EXPECT_EQ(Bytes(m.Data, m.Data + m.Length), Cat({0x02, 0x21, 0x80, 0xEC, 7 << 2}, payload));
  dral::J1939Frame back;
  ASSERT_TRUE(dral::DecodeJ1939Frame(dral::ViewOf(m), back));
  EXPECT_EQ(back.SourceAddress, 0x21);
  EXPECT_EQ(back.PduSpecific, 0x80);
  EXPECT_EQ(back.Priority, 7);
  EXPECT_EQ(Bytes(back.Payload.begin(), back.Payload.end()), payload);
  EXPECT_FALSE(dral::DecodeJ1939Frame({dral::MsgJ1939Control, {m.Data, 4}}, back));
  const Bytes tooLong(dral::kHuxMaxData, 0);
  frame.Payload = tooLong;
  EXPECT_FALSE(dral::EncodeJ1939Record(dral::MsgJ1939Control, frame, m));
}

}  // namespace
