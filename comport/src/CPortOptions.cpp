// The option objects of the port: time-outs, flow control, parity and queue sizes.
#include "comport/CPort.h"

namespace comport {

void TComOption::Assign(const TComOption& source) { source.AssignTo(*this); }

void TComOption::AssignTo(TComOption& dest) const {
  throw cls::Exception(cls::Format("Cannot assign a %s to a %s", ClassName(), dest.ClassName()));
}

// --- TComTimeouts ---

void TComTimeouts::AssignTo(TComOption& dest) const {
  auto* d = dynamic_cast<TComTimeouts*>(&dest);
  if (d == nullptr) return TComOption::AssignTo(dest);
  d->readInterval_ = readInterval_;
  d->readTotalMultiplier_ = readTotalMultiplier_;
  d->readTotalConstant_ = readTotalConstant_;
  d->writeTotalMultiplier_ = writeTotalMultiplier_;
  d->writeTotalConstant_ = writeTotalConstant_;
}

void TComTimeouts::Set(int32_t* field, int32_t value) {
  if (*field == value) return;
  *field = value;
  if (port_) port_->ApplyTimeouts();
}

void TComTimeouts::SetReadInterval(int32_t value) { Set(&readInterval_, value); }
void TComTimeouts::SetReadTotalMultiplier(int32_t value) { Set(&readTotalMultiplier_, value); }
void TComTimeouts::SetReadTotalConstant(int32_t value) { Set(&readTotalConstant_, value); }
void TComTimeouts::SetWriteTotalMultiplier(int32_t value) { Set(&writeTotalMultiplier_, value); }
void TComTimeouts::SetWriteTotalConstant(int32_t value) { Set(&writeTotalConstant_, value); }

// --- TComFlowControl ---

void TComFlowControl::AssignTo(TComOption& dest) const {
  auto* d = dynamic_cast<TComFlowControl*>(&dest);
  if (d == nullptr) return TComOption::AssignTo(dest);
  d->outCTSFlow_ = outCTSFlow_;
  d->outDSRFlow_ = outDSRFlow_;
  d->controlDTR_ = controlDTR_;
  d->controlRTS_ = controlRTS_;
  d->xonXoffOut_ = xonXoffOut_;
  d->xonXoffIn_ = xonXoffIn_;
  d->dsrSensitivity_ = dsrSensitivity_;
  d->txContinueOnXoff_ = txContinueOnXoff_;
  d->xonChar_ = xonChar_;
  d->xoffChar_ = xoffChar_;
}

void TComFlowControl::Apply() {
  if (port_) port_->ApplyDCB();
}

template <typename T>
void TComFlowControl::Set(T* field, T value) {
  if (*field == value) return;
  *field = value;
  Apply();
}

void TComFlowControl::SetOutCTSFlow(bool value) { Set(&outCTSFlow_, value); }
void TComFlowControl::SetOutDSRFlow(bool value) { Set(&outDSRFlow_, value); }
void TComFlowControl::SetControlDTR(TDTRFlowControl value) { Set(&controlDTR_, value); }
void TComFlowControl::SetControlRTS(TRTSFlowControl value) { Set(&controlRTS_, value); }
void TComFlowControl::SetXonXoffOut(bool value) { Set(&xonXoffOut_, value); }
void TComFlowControl::SetXonXoffIn(bool value) { Set(&xonXoffIn_, value); }
void TComFlowControl::SetDSRSensitivity(bool value) { Set(&dsrSensitivity_, value); }
void TComFlowControl::SetTxContinueOnXoff(bool value) { Set(&txContinueOnXoff_, value); }
void TComFlowControl::SetXonChar(char value) { Set(&xonChar_, value); }
void TComFlowControl::SetXoffChar(char value) { Set(&xoffChar_, value); }

TFlowControl TComFlowControl::FlowControl() const {
  using R = TRTSFlowControl;
  if (controlRTS_ == R::rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_)
    return TFlowControl::fcHardware;
  if (controlRTS_ == R::rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_)
    return TFlowControl::fcSoftware;
  if (controlRTS_ == R::rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_)
    return TFlowControl::fcNone;
  return TFlowControl::fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
  if (value != TFlowControl::fcCustom) {
    controlRTS_ = TRTSFlowControl::rtsDisable;
    outCTSFlow_ = false;
    xonXoffIn_ = false;
    xonXoffOut_ = false;
    if (value == TFlowControl::fcHardware) {
      controlRTS_ = TRTSFlowControl::rtsHandshake;
      outCTSFlow_ = true;
    } else if (value == TFlowControl::fcSoftware) {
      xonXoffIn_ = true;
      xonXoffOut_ = true;
    }
  }
  Apply();
}

// --- TComParity ---

void TComParity::AssignTo(TComOption& dest) const {
  auto* d = dynamic_cast<TComParity*>(&dest);
  if (d == nullptr) return TComOption::AssignTo(dest);
  d->bits_ = bits_;
  d->check_ = check_;
  d->replace_ = replace_;
  d->replaceChar_ = replaceChar_;
}

template <typename T>
void TComParity::Set(T* field, T value) {
  if (*field == value) return;
  *field = value;
  if (port_) port_->ApplyDCB();
}

void TComParity::SetBits(TParityBits value) { Set(&bits_, value); }
void TComParity::SetCheck(bool value) { Set(&check_, value); }
void TComParity::SetReplace(bool value) { Set(&replace_, value); }
void TComParity::SetReplaceChar(char value) { Set(&replaceChar_, value); }

// --- TComBuffer ---

void TComBuffer::AssignTo(TComOption& dest) const {
  auto* d = dynamic_cast<TComBuffer*>(&dest);
  if (d == nullptr) return TComOption::AssignTo(dest);
  d->inputSize_ = inputSize_;
  d->outputSize_ = outputSize_;
}

void TComBuffer::Set(int32_t* field, int32_t value) {
  if (*field == value) return;
  *field = value;
  // The driver takes even queue sizes only.
  if (*field >= 1 && *field % 2 == 1) --*field;
  if (port_) port_->ApplyBuffer();
}

void TComBuffer::SetInputSize(int32_t value) { Set(&inputSize_, value); }
void TComBuffer::SetOutputSize(int32_t value) { Set(&outputSize_, value); }

}  // namespace comport
