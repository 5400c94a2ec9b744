// The locked file store of the registry: where the hive files live, reading one, and the
// read-modify-write of one under its lock file (see registry.h for the locking and the bounds).
#pragma once

#include <functional>

#include "plat/registry.h"
#include "registry_hive.h"

namespace plat::hive {

// Reads the hive as it is now; a missing file is an empty hive. Damaged lines are skipped and
// reported on stderr once per file.
RegStatus LoadHive(Hive hive, HiveData* data);

// Reads the hive under its exclusive lock and lets `change` edit it; `change` returns Ok and
// sets *changed when the hive must be written back, which replaces the file atomically.
RegStatus ModifyHive(Hive hive, const std::function<RegStatus(HiveData&, bool*)>& change);

}  // namespace plat::hive
