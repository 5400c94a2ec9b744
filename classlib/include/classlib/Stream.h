// The class library's byte streams: an abstract stream and a stream held in memory.
#pragma once

#include <cstdint>
#include <vector>

namespace cls {

enum class TSeekOrigin : uint8_t { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to `count` bytes; returns how many were read (0 at the end).
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes up to `count` bytes; returns how many were written.
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
  // The size: the end position (the position is kept).
  int64_t Size();
};

// A stream over a growing block of memory. Seeking is clamped to 0..Size.
class TMemoryStream : public TStream {
 public:
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  const std::vector<uint8_t>& Memory() const { return data_; }
  void Clear();

 private:
  std::vector<uint8_t> data_;
  size_t position_ = 0;
};

}  // namespace cls
