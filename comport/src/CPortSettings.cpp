// Settings storage of the port: its settings as text in an ini file or a registry key.
#include <functional>
#include <string_view>

#include "classlib/IniFile.h"
#include "classlib/Registry.h"
#include "classlib/Strings.h"
#include "classlib/SysUtils.h"
#include "comport/CPort.h"

namespace comport {
namespace {

constexpr const char* kYes = "Yes";
constexpr const char* kNo = "No";
constexpr char kCodePrefix = '#';
constexpr unsigned char kFirstPlainChar = 33;
constexpr unsigned char kLastPlainChar = 127;

constexpr char kKeySeparator = '\\';
constexpr const char* kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr const char* kCurrentUser = "HKEY_CURRENT_USER";
// The custom rate an ini file without one gives.
constexpr int32_t kIniCustomBaudRate = 9600;

// Where one pass writes the settings to or reads them from. A pass names every key of its
// groups with the current value; a store writes that value, a load hands what it read to `set`.
class SettingsPass {
 public:
  virtual ~SettingsPass() = default;
  virtual void Text(const char* key, const std::string& current,
                    const std::function<void(const std::string&)>& set) = 0;
  // `iniDefault` is what an ini load gives for a missing key.
  virtual void Integer(const char* key, int32_t current, int32_t iniDefault,
                       const std::function<void(int32_t)>& set) = 0;
  void Integer(const char* key, int32_t current, const std::function<void(int32_t)>& set) {
    Integer(key, current, current, set);
  }
  void YesNo(const char* key, bool current, const std::function<void(bool)>& set) {
    Text(key, YesNoText(current), [&](const std::string& v) { set(YesNoValue(v)); });
  }
  void Char(const char* key, char current, const std::function<void(char)>& set) {
    Text(key, CharToText(current), [&](const std::string& v) { set(TextToChar(v)); });
  }
};

class IniStore final : public SettingsPass {
 public:
  IniStore(cls::TIniFile& ini, const std::string& section) : ini_(ini), section_(section) {}
  using SettingsPass::Integer;
  void Text(const char* key, const std::string& current,
            const std::function<void(const std::string&)>&) override {
    ini_.WriteString(section_, key, current);
  }
  void Integer(const char* key, int32_t current, int32_t,
               const std::function<void(int32_t)>&) override {
    ini_.WriteInteger(section_, key, current);
  }

 private:
  cls::TIniFile& ini_;
  const std::string& section_;
};

class IniLoad final : public SettingsPass {
 public:
  IniLoad(cls::TIniFile& ini, const std::string& section) : ini_(ini), section_(section) {}
  using SettingsPass::Integer;
  void Text(const char* key, const std::string& current,
            const std::function<void(const std::string&)>& set) override {
    set(ini_.ReadString(section_, key, current));
  }
  void Integer(const char* key, int32_t, int32_t iniDefault,
               const std::function<void(int32_t)>& set) override {
    set(ini_.ReadInteger(section_, key, iniDefault));
  }

 private:
  cls::TIniFile& ini_;
  const std::string& section_;
};

class RegistryStore final : public SettingsPass {
 public:
  explicit RegistryStore(cls::TRegistry& reg) : reg_(reg) {}
  using SettingsPass::Integer;
  void Text(const char* key, const std::string& current,
            const std::function<void(const std::string&)>&) override {
    reg_.WriteString(key, current);
  }
  void Integer(const char* key, int32_t current, int32_t,
               const std::function<void(int32_t)>&) override {
    reg_.WriteInteger(key, current);
  }

 private:
  cls::TRegistry& reg_;
};

// A missing string keeps the current value, as in an ini file (an empty text would give the
// conversions' fallbacks and an empty port name); a missing integer raises.
class RegistryLoad final : public SettingsPass {
 public:
  explicit RegistryLoad(cls::TRegistry& reg) : reg_(reg) {}
  using SettingsPass::Integer;
  void Text(const char* key, const std::string&,
            const std::function<void(const std::string&)>& set) override {
    if (reg_.ValueExists(key)) set(reg_.ReadString(key));
  }
  void Integer(const char* key, int32_t, int32_t,
               const std::function<void(int32_t)>& set) override {
    set(reg_.ReadInteger(key));
  }

