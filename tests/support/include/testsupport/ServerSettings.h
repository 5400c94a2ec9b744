// Settings of a server that a test starts, in the test's own registry.
#pragma once

#include "links/ScanSettings.h"
#include "testsupport/AdapterPtyFront.h"

namespace dral_test {

// The serial scan of a server started by a test would probe the machine's own serial ports:
// tests turn it off unless they test the serial link.
inline void SetServerSerialScan(bool enabled) {
  WriteUserInteger(dral::TScanSettings::kKey, dral::TScanSettings::kSerialPortDisabled,
                   enabled ? 0 : 1);
}

}  // namespace dral_test
