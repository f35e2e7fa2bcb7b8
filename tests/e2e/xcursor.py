#!/usr/bin/python3
"""Prints the X cursor that an X display currently shows, as JSON.

Wine keeps cursor handles per process, so another Windows process cannot tell which cursor the
installer set. What it set ends up as the X cursor of the display, which the XFIXES extension
reads back: size, hot spot and a digest of its pixels.

    xcursor.py DISPLAY   ->  {"width": .., "height": .., "xhot": .., "yhot": .., "digest": ".."}
"""

import ctypes
import ctypes.util
import hashlib
import json
import sys


class XFixesCursorImage(ctypes.Structure):
    _fields_ = [
        ("x", ctypes.c_short),
        ("y", ctypes.c_short),
        ("width", ctypes.c_ushort),
        ("height", ctypes.c_ushort),
        ("xhot", ctypes.c_ushort),
        ("yhot", ctypes.c_ushort),
        ("cursor_serial", ctypes.c_ulong),
        ("pixels", ctypes.POINTER(ctypes.c_ulong)),
        ("atom", ctypes.c_ulong),
        ("name", ctypes.c_char_p),
    ]


def read_cursor(display_name):
    x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    xfixes = ctypes.CDLL(ctypes.util.find_library("Xfixes") or "libXfixes.so.3")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x11.XFree.argtypes = [ctypes.c_void_p]
    xfixes.XFixesQueryExtension.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
    xfixes.XFixesGetCursorImage.restype = ctypes.POINTER(XFixesCursorImage)
    xfixes.XFixesGetCursorImage.argtypes = [ctypes.c_void_p]

    display = x11.XOpenDisplay(display_name.encode())
    if not display:
        raise RuntimeError("cannot open display %s" % display_name)
    try:
        event_base, error_base = ctypes.c_int(), ctypes.c_int()
        if not xfixes.XFixesQueryExtension(display, ctypes.byref(event_base), ctypes.byref(error_base)):
            raise RuntimeError("no XFIXES on %s" % display_name)
        image = xfixes.XFixesGetCursorImage(display)
        if not image:
            raise RuntimeError("no cursor image")
        try:
            c = image.contents
            count = c.width * c.height
            # Each pixel is an unsigned long holding 32-bit ARGB; keep only those 32 bits.
            argb = bytearray()
            for i in range(count):
                argb += (c.pixels[i] & 0xFFFFFFFF).to_bytes(4, "little")
            return {
                "width": c.width,
                "height": c.height,
                "xhot": c.xhot,
                "yhot": c.yhot,
                "position": [c.x, c.y],
                "name": c.name.decode("latin-1") if c.name else "",
                "digest": hashlib.sha1(bytes(argb)).hexdigest(),
                "opaque_pixels": sum(1 for i in range(3, len(argb), 4) if argb[i] >= 128),
            }
        finally:
            x11.XFree(image)
    finally:
        x11.XCloseDisplay(display)


if __name__ == "__main__":
    print(json.dumps(read_cursor(sys.argv[1])))
