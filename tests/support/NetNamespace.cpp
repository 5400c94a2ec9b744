#include "testsupport/NetNamespace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <linux/capability.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "plat/net_interface.h"
#include "plat/tcp_socket.h"
#include "testsupport/test_env.h"

namespace dral_test {
namespace {

constexpr int kSkipStatus = 77;
constexpr int kAnswerWaitMs = 2000;
constexpr size_t kReasonSize = 256;

// Writes `text` to a file of /proc; 0 or errno.
int WriteProcFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const ssize_t n = write(fd, text.data(), text.size());
  const int error = n == static_cast<ssize_t>(text.size()) ? 0 : (n < 0 ? errno : EIO);
  close(fd);
  return error;
}

// In the child: a network namespace of its own. Returns "" or why it could not be made.
std::string EnterNewNamespace() {
  if (geteuid() == 0) {
    if (unshare(CLONE_NEWNET) != 0) return "unshare(CLONE_NEWNET): " + std::string(strerror(errno));
  } else {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      return "unshare(CLONE_NEWUSER|CLONE_NEWNET): " + std::string(strerror(errno));
    }
    // The same ids inside, so that files made there belong to the user as usual.
    if (WriteProcFile("/proc/self/setgroups", "deny") != 0 ||
        WriteProcFile("/proc/self/uid_map",
                      std::to_string(uid) + " " + std::to_string(uid) + " 1") != 0 ||
        WriteProcFile("/proc/self/gid_map",
                      std::to_string(gid) + " " + std::to_string(gid) + " 1") != 0) {
      return "cannot map the user and group ids into the user namespace";
    }
  }
  if (const int error = SetInterfaceUp("lo"); error != 0) {
    return "cannot bring the loopback interface up: " + std::string(strerror(error));
  }
  return "";
}

// A request to the kernel's routing socket with attributes appended as they come.
class RouteRequest {
 public:
  RouteRequest(uint16_t type, uint16_t flags) {
    header_ = reinterpret_cast<nlmsghdr*>(buffer_);
    header_->nlmsg_len = NLMSG_LENGTH(0);
    header_->nlmsg_type = type;
    header_->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
    header_->nlmsg_seq = 1;
  }
  void Put(const void* data, size_t size) {
    std::memcpy(Tail(), data, size);
    header_->nlmsg_len = static_cast<uint32_t>(NLMSG_ALIGN(header_->nlmsg_len) + NLMSG_ALIGN(size));
  }
  void Attribute(uint16_t type, const void* data, size_t size) {
    auto* a = static_cast<rtattr*>(Tail());
    a->rta_type = type;
    a->rta_len = static_cast<uint16_t>(RTA_LENGTH(size));
    if (size != 0) std::memcpy(RTA_DATA(a), data, size);
    header_->nlmsg_len =
        static_cast<uint32_t>(NLMSG_ALIGN(header_->nlmsg_len) + RTA_ALIGN(a->rta_len));
  }
  void Text(uint16_t type, const std::string& text) {
    Attribute(type, text.c_str(), text.size() + 1);
  }
  rtattr* Begin(uint16_t type) {
    auto* a = static_cast<rtattr*>(Tail());
    Attribute(type, nullptr, 0);
    return a;
  }
  void End(rtattr* nest) {
    nest->rta_len =
        static_cast<uint16_t>(static_cast<char*>(Tail()) - reinterpret_cast<char*>(nest));
  }
  // Sends the request and reads the kernel's acknowledgement: 0 or its errno.
  int Talk() {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return errno;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    int error = EIO;
    if (sendto(fd, buffer_, header_->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
      error = errno;
    } else {
      pollfd p{fd, POLLIN, 0};
      alignas(nlmsghdr) char answer[4096];
      if (poll(&p, 1, kAnswerWaitMs) == 1) {
        const ssize_t n = recv(fd, answer, sizeof answer, 0);
        const auto* h = reinterpret_cast<const nlmsghdr*>(answer);
        if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) &&
            h->nlmsg_type == NLMSG_ERROR) {
          error = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
        }
      } else {
        error = ETIMEDOUT;
      }
    }
    close(fd);
    return error;
  }

 private:
  void* Tail() { return buffer_ + NLMSG_ALIGN(header_->nlmsg_len); }

  alignas(nlmsghdr) char buffer_[1024] = {};
  nlmsghdr* header_;
};

ifinfomsg LinkInfo(int index, unsigned flags = 0, unsigned change = 0) {
  ifinfomsg info{};
  info.ifi_family = AF_UNSPEC;
  info.ifi_index = index;
  info.ifi_flags = flags;
  info.ifi_change = change;
  return info;
}

}  // namespace

NamespaceRun RunInNetNamespace(const std::function<void()>& body, int timeoutMs) {
  NamespaceRun run;
#if defined(__SANITIZE_THREAD__)
  // The body runs in a forked child and starts threads there, which ThreadSanitizer does not
  // support; the other configurations run it.
  (void)body;
  (void)timeoutMs;
  run.WhyNot = "ThreadSanitizer does not support threads after a fork";
  return run;
#endif
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    run.WhyNot = "pipe: " + std::string(strerror(errno));
    return run;
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    const std::string why = EnterNewNamespace();
    if (!why.empty()) {
      [[maybe_unused]] const ssize_t n = write(report[1], why.data(), why.size());
      _exit(kSkipStatus);
    }
    close(report[1]);
    body();
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  close(report[1]);
  if (child < 0) {
    close(report[0]);
    run.WhyNot = "fork: " + std::string(strerror(errno));
    return run;
  }
  run.Status = WaitChild(child, timeoutMs);
  char reason[kReasonSize] = {};
  const ssize_t n = read(report[0], reason, sizeof reason - 1);
  close(report[0]);
  if (run.Status == kSkipStatus && n > 0) {
    run.WhyNot = "no network namespace could be made here (" + std::string(reason, n) +
                 "); nothing was tried outside one";
    return run;
  }
  run.Made = true;
  return run;
}

