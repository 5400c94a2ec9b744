// Text forms of the line settings and the list of the machine's serial ports.
#include <array>
#include <string>

#include "comport/CPort.h"
#include "plat/registry.h"

namespace comport {
namespace {

constexpr std::array<const char*, 16> kBaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<const char*, 3> kStopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> kDataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> kFlowControlTexts = {"Hardware", "Software", "None",
                                                           "Custom"};

template <typename E, size_t N>
std::string ToStr(const std::array<const char*, N>& table, E value) {
  const auto i = static_cast<size_t>(value);
  return i < N ? table[i] : "";
}

// The first ordinal whose text equals `text` ignoring case, else `fallback`.
template <typename E, size_t N>
E FromStr(const std::array<const char*, N>& table, const std::string& text, E fallback) {
  for (size_t i = 0; i < N; ++i)
    if (cls::SameText(table[i], text)) return static_cast<E>(i);
  return fallback;
}

}  // namespace

std::string BaudRateToStr(TBaudRate value) { return ToStr(kBaudRateTexts, value); }
std::string StopBitsToStr(TStopBits value) { return ToStr(kStopBitsTexts, value); }
std::string DataBitsToStr(TDataBits value) { return ToStr(kDataBitsTexts, value); }
std::string ParityToStr(TParityBits value) { return ToStr(kParityTexts, value); }
std::string FlowControlToStr(TFlowControl value) { return ToStr(kFlowControlTexts, value); }

TBaudRate StrToBaudRate(const std::string& text) {
  return FromStr(kBaudRateTexts, text, TBaudRate::br9600);
}
TStopBits StrToStopBits(const std::string& text) {
  return FromStr(kStopBitsTexts, text, TStopBits::sbOneStopBit);
}
TDataBits StrToDataBits(const std::string& text) {
  return FromStr(kDataBitsTexts, text, TDataBits::dbEight);
}
TParityBits StrToParity(const std::string& text) {
  return FromStr(kParityTexts, text, TParityBits::prNone);
}
TFlowControl StrToFlowControl(const std::string& text) {
  return FromStr(kFlowControlTexts, text, TFlowControl::fcCustom);
}

void EnumComPorts(cls::TStrings& list) {
  plat::RegStatus status = plat::RegStatus::Ok;
  const auto key = plat::RegKey::Open(plat::Hive::LocalMachine, plat::kSerialCommKey,
                                      plat::RegAccess::Read, &status);
  if (!key) throw EComPort(CError_RegError, static_cast<int32_t>(status));
  std::vector<std::string> names;
  status = key->ValueNames(&names);
  if (status != plat::RegStatus::Ok) throw EComPort(CError_RegError, static_cast<int32_t>(status));
  cls::TStringList ports;
  for (const std::string& name : names) {
    std::string port;
    // A value of the other type names no port.
    if (key->ReadString(name, &port) == plat::RegStatus::Ok) ports.Add(port);
  }
  ports.Sort();
  list.Assign(ports);
}

}  // namespace comport
