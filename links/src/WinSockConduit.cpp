#include "links/WinSockConduit.h"

#include <cerrno>
#include <cstdlib>
#include <exception>

#include "classlib/Registry.h"
#include "plat/tcp_socket.h"

namespace dral {
namespace {

constexpr const char* kSettingsKey = "\\SOFTWARE\\Trevik\\DRAL";
constexpr const char* kAutoConfigure = "AutoConfigureInterface";

bool ReadAutoConfigure() {
  try {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
    if (reg.OpenKeyReadOnly(kSettingsKey) && reg.ValueExists(kAutoConfigure)) {
      return reg.ReadBool(kAutoConfigure);
    }
  } catch (const std::exception&) {
    // Unreadable: allowed.
  }
  return true;
}

}  // namespace

uint16_t WinSockPortOf(const std::string& text) {
  if (text.empty()) return TWinSockConduit::kDefaultPort;
  // A decimal number, optionally signed, and nothing else.
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(begin, &end, 10);
  if (end == begin || *end != '\0' || errno == ERANGE) return TWinSockConduit::kDefaultPort;
  return static_cast<uint16_t>(static_cast<unsigned long long>(value));
}

TWinSockConduit::TWinSockConduit()
    : sockThread_(std::make_unique<TWinSockThread>(true)), autoConfigure_(ReadAutoConfigure()) {
  DebugLevel.store(kDebugLevel);
  sockThread_->SetReceiveHandler(ReceiveHandler{});
  sockThread_->Start();
}

TWinSockConduit::~TWinSockConduit() { sockThread_.reset(); }

bool TWinSockConduit::Open(std::string address, std::string port) {
  const uint16_t portNumber = plat::HostToNet16(WinSockPortOf(port));
  uint32_t target = plat::ParseIPv4(kFallbackAddress);
  bool setup = false;
  if (!address.empty()) {
    const uint32_t parsed = plat::ParseIPv4(address);
    if (parsed != plat::kInvalidIPv4) {
      target = parsed;
      setup = address.find(TWinSockThread::kSubnetText) != std::string::npos && autoConfigure_;
    }
  }
  if (target == lastAddress_ && portNumber == lastPort_) {
    if (sockThread_->Connected()) return true;
    return sockThread_->RequestConnect(target, portNumber, setup);
  }
  const bool connected = sockThread_->RequestConnect(target, portNumber, setup);
  lastAddress_ = target;
  lastPort_ = portNumber;
  return connected;
}

void TWinSockConduit::Close() {
  sockThread_->Disconnect();
  sockThread_->SetReceiveHandler(ReceiveHandler{});
}

bool TWinSockConduit::IsOpen() { return sockThread_->Connected(); }

void TWinSockConduit::SetReceiveHandler(ReceiveHandler handler) {
  handler_ = handler;
  sockThread_->SetReceiveHandler(handler);
}

int TWinSockConduit::Write(const uint8_t* buf, int len) {
  return sockThread_ ? sockThread_->Send(buf, len) : 0;
}

std::string TWinSockConduit::PortInfo() {
  return sockThread_->Connected() ? sockThread_->PeerAddress() : "";
}

}  // namespace dral
