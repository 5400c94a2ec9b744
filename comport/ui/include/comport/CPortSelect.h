// Controls that let a user pick one line setting of a port from a list: `TComComboBox` (a
// drop-down list) and `TComRadioGroup` (a group of radio buttons). Both keep their logic in a
// `TComSelect`, which fills the list for the chosen property, reads the port's current value
// into a selection and writes a selection back to the port.
//
// GUI thread only. A failure of the port while a selection is written (a failed device set-up,
// a failed reopen after a port-name change) raises EComPort out of ApplySettings; from a user's
// pick with AutoApply on it is shown by the application object instead, since it cannot leave
// the event loop.
#pragma once

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>

#include "classlib/Strings.h"
#include "comport/CPort.h"

namespace comport {

enum class TComProperty : uint8_t {
  cpNone,
  cpPort,
  cpBaudRate,
  cpDataBits,
  cpStopBits,
  cpParity,
  cpFlowControl
};

class TComSelect {
 public:
  // `items` is the owning control's list (not owned); it outlives the selector.
  explicit TComSelect(cls::TStrings& items) : items_(items) {}

  TComProperty ComProperty() const { return comProperty_; }
  // Stores the property and fills the items with its values (cpPort: the ports found).
  void SetComProperty(TComProperty value);
  TCustomComPort* ComPort() const { return comPort_; }
  void SetComPort(TCustomComPort* port) { comPort_ = port; }
  bool AutoApply() const { return autoApply_; }
  void SetAutoApply(bool value) { autoApply_ = value; }

  // Takes `text` as the selected value of the property (a text that names no value takes the
  // conversion's default); writes it to the port when AutoApply is on.
  void Change(const std::string& text);
  // Writes the selected value of the property to the port; nothing without a port.
  void ApplySettings();
  // The index of the port's current value in the items (case-insensitive), -1 when absent,
  // without a port or for cpNone; a value found also becomes the selected one.
  int UpdateSettings();

  // The selected values.
  const std::string& PortName() const { return port_; }
  TBaudRate BaudRate() const { return baudRate_; }
  TDataBits DataBits() const { return dataBits_; }
  TStopBits StopBits() const { return stopBits_; }
  TParityBits Parity() const { return parity_; }
  TFlowControl FlowControl() const { return flowControl_; }

 private:
  void SelectPort();
  void SelectBaudRate();
  void SelectDataBits();
  void SelectStopBits();
  void SelectParity();
  void SelectFlowControl();
  // Converts `text` into the selected value of the property.
  void Take(const std::string& text);
  // The text of the port's current value of the property.
  std::string PortValue() const;

  std::string port_;
  TBaudRate baudRate_ = TBaudRate::brCustom;
  TDataBits dataBits_ = TDataBits::dbFive;
  TStopBits stopBits_ = TStopBits::sbOneStopBit;
  TParityBits parity_ = TParityBits::prNone;
  TFlowControl flowControl_ = TFlowControl::fcHardware;
  cls::TStrings& items_;
  TComProperty comProperty_ = TComProperty::cpNone;
  TCustomComPort* comPort_ = nullptr;  // not owned
  bool autoApply_ = false;
};

// What the two controls share: the selector over the control's items, the binding to a port,
// and reading and writing the selection. `Widget` is the Qt control; the derived control shows
// the items and the selection.
template <typename Widget>
class TComSelectControl : public Widget, public TComPortObserver {
 public:
  TCustomComPort* ComPort() const { return select_.ComPort(); }
  // Binds the port and selects its current value (none when the list lacks it). No port: the
  // list and the selection stay.
  void SetComPort(TCustomComPort* port);
  TComProperty ComProperty() const { return select_.ComProperty(); }
  // Fills the list and selects the port's value, or the first item without a port.
  void SetComProperty(TComProperty value);
  bool AutoApply() const { return select_.AutoApply(); }
  void SetAutoApply(bool value) { select_.SetAutoApply(value); }
  const TComSelect& Select() const { return select_; }

  // The selected item, -1 when none; SetItemIndex(-1) selects none.
  virtual int ItemIndex() const = 0;
  virtual void SetItemIndex(int index) = 0;

  // Writes the selection to the port. Without a selection nothing is written: a port whose
  // value the list lacks keeps it.
  void ApplySettings();
  // Selects the port's current value.
  virtual void UpdateSettings();
  // The bound port is going away: unbind it and select the first item.
  void Notification(TCustomComPort* removed) override;

 protected:
  explicit TComSelectControl(QWidget* parent) : Widget(parent) {}
  // Unbinds the port.
  ~TComSelectControl() override;
  // Shows the items after the selector filled them.
  virtual void RefreshItems() = 0;
  virtual void PortRemoved();

  cls::TStringList items_;
  TComSelect select_{items_};
};

// A drop-down list of the values of one property of a port.
class TComComboBox : public TComSelectControl<QComboBox> {
 public:
  explicit TComComboBox(QWidget* parent = nullptr);

  int ItemIndex() const override { return currentIndex(); }
  void SetItemIndex(int index) override { setCurrentIndex(index); }
  // The selected item, "" when none. SetText selects the item equal to `text`, if listed.
  std::string Text() const;
  void SetText(const std::string& text);

  // A user's pick (the list's activation calls it): the selector takes the text, then OnChange.
  void Change();
  std::function<void()> OnChange;

 protected:
  void RefreshItems() override;
};

// A group of radio buttons, one per value of one property of a port.
class TComRadioGroup : public TComSelectControl<QGroupBox> {
 public:
  explicit TComRadioGroup(QWidget* parent = nullptr);

  int ItemIndex() const override { return buttons_.checkedId(); }
  void SetItemIndex(int index) override;
  int Count() const { return items_.Count(); }
  void UpdateSettings() override;

  // A user's click: a newly checked button passes its text to the selector; then OnClick.
  void Click();
  std::function<void()> OnClick;

 protected:
  void RefreshItems() override;
  void PortRemoved() override;

 private:
  QButtonGroup buttons_;
  int lastIndex_ = -1;  // the button checked at the last click or update
};

extern template class TComSelectControl<QComboBox>;
extern template class TComSelectControl<QGroupBox>;

}  // namespace comport
