"""Xlib through ctypes: reports when a top-level window with a given title is
mapped, from the MapNotify events the root window sees (no window manager
runs under Xvfb, so top-level windows are children of the root)."""

import ctypes
import ctypes.util
import select
import time

_xlib = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
# Watchers may run in several threads, each with its own connection.
_xlib.XInitThreads()

Window = ctypes.c_ulong


class _XMapEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("event", Window),
        ("window", Window),
        ("override_redirect", ctypes.c_int),
    ]


class _XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xmap", _XMapEvent), ("pad", ctypes.c_long * 24)]


class _XWindowAttributes(ctypes.Structure):
    _fields_ = [
        ("x", ctypes.c_int), ("y", ctypes.c_int),
        ("width", ctypes.c_int), ("height", ctypes.c_int),
        ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
        ("visual", ctypes.c_void_p), ("root", Window),
        ("class", ctypes.c_int), ("bit_gravity", ctypes.c_int),
        ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int),
        ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
        ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
        ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int),
        ("all_event_masks", ctypes.c_long), ("your_event_mask", ctypes.c_long),
        ("do_not_propagate_mask", ctypes.c_long), ("override_redirect", ctypes.c_int),
        ("screen", ctypes.c_void_p),
    ]


_xlib.XOpenDisplay.restype = ctypes.c_void_p
_xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
_xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
_xlib.XDefaultRootWindow.restype = Window
_xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_xlib.XSelectInput.argtypes = [ctypes.c_void_p, Window, ctypes.c_long]
_xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
_xlib.XPending.argtypes = [ctypes.c_void_p]
_xlib.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(_XEvent)]
_xlib.XConnectionNumber.argtypes = [ctypes.c_void_p]
_xlib.XFetchName.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(ctypes.c_char_p)]
_xlib.XFree.argtypes = [ctypes.c_void_p]
_xlib.XGetWindowAttributes.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(_XWindowAttributes)]

_SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
_MAP_NOTIFY = 19
_IS_VIEWABLE = 2


def _ignore_errors(_dpy, _event):
    return 0


_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(_ignore_errors)
# Windows may vanish between an event and a query of their name.
_xlib.XSetErrorHandler(_ERROR_HANDLER)


class MapWatcher:
    """Open before the program starts; wait() then returns the monotonic time
    of the MapNotify of the first viewable window whose title matches."""

    def __init__(self, display_name):
        self._dpy = _xlib.XOpenDisplay(display_name.encode())
        if not self._dpy:
            raise RuntimeError("cannot open display " + display_name)
        self._root = _xlib.XDefaultRootWindow(self._dpy)
        _xlib.XSelectInput(self._dpy, self._root, _SUBSTRUCTURE_NOTIFY_MASK)
        _xlib.XSync(self._dpy, 0)
        self._fd = _xlib.XConnectionNumber(self._dpy)
        self._mapped = []  # (monotonic time, window)

    def close(self):
        if self._dpy:
            _xlib.XCloseDisplay(self._dpy)
            self._dpy = None

    def _name(self, window):
        name = ctypes.c_char_p()
        if _xlib.XFetchName(self._dpy, window, ctypes.byref(name)) and name.value is not None:
            text = name.value.decode("utf-8", "replace")
            _xlib.XFree(name)
            return text
        return None

    def _viewable(self, window):
        attrs = _XWindowAttributes()
        if not _xlib.XGetWindowAttributes(self._dpy, window, ctypes.byref(attrs)):
            return False
        return attrs.map_state == _IS_VIEWABLE

    def _drain(self):
        event = _XEvent()
        while _xlib.XPending(self._dpy):
            _xlib.XNextEvent(self._dpy, ctypes.byref(event))
            if event.type == _MAP_NOTIFY:
                self._mapped.append((time.monotonic(), event.xmap.window))

    def wait(self, matches, timeout):
        """`matches(title)` picks the window; None on time-out."""
        deadline = time.monotonic() + timeout
        while True:
            self._drain()
            for stamp, window in self._mapped:
                title = self._name(window)
                if title is not None and matches(title) and self._viewable(window):
                    return stamp, title
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            # Titles set after mapping are caught by the short poll.
            select.select([self._fd], [], [], min(left, 0.02))
