#include "plat/object_name.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "testsupport/test_env.h"

namespace {

class ObjectName : public dral_test::IsolatedTest {};

TEST_F(ObjectName, GlobalNameGetsNamespaceAndDots) {
  EXPECT_EQ(plat::PosixObjectName("Global\\DRAL_Driver"), "/" + env_.Namespace() + "Global.DRAL_Driver");
}

TEST_F(ObjectName, BlanksBecomeUnderscores) {
  EXPECT_EQ(plat::PosixObjectName("Global\\DRAL_Driver_Event Client15"),
            "/" + env_.Namespace() + "Global.DRAL_Driver_Event_Client15");
}

TEST_F(ObjectName, LocalNameCarriesTheUserId) {
  EXPECT_EQ(plat::PosixObjectName("Local\\DRAL_Driver"),
            "/" + env_.Namespace() + "Local." + std::to_string(getuid()) + ".DRAL_Driver");
}

TEST_F(ObjectName, BareNameIsKept) {
  EXPECT_EQ(plat::PosixObjectName("Plain"), "/" + env_.Namespace() + "Plain");
}

TEST_F(ObjectName, SlashesCannotSplitTheName) {
  EXPECT_EQ(plat::PosixObjectName("a/b"), "/" + env_.Namespace() + "a.b");
}

TEST_F(ObjectName, WithoutNamespaceThereIsNoPrefix) {
  unsetenv("DRAL_IPC_NAMESPACE");
  const std::string name = plat::PosixObjectName("Global\\X Y");
  setenv("DRAL_IPC_NAMESPACE", env_.Namespace().c_str(), 1);
  EXPECT_EQ(name, "/Global.X_Y");
}

}  // namespace
