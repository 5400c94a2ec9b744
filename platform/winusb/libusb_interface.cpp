#include "libusb_interface.h"

#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include "plat/scheduling.h"
#include "plat/shared_library.h"
#include "plat/tick.h"
#include "plat/winusb_sim_protocol.h"

namespace winusb {
namespace {

// The entry points of libusb-1.0 the library uses, typed after its header.
struct LibUsbApi {
  plat::SharedLibrary Library;
  decltype(&libusb_set_option) SetOption = nullptr;
  decltype(&libusb_init) Init = nullptr;
  decltype(&libusb_exit) Exit = nullptr;
  decltype(&libusb_wrap_sys_device) WrapSysDevice = nullptr;
  decltype(&libusb_close) Close = nullptr;
  decltype(&libusb_get_device) GetDevice = nullptr;
  decltype(&libusb_get_active_config_descriptor) GetActiveConfigDescriptor = nullptr;
  decltype(&libusb_free_config_descriptor) FreeConfigDescriptor = nullptr;
  decltype(&libusb_set_auto_detach_kernel_driver) SetAutoDetachKernelDriver = nullptr;
  decltype(&libusb_claim_interface) ClaimInterface = nullptr;
  decltype(&libusb_release_interface) ReleaseInterface = nullptr;
  decltype(&libusb_alloc_transfer) AllocTransfer = nullptr;
  decltype(&libusb_free_transfer) FreeTransfer = nullptr;
  decltype(&libusb_submit_transfer) SubmitTransfer = nullptr;
  decltype(&libusb_cancel_transfer) CancelTransfer = nullptr;
  decltype(&libusb_handle_events_timeout) HandleEventsTimeout = nullptr;
  decltype(&libusb_interrupt_event_handler) InterruptEventHandler = nullptr;

  // 0, ELIBACC or ELIBBAD.
  int Load() {
    const char* env = std::getenv(plat::kLibUsbLibraryVar);
    if (!Library.Load({env && *env ? env : kLibUsbLibraryName})) return ELIBACC;
    bool complete = true;
    const auto take = [&](auto& entry, const char* name) {
      entry = Library.Entry<std::remove_reference_t<decltype(entry)>>(name);
      complete = complete && entry != nullptr;
    };
    take(SetOption, "libusb_set_option");
    take(Init, "libusb_init");
    take(Exit, "libusb_exit");
    take(WrapSysDevice, "libusb_wrap_sys_device");
    take(Close, "libusb_close");
    take(GetDevice, "libusb_get_device");
    take(GetActiveConfigDescriptor, "libusb_get_active_config_descriptor");
    take(FreeConfigDescriptor, "libusb_free_config_descriptor");
    take(SetAutoDetachKernelDriver, "libusb_set_auto_detach_kernel_driver");
    take(ClaimInterface, "libusb_claim_interface");
    take(ReleaseInterface, "libusb_release_interface");
    take(AllocTransfer, "libusb_alloc_transfer");
    take(FreeTransfer, "libusb_free_transfer");
    take(SubmitTransfer, "libusb_submit_transfer");
    take(CancelTransfer, "libusb_cancel_transfer");
    take(HandleEventsTimeout, "libusb_handle_events_timeout");
    take(InterruptEventHandler, "libusb_interrupt_event_handler");
    if (!complete) return ELIBBAD;
    // The device node is all the library gets: libusb must not scan the bus or watch it.
    // Applies to every context made after it.
    SetOption(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
    return 0;
  }
};

// libusb, loaded while an interface uses it. 0 with *out set, or an errno value.
int AcquireLibUsb(std::shared_ptr<const LibUsbApi>* out) {
  static std::mutex mutex;  // guards loaded
  static std::weak_ptr<const LibUsbApi> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  if ((*out = loaded.lock())) return 0;
  auto api = std::make_shared<LibUsbApi>();
  if (const int err = api->Load(); err != 0) return err;
  loaded = api;
  *out = std::move(api);
  return 0;
}

int ErrnoFromLibUsb(int r) {
  switch (r) {
    case LIBUSB_SUCCESS:
      return 0;
    case LIBUSB_ERROR_INVALID_PARAM:
      return EINVAL;
    case LIBUSB_ERROR_ACCESS:
      return EACCES;
    case LIBUSB_ERROR_NO_DEVICE:
      return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND:
      return ENOENT;
    case LIBUSB_ERROR_BUSY:
      return EBUSY;
    case LIBUSB_ERROR_TIMEOUT:
      return ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW:
      return EOVERFLOW;
    case LIBUSB_ERROR_PIPE:
      return EPIPE;
    case LIBUSB_ERROR_INTERRUPTED:
      return EINTR;
    case LIBUSB_ERROR_NO_MEM:
      return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return EOPNOTSUPP;
    default:
      return EIO;
  }
}

uint32_t ErrorFromStatus(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return plat::kErrorSuccess;
    case LIBUSB_TRANSFER_CANCELLED:
      return plat::kErrorOperationAborted;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return plat::kErrorDeviceNotConnected;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return plat::kErrorTimeout;
    default:  // an error on the bus, a stall, a device that sent more than asked
      return plat::kErrorGenFailure;
  }
}

// The first interface of the active configuration: its alternate settings in the device's
// order. False when the configuration has no interface.
bool DescribeFirstInterface(const libusb_config_descriptor& config, Description* out) {
  if (config.bNumInterfaces == 0 || !config.interface) return false;
  const libusb_interface& first = config.interface[0];
  const int settings = std::clamp(first.num_altsetting, 0, 256);  // alternate settings are 8 bits
  for (int i = 0; i < settings && first.altsetting; ++i) {
    const libusb_interface_descriptor& d = first.altsetting[i];
    Setting s;
    s.Interface = {plat::winusb_sim::kInterfaceDescriptorLength,
                   plat::winusb_sim::kInterfaceDescriptorType,
                   d.bInterfaceNumber,
                   d.bAlternateSetting,
                   0,
                   d.bInterfaceClass,
                   d.bInterfaceSubClass,
                   d.bInterfaceProtocol,
                   d.iInterface};
    const uint8_t endpoints = d.endpoint ? std::min(d.bNumEndpoints, plat::winusb_sim::kMaxEndpoints)
                                         : uint8_t{0};
    for (uint8_t e = 0; e < endpoints; ++e) {
      const libusb_endpoint_descriptor& ep = d.endpoint[e];
      s.Endpoints.push_back({ep.bEndpointAddress, ep.bmAttributes, ep.wMaxPacketSize, ep.bInterval});
    }
    s.Interface.bNumEndpoints = endpoints;
    out->Settings.push_back(std::move(s));
  }
  return !out->Settings.empty();
}

class LibUsbInterface final : public UsbInterface,
                              public plat::OverlappedIssuer,
                              public std::enable_shared_from_this<LibUsbInterface> {
 public:
  LibUsbInterface(Description description, std::shared_ptr<const LibUsbApi> api,
                  plat::UniqueFd fd, libusb_context* context, libusb_device_handle* device,
                  int interfaceNumber)
      : UsbInterface(std::move(description)),
        api_(std::move(api)),
        fd_(std::move(fd)),
        context_(context),
        device_(device),
        interfaceNumber_(interfaceNumber) {
    events_ = std::thread([this] { EventLoop(); });
  }
  ~LibUsbInterface() override { Close(); }

  plat::IoResult Read(uint8_t pipeId, uint8_t* buffer, uint32_t length,
                      plat::Overlapped& ov) override {
    return Submit(pipeId, buffer, nullptr, std::min(length, plat::kWinUsbMaxTransfer), ov);
  }
  plat::IoResult Write(uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                       plat::Overlapped& ov) override {
    return Submit(pipeId, nullptr, buffer, length, ov);
  }

  bool CancelOverlapped(plat::Overlapped& ov) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [key, transfer] : transfers_) {
      if (transfer->Ov != &ov) continue;
      transfer->Ov = nullptr;
      ov.Finish(0, plat::kErrorOperationAborted);
      // libusb gives the transfer back through Completed; until then it keeps its buffer.
      api_->CancelTransfer(transfer->Usb);
      return true;
    }
    return false;
  }

