// Runs the channel's ring and slot operations on a block whose bytes the input chooses, the way
// any local process may write the shared block, and checks:
//  - no operation reads or writes outside the block (the memory after it is poisoned, so
//    AddressSanitizer reports any access as far as a 16-bit index can reach);
//  - a ring operation writes nothing outside its ring, a slot operation nothing outside its
//    slot and the slot mask, the repair nothing in the header but the slot mask;
//  - after any ring operation the ring's indices lie inside its buffer, a found record holds at
//    most kHuxMaxData bytes, and a count just checked stays the same when checked again;
//  - after the repair every ring is sound (checking it again empties none).
// Any mismatch aborts, so the fuzzer reports it as a crash.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "channel/HuxIPC.h"

namespace {

using dral::ChannelBlock;
using dral::ClientSlot;
using dral::HuxMessage;
using dral::MessageRing;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "channel_fuzz: %s\n", what);
  std::abort();
}

// The farthest past a ring's buffer that an unchecked 16-bit index plus the longest record
// could reach.
constexpr size_t kReach = 0x10000 + dral::kHuxRecordHeader + dral::kHuxMaxData;

// The block, followed by poisoned memory that covers that reach from the last ring.
class GuardedBlock {
 public:
  GuardedBlock() : memory_(new uint8_t[kSize]) {
    ASAN_POISON_MEMORY_REGION(memory_.get() + sizeof(ChannelBlock), kReach);
  }
  ~GuardedBlock() { ASAN_UNPOISON_MEMORY_REGION(memory_.get() + sizeof(ChannelBlock), kReach); }
  GuardedBlock(const GuardedBlock&) = delete;
  GuardedBlock& operator=(const GuardedBlock&) = delete;

  ChannelBlock& Block() { return *reinterpret_cast<ChannelBlock*>(memory_.get()); }
  uint8_t* Bytes() { return memory_.get(); }

  // A block as its creator leaves it: every slot free with empty rings and filters.
  void Initialise() {
    std::memset(memory_.get(), 0, sizeof(ChannelBlock));
    for (int n = 0; n < dral::kSlotCount; ++n) dral::ReleaseSlotLocked(Block(), n);
  }

 private:
  static constexpr size_t kSize = sizeof(ChannelBlock) + kReach;
  std::unique_ptr<uint8_t[]> memory_;  // new[] aligns for any field of the block
};

GuardedBlock& TheBlock() {
  static GuardedBlock* const block = new GuardedBlock;  // lives for the whole run
  return *block;
}

// Byte offsets of a part of the block.
struct Range {
  size_t Begin;
  size_t End;
};

template <typename T>
Range RangeOf(ChannelBlock& block, const T& part) {
  const size_t begin = static_cast<size_t>(reinterpret_cast<const uint8_t*>(&part) -
                                           reinterpret_cast<const uint8_t*>(&block));
  return {begin, begin + sizeof(T)};
}

Range SlotMaskRange(ChannelBlock& block) {
  return RangeOf(block, block.Header.SlotMask);
}

// What an operation may change, compared before and after it over a window of the block. The
// copy is kept at the block's own offsets in one buffer that lives for the whole run (large
// allocations per operation would cost more than the operations).
class ChangeCheck {
 public:
  ChangeCheck(GuardedBlock& guarded, Range window) : guarded_(guarded), window_(window) {
    std::memcpy(Before() + window.Begin, guarded.Bytes() + window.Begin, window.End - window.Begin);
  }
  // Fails when a byte of the window outside `allowed` (ascending, not overlapping) changed.
  void Expect(std::initializer_list<Range> allowed, const char* what) const {
    const uint8_t* now = guarded_.Bytes();
    size_t from = window_.Begin;
    const auto same = [&](size_t end) {
      end = std::min(end, window_.End);
      return from >= end || std::memcmp(now + from, Before() + from, end - from) == 0;
    };
    for (const Range& r : allowed) {
      if (!same(r.Begin)) Fail(what);
      from = std::max(from, r.End);
    }
    if (!same(window_.End)) Fail(what);
  }

 private:
  static uint8_t* Before() {
    static uint8_t* const copy = new uint8_t[sizeof(ChannelBlock)];
    return copy;
  }

  GuardedBlock& guarded_;
  Range window_;
};

// The message of an operation: a global, so AddressSanitizer guards its end.
HuxMessage gMessage;

MessageRing& PickRing(ChannelBlock& block, FuzzedDataProvider& in) {
  ClientSlot& slot = block.Slots[in.ConsumeIntegralInRange<int>(0, dral::kSlotCount - 1)];
  return in.ConsumeBool() ? slot.ToServer : slot.ToClient;
}

void ExpectSoundIndices(const MessageRing& ring) {
  if (ring.ReadIndex.load() >= dral::kRingBufferSize ||
      ring.WriteIndex.load() >= dral::kRingBufferSize) {
    Fail("ring index left outside the buffer");
  }
}

