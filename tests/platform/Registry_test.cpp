#include "plat/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace {

using dral_test::ReadFile;
using dral_test::WriteFile;
using plat::Hive;
using plat::RegAccess;
using plat::RegKey;
using plat::RegStatus;
using plat::RegType;

constexpr const char* kAppKey = "\\SOFTWARE\\Trevik\\DRAL";

class Registry : public dral_test::IsolatedTest {
 protected:
  static RegKey MustCreate(Hive hive, const std::string& path) {
    RegStatus status = RegStatus::IoError;
    std::optional<RegKey> key = RegKey::Create(hive, path, &status);
    EXPECT_EQ(status, RegStatus::Ok) << path;
    if (!key) std::abort();
    return *key;
  }
  static std::string ReadString(const RegKey& key, const std::string& name) {
    std::string value = "<unset>";
    EXPECT_EQ(key.ReadString(name, &value), RegStatus::Ok) << name;
    return value;
  }
};

TEST_F(Registry, StringsAndDwordsRoundTripThroughTheFile) {
  const RegKey key = MustCreate(Hive::CurrentUser, kAppKey);
  std::string allBytes;
  for (int c = 1; c < 256; ++c) allBytes += static_cast<char>(c);
  const std::vector<std::pair<std::string, std::string>> strings = {
      {"Lines", "one\ntwo\r\nthree\\n literal"},
      {"Utf8", "Grüße, 日本語 ✓"},
      {"Spaces", "  padded  "},
      {"Empty", ""},
      {"AllBytes", allBytes},
      {"odd=name[;#\\\n", "a=b"},
      {"", "the key's default value"},
  };
  for (const auto& [name, value] : strings) EXPECT_EQ(key.WriteString(name, value), RegStatus::Ok);
  const uint32_t dwords[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
  for (uint32_t d : dwords) EXPECT_EQ(key.WriteDword("D" + std::to_string(d), d), RegStatus::Ok);

  for (const auto& [name, value] : strings) EXPECT_EQ(ReadString(key, name), value);
  for (uint32_t d : dwords) {
    uint32_t read = 0xDEADBEEF;
    EXPECT_EQ(key.ReadDword("D" + std::to_string(d), &read), RegStatus::Ok);
    EXPECT_EQ(read, d);
  }
  EXPECT_EQ(key.WriteString("Nul", std::string("a\0b", 3)), RegStatus::InvalidArgument);
  // What the writer accepts, the reader must not reject as an overlong line.
  EXPECT_EQ(key.WriteString("Huge", std::string(plat::kMaxLineBytes, 'x')), RegStatus::TooLarge);
  const std::string big(plat::kMaxLineBytes - 64, 'x');
  ASSERT_EQ(key.WriteString("Big", big), RegStatus::Ok);
  EXPECT_EQ(ReadString(key, "Big"), big);
  ASSERT_EQ(key.DeleteValue("Big"), RegStatus::Ok);
  // Every record is one line: escaped newlines never split a value.
  const std::string text = ReadFile(plat::HiveFilePath(Hive::CurrentUser));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 2 + 7 + 5);
}

TEST_F(Registry, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  const RegKey key = MustCreate(Hive::CurrentUser, "\\Software\\Lab\\");
  EXPECT_EQ(key.Path(), "Software\\Lab");
  ASSERT_EQ(key.WriteString("DevicePort", "COM3"), RegStatus::Ok);
  ASSERT_EQ(key.WriteString("Second", "x"), RegStatus::Ok);
  ASSERT_EQ(key.WriteString("DEVICEPORT", "COM4"), RegStatus::Ok);

  const std::optional<RegKey> upper =
      RegKey::Open(Hive::CurrentUser, "SOFTWARE\\LAB", RegAccess::Read);
  ASSERT_TRUE(upper);
  EXPECT_EQ(ReadString(*upper, "deviceport"), "COM4");
  std::vector<std::string> names;
  ASSERT_EQ(upper->ValueNames(&names), RegStatus::Ok);
  EXPECT_EQ(names, (std::vector<std::string>{"DevicePort", "Second"}));
  EXPECT_TRUE(plat::KeyExists(Hive::CurrentUser, "software"));
  EXPECT_NE(ReadFile(plat::HiveFilePath(Hive::CurrentUser)).find("[Software\\Lab]\n"),
            std::string::npos);
}