  void Close() override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (closed_) return;
      closed_ = true;
      for (auto& [key, transfer] : transfers_) {
        if (transfer->Ov) {
          transfer->Ov->Finish(0, plat::kErrorOperationAborted);
          transfer->Ov = nullptr;
        }
        api_->CancelTransfer(transfer->Usb);
      }
      // The event thread still runs and hands the cancelled transfers back.
      if (!drained_.wait_for(lock, std::chrono::milliseconds(kDrainTimeoutMs),
                             [this] { return transfers_.empty(); })) {
        // Never free what libusb (or the kernel) may still write into: leave those behind.
        std::fprintf(stderr, "libdral_winusb: %zu USB transfers not given back; left behind\n",
                     transfers_.size());
        for (auto& [key, transfer] : transfers_) transfer.release();
        transfers_.clear();
      }
    }
    stopping_.store(true, std::memory_order_release);
    api_->InterruptEventHandler(context_);
    if (events_.joinable()) events_.join();
    api_->ReleaseInterface(device_, interfaceNumber_);
    api_->Close(device_);  // a wrapped device's descriptor stays open: ours, closed below
    api_->Exit(context_);
    fd_.Reset();
  }

 private:
  struct Transfer {
    LibUsbInterface* Owner = nullptr;
    libusb_transfer* Usb = nullptr;
    plat::Overlapped* Ov = nullptr;  // the caller's record while its operation is pending
    uint8_t* Target = nullptr;       // a read's destination
    uint32_t Length = 0;
    std::vector<uint8_t> Buffer;     // what libusb moves
  };

  plat::IoResult Submit(uint8_t pipeId, uint8_t* target, const uint8_t* source, uint32_t length,
                        plat::Overlapped& ov) {
    auto transfer = std::make_unique<Transfer>();
    transfer->Owner = this;
    transfer->Target = target;
    transfer->Length = length;
    if (source) {
      transfer->Buffer.assign(source, source + length);
    } else {
      transfer->Buffer.resize(length);
    }
    transfer->Usb = api_->AllocTransfer(0);
    if (!transfer->Usb) return {plat::IoStatus::Failed, 0, plat::kErrorNotEnoughMemory};

    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || !ov.Start()) {
      api_->FreeTransfer(transfer->Usb);
      return {plat::IoStatus::Failed, 0,
              closed_ ? plat::kErrorInvalidHandle : plat::kErrorInvalidParameter};
    }
    libusb_fill_bulk_transfer(transfer->Usb, device_, pipeId, transfer->Buffer.data(),
                              static_cast<int>(length), &LibUsbInterface::Completed,
                              transfer.get(), 0);
    const int r = api_->SubmitTransfer(transfer->Usb);
    if (r != LIBUSB_SUCCESS) {
      api_->FreeTransfer(transfer->Usb);
      ov.Finish(0, plat::ErrorFromErrno(ErrnoFromLibUsb(r)));
      return plat::GetOverlappedResult(ov, 0);
    }
    transfer->Ov = &ov;
    ov.SetIssuer(weak_from_this());
    Transfer* key = transfer.get();
    transfers_.emplace(key, std::move(transfer));
    return {plat::IoStatus::Pending, 0, plat::kErrorIoPending};
  }

  // libusb hands a transfer back, on the event thread.
  static void LIBUSB_CALL Completed(libusb_transfer* usb) {
    auto* transfer = static_cast<Transfer*>(usb->user_data);
    LibUsbInterface& self = *transfer->Owner;
    std::unique_ptr<Transfer> done;
    {
      std::lock_guard<std::mutex> lock(self.mutex_);
      const auto it = self.transfers_.find(transfer);
      if (it == self.transfers_.end()) return;  // left behind by Close
      if (transfer->Ov) {
        // libusb's count is trusted no further than the transfer's length.
        const uint32_t bytes =
            std::min(static_cast<uint32_t>(std::max(usb->actual_length, 0)), transfer->Length);
        if (transfer->Target && bytes > 0) {
          std::memcpy(transfer->Target, transfer->Buffer.data(), bytes);
        }
        transfer->Ov->Finish(bytes, ErrorFromStatus(usb->status));
        transfer->Ov = nullptr;
      }
      done = std::move(it->second);
      self.transfers_.erase(it);
      if (self.transfers_.empty()) self.drained_.notify_all();
    }
    self.api_->FreeTransfer(usb);
  }

  void EventLoop() {
    plat::AdoptProcessPriority();
    while (!stopping_.load(std::memory_order_acquire)) {
      timeval slice{0, kEventSliceMs * 1000};
      const int r = api_->HandleEventsTimeout(context_, &slice);
      if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_INTERRUPTED && r != LIBUSB_ERROR_TIMEOUT) {
        plat::Sleep(1);  // libusb refuses only for lack of resources; do not spin
      }
    }
  }

  const std::shared_ptr<const LibUsbApi> api_;
  plat::UniqueFd fd_;
  libusb_context* const context_;
  libusb_device_handle* const device_;
  const int interfaceNumber_;
  std::thread events_;  // runs libusb's event handling until Close
  std::atomic<bool> stopping_{false};

  std::mutex mutex_;  // guards transfers_, closed_ and the records of pending transfers
  std::condition_variable drained_;  // transfers_ became empty
  std::unordered_map<Transfer*, std::unique_ptr<Transfer>> transfers_;  // given to libusb
  bool closed_ = false;
};

}  // namespace

