// The component palette: the classes a component library offers for forms, by palette page.
// A library registers its classes once (its Register procedures); a form designer or a program
// looks them up by page and makes instances through them. Main thread only.
#pragma once

#include <QWidget>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace cls::ui {

// A class on the palette: its name and how to make one as a child of `owner`.
struct TComponentClass {
  std::string ClassName;
  std::function<QWidget*(QWidget* owner)> Create;
};

// Puts `classes` on palette page `page` (created on first use), after the classes already
// there. A class name registered again replaces its entry where it stands, on whatever page it
// was; a class without a name or a way to make it is ignored.
void RegisterComponents(const std::string& page, std::initializer_list<TComponentClass> classes);

// The classes on `page` in the order they were registered; empty for a page nobody filled.
std::vector<TComponentClass> PaletteClasses(const std::string& page);

}  // namespace cls::ui
