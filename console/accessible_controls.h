#pragma once

// What a screen reader and other assistive tools are given of the window, beyond Qt's own:
// - the window reads as a window named with its caption;
// - its buttons and check boxes act through the accessibility bus the way a click does, but in
//   the next turn of the event loop, so that the caller has its reply before anything the click
//   opens (the capture file dialog) runs;
// - a slot's label offers "Drop client", exactly what a double-click on it does, in the same way.
// Installed once; later calls do nothing.
void installAccessibleControls();
