// Runs every decoder of the message codec on a record whose type and data the input chooses,
// the way any local process may write a record into a ring, and checks:
//  - no decoder reads past the record or writes past its output (both are heap buffers of
//    exactly their size, so AddressSanitizer reports any access beyond them);
//  - a decoded application message is at most the output's size and, for the frame types,
//    begins with a protocol its type can yield;
//  - a complete filter edit, written again, reads back the same; a reply and a J1939 frame
//    likewise.
// Any mismatch aborts, so the fuzzer reports it as a crash.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

#include "channel/Codec.h"

namespace {

using dral::RecordView;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "codec_fuzz: %s\n", what);
  std::abort();
}

void CheckServerMessage(RecordView record) {
  // Also an output one byte short of the longest message, so the bound on `out` is exercised.
  for (const size_t room : {size_t{dral::app::kMaxReceivedLength},
                            size_t{dral::app::kMaxReceivedLength - 1}}) {
    const auto out = std::make_unique<uint8_t[]>(room);
    const uint16_t n = dral::DecodeServerMessage(record, {out.get(), room});
    if (n > room) Fail("decoded message longer than its output");
    if (n == 0) continue;
    const uint8_t protocol = out[0];
    switch (record.Type) {
      case dral::MsgCanFrame:
        if ((protocol & 0x7F) != dral::app::kProtocolCan1 &&
            (protocol & 0x7F) != dral::app::kProtocolCan2) {
          Fail("CAN record gave another protocol");
        }
        break;
      case dral::MsgJ1939Frame:
      case dral::MsgJ1939Transport:
        if (protocol != dral::app::kProtocolJ1939Can1 &&
            protocol != dral::app::kProtocolJ1939Can2) {
          Fail("J1939 record gave another protocol");
        }
        break;
      case dral::MsgJ1708Frame:
        if (protocol != dral::app::kProtocolJ1708) Fail("J1708 record gave another protocol");
        break;
      default:
        if (protocol != dral::app::kProtocolRaw || out[1] != record.Type) {
          Fail("record gave no raw message of its type");
        }
    }
  }
}

void CheckFilterEdits(RecordView record) {
  const dral::IdFilterRequest id = dral::DecodeIdFilterEdit(record);
  if (id.Complete) {
    uint8_t data[sizeof(dral::IdFilterEdit)];
    const uint16_t n = dral::EncodeIdFilterEdit(id, data);
    if (n > record.Data.size()) Fail("complete ID edit longer than its record");
    if (!(dral::DecodeIdFilterEdit({record.Type, {data, n}}) == id)) Fail("ID edit round trip");
  }
  const dral::MidFilterRequest mid = dral::DecodeMidFilterEdit(record);
  if (mid.Complete) {
    uint8_t data[sizeof(dral::MidFilterEdit)];
    const uint16_t n = dral::EncodeMidFilterEdit(mid, data);
    if (n > record.Data.size()) Fail("complete MID edit longer than its record");
    if (!(dral::DecodeMidFilterEdit({record.Type, {data, n}}) == mid)) Fail("MID edit round trip");
  }
}

void CheckReplyAndFrame(RecordView record) {
  dral::Reply reply;
  if (dral::DecodeReply(record, reply)) {
    uint8_t data[sizeof(dral::ReplyRecord)];
    const uint16_t n = dral::EncodeReply(reply, data);
    dral::Reply back;
    if (!dral::DecodeReply({dral::MsgReply, {data, n}}, back) ||
        back.RequestType != reply.RequestType || back.Result != reply.Result) {
      Fail("reply round trip");
    }
  }
  dral::J1939Frame frame;
  if (dral::DecodeJ1939Frame(record, frame)) {
    if (frame.Payload.data() < record.Data.data() ||
        frame.Payload.data() + frame.Payload.size() > record.Data.data() + record.Data.size()) {
      Fail("J1939 payload outside its record");
    }
    auto m = std::make_unique<dral::HuxMessage>();
    if (!dral::EncodeJ1939Record(record.Type, frame, *m)) Fail("J1939 frame not written again");
    if (m->Length != record.Data.size()) Fail("J1939 frame changed its length");
    dral::J1939Frame back;
    if (!dral::DecodeJ1939Frame(dral::ViewOf(*m), back) ||
        back.SourceAddress != frame.SourceAddress || back.PduFormat != frame.PduFormat ||
        back.Priority != frame.Priority || back.DataPage != frame.DataPage ||
        !std::equal(back.Payload.begin(), back.Payload.end(), frame.Payload.begin(),
                    frame.Payload.end())) {
      Fail("J1939 frame round trip");
    }
  }
}

}  // namespace

// Input: the record's type, then its data (at most the longest Data a record holds).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 1) return 0;
  const size_t length = std::min<size_t>(size - 1, dral::kHuxMaxData);
  // A copy of exactly the record's bytes: a read past them is reported.
  const auto data = std::make_unique<uint8_t[]>(length);
  std::copy(input + 1, input + 1 + length, data.get());
  const RecordView record{input[0], {data.get(), length}};
  CheckServerMessage(record);
  CheckFilterEdits(record);
  CheckReplyAndFrame(record);
  return 0;
}
