#include "client/ClientList.h"

#include "client/ClientObj.h"
#include "plat/process.h"
#include "plat/tick.h"

namespace dral {
namespace {

// An invertible mix of 32-bit values (odd multipliers and xor-shifts are bijections), so
// distinct serials give distinct handles.
uint32_t Mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

}  // namespace

TClientList::TClientList()
    : key_(Mix(plat::CurrentProcessId() ^ Mix(plat::GetTickCount()))) {}

void TClientList::Open() {
  cls::WriterLock lock(mutex_);
  open_ = true;
}

std::vector<std::shared_ptr<TDralClient>> TClientList::Close() {
  std::vector<std::shared_ptr<TDralClient>> all;
  cls::WriterLock lock(mutex_);
  open_ = false;
  for (auto& entry : clients_) all.push_back(std::move(entry.second));
  clients_.clear();
  return all;
}

DRAL_Handle TClientList::NextHandleLocked() {
  for (;;) {
    const DRAL_Handle handle = Mix(++serial_ ^ key_);
    if (handle != 0 && clients_.find(handle) == clients_.end()) return handle;
  }
}

DRAL_Handle TClientList::Add(std::shared_ptr<TDralClient> client) {
  cls::WriterLock lock(mutex_);
  if (!open_ || !client) return 0;
  const DRAL_Handle handle = NextHandleLocked();
  clients_.emplace(handle, std::move(client));
  return handle;
}

std::shared_ptr<TDralClient> TClientList::Find(DRAL_Handle handle) const {
  cls::ReaderLock lock(mutex_);
  const auto it = clients_.find(handle);
  return it == clients_.end() ? nullptr : it->second;
}

std::shared_ptr<TDralClient> TClientList::Remove(DRAL_Handle handle) {
  cls::WriterLock lock(mutex_);
  const auto it = clients_.find(handle);
  if (it == clients_.end()) return nullptr;
  auto client = std::move(it->second);
  clients_.erase(it);
  return client;
}

size_t TClientList::Count() const {
  cls::ReaderLock lock(mutex_);
  return clients_.size();
}

}  // namespace dral
