#include "client/ClientList.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "client/ClientObj.h"

namespace {

using dral::TClientList;
using dral::TDralClient;

TEST(ClientList, HandlesAreUniqueNonZeroAndNotSmallCounters) {
  TClientList list;
  list.Open();
  std::set<DRAL_Handle> handles;
  for (int i = 0; i < 1000; ++i) {
    const DRAL_Handle h = list.Add(std::make_shared<TDralClient>());
    ASSERT_NE(h, 0u);
    handles.insert(h);
  }
  EXPECT_EQ(handles.size(), 1000u);
  // Values an application might make up, or get from counting, name nothing.
  int found = 0;
  for (DRAL_Handle guess = 1; guess <= 1000; ++guess) found += list.Find(guess) != nullptr;
  EXPECT_LE(found, 1);
}

TEST(ClientList, RemovedHandleIsNotFoundAgain) {
  TClientList list;
  list.Open();
  auto client = std::make_shared<TDralClient>();
  const DRAL_Handle h = list.Add(client);
  EXPECT_EQ(list.Find(h), client);
  EXPECT_EQ(list.Remove(h), client);
  EXPECT_EQ(list.Find(h), nullptr);
  EXPECT_EQ(list.Remove(h), nullptr);
  EXPECT_NE(list.Add(std::make_shared<TDralClient>()), h);  // never handed out twice
}

TEST(ClientList, ClosedListHandsBackEveryConnectionAndTakesNoMore) {
  TClientList list;
  EXPECT_EQ(list.Add(std::make_shared<TDralClient>()), 0u);  // not open yet
  list.Open();
  const DRAL_Handle a = list.Add(std::make_shared<TDralClient>());
  list.Add(std::make_shared<TDralClient>());
  EXPECT_EQ(list.Close().size(), 2u);
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.Find(a), nullptr);
  EXPECT_EQ(list.Add(std::make_shared<TDralClient>()), 0u);
}

TEST(ClientList, ConcurrentUseKeepsFoundConnectionsAlive) {
  TClientList list;
  list.Open();
  std::atomic<bool> stop{false};
  std::vector<DRAL_Handle> shared(64);
  for (auto& h : shared) h = list.Add(std::make_shared<TDralClient>());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      size_t i = static_cast<size_t>(t);
      while (!stop.load()) {
        const DRAL_Handle h = shared[i++ % shared.size()];
        if (auto client = list.Find(h)) {
          EXPECT_FALSE(client->Connected());
        }
        if (t == 0) {
          if (auto gone = list.Remove(h)) list.Add(std::move(gone));
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stop.store(true);
  for (auto& th : threads) th.join();
  EXPECT_EQ(list.Count(), 64u);
}

}  // namespace
