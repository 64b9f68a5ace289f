#include "SimInstrument.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// Letters the instrument reacts to; anything else on the line is noise.
bool IsCommand(char letter)
{
    switch (letter) {
    case 'y': case 'v': case 'a': case 'o':
    case 'V': case 'A': case 'O': case 'E':
        return true;
    default:
        return false;
    }
}

void SetFlags(int fd, int flags)
{
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (flags != 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | flags);
}

// Raw, 8-bit clean, no flow control. On Linux the slave shares these termios.
// Software flow control must be off explicitly: Wine otherwise keeps it on
// and 0x11/0x13 vanish from the line. The speed stays at the pty's default
// (38400): setting 9600 is the program's job, and the strict line tells
// whether it did.
void MakeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &tio);
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string ReadLink(const std::string& path)
{
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Offsets at which each piece of a reply ends; the rest after the listed
// pieces goes as one final piece.
std::vector<size_t> PieceEnds(const Reply& reply)
{
    std::vector<size_t> ends;
    size_t end = 0;
    for (size_t piece : reply.pieces) {
        end = std::min(end + piece, reply.bytes.size());
        if (piece > 0 && (ends.empty() || ends.back() < end))
            ends.push_back(end);
    }
    if (ends.empty() || ends.back() < reply.bytes.size())
        ends.push_back(reply.bytes.size());
    return ends;
}

// Deterministic jitter so the readings look measured, not computed.
class Jitter {
public:
    explicit Jitter(uint32_t seed) : m_state(seed) {}
    double Next()   // in [-1, 1)
    {
        m_state = m_state * 1664525u + 1013904223u;
        return static_cast<double>(m_state >> 8) / (1u << 23) - 1.0;
    }
private:
    uint32_t m_state;
};

struct Quantity {
    char letter;
    const char* unit;
    double base;        // value at the start of the run
    double span;        // how far it climbs over the run
    double noise;       // relative scatter
    int decimals;
};

const Quantity kQuantities[] = {
    {'v', "kV", 0.50, 59.0, 0.004, 2},
    {'a', "uA", 2.0, 480.0, 0.01, 1},
    {'o', "kOhm", 95000.0, -90000.0, 0.02, 0},
};

}  // namespace

bool IsInstrumentLine(int fd)
{
    // On a pty the master reads the settings the program made on the slave.
    termios tio{};
    return tcgetattr(fd, &tio) == 0 && cfgetospeed(&tio) == B9600 && cfgetispeed(&tio) == B9600 &&
           (tio.c_cflag & CSTOPB) == 0;
}

std::string DefaultIdent()
{
    return "HVM-3000 SN4711 V2.";
}

std::string DefaultAck()
{
    return "ERASED OK";
}

std::string MakeDataSet(char letter, int nReadings)
{
    const Quantity* quantity = &kQuantities[0];
    for (const Quantity& q : kQuantities) {
        if (q.letter == letter)
            quantity = &q;
    }
    // 2024-03-05 09:15:00 UTC: a fixed start keeps the text reproducible.
    const time_t kStart = 1709630100;
    const int kStepSeconds = 10;
    Jitter jitter(static_cast<uint32_t>(letter) * 7919u);
    std::string text;
    for (int i = 0; i < nReadings; ++i) {
        time_t stamp = kStart + static_cast<time_t>(i) * kStepSeconds;
        tm parts{};
        gmtime_r(&stamp, &parts);
        double progress = nReadings > 1 ? static_cast<double>(i) / (nReadings - 1) : 0.0;
        double value = quantity->base + quantity->span * progress;
        value *= 1.0 + quantity->noise * jitter.Next();
        char line[96];
        int n = std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d, %.*f %s\n",
                              parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                              parts.tm_hour, parts.tm_min, parts.tm_sec,
                              quantity->decimals, std::fabs(value), quantity->unit);
        text.append(line, static_cast<size_t>(std::max(n, 0)));
    }
    return text;
}

