// CommErrors: the bits of Win32's ClearCommError, as the line errors they are.
//
// The bits' values are fixed by the Win32 ABI (CE_RXOVER and the rest in
// winbase.h), so the mapping needs no Windows header and is checked where the
// tests run natively: no driver under Wine reports a line error, so nothing
// there could show it wrong.
#pragma once

#include <cstdint>

constexpr uint32_t COMM_ERROR_RXOVER = 0x0001;     // CE_RXOVER: the driver's input queue was full
constexpr uint32_t COMM_ERROR_OVERRUN = 0x0002;    // CE_OVERRUN: the UART's own buffer was
constexpr uint32_t COMM_ERROR_RXPARITY = 0x0004;   // CE_RXPARITY
constexpr uint32_t COMM_ERROR_FRAME = 0x0008;      // CE_FRAME
constexpr uint32_t COMM_ERROR_BREAK = 0x0010;      // CE_BREAK
// The other bits (CE_TXFULL, CE_MODE, and the printer's CE_PTO, CE_IOE,
// CE_DNS, CE_OOP) tell of no received byte.

// The LINE_ERROR_* bits that ClearCommError's bits stand for.
unsigned LineErrorsFromCommErrors(uint32_t nCommErrors);