 private:
  cls::TRegistry& reg_;
};

// The key table: every key of the groups in StoredProps, in the stored order. At a load the
// setters run in this order, so FlowControl.* wins over the summary "FlowControl", and
// "CustomBaudRate" follows the BaudRate just loaded.
void RunPass(TCustomComPort& port, SettingsPass& pass) {
  const TStoredProps groups = port.StoredProps();
  if (groups.Contains(TStoredProp::spBasic)) {
    pass.Text("Port", port.Port(), [&](const std::string& v) { port.SetPort(v); });
    pass.Text("BaudRate", BaudRateToStr(port.BaudRate()),
              [&](const std::string& v) { port.SetBaudRate(StrToBaudRate(v)); });
    if (port.BaudRate() == TBaudRate::brCustom) {
      pass.Integer("CustomBaudRate", port.CustomBaudRate(), kIniCustomBaudRate,
                   [&](int32_t v) { port.SetCustomBaudRate(v); });
    }
    pass.Text("StopBits", StopBitsToStr(port.StopBits()),
              [&](const std::string& v) { port.SetStopBits(StrToStopBits(v)); });
    pass.Text("DataBits", DataBitsToStr(port.DataBits()),
              [&](const std::string& v) { port.SetDataBits(StrToDataBits(v)); });
    pass.Text("Parity", ParityToStr(port.Parity().Bits()),
              [&](const std::string& v) { port.Parity().SetBits(StrToParity(v)); });
    pass.Text(
        "FlowControl", FlowControlToStr(port.FlowControl().FlowControl()),
        [&](const std::string& v) { port.FlowControl().SetFlowControl(StrToFlowControl(v)); });
  }
  if (groups.Contains(TStoredProp::spOthers)) {
    pass.Char("EventChar", port.EventChar(), [&](char v) { port.SetEventChar(v); });
    pass.YesNo("DiscardNull", port.DiscardNull(), [&](bool v) { port.SetDiscardNull(v); });
  }
  if (groups.Contains(TStoredProp::spParity)) {
    TComParity& parity = port.Parity();
    pass.YesNo("Parity.Check", parity.Check(), [&](bool v) { parity.SetCheck(v); });
    pass.YesNo("Parity.Replace", parity.Replace(), [&](bool v) { parity.SetReplace(v); });
    pass.Char("Parity.ReplaceChar", parity.ReplaceChar(),
              [&](char v) { parity.SetReplaceChar(v); });
  }
  if (groups.Contains(TStoredProp::spBuffer)) {
    TComBuffer& buffer = port.Buffer();
    pass.Integer("Buffer.OutputSize", buffer.OutputSize(),
                 [&](int32_t v) { buffer.SetOutputSize(v); });
    pass.Integer("Buffer.InputSize", buffer.InputSize(),
                 [&](int32_t v) { buffer.SetInputSize(v); });
  }
  if (groups.Contains(TStoredProp::spTimeouts)) {
    TComTimeouts& t = port.Timeouts();
    pass.Integer("Timeouts.ReadInterval", t.ReadInterval(),
                 [&](int32_t v) { t.SetReadInterval(v); });
    pass.Integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant(),
                 [&](int32_t v) { t.SetReadTotalConstant(v); });
    pass.Integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier(),
                 [&](int32_t v) { t.SetReadTotalMultiplier(v); });
    pass.Integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant(),
                 [&](int32_t v) { t.SetWriteTotalConstant(v); });
    pass.Integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier(),
                 [&](int32_t v) { t.SetWriteTotalMultiplier(v); });
  }
  if (groups.Contains(TStoredProp::spFlowControl)) {
    TComFlowControl& f = port.FlowControl();
    pass.Text("FlowControl.ControlRTS", RTSToText(f.ControlRTS()),
              [&](const std::string& v) { f.SetControlRTS(TextToRTS(v)); });
    pass.Text("FlowControl.ControlDTR", DTRToText(f.ControlDTR()),
              [&](const std::string& v) { f.SetControlDTR(TextToDTR(v)); });
    pass.YesNo("FlowControl.DSRSensitivity", f.DSRSensitivity(),
               [&](bool v) { f.SetDSRSensitivity(v); });
    pass.YesNo("FlowControl.OutCTSFlow", f.OutCTSFlow(), [&](bool v) { f.SetOutCTSFlow(v); });
    pass.YesNo("FlowControl.OutDSRFlow", f.OutDSRFlow(), [&](bool v) { f.SetOutDSRFlow(v); });
    pass.YesNo("FlowControl.TxContinueOnXoff", f.TxContinueOnXoff(),
               [&](bool v) { f.SetTxContinueOnXoff(v); });
    pass.YesNo("FlowControl.XonXoffIn", f.XonXoffIn(), [&](bool v) { f.SetXonXoffIn(v); });
    pass.YesNo("FlowControl.XonXoffOut", f.XonXoffOut(), [&](bool v) { f.SetXonXoffOut(v); });
    pass.Char("FlowControl.XoffChar", f.XoffChar(), [&](char v) { f.SetXoffChar(v); });
    pass.Char("FlowControl.XonChar", f.XonChar(), [&](char v) { f.SetXonChar(v); });
  }
}

