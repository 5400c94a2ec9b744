// libDRAL.so loaded with dlopen and its eleven exports bound with dlsym, for tests and benchmarks
// that need load and unload of the real shared object under their own control (loading it starts
// DRALServer when none runs). Header only; the user links the dl library.
#pragma once

#include <dlfcn.h>

#include <string>
#include <type_traits>
#include <utility>

#include "DRAL.h"

namespace dral_test {

// One pointer per export. A value is either empty (module null, every pointer null) or fully
// bound; copies share the one module, and only one of them may Unload it.
struct DralApi {
  void* module = nullptr;
  decltype(&DRAL_Connect) Connect = nullptr;
  decltype(&DRAL_Disconnect) Disconnect = nullptr;
  decltype(&DRAL_ConfigFilter) ConfigFilter = nullptr;
  decltype(&DRAL_GetMessage) GetMessage = nullptr;
  decltype(&DRAL_PutMessage) PutMessage = nullptr;
  decltype(&DRAL_ClaimAddress) ClaimAddress = nullptr;
  decltype(&DRAL_ReleaseAddress) ReleaseAddress = nullptr;
  decltype(&DRAL_GetStatus) GetStatus = nullptr;
  decltype(&DRAL_GetAdapterVersion) GetAdapterVersion = nullptr;
  decltype(&DRAL_GetAdapterStatus) GetAdapterStatus = nullptr;
  decltype(&DRAL_RegAddressLostCallback) RegAddressLostCallback = nullptr;

  // Loads the library at `path` (RTLD_NOW | RTLD_LOCAL) into an empty value and binds every
  // export. On failure nothing stays loaded, the value stays empty and `error` (when not null)
  // says why.
  bool Load(const std::string& path, std::string* error);

  // Unloads the module, if any, and empties the value. dlclose's result; 0 when none was loaded.
  int Unload();
};

inline bool DralApi::Load(const std::string& path, std::string* error) {
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* why = dlerror();
    return fail(why ? why : "dlopen failed");
  }
  const char* missing = nullptr;
  auto bind = [&](auto& f, const char* name) {
    if (missing) return;
    f = reinterpret_cast<std::remove_reference_t<decltype(f)>>(dlsym(module, name));
    if (!f) missing = name;
  };
  bind(Connect, "DRAL_Connect");
  bind(Disconnect, "DRAL_Disconnect");
  bind(ConfigFilter, "DRAL_ConfigFilter");
  bind(GetMessage, "DRAL_GetMessage");
  bind(PutMessage, "DRAL_PutMessage");
  bind(ClaimAddress, "DRAL_ClaimAddress");
  bind(ReleaseAddress, "DRAL_ReleaseAddress");
  bind(GetStatus, "DRAL_GetStatus");
  bind(GetAdapterVersion, "DRAL_GetAdapterVersion");
  bind(GetAdapterStatus, "DRAL_GetAdapterStatus");
  bind(RegAddressLostCallback, "DRAL_RegAddressLostCallback");
  if (missing) {
    Unload();
    return fail(std::string("an export is missing: ") + missing);
  }
  return true;
}

inline int DralApi::Unload() {
  const int result = module ? dlclose(module) : 0;
  *this = DralApi{};
  return result;
}

}  // namespace dral_test
