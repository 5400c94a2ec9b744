#include "classlib/ui/Components.h"

#include <algorithm>

namespace cls::ui {
namespace {

struct PaletteEntry {
  std::string Page;
  TComponentClass Class;
};

// The palette of the process, in registration order. Built on first use, never destroyed, so
// a Register procedure of a library that is unloaded late finds it still there.
std::vector<PaletteEntry>& Palette() {
  static auto* palette = new std::vector<PaletteEntry>();
  return *palette;
}

}  // namespace

void RegisterComponents(const std::string& page, std::initializer_list<TComponentClass> classes) {
  auto& palette = Palette();
  for (const TComponentClass& c : classes) {
    if (c.ClassName.empty() || !c.Create) continue;
    const auto same = std::find_if(palette.begin(), palette.end(), [&](const PaletteEntry& e) {
      return e.Class.ClassName == c.ClassName;
    });
    if (same != palette.end()) {
      *same = {page, c};
    } else {
      palette.push_back({page, c});
    }
  }
}

std::vector<TComponentClass> PaletteClasses(const std::string& page) {
  std::vector<TComponentClass> classes;
  for (const PaletteEntry& e : Palette()) {
    if (e.Page == page) classes.push_back(e.Class);
  }
  return classes;
}

}  // namespace cls::ui
