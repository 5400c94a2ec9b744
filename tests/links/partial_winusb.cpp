// A WinUSB library that lacks one of the six entry points (WinUsb_WritePipe), for the test of
// a library the link cannot use. Every function it has fails.
#include <cerrno>
#include <cstdint>

extern "C" {

__attribute__((visibility("default"))) int WinUsb_Initialize(int, void** handle) {
  if (handle) *handle = nullptr;
  errno = ENODEV;
  return 0;
}
__attribute__((visibility("default"))) int WinUsb_Free(void*) {
  errno = EBADF;
  return 0;
}
__attribute__((visibility("default"))) int WinUsb_QueryInterfaceSettings(void*, uint8_t, void*) {
  errno = EBADF;
  return 0;
}
__attribute__((visibility("default"))) int WinUsb_QueryPipe(void*, uint8_t, uint8_t, void*) {
  errno = EBADF;
  return 0;
}
__attribute__((visibility("default"))) int WinUsb_ReadPipe(void*, uint8_t, uint8_t*, uint32_t,
                                                           uint32_t*, void*) {
  errno = EBADF;
  return 0;
}

}  // extern "C"
