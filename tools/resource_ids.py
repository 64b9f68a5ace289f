"""Orvel's resource identifiers, read from res/resource.h.

    import resource_ids
    resource_ids.IDC_CONNECT      # 1000

The header is the one place they are defined; the Python tests and tools
name them through this module instead of keeping a copy.
"""

import os
import re

HEADER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                      "res", "resource.h")

_DEFINE = re.compile(r"^\s*#define\s+(ID[A-Z]*_\w+)\s+(0x[0-9A-Fa-f]+|\d+)\b", re.M)


def read(path=HEADER):
    """{name: value} of every identifier the header defines."""
    with open(path, encoding="ascii") as f:
        return {name: int(value, 0) for name, value in _DEFINE.findall(f.read())}


globals().update(read())
