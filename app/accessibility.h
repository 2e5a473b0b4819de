#pragma once

// Brings the application within reach of screen readers on Linux (AT-SPI).
// Call once, after the QApplication exists and before the main window is
// built; on other platforms it does nothing.
//
// Qt 5.15's AT-SPI bridge starts itself with a call that its constructor
// queues. Unless the address of the accessibility bus is published on the X
// root window, the bridge joins that bus only when the session bus answers
// its address request, and that answer always queues behind the start call:
// the bridge then registers on a bus it has not joined, fails, and never
// tries again. Dropping that one start call while the bus is not joined lets
// the answer start the bridge instead, whenever it arrives.
void start_accessibility_bridge();