TEST_F(Registry, KeysValuesAndTypesBehaveAsAStore) {
  // A missing file is an empty hive with only its root.
  EXPECT_TRUE(plat::KeyExists(Hive::CurrentUser, ""));
  RegStatus status = RegStatus::Ok;
  EXPECT_FALSE(RegKey::Open(Hive::CurrentUser, kAppKey, RegAccess::Read, &status));
  EXPECT_EQ(status, RegStatus::NotFound);
  EXPECT_FALSE(RegKey::Create(Hive::CurrentUser, "a\\\\b", &status));
  EXPECT_EQ(status, RegStatus::InvalidArgument);

  const RegKey key = MustCreate(Hive::CurrentUser, kAppKey);
  EXPECT_TRUE(plat::KeyExists(Hive::CurrentUser, "SOFTWARE\\Trevik"));
  ASSERT_EQ(key.WriteString("Text", "t"), RegStatus::Ok);
  ASSERT_EQ(key.WriteDword("Number", 7), RegStatus::Ok);
  EXPECT_EQ(key.ValueType("text"), RegType::String);
  EXPECT_EQ(key.ValueType("number"), RegType::Dword);
  EXPECT_EQ(key.ValueType("absent"), std::nullopt);
  std::string s = "kept";
  uint32_t d = 42;
  EXPECT_EQ(key.ReadString("Number", &s), RegStatus::WrongType);
  EXPECT_EQ(key.ReadDword("Text", &d), RegStatus::WrongType);
  EXPECT_EQ(key.ReadDword("absent", &d), RegStatus::NotFound);
  EXPECT_EQ(s, "kept");
  EXPECT_EQ(d, 42u);

  // Replacing with the other type keeps the value's place; deleting removes it.
  ASSERT_EQ(key.WriteDword("Text", 1), RegStatus::Ok);
  EXPECT_EQ(key.ValueType("Text"), RegType::Dword);
  EXPECT_EQ(key.DeleteValue("NUMBER"), RegStatus::Ok);
  EXPECT_EQ(key.DeleteValue("Number"), RegStatus::NotFound);
  std::vector<std::string> names;
  ASSERT_EQ(key.ValueNames(&names), RegStatus::Ok);
  EXPECT_EQ(names, std::vector<std::string>{"Text"});

  const std::optional<RegKey> readOnly = RegKey::Open(Hive::CurrentUser, kAppKey, RegAccess::Read);
  ASSERT_TRUE(readOnly);
  EXPECT_EQ(readOnly->WriteString("Text", "x"), RegStatus::AccessDenied);
  EXPECT_EQ(readOnly->DeleteValue("Text"), RegStatus::AccessDenied);
  EXPECT_EQ(readOnly->ValueType("Text"), RegType::Dword);
}

TEST_F(Registry, HivesNeverMix) {
  const RegKey user = MustCreate(Hive::CurrentUser, kAppKey);
  const RegKey machine = MustCreate(Hive::LocalMachine, kAppKey);
  ASSERT_EQ(user.WriteString("NetworkHelp", "user"), RegStatus::Ok);
  ASSERT_EQ(machine.WriteString("NetworkHelp", "machine"), RegStatus::Ok);
  ASSERT_EQ(machine.WriteDword("Visible", 1), RegStatus::Ok);
  EXPECT_EQ(ReadString(user, "NetworkHelp"), "user");
  EXPECT_EQ(ReadString(machine, "NetworkHelp"), "machine");
  EXPECT_EQ(user.ValueType("Visible"), std::nullopt);
  EXPECT_EQ(user.DeleteValue("NetworkHelp"), RegStatus::Ok);
  EXPECT_EQ(ReadString(machine, "NetworkHelp"), "machine");
  EXPECT_NE(plat::HiveFilePath(Hive::CurrentUser), plat::HiveFilePath(Hive::LocalMachine));
}

