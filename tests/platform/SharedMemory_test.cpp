#include "plat/shared_memory.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ipc_test_util.h"
#include "plat/object_name.h"
#include "testsupport/test_env.h"

namespace {

using plat::SharedMemory;
using plat_test::Exists;
using plat_test::Marker;
using plat_test::Touch;
using plat_test::WaitUntil;

constexpr int kChildTimeoutMs = 20000;

std::string ShmPath(const std::string& name) {
  return "/dev/shm" + plat::PosixObjectName(name);
}

std::unique_ptr<SharedMemory> OpenOrFail(const std::string& name, uint32_t size) {
  int error = 0;
  auto mem = SharedMemory::Open(name, size, &error);
  EXPECT_NE(mem, nullptr) << "errno " << error;
  return mem;
}

bool AllZero(const void* p, size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

class SharedMemoryTest : public dral_test::IsolatedTest {};

TEST_F(SharedMemoryTest, FirstOpenerCreatesZeroedBlock) {
  auto mem = OpenOrFail("Local\\Block", 299932);
  ASSERT_NE(mem, nullptr);
  EXPECT_TRUE(mem->Created());
  EXPECT_EQ(mem->Size(), 299932u);
  EXPECT_TRUE(AllZero(mem->View(), 299932));
}

TEST_F(SharedMemoryTest, SecondOpenerSharesTheBlockWithoutCreating) {
  auto first = OpenOrFail("Local\\Block", 4096);
  ASSERT_NE(first, nullptr);
  std::memcpy(first->View(), "hello", 6);
  auto second = OpenOrFail("Local\\Block", 4096);
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(second->Created());
  EXPECT_STREQ(static_cast<const char*>(second->View()), "hello");
  static_cast<char*>(second->View())[0] = 'J';
  EXPECT_EQ(static_cast<const char*>(first->View())[0], 'J');
}

TEST_F(SharedMemoryTest, ObjectIsWorldReadableAndWritable) {
  const mode_t old = umask(077);
  auto mem = OpenOrFail("Global\\Block", 64);
  umask(old);
  ASSERT_NE(mem, nullptr);
  struct stat st {};
  ASSERT_EQ(stat(ShmPath("Global\\Block").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(SharedMemoryTest, BlockEndsWithItsLastHolder) {
  auto first = OpenOrFail("Local\\Block", 64);
  auto second = OpenOrFail("Local\\Block", 64);
  ASSERT_NE(second, nullptr);
  static_cast<char*>(first->View())[0] = 7;
  first.reset();
  EXPECT_TRUE(Exists(ShmPath("Local\\Block")));
  second.reset();
  EXPECT_FALSE(Exists(ShmPath("Local\\Block")));
  EXPECT_FALSE(Exists(ShmPath("Local\\Block") + ".lock"));
  auto third = OpenOrFail("Local\\Block", 64);
  ASSERT_NE(third, nullptr);
  EXPECT_TRUE(third->Created());
  EXPECT_EQ(static_cast<char*>(third->View())[0], 0);
}

TEST_F(SharedMemoryTest, SmallerObjectGrowsAndKeepsItsBytes) {
  auto probe = OpenOrFail("Local\\Block", 4);
  ASSERT_NE(probe, nullptr);
  std::memcpy(probe->View(), "\x01\x02\x03\x04", 4);
  auto full = OpenOrFail("Local\\Block", 299932);
  ASSERT_NE(full, nullptr);
  EXPECT_FALSE(full->Created());
  const auto* bytes = static_cast<const unsigned char*>(full->View());
  EXPECT_EQ(bytes[3], 4);
  EXPECT_TRUE(AllZero(bytes + 4, 299932 - 4));
  bytes = nullptr;
  static_cast<unsigned char*>(full->View())[299931] = 0xAB;  // the grown tail is mapped
  // A later small opener maps only its own size of the larger object.
  auto small = OpenOrFail("Local\\Block", 4);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(static_cast<const unsigned char*>(small->View())[0], 1);
}

TEST_F(SharedMemoryTest, StaleObjectWithoutHolderIsReinitialised) {
  // Left behind by a process that no longer exists: bytes, but nobody holds a lock on it.
  const std::string posix = plat::PosixObjectName("Local\\Block");
  int fd = shm_open(posix.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 100), 0);
  ASSERT_EQ(pwrite(fd, "stale", 5, 0), 5);
  close(fd);
  auto mem = OpenOrFail("Local\\Block", 4096);
  ASSERT_NE(mem, nullptr);
  EXPECT_TRUE(mem->Created());
  EXPECT_TRUE(AllZero(mem->View(), 4096));
}

TEST_F(SharedMemoryTest, ZeroSizeFailsWithEinval) {
  int error = 0;
  EXPECT_EQ(SharedMemory::Open("Local\\Block", 0, &error), nullptr);
  EXPECT_EQ(error, EINVAL);
}

TEST_F(SharedMemoryTest, TooLongNameFailsCleanly) {
  int error = 0;
  EXPECT_EQ(SharedMemory::Open("Local\\" + std::string(300, 'n'), 64, &error), nullptr);
  EXPECT_TRUE(error == ENAMETOOLONG || error == EINVAL) << error;
}

TEST_F(SharedMemoryTest, InitializerRunsOnlyForTheCreator) {
  int runs = 0;
  auto init = [&](void* view) {
    ++runs;
    static_cast<char*>(view)[0] = 'I';
    return 0;
  };
  int error = 0;
  auto first = SharedMemory::Open("Local\\Block", 64, &error, init);
  ASSERT_NE(first, nullptr);
  auto second = SharedMemory::Open("Local\\Block", 64, &error, init);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(static_cast<char*>(second->View())[0], 'I');
}

TEST_F(SharedMemoryTest, FailingInitializerFailsOpenAndLeavesNothing) {
  int error = 0;
  auto mem = SharedMemory::Open("Local\\Block", 64, &error, [](void*) { return ENOMEM; });
  EXPECT_EQ(mem, nullptr);
  EXPECT_EQ(error, ENOMEM);
  EXPECT_FALSE(Exists(ShmPath("Local\\Block")));
  auto next = OpenOrFail("Local\\Block", 64);
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(next->Created());
}

TEST_F(SharedMemoryTest, ThreadsOpeningAtOnceCreateExactlyOnce) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; ++round) {
    const std::string name = "Local\\Race" + std::to_string(round);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::unique_ptr<SharedMemory>> mems(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        ++ready;
        while (!go) std::this_thread::yield();
        int error = 0;
        mems[i] = SharedMemory::Open(name, 4096, &error);
      });
    }
    while (ready < kThreads) std::this_thread::yield();
    go = true;
    for (auto& t : threads) t.join();
    int created = 0;
    for (auto& m : mems) {
      ASSERT_NE(m, nullptr);
      created += m->Created() ? 1 : 0;
    }
    EXPECT_EQ(created, 1) << "round " << round;
  }
}

