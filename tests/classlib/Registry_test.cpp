#include "classlib/Registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/test_env.h"

namespace {

using cls::ERegistryException;
using cls::TRegistry;

constexpr const char* kAppKey = "\\SOFTWARE\\Trevik\\DRAL";

class TRegistryTest : public dral_test::IsolatedTest {};

TEST_F(TRegistryTest, ValuesRoundTripThroughTheOpenKey) {
  TRegistry reg;
  EXPECT_EQ(reg.RootKey(), cls::HKEY_CURRENT_USER);
  ASSERT_TRUE(reg.OpenKey(kAppKey, true));
  EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Trevik\\DRAL");
  reg.WriteString("DevicePort", "COM3\nsecond line");
  reg.WriteInteger("MaxBaudRate", 57600);
  reg.WriteInteger("Negative", -1);
  reg.WriteBool("AutoPortScan", true);
  reg.WriteBool("EthernetEnabled", false);

  TRegistry other;
  ASSERT_TRUE(other.OpenKeyReadOnly("software\\trevik\\dral"));
  EXPECT_EQ(other.ReadString("deviceport"), "COM3\nsecond line");
  EXPECT_EQ(other.ReadInteger("MaxBaudRate"), 57600);
  EXPECT_EQ(other.ReadInteger("Negative"), -1);
  EXPECT_TRUE(other.ReadBool("AutoPortScan"));
  EXPECT_FALSE(other.ReadBool("EthernetEnabled"));
  EXPECT_TRUE(other.ReadBool("Negative"));  // any non-zero integer is true
  EXPECT_TRUE(other.ValueExists("MAXBAUDRATE"));
  EXPECT_FALSE(other.ValueExists("FixedBaudRate"));
  std::vector<std::string> names = {"stale"};
  other.GetValueNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"DevicePort", "MaxBaudRate", "Negative",
                                             "AutoPortScan", "EthernetEnabled"}));
  EXPECT_TRUE(reg.DeleteValue("Negative"));
  EXPECT_FALSE(reg.DeleteValue("Negative"));
  EXPECT_FALSE(other.ValueExists("Negative"));
}

TEST_F(TRegistryTest, MissingStringsReadEmptyAndMissingOrWrongIntegersRaise) {
  TRegistry reg;
  // No key open yet: strings read empty, integers raise.
  EXPECT_EQ(reg.ReadString("DevicePort"), "");
  EXPECT_THROW(reg.ReadInteger("MaxBaudRate"), ERegistryException);
  EXPECT_FALSE(reg.ValueExists("DevicePort"));

  ASSERT_TRUE(reg.OpenKey(kAppKey, true));
  reg.WriteString("Text", "57600");
  reg.WriteInteger("Number", 1);
  EXPECT_EQ(reg.ReadString("Absent"), "");
  EXPECT_THROW(reg.ReadInteger("Absent"), ERegistryException);
  EXPECT_THROW(reg.ReadBool("Absent"), ERegistryException);
  EXPECT_THROW(reg.ReadInteger("Text"), ERegistryException);
  EXPECT_THROW(reg.ReadString("Number"), ERegistryException);
  try {
    reg.ReadInteger("Text");
    ADD_FAILURE() << "no exception";
  } catch (const cls::Exception& e) {
    EXPECT_NE(e.Message().find("'Text'"), std::string::npos) << e.Message();
  }
}

TEST_F(TRegistryTest, WritesNeedAKeyOpenForWriting) {
  TRegistry reg;
  EXPECT_THROW(reg.WriteString("DevicePort", "COM1"), ERegistryException);
  EXPECT_FALSE(reg.OpenKey(kAppKey, false));  // missing and not to be created
  EXPECT_FALSE(reg.HasCurrentKey());
  EXPECT_THROW(reg.WriteInteger("MaxBaudRate", 9600), ERegistryException);
  EXPECT_FALSE(reg.KeyExists(kAppKey));
  EXPECT_FALSE(reg.OpenKeyReadOnly(kAppKey));

  ASSERT_TRUE(reg.OpenKey(kAppKey, true));
  reg.WriteString("DevicePort", "COM1");
  ASSERT_TRUE(reg.OpenKeyReadOnly(kAppKey));
  EXPECT_THROW(reg.WriteString("DevicePort", "COM2"), ERegistryException);
  EXPECT_THROW(reg.WriteBool("AutoPortScan", true), ERegistryException);
  EXPECT_FALSE(reg.DeleteValue("DevicePort"));
  EXPECT_EQ(reg.ReadString("DevicePort"), "COM1");
  reg.CloseKey();
  EXPECT_THROW(reg.WriteString("DevicePort", "COM2"), ERegistryException);
}

TEST_F(TRegistryTest, PathsAreRelativeToTheOpenKeyUnlessTheyStartWithABackslash) {
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("Software\\Lab", true));  // no key open: from the root
  ASSERT_TRUE(reg.OpenKey("ComPort1", true));
  EXPECT_EQ(reg.CurrentPath(), "Software\\Lab\\ComPort1");
  reg.WriteInteger("BaudRate", 19200);
  EXPECT_FALSE(reg.OpenKey("Missing", false));  // a failed open keeps the current key
  EXPECT_EQ(reg.CurrentPath(), "Software\\Lab\\ComPort1");

  ASSERT_TRUE(reg.OpenKey("\\Software", false));
  EXPECT_EQ(reg.CurrentPath(), "Software");
  EXPECT_TRUE(reg.KeyExists("Lab\\ComPort1"));
  EXPECT_FALSE(reg.KeyExists("ComPort1"));
  ASSERT_TRUE(reg.OpenKeyReadOnly("LAB\\comport1"));
  EXPECT_EQ(reg.ReadInteger("BaudRate"), 19200);
}

TEST_F(TRegistryTest, RootKeySelectsTheHive) {
  TRegistry user;
  ASSERT_TRUE(user.OpenKey(kAppKey, true));
  user.WriteInteger("Visible", 0);

  TRegistry machine;
  machine.SetRootKey(cls::HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(machine.OpenKeyReadOnly(kAppKey));
  ASSERT_TRUE(machine.OpenKey(kAppKey, true));
  machine.WriteInteger("Visible", 1);
  EXPECT_EQ(user.ReadInteger("Visible"), 0);
  EXPECT_EQ(machine.ReadInteger("Visible"), 1);

  user.SetRootKey(cls::HKEY_LOCAL_MACHINE);  // changing the root closes the key
  EXPECT_FALSE(user.HasCurrentKey());
}

}  // namespace