TEST_F(Registry, HiveLocationFollowsTheEnvironmentAtEveryCall) {
  const RegKey key = MustCreate(Hive::CurrentUser, kAppKey);
  ASSERT_EQ(key.WriteString("Where", "first"), RegStatus::Ok);
  EXPECT_EQ(plat::HiveFilePath(Hive::CurrentUser).rfind(env_.RegistryDir() + "/", 0), 0u);

  const std::string other = env_.TempDir() + "/other";
  setenv("DRAL_REGISTRY_DIR", other.c_str(), 1);
  EXPECT_FALSE(plat::KeyExists(Hive::CurrentUser, kAppKey));
  EXPECT_EQ(key.ValueType("Where"), std::nullopt);
  ASSERT_EQ(key.WriteString("Where", "second"), RegStatus::Ok);
  setenv("DRAL_REGISTRY_DIR", env_.RegistryDir().c_str(), 1);
  EXPECT_EQ(ReadString(key, "Where"), "first");

  // Without DRAL_REGISTRY_DIR: the XDG location, else the home directory, and /etc for HKLM.
  auto saved = [](const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  };
  auto restore = [](const char* name, const std::optional<std::string>& v) {
    if (v)
      setenv(name, v->c_str(), 1);
    else
      unsetenv(name);
  };
  const std::optional<std::string> home = saved("HOME");
  const std::optional<std::string> xdg = saved("XDG_CONFIG_HOME");
  unsetenv("DRAL_REGISTRY_DIR");
  setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(plat::HiveFilePath(Hive::CurrentUser), "/xdg/dral/current_user.hive");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(plat::HiveFilePath(Hive::CurrentUser), "/home/u/.config/dral/current_user.hive");
  EXPECT_EQ(plat::HiveFilePath(Hive::LocalMachine), "/etc/dral/local_machine.hive");
  restore("HOME", home);
  restore("XDG_CONFIG_HOME", xdg);
  setenv("DRAL_REGISTRY_DIR", env_.RegistryDir().c_str(), 1);
}

TEST_F(Registry, DamagedHiveReadsTheGoodLinesAndWarnsOnce) {
  const std::string file = plat::HiveFilePath(Hive::CurrentUser);
  WriteFile(file,
            "Orphan=string:before any key\n"
            "[SOFTWARE\\Trevik\\DRAL]\n"
            "Good1=string:one\n"
            "Junk\x01\x02=string:\xff\xfe\n" +
                std::string("Bin\0ary=string:x\n", 17) +
                "BadEscape=string:a\\qb\n"
                "BadType=binary:00\n"
                "TooWide=dword:123456789\n"
                "NoEquals\n"
                "Long=string:" +
                std::string(plat::kMaxLineBytes, 'x') +
                "\n"
                "Good2=dword:2A\n"
                "[Missing\\Bracket\n"
                "Lost=string:under a damaged key\n"
                "[Other]\n"
                "Good3=string:three\n"
                "Cut=string:half writ");

  testing::internal::CaptureStderr();
  const std::optional<RegKey> key = RegKey::Open(Hive::CurrentUser, kAppKey, RegAccess::ReadWrite);
  ASSERT_TRUE(key);
  EXPECT_EQ(ReadString(*key, "Good1"), "one");
  uint32_t d = 0;
  EXPECT_EQ(key->ReadDword("Good2", &d), RegStatus::Ok);
  EXPECT_EQ(d, 0x2Au);
  std::vector<std::string> names;
  EXPECT_EQ(key->ValueNames(&names), RegStatus::Ok);
  EXPECT_EQ(names, (std::vector<std::string>{"Good1", "Good2"}));
  const std::optional<RegKey> other = RegKey::Open(Hive::CurrentUser, "Other", RegAccess::Read);
  ASSERT_TRUE(other);
  EXPECT_EQ(ReadString(*other, "Good3"), "three");
  EXPECT_EQ(other->ValueType("Cut"), std::nullopt);
  EXPECT_FALSE(plat::KeyExists(Hive::CurrentUser, "Missing"));

  // A write keeps what could be read and leaves a clean file.
  ASSERT_EQ(key->WriteString("Good4", "four"), RegStatus::Ok);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find(file), std::string::npos) << err;
  EXPECT_NE(err.find("11 damaged line(s), the first at line 1"), std::string::npos) << err;

  const std::string repaired = ReadFile(file);
  EXPECT_EQ(repaired.find("Junk"), std::string::npos);
  EXPECT_EQ(repaired.back(), '\n');
  EXPECT_EQ(ReadString(*other, "Good3"), "three");
  EXPECT_EQ(ReadString(*key, "Good4"), "four");

  // Pure binary junk: nothing to read, no crash.
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) & 0xFF);
  WriteFile(plat::HiveFilePath(Hive::LocalMachine), junk);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(plat::KeyExists(Hive::LocalMachine, "SOFTWARE"));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("registry:"), std::string::npos);
}

