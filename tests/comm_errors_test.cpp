// ClearCommError's bits as line errors: what the Windows programs report of
// a damaged line, which no driver under Wine can show.
#include "CommErrors.h"

#include "SerialPort.h"

#include <gtest/gtest.h>

namespace {

TEST(CommErrors, EachBitAndTheirMixes)
{
    struct Case {
        uint32_t nComm;
        unsigned nLine;
    };
    // The values as the Win32 ABI has them, written out here.
    const Case cases[] = {
        {0, 0},
        {0x0001, LINE_ERROR_BUFFER_OVERRUN},   // CE_RXOVER
        {0x0002, LINE_ERROR_OVERRUN},          // CE_OVERRUN
        {0x0004, LINE_ERROR_PARITY},           // CE_RXPARITY
        {0x0008, LINE_ERROR_FRAMING},          // CE_FRAME
        {0x0010, LINE_ERROR_BREAK},            // CE_BREAK
        {0x0018, LINE_ERROR_FRAMING | LINE_ERROR_BREAK},
        {0x001F, LINE_ERROR_BUFFER_OVERRUN | LINE_ERROR_OVERRUN | LINE_ERROR_PARITY | LINE_ERROR_FRAMING |
                     LINE_ERROR_BREAK},
        // Nothing received went wrong: the send queue full, a mode the
        // driver refused, the printer's bits.
        {0x0100, 0},   // CE_TXFULL
        {0x8000, 0},   // CE_MODE
        {0x0200 | 0x0400 | 0x0800 | 0x1000, 0},   // CE_PTO, CE_IOE, CE_DNS, CE_OOP
        {0x8100 | 0x0004, LINE_ERROR_PARITY},
        {0xFFFFFFFF, LINE_ERROR_BUFFER_OVERRUN | LINE_ERROR_OVERRUN | LINE_ERROR_PARITY | LINE_ERROR_FRAMING |
                         LINE_ERROR_BREAK},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.nLine, LineErrorsFromCommErrors(c.nComm)) << std::hex << "0x" << c.nComm;
}

}  // namespace
