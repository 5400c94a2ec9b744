// The selector and the two controls built on it.
#include "comport/CPortSelect.h"

#include <QRadioButton>
#include <QVBoxLayout>
#include <cstdio>
#include <exception>

#include "classlib/ui/Application.h"

namespace comport {
namespace {

// Adds the text of every value of an enumeration from `first` to `last`.
template <typename E, typename ToStr>
void AddAll(cls::TStrings& items, E first, E last, ToStr toStr) {
  for (auto v = static_cast<unsigned>(first); v <= static_cast<unsigned>(last); ++v) {
    items.Add(toStr(static_cast<E>(v)));
  }
}

// What a user's action raised cannot leave the event loop: the application shows it.
template <typename F>
void ShowFailures(F action) {
  try {
    action();
  } catch (const std::exception& e) {
    if (cls::ui::TApplication* app = cls::ui::Application()) {
      app->ShowException(e);
    } else {
      std::fprintf(stderr, "%s\n", e.what());
    }
  }
}

}  // namespace

// --- TComSelect ---

void TComSelect::SetComProperty(TComProperty value) {
  comProperty_ = value;
  items_.Clear();
  switch (value) {
    case TComProperty::cpNone:
      break;
    case TComProperty::cpPort:
      SelectPort();
      break;
    case TComProperty::cpBaudRate:
      SelectBaudRate();
      break;
    case TComProperty::cpDataBits:
      SelectDataBits();
      break;
    case TComProperty::cpStopBits:
      SelectStopBits();
      break;
    case TComProperty::cpParity:
      SelectParity();
      break;
    case TComProperty::cpFlowControl:
      SelectFlowControl();
      break;
  }
}

void TComSelect::SelectPort() {
  EnumComPorts(items_);
}

void TComSelect::SelectBaudRate() {
  AddAll(items_, TBaudRate::brCustom, TBaudRate::br256000, BaudRateToStr);
}

void TComSelect::SelectDataBits() {
  AddAll(items_, TDataBits::dbFive, TDataBits::dbEight, DataBitsToStr);
}

void TComSelect::SelectStopBits() {
  AddAll(items_, TStopBits::sbOneStopBit, TStopBits::sbTwoStopBits, StopBitsToStr);
}

void TComSelect::SelectParity() {
  AddAll(items_, TParityBits::prNone, TParityBits::prSpace, ParityToStr);
}

void TComSelect::SelectFlowControl() {
  AddAll(items_, TFlowControl::fcHardware, TFlowControl::fcCustom, FlowControlToStr);
}

void TComSelect::Change(const std::string& text) {
  Take(text);
  if (autoApply_) ApplySettings();
}

void TComSelect::Take(const std::string& text) {
  switch (comProperty_) {
    case TComProperty::cpNone:
      break;
    case TComProperty::cpPort:
      port_ = text;
      break;
    case TComProperty::cpBaudRate:
      baudRate_ = StrToBaudRate(text);
      break;
    case TComProperty::cpDataBits:
      dataBits_ = StrToDataBits(text);
      break;
    case TComProperty::cpStopBits:
      stopBits_ = StrToStopBits(text);
      break;
    case TComProperty::cpParity:
      parity_ = StrToParity(text);
      break;
    case TComProperty::cpFlowControl:
      flowControl_ = StrToFlowControl(text);
      break;
  }
}

void TComSelect::ApplySettings() {
  if (comPort_ == nullptr) return;
  switch (comProperty_) {
    case TComProperty::cpNone:
      break;
    case TComProperty::cpPort:
      comPort_->SetPort(port_);
      break;
    case TComProperty::cpBaudRate:
      comPort_->SetBaudRate(baudRate_);
      break;
    case TComProperty::cpDataBits:
      comPort_->SetDataBits(dataBits_);
      break;
    case TComProperty::cpStopBits:
      comPort_->SetStopBits(stopBits_);
      break;
    case TComProperty::cpParity:
      comPort_->Parity().SetBits(parity_);
      break;
    case TComProperty::cpFlowControl:
      comPort_->FlowControl().SetFlowControl(flowControl_);
      break;
  }
}

std::string TComSelect::PortValue() const {
  switch (comProperty_) {
    case TComProperty::cpNone:
      break;
    case TComProperty::cpPort:
      return comPort_->Port();
    case TComProperty::cpBaudRate:
      return BaudRateToStr(comPort_->BaudRate());
    case TComProperty::cpDataBits:
      return DataBitsToStr(comPort_->DataBits());
    case TComProperty::cpStopBits:
      return StopBitsToStr(comPort_->StopBits());
    case TComProperty::cpParity:
      return ParityToStr(comPort_->Parity().Bits());
    case TComProperty::cpFlowControl:
      return FlowControlToStr(comPort_->FlowControl().FlowControl());
  }
  return {};
}

int TComSelect::UpdateSettings() {
  if (comPort_ == nullptr || comProperty_ == TComProperty::cpNone) return -1;
  const int index = items_.IndexOf(PortValue());
  if (index >= 0) Take(items_[index]);
  return index;
}

// --- TComSelectControl ---

template <typename Widget>
TComSelectControl<Widget>::~TComSelectControl() {
  if (select_.ComPort() != nullptr) select_.ComPort()->RemoveFreeNotification(this);
}

template <typename Widget>
void TComSelectControl<Widget>::SetComPort(TCustomComPort* port) {
  TCustomComPort* old = select_.ComPort();
  if (port == old) return;
  if (old != nullptr) old->RemoveFreeNotification(this);
  select_.SetComPort(port);
  if (port != nullptr) {
    port->FreeNotification(this);
    UpdateSettings();
  }
}

template <typename Widget>
void TComSelectControl<Widget>::SetComProperty(TComProperty value) {
  select_.SetComProperty(value);
  RefreshItems();
  if (items_.Count() == 0) return;
  if (ComPort() == nullptr) {
    SetItemIndex(0);
  } else {
    UpdateSettings();
  }
}

template <typename Widget>
void TComSelectControl<Widget>::ApplySettings() {
  if (ItemIndex() >= 0) select_.ApplySettings();
}

template <typename Widget>
void TComSelectControl<Widget>::UpdateSettings() {
  SetItemIndex(select_.UpdateSettings());
}

template <typename Widget>
void TComSelectControl<Widget>::Notification(TCustomComPort* removed) {
  if (removed == nullptr || removed != ComPort()) return;
  select_.SetComPort(nullptr);
  if (items_.Count() > 0) PortRemoved();
}

template <typename Widget>
void TComSelectControl<Widget>::PortRemoved() {
  SetItemIndex(0);
}

template class TComSelectControl<QComboBox>;
template class TComSelectControl<QGroupBox>;

// --- TComComboBox ---

TComComboBox::TComComboBox(QWidget* parent) : TComSelectControl(parent) {
  setEditable(false);  // a drop-down list: only listed values can be picked
  QObject::connect(this, &QComboBox::activated, this,
                   [this] { ShowFailures([this] { Change(); }); });
}

void TComComboBox::RefreshItems() {
  clear();
  for (int i = 0; i < items_.Count(); ++i) addItem(QString::fromStdString(items_[i]));
}

std::string TComComboBox::Text() const {
  return currentIndex() < 0 ? std::string() : currentText().toStdString();
}

void TComComboBox::SetText(const std::string& text) {
  const int index = findText(QString::fromStdString(text), Qt::MatchExactly);
  if (index >= 0) setCurrentIndex(index);
}

void TComComboBox::Change() {
  select_.Change(Text());
  if (OnChange) OnChange();
}

// --- TComRadioGroup ---

TComRadioGroup::TComRadioGroup(QWidget* parent) : TComSelectControl(parent) {
  setLayout(new QVBoxLayout);
  buttons_.setExclusive(true);
  QObject::connect(&buttons_, &QButtonGroup::idClicked, this,
                   [this] { ShowFailures([this] { Click(); }); });
}

void TComRadioGroup::RefreshItems() {
  for (QAbstractButton* b : buttons_.buttons()) {
    buttons_.removeButton(b);
    delete b;
  }
  for (int i = 0; i < items_.Count(); ++i) {
    auto* button = new QRadioButton(QString::fromStdString(items_[i]), this);
    layout()->addWidget(button);
    buttons_.addButton(button, i);
  }
}

void TComRadioGroup::SetItemIndex(int index) {
  if (QAbstractButton* b = buttons_.button(index)) {
    b->setChecked(true);
  } else if (QAbstractButton* checked = buttons_.checkedButton()) {
    // An exclusive group never unchecks its last button by itself.
    buttons_.setExclusive(false);
    checked->setChecked(false);
    buttons_.setExclusive(true);
  }
}

void TComRadioGroup::UpdateSettings() {
  TComSelectControl::UpdateSettings();
  lastIndex_ = ItemIndex();
}

void TComRadioGroup::PortRemoved() {
  SetItemIndex(0);
  lastIndex_ = 0;
}

void TComRadioGroup::Click() {
  const int index = ItemIndex();
  if (index != lastIndex_) {
    if (index >= 0) select_.Change(items_[index]);
    lastIndex_ = index;
  }
  if (OnClick) OnClick();
}

}  // namespace comport