// One ring operation, checked.
void RingOperation(GuardedBlock& guarded, uint8_t op, FuzzedDataProvider& in) {
  ChannelBlock& block = guarded.Block();
  MessageRing& ring = PickRing(block, in);
  const Range own = RangeOf(block, ring);
  // An unchecked index reaches at most kReach past the buffer's start.
  const Range window{own.Begin, std::min(own.Begin + kReach + 8, sizeof(ChannelBlock))};
  const ChangeCheck check(guarded, window);
  switch (op) {
    case 0: {
      gMessage.Type = in.ConsumeIntegral<uint8_t>();
      gMessage.Length = in.ConsumeIntegralInRange<uint16_t>(0, dral::kHuxMaxData + 2);
      std::memset(gMessage.Data, in.ConsumeIntegral<uint8_t>(), sizeof gMessage.Data);
      dral::RingPutLocked(ring, gMessage);
      break;
    }
    case 1: {
      uint16_t position = 0;
      uint16_t length = 0;
      if (dral::RingPeekLocked(ring, &position, &length)) {
        if (length > dral::kHuxMaxData || position >= dral::kRingBufferSize) {
          Fail("Peek found a record it cannot hand out");
        }
        dral::RingCopyRecord(ring, position, length, &gMessage);
      }
      break;
    }
    case 2:
      dral::RingRemoveLocked(ring);
      break;
    default: {
      const uint16_t count = dral::RingCountLocked(ring);
      const uint16_t readIndex = ring.ReadIndex.load();
      if (dral::RingCountLocked(ring) != count || ring.ReadIndex.load() != readIndex) {
        Fail("a checked count did not hold");
      }
      break;
    }
  }
  check.Expect({own}, "a ring operation wrote outside its ring");
  ExpectSoundIndices(ring);
}

// Writes input bytes into the block the way a foreign process would.
void Scribble(ChannelBlock& block, uint8_t kind, FuzzedDataProvider& in) {
  switch (kind) {
    case 0: {  // a ring's indices or count
      MessageRing& ring = PickRing(block, in);
      const uint16_t value = in.ConsumeIntegral<uint16_t>();
      switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
          ring.ReadIndex = value;
          break;
        case 1:
          ring.WriteIndex = value;
          break;
        default:
          ring.Count = value;
          break;
      }
      break;
    }
    case 1: {  // bytes of a ring's buffer
      MessageRing& ring = PickRing(block, in);
      uint16_t position = in.ConsumeIntegralInRange<uint16_t>(0, dral::kRingBufferSize - 1);
      for (uint8_t n = in.ConsumeIntegralInRange<uint8_t>(1, 8); n > 0; --n) {
        ring.Buffer[position] = in.ConsumeIntegral<uint8_t>();
        position = static_cast<uint16_t>((position + 1) % dral::kRingBufferSize);
      }
      break;
    }
    case 2:
      block.Header.SlotMask = in.ConsumeIntegral<uint16_t>();
      break;
    case 3:
      block.Slots[in.ConsumeIntegralInRange<int>(0, dral::kSlotCount - 1)].SlotId =
          in.ConsumeIntegral<int16_t>();
      break;
    default: {  // any bytes anywhere
      const size_t offset = in.ConsumeIntegralInRange<size_t>(0, sizeof(ChannelBlock) - 1);
      const auto bytes =
          in.ConsumeBytes<uint8_t>(std::min<size_t>(16, sizeof(ChannelBlock) - offset));
      if (!bytes.empty()) {
        std::memcpy(reinterpret_cast<uint8_t*>(&block) + offset, bytes.data(), bytes.size());
      }
      break;
    }
  }
}

void SlotOperation(GuardedBlock& guarded, bool take, FuzzedDataProvider& in) {
  ChannelBlock& block = guarded.Block();
  const int n = in.ConsumeIntegralInRange<int>(-1, dral::kSlotCount);
  const ChangeCheck check(guarded, {0, sizeof(ChannelBlock)});
  Range slot{0, 0};
  if (n >= 0 && n < dral::kSlotCount) slot = RangeOf(block, block.Slots[n]);
  if (take) {
    if (dral::TakeSlotLocked(block, n) &&
        ((block.Header.SlotMask.load() & (1u << n)) == 0 || block.Slots[n].SlotId.load() != n)) {
      Fail("a taken slot is not marked as taken");
    }
  } else {
    dral::ReleaseSlotLocked(block, n);
  }
  check.Expect({SlotMaskRange(block), slot}, "a slot operation wrote outside its slot");
}

void Repair(GuardedBlock& guarded) {
  ChannelBlock& block = guarded.Block();
  const ChangeCheck check(guarded, {0, sizeof(ChannelBlock)});
  dral::RepairBlockLocked(block);
  check.Expect({SlotMaskRange(block), {sizeof(dral::ChannelHeader), sizeof(ChannelBlock)}},
               "the repair wrote into the header");
  for (ClientSlot& slot : block.Slots) {
    for (MessageRing* ring : {&slot.ToServer, &slot.ToClient}) {
      ExpectSoundIndices(*ring);
      const uint16_t readIndex = ring->ReadIndex.load();
      const uint16_t count = ring->Count.load();
      if (dral::RingCountLocked(*ring) != count || ring->ReadIndex.load() != readIndex) {
        Fail("the repair left a damaged ring");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  GuardedBlock& guarded = TheBlock();
  guarded.Initialise();
  FuzzedDataProvider in(data, size);
  constexpr int kMaxSteps = 64;
  for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
    const uint8_t op = in.ConsumeIntegralInRange<uint8_t>(0, 11);
    if (op < 4) {
      RingOperation(guarded, op, in);
    } else if (op < 9) {
      Scribble(guarded.Block(), static_cast<uint8_t>(op - 4), in);
    } else if (op < 11) {
      SlotOperation(guarded, op == 9, in);
    } else {
      Repair(guarded);
    }
  }
  return 0;
}