std::string MakeReading(char letter, int nIndex)
{
    // The layout of the generated readings, ten seconds apart, each at the
    // run's first value: what counts is that every one is new.
    std::string strLast = MakeDataSet(letter, 1);
    const time_t kStart = 1709630100;
    time_t stamp = kStart + static_cast<time_t>(nIndex) * 10;
    tm parts{};
    gmtime_r(&stamp, &parts);
    char szStamp[32];
    std::strftime(szStamp, sizeof szStamp, "%Y-%m-%d %H:%M:%S", &parts);
    return szStamp + strLast.substr(strLast.find(','));
}

void FlipBits(std::string& bytes, double dRate, FlipState& state)
{
    if (dRate <= 0)
        return;
    // splitmix64: small, and the same numbers on every platform.
    auto next = [&state] {
        uint64_t z = (state.nState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    for (char& byte : bytes) {
        uint64_t draw = next();
        if (static_cast<double>(draw >> 11) / 9007199254740992.0 < dRate)
            byte = static_cast<char>(byte ^ (1 << (draw & 7)));
    }
}

Scenario DefaultScenario()
{
    const int kReadings = 300;
    Scenario scenario;
    scenario.probe.bytes = DefaultIdent();
    scenario.ack.bytes = DefaultAck();
    for (const Quantity& q : kQuantities) {
        Reply& data = scenario.dataSets[q.letter];
        data.bytes = MakeDataSet(q.letter, kReadings);
        data.nBytesPerSecond = 960;
    }
    return scenario;
}

SimInstrument::SimInstrument(Scenario scenario) : m_scenario(std::move(scenario))
{
    m_flips.nState = m_scenario.nFlipSeed;
    if (m_scenario.nMeasureEveryMs > 0)
        m_nextReading = Clock::now() + std::chrono::milliseconds(m_scenario.nMeasureEveryMs);
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_wakeRead = wake[0];
    m_wakeWrite = wake[1];
    OpenLine();
}

SimInstrument::~SimInstrument()
{
    CloseLine();
    RemoveLink();
    RemoveVanishedDir();
    CloseFd(m_wakeRead);
    CloseFd(m_wakeWrite);
}

// A fresh pseudo-terminal and the thread that plays the instrument on it.
bool SimInstrument::OpenLine()
{
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return false;
    }
    m_slavePath = name;
    MakeRaw(m_master);
    SetFlags(m_master, O_NONBLOCK);
    SetFlags(m_slave, 0);
    WatchOpeners();
    m_thread = std::thread(&SimInstrument::Run, this);
    return true;
}

// Stops the thread and closes the pty entirely: whoever still holds the
// slave sees it hung up, as with an adapter pulled from its socket.
void SimInstrument::CloseLine()
{
    if (m_thread.joinable()) {
        Wake('q');
        m_thread.join();
    }
    m_out = Outgoing{};
    m_releaseAt = Clock::time_point::max();
    m_nOpeners = 0;
    CloseFd(m_openWatch);
    CloseFd(m_slave);
    CloseFd(m_master);
}

void SimInstrument::Wake(char reason)
{
    (void)!write(m_wakeWrite, &reason, 1);
}

bool SimInstrument::Ok() const
{
    return m_master >= 0 && m_thread.joinable();
}

const std::string& SimInstrument::SlavePath() const
{
    return m_slavePath;
}

bool SimInstrument::LinkAs(const std::string& path)
{
    if (!Ok() || path.empty())
        return false;
    return LinkTo(path, m_slavePath);
}

// Points path at target in one step: the path never dangles, since a
// dangling COM link makes Wine fall back to a real serial port. An empty
// directory there (an absent port) gives way too.
bool SimInstrument::LinkTo(const std::string& path, const std::string& target)
{
    std::string temporary = path + ".sim-new";
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0)
        return false;
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        rmdir(path.c_str());
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    if (m_linkPath != path)
        RemoveLink();
    m_linkPath = path;
    return true;
}

void SimInstrument::RemoveLink()
{
    // Only our own link: someone may have pointed the path elsewhere since.
    std::string target = m_linkPath.empty() ? std::string() : ReadLink(m_linkPath);
    if (!target.empty() && (target == m_slavePath || target == m_vanishedDir))
        unlink(m_linkPath.c_str());
    m_linkPath.clear();
}

