// The whole road of the end-to-end benchmarks: the adapter simulator serves a simulated USB
// adapter (a stream socket in the device directory), an adapter on a serial line (a
// pseudo-terminal listed in the serial-port list) or one behind a USB network adapter (a TCP
// listener) in this process, DRALServer runs as its own
// process, and libDRAL.so, loaded with dlopen, gives the connections that stand for the
// applications. Everything is private to the run (object namespace, registry, devices in a
// temporary folder), and this process adopts the server so it can wait for its end.
//
// The device is of the USB driver class, or (Start's `kind`) an FTDI device of the fake D2XX
// library, which the server then loads.
//
// The user defines DRAL_LIBRARY_FILE, DRAL_SERVER_PROGRAM and DRAL_FTD2XX_LIBRARY_FILE and links
// the dl library.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DRAL.h"
#include "channel/HuxIPC.h"
#include "links/ScanSettings.h"
#include "testsupport/AdapterDeviceFront.h"
#include "testsupport/AdapterPtyFront.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/AdapterTcpFront.h"
#include "testsupport/DralApi.h"
#include "testsupport/test_util.h"

extern char** environ;

namespace bench {

namespace fs = std::filesystem;

class WholeRoad {
 public:
  static constexpr int kLinkUpMs = 20000;
  static constexpr int kServerExitMs = 10000;

  // `name` names the run's namespace and temporary folder (with this process's id).
  explicit WholeRoad(const std::string& name)
      : name_(name + std::to_string(getpid())),
        root_(fs::temp_directory_path() / ("dral-" + name_)) {}
  WholeRoad(const WholeRoad&) = delete;
  WholeRoad& operator=(const WholeRoad&) = delete;

  // The private environment, the simulated device, the server and the library. The adapter does
  // not record what the host sends (SetRecording turns it on).
  bool Start(std::string& error,
             dral_test::DeviceFrontKind kind = dral_test::DeviceFrontKind::UsbDriver) {
    Prepare();
    if (kind == dral_test::DeviceFrontKind::Ftdi) {
      setenv("DRAL_FTD2XX_LIBRARY", DRAL_FTD2XX_LIBRARY_FILE, 1);
    }
    adapter_.SetRecording(false);
    dral_test::DeviceFrontOptions front;
    front.Kind = kind;
    front_ = std::make_unique<dral_test::AdapterDeviceFront>(adapter_, front);
    if (!front_->Plug()) return error = "cannot create the simulated device", false;
    if (!StartServer(error)) return false;
    return lib_.Load((root_ / "lib" / "libDRAL.so").string(), &error);
  }

  // The same with the adapter on a serial line instead: the serial-port list holds `before`,
  // then the line. The scan's settings keep their defaults (search the rate, then ask for the
  // highest).
  bool StartSerial(const dral_test::PtyFrontOptions& line, std::vector<std::string> before,
                   std::string& error) {
    Prepare();
    adapter_.SetRecording(false);
    try {
      line_ = std::make_unique<dral_test::AdapterPtyFront>(adapter_, line);
    } catch (const std::exception& e) {
      return error = e.what(), false;
    }
    before.push_back(line_->SlavePath());
    dral_test::SetSerialCommPorts(before);
    if (!StartServer(error)) return false;
    return lib_.Load((root_ / "lib" / "libDRAL.so").string(), &error);
  }

  // The same with the adapter behind a USB network adapter: the simulator listens on `address`
  // at the Ethernet link's port, and the server's settings turn the link on with that address
  // (the host address set-up off). No other link finds a device: the device folder is empty and
  // the FTDI link loads the fake D2XX library, whose folder is empty too. With `record` the
  // adapter keeps what the host sends from the start.
  bool StartTcp(const std::string& address, std::string& error, bool record = false) {
    Prepare();
    setenv("DRAL_FTD2XX_LIBRARY", DRAL_FTD2XX_LIBRARY_FILE, 1);
    adapter_.SetRecording(record);
    try {
      tcp_ = std::make_unique<dral_test::AdapterTcpFront>(adapter_, address);
      tcpAddress_ = address;
    } catch (const std::exception& e) {
      return error = e.what(), false;
    }
    const std::string key = dral::TScanSettings::kKey;
    dral_test::WriteUserInteger(key, "EthernetEnabled", 1);
    dral_test::WriteUserString(key, "AdapterIPAddressHistory01", address);
    dral_test::WriteUserInteger(key, "AutoConfigureInterface", 0);
    if (!StartServer(error)) return false;
    return lib_.Load((root_ / "lib" / "libDRAL.so").string(), &error);
  }

  // A path in the run's folder that names no device.
  std::string AbsentPort(int n) const {
    return (root_ / ("no-port-" + std::to_string(n))).string();
  }

 private:
  void Prepare() {
    fs::create_directories(root_ / "registry");
    fs::create_directories(root_ / "devices");
    fs::create_directories(root_ / "lib");
    setenv("DRAL_IPC_NAMESPACE", (name_ + "_").c_str(), 1);
    setenv("DRAL_REGISTRY_DIR", (root_ / "registry").c_str(), 1);
    setenv("DRAL_DEVICE_DIR", (root_ / "devices").c_str(), 1);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    fs::create_symlink(DRAL_LIBRARY_FILE, root_ / "lib" / "libDRAL.so");
    fs::create_symlink(DRAL_SERVER_PROGRAM, root_ / "lib" / "DRALServer");
  }