TEST_F(SharedMemoryTest, NamespacesNeverShareABlock) {
  const std::string base = env_.Namespace();
  int error = 0;
  setenv("DRAL_IPC_NAMESPACE", (base + "A").c_str(), 1);
  auto a = SharedMemory::Open("Global\\DRAL_Driver", 64, &error);
  setenv("DRAL_IPC_NAMESPACE", (base + "B").c_str(), 1);
  auto b = SharedMemory::Open("Global\\DRAL_Driver", 64, &error);
  setenv("DRAL_IPC_NAMESPACE", base.c_str(), 1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(a->Created());
  EXPECT_TRUE(b->Created());
  static_cast<char*>(a->View())[0] = 42;
  EXPECT_EQ(static_cast<char*>(b->View())[0], 0);
}

// Many threads open and close one name over and over, so that first openers and last closers
// race. Whoever holds a handle must share one object with every other handle open at the same
// time, and nobody may clear it under them: each creator stamps a new epoch (under the creation
// lock, through the initializer), and each handle checks before closing that its object still
// carries the current epoch and the mark it wrote.
TEST_F(SharedMemoryTest, HandlesOpenAtOnceAlwaysShareOneObject) {
  constexpr int kThreads = 8;
  constexpr int kIterations = 1000;
  struct Block {
    std::atomic<uint64_t> Epoch;
    std::atomic<uint64_t> Mark[kThreads];
  };
  std::atomic<uint64_t> currentEpoch{0};
  std::atomic<uint64_t> nextEpoch{1};
  std::atomic<int> failures{0}, creations{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 1; n <= kIterations && failures == 0; ++n) {
        int error = 0;
        auto mem = SharedMemory::Open("Local\\Churn", sizeof(Block), &error, [&](void* view) {
          const uint64_t epoch = nextEpoch++;
          static_cast<Block*>(view)->Epoch = epoch;
          currentEpoch = epoch;
          return 0;
        });
        if (!mem) {
          ++failures;
          break;
        }
        creations += mem->Created() ? 1 : 0;
        auto* block = static_cast<Block*>(mem->View());
        block->Mark[i] = static_cast<uint64_t>(n);
        if (n % 3 == 0) std::this_thread::yield();
        if (block->Mark[i] != static_cast<uint64_t>(n) || block->Epoch != currentEpoch) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_GT(creations, 1);  // the name did end and begin again: the race was exercised
}

// The child maps a block, fills it, tells the parent and waits to be killed.
TEST_F(SharedMemoryTest, FreshRunAfterCrashedHolder) {
  if (dral_test::Role() == "crash-holder") {
    int error = 0;
    auto mem = SharedMemory::Open("Local\\Block", 4096, &error);
    if (!mem) _exit(2);
    std::memset(mem->View(), 0x5A, 4096);
    Touch(Marker("filled"));
    for (;;) pause();
  }
  const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "crash-holder");
  ASSERT_GT(child, 0);
  ASSERT_TRUE(WaitUntil([] { return Exists(Marker("filled")); }, kChildTimeoutMs));
  ASSERT_EQ(kill(child, SIGKILL), 0);
  ASSERT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 128 + SIGKILL);
  // The dead holder's object is still there, with its bytes.
  ASSERT_TRUE(Exists(ShmPath("Local\\Block")));
  auto mem = OpenOrFail("Local\\Block", 4096);
  ASSERT_NE(mem, nullptr);
  EXPECT_TRUE(mem->Created());
  EXPECT_TRUE(AllZero(mem->View(), 4096));
}

