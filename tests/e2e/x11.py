"""Just enough Xlib (through ctypes) to find a top-level window by its title,
read its size and ask it to close the way a window manager does
(WM_DELETE_WINDOW)."""

import ctypes
import ctypes.util

_xlib = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")

Window = ctypes.c_ulong
Atom = ctypes.c_ulong


class _ClientMessageData(ctypes.Union):
    _fields_ = [("b", ctypes.c_char * 20), ("s", ctypes.c_short * 10), ("l", ctypes.c_long * 5)]


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("window", Window),
        ("message_type", Atom),
        ("format", ctypes.c_int),
        ("data", _ClientMessageData),
    ]


class _XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("border_width", ctypes.c_int), ("pad", ctypes.c_long * 32)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


_xlib.XOpenDisplay.restype = ctypes.c_void_p
_xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
_xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
_xlib.XDefaultRootWindow.restype = Window
_xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_xlib.XInternAtom.restype = Atom
_xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
_xlib.XQueryTree.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(Window), ctypes.POINTER(Window),
                             ctypes.POINTER(ctypes.POINTER(Window)), ctypes.POINTER(ctypes.c_uint)]
_xlib.XFetchName.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(ctypes.c_char_p)]
_xlib.XFree.argtypes = [ctypes.c_void_p]
_xlib.XSendEvent.argtypes = [ctypes.c_void_p, Window, ctypes.c_int, ctypes.c_long, ctypes.POINTER(_XEvent)]
_xlib.XFlush.argtypes = [ctypes.c_void_p]
_xlib.XGetWindowAttributes.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(_XWindowAttributes)]

_CLIENT_MESSAGE = 33


class Display:
    def __init__(self, name):
        self._dpy = _xlib.XOpenDisplay(name.encode())
        if not self._dpy:
            raise RuntimeError("cannot open display " + name)

    def close(self):
        _xlib.XCloseDisplay(self._dpy)

    def _children(self, window):
        root, parent = Window(), Window()
        children = ctypes.POINTER(Window)()
        count = ctypes.c_uint()
        if not _xlib.XQueryTree(self._dpy, window, ctypes.byref(root), ctypes.byref(parent),
                                ctypes.byref(children), ctypes.byref(count)):
            return []
        result = [children[i] for i in range(count.value)]
        if children:
            _xlib.XFree(children)
        return result

    def _name(self, window):
        name = ctypes.c_char_p()
        if _xlib.XFetchName(self._dpy, window, ctypes.byref(name)) and name.value is not None:
            text = name.value.decode("utf-8", "replace")
            _xlib.XFree(name)
            return text
        return None

    def find(self, title):
        """Top-level windows whose title is `title`."""
        root = _xlib.XDefaultRootWindow(self._dpy)
        return [w for w in self._children(root) if self._name(w) == title]

    def size(self, window):
        """(width, height) of the window in device pixels."""
        attributes = _XWindowAttributes()
        if not _xlib.XGetWindowAttributes(self._dpy, window, ctypes.byref(attributes)):
            raise RuntimeError("no such window")
        return attributes.width, attributes.height

    def request_close(self, window):
        """Sends WM_DELETE_WINDOW, as a window manager's close button does."""
        event = _XEvent()
        event.xclient.type = _CLIENT_MESSAGE
        event.xclient.window = window
        event.xclient.message_type = _xlib.XInternAtom(self._dpy, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data.l[0] = _xlib.XInternAtom(self._dpy, b"WM_DELETE_WINDOW", 0)
        event.xclient.data.l[1] = 0  # CurrentTime
        _xlib.XSendEvent(self._dpy, window, 0, 0, ctypes.byref(event))
        _xlib.XFlush(self._dpy)
