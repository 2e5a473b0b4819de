"""Just enough Xlib (through ctypes) to find a top-level window by its title,
read its size and properties and who owns the clipboard, ping it and ask it
to close the way a window
manager does (_NET_WM_PING, WM_DELETE_WINDOW)."""

import ctypes
import ctypes.util
import itertools
import select
import time

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
_xlib.XGetWindowProperty.argtypes = [
    ctypes.c_void_p, Window, Atom, ctypes.c_long, ctypes.c_long, ctypes.c_int, Atom,
    ctypes.POINTER(Atom), ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
    ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte))]
_xlib.XGetWindowAttributes.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(_XWindowAttributes)]
_xlib.XSelectInput.argtypes = [ctypes.c_void_p, Window, ctypes.c_long]
_xlib.XPending.argtypes = [ctypes.c_void_p]
_xlib.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(_XEvent)]
_xlib.XConnectionNumber.argtypes = [ctypes.c_void_p]
_xlib.XGetSelectionOwner.restype = Window
_xlib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, Atom]

# Windows come and go while they are looked at (Wine's own, above all): an X
# error on one that has just gone is no reason to end the process, which is
# what Xlib's default handler does.
_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_ignore_errors = _ERROR_HANDLER(lambda display, event: 0)
_xlib.XSetErrorHandler.argtypes = [_ERROR_HANDLER]
_xlib.XSetErrorHandler.restype = ctypes.c_void_p
_xlib.XSetErrorHandler(_ignore_errors)

_CLIENT_MESSAGE = 33
_STRUCTURE_NOTIFY_MASK = 1 << 17
_SUBSTRUCTURE_NOTIFY_MASK = 1 << 19


class Display:
    def __init__(self, name):
        self._dpy = _xlib.XOpenDisplay(name.encode())
        if not self._dpy:
            raise RuntimeError("cannot open display " + name)

        self._pings = itertools.count(1)
        self._root_selected = False

    def close(self):
        _xlib.XCloseDisplay(self._dpy)

    def _client_message(self, window, protocol, *values):
        event = _XEvent()
        event.xclient.type = _CLIENT_MESSAGE
        event.xclient.window = window
        event.xclient.message_type = _xlib.XInternAtom(self._dpy, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data.l[0] = _xlib.XInternAtom(self._dpy, protocol, 0)
        for i, value in enumerate(values):
            event.xclient.data.l[1 + i] = value
        _xlib.XSendEvent(self._dpy, window, 0, 0, ctypes.byref(event))
        _xlib.XFlush(self._dpy)

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

    def property(self, window, name):
        """A window property as bytes (format 8) or a list of numbers (16, 32);
        None when the window does not have it."""
        actual_type, actual_format = Atom(), ctypes.c_int()
        count, remaining = ctypes.c_ulong(), ctypes.c_ulong()
        data = ctypes.POINTER(ctypes.c_ubyte)()
        status = _xlib.XGetWindowProperty(
            self._dpy, window, _xlib.XInternAtom(self._dpy, name.encode(), 0), 0, 1 << 24, 0,
            0, ctypes.byref(actual_type), ctypes.byref(actual_format), ctypes.byref(count),
            ctypes.byref(remaining), ctypes.byref(data))
        if status != 0 or actual_type.value == 0:
            return None
        try:
            if actual_format.value == 8:
                return ctypes.string_at(data, count.value)
            # Xlib hands 32-bit items over as C longs, 16-bit ones as shorts.
            item = ctypes.c_long if actual_format.value == 32 else ctypes.c_short
            return list(ctypes.cast(data, ctypes.POINTER(item))[:count.value])
        finally:
            _xlib.XFree(data)

    def selection_owner(self, selection="CLIPBOARD"):
        """The window that owns `selection` (0 for none), as the X server
        says; the owner itself is not asked."""
        return _xlib.XGetSelectionOwner(self._dpy, _xlib.XInternAtom(self._dpy, selection.encode(), 0))

    def size(self, window):
        """(width, height) of the window in device pixels."""
        attributes = _XWindowAttributes()
        if not _xlib.XGetWindowAttributes(self._dpy, window, ctypes.byref(attributes)):
            raise RuntimeError("no such window")
        return attributes.width, attributes.height

    def request_close(self, window):
        """Sends WM_DELETE_WINDOW, as a window manager's close button does."""
        self._client_message(window, b"WM_DELETE_WINDOW", 0)  # CurrentTime

    def ping(self, window, timeout=10):
        """Seconds until the window's client answers _NET_WM_PING, as window
        managers ask to find hung programs (a Qt program answers on its GUI
        thread); None without an answer within `timeout`."""
        root = _xlib.XDefaultRootWindow(self._dpy)
        if not self._root_selected:
            # The answer goes to the root window (Qt sends it with the
            # structure mask, window managers expect the substructure one).
            _xlib.XSelectInput(self._dpy, root, _STRUCTURE_NOTIFY_MASK | _SUBSTRUCTURE_NOTIFY_MASK)
            self._root_selected = True
        ping = _xlib.XInternAtom(self._dpy, b"_NET_WM_PING", 0)
        token = next(self._pings)
        sent = time.monotonic()
        self._client_message(window, b"_NET_WM_PING", token, window)
        event = _XEvent()
        fd = _xlib.XConnectionNumber(self._dpy)
        while time.monotonic() - sent < timeout:
            while _xlib.XPending(self._dpy):
                _xlib.XNextEvent(self._dpy, ctypes.byref(event))
                answer = event.xclient
                if (answer.type == _CLIENT_MESSAGE and answer.window == root
                        and answer.data.l[0] == ping and answer.data.l[1] == token):
                    return time.monotonic() - sent
            select.select([fd], [], [], 0.01)
        return None
