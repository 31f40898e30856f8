#pragma once

// Where the program's windows go. Under X11 the program places them itself; a Wayland compositor
// places every window, and a client cannot move one.

class QWidget;

namespace quindle {

// Whether the window system lets the program choose where its windows go.
bool programPlacesWindows();

// Centres window's outer frame on its screen's available area now, and once more when the window
// manager's frame is first known (it is added after the window is shown). Does nothing where the
// compositor places windows.
void centreFrameOnScreen(QWidget* window);

} // namespace quindle
