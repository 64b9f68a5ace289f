// The program's version: one place for the version block and orvel --version.
#pragma once

#define XKT_VERSION_NUMBERS 1,0,0,1
#define XKT_VERSION_TEXT "1, 0, 0, 1"
