#include "plat/net_interface.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "plat/text_file.h"
#include "plat/unique_fd.h"

namespace plat {
namespace {

namespace fs = std::filesystem;

constexpr const char* kNoAddress = "0.0.0.0";
constexpr const char* kSysfsDirVar = "DRAL_SYSFS_DIR";
constexpr const char* kDefaultSysfsDir = "/sys";
// A USB string descriptor holds at most 126 UTF-16 units: well below this in UTF-8.
constexpr size_t kAttributeMaxBytes = 1024;
constexpr int kAnswerWaitMs = 2000;  // the kernel answers at once; a bound all the same
constexpr size_t kAnswerBufferSize = 32768;

std::string Dotted(const sockaddr* address) {
  if (address == nullptr || address->sa_family != AF_INET) return kNoAddress;
  char text[INET_ADDRSTRLEN] = {};
  const auto* in = reinterpret_cast<const sockaddr_in*>(address);
  if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) return kNoAddress;
  return text;
}

UniqueFd OpenRouteSocket(int* error) {
  UniqueFd fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!fd) *error = errno;
  return fd;
}

bool SendRequest(int fd, const void* request, size_t size, int* error) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, request, size, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
    *error = errno;
    return false;
  }
  return true;
}

// NLMSG_OK without its comparison of mixed signs: the answer `h` lies whole within the `left`
// bytes that were received.
bool MessageFits(const nlmsghdr* h, int left) {
  return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
         h->nlmsg_len <= static_cast<uint32_t>(left);
}

// Reads answers to the request numbered `seq` and hands each message to `visit`; stops at
// NLMSG_DONE or at an error message (whose errno goes to *error, 0 for an acknowledgement).
// Returns false on a failure of the socket or a time-out.
template <typename Visit>
bool ReadAnswers(int fd, uint32_t seq, int* error, Visit visit) {
  std::vector<char> buffer(kAnswerBufferSize);
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, kAnswerWaitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      *error = ready == 0 ? ETIMEDOUT : errno;
      return false;
    }
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    int left = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); MessageFits(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_seq != seq) continue;
      if (h->nlmsg_type == NLMSG_DONE) return true;
      if (h->nlmsg_type == NLMSG_ERROR) {
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
          *error = EIO;
          return false;
        }
        *error = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
        return true;
      }
      visit(h);
    }
  }
}

// Index -> alias of every interface that has one.
bool ReadAliases(std::map<uint32_t, std::string>* aliases, int* error) {
  UniqueFd fd = OpenRouteSocket(error);
  if (!fd) return false;
  struct {
    nlmsghdr header;
    ifinfomsg info;
  } request{};
  constexpr uint32_t kSeq = 1;
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = kSeq;
  request.info.ifi_family = AF_UNSPEC;
  if (!SendRequest(fd.Get(), &request, sizeof request, error)) return false;
  int answer = 0;
  const bool read = ReadAnswers(fd.Get(), kSeq, &answer, [&](const nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
    int attrLen = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(ifinfomsg)));
    for (auto* a = IFLA_RTA(info); RTA_OK(a, attrLen); a = RTA_NEXT(a, attrLen)) {
      if (a->rta_type != IFLA_IFALIAS) continue;
      // Untrusted length: the text ends at its NUL or at the attribute's end.
      const auto* text = static_cast<const char*>(RTA_DATA(a));
      const size_t size = RTA_PAYLOAD(a);
      const std::string alias(text, strnlen(text, size));
      if (!alias.empty()) (*aliases)[static_cast<uint32_t>(info->ifi_index)] = alias;
    }
  });
  if (!read) {
    *error = answer;
    return false;
  }
  return true;
}

int PrefixLength(uint32_t mask) { return std::popcount(ntohl(mask)); }

// The text of the sysfs attribute `path` up to its line end; "" when it is missing, unreadable
// or longer than any attribute read here.
std::string ReadAttribute(const fs::path& path) {
  UniqueFd fd;
  if (OpenRegularFile(path.string(), &fd) != 0 || !fd) return "";
  std::string text;
  bool cutOff = false;
  if (ReadBounded(fd.Get(), kAttributeMaxBytes, &text, &cutOff) != 0 || cutOff) return "";
  return text.substr(0, text.find_first_of(std::string_view("\n\0", 2)));
}