// A holder that lives on keeps the block for the next opener: it is not reinitialised.
TEST_F(SharedMemoryTest, LivingHolderInOtherProcessKeepsTheBlock) {
  if (dral_test::Role() == "opener") {
    int error = 0;
    auto mem = SharedMemory::Open("Local\\Block", 4096, &error);
    if (!mem) _exit(2);
    if (mem->Created()) _exit(3);
    _exit(std::memcmp(mem->View(), "parent", 7) == 0 ? 0 : 4);
  }
  auto mem = OpenOrFail("Local\\Block", 4096);
  ASSERT_NE(mem, nullptr);
  std::memcpy(mem->View(), "parent", 7);
  const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "opener");
  ASSERT_GT(child, 0);
  EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
}

// A forked child that destroys its copy of an object (as its exit() would) leaves the parent's
// holder lock and the name as they are, with or without another holder.
TEST_F(SharedMemoryTest, AForkedChildsCopyLeavesTheParentsHolderLockAlone) {
  for (const bool otherHolder : {false, true}) {
    auto parent = OpenOrFail("Local\\Block", 64);
    auto other = otherHolder ? OpenOrFail("Local\\Block", 64) : nullptr;
    const pid_t child = fork();
    if (child == 0) {
      parent.reset();
      _exit(0);
    }
    ASSERT_GT(child, 0);
    EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
    EXPECT_TRUE(Exists(ShmPath("Local\\Block"))) << "other holder: " << otherHolder;
    other.reset();  // the parent is the one holder now
    auto next = OpenOrFail("Local\\Block", 64);
    ASSERT_NE(next, nullptr);
    EXPECT_FALSE(next->Created()) << "the parent lost its holder lock; other holder: " << otherHolder;
    next.reset();
    parent.reset();
    EXPECT_FALSE(Exists(ShmPath("Local\\Block")));
  }
}

