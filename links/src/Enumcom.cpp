#include "links/Enumcom.h"

#include <exception>

#include "classlib/Registry.h"
#include "plat/registry.h"
#include "ComProbe.h"

namespace dral {
namespace {

constexpr const char* kComPrefix = "COM";

void AddListedPorts(std::vector<TComPortEntry>& list) {
  try {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_LOCAL_MACHINE);
    if (!reg.OpenKeyReadOnly(std::string(plat::kSerialCommKey))) return;
    std::vector<std::string> names;
    reg.GetValueNames(names);
    for (const std::string& name : names) list.push_back({reg.ReadString(name), 0});
  } catch (const std::exception&) {
    // What was listed so far stays.
  }
}

void AddProbedPorts(std::vector<TComPortEntry>& list) {
  for (int n = 1; n <= kComProbeLast; ++n) {
    const std::string name = kComPrefix + std::to_string(n);
    if (ComPortOpens(name)) list.push_back({name, static_cast<uintptr_t>(n)});
  }
}

}  // namespace

int EnumerateComPorts(std::vector<TComPortEntry>* list) {
  if (list == nullptr) return 0;
  list->clear();
  AddListedPorts(*list);
  if (list->empty()) AddProbedPorts(*list);
  return static_cast<int>(list->size());
}

}  // namespace dral
