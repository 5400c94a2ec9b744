#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "plat/winusb.h"

namespace plat {
namespace {

std::string ProgramFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  const std::string exe(buf, static_cast<size_t>(n));
  const auto slash = exe.find_last_of('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

template <typename Fn>
Fn Entry(void* module, const char* name) {
  return reinterpret_cast<Fn>(dlsym(module, name));
}

}  // namespace

bool WinUsbLibrary::Load(const std::string& path) {
  Unload();
  std::vector<std::string> candidates;
  if (!path.empty()) {
    candidates.push_back(path);
  } else {
    if (const char* env = std::getenv(kWinUsbLibraryVar); env && *env) {
      candidates.emplace_back(env);
    } else {
      if (const std::string folder = ProgramFolder(); !folder.empty()) {
        candidates.push_back(folder + "/" + kWinUsbLibraryName);
      }
      candidates.emplace_back(kWinUsbLibraryName);  // the loader's search path
    }
  }
  for (const auto& candidate : candidates) {
    module_ = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_) break;
    const char* why = dlerror();
    error_ = why ? why : candidate + ": cannot be loaded";
  }
  if (!module_) return false;
  error_.clear();
  Initialize = Entry<WinUsbInitializeFn>(module_, "WinUsb_Initialize");
  Free = Entry<WinUsbFreeFn>(module_, "WinUsb_Free");
  QueryInterfaceSettings =
      Entry<WinUsbQueryInterfaceSettingsFn>(module_, "WinUsb_QueryInterfaceSettings");
  QueryPipe = Entry<WinUsbQueryPipeFn>(module_, "WinUsb_QueryPipe");
  ReadPipe = Entry<WinUsbReadPipeFn>(module_, "WinUsb_ReadPipe");
  WritePipe = Entry<WinUsbWritePipeFn>(module_, "WinUsb_WritePipe");
  return true;
}

void WinUsbLibrary::Unload() {
  Initialize = nullptr;
  Free = nullptr;
  QueryInterfaceSettings = nullptr;
  QueryPipe = nullptr;
  ReadPipe = nullptr;
  WritePipe = nullptr;
  if (module_) dlclose(module_);
  module_ = nullptr;
}

}  // namespace plat
