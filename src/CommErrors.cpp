// CommErrors: ClearCommError's bits as line errors, on every platform.
#include "CommErrors.h"

#include "SerialPort.h"

namespace {

struct Bit {
    uint32_t nComm;
    unsigned nLine;
};

const Bit kBits[] = {
    {COMM_ERROR_FRAME, LINE_ERROR_FRAMING},   {COMM_ERROR_RXPARITY, LINE_ERROR_PARITY},
    {COMM_ERROR_OVERRUN, LINE_ERROR_OVERRUN}, {COMM_ERROR_RXOVER, LINE_ERROR_BUFFER_OVERRUN},
    {COMM_ERROR_BREAK, LINE_ERROR_BREAK},
};

}  // namespace

unsigned LineErrorsFromCommErrors(uint32_t nCommErrors)
{
    unsigned nErrors = 0;
    for (const Bit& bit : kBits) {
        if ((nCommErrors & bit.nComm) != 0)
            nErrors |= bit.nLine;
    }
    return nErrors;
}
