#include "links/WinUsbConduit.h"

#include <memory>

namespace dral {

TWinUsbConduit::TWinUsbConduit() : TUsbConduit(std::make_unique<TWinUsbPort>()) {}

}  // namespace dral
