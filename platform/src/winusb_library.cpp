#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "plat/process.h"
#include "plat/winusb.h"

namespace plat {

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
  if (!library_.Load(candidates)) return false;
  Initialize = library_.Entry<WinUsbInitializeFn>("WinUsb_Initialize");
  Free = library_.Entry<WinUsbFreeFn>("WinUsb_Free");
  QueryInterfaceSettings =
      library_.Entry<WinUsbQueryInterfaceSettingsFn>("WinUsb_QueryInterfaceSettings");
  QueryPipe = library_.Entry<WinUsbQueryPipeFn>("WinUsb_QueryPipe");
  ReadPipe = library_.Entry<WinUsbReadPipeFn>("WinUsb_ReadPipe");
  WritePipe = library_.Entry<WinUsbWritePipeFn>("WinUsb_WritePipe");
  return true;
}

void WinUsbLibrary::Unload() {
  Initialize = nullptr;
  Free = nullptr;
  QueryInterfaceSettings = nullptr;
  QueryPipe = nullptr;
  ReadPipe = nullptr;
  WritePipe = nullptr;
  library_.Unload();
}

}  // namespace plat