// Several processes with several threads each write their own values many times while a reader
// watches: no value may be lost, and the file must parse at every moment.
constexpr int kWriterProcesses = 3;
constexpr int kWriterThreads = 2;
constexpr int kWritesPerThread = 10;
constexpr const char* kWriterRole = "writer";
constexpr int kChildTimeoutMs = 25000;

void RunWriters(const std::string& process) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kWriterThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::optional<RegKey> key = RegKey::Create(Hive::CurrentUser, kAppKey);
      if (!key) {
        ++failures;
        return;
      }
      const std::string prefix = process + "t" + std::to_string(t);
      for (int i = 0; i < kWritesPerThread; ++i) {
        if (key->WriteString(prefix + "n" + std::to_string(i), prefix) != RegStatus::Ok) ++failures;
        if (key->WriteDword(prefix + "last", static_cast<uint32_t>(i)) != RegStatus::Ok) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(Registry, AHiveThatIsNoRegularFileIsRefusedWithoutBlocking) {
  const std::string file = plat::HiveFilePath(Hive::CurrentUser);
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);  // nobody ever opens its other end
  EXPECT_FALSE(RegKey::Open(Hive::CurrentUser, kAppKey, RegAccess::Read));  // reads as empty
  RegStatus status = RegStatus::Ok;
  EXPECT_FALSE(RegKey::Create(Hive::CurrentUser, kAppKey, &status));
  EXPECT_EQ(status, RegStatus::IoError);
  // The other hive is untouched by it.
  MustCreate(Hive::LocalMachine, kAppKey);
}

TEST_F(Registry, ConcurrentWritersLoseNoValue) {
  const std::string role = dral_test::Role();
  if (role.rfind(kWriterRole, 0) == 0) {
    RunWriters(role);
    return;
  }
  testing::internal::CaptureStderr();
  std::vector<pid_t> children;
  for (int p = 0; p < kWriterProcesses; ++p) {
    children.push_back(
        dral_test::SpawnSelf(dral_test::CurrentTestFilter(), kWriterRole + std::to_string(p)));
    ASSERT_GT(children.back(), 0);
  }
  // The reader looks at the file itself, without the lock, as a reader that cannot get the lock
  // would: it must always be complete, and as values are only added, it never gets shorter.
  const std::string file = plat::HiveFilePath(Hive::CurrentUser);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> shrank{0};
  std::thread reader([&] {
    size_t lastLines = 0;
    while (!done.load()) {
      const std::string text = ReadFile(file);
      const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
      if (!text.empty() && text.back() != '\n') ++torn;
      if (lines < lastLines) ++shrank;
      lastLines = lines;
    }
  });
  RunWriters("parent");
  for (pid_t child : children) EXPECT_EQ(dral_test::WaitChild(child, kChildTimeoutMs), 0);
  done = true;
  reader.join();
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("registry:"), std::string::npos);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(shrank.load(), 0);

  const RegKey key = MustCreate(Hive::CurrentUser, kAppKey);
  std::vector<std::string> processes = {"parent"};
  for (int p = 0; p < kWriterProcesses; ++p) processes.push_back(kWriterRole + std::to_string(p));
  std::vector<std::string> names;
  ASSERT_EQ(key.ValueNames(&names), RegStatus::Ok);
  EXPECT_EQ(names.size(), processes.size() * kWriterThreads * (kWritesPerThread + 1));
  for (const std::string& process : processes) {
    for (int t = 0; t < kWriterThreads; ++t) {
      const std::string prefix = process + "t" + std::to_string(t);
      for (int i = 0; i < kWritesPerThread; ++i) {
        EXPECT_EQ(ReadString(key, prefix + "n" + std::to_string(i)), prefix);
      }
      uint32_t last = 0;
      EXPECT_EQ(key.ReadDword(prefix + "last", &last), RegStatus::Ok);
      EXPECT_EQ(last, static_cast<uint32_t>(kWritesPerThread - 1));
    }
  }
}

