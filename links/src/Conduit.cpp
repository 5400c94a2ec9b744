#include "links/Conduit.h"

namespace dral {

// Out of line so the vtable has one home.
TConduit::TConduit() = default;
TConduit::~TConduit() = default;

}  // namespace dral