void SimInstrument::RemoveVanishedDir()
{
    if (!m_vanishedDir.empty())
        rmdir(m_vanishedDir.c_str());
    m_vanishedDir.clear();
}

bool SimInstrument::Vanish()
{
    if (m_master < 0)
        return true;
    // The link first: from this moment an open finds no device (an empty
    // directory cannot be opened as one), then the device itself goes.
    if (!m_linkPath.empty()) {
        char templ[] = "/tmp/xkt-sim-vanished-XXXXXX";
        if (!mkdtemp(templ))
            return false;
        m_vanishedDir = templ;
        if (!LinkTo(m_linkPath, m_vanishedDir))
            return false;
    }
    CloseLine();
    return true;
}

bool SimInstrument::Return()
{
    if (m_master >= 0)
        return true;
    if (!OpenLine())
        return false;
    bool bLinked = m_linkPath.empty() || LinkTo(m_linkPath, m_slavePath);
    RemoveVanishedDir();
    return bLinked;
}

bool SimInstrument::Vanished() const
{
    return m_master < 0;
}

bool SimInstrument::Stall(int nReleaseAfterMs)
{
    // Output stopped on the line as by the receiver's flow control: the
    // program's writes take nothing and wait, and whatever it wrote before
    // still arrives. A timed stall is let go by the thread.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Ok() || tcflow(m_slave, TCOOFF) != 0)
        return false;
    m_releaseAt = nReleaseAfterMs < 0 ? Clock::time_point::max()
                                      : Clock::now() + std::chrono::milliseconds(nReleaseAfterMs);
    Wake('s');
    return true;
}

void SimInstrument::Release()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_slave >= 0)
        tcflow(m_slave, TCOON);
    m_releaseAt = Clock::time_point::max();
}

void SimInstrument::SetScenario(const Scenario& scenario)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // The noise and the measuring go on as they were unless they change.
    if (scenario.nFlipSeed != m_scenario.nFlipSeed || scenario.dFlipRate != m_scenario.dFlipRate)
        m_flips.nState = scenario.nFlipSeed;
    if (scenario.nMeasureEveryMs != m_scenario.nMeasureEveryMs)
        m_nextReading = scenario.nMeasureEveryMs > 0
                            ? Clock::now() + std::chrono::milliseconds(scenario.nMeasureEveryMs)
                            : Clock::time_point::max();
    m_scenario = scenario;
    Wake('m');
}

Scenario SimInstrument::GetScenario() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_scenario;
}

void SimInstrument::SetUnplugged(bool bUnplugged)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scenario.bUnplugged = bUnplugged;
}

std::vector<Received> SimInstrument::ReceivedBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::vector<Received> SimInstrument::ReceivedBytes(size_t nFrom) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nFrom >= m_received.size())
        return {};
    return std::vector<Received>(m_received.begin() + static_cast<std::ptrdiff_t>(nFrom), m_received.end());
}

std::string SimInstrument::ReceivedText() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    for (const Received& r : m_received)
        text += r.byte;
    return text;
}

void SimInstrument::ClearReceived()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.clear();
}

Clock::time_point SimInstrument::LastReplyEnd() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastReplyEnd;
}

size_t SimInstrument::BytesSent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytesSent;
}

bool SimInstrument::Unplugged() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_scenario.bUnplugged;
}

// A real port loses what arrives while nobody has it open, and a freshly
// opened port starts empty. A pty keeps everything for the next reader, so
// the instrument watches the slave being opened and closed (our own slave
// descriptor was opened before the watch and does not count).
void SimInstrument::WatchOpeners()
{
    m_openWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_openWatch >= 0 && inotify_add_watch(m_openWatch, m_slavePath.c_str(), IN_OPEN | IN_CLOSE) < 0)
        CloseFd(m_openWatch);
}

void SimInstrument::CountOpeners()
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t n = read(m_openWatch, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                CloseFd(m_openWatch);   // lost count: treat the port as open from now on
                return;
            }
            if (event->mask & IN_OPEN) {
                ++m_nOpeners;
            } else if (event->mask & IN_CLOSE) {
                // A descriptor passed in from elsewhere closes without having opened.
                m_nOpeners = std::max(m_nOpeners - 1, 0);
                if (m_nOpeners == 0)
                    tcflush(m_slave, TCIFLUSH);
            }
        }
    }
}

