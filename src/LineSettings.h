// LineSettings: the line the instrument speaks, set whole on every Open.
//
// A serial port keeps whatever the last program (or the system's default)
// left on it. Linux starts a port with XON/XOFF on, which takes the bytes
// 0x11 and 0x13 out of a data set; a port left with an RTS/CTS handshake
// stalls every letter on a cable without those lines; NUL stripping drops
// bytes, parity garbles every reply. The instrument knows one line only, so
// nothing of it is left as found. The speed is the one given to Open.
#pragma once

struct LineSettings {
    int nDataBits;
    bool bParity;             // false: no parity bit, none checked
    int nStopBits;
    bool bXonXoffOut;         // obey XOFF from the far end
    bool bXonXoffIn;          // send XOFF when the receive queue fills
    bool bRtsCtsHandshake;    // send only while CTS is up, RTS follows the queue
    bool bDsrDtrHandshake;    // send only while DSR is up, DTR follows the queue
    bool bDsrSensitivity;     // drop what arrives while DSR is down
    bool bDtrOn;              // raised while the port is open
    bool bRtsOn;
    bool bStripNul;           // drop received NUL bytes
    bool bErrorChar;          // replace bytes with a parity error
    bool bAbortOnError;       // stop all transfers after a line error
    bool bBinary;             // every byte passes, none ends the input
};

// 8N1, no flow control of any kind, DTR and RTS on, every byte passed as it is.
constexpr LineSettings kInstrumentLine = {
    8,       // data bits
    false,   // parity
    1,       // stop bits
    false,   // XON/XOFF out
    false,   // XON/XOFF in
    false,   // RTS/CTS handshake
    false,   // DSR/DTR handshake
    false,   // DSR sensitivity
    true,    // DTR on
    true,    // RTS on
    false,   // NUL stripping
    false,   // error character
    false,   // abort on error
    true,    // binary
};
