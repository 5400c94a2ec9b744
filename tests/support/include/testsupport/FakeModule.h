// A fake library loaded by a test to reach its controls: the file is loaded on construction
// (std::runtime_error when it cannot be) and unloaded on destruction.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace dral_test {

class FakeModule {
 public:
  // Loads `path`; `what` names the fake in the errors of Take.
  FakeModule(const char* path, std::string what) : what_(std::move(what)) {
    handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("cannot load ") + path);
  }
  ~FakeModule() { dlclose(handle_); }
  FakeModule(const FakeModule&) = delete;
  FakeModule& operator=(const FakeModule&) = delete;

  // Sets `entry` to the module's function `name`; throws when the module has none.
  template <typename Fn>
  void Take(Fn& entry, const char* name) const {
    entry = reinterpret_cast<Fn>(dlsym(handle_, name));
    if (!entry) throw std::runtime_error(what_ + " lacks " + name);
  }

 private:
  void* handle_ = nullptr;
  std::string what_;
};

}  // namespace dral_test
