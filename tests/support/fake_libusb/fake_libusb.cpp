// A stand-in for libusb-1.0: the entry points the WinUSB library uses, over simulated devices
// that the tests add through the FakeLibusb_* controls (testsupport/FakeLibusbControl.h).
#include <libusb.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "testsupport/FakeLibusbControl.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

struct libusb_context {
  std::condition_variable Cv;             // Ready, Cancelling or Interrupted changed
  std::deque<libusb_transfer*> Ready;     // completed, callbacks not yet run
  // Cancelled, given back one pass of event handling later (the kernel gives a cancelled
  // transfer back some time after it was asked to).
  std::deque<libusb_transfer*> Cancelling;
  bool Interrupted = false;
  int InEvents = 0;                       // threads inside libusb_handle_events_timeout
  int Handles = 0;                        // open device handles
};

struct libusb_device {
  int Key = 0;
};

struct libusb_device_handle {
  libusb_context* Context = nullptr;
  libusb_device Device;
};

namespace {

struct Device {
  dev_t Node = 0;
  std::vector<uint8_t> Config;
  bool Gone = false;
  int Claimed = -1;
  std::map<uint8_t, std::deque<std::vector<uint8_t>>> In;
  std::deque<std::pair<uint8_t, std::vector<uint8_t>>> Out;
  std::map<uint8_t, std::deque<int>> Failures;  // statuses for the next transfers
};

struct ConfigHolder {
  libusb_config_descriptor Config{};
  std::vector<libusb_interface> Interfaces;
  std::vector<std::vector<libusb_interface_descriptor>> Settings;            // [interface][alt]
  std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> Endpoints;  // [..][..][ep]
};

struct State {
  std::mutex Mutex;  // guards everything
  std::map<int, Device> Devices;
  int NextKey = 1;
  std::list<libusb_transfer*> Pending;  // submitted, not yet completed
  std::set<libusb_context*> Contexts;   // initialised, not yet ended
  std::map<const libusb_config_descriptor*, std::unique_ptr<ConfigHolder>> Configs;
  int Live = 0;
  int Misuse = 0;
  bool NoDiscovery = false;
};

State& S() {
  static State state;
  return state;
}

Device* DeviceOf(libusb_device_handle* handle) {
  const auto it = S().Devices.find(handle->Device.Key);
  return it == S().Devices.end() ? nullptr : &it->second;
}

// Completes a pending transfer: its callback runs in the context's next event handling.
void CompleteLocked(libusb_transfer* t, libusb_transfer_status status, int length) {
  S().Pending.remove(t);
  t->status = status;
  t->actual_length = length;
  libusb_context* context = t->dev_handle->Context;
  context->Ready.push_back(t);
  context->Cv.notify_all();
}

// Moves the device's pending transfers forward, oldest first.
void MatchLocked(int key) {
  const auto found = S().Devices.find(key);
  if (found == S().Devices.end()) return;
  Device& d = found->second;
  const std::vector<libusb_transfer*> pending(S().Pending.begin(), S().Pending.end());
  for (libusb_transfer* t : pending) {
    if (t->dev_handle->Device.Key != key) continue;
    const uint8_t ep = t->endpoint;
    if (d.Gone) {
      CompleteLocked(t, LIBUSB_TRANSFER_NO_DEVICE, 0);
    } else if (auto& f = d.Failures[ep]; !f.empty()) {
      const auto status = static_cast<libusb_transfer_status>(f.front());
      f.pop_front();
      CompleteLocked(t, status, 0);
    } else if ((ep & LIBUSB_ENDPOINT_IN) == 0) {
      d.Out.emplace_back(ep, std::vector<uint8_t>(t->buffer, t->buffer + t->length));
      CompleteLocked(t, LIBUSB_TRANSFER_COMPLETED, t->length);
    } else if (auto& box = d.In[ep]; !box.empty()) {
      const std::vector<uint8_t> packet = std::move(box.front());
      box.pop_front();
      const size_t n = std::min(packet.size(), static_cast<size_t>(t->length));
      std::memcpy(t->buffer, packet.data(), n);
      CompleteLocked(t, packet.size() > n ? LIBUSB_TRANSFER_OVERFLOW : LIBUSB_TRANSFER_COMPLETED,
                     static_cast<int>(n));
    }
  }
}

// The raw configuration descriptor as libusb's structures; null when malformed.
std::unique_ptr<ConfigHolder> Parse(const std::vector<uint8_t>& raw) {
  auto h = std::make_unique<ConfigHolder>();
  size_t at = 0;
  int iface = -1;
  bool sawConfig = false;
  while (at + 2 <= raw.size()) {
    const uint8_t len = raw[at];
    const uint8_t type = raw[at + 1];
    if (len < 2 || at + len > raw.size()) return nullptr;
    const uint8_t* p = raw.data() + at;
    if (type == LIBUSB_DT_CONFIG && len >= LIBUSB_DT_CONFIG_SIZE && !sawConfig) {
      sawConfig = true;
      h->Config.bLength = p[0];
      h->Config.bDescriptorType = p[1];
      h->Config.wTotalLength = static_cast<uint16_t>(p[2] | (p[3] << 8));
      h->Config.bNumInterfaces = p[4];
      h->Config.bConfigurationValue = p[5];
      h->Config.iConfiguration = p[6];
      h->Config.bmAttributes = p[7];
      h->Config.MaxPower = p[8];
    } else if (type == LIBUSB_DT_INTERFACE && len >= LIBUSB_DT_INTERFACE_SIZE && sawConfig) {
      libusb_interface_descriptor d{};
      d.bLength = p[0];
      d.bDescriptorType = p[1];
      d.bInterfaceNumber = p[2];
      d.bAlternateSetting = p[3];
      d.bNumEndpoints = p[4];
      d.bInterfaceClass = p[5];
      d.bInterfaceSubClass = p[6];
      d.bInterfaceProtocol = p[7];
      d.iInterface = p[8];
      iface = -1;
      for (size_t i = 0; i < h->Settings.size(); ++i) {
        if (h->Settings[i].front().bInterfaceNumber == d.bInterfaceNumber) iface = int(i);
      }
      if (iface < 0) {
        iface = static_cast<int>(h->Settings.size());
        h->Settings.emplace_back();
        h->Endpoints.emplace_back();
      }
      h->Settings[size_t(iface)].push_back(d);
      h->Endpoints[size_t(iface)].emplace_back();
    } else if (type == LIBUSB_DT_ENDPOINT && len >= LIBUSB_DT_ENDPOINT_SIZE && iface >= 0) {
      libusb_endpoint_descriptor e{};
      e.bLength = p[0];
      e.bDescriptorType = p[1];
      e.bEndpointAddress = p[2];
      e.bmAttributes = p[3];
      e.wMaxPacketSize = static_cast<uint16_t>(p[4] | (p[5] << 8));
      e.bInterval = p[6];
      h->Endpoints[size_t(iface)].back().push_back(e);
    } else {
      return nullptr;
    }
    at += len;
  }
  if (!sawConfig || h->Settings.size() != h->Config.bNumInterfaces) return nullptr;
  for (size_t i = 0; i < h->Settings.size(); ++i) {
    for (size_t a = 0; a < h->Settings[i].size(); ++a) {
      if (h->Endpoints[i][a].size() != h->Settings[i][a].bNumEndpoints) return nullptr;
      h->Settings[i][a].endpoint = h->Endpoints[i][a].data();
    }
    h->Interfaces.push_back({h->Settings[i].data(), static_cast<int>(h->Settings[i].size())});
  }
  h->Config.interface = h->Interfaces.data();
  return h;
}

}  // namespace

