"""Prints, as JSON, the accessible tree of every application that screen
readers see on the AT-SPI bus of the session bus in DBUS_SESSION_BUS_ADDRESS.

Needs Debian's pyatspi (python3-pyatspi), so run it with /usr/bin/python3."""

import json

import pyatspi


def node(accessible, depth=0):
    item = {"role": accessible.getRoleName(), "name": accessible.name,
            "description": accessible.description}
    if depth < 16:
        item["children"] = [node(accessible.getChildAtIndex(i), depth + 1)
                            for i in range(accessible.childCount)]
    return item


desktop = pyatspi.Registry.getDesktop(0)
print(json.dumps([node(app) for app in desktop if app is not None]))
