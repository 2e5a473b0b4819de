#pragma once

// Turns on Qt's scaling for high-DPI screens: sizes given in pixels become
// device-independent pixels, and icons pick their @2x artwork. The factor is
// rounded to a whole number, so a screen of about 96 dpi keeps exactly 1.
// Must run before the QApplication is created.
void enable_high_dpi_scaling();