// ---- controls ---------------------------------------------------------------------------------

FAKE_EXPORT int FakeLibusb_Add(const char* nodePath, const uint8_t* config, size_t n) {
  struct stat st {};
  if (!nodePath || stat(nodePath, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
  std::lock_guard<std::mutex> lock(S().Mutex);
  const int key = S().NextKey++;
  Device& d = S().Devices[key];
  d.Node = st.st_rdev;
  d.Config.assign(config, config + n);
  return key;
}

FAKE_EXPORT void FakeLibusb_Push(int key, uint8_t endpoint, const uint8_t* bytes, size_t n) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Devices.find(key);
  if (it == S().Devices.end()) return;
  it->second.In[endpoint].emplace_back(bytes, bytes + n);
  MatchLocked(key);
}

FAKE_EXPORT void FakeLibusb_FailTransfer(int key, uint8_t endpoint, int status) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Devices.find(key);
  if (it == S().Devices.end()) return;
  it->second.Failures[endpoint].push_back(status);
  MatchLocked(key);
}

FAKE_EXPORT void FakeLibusb_Vanish(int key) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Devices.find(key);
  if (it == S().Devices.end()) return;
  it->second.Gone = true;
  MatchLocked(key);
}

FAKE_EXPORT int FakeLibusb_TakeWritten(int key, uint8_t* endpoint, uint8_t* buffer, size_t size) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Devices.find(key);
  if (it == S().Devices.end() || it->second.Out.empty()) return -1;
  auto [ep, bytes] = std::move(it->second.Out.front());
  it->second.Out.pop_front();
  if (endpoint) *endpoint = ep;
  if (buffer) std::memcpy(buffer, bytes.data(), std::min(size, bytes.size()));
  return static_cast<int>(bytes.size());
}

