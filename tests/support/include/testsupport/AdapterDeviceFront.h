// Fronts of the adapter simulator that look like a plugged-in USB adapter to the server's USB
// and FTDI links: an entry in the device directory that the link finds, opens and talks to.
//
//  - UsbDriver: a UNIX stream socket in the USB driver class folder; the host's writes are the
//    adapter's input bytes and the adapter's output is read back as a byte stream, as from the
//    adapter's character device.
//  - WinUsb: a UNIX seqpacket socket in the WinUSB class folder speaking the WinUSB simulation
//    protocol (docs/winusb-sim-protocol.md): it answers Describe with one interface of a bulk IN
//    and a bulk OUT pipe, takes OUT transfers as the adapter's input and sends the adapter's
//    output as IN transfers of at most kMaxInTransfer bytes.
//  - Ftdi: a UNIX stream socket, as UsbDriver, in the socket folder of the fake D2XX library
//    (FakeFtd2xxControl.h), where a server that loads that library finds it as an FTDI device
//    whose serial number is the entry's name.
//
// The front attaches itself to the model when constructed and detaches when destroyed. It
// serves one host at a time; a new connection replaces (closes) the previous one, as a device
// can be opened by one driver only. Bytes the model sends while no host is connected are
// discarded; bytes the host does not read are held up to MaxPendingBytes, then discarded and
// counted (a device's buffer overflowing).
//
// Plug creates the entry (and the class folder); Unplug removes the entry and closes the host's
// connection, so the host sees both the entry vanish and a hang-up, as when a cable is pulled.
//
// Threads: one I/O thread per front owns every descriptor; it starts in the constructor and is
// stopped and joined by the destructor. Plug and Unplug are carried out by that thread; the
// caller waits for it (bounded, kRequestTimeoutMs). Every member may be called from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/AdapterSimulator.h"

namespace dral_test {

// Device interface classes of the two USB links (folder names under the device directory).
inline constexpr const char* kUsbDriverClassGuid = "{B2A7A7FA-CA82-474B-9BDC-9E4F66F07FB1}";
inline constexpr const char* kWinUsbClassGuid = "{B3B99BA9-11D6-4EB9-ACD4-349BDD50810F}";

enum class DeviceFrontKind : uint8_t { UsbDriver, WinUsb, Ftdi };

struct DeviceFrontOptions {
  DeviceFrontKind Kind = DeviceFrontKind::UsbDriver;
  // The device directory; "" means plat::DeviceDirectory() ($DRAL_DEVICE_DIR or /dev/dral).
  std::string DeviceDirectory;
  std::string Name = "adapter0";  // the entry's name in the class folder (Ftdi: at most 15 bytes)
  // WinUsb: the interface's pipes. Attributes 2 = bulk transfer type.
  uint8_t InPipe = 0x81;
  uint8_t OutPipe = 0x02;
  uint8_t PipeAttributes = 2;
  uint16_t MaxPacketSize = 64;
  // Bytes for the host held while it does not read; beyond this they are discarded.
  size_t MaxPendingBytes = size_t{4} << 20;
};

class AdapterDeviceFront final : public AdapterTransport {
 public:
  static constexpr int kRequestTimeoutMs = 2000;
  static constexpr size_t kMaxInTransfer = 2048;

  // Attaches to `adapter` and starts the I/O thread; the entry is not created until Plug.
  AdapterDeviceFront(AdapterSimulator& adapter, DeviceFrontOptions options);
  // Detaches, removes the entry, closes everything and joins the thread.
  ~AdapterDeviceFront() override;
  AdapterDeviceFront(const AdapterDeviceFront&) = delete;
  AdapterDeviceFront& operator=(const AdapterDeviceFront&) = delete;

  // Creates the class folder and the entry and listens on it. True when listening (also when
  // already plugged); false when the entry could not be made (Error() says why) or the I/O
  // thread did not answer in time.
  bool Plug();
  // Removes the entry and closes the host's connection and the listener. Nothing when not
  // plugged.
  void Unplug();

  const std::string& Path() const { return path_; }
  bool Plugged() const { return plugged_.load(); }
  bool Connected() const { return connected_.load(); }
  // Host connections accepted so far, and (WinUsb) Describe requests answered.
  int Connections() const { return connections_.load(); }
  int Describes() const { return describes_.load(); }
  // errno of the last failed Plug, 0 after a successful one.
  int Error() const { return error_.load(); }

  uint64_t BytesFromHost() const { return bytesFromHost_.load(); }
  uint64_t BytesToHost() const { return bytesToHost_.load(); }
  // Bytes discarded because the host was not reading (pending bytes over MaxPendingBytes).
  uint64_t BytesOverflowed() const { return bytesOverflowed_.load(); }
  // Bytes discarded because no host was connected (or, WinUsb, had not described the device).
  uint64_t BytesWithoutHost() const { return bytesWithoutHost_.load(); }

  // AdapterTransport: queues the bytes for the host and wakes the I/O thread; never blocks on
  // the host.
  void SendToHost(const uint8_t* bytes, size_t n) override;

 private:
  enum class Request : uint8_t { None, Plug, Unplug };

  bool Submit(Request request);
  void Run();
  void Wake();
  void DoPlug();
  void DoUnplug();
  void Accept();
  void CloseHost();
  void ReadFromHost();
  void HandlePacket(const uint8_t* p, size_t n);
  void WriteToHost();
  bool HasPending();

  AdapterSimulator& adapter_;
  const DeviceFrontOptions options_;
  const std::string path_;

  // Owned by the I/O thread.
  int listenFd_ = -1;
  int hostFd_ = -1;
  int wakeFd_ = -1;
  std::vector<uint8_t> readBuffer_;

  std::mutex requestMutex_;  // guards request_, requestSeq_, doneSeq_
  std::condition_variable requestDone_;
  Request request_ = Request::None;
  uint64_t requestSeq_ = 0;
  uint64_t doneSeq_ = 0;

  std::mutex pendingMutex_;  // guards pending_, pendingHead_, hostReady_
  std::vector<uint8_t> pending_;
  size_t pendingHead_ = 0;
  bool hostReady_ = false;  // a host is connected (WinUsb: and has described the device)

  std::atomic<bool> stop_{false};
  std::atomic<bool> plugged_{false};
  std::atomic<bool> connected_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> describes_{0};
  std::atomic<int> error_{0};
  std::atomic<uint64_t> bytesFromHost_{0};
  std::atomic<uint64_t> bytesToHost_{0};
  std::atomic<uint64_t> bytesOverflowed_{0};
  std::atomic<uint64_t> bytesWithoutHost_{0};

  std::thread thread_;
};

}  // namespace dral_test