bool SimInstrument::PortOpen() const
{
    return m_openWatch < 0 || m_nOpeners > 0;
}

void SimInstrument::Run()
{
    for (;;) {
        Clock::time_point releaseAt = FollowStall();
        Measure();
        pollfd fds[3] = {{m_master, POLLIN, 0}, {m_wakeRead, POLLIN, 0}, {m_openWatch, POLLIN, 0}};
        Clock::time_point wakeAt = releaseAt;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            wakeAt = std::min(wakeAt, m_nextReading);
        }
        if (m_out.bActive)
            wakeAt = std::min(wakeAt, m_out.nextWrite);
        int timeoutMs = -1;
        if (wakeAt != Clock::time_point::max()) {
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                wakeAt - Clock::now()).count() + 1;
            timeoutMs = static_cast<int>(std::clamp<long long>(wait, 0, 1000));
        }
        int n = poll(fds, m_openWatch >= 0 ? 3 : 2, timeoutMs);
        if (n < 0 && errno != EINTR)
            break;
        if (fds[1].revents != 0 && WokenToStop())
            break;
        if ((fds[0].revents | fds[2].revents) & POLLIN)
            ReceiveCommands();
        if (m_out.bActive && Unplugged())
            EndReply();
        if (m_out.bActive && Clock::now() >= m_out.nextWrite)
            WriteDue();
    }
    EndReply();
}

// Adds a reading to each data set once one is due.
void SimInstrument::Measure()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_scenario.nMeasureEveryMs <= 0 || Clock::now() < m_nextReading)
        return;
    for (auto& set : m_scenario.dataSets) {
        std::string& bytes = set.second.bytes;
        int nReadings = static_cast<int>(std::count(bytes.begin(), bytes.end(), '\n'));
        bytes += MakeReading(set.first, nReadings);
    }
    m_nextReading += std::chrono::milliseconds(m_scenario.nMeasureEveryMs);
    if (m_nextReading < Clock::now())
        m_nextReading = Clock::now() + std::chrono::milliseconds(m_scenario.nMeasureEveryMs);
}

// A measuring instrument's erase takes what it holds now, readings added
// after the last download included.
void SimInstrument::Erase(char letter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_scenario.nMeasureEveryMs <= 0)
        return;
    for (auto& set : m_scenario.dataSets) {
        if (letter == 'E' || std::toupper(static_cast<unsigned char>(set.first)) == letter)
            set.second.bytes.clear();
    }
}

bool SimInstrument::WokenToStop()
{
    char reasons[64];
    ssize_t n;
    bool bStop = false;
    while ((n = read(m_wakeRead, reasons, sizeof reasons)) > 0)
        bStop = bStop || std::find(reasons, reasons + n, 'q') != reasons + n;
    return bStop;
}

// Lets a timed stall go once it is due; returns when the next one is.
Clock::time_point SimInstrument::FollowStall()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_releaseAt != Clock::time_point::max() && Clock::now() >= m_releaseAt) {
        tcflow(m_slave, TCOON);
        m_releaseAt = Clock::time_point::max();
    }
    return m_releaseAt;
}

