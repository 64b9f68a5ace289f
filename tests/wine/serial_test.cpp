// The Win32 SerialPort and the command exchange, run under Wine against the
// simulated instrument on a pty-backed COM port.
//
//   xkt_serial_test SIM_PORT ABSENT_PORT IDENT
//
// run_serial_tests.py starts it with the simulator linked as COM<SIM_PORT>,
// COM<ABSENT_PORT> absent, and the files v.bin (all 256 byte values), a.bin
// (60 bytes) and o.bin (a data set text) in the working directory, which the
// simulator sends as its data sets. Lines starting with '@' are requests to
// that runner, answered on stdin:
//   @sim CMD                a command for the simulator's stdin; answer ok/error
//   @setline BAUD BITS STOP [xonxoff] [rtscts]
//                           set the pty's line settings from the Linux side,
//                           with the flow control named on and the rest off
//   @line                   "BAUD BITS STOP" as the pty has them now, and the
//                           flow control words that are on
//   @clearlog               forget the bytes the simulator has received so far
//   @log                    hex bytes the simulator received since @clearlog
//   @vanish [MS]            the simulator's adapter is pulled, now or in MS ms:
//                           COM<SIM_PORT> leads to an empty directory, the pty closes
//   @return                 the adapter is back (on a fresh pty behind COM<SIM_PORT>)
// Every other line is one check; the last line counts them.
#include "DataSetFile.h"
#include "DeviceNameCases.h"
#include "FakeDialog.h"
#include "LineSettings.h"
#include "SerialPort.h"
#include "XKTCore.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

int g_nPassed = 0;
int g_nFailed = 0;

