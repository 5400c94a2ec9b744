// Helpers of the device-link tests: device folders, a receive-handler recorder and a
// device registrar that plays the main window's part.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "classlib/Closure.h"
#include "links/Conduit.h"
#include "links/DeviceRegistrar.h"
#include "plat/device_interface.h"
#include "plat/device_notice.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace dral_test {

using Clock = std::chrono::steady_clock;

// The path of entry `name` in the folder of `classGuid` (the folder is created).
inline std::string DeviceEntry(const char* classGuid, const std::string& name) {
  const std::string folder = plat::DeviceInterfaceFolder(classGuid);
  std::filesystem::create_directories(folder);
  return folder + "/" + name;
}

// A receive handler that keeps every byte it is given.
class Received {
 public:
  dral::ReceiveHandler Handler() { return dral::ReceiveHandler::Of<&Received::OnReceive>(this); }

  void OnReceive(const uint8_t* buf, int len) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_.insert(bytes_.end(), buf, buf + len);
    blocks_.push_back(len);
    ++calls_;
    cv_.notify_all();
  }
  // Waits up to `timeoutMs` until at least `n` bytes have arrived.
  bool WaitForBytes(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return bytes_.size() >= n; });
  }
  std::vector<uint8_t> Bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  int Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // The length of each block, in order of arrival.
  std::vector<int> Blocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_;
  }

 private:
  mutable std::mutex mutex_;  // guards bytes_, blocks_ and calls_
  std::condition_variable cv_;
  std::vector<uint8_t> bytes_;
  std::vector<int> blocks_;
  int calls_ = 0;
};

// The main window's part for the links: watches the registered device with the device layer's
// notice source and calls the removal handler on a thread of its own (the "main thread"),
// never after the registration has ended. Installs itself as the process-wide registrar while
// it lives; destroy it only after the links.
class TestRegistrar final : public dral::TDeviceRegistrar {
 public:
  TestRegistrar() {
    source_.SetDeviceNoticeSink(
        [this](const plat::DeviceNotice& notice) { Post(notice.Notification); });
    main_ = std::thread([this] { MainLoop(); });
    dral::SetDeviceRegistrar(this);
  }
  ~TestRegistrar() {
    dral::SetDeviceRegistrar(nullptr);
    source_.SetDeviceNoticeSink({});
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    main_.join();
  }
  TestRegistrar(const TestRegistrar&) = delete;
  TestRegistrar& operator=(const TestRegistrar&) = delete;

  void RegisterDeviceHandle(plat::DeviceHandle device, dral::TNotifyEvent handler) override {
    handler_.Set(handler);
    uint32_t error = 0;
    const plat::DeviceNotifyHandle fresh = source_.RegisterDeviceHandle(device, 0, &error);
    plat::DeviceNotifyHandle previous = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      previous = current_;
      current_ = fresh;
      device_ = device;
    }
    if (previous != 0) source_.Unregister(previous);
    registrations_.fetch_add(1);
  }

  void UnregisterDeviceHandle(plat::DeviceHandle device) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (device == 0 || device != device_) return;  // another link's registration
    }
    UnregisterDeviceHandle();
  }

  void UnregisterDeviceHandle() override {
    plat::DeviceNotifyHandle previous = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      previous = current_;
      current_ = 0;
      device_ = 0;
    }
    if (previous != 0) source_.Unregister(previous);
    handler_.Clear();
    unregistrations_.fetch_add(1);
  }

  // Delivers a removal notice for the current registration, as the window would for a
  // device-change message.
  void NotifyRemoval() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ != 0) Push(current_);
  }

  int Registrations() const { return registrations_.load(); }
  int Unregistrations() const { return unregistrations_.load(); }
  int HandlerCalls() const { return handlerCalls_.load(); }
  plat::DeviceHandle Device() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
  }
  bool Registered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_ != 0;
  }

 private:
  void Post(plat::DeviceNotifyHandle notification) {
    std::lock_guard<std::mutex> lock(mutex_);
    Push(notification);
  }
  void Push(plat::DeviceNotifyHandle notification) {
    queue_.push_back(notification);
    cv_.notify_all();
  }
  void MainLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      if (queue_.empty()) {
        cv_.wait_for(lock, std::chrono::milliseconds(100));
        continue;
      }
      const plat::DeviceNotifyHandle notification = queue_.front();
      queue_.pop_front();
      if (notification == 0 || notification != current_) continue;  // ended meanwhile
      lock.unlock();
      if (handler_.Call(nullptr)) handlerCalls_.fetch_add(1);
      lock.lock();
    }
  }

  mutable std::mutex mutex_;  // guards current_, device_, queue_, stop_
  std::condition_variable cv_;
  plat::DeviceNotifyHandle current_ = 0;
  plat::DeviceHandle device_ = 0;
  std::deque<plat::DeviceNotifyHandle> queue_;
  bool stop_ = false;
  cls::AtomicClosure<void(void* sender)> handler_;
  std::atomic<int> registrations_{0};
  std::atomic<int> unregistrations_{0};
  std::atomic<int> handlerCalls_{0};
  plat::DeviceNoticeSource source_;
  std::thread main_;
};

// Bytes cross a connected link both ways: the adapter's reach a handler installed now, the
// host's reach the adapter.
inline void ExpectTrafficBothWays(dral::TConduit& link, AdapterSimulator& adapter, int timeoutMs) {
  Received received;
  link.SetReceiveHandler(received.Handler());
  adapter.InjectBytes({0x11, 0x22, 0x33});
  EXPECT_TRUE(received.WaitForBytes(3, timeoutMs));
  const uint8_t out[] = {0x7E, 0x01, 0x7E};
  EXPECT_EQ(link.Write(out, sizeof out), 3);
  EXPECT_TRUE(WaitUntil([&] { return adapter.BytesFromHost().size() >= 3; }, timeoutMs));
}

}  // namespace dral_test
