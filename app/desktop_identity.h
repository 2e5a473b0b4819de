#pragma once

// How the application names itself to a Linux desktop: the X11 window class
// that launchers match with the desktop entry's StartupWMClass, the desktop
// entry's name, and the window icon. On Windows the executable's .rc icon
// stays and these functions do nothing.

// WM_CLASS of every window (instance and class), and the entry's StartupWMClass.
inline constexpr char window_class[] = "tovrin-authenticator";

// The desktop entry without ".desktop"; also the AppStream ID and the icon name.
inline constexpr char desktop_file_name[] = "com.halvard.TovrinAuthenticator";

// The crest, scalable, in the resource bundle.
inline constexpr char window_icon_path[] = ":/pic/Tovrin Authenticator/Tovrin Crest.svg";

// Before the QApplication is built: the names the platform plugin reads when
// it creates the first window (Qt gets no argv to take them from).
void name_application_for_desktop();

// Once the QApplication exists: the icon of every window.
void set_application_window_icon();