void Check(bool bOk, const std::string& name, const std::string& detail = "")
{
    if (bOk) {
        ++g_nPassed;
        std::printf("ok   %s\n", name.c_str());
    } else {
        ++g_nFailed;
        std::printf("FAIL %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    }
    std::fflush(stdout);
}

std::string Ask(const std::string& request)
{
    std::printf("@%s\n", request.c_str());
    std::fflush(stdout);
    char line[65536];
    if (!std::fgets(line, sizeof line, stdin)) {
        std::fprintf(stderr, "runner went away\n");
        std::exit(2);
    }
    std::string answer = line;
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r'))
        answer.pop_back();
    return answer;
}

void Sim(const std::string& command)
{
    std::string answer = Ask("sim " + command);
    if (answer != "ok")
        Check(false, "simulator takes '" + command + "'", answer);
}

void Runner(const std::string& request)
{
    std::string answer = Ask(request);
    if (answer != "ok")
        Check(false, "runner takes '" + request + "'", answer);
}

std::string ReadWhole(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<int> ParseHex(const std::string& text)
{
    std::vector<int> bytes;
    std::istringstream in(text);
    std::string item;
    while (in >> item)
        bytes.push_back(static_cast<int>(std::strtol(item.c_str(), nullptr, 16)));
    return bytes;
}

// The bytes the simulator logged, waiting until at least nWanted arrived or
// the time is up.
std::vector<int> LoggedBytes(size_t nWanted, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    std::vector<int> bytes;
    for (;;) {
        bytes = ParseHex(Ask("log"));
        if (bytes.size() >= nWanted || GetTickCount() - start > timeoutMs)
            return bytes;
        Sleep(50);
    }
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

std::string Describe(const std::string& bytes)
{
    std::string out = std::to_string(bytes.size()) + " bytes \"";
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + "\"";
}

// Collects whatever arrives for up to timeoutMs, until nWanted bytes are in.
std::string Collect(SerialPort& port, size_t nWanted, DWORD timeoutMs)
{
    std::string got;
    char chunk[750];
    DWORD start = GetTickCount();
    while (got.size() < nWanted && GetTickCount() - start < timeoutMs) {
        int32_t n = port.Read(chunk, sizeof chunk);
        if (n > 0)
            got.append(chunk, static_cast<size_t>(n));
        else
            Sleep(10);
    }
    return got;
}

struct Options {
    int nSimPort;
    int nAbsentPort;
    std::string strIdent;
};

// ---- the port itself --------------------------------------------------------

void TestAbsentPort(const Options& o)
{
    SerialPort port;
    Check(!port.Open(o.nAbsentPort, 9600), "Open of an absent port is false");
    Check(port.Send("y", 1) == 0, "Send on a port that did not open sends 0");
    char buffer[50];
    Check(port.Read(buffer, sizeof buffer) == 0, "Read on a port that did not open reads 0");
    Check(port.Close(), "Close of a port that never opened is true");
    // Windows refuses a COM port held by another program with "access
    // denied", and so does Wine this absent port (linked to a directory).
    Check(port.OpenError().nKind == PortError::IN_USE && port.OpenError().strText == "in use by another program",
          "access denied is 'in use by another program'", port.OpenError().strText);
    SerialPort unknown;
    Check(!unknown.Open(40, 9600) && unknown.OpenError().nKind == PortError::NO_SUCH_PORT &&
              unknown.OpenError().strText == "no such port",
          "a COM port the system does not know is 'no such port'", unknown.OpenError().strText);
}

// The port as Windows reports it through a handle of its own (Wine lets a
// second handle open a port that is held).
bool ReadCommState(int nPort, DCB& dcb)
{
    HANDLE hComm = CreateFileA(SerialPort::DevicePath(nPort).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (hComm == INVALID_HANDLE_VALUE)
        return false;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    BOOL bRead = GetCommState(hComm, &dcb);
    CloseHandle(hComm);
    return bRead != FALSE;
}

void TestOpenClose(const Options& o)
{
    // Other settings beforehand show that Open sets the speed and the whole
    // line. (A Linux pty always reports 8 data bits and no parity, so those
    // cannot be told apart from here.)
    Ask("setline 19200 7 2 xonxoff rtscts");
    {
        SerialPort port;
        Check(port.Open(o.nSimPort, 9600), "Open of a port left with XON/XOFF, RTS/CTS and 2 stop bits is true");
        std::string line = Ask("line");
        Check(line == "9600 8 1", "Open sets 9600 baud, 1 stop bit and no flow control", "pty has " + line);
        Check(port.Open(o.nSimPort, 9600), "Open of an open port is true");
        Check(port.Close(), "Close is true");
        Check(port.Close(), "Close of a closed port is true");
        Check(port.Send("y", 1) == 0, "Send after Close sends 0");
        Check(port.Open(o.nSimPort, 9600), "Open after Close is true");
        Sim("probe whole");
        Check(port.Send("y", 1) == 1, "Send after reopening sends 1");
        std::string reply = Collect(port, o.strIdent.size(), 2000);
        Check(reply == o.strIdent, "the reopened port carries a reply", Describe(reply));
    }
    Ask("setline 9600 8 1");
}

// What GetCommState reads back after Open is the instrument's line, of the
// fields Wine reports from what was set on a pty: the speed, the stop bits
// and the flow control. The rest it reports the same whatever was set (the
// pty forces 8 data bits and no parity, has no modem lines for DTR and RTS,
// and Wine has no DSR handshake, DSR sensitivity, NUL stripping, error
// character or abort on error): the data bits, parity and modem lines are
// checked on the guest's real drivers (the real-line entries).
void TestCommState(const Options& o)
{
    Ask("setline 19200 7 2 xonxoff rtscts");
    SerialPort port;
    DCB dcb;
    bool bRead = port.Open(o.nSimPort, 9600) && ReadCommState(o.nSimPort, dcb);
    Check(bRead, "GetCommState after Open");
    if (!bRead)
        return;
    const LineSettings& line = kInstrumentLine;
    struct Field {
        const char* szName;
        DWORD nGot;
        DWORD nWanted;
    };
    const Field fields[] = {
        {"BaudRate", dcb.BaudRate, 9600},
        {"StopBits", dcb.StopBits, ONESTOPBIT},
        {"fOutX", dcb.fOutX, line.bXonXoffOut},
        {"fInX", dcb.fInX, line.bXonXoffIn},
        {"fOutxCtsFlow", dcb.fOutxCtsFlow, line.bRtsCtsHandshake},
    };
    for (const Field& field : fields)
        Check(field.nGot == field.nWanted, std::string("GetCommState after Open: ") + field.szName + " " +
                                               std::to_string(field.nWanted),
              "got " + std::to_string(field.nGot));
    port.Close();
    Ask("setline 9600 8 1");
}

void TestSendLetter(const Options& o)
{
    Sim("probe silent");
    Ask("clearlog");
    SerialPort port;
    port.Open(o.nSimPort, 9600);
    Check(port.Send("y", 1) == 1, "Send of one letter returns 1");
    LoggedBytes(1, 2000);
    Sleep(200);   // anything more would show up by now
    std::vector<int> bytes = ParseHex(Ask("log"));
    Check(bytes == std::vector<int>{'y'}, "the simulator received exactly the letter y",
          std::to_string(bytes.size()) + " bytes");
    Check(port.Send("yy", 0) == 0 && port.Send("yy", -1) == 0, "Send of 0 or fewer bytes returns 0");
}

void TestReadNothing(const Options& o)
{
    Sim("probe silent");
    SerialPort port;
    port.Open(o.nSimPort, 9600);
    char buffer[50];
    std::memset(buffer, 0xA5, sizeof buffer);
    LARGE_INTEGER start = Now();
    int32_t n = port.Read(buffer, sizeof buffer);
    double seconds = Seconds(start, Now());
    Check(n == 0, "Read with nothing queued returns 0", std::to_string(n));
    Check(seconds < 0.1, "Read with nothing queued does not wait",
          std::to_string(seconds * 1000) + " ms");
    bool bUntouched = true;
    for (char c : buffer)
        bUntouched = bUntouched && c == static_cast<char>(0xA5);
    Check(bUntouched, "Read with nothing queued leaves the buffer untouched");
}

void TestReadLimit(const Options& o)
{
    const std::string expected = ReadWhole("a.bin");
    Sim("data instant");
    SerialPort port;
    port.Open(o.nSimPort, 9600);
    port.Send("a", 1);
    Sleep(500);   // all 60 bytes queued in the driver by now
    char buffer[64];
    std::memset(buffer, 0xA5, sizeof buffer);
    int32_t first = port.Read(buffer, 50);
    Check(first == 50 && std::string(buffer, 50) == expected.substr(0, 50),
          "Read of 60 queued bytes with limit 50 gives the first 50", std::to_string(first));
    Check(buffer[50] == static_cast<char>(0xA5), "Read writes nothing beyond its limit");
    std::memset(buffer, 0xA5, sizeof buffer);
    int32_t second = port.Read(buffer, 50);
    Check(second == 10 && std::string(buffer, 10) == expected.substr(50),
          "the next Read gives the remaining 10", std::to_string(second));
    Check(buffer[10] == static_cast<char>(0xA5), "Read adds no terminating zero");
    Check(port.Read(buffer, 50) == 0, "then nothing is left");
}

void TestAllBytesIn(const Options& o)
{
    // A Linux port starts with XON/XOFF on, and Wine reports it so: a program
    // that kept it loses 0x11 and 0x13 and may stall on a received XOFF.
    const std::string expected = ReadWhole("v.bin");
    Sim("data instant");
    Ask("setline 9600 8 1 xonxoff");
    SerialPort port;
    port.Open(o.nSimPort, 9600);
    port.Send("v", 1);
    std::string got = Collect(port, expected.size(), 3000);
    Check(expected.size() == 256 && got == expected,
          "all 256 byte values arrive unaltered on a port left with XON/XOFF",
          "got " + std::to_string(got.size()) + " bytes");
    Ask("setline 9600 8 1");
}

void TestAllBytesOut(const Options& o)
{
    Sim("unplug");   // receive and record only
    Ask("clearlog");
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    {
        SerialPort port;
        port.Open(o.nSimPort, 9600);
        Check(port.Send(all.data(), 256) == 256, "Send of 256 bytes returns 256");
        std::vector<int> bytes = LoggedBytes(256, 3000);
        bool bSame = bytes.size() == 256;
        for (size_t i = 0; bSame && i < bytes.size(); ++i)
            bSame = bytes[i] == static_cast<int>(i);
        Check(bSame, "all 256 byte values leave unaltered",
              "simulator got " + std::to_string(bytes.size()) + " bytes");
    }
    Sim("plug");
}

// ---- the command exchange ---------------------------------------------------

struct CountedCase {
    const char* szMode;       // the simulator's probe mode
    bool bResult;
    size_t nLastReply;        // length of m_strLastReply afterwards
    bool bTransferError;      // "Data Transfer Error!    " shown
    bool bFullTime;           // all 100 polls ran
};

const CountedCase g_countedCases[] = {
    {"whole", true, 19, false, false},
    {"pieces:7,7,5", true, 19, false, false},
    {"short", false, 18, false, true},
    {"long", false, 20, true, false},
};

void TestCountedExchange(const Options& o, const CountedCase& c)
{
    Sim(std::string("probe ") + c.szMode);
    FakeDialog core;
    core.UseCom(o.nSimPort);
    g_strCommand = "y";
    LARGE_INTEGER start = Now();
    bool bResult = core.ExchangeCommand(PROBE_REPLY_LENGTH);
    double seconds = Seconds(start, Now());
    const std::string name = std::string("ExchangeCommand(19), probe ") + c.szMode + ": ";

    Check(bResult == c.bResult, name + (c.bResult ? "true" : "false"));
    Check(core.m_strLastReply.size() == c.nLastReply &&
              core.m_strLastReply.compare(0, 18, o.strIdent, 0, 18) == 0,
          name + "m_strLastReply holds the " + std::to_string(c.nLastReply) + " bytes",
          Describe(core.m_strLastReply));
    Check(core.m_strReply == (c.bResult ? o.strIdent : std::string()),
          name + (c.bResult ? "m_strReply is the reply" : "m_strReply is empty"),
          Describe(core.m_strReply));
    Check(core.statusShown.size() == 1, name + "the controls are updated once",
          std::to_string(core.statusShown.size()));
    if (c.bTransferError) {
        bool bShown = core.messages.size() == 1 &&
                      core.messages[0].text == "Data Transfer Error!    " &&
                      core.messages[0].caption == "Error:" && core.messages[0].style == STYLE_ERROR;
        Check(bShown, name + "\"Data Transfer Error!    \", \"Error:\", style 16");
    } else {
        Check(core.messages.empty(), name + "no message",
              std::to_string(core.messages.size()) + " shown");
    }
    // 100 polls of 10 ms: a second at least, a few with a loaded machine.
    if (c.bFullTime)
        Check(seconds >= 0.9 && seconds < 5.0, name + "ends after about 100 polls",
              std::to_string(seconds) + " s");
    else
        Check(seconds < 0.9, name + "ends as soon as the bytes are in", std::to_string(seconds) + " s");
}

void TestExchangeAbsent(const Options& o)
{
    FakeDialog core;
    core.UseCom(o.nAbsentPort);
    g_strCommand = "y";
    LARGE_INTEGER start = Now();
    bool bResult = core.ExchangeCommand(PROBE_REPLY_LENGTH);
    double seconds = Seconds(start, Now());
    Check(!bResult && core.messages.empty() && core.m_strReply.empty(),
          "ExchangeCommand on an absent port: false, no message");
    Check(seconds >= 0.9 && seconds < 5.0, "ExchangeCommand on an absent port polls its full second",
          std::to_string(seconds) + " s");
    Check(core.nPollWaits == 100, "every poll pauses through the dialog",
          std::to_string(core.nPollWaits) + " pauses");
}

void TestErase(const Options& o)
{
    Sim("ack ok");
    Ask("clearlog");
    FakeDialog core;
    core.UseCom(o.nSimPort);
    g_strCommand = "E";
    bool bResult = core.ExchangeCommand(ERASE_REPLY_LENGTH);
    Check(bResult && core.m_strReply.size() == 9 && core.messages.empty(),
          "ExchangeCommand(9) with E: true with the 9-byte acknowledgement", Describe(core.m_strReply));
    std::vector<int> bytes = LoggedBytes(1, 2000);
    Check(bytes == std::vector<int>{'E'}, "the erase sent the letter E alone",
          std::to_string(bytes.size()) + " bytes");
}

void TestBulk(const Options& o)
{
    const std::string expected = ReadWhole("o.bin");
    Sim("data paced");   // 960 bytes a second, as the line carries them
    FakeDialog core;
    core.UseCom(o.nSimPort);
    core.m_strLastReply = "untouched";
    g_strCommand = "o";
    LARGE_INTEGER start = Now();
    core.ReceiveBulk();
    double seconds = Seconds(start, Now());
    Check(core.m_strReply == expected, "ReceiveBulk collects the whole paced data set",
          Describe(core.m_strReply.substr(0, 40)) + "... of " + std::to_string(expected.size()));
    // The line carries 960 bytes a second; after the last one the download
    // waits out two quiet seconds, and not much more.
    double afterLast = seconds - static_cast<double>(expected.size()) / 960.0;
    Check(afterLast >= 1.9 && afterLast < 3.0, "ReceiveBulk ends two seconds after the last byte",
          std::to_string(afterLast) + " s after it");
    std::printf("     %.2f s from the last byte to the end of the download\n", afterLast);
    Check(core.messages.empty() && core.m_strLastReply == "untouched",
          "ReceiveBulk shows nothing and leaves m_strLastReply alone");
    const std::vector<size_t>& progress = core.progress;
    bool bGrowing = !progress.empty();
    for (size_t i = 1; i < progress.size(); ++i)
        bGrowing = bGrowing && progress[i - 1] <= progress[i];
    Check(bGrowing && progress.back() == expected.size() && progress.size() >= 3 &&
              core.progressUnit == "kOhm",
          "ReceiveBulk reports its progress in kOhm, growing, ending with the total",
          std::to_string(progress.size()) + " reports");

    // An instrument that pauses mid-transfer for less than the quiet time
    // loses nothing.
    Sim("data paused:600:1500");
    FakeDialog paused;
    paused.UseCom(o.nSimPort);
    g_strCommand = "o";
    paused.ReceiveBulk();
    Check(paused.m_strReply == expected, "ReceiveBulk waits out a pause of 1.5 s mid-data set",
          std::to_string(paused.m_strReply.size()) + " of " + std::to_string(expected.size()) + " bytes");

    // A line error reported during the download (fed in where the driver's
    // would come: Wine's ClearCommError reports none) means nothing whole
    // arrived, however much did.
    Sim("data instant");
    SerialPort::SetLineErrorFeed([](const std::string&, size_t nBytes) { return nBytes > 0 ? LINE_ERROR_OVERRUN : 0u; });
    FakeDialog damaged;
    damaged.Connect(o.nSimPort);
    damaged.controls[IDC_FILE_KOHM] = "damaged";
    Outcome outcome = damaged.ReadDataSet(g_dataSets[2]);
    SerialPort::SetLineErrorFeed(nullptr);
    Check(outcome == Outcome::LineError && damaged.MessageTexts() == std::vector<std::string>{"Line Error! Data not saved. "} &&
              GetFileAttributesA("damaged.txt") == INVALID_FILE_ATTRIBUTES,
          "a line error during a download saves nothing and says so",
          damaged.MessageTexts().empty() ? "no box" : damaged.MessageTexts().back());

    FakeDialog absent;
    absent.UseCom(o.nAbsentPort);
    start = Now();
    absent.ReceiveBulk();
    seconds = Seconds(start, Now());
    // A port that cannot be opened is no quiet instrument: no wait, and the
    // reason is kept for the caller.
    Check(absent.m_strReply.empty() && absent.OpenError().Failed() && seconds < 0.5,
          "ReceiveBulk on an absent port: nothing, at once, and why",
          std::to_string(seconds) + " s, " + absent.OpenError().strText);
}

// ---- the line under stress ------------------------------------------------------

// The port opened as SerialPort opens it, for looking at the platform's own
// answers.
HANDLE OpenRaw(int nPort)
{
    char szPort[16];
    wsprintfA(szPort, "COM%d", nPort);
    return CreateFileA(szPort, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
}

// That a stalled line makes an overlapped write pending here, so the wait
// and cancel in WriteByte are what the next test runs through.
void TestStallMakesWritesPending(const Options& o)
{
    Sim("unplug");
    HANDLE hComm = OpenRaw(o.nSimPort);
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    Sim("stall");
    char byte = 'p';
    DWORD written = 0;
    LARGE_INTEGER start = Now();
    BOOL bDone = WriteFile(hComm, &byte, 1, &written, &overlapped);
    DWORD error = bDone ? 0 : GetLastError();
    double seconds = Seconds(start, Now());
    Check(!bDone && error == ERROR_IO_PENDING && seconds < 0.2,
          "an overlapped write on a stalled line is pending at once",
          "WriteFile " + std::to_string(bDone) + ", error " + std::to_string(error) + ", " +
              std::to_string(seconds) + " s");
    CancelIo(hComm);
    GetOverlappedResult(hComm, &overlapped, &written, TRUE);
    CloseHandle(overlapped.hEvent);
    CloseHandle(hComm);
    Sim("release");
    Sim("plug");
}

void TestStalledWrite(const Options& o)
{
    // Released within the wait: the pending write completes and the byte arrives.
    Sim("unplug");
    Ask("clearlog");
    {
        SerialPort port;
        port.Open(o.nSimPort, 9600);
        Sim("stall 300");
        LARGE_INTEGER start = Now();
        port.WriteByte('y');
        double seconds = Seconds(start, Now());
        Check(seconds >= 0.2 && seconds < 1.0, "a write stalled for 300 ms waits until the line takes it",
              std::to_string(seconds) + " s");
        Check(!port.WriteFailed(), "a byte the line took late is no failed write", "");
        std::vector<int> bytes = LoggedBytes(1, 2000);
        Check(bytes == std::vector<int>{'y'}, "the stalled byte arrives once the line takes it",
              std::to_string(bytes.size()) + " bytes");
    }

    // Stalled for good: WriteByte gives up after its second and the port
    // says the line did not take the byte; nothing of the abandoned write
    // reaches the line once it drains.
    Ask("clearlog");
    {
        SerialPort port;
        port.Open(o.nSimPort, 9600);
        Sim("stall");
        LARGE_INTEGER start = Now();
        bool bResult = port.WriteByte('E');
        double seconds = Seconds(start, Now());
        Check(bResult && seconds >= 0.9 && seconds < 3.0, "a write that stays stalled returns after about 1 s",
              std::to_string(seconds) + " s");
        Check(port.WriteFailed(), "a write that stays stalled is reported as not taken", "");
    }

    // An exchange whose letter the line does not take waits for no reply
    // and is a failure of its own: a read loses the line, an erase is not
    // acknowledged, and nothing is saved.
    Sim("plug");
    {
        FakeDialog core;
        core.Connect(o.nSimPort);
        core.controls[IDC_FILE_KV] = "stalled";
        LARGE_INTEGER start = Now();
        Outcome read = core.ReadDataSet(g_dataSets[0]);
        double seconds = Seconds(start, Now());
        Check(read == Outcome::NotSent && core.MessageTexts() == std::vector<std::string>{"Connection Lost! Data not saved. "} &&
                  core.m_nPort == NO_PORT && GetFileAttributesA("stalled.txt") == INVALID_FILE_ATTRIBUTES &&
                  seconds < 3.0,
              "a read whose letter the line does not take saves nothing and loses the line",
              std::to_string(seconds) + " s");
        core.messages.clear();
        core.Connect(o.nSimPort);
        Outcome erase = core.EraseDataSet("V");
        Check(erase == Outcome::NotSent && core.MessageTexts() == std::vector<std::string>{" No Reply! "} &&
                  core.m_nPort == o.nSimPort && core.bTimerRunning,
              "an erase whose letter the line does not take is not acknowledged", "");
    }
    Sim("release");
    Sleep(500);
    std::vector<int> bytes = ParseHex(Ask("log"));
    Check(bytes.empty(), "the abandoned writes put nothing on the line later",
          std::to_string(bytes.size()) + " bytes");

    Sim("probe whole");
    FakeDialog core;
    core.UseCom(o.nSimPort);
    g_strCommand = "y";
    Check(core.ExchangeCommand(PROBE_REPLY_LENGTH) && core.m_strReply == o.strIdent,
          "the next exchange works once the line drains", Describe(core.m_strReply));
}

// What the platform answers on a port whose device went away.
void TestVanishedLineAnswers(const Options& o)
{
    Sim("data instant");
    HANDLE hComm = OpenRaw(o.nSimPort);
    char letter = 'a';
    DWORD n = 0;
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!WriteFile(hComm, &letter, 1, &n, &overlapped))
        GetOverlappedResult(hComm, &overlapped, &n, TRUE);
    Sleep(300);   // a.bin's 60 bytes are queued by now
    Runner("vanish");
    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    BOOL bCleared = ClearCommError(hComm, &errors, &status);
    DWORD clearError = bCleared ? 0 : GetLastError();
    char buffer[64];
    BOOL bRead = ReadFile(hComm, buffer, sizeof buffer, &n, &overlapped);
    DWORD readError = bRead ? 0 : GetLastError();
    if (readError == ERROR_IO_PENDING) {
        CancelIo(hComm);
        GetOverlappedResult(hComm, &overlapped, &n, TRUE);
    }
    // What fails is worth seeing in the log either way.
    Check(!bCleared || !bRead, "on a vanished device ClearCommError or ReadFile fails: "
          "ClearCommError " + std::to_string(bCleared) + " (error " + std::to_string(clearError) +
              ", queued " + std::to_string(status.cbInQue) + "), ReadFile " + std::to_string(bRead) +
              " (error " + std::to_string(readError) + ", " + std::to_string(bRead ? n : 0) + " bytes)");
    CloseHandle(overlapped.hEvent);
    CloseHandle(hComm);
    Runner("return");
}

void TestVanishedLine(const Options& o)
{
    Sim("probe whole");
    SerialPort port;
    Check(port.Open(o.nSimPort, 9600) && !port.ReadFailed(), "an open port has no failed read");
    char buffer[50];
    port.Read(buffer, sizeof buffer);
    Check(!port.ReadFailed(), "a quiet line is no failed read");
    Runner("vanish");
    LARGE_INTEGER start = Now();
    int32_t n = 0;
    for (int i = 0; i < 5; ++i)
        n += port.Read(buffer, sizeof buffer);
    double seconds = Seconds(start, Now());
    Check(n == 0 && port.ReadFailed(), "a vanished device fails the read",
          std::to_string(n) + " bytes, failed " + std::to_string(port.ReadFailed()));
    Check(seconds < 1.0, "reads on a vanished device return at once", std::to_string(seconds) + " s");
    port.Close();
    SerialPort again;
    Check(!again.Open(o.nSimPort, 9600), "the vanished port does not open");
    Runner("return");
    Check(again.Open(o.nSimPort, 9600) && !again.ReadFailed(), "the port opens again once it is back");
}

void TestVanishDuringDownload(const Options& o)
{
    const char* const szName = "lost.txt";
    {
        std::ofstream old(szName, std::ios::binary);
        old << "old\r\n";
    }
    Sim("data paced");   // o.bin takes about 1.4 s on the line
    FakeDialog core;
    core.UseCom(o.nSimPort);
    core.controls[1016] = "lost";   // the kOhm file-name field
    Runner("vanish 500");
    LARGE_INTEGER start = Now();
    core.ReadDataSet(g_dataSets[2]);
    double seconds = Seconds(start, Now());
    Runner("return");

    Check(core.LineFailed(), "a download through a vanished device knows the line failed");
    Check(core.messages.size() == 2 && core.messages[1].text == "Connection Lost! Data not saved. " &&
              core.messages[1].caption == "Error:" && core.messages[1].style == STYLE_ERROR,
          "a download through a vanished device says \"Connection Lost! Data not saved. \"",
          core.messages.empty() ? "no message" : core.messages.back().text);
    Check(ReadWhole(szName) == "old\r\n" && !FileExists("lost.txt.tmp"),
          "the old file stays whole and no new file is left", Describe(ReadWhole(szName)));
    Check(seconds < 10.0, "the download ends within its bounds", std::to_string(seconds) + " s");
    DeleteFileA(szName);
}

void TestVanishDuringExchanges(const Options& o)
{
    struct Case {
        const char* szName;
        const char* szSim;    // keeps the instrument from answering before it vanishes
        const char* szLetter;
        int32_t nLength;
    };
    const Case cases[] = {{"a probe", "probe silent", "y", PROBE_REPLY_LENGTH},
                          {"an erase", "ack none", "E", ERASE_REPLY_LENGTH}};
    for (const Case& c : cases) {
        Sim(c.szSim);
        FakeDialog core;
        core.UseCom(o.nSimPort);
        g_strCommand = c.szLetter;
        Runner("vanish 300");
        LARGE_INTEGER start = Now();
        bool bResult = core.ExchangeCommand(c.nLength);
        double seconds = Seconds(start, Now());
        Runner("return");
        Check(!bResult && core.messages.empty() && seconds >= 0.9 && seconds < 5.0,
              std::string(c.szName) + " during which the device vanishes fails after its second, silently",
              std::to_string(seconds) + " s");
    }
    Sim("probe whole");
    Sim("ack ok");

    FakeDialog core;
    Runner("vanish 200");
    LARGE_INTEGER start = Now();
    core.SearchInstrument(ComPorts());   // COM1 first: the device is gone before its port is asked
    double seconds = Seconds(start, Now());
    Runner("return");
    Check(core.m_nPort == NO_PORT && core.m_strStatus == " No Connection! " && seconds < 20.0,
          "a search during which the device vanishes ends with \" No Connection! \"",
          std::to_string(core.m_nPort) + ", " + std::to_string(seconds) + " s");
    core.SearchInstrument(ComPorts());
    Check(core.m_nPort == o.nSimPort, "once back, the search finds it again", std::to_string(core.m_nPort));
}

// ---- the data set file's name ---------------------------------------------------

void TestDeviceNames()
{
    for (const DeviceNameCase& c : g_deviceNameCases) {
        Check(IsDeviceName(c.szName) == c.bDevice && CanHoldDataSet(c.szName) == !c.bDevice,
              std::string("\"") + c.szName + "\" is " + (c.bDevice ? "a device" : "a file name"));
    }
    // What Wine itself makes of the plain device names: they "exist".
    for (const char* szName : {"nul.txt", "CON.txt", "aux.txt", "Lpt1.txt", "nul .txt"}) {
        Check(FileExists(szName), std::string("Wine takes \"") + szName + "\" for a device too");
        DataSetFile file(szName);
        Check(!file.Create(), std::string("no data set file is prepared for \"") + szName + "\"");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: xkt_serial_test SIM_PORT ABSENT_PORT IDENT\n");
        return 2;
    }
    Options o{std::atoi(argv[1]), std::atoi(argv[2]), argv[3]};

    TestAbsentPort(o);
    TestOpenClose(o);
    TestCommState(o);
    TestSendLetter(o);
    TestReadNothing(o);
    TestReadLimit(o);
    TestAllBytesIn(o);
    TestAllBytesOut(o);
    for (const CountedCase& c : g_countedCases)
        TestCountedExchange(o, c);
    TestExchangeAbsent(o);
    TestErase(o);
    TestBulk(o);
    TestStallMakesWritesPending(o);
    TestStalledWrite(o);
    TestVanishedLineAnswers(o);
    TestVanishedLine(o);
    TestVanishDuringDownload(o);
    TestVanishDuringExchanges(o);
    TestDeviceNames();

    std::printf("%d passed, %d failed\n", g_nPassed, g_nFailed);
    std::fflush(stdout);
    return g_nFailed == 0 ? 0 : 1;
}
