#pragma once

// How the program's windows meet the window manager. Under X11 the program places them itself; a
// Wayland compositor places every window, and a client cannot move one. Some window managers draw
// minimise and maximise buttons whatever a window's hints say.

class QDialog;
class QWidget;

namespace quindle {

// Whether the window system lets the program choose where its windows go.
bool programPlacesWindows();

// Centres window's outer frame on its screen's available area now, and once more when the window
// manager's frame is first known (it is added after the window is shown). Does nothing where the
// compositor places windows.
void centreFrameOnScreen(QWidget* window);

// Minimised, a modal dialog would vanish while the window under it stays blocked, and without a
// task bar nothing brings it back: it is rejected instead (Cancel, or OK where that is all it has),
// in its normal state so that a next showing is not minimised.
void rejectWhenMinimised(QDialog* dialog);

} // namespace quindle