 public:
  // Opens `count` more connections and waits until the link is up and the adapter's channel 1
  // is known as available (copies and deliveries need it).
  bool Connect(int count, std::vector<DRAL_Handle>& handles, std::string& error) {
    for (int i = 0; i < count; ++i) {
      const DRAL_Handle h = lib_.Connect();
      if (h == 0) return error = "DRAL_Connect failed", false;
      handles.push_back(h);
    }
    if (handles.empty()) return true;
    const DRAL_Handle first = handles.front();
    if (!dral_test::WaitUntil(
            [&] { return lib_.GetStatus(first) == (DRAL_OK | DRAL_LINK_CONNECTED); }, kLinkUpMs)) {
      return error = "the link did not come up", false;
    }
    if (!dral_test::WaitUntil(
            [&] {
              DralAdapterStatus s{};
              lib_.GetAdapterStatus(first, reinterpret_cast<uint8_t*>(&s));
              return (s.Can1Status & 0x7F) == 1;
            },
            kLinkUpMs)) {
      return error = "the adapter's status did not arrive", false;
    }
    return true;
  }

  // Disconnects `handles`, unloads the library, unplugs the device and waits for the server to
  // end by itself (about 3 s after the last unload). False when it had to be killed.
  bool Stop(std::vector<DRAL_Handle>& handles) {
    for (DRAL_Handle h : handles) lib_.Disconnect(h);
    handles.clear();
    lib_.Unload();
    front_.reset();
    line_.reset();
    tcp_.reset();
    bool ok = true;
    if (server_ > 0) {
      int status = 0;
      const bool ended = dral_test::WaitUntil(
          [&] { return waitpid(server_, &status, WNOHANG) == server_; }, kServerExitMs);
      if (!ended) {
        std::fprintf(stderr, "DRALServer did not end by itself; killed\n");
        kill(server_, SIGKILL);
        waitpid(server_, &status, 0);
        ok = false;
      }
      server_ = -1;
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
    return ok;
  }

  dral_test::AdapterSimulator& Adapter() { return adapter_; }
  dral_test::AdapterDeviceFront& Front() { return *front_; }
  dral_test::AdapterPtyFront& Line() { return *line_; }
  dral_test::AdapterTcpFront& Tcp() { return *tcp_; }
  // Where the server reaches the adapter, and whether the simulated device overflowed.
  std::string LinkPath() const {
    if (tcp_) return tcpAddress_ + ":" + std::to_string(tcp_->Port());
    return front_ ? front_->Path() : line_ ? line_->SlavePath() : "";
  }
  uint64_t DeviceOverflowed() const { return front_ ? front_->BytesOverflowed() : 0; }
  // When the server had claimed the channel (within a millisecond).
  std::chrono::steady_clock::time_point ServerUp() const { return serverUp_; }
  // When the server program was started.
  std::chrono::steady_clock::time_point ServerStarted() const { return serverStarted_; }
  const dral_test::DralApi& Lib() const { return lib_; }
  pid_t Server() const { return server_; }

  // The server's drop counts in all (receive ring, client rings), from its last report (it
  // writes them at most once a second).
  std::pair<uint64_t, uint64_t> ServerDrops() const {
    std::ifstream log(serverLog_);
    std::pair<uint64_t, uint64_t> totals{0, 0};
    for (std::string line; std::getline(log, line);) {
      unsigned long long a = 0, receive = 0, b = 0, client = 0;
      if (std::sscanf(line.c_str(),
                      "Frames dropped: %llu (receive ring full, %llu in all), %llu (client ring "
                      "full, %llu in all)",
                      &a, &receive, &b, &client) == 4) {
        totals = {receive, client};
      }
    }
    return totals;
  }

 private:
  // Starts DRALServer before the library would, with DRAL_DEBUG set and its error output in a
  // file, so that the server's own drop reports can be read (the library starts it without any
  // output).
  bool StartServer(std::string& error) {
    serverLog_ = root_ / "server.log";
    const std::string program = (root_ / "lib" / "DRALServer").string();
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.emplace_back("DRAL_DEBUG=1");
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, serverLog_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string arg0 = program;
    char* argv[] = {arg0.data(), nullptr};
    pid_t pid = -1;
    serverStarted_ = std::chrono::steady_clock::now();
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return error = "cannot start DRALServer", false;
    server_ = pid;  // Stop waits for its end
    uint32_t window = 0;
    if (!dral_test::WaitUntil([&] { return dral::IsServerRunning(window); }, kLinkUpMs)) {
      return error = "DRALServer did not come up", false;
    }
    serverUp_ = std::chrono::steady_clock::now();
    return true;
  }

  const std::string name_;
  const fs::path root_;
  fs::path serverLog_;
  dral_test::AdapterSimulator adapter_;
  std::unique_ptr<dral_test::AdapterDeviceFront> front_;
  std::unique_ptr<dral_test::AdapterPtyFront> line_;
  std::unique_ptr<dral_test::AdapterTcpFront> tcp_;
  std::string tcpAddress_;
  std::chrono::steady_clock::time_point serverStarted_{};
  std::chrono::steady_clock::time_point serverUp_{};
  dral_test::DralApi lib_;
  pid_t server_ = -1;
};

// Runs `run` in a child process of its own: each case starts with a fresh library and server.
inline void InChild(const std::function<void()>& run) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    run();
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
}

}  // namespace bench
