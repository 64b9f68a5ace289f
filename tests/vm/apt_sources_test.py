"""Where the guest's packages come from: this machine's apt sources, in
either format, and nothing else."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "vm"))
import guestvm  # noqa: E402

DEB822 = """Types: deb
# a comment between fields
URIs: http://mirror.example/debian/
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb deb-src
URIs: http://security.example/debian-security
Suites: bookworm-security
Components: main
"""

# (what lies in /etc/apt, the mirror found, the security mirror found)
CASES = [
    ("one line", {"sources.list": "deb http://a.example/debian bookworm main\n"
                                  "deb http://s.example/sec bookworm-security main\n"},
     "http://a.example/debian", "http://s.example/sec"),
    ("options with spaces", {"sources.list":
                             "deb [ arch=amd64 signed-by=/k.gpg ] https://b.example/d bookworm main\n"},
     "https://b.example/d", None),
    ("comments and deb-src", {"sources.list": "# deb http://old.example/d bookworm main\n"
                                              "deb-src http://src.example/d bookworm main\n"
                                              "deb http://c.example/d bookworm main # near\n"},
     "http://c.example/d", None),
    ("a .list file", {"sources.list.d/x.list": "deb http://d.example/d bookworm main\n"},
     "http://d.example/d", None),
    ("deb822", {"sources.list.d/debian.sources": DEB822},
     "http://mirror.example/debian", "http://security.example/debian-security"),
    ("deb822 disabled", {"sources.list.d/a.sources":
                         "Types: deb\nURIs: http://off.example/d\nSuites: bookworm\nEnabled: no\n",
                         "sources.list.d/b.sources":
                         "Types: deb\nURIs: http://on.example/d\nSuites: bookworm\n"},
     "http://on.example/d", None),
    ("another suite only", {"sources.list": "deb http://e.example/d trixie main\n"}, None, None),
    ("cdrom only", {"sources.list": "deb cdrom:[Debian 12]/ bookworm main\n"}, None, None),
    ("nothing", {}, None, None),
    ("other file names are not sources", {"sources.list.d/x.list.disabled":
                                          "deb http://f.example/d bookworm main\n"}, None, None),
]


class AptSourcesTest(unittest.TestCase):
    def test_cases(self):
        for name, files, mirror, security in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as etc_apt:
                os.makedirs(os.path.join(etc_apt, "sources.list.d"))
                for path, text in files.items():
                    with open(os.path.join(etc_apt, path), "w") as f:
                        f.write(text)
                if mirror is None:
                    with self.assertRaisesRegex(guestvm.GuestError, "no Debian mirror for the guest"):
                        guestvm.apt_mirrors(etc_apt)
                else:
                    self.assertEqual(guestvm.apt_mirrors(etc_apt), (mirror, security))

    def test_no_mirror_named_in_the_code(self):
        # The guest never falls back to a mirror the machine was not given.
        for path in guestvm.RECIPE + [guestvm.__file__]:
            with open(path) as f:
                self.assertNotRegex(f.read(), r"https?://[a-z0-9.-]+\.(org|net|com)/")


if __name__ == "__main__":
    unittest.main()
