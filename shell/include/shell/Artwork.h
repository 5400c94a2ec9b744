// The program's pictures, drawn at run time: the icon of the window and the tray, and the
// picture of the about dialog.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace dral {

// Two nodes on a bus, in the program's colours; sizes 16 to 64.
QIcon ProgramIcon();

// 800 x 400: a light backdrop on the left for the dialog's texts, and a drawing of
// applications sharing one adapter on a vehicle network on the right.
QPixmap AboutPicture();

}  // namespace dral
