#include "testsupport/FakeFtd2xx.h"

#include <sstream>

namespace dral_test {

const char* const kFakeFtd2xxPath = DRAL_FAKE_FTD2XX_PATH;
const char* const kPartialFtd2xxPath = DRAL_PARTIAL_FTD2XX_PATH;
const char* const kNoVidPidFtd2xxPath = DRAL_NO_VIDPID_FTD2XX_PATH;

FakeFtd2xx::FakeFtd2xx(const char* path) : module_(path, "fake D2XX library") {
  module_.Take(add_, "FakeFtd2xx_Add");
  module_.Take(remove_, "FakeFtd2xx_Remove");
  module_.Take(reset_, "FakeFtd2xx_Reset");
  module_.Take(push_, "FakeFtd2xx_Push");
  module_.Take(setRefuseOpen_, "FakeFtd2xx_SetRefuseOpen");
  module_.Take(setListFailure_, "FakeFtd2xx_SetListFailure");
  module_.Take(isOpen_, "FakeFtd2xx_IsOpen");
  module_.Take(pending_, "FakeFtd2xx_Pending");
  module_.Take(log_, "FakeFtd2xx_Log");
  module_.Take(statusPolls_, "FakeFtd2xx_StatusPolls");
  module_.Take(staleHandleCalls_, "FakeFtd2xx_StaleHandleCalls");
  reset_();
}

FakeFtd2xx::~FakeFtd2xx() {
  reset_();  // before module_ unloads the fake
}

int FakeFtd2xx::Add(uint32_t id, const std::string& serial, const std::string& description,
                    FakeFtd2xxSink sink, void* context) {
  return add_(id, serial.c_str(), description.c_str(), sink, context);
}

std::vector<std::string> FakeFtd2xx::Log() const {
  std::string all(log_(nullptr, 0) + 1, '\0');
  all.resize(log_(all.data(), all.size()));
  std::vector<std::string> lines;
  std::istringstream in(all);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  if (logMark_ >= lines.size()) return {};
  return {lines.begin() + static_cast<long>(logMark_), lines.end()};
}

void FakeFtd2xx::ClearLog() { logMark_ += Log().size(); }

FtdiAdapterFront::FtdiAdapterFront(FakeFtd2xx& fake, AdapterSimulator& adapter,
                                   const std::string& serial, uint32_t id)
    : fake_(fake), adapter_(adapter) {
  key_ = fake_.Add(id, serial, "DRAL Adapter", &FtdiAdapterFront::FromHost, this);
  adapter_.Attach(this);
}

FtdiAdapterFront::~FtdiAdapterFront() {
  adapter_.Detach(this);
  fake_.Remove(key_);  // waits for a write in progress to leave FromHost
}

void FtdiAdapterFront::SendToHost(const uint8_t* bytes, size_t n) {
  fake_.Push(key_, Bytes(bytes, bytes + n));
}

void FtdiAdapterFront::FromHost(void* context, const uint8_t* bytes, size_t n) {
  static_cast<FtdiAdapterFront*>(context)->adapter_.FromHost(bytes, n);
}

}  // namespace dral_test
