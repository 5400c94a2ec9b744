// The tests' handle on the fake D2XX library (see FakeFtd2xxControl.h): loads the library file
// that the FTDI link is pointed at (DRAL_FTD2XX_LIBRARY) and reaches its controls; and a front
// of the adapter simulator that appears as one FTDI device of that library.
//
// kFakeFtd2xxPath is the complete fake, kPartialFtd2xxPath the build without
// FT_SetLatencyTimer, kNoVidPidFtd2xxPath the build without FT_SetVIDPID.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "testsupport/AdapterSimulator.h"
#include "testsupport/FakeFtd2xxControl.h"
#include "testsupport/FakeModule.h"

namespace dral_test {

extern const char* const kFakeFtd2xxPath;
extern const char* const kPartialFtd2xxPath;
extern const char* const kNoVidPidFtd2xxPath;

// The adapter's USB ids as the device list reports them.
inline constexpr uint32_t kFtdiAdapterId = kFakeFtd2xxSocketDeviceId;

class FakeFtd2xx {
 public:
  // Loads the fake at `path` (throws std::runtime_error when it cannot) and resets it. Each
  // build of the fake has devices of its own: control the one the link loads.
  explicit FakeFtd2xx(const char* path = kFakeFtd2xxPath);
  // Resets the fake (no device left) and unloads it.
  ~FakeFtd2xx();
  FakeFtd2xx(const FakeFtd2xx&) = delete;
  FakeFtd2xx& operator=(const FakeFtd2xx&) = delete;

  // A device whose written bytes go nowhere (or to `sink`).
  int Add(uint32_t id, const std::string& serial, const std::string& description = "Adapter",
          FakeFtd2xxSink sink = nullptr, void* context = nullptr);
  void Remove(int key) { remove_(key); }
  void Push(int key, const Bytes& bytes) { push_(key, bytes.data(), bytes.size()); }
  void SetRefuseOpen(int key, bool refuse) { setRefuseOpen_(key, refuse ? 1 : 0); }
  void SetListFailure(bool fail) { setListFailure_(fail ? 1 : 0); }
  bool IsOpen(int key) const { return isOpen_(key) != 0; }
  size_t Pending(int key) const { return pending_(key); }
  // The recorded calls, one per element.
  std::vector<std::string> Log() const;
  void ClearLog();
  uint64_t StatusPolls() const { return statusPolls_(); }
  uint64_t StaleHandleCalls() const { return staleHandleCalls_(); }

 private:
  FakeModule module_;  // declared first: unloaded after the destructor's reset
  FakeFtd2xxAddFn add_ = nullptr;
  FakeFtd2xxRemoveFn remove_ = nullptr;
  FakeFtd2xxResetFn reset_ = nullptr;
  FakeFtd2xxPushFn push_ = nullptr;
  FakeFtd2xxSetRefuseOpenFn setRefuseOpen_ = nullptr;
  FakeFtd2xxSetListFailureFn setListFailure_ = nullptr;
  FakeFtd2xxIsOpenFn isOpen_ = nullptr;
  FakeFtd2xxPendingFn pending_ = nullptr;
  FakeFtd2xxLogFn log_ = nullptr;
  FakeFtd2xxCounterFn statusPolls_ = nullptr;
  FakeFtd2xxCounterFn staleHandleCalls_ = nullptr;
  size_t logMark_ = 0;  // ClearLog hides the lines before this
};

// The adapter simulator as one FTDI device of the fake library: the host's writes go to the
// model, the model's output is queued for the host's reads. Attaches in the constructor, and
// detaches and removes the device in the destructor.
class FtdiAdapterFront final : public AdapterTransport {
 public:
  FtdiAdapterFront(FakeFtd2xx& fake, AdapterSimulator& adapter, const std::string& serial,
                   uint32_t id = kFtdiAdapterId);
  ~FtdiAdapterFront() override;
  FtdiAdapterFront(const FtdiAdapterFront&) = delete;
  FtdiAdapterFront& operator=(const FtdiAdapterFront&) = delete;

  int Key() const { return key_; }
  void SendToHost(const uint8_t* bytes, size_t n) override;

 private:
  static void FromHost(void* context, const uint8_t* bytes, size_t n);

  FakeFtd2xx& fake_;
  AdapterSimulator& adapter_;
  int key_ = 0;
};

}  // namespace dral_test
