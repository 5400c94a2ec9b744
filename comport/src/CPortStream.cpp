// The port as a stream.
#include "comport/CPort.h"

namespace comport {

int32_t TComStream::Read(void* buffer, int32_t count) {
  return port_->Read(buffer, count);
}

int32_t TComStream::Write(const void* buffer, int32_t count) {
  return port_->Write(buffer, count);
}

int64_t TComStream::Seek(int64_t /*offset*/, cls::TSeekOrigin /*origin*/) {
  return 0;
}

}  // namespace comport
