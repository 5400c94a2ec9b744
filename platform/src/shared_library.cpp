#include "plat/shared_library.h"

#include <dlfcn.h>

namespace plat {

bool SharedLibrary::Load(const std::vector<std::string>& candidates) {
  Unload();
  error_ = "no library to load";
  for (const std::string& candidate : candidates) {
    module_ = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_) {
      error_.clear();
      return true;
    }
    const char* why = dlerror();
    error_ = why ? why : candidate + ": cannot be loaded";
  }
  return false;
}

void SharedLibrary::Unload() {
  if (module_) dlclose(module_);
  module_ = nullptr;
}

void* SharedLibrary::Address(const char* name) const {
  return module_ ? dlsym(module_, name) : nullptr;
}

}  // namespace plat