FAKE_EXPORT int FakeLibusb_Claimed(int key) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Devices.find(key);
  return it == S().Devices.end() ? -1 : it->second.Claimed;
}

FAKE_EXPORT int FakeLibusb_Pending(int key) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  return static_cast<int>(std::count_if(S().Pending.begin(), S().Pending.end(),
                                        [&](libusb_transfer* t) {
                                          return t->dev_handle->Device.Key == key;
                                        }));
}

FAKE_EXPORT int FakeLibusb_Live() {
  std::lock_guard<std::mutex> lock(S().Mutex);
  return S().Live;
}

FAKE_EXPORT int FakeLibusb_Misuse() {
  std::lock_guard<std::mutex> lock(S().Mutex);
  return S().Misuse;
}

FAKE_EXPORT int FakeLibusb_NoDiscovery() {
  std::lock_guard<std::mutex> lock(S().Mutex);
  return S().NoDiscovery ? 1 : 0;
}

FAKE_EXPORT void FakeLibusb_Reset() {
  std::lock_guard<std::mutex> lock(S().Mutex);
  S().Devices.clear();
  S().Pending.clear();
  S().Live = 0;
  S().Misuse = 0;
  S().NoDiscovery = false;
}

// ---- libusb entry points ----------------------------------------------------------------------

FAKE_EXPORT int libusb_set_option(libusb_context* context, enum libusb_option option, ...) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  if (!context && option == LIBUSB_OPTION_NO_DEVICE_DISCOVERY) S().NoDiscovery = true;
  return LIBUSB_SUCCESS;
}

FAKE_EXPORT int libusb_init(libusb_context** context) {
  if (!context) return LIBUSB_ERROR_INVALID_PARAM;  // the default context is not offered
  std::lock_guard<std::mutex> lock(S().Mutex);
  *context = new libusb_context;
  S().Contexts.insert(*context);
  ++S().Live;
  return LIBUSB_SUCCESS;
}

FAKE_EXPORT void libusb_exit(libusb_context* context) {
  if (!context) return;
  std::lock_guard<std::mutex> lock(S().Mutex);
  if (context->InEvents > 0 || context->Handles > 0 || !context->Ready.empty() ||
      !context->Cancelling.empty()) {
    ++S().Misuse;
  }
  S().Contexts.erase(context);
  delete context;
  --S().Live;
}

FAKE_EXPORT int libusb_wrap_sys_device(libusb_context* context, intptr_t fd,
                                       libusb_device_handle** handle) {
  struct stat st {};
  if (!context || !handle || fstat(static_cast<int>(fd), &st) != 0) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  std::lock_guard<std::mutex> lock(S().Mutex);
  // The newest device on the node: a node number the kernel gave again is the new device's.
  for (auto it = S().Devices.rbegin(); it != S().Devices.rend(); ++it) {
    const Device& d = it->second;
    if (!S_ISCHR(st.st_mode) || d.Node != st.st_rdev) continue;
    if (d.Gone) return LIBUSB_ERROR_NO_DEVICE;
    *handle = new libusb_device_handle{context, {it->first}};
    ++context->Handles;
    ++S().Live;
    return LIBUSB_SUCCESS;
  }
  return LIBUSB_ERROR_IO;  // not a USB device node
}

FAKE_EXPORT void libusb_close(libusb_device_handle* handle) {
  if (!handle) return;
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto inFlight = [&](libusb_transfer* t) { return t->dev_handle == handle; };
  const libusb_context* c = handle->Context;
  S().Misuse += static_cast<int>(std::count_if(S().Pending.begin(), S().Pending.end(), inFlight) +
                                 std::count_if(c->Ready.begin(), c->Ready.end(), inFlight) +
                                 std::count_if(c->Cancelling.begin(), c->Cancelling.end(), inFlight));
  if (Device* d = DeviceOf(handle)) d->Claimed = -1;
  --handle->Context->Handles;
  delete handle;
  --S().Live;
}

FAKE_EXPORT libusb_device* libusb_get_device(libusb_device_handle* handle) {
  return handle ? &handle->Device : nullptr;
}

FAKE_EXPORT int libusb_get_active_config_descriptor(libusb_device* device,
                                                    libusb_config_descriptor** config) {
  if (!device || !config) return LIBUSB_ERROR_INVALID_PARAM;
  std::lock_guard<std::mutex> lock(S().Mutex);
  const auto it = S().Devices.find(device->Key);
  if (it == S().Devices.end() || it->second.Gone) return LIBUSB_ERROR_NO_DEVICE;
  auto holder = Parse(it->second.Config);
  if (!holder) return LIBUSB_ERROR_IO;
  *config = &holder->Config;
  S().Configs.emplace(*config, std::move(holder));
  ++S().Live;
  return LIBUSB_SUCCESS;
}

