// Names as an operator might type them (".txt" already added), and whether
// Windows takes each for a device. Shared by the native and the Wine tests.
#pragma once

struct DeviceNameCase {
    const char* szName;
    bool bDevice;
};

const DeviceNameCase g_deviceNameCases[] = {
    {"nul.txt", true},
    {"CON.txt", true},
    {"com2.txt", true},
    {"Lpt1.txt", true},
    {"aux.txt", true},
    {"prn.txt", true},
    {"COM9.txt", true},
    {"lPt9.txt", true},
    {"nul.txt.txt", true},     // typed with its own ".txt"
    {"nul..txt", true},        // typed with a trailing dot
    {"nul .txt", true},        // typed with a trailing space
    {"con . .txt", true},
    {"runs/aux.txt", true},
    {"runs\\Nul.txt", true},
    {"C:com1.txt", true},
    {"com0.txt", false},
    {"com10.txt", false},
    {"lpt.txt", false},
    {"comx.txt", false},
    {"null.txt", false},
    {"cons.txt", false},
    {"xnul.txt", false},
    {"con1.txt", false},
    {" nul.txt", false},       // leading spaces are kept by Windows
    {"nul/run1.txt", false},   // a folder of that name is the folder's business
    {"run1.txt", false},
    {".txt", false},
};