TEST_F(Registry, SerialCommListsStoredValuesInsteadOfTheDevices) {
  const std::string path = std::string(plat::kSerialCommKey);
  EXPECT_FALSE(plat::KeyExists(Hive::CurrentUser, path));
  const std::optional<RegKey> probed = RegKey::Open(Hive::LocalMachine, path, RegAccess::Read);
  ASSERT_TRUE(probed);
  std::vector<std::string> names;
  ASSERT_EQ(probed->ValueNames(&names), RegStatus::Ok);
  std::vector<std::string> devices;
  for (const plat::SerialDeviceName& d : plat::ProbeSerialDevices()) devices.push_back(d.name);
  EXPECT_EQ(names, devices);

  const RegKey stored = MustCreate(Hive::LocalMachine, "\\hardware\\devicemap\\serialcomm");
  ASSERT_EQ(stored.WriteString("\\Device\\Serial2", "COM3"), RegStatus::Ok);
  ASSERT_EQ(stored.WriteString("\\Device\\Serial0", "COM1"), RegStatus::Ok);
  ASSERT_EQ(probed->ValueNames(&names), RegStatus::Ok);
  EXPECT_EQ(names, (std::vector<std::string>{"\\Device\\Serial2", "\\Device\\Serial0"}));
  EXPECT_EQ(ReadString(*probed, "\\device\\serial0"), "COM1");
}

TEST_F(Registry, ProbeListsUsbAcmAndRealUartsOnceInNumericOrder) {
  namespace fs = std::filesystem;
  const fs::path dev = env_.TempDir() + "/dev";
  const fs::path sys = env_.TempDir() + "/sys";
  fs::create_directories(dev / "serial/by-id");
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "ttyS2", "ttyXRUSB0",
                           "ttyUSBx", "tty0", "console"}) {
    WriteFile((dev / name).string(), "");
  }
  fs::create_symlink("../../ttyUSB2", dev / "serial/by-id/usb-Adapter_A-if00");
  fs::create_symlink("../../ttyXRUSB0", dev / "serial/by-id/usb-Adapter_B-if00");
  fs::create_directories(sys / "ttyS0");
  fs::create_directories(sys / "ttyS1");
  WriteFile((sys / "ttyS0/type").string(), "4\n");  // a 16550A
  WriteFile((sys / "ttyS1/type").string(), "0\n");  // no UART behind the node
  // ttyS2 has no type in sys and is no tty, so it is no port either.

  std::vector<std::string> names;
  for (const plat::SerialDeviceName& d : plat::ProbeSerialDevices(dev.string(), sys.string())) {
    names.push_back(d.name);
    EXPECT_EQ(d.path, (dev / d.name).string());
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyUSB2", "ttyUSB10", "ttyXRUSB0"}));
}

}  // namespace