// Several processes released at once on a new name: exactly one reports Created. Each child
// holds its mapping until all have opened, so none can see an object that another has closed.
TEST_F(SharedMemoryTest, ProcessesOpeningAtOnceCreateExactlyOnce) {
  constexpr int kChildren = 4;
  constexpr int kRounds = 4;
  const std::string role = dral_test::Role();
  if (role.rfind("racer", 0) == 0) {
    const std::string id = role.substr(5);
    const char* round = std::getenv("RACE_ROUND");
    const std::string r = round ? round : "0";
    Touch(Marker("ready" + r + "_" + id));
    if (!WaitUntil([&] { return Exists(Marker("go" + r)); }, kChildTimeoutMs)) _exit(2);
    int error = 0;
    auto mem = SharedMemory::Open("Local\\Race" + r, 4096, &error);
    if (!mem) _exit(3);
    const bool created = mem->Created();
    Touch(Marker("opened" + r + "_" + id));
    if (!WaitUntil([&] { return Exists(Marker("release" + r)); }, kChildTimeoutMs)) _exit(4);
    _exit(created ? 10 : 11);
  }
  for (int r = 0; r < kRounds; ++r) {
    const std::string rs = std::to_string(r);
    setenv("RACE_ROUND", rs.c_str(), 1);
    std::vector<pid_t> children;
    for (int i = 0; i < kChildren; ++i) {
      children.push_back(dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "racer" + std::to_string(i)));
      ASSERT_GT(children.back(), 0);
    }
    unsetenv("RACE_ROUND");
    for (int i = 0; i < kChildren; ++i) {
      ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("ready" + rs + "_" + std::to_string(i))); },
                            kChildTimeoutMs));
    }
    Touch(Marker("go" + rs));
    for (int i = 0; i < kChildren; ++i) {
      ASSERT_TRUE(WaitUntil([&] { return Exists(Marker("opened" + rs + "_" + std::to_string(i))); },
                            kChildTimeoutMs));
    }
    Touch(Marker("release" + rs));
    int created = 0, opened = 0;
    for (pid_t c : children) {
      const int status = dral_test::WaitChild(c, kChildTimeoutMs);
      created += status == 10;
      opened += status == 11;
    }
    EXPECT_EQ(created, 1) << "round " << r;
    EXPECT_EQ(opened, kChildren - 1) << "round " << r;
  }
}

// A "Global\" object that this user may not open fails with EACCES instead of crashing; the
// channel then falls back to "Local\". As root the check runs in a child that gives up root.
TEST_F(SharedMemoryTest, GlobalObjectOfAnotherUserFailsWithEacces) {
  if (dral_test::Role() == "unprivileged") {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    int error = 0;
    auto mem = SharedMemory::Open("Global\\Restricted", 64, &error);
    if (mem) _exit(3);
    _exit(error == EACCES ? 0 : 4);
  }
  const std::string posix = plat::PosixObjectName("Global\\Restricted");
  const int fd = shm_open(posix.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, geteuid() == 0 ? 0600 : 0000), 0);
  ASSERT_EQ(ftruncate(fd, 64), 0);
  if (geteuid() == 0) {
    const pid_t child = dral_test::SpawnSelf(dral_test::CurrentTestFilter(), "unprivileged");
    ASSERT_GT(child, 0);
    EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
  } else {
    int error = 0;
    EXPECT_EQ(SharedMemory::Open("Global\\Restricted", 64, &error), nullptr);
    EXPECT_EQ(error, EACCES);
  }
  close(fd);
}

}  // namespace
