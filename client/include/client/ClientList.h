// ClientList: the process's live connections, found by their 32-bit handles.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "DRAL.h"
#include "classlib/ThreadSafety.h"

namespace dral {

class TDralClient;

// Handles are drawn from a per-process permutation of a counter, so they are unique for 2^32
// connections, never 0, and a stale or made-up value almost never names a live connection; a
// value that names none is simply not found (nothing is dereferenced to check it).
//
// Threads: every member is safe from any thread. A found connection is shared: a caller keeps
// it alive for its call even when another thread removes it meanwhile.
class TClientList {
 public:
  TClientList();
  TClientList(const TClientList&) = delete;
  TClientList& operator=(const TClientList&) = delete;

  // Makes the list accept connections (process attach).
  void Open();
  // Stops accepting connections and hands back every one still listed (process detach). The
  // list keeps no memory afterwards.
  std::vector<std::shared_ptr<TDralClient>> Close();

  // Lists `client` and returns its new handle; 0 when the list is closed.
  DRAL_Handle Add(std::shared_ptr<TDralClient> client);
  // The connection of `handle`, or null.
  std::shared_ptr<TDralClient> Find(DRAL_Handle handle) const;
  // Unlists the connection of `handle` and returns it, or null when there is none.
  std::shared_ptr<TDralClient> Remove(DRAL_Handle handle);
  size_t Count() const;

 private:
  DRAL_Handle NextHandleLocked() REQUIRES(mutex_);

  mutable cls::SharedMutex mutex_;
  bool open_ GUARDED_BY(mutex_) = false;
  uint32_t serial_ GUARDED_BY(mutex_) = 0;
  const uint32_t key_;
  std::map<DRAL_Handle, std::shared_ptr<TDralClient>> clients_ GUARDED_BY(mutex_);
};

}  // namespace dral
