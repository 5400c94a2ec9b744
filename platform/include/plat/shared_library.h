// A shared library loaded at run time with the dynamic loader.
//
// Not thread-safe: one owner loads and unloads it; the addresses it hands out may be called from
// any thread while it stays loaded. The loader counts its handles, so several objects may load
// the same library side by side.
#pragma once

#include <string>
#include <vector>

namespace plat {

class SharedLibrary {
 public:
  SharedLibrary() = default;
  ~SharedLibrary() { Unload(); }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // Unloads what was loaded, then tries each file in order (a name without "/" is looked for on
  // the loader's search path) and keeps the first that loads. False when none does; Error() then
  // tells why the last one failed.
  bool Load(const std::vector<std::string>& candidates);
  void Unload();
  bool IsLoaded() const { return module_ != nullptr; }
  const std::string& Error() const { return error_; }

  // The entry point `name` as a function of type Fn; null when the library lacks it or none is
  // loaded.
  template <typename Fn>
  Fn Entry(const char* name) const {
    return reinterpret_cast<Fn>(Address(name));
  }

 private:
  void* Address(const char* name) const;
  void* module_ = nullptr;
  std::string error_;
};

}  // namespace plat