int OpenLibUsbInterface(plat::UniqueFd fd, std::shared_ptr<UsbInterface>* out) {
  std::shared_ptr<const LibUsbApi> api;
  if (const int err = AcquireLibUsb(&api); err != 0) return err;
  libusb_context* context = nullptr;
  if (const int r = api->Init(&context); r != LIBUSB_SUCCESS) return ErrnoFromLibUsb(r);
  libusb_device_handle* device = nullptr;
  int err = ErrnoFromLibUsb(api->WrapSysDevice(context, static_cast<intptr_t>(fd.Get()), &device));
  Description description;
  if (err == 0) {
    libusb_config_descriptor* config = nullptr;
    err = ErrnoFromLibUsb(api->GetActiveConfigDescriptor(api->GetDevice(device), &config));
    if (err == 0) {
      if (!DescribeFirstInterface(*config, &description)) err = EPROTO;
      api->FreeConfigDescriptor(config);
    }
  }
  int interfaceNumber = 0;
  if (err == 0) {
    interfaceNumber = description.Settings.front().Interface.bInterfaceNumber;
    // A kernel driver that took the interface gives way while the library holds it.
    api->SetAutoDetachKernelDriver(device, 1);
    err = ErrnoFromLibUsb(api->ClaimInterface(device, interfaceNumber));
  }
  if (err == 0) {
    try {
      *out = std::make_shared<LibUsbInterface>(std::move(description), api, std::move(fd),
                                               context, device, interfaceNumber);
      return 0;
    } catch (const std::exception&) {  // no memory, or no thread
      api->ReleaseInterface(device, interfaceNumber);
      err = ENOMEM;
    }
  }
  if (device) api->Close(device);
  api->Exit(context);
  return err;
}

}  // namespace winusb