int MakePeerNamespace(int* fd) {
  int own = -1;
  if (const int error = OpenOwnNetNamespace(&own); error != 0) return error;
  int error = 0;
  if (unshare(CLONE_NEWNET) != 0) {
    error = errno;
  } else {
    error = OpenOwnNetNamespace(fd);
    const int back = EnterNetNamespace(own);
    if (error == 0) error = back;
    if (error == 0) {
      // The loopback of the adapter side, as every namespace of these tests has.
      EnterNetNamespace(*fd);
      error = SetInterfaceUp("lo");
      EnterNetNamespace(own);
    }
  }
  close(own);
  return error;
}

int EnterNetNamespace(int fd) {
  return setns(fd, CLONE_NEWNET) == 0 ? 0 : errno;
}

int OpenOwnNetNamespace(int* fd) {
  *fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  return *fd >= 0 ? 0 : errno;
}

int AddVethPair(const std::string& name, const std::string& peer, int peerNs) {
  RouteRequest request(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
  const ifinfomsg info = LinkInfo(0);
  request.Put(&info, sizeof info);
  request.Text(IFLA_IFNAME, name);
  rtattr* linkInfo = request.Begin(IFLA_LINKINFO);
  request.Text(IFLA_INFO_KIND, "veth");
  rtattr* data = request.Begin(IFLA_INFO_DATA);
  rtattr* peerInfo = request.Begin(VETH_INFO_PEER);
  request.Put(&info, sizeof info);
  request.Text(IFLA_IFNAME, peer);
  if (peerNs >= 0) {
    const uint32_t fd = static_cast<uint32_t>(peerNs);
    request.Attribute(IFLA_NET_NS_FD, &fd, sizeof fd);
  }
  request.End(peerInfo);
  request.End(data);
  request.End(linkInfo);
  return request.Talk();
}

int SetInterfaceAlias(const std::string& name, const std::string& alias) {
  const int index = static_cast<int>(if_nametoindex(name.c_str()));
  if (index == 0) return ENODEV;
  RouteRequest request(RTM_NEWLINK, 0);
  const ifinfomsg info = LinkInfo(index);
  request.Put(&info, sizeof info);
  request.Attribute(IFLA_IFALIAS, alias.data(), alias.size());
  return request.Talk();
}

int SetInterfaceUp(const std::string& name) {
  const int index = static_cast<int>(if_nametoindex(name.c_str()));
  if (index == 0) return ENODEV;
  RouteRequest request(RTM_NEWLINK, 0);
  const ifinfomsg info = LinkInfo(index, IFF_UP, IFF_UP);
  request.Put(&info, sizeof info);
  return request.Talk();
}

int AddAddress(const std::string& name, const std::string& address, int prefix) {
  const uint32_t index = if_nametoindex(name.c_str());
  if (index == 0) return ENODEV;
  const uint32_t mask = prefix == 0 ? 0 : plat::HostToNet32(~0u << (32 - prefix));
  int error = 0;
  const uint32_t result = plat::AddInterfaceAddress(index, plat::ParseIPv4(address), mask, &error);
  return result == plat::kAddressAdded ? 0 : (error != 0 ? error : EIO);
}

std::vector<std::string> AddressesOf(const std::string& name) {
  std::vector<std::string> addresses;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return addresses;
  for (const ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || name != a->ifa_name)
      continue;
    addresses.push_back(
        plat::FormatIPv4(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr));
  }
  freeifaddrs(all);
  return addresses;
}

std::string BroadcastOf(const std::string& name, const std::string& address) {
  std::string broadcast;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return broadcast;
  for (const ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || name != a->ifa_name ||
        (a->ifa_flags & IFF_BROADCAST) == 0 || a->ifa_broadaddr == nullptr) {
      continue;
    }
    const auto in = [](const sockaddr* s) {
      return plat::FormatIPv4(reinterpret_cast<const sockaddr_in*>(s)->sin_addr.s_addr);
    };
    if (in(a->ifa_addr) == address) broadcast = in(a->ifa_broadaddr);
  }
  freeifaddrs(all);
  return broadcast;
}

int SetLocalPortRange(uint16_t first, uint16_t last) {
  return WriteProcFile("/proc/sys/net/ipv4/ip_local_port_range",
                       std::to_string(first) + " " + std::to_string(last));
}

int DropNetAdmin() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return errno;
  const unsigned bit = 1u << (CAP_NET_ADMIN % 32);
  data[CAP_NET_ADMIN / 32].effective &= ~bit;
  data[CAP_NET_ADMIN / 32].permitted &= ~bit;
  return syscall(SYS_capset, &header, data) == 0 ? 0 : errno;
}

}  // namespace dral_test