void SimInstrument::ReceiveCommands()
{
    std::string bytes;
    char buffer[512];
    ssize_t n;
    while ((n = read(m_master, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<size_t>(n));
    Clock::time_point now = Clock::now();
    // Counted after reading: the program opened the port before it sent, so
    // the open of any command just read is already in the watch's queue.
    CountOpeners();
    bool bUnplugged;
    bool bStrictLine;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (char byte : bytes)
            m_received.push_back({now, byte});
        bUnplugged = m_scenario.bUnplugged;
        bStrictLine = m_scenario.bStrictLine;
    }
    // The line as it is now, when the letters arrived: a program that set
    // another speed is heard as noise.
    bool bHeard = !bStrictLine || IsInstrumentLine(m_master);
    for (char byte : bytes) {
        if (!bUnplugged && bHeard && IsCommand(byte))
            Answer(byte);
    }
}

void SimInstrument::Answer(char letter)
{
    Reply reply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Still streaming without end: the command is heard and ignored.
        if (m_out.bActive && m_out.bEndless) {
            auto streaming = m_scenario.dataSets.find(m_out.letter);
            if (streaming != m_scenario.dataSets.end() && streaming->second.bEndless)
                return;
        }
        if (letter == 'y') {
            reply = m_scenario.probe;
        } else if (letter == 'v' || letter == 'a' || letter == 'o') {
            auto found = m_scenario.dataSets.find(letter);
            if (found != m_scenario.dataSets.end())
                reply = found->second;
        } else {
            reply = m_scenario.ack;
        }
    }
    if (letter != 'y' && letter != 'v' && letter != 'a' && letter != 'o')
        Erase(letter);
    // A new command ends whatever was still going out, and the bytes an
    // earlier exchange left unread go the way a real port's queue goes when
    // the program closes it.
    EndReply();
    tcflush(m_slave, TCIFLUSH);
    SendReply(reply, letter);
}

void SimInstrument::SendReply(const Reply& reply, char letter)
{
    if (reply.bytes.empty())
        return;
    m_out = Outgoing{};
    m_out.bActive = true;
    m_out.bEndless = reply.bEndless;
    m_out.letter = letter;
    m_out.bytes = reply.bytes;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        FlipBits(m_out.bytes, m_scenario.dFlipRate, m_flips);
    }
    m_out.pieceEnds = PieceEnds(reply);
    m_out.nPieceGapMs = std::max(reply.nPieceGapMs, 0);
    m_out.nBytesPerSecond = std::max(reply.nBytesPerSecond, 0);
    m_out.pieceStart = Clock::now() + std::chrono::milliseconds(std::max(reply.nDelayMs, 0));
    m_out.nextWrite = m_out.pieceStart;
}

// Writes what the schedule allows by now and decides when to look again.
void SimInstrument::WriteDue()
{
    // Paced output goes in small chunks this far apart, so the rate stays smooth.
    const auto kTick = std::chrono::milliseconds(10);
    Clock::time_point now = Clock::now();
    size_t pieceEnd = m_out.pieceEnds[m_out.nPiece];
    size_t due = pieceEnd - m_out.nSent;
    if (m_out.nBytesPerSecond > 0) {
        auto elapsedUs = std::chrono::duration_cast<std::chrono::microseconds>(
            now - m_out.pieceStart).count();
        size_t allowed = static_cast<size_t>(elapsedUs * m_out.nBytesPerSecond / 1000000);
        size_t sentInPiece = m_out.nSent - m_out.nPieceBegin;
        due = std::min(due, allowed > sentInPiece ? allowed - sentInPiece : 0);
    }
    m_out.nextWrite = now + kTick;
    if (due == 0)
        return;
    // With the port closed the bytes still go out on the line, into nowhere.
    ssize_t n = PortOpen() ? write(m_master, m_out.bytes.data() + m_out.nSent, due)
                           : static_cast<ssize_t>(due);
    if (n <= 0)
        return;   // the slave's queue is full: try again on the next tick
    now = Clock::now();
    m_out.nSent += static_cast<size_t>(n);
    m_out.lastWrite = now;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytesSent += static_cast<size_t>(n);
    }
    if (m_out.nSent < pieceEnd)
        return;
    if (m_out.nSent == m_out.bytes.size() && m_out.bEndless) {
        // From the top again, with no gap: the line never falls quiet.
        m_out.nSent = 0;
        m_out.nPiece = 0;
        m_out.nPieceBegin = 0;
        m_out.pieceStart = now;
        m_out.nextWrite = now;
        return;
    }
    if (m_out.nSent == m_out.bytes.size()) {
        EndReply();
        return;
    }
    ++m_out.nPiece;
    m_out.nPieceBegin = m_out.nSent;
    m_out.pieceStart = now + std::chrono::milliseconds(m_out.nPieceGapMs);
    m_out.nextWrite = m_out.pieceStart;
}

void SimInstrument::EndReply()
{
    if (m_out.bActive && m_out.nSent > 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastReplyEnd = m_out.lastWrite;
    }
    m_out = Outgoing{};
}

}  // namespace sim