// The product string of the USB device that `device` (a canonical sysfs device folder) is:
// the interface's device is one interface of a USB device (the USB device is its parent), or
// with some drivers the USB device itself. "" for a device of another bus.
std::string UsbProductOf(const fs::path& device) {
  for (const fs::path& dir : {device, device.parent_path()}) {
    std::error_code ec;
    if (!fs::exists(dir / "idVendor", ec)) continue;
    return ReadAttribute(dir / "product");
  }
  return "";
}

// What describes interface `name` when it has no alias: the USB product string, else the
// driver's name, else "" (an interface without a device).
std::string DeviceDescriptionOf(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return "";
  }
  std::error_code ec;
  const fs::path device =
      fs::canonical(fs::path(SysfsDirectory()) / "class" / "net" / name / "device", ec);
  if (ec) return "";
  std::string description = UsbProductOf(device);
  if (description.empty()) description = fs::read_symlink(device / "driver", ec).filename();
  return ec ? "" : description;
}

}  // namespace

std::string SysfsDirectory() {
  const char* dir = std::getenv(kSysfsDirVar);
  return dir != nullptr && *dir != '\0' ? dir : kDefaultSysfsDir;
}

bool ListNetInterfaces(std::vector<NetInterface>* list, int* error) {
  list->clear();
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    *error = errno;
    return false;
  }
  std::map<uint32_t, NetInterface> byIndex;
  for (const ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
    if (a->ifa_name == nullptr || (a->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const uint32_t index = if_nametoindex(a->ifa_name);
    if (index == 0) continue;  // gone meanwhile
    NetInterface& entry = byIndex[index];
    if (entry.Index == 0) {
      entry.Name = a->ifa_name;
      entry.Description = entry.Name;
      entry.Index = index;
      entry.Address = kNoAddress;
      entry.Mask = kNoAddress;
    }
    if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET &&
        entry.Address == kNoAddress) {
      entry.Address = Dotted(a->ifa_addr);
      entry.Mask = Dotted(a->ifa_netmask);
    }
  }
  freeifaddrs(all);
  std::map<uint32_t, std::string> aliases;
  int aliasError = 0;
  ReadAliases(&aliases, &aliasError);  // without aliases the devices describe the interfaces
  for (auto& [index, entry] : byIndex) {
    if (auto it = aliases.find(index); it != aliases.end()) {
      entry.Description = it->second;
    } else if (std::string device = DeviceDescriptionOf(entry.Name); !device.empty()) {
      entry.Description = std::move(device);
    }
    list->push_back(std::move(entry));
  }
  *error = 0;
  return true;
}

uint32_t AddInterfaceAddress(uint32_t index, uint32_t address, uint32_t mask, int* error) {
  *error = 0;
  UniqueFd fd = OpenRouteSocket(error);
  if (!fd) return *error == EPERM || *error == EACCES ? kAddressAccessDenied : kAddressFailed;
  struct {
    nlmsghdr header;
    ifaddrmsg info;
    char attributes[64];
  } request{};
  constexpr uint32_t kSeq = 1;
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
  request.header.nlmsg_type = RTM_NEWADDR;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
  request.header.nlmsg_seq = kSeq;
  request.info.ifa_family = AF_INET;
  request.info.ifa_prefixlen = static_cast<uint8_t>(PrefixLength(mask));
  request.info.ifa_scope = RT_SCOPE_UNIVERSE;
  request.info.ifa_index = index;
  const uint32_t broadcast = address | ~mask;
  const std::pair<unsigned short, uint32_t> attributes[] = {
      {IFA_LOCAL, address}, {IFA_ADDRESS, address}, {IFA_BROADCAST, broadcast}};
  for (const auto& [type, value] : attributes) {
    auto* a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) +
                                        NLMSG_ALIGN(request.header.nlmsg_len));
    a->rta_type = type;
    a->rta_len = RTA_LENGTH(sizeof value);
    std::memcpy(RTA_DATA(a), &value, sizeof value);
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(a->rta_len);
  }
  if (!SendRequest(fd.Get(), &request, request.header.nlmsg_len, error) ||
      !ReadAnswers(fd.Get(), kSeq, error, [](const nlmsghdr*) {})) {
    return *error == EPERM || *error == EACCES ? kAddressAccessDenied : kAddressFailed;
  }
  switch (*error) {
    case 0:
      return kAddressAdded;
    case EEXIST:
      return kAddressAlreadyExists;
    case EPERM:
    case EACCES:
      return kAddressAccessDenied;
    default:
      return kAddressFailed;
  }
}

std::string SystemErrorText(int error) {
  char buffer[256] = {};
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace plat
