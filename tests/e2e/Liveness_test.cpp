// Applications and the server die at any moment: what a killed application held goes back to
// the others, and an application learns at once that its server died.
#include <signal.h>

#include <string>
#include <thread>

#include "E2eHarness.h"

namespace e2e {
namespace {

constexpr int kKilledApplications = 20;
constexpr int kApplicationLifetimeS = 25;  // until killed: longer than the test may take
constexpr int kServerExitMs = 10000;

using LivenessTest = SystemFixture;

TEST_F(LivenessTest, KilledApplicationsGiveBackTheirSlotsAndCountsAndTheServerStillEnds) {
  const std::string role = dral_test::Role();
  if (role.rfind("killed", 0) == 0) {
    Api api = Load();
    const DRAL_Handle h = api.Connect();
    ASSERT_NE(h, 0u) << "no slot left for " << role;
    Mark(role + "-connected");
    std::this_thread::sleep_for(std::chrono::seconds(kApplicationLifetimeS));
    return;
  }
  if (role == "last") {
    Api api = Load();
    const DRAL_Handle h = api.Connect();
    ASSERT_NE(h, 0u);
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Mark("last-unloading");
    Unload(api);
    return;
  }

  pid_t server = -1;
  for (int i = 0; i < kKilledApplications; ++i) {
    const std::string app = "killed" + std::to_string(i);
    StartApplication(app);
    ASSERT_TRUE(AwaitApplication(app + "-connected"));
    if (server < 0) server = FindServer();
    ASSERT_EQ(kill(apps_[app], SIGKILL), 0);
    ASSERT_EQ(ApplicationExit(app), 128 + SIGKILL);
  }
  ASSERT_GT(server, 0);
  StartApplication("last");
  ASSERT_TRUE(AwaitApplication("last-unloading"));
  const auto gone = Clock::now();
  ASSERT_EQ(ApplicationExit("last"), 0);
  EXPECT_EQ(WaitExit(server, kServerExitMs), 0);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - gone).count();
  // The counts of the dead were taken back long before: the usual delay of 3000 ms from the
  // last 400 ms tick that saw an application, plus the shutdown (wide: the machine is busy).
  EXPECT_GE(ms, 2000) << ms;
  EXPECT_LE(ms, 5500) << ms;
}

TEST_F(LivenessTest, AnApplicationLearnsAtOnceThatItsServerDied) {
  if (dral_test::Role() == "app") {
    Api api = Load();
    const DRAL_Handle h = api.Connect();
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(WaitLinkState(api, h, DRAL_LINK_SEARCHING, kApplicationStepMs));
    Mark("searching");
    EXPECT_TRUE(WaitLinkState(api, h, DRAL_LINK_NO_SERVER, kApplicationStepMs))
        << std::hex << api.GetStatus(h);
    Mark("no-server");
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Unload(api);
    return;
  }
  StartApplication("app");
  ASSERT_TRUE(AwaitApplication("searching"));
  const pid_t server = FindServer();
  ASSERT_GT(server, 0);
  ASSERT_EQ(kill(server, SIGKILL), 0);
  ASSERT_EQ(WaitExit(server, kServerExitMs), 128 + SIGKILL);
  const auto killed = Clock::now();
  ASSERT_TRUE(AwaitApplication("no-server"));
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - killed).count();
  EXPECT_LT(ms, 1000);
  EXPECT_EQ(ApplicationExit("app"), 0);
}

}  // namespace
}  // namespace e2e
