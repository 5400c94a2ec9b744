// The library's load-time entry and its eleven exported functions. Each export finds the
// connection by its handle and delegates to it; nothing throws across the C boundary.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "DRAL.h"
#include "channel/HuxIPC.h"
#include "classlib/ThreadSafety.h"
#include "client/ClientList.h"
#include "client/ClientObj.h"
#include "client/ServerLaunch.h"
#include "client/TPThread.h"
#include "plat/process.h"
#include "plat/shared_library.h"

#define DRAL_EXPORT extern "C" __attribute__((visibility("default")))

namespace dral {
namespace {

constexpr uint8_t kProtocolNibble = 0x0F;
constexpr uint8_t kFilterStandardId = DRAL_FILTER_STANDARD_ID;
constexpr size_t kFilterDataOffset = offsetof(DralFilter, Data);
constexpr uint8_t kChannel1 = 1;
constexpr uint8_t kChannel2 = 2;

// An address inside this library, to find the directory it was loaded from.
const char kModuleAnchor = 0;

// What the library keeps for its process: the connections and the process's +1 in the channel's
// attach count (made at load when a block exists, else at the first connection, and taken back
// at unload only when it was made).
//
// A child made by fork() inherits a copy of both, but they belong to the parent, which still
// uses them: the parent's slots and count, receive threads that the child lacks, and holder
// locks whose open file descriptions the child shares (a lock change there is the parent's).
// So the first use in a child replaces the state with a fresh one of its own (no connection,
// nothing counted) and leaves the inherited one alone: it is never destroyed, so no slot is
// released, no edit sent, no count taken back and no lock changed for it; its memory stays
// with the child (reachable from the new state).
//
// The state is never destroyed either: an export that races with process exit (other threads
// still run while exit() unloads the library) finds a closed, empty list rather than freed
// memory. The first state lives in static storage, so an unloaded library leaves no heap
// memory behind (closed, the state holds none); only a forked child's state is allocated.
struct ProcessState {
  explicit ProcessState(uint32_t generation, ProcessState* inherited)
      : Generation(generation), Inherited(inherited) {}
  const uint32_t Generation;  // plat::ForkGeneration() of the process it belongs to
  ProcessState* const Inherited;
  TClientList List;
  TAttachCount AttachCount;
  // Disconnected connections whose receive thread was left running (held up in the
  // address-lost callback): kept until it has ended, then freed, which releases their slots.
  cls::Mutex LeftMutex;
  std::vector<std::shared_ptr<TDralClient>> Left GUARDED_BY(LeftMutex);
};

std::atomic<ProcessState*> gState{nullptr};
// Between load and unload; a forked child's fresh list is open when this is set.
std::atomic<bool> gLoaded{false};

ProcessState* FirstState() {
  alignas(ProcessState) static unsigned char storage[sizeof(ProcessState)];
  static ProcessState* const first = new (storage) ProcessState(plat::ForkGeneration(), nullptr);
  return first;
}

ProcessState& State() {
  const uint32_t generation = plat::ForkGeneration();
  ProcessState* current = gState.load(std::memory_order_acquire);
  if (current == nullptr) {
    gState.compare_exchange_strong(current, FirstState(), std::memory_order_acq_rel);
    current = gState.load(std::memory_order_acquire);
  }
  while (current->Generation != generation) {
    auto* fresh = new ProcessState(generation, current);
    if (gLoaded.load(std::memory_order_acquire)) fresh->List.Open();
    if (gState.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;  // another thread of this process made one first: `current` is it now
  }
  return *current;
}

TClientList& ClientList() { return State().List; }
TAttachCount& ProcessAttachCount() { return State().AttachCount; }

// A disconnected connection is kept while its receive thread still runs.
void KeepWhileThreadRuns(std::shared_ptr<TDralClient> client) {
  if (!client->ThreadLeftRunning()) return;
  ProcessState& state = State();
  cls::MutexLock lock(state.LeftMutex);
  state.Left.push_back(std::move(client));
}

// Frees the kept connections whose receive thread has ended.
void FreeEndedConnections() {
  ProcessState& state = State();
  std::vector<std::shared_ptr<TDralClient>> ended;  // freed after the lock is released
  cls::MutexLock lock(state.LeftMutex);
  for (auto it = state.Left.begin(); it != state.Left.end();) {
    if ((*it)->ThreadLeftRunning()) {
      ++it;
      continue;
    }
    ended.push_back(std::move(*it));
    it = state.Left.erase(it);
  }
}

// Keeps this library loaded for the rest of the process: a load of its own file that is never
// undone. From then on a dlclose leaves it in place, and its unload runs at process exit. True
// once pinned.
bool PinLibrary() {
  static plat::SharedLibrary* const self = new plat::SharedLibrary;  // never freed
  static const bool pinned = self->Load({plat::ModulePath(&kModuleAnchor)});
  return pinned;
}

// A load cannot fail from here: when the list cannot be made, it stays closed and every
// DRAL_Connect returns 0.
void ProcessAttach() {
  // All floating-point exceptions masked (the Linux default; an application may have
  // unmasked some).
  plat::MaskFloatingPointExceptions();
  StartServer(&kModuleAnchor);
  try {
    ClientList().Open();
  } catch (...) {
    return;
  }
  gLoaded.store(true, std::memory_order_release);
  ProcessAttachCount().Attach();  // no block yet (no server, no connection): counted later
}

// Runs at dlclose and at normal process exit. The receive threads and multi-packet sends of
// connections left open are waited for until they have ended, as no thread may run on in code
// that dlclose unmaps: their loop never needs the loader's lock, so they can end while a
// dlclose holds it, and exit() holds nothing they need either. Two threads are left running,
// with their memory never freed under them: a receive thread held up in an address-lost
// callback, given up on as DRAL_Disconnect does (a callback pinned the library, so this runs
// at process exit, which unmaps nothing), and the calling thread itself (exit() from a
// callback).
void ProcessDetach() {
  gLoaded.store(false, std::memory_order_release);
  ProcessAttachCount().Detach();
  try {
    for (auto& client : ClientList().Close()) client->Disconnect();
    FreeEndedConnections();
  } catch (...) {
  }
  // Every connection ended its own multi-packet sends; what is left (sends of a connection
  // destroyed on its own receive thread, or finished ones not yet joined) is ended and joined
  // here, so no send runs on in code that a dlclose unmaps.
  ProcessTransportList().StopAll();
}

__attribute__((constructor)) void LibraryAttach() {
  ProcessAttach();
}
__attribute__((destructor)) void LibraryDetach() {
  ProcessDetach();
}

uint32_t PutByProtocol(TDralClient& client, const uint8_t* message, uint16_t length) {
  // No protocol byte to look at: too short for every protocol.
  if (length == 0) return DRAL_ERR_LENGTH;
  switch (message[0]) {
    case DRAL_PROTOCOL_CAN1:
    case DRAL_PROTOCOL_CAN2:
    case DRAL_PROTOCOL_CAN1 | DRAL_PROTOCOL_STANDARD_ID:
    case DRAL_PROTOCOL_CAN2 | DRAL_PROTOCOL_STANDARD_ID:
      if (length < DRAL_CAN_MIN_LENGTH || length > DRAL_CAN_MAX_LENGTH) return DRAL_ERR_LENGTH;
      return client.PutCan(message, length);
    case DRAL_PROTOCOL_J1939_CAN1:
    case DRAL_PROTOCOL_J1939_CAN2:
      if (length < DRAL_J1939_MIN_LENGTH || length > DRAL_J1939_MAX_LENGTH) return DRAL_ERR_LENGTH;
      return client.PutJ1939(message, length);
    case DRAL_PROTOCOL_J1708:
      if (length < DRAL_J1708_MIN_LENGTH || length > DRAL_J1708_MAX_LENGTH) return DRAL_ERR_LENGTH;
      return client.PutJ1708(message, length);
    case DRAL_PROTOCOL_RAW:
      if (length < DRAL_RAW_MIN_LENGTH || length > DRAL_RAW_MAX_LENGTH) return DRAL_ERR_LENGTH;
      return client.PutRaw(message, length);
    default:
      return DRAL_ERR_SEND_FAILED;
  }
}

uint32_t ConfigFilter(TDralClient& client, const uint8_t* filter) {
  const uint8_t operation = filter[0];
  const uint8_t protocol = filter[1];
  const uint8_t* data = filter + kFilterDataOffset;
  switch (protocol & kProtocolNibble) {
    case DRAL_PROTOCOL_CAN1:
      return client.SetCanFilter(data, operation, protocol & kFilterStandardId, kChannel1);
    case DRAL_PROTOCOL_CAN2:
      return client.SetCanFilter(data, operation, protocol & kFilterStandardId, kChannel2);
    case DRAL_PROTOCOL_J1939_CAN1:
      return client.SetJ1939Filter(data, operation, kChannel1);
    case DRAL_PROTOCOL_J1939_CAN2:
      return client.SetJ1939Filter(data, operation, kChannel2);
    case DRAL_PROTOCOL_J1708:
      return client.SetJ1708Filter(data, operation);
    default:
      return DRAL_ERR_FILTER_INVALID;
  }
}

}  // namespace
}  // namespace dral

using dral::ClientList;

DRAL_EXPORT DRAL_Handle DRAL_Connect(void) {
  try {
    dral::FreeEndedConnections();  // their slots may be the ones free
    auto client = std::make_shared<dral::TDralClient>();
    if (!client->Connect()) return 0;
    // The connection's queue holds the block now: a load made while there was none is
    // counted here (nothing happens when it was counted, or when the library is unloading).
    dral::ProcessAttachCount().Attach();
    const DRAL_Handle handle = ClientList().Add(client);
    if (handle == 0) client->Disconnect();  // the library is being unloaded
    return handle;
  } catch (...) {
    return 0;
  }
}

DRAL_EXPORT uint32_t DRAL_Disconnect(DRAL_Handle handle) {
  try {
    auto client = ClientList().Find(handle);
    if (!client) return DRAL_ERR_PARAMETER;
    // From the connection's own callback the disconnect would wait for itself: refused.
    if (client->OnReceiveThread()) return DRAL_ERR_PARAMETER;
    client = ClientList().Remove(handle);
    if (!client) return DRAL_ERR_PARAMETER;  // another thread disconnected it meanwhile
    client->Disconnect();
    dral::KeepWhileThreadRuns(std::move(client));
    dral::FreeEndedConnections();
    return DRAL_OK;
  } catch (...) {
    return DRAL_ERR_PARAMETER;
  }
}

DRAL_EXPORT uint32_t DRAL_ConfigFilter(DRAL_Handle handle, const DralFilter* filter) {
  try {
    auto client = ClientList().Find(handle);
    if (!client || !filter) return DRAL_ERR_PARAMETER;
    return dral::ConfigFilter(*client, reinterpret_cast<const uint8_t*>(filter));
  } catch (...) {
    return DRAL_ERR_FILTER_NO_REPLY;
  }
}

DRAL_EXPORT uint32_t DRAL_GetMessage(DRAL_Handle handle, uint8_t* buffer, uint16_t size) {
  try {
    auto client = ClientList().Find(handle);
    if (!client || !buffer) return DRAL_ERR_PARAMETER;
    return client->GetMessage(buffer, size);
  } catch (...) {
    return 0;
  }
}

DRAL_EXPORT uint32_t DRAL_PutMessage(DRAL_Handle handle, const uint8_t* message, uint16_t length) {
  try {
    auto client = ClientList().Find(handle);
    if (!client || !message) return DRAL_ERR_PARAMETER;
    return dral::PutByProtocol(*client, message, length);
  } catch (...) {
    return DRAL_ERR_SEND_FAILED;
  }
}

DRAL_EXPORT uint32_t DRAL_ClaimAddress(DRAL_Handle handle, uint8_t protocol, uint8_t address,
                                       const uint8_t name[8]) {
  try {
    auto client = ClientList().Find(handle);
    if (!client || !name) return DRAL_ERR_PARAMETER;
    return client->ClaimAddress(protocol, address, name);
  } catch (...) {
    return DRAL_ERR_CLAIM_FAILED;
  }
}

DRAL_EXPORT uint32_t DRAL_ReleaseAddress(DRAL_Handle handle, uint8_t protocol) {
  try {
    auto client = ClientList().Find(handle);
    if (!client) return DRAL_ERR_PARAMETER;
    client->ReleaseAddress(protocol);
    return DRAL_OK;
  } catch (...) {
    return DRAL_ERR_PARAMETER;
  }
}

DRAL_EXPORT uint32_t DRAL_GetStatus(DRAL_Handle handle) {
  try {
    auto client = ClientList().Find(handle);
    uint16_t linkState = 0;
    if (!client || !client->GetStatus(linkState)) return DRAL_ERR_PARAMETER;
    return DRAL_OK | linkState;
  } catch (...) {
    return DRAL_ERR_PARAMETER;
  }
}

DRAL_EXPORT uint32_t DRAL_GetAdapterVersion(DRAL_Handle handle, uint8_t buffer[6]) {
  try {
    auto client = ClientList().Find(handle);
    if (!client || !buffer || !client->GetAdapterVersion(buffer)) return DRAL_ERR_PARAMETER;
    return DRAL_OK;
  } catch (...) {
    return DRAL_ERR_PARAMETER;
  }
}

DRAL_EXPORT uint32_t DRAL_GetAdapterStatus(DRAL_Handle handle, uint8_t buffer[6]) {
  try {
    auto client = ClientList().Find(handle);
    if (!client || !buffer || !client->GetAdapterStatus(buffer)) return DRAL_ERR_PARAMETER;
    return DRAL_OK;
  } catch (...) {
    return DRAL_ERR_PARAMETER;
  }
}

DRAL_EXPORT uint32_t DRAL_RegAddressLostCallback(DRAL_Handle handle,
                                                 DRAL_AddressLostCallback callback) {
  try {
    auto client = ClientList().Find(handle);
    if (!client) return DRAL_ERR_PARAMETER;
    // A disconnect may have to leave the receive thread running in the callback: from the
    // first callback on, the library stays loaded so that the thread can return into it.
    if (callback && !dral::PinLibrary()) return DRAL_ERR_PARAMETER;
    if (!client->SetAddressLostCallback(callback)) return DRAL_ERR_PARAMETER;
    return DRAL_OK;
  } catch (...) {
    return DRAL_ERR_PARAMETER;
  }
}