FAKE_EXPORT void libusb_free_config_descriptor(libusb_config_descriptor* config) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  if (S().Configs.erase(config) != 0) --S().Live;
}

FAKE_EXPORT int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) {
  return LIBUSB_SUCCESS;
}

FAKE_EXPORT int libusb_claim_interface(libusb_device_handle* handle, int number) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  Device* d = handle ? DeviceOf(handle) : nullptr;
  if (!d || d->Gone) return LIBUSB_ERROR_NO_DEVICE;
  if (d->Claimed >= 0) return LIBUSB_ERROR_BUSY;
  d->Claimed = number;
  return LIBUSB_SUCCESS;
}

FAKE_EXPORT int libusb_release_interface(libusb_device_handle* handle, int number) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  Device* d = handle ? DeviceOf(handle) : nullptr;
  if (!d || d->Claimed != number) return LIBUSB_ERROR_NOT_FOUND;
  d->Claimed = -1;
  return d->Gone ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_SUCCESS;
}

FAKE_EXPORT libusb_transfer* libusb_alloc_transfer(int isoPackets) {
  const size_t size =
      sizeof(libusb_transfer) + size_t(std::max(isoPackets, 0)) *
                                    sizeof(libusb_iso_packet_descriptor);
  auto* t = static_cast<libusb_transfer*>(std::calloc(1, size));
  if (!t) return nullptr;
  std::lock_guard<std::mutex> lock(S().Mutex);
  ++S().Live;
  return t;
}

FAKE_EXPORT void libusb_free_transfer(libusb_transfer* t) {
  if (!t) return;
  std::lock_guard<std::mutex> lock(S().Mutex);
  // Freed in flight: still submitted, or completed or cancelled with its callback not yet run.
  if (std::find(S().Pending.begin(), S().Pending.end(), t) != S().Pending.end()) {
    ++S().Misuse;
    S().Pending.remove(t);
  }
  for (libusb_context* c : S().Contexts) {
    for (std::deque<libusb_transfer*>* queue : {&c->Ready, &c->Cancelling}) {
      const auto it = std::find(queue->begin(), queue->end(), t);
      if (it != queue->end()) {
        ++S().Misuse;
        queue->erase(it);
      }
    }
  }
  std::free(t);
  --S().Live;
}

FAKE_EXPORT int libusb_submit_transfer(libusb_transfer* t) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  if (!t || !t->dev_handle || t->type != LIBUSB_TRANSFER_TYPE_BULK || t->length < 0) {
    ++S().Misuse;
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  Device* d = DeviceOf(t->dev_handle);
  if (!d || d->Gone) return LIBUSB_ERROR_NO_DEVICE;
  if (std::find(S().Pending.begin(), S().Pending.end(), t) != S().Pending.end()) {
    return LIBUSB_ERROR_BUSY;
  }
  S().Pending.push_back(t);
  MatchLocked(t->dev_handle->Device.Key);
  return LIBUSB_SUCCESS;
}

FAKE_EXPORT int libusb_cancel_transfer(libusb_transfer* t) {
  std::lock_guard<std::mutex> lock(S().Mutex);
  if (std::find(S().Pending.begin(), S().Pending.end(), t) == S().Pending.end()) {
    return LIBUSB_ERROR_NOT_FOUND;
  }
  S().Pending.remove(t);
  t->status = LIBUSB_TRANSFER_CANCELLED;
  t->actual_length = 0;
  t->dev_handle->Context->Cancelling.push_back(t);
  t->dev_handle->Context->Cv.notify_all();
  return LIBUSB_SUCCESS;
}

FAKE_EXPORT int libusb_handle_events_timeout(libusb_context* context, struct timeval* tv) {
  if (!context || !tv) return LIBUSB_ERROR_INVALID_PARAM;
  std::deque<libusb_transfer*> ready;
  {
    std::unique_lock<std::mutex> lock(S().Mutex);
    ++context->InEvents;
    const auto wait = std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
    context->Cv.wait_for(lock, wait, [&] {
      return !context->Ready.empty() || !context->Cancelling.empty() || context->Interrupted;
    });
    context->Interrupted = false;
    ready.swap(context->Ready);
    context->Ready.swap(context->Cancelling);  // for the next pass
  }
  for (libusb_transfer* t : ready) t->callback(t);  // may free the transfer
  std::lock_guard<std::mutex> lock(S().Mutex);
  --context->InEvents;
  return LIBUSB_SUCCESS;
}

FAKE_EXPORT void libusb_interrupt_event_handler(libusb_context* context) {
  if (!context) return;
  std::lock_guard<std::mutex> lock(S().Mutex);
  context->Interrupted = true;
  context->Cv.notify_all();
}
