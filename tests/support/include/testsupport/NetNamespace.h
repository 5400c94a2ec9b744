// Network namespaces for tests of code that changes the host's network set-up: a forked child
// of the test gets a network namespace of its own (inside a user namespace of its own when it
// is not root), so that interfaces and addresses made there never touch the machine's own.
// With a minimal rtnetlink client for what the tests need that the platform layer does not
// offer: a veth pair, an interface alias, an interface up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dral_test {

struct NamespaceRun {
  bool Made = false;  // false: no namespace could be made (see WhyNot); nothing ran
  std::string WhyNot;
  int Status = -1;    // the child's exit status: 0 when `body` recorded no failure
};

// Forks a child that enters a new network namespace (with the loopback interface up) and runs
// `body` there; gtest failures of the child are printed by the child and give a non-zero
// Status. The child is killed after `timeoutMs`. Call only from a test's own thread, with no
// other thread of the test busy (the child inherits their locks held, the allocator's too).
NamespaceRun RunInNetNamespace(const std::function<void()>& body, int timeoutMs = 20000);

// In a test: runs `body` in a namespace, skips the test when none can be made, else expects
// the body to have passed.
#define EXPECT_RAN_IN_NAMESPACE(...)                                              \
  do {                                                                            \
    const ::dral_test::NamespaceRun namespaceRun = ::dral_test::RunInNetNamespace(__VA_ARGS__); \
    if (!namespaceRun.Made) GTEST_SKIP() << namespaceRun.WhyNot;                  \
    EXPECT_EQ(namespaceRun.Status, 0) << "the checks in the namespace failed (above)"; \
  } while (0)

// The rest is for the body, in the namespace. Each returns 0 or an errno value.

// Makes a second network namespace for the adapter side; *fd refers to it (close-on-exec).
// The calling thread stays in its own.
int MakePeerNamespace(int* fd);
// Moves the calling thread into the network namespace `fd` (sockets made afterwards belong to
// it; those made before keep theirs).
int EnterNetNamespace(int fd);
// Opens the calling thread's network namespace.
int OpenOwnNetNamespace(int* fd);

// A veth pair `name` here and `peer` in the namespace `peerNs` (-1: here as well).
int AddVethPair(const std::string& name, const std::string& peer, int peerNs);
int SetInterfaceAlias(const std::string& name, const std::string& alias);
int SetInterfaceUp(const std::string& name);
// Adds `address`/`prefix` with the platform's own call (the code under test elsewhere).
int AddAddress(const std::string& name, const std::string& address, int prefix);
// Every IPv4 address of interface `name`, dotted, in the kernel's order.
std::vector<std::string> AddressesOf(const std::string& name);
// The broadcast address that `address` (dotted) has on interface `name`; "" when the interface
// has no such address or it has no broadcast address.
std::string BroadcastOf(const std::string& name, const std::string& address);
// The range of local ports this namespace gives to connections.
int SetLocalPortRange(uint16_t first, uint16_t last);
// Drops CAP_NET_ADMIN from the calling thread (and the threads it creates afterwards).
int DropNetAdmin();

}  // namespace dral_test