// The root-key parser: the first segment of `path` names the root and the rest, with the
// component's name appended, is the key, opened (and created when missing). False, with no key
// opened and none created, when the path has no "\" or no key name after it.
bool OpenSettingsKey(cls::TRegistry& reg, const std::string& path, const std::string& name) {
  const size_t separator = path.find(kKeySeparator);
  if (separator == std::string::npos) return false;
  const std::string root = path.substr(0, separator);
  if (cls::SameText(root, kLocalMachine)) {
    reg.SetRootKey(cls::HKEY_LOCAL_MACHINE);
  } else if (cls::SameText(root, kCurrentUser)) {
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
  }
  std::string key = path.substr(separator + 1);
  if (key.find_first_not_of(kKeySeparator) == std::string::npos) return false;
  if (key.back() != kKeySeparator) key += kKeySeparator;
  key += name;
  return reg.OpenKey(key, true);
}

// Runs `body` on the store of `storeType`; any failure becomes `EComPort` with `code`.
void WithStore(TStoreType storeType, const std::string& location, const std::string& name,
               int32_t code, const std::function<void(cls::TIniFile*, cls::TRegistry*)>& body) {
  try {
    if (storeType == TStoreType::stIniFile) {
      cls::TIniFile ini(location);
      body(&ini, nullptr);
    } else {
      cls::TRegistry reg;
      if (!OpenSettingsKey(reg, location, name)) throw EComPort(code);
      body(nullptr, &reg);
    }
  } catch (...) {
    throw EComPort(code);
  }
}

}  // namespace

std::string YesNoText(bool value) {
  return value ? kYes : kNo;
}

bool YesNoValue(const std::string& text) {
  return cls::SameText(text, kYes);
}

std::string CharToText(char ch) {
  const auto code = static_cast<unsigned char>(ch);
  if (code >= kFirstPlainChar && code <= kLastPlainChar) return std::string(1, ch);
  return kCodePrefix + std::to_string(code);
}

char TextToChar(const std::string& text) {
  if (text.empty()) return 0;
  if (text.size() >= 2 && text.front() == kCodePrefix) {
    int32_t code = 0;
    if (!cls::TryStrToInt(std::string_view(text).substr(1), &code)) return 0;
    return static_cast<char>(static_cast<uint8_t>(code & 0xFF));
  }
  return text.front();
}

void TCustomComPort::StoreSettings(TStoreType storeType, const std::string& storeTo) {
  WithStore(storeType, storeTo, name_, CError_StoreFailed,
            [&](cls::TIniFile* ini, cls::TRegistry* reg) {
              if (ini) StoreIniFile(*ini);
              if (reg) StoreRegistry(*reg);
            });
}

void TCustomComPort::LoadSettings(TStoreType storeType, const std::string& loadFrom) {
  BeginUpdate();
  try {
    WithStore(storeType, loadFrom, name_, CError_LoadFailed,
              [&](cls::TIniFile* ini, cls::TRegistry* reg) {
                if (ini) LoadIniFile(*ini);
                if (reg) LoadRegistry(*reg);
              });
  } catch (...) {
    try {
      EndUpdate();
    } catch (...) {
      // The load's own failure is the one reported.
    }
    throw;
  }
  EndUpdate();
}

void TCustomComPort::StoreIniFile(cls::TIniFile& ini) {
  IniStore pass(ini, name_);
  RunPass(*this, pass);
}

void TCustomComPort::StoreRegistry(cls::TRegistry& reg) {
  RegistryStore pass(reg);
  RunPass(*this, pass);
}

void TCustomComPort::LoadIniFile(cls::TIniFile& ini) {
  IniLoad pass(ini, name_);
  RunPass(*this, pass);
}

void TCustomComPort::LoadRegistry(cls::TRegistry& reg) {
  RegistryLoad pass(reg);
  RunPass(*this, pass);
}

}  // namespace comport
