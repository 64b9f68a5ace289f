// xkt-sim: one simulated instrument on a pseudo-terminal, driven from stdin.
//
// Started once per simulated port by the end-to-end tests and the demo. It
// prints "ready <slave path>" when it listens, then takes one command per
// line and answers each with "ok" or "error <reason>".
#include "SimInstrument.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/stat.h>
#include <sstream>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: xkt-sim [options]\n"
    "  --link PATH            also reach the instrument through symlink PATH\n"
    "  --probe MODE           answer to 'y': whole | pieces:7,7,5 | short (18 bytes)\n"
    "                         | long (20 bytes) | silent\n"
    "  --ident TEXT           identification text (default: 19 bytes)\n"
    "  --data MODE            data sets: paced (960 B/s) | instant | none\n"
    "                         | paused:BYTES:MS (paced, silent for MS ms after BYTES)\n"
    "                         | endless (as fast as the line takes, over and over;\n"
    "                         deaf to new commands until the data mode changes)\n"
    "  --data-file L=FILE     send FILE's bytes as data set L (v, a or o)\n"
    "  --readings N           readings per generated data set (default 300)\n"
    "  --ack MODE             erase acknowledgement: ok (9 bytes) | none | long (12 bytes)\n"
    "  --log FILE             append one line per received byte\n"
    "  --unplugged            start silent\n"
    "  --any-line             answer at any speed; by default the instrument answers\n"
    "                         only while the line is at 9600 baud with one stop bit,\n"
    "                         and at another speed or with two stop bits it hears the\n"
    "                         letters as noise and stays silent (they are still logged)\n"
    "  --flip RATE            a noisy line: each byte of each reply has one bit flipped\n"
    "                         with chance RATE (0.001: about one a kilobyte); off by default\n"
    "  --flip-seed N          the noise's seed (default 1): the same seed and the same\n"
    "                         commands give the same flips\n"
    "  --measure SECONDS      an instrument still measuring: append a reading to each\n"
    "                         data set every SECONDS (may be a fraction); an erase letter\n"
    "                         then empties its set (E all three)\n"
    "  --detached             take no commands: stdin is not read, and only SIGINT or\n"
    "                         SIGTERM ends it; so it is when stdin is /dev/null, as\n"
    "                         for 'xkt-sim --link PATH &' in a script\n"
    "  --help                 this text\n"
    "stdin commands, one per line: unplug, plug, probe MODE, data MODE, ack MODE,\n"
    "  vanish (close the pty, as a pulled adapter; the link then leads to an empty\n"
    "  directory), return (back on a fresh pty: answers \"ok <pty path>\"),\n"
    "  stall [MS] (the line takes nothing more from the program; for MS ms or\n"
    "  until release), release, quit\n"
    "exit status: 0 ended (quit, end of input, a signal); 1 no pseudo-terminal, link\n"
    "  or log; 2 usage\n"
    "The reference: man xkt-sim\n";

const char kDataLetters[] = {'v', 'a', 'o'};
const int kLineBytesPerSecond = 960;   // 9600 baud, 8N1

volatile std::sig_atomic_t g_bStop = 0;

void OnSignal(int)
{
    g_bStop = 1;
}

struct Settings {
    std::string strLink;
    std::string strProbe = "whole";
    std::string strIdent = sim::DefaultIdent();
    std::string strData = "paced";
    std::string strAck = "ok";
    std::string strLog;
    std::map<char, std::string> files;
    int nReadings = 300;
    double dFlipRate = 0;
    uint64_t nFlipSeed = 1;
    int nMeasureEveryMs = 0;
    bool bUnplugged = false;
    bool bAnyLine = false;
    bool bDetached = false;
};

bool ParsePieces(const std::string& list, std::vector<size_t>& pieces)
{
    std::istringstream in(list);
    std::string item;
    pieces.clear();
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        long size = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || size <= 0)
            return false;
        pieces.push_back(static_cast<size_t>(size));
    }
    return !pieces.empty();
}

bool MakeProbe(const std::string& mode, const std::string& ident, sim::Reply& probe)
{
    probe = sim::Reply{};
    probe.bytes = ident;
    if (mode == "whole")
        return true;
    if (mode == "short") {
        probe.bytes.resize(18, ' ');
        return true;
    }
    if (mode == "long") {
        probe.bytes.resize(20, '\r');
        return true;
    }
    if (mode == "silent") {
        probe.bytes.clear();
        return true;
    }
    const std::string kPieces = "pieces:";
    if (mode.compare(0, kPieces.size(), kPieces) == 0)
        return ParsePieces(mode.substr(kPieces.size()), probe.pieces);
    return false;
}

bool MakeData(const std::string& mode, const std::string& bytes, sim::Reply& data)
{
    data = sim::Reply{};
    if (mode == "none")
        return true;
    data.bytes = bytes;
    const std::string kPaused = "paused:";
    if (mode.compare(0, kPaused.size(), kPaused) == 0) {
        // paused:BYTES:MS, paced with one pause of MS ms after BYTES bytes,
        // as an instrument that turns a memory page mid-transfer.
        unsigned long nBefore = 0;
        long nPauseMs = -1;
        char cRest = 0;
        if (std::sscanf(mode.c_str() + kPaused.size(), "%lu:%ld%c", &nBefore, &nPauseMs, &cRest) != 2 ||
            nPauseMs < 0)
            return false;
        data.nBytesPerSecond = kLineBytesPerSecond;
        if (nBefore > 0 && nBefore < bytes.size()) {
            data.pieces = {nBefore, bytes.size() - nBefore};
            data.nPieceGapMs = static_cast<int>(nPauseMs);
        }
        return true;
    }
    // An endless stream goes out unpaced: every probe into it then reads
    // more than an identification's length in its first poll.
    if (mode == "paced")
        data.nBytesPerSecond = kLineBytesPerSecond;
    data.bEndless = mode == "endless";
    if (mode != "paced" && mode != "endless" && mode != "instant")
        return false;
    return true;
}

bool MakeAck(const std::string& mode, sim::Reply& ack)
{
    ack = sim::Reply{};
    if (mode == "ok")
        ack.bytes = sim::DefaultAck();
    else if (mode == "long")
        ack.bytes = sim::DefaultAck() + "!\r\n";
    else if (mode != "none")
        return false;
    return true;
}

bool ReadFile(const std::string& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// The instrument as the settings describe it; false with a reason when a mode is unknown.
bool BuildScenario(const Settings& settings, sim::Scenario& scenario, std::string& reason)
{
    scenario = sim::Scenario{};
    scenario.bUnplugged = settings.bUnplugged;
    scenario.bStrictLine = !settings.bAnyLine;
    scenario.dFlipRate = settings.dFlipRate;
    scenario.nFlipSeed = settings.nFlipSeed;
    scenario.nMeasureEveryMs = settings.nMeasureEveryMs;
    if (!MakeProbe(settings.strProbe, settings.strIdent, scenario.probe)) {
        reason = "bad probe mode: " + settings.strProbe;
        return false;
    }
    for (char letter : kDataLetters) {
        std::string bytes;
        auto file = settings.files.find(letter);
        if (file == settings.files.end()) {
            bytes = sim::MakeDataSet(letter, settings.nReadings);
        } else if (!ReadFile(file->second, bytes)) {
            reason = "cannot read " + file->second;
            return false;
        }
        if (!MakeData(settings.strData, bytes, scenario.dataSets[letter])) {
            reason = "bad data mode: " + settings.strData;
            return false;
        }
    }
    if (!MakeAck(settings.strAck, scenario.ack)) {
        reason = "bad ack mode: " + settings.strAck;
        return false;
    }
    return true;
}

bool ParseArguments(int argc, char** argv, Settings& settings, std::string& reason)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--unplugged" || option == "--any-line" || option == "--detached") {
            bool& bFlag = option == "--unplugged" ? settings.bUnplugged
                          : option == "--any-line" ? settings.bAnyLine
                                                   : settings.bDetached;
            bFlag = true;
            continue;
        }
        if (i + 1 >= argc) {
            reason = "missing value or unknown option: " + option;
            return false;
        }
        std::string value = argv[++i];
        if (option == "--link") {
            settings.strLink = value;
        } else if (option == "--probe") {
            settings.strProbe = value;
        } else if (option == "--ident") {
            settings.strIdent = value;
        } else if (option == "--data") {
            settings.strData = value;
        } else if (option == "--ack") {
            settings.strAck = value;
        } else if (option == "--log") {
            settings.strLog = value;
        } else if (option == "--readings") {
            settings.nReadings = std::atoi(value.c_str());
            if (settings.nReadings < 0) {
                reason = "bad reading count: " + value;
                return false;
            }
        } else if (option == "--flip") {
            char* end = nullptr;
            settings.dFlipRate = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(settings.dFlipRate >= 0 && settings.dFlipRate <= 1)) {
                reason = "bad flip rate (0 to 1): " + value;
                return false;
            }
        } else if (option == "--flip-seed") {
            char* end = nullptr;
            settings.nFlipSeed = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0') {
                reason = "bad flip seed: " + value;
                return false;
            }
        } else if (option == "--measure") {
            char* end = nullptr;
            double dSeconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(dSeconds >= 0.01 && dSeconds <= 86400)) {
                reason = "bad measuring period (seconds): " + value;
                return false;
            }
            settings.nMeasureEveryMs = static_cast<int>(dSeconds * 1000);
        } else if (option == "--data-file") {
            if (value.size() < 3 || value[1] != '=' || !std::strchr("vao", value[0])) {
                reason = "expected --data-file v|a|o=FILE, got " + value;
                return false;
            }
            settings.files[value[0]] = value.substr(2);
        } else {
            reason = "unknown option: " + option;
            return false;
        }
    }
    return true;
}

void Say(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Appends every byte received since the last call to the log file.
class ByteLog {
public:
    ByteLog(const std::string& path, sim::Clock::time_point start) : m_start(start)
    {
        if (!path.empty())
            m_file = std::fopen(path.c_str(), "a");
    }
    ~ByteLog()
    {
        if (m_file)
            std::fclose(m_file);
    }
    ByteLog(const ByteLog&) = delete;
    ByteLog& operator=(const ByteLog&) = delete;

    bool Failed(const std::string& path) const { return !path.empty() && !m_file; }

    void Catch(const sim::SimInstrument& instrument)
    {
        if (!m_file)
            return;
        for (const sim::Received& r : instrument.ReceivedBytes(m_nLogged)) {
            ++m_nLogged;
            long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                r.time - m_start).count();
            unsigned char byte = static_cast<unsigned char>(r.byte);
            if (byte >= 0x20 && byte < 0x7F)
                std::fprintf(m_file, "%lld 0x%02X %c\n", ms, byte, byte);
            else
                std::fprintf(m_file, "%lld 0x%02X\n", ms, byte);
        }
        std::fflush(m_file);
    }

private:
    std::FILE* m_file = nullptr;
    sim::Clock::time_point m_start;
    size_t m_nLogged = 0;
};

// Carries out one stdin command; false when the program should end.
bool Obey(const std::string& line, Settings& settings, sim::SimInstrument& instrument)
{
    std::istringstream in(line);
    std::string verb, mode;
    in >> verb >> mode;
    if (verb.empty())
        return true;
    if (verb == "quit") {
        Say("ok");
        return false;
    }
    if (verb == "unplug" || verb == "plug") {
        settings.bUnplugged = verb == "unplug";
        instrument.SetUnplugged(settings.bUnplugged);
        Say("ok");
        return true;
    }
    if (verb == "vanish") {
        Say(instrument.Vanish() ? "ok" : "error cannot vanish");
        return true;
    }
    if (verb == "return") {
        Say(instrument.Return() ? "ok " + instrument.SlavePath() : "error cannot return");
        return true;
    }
    if (verb == "stall") {
        int nMs = mode.empty() ? -1 : std::atoi(mode.c_str());
        Say(instrument.Stall(nMs) ? "ok" : "error cannot stall");
        return true;
    }
    if (verb == "release") {
        instrument.Release();
        Say("ok");
        return true;
    }
    Settings changed = settings;
    if (verb == "probe") {
        changed.strProbe = mode;
    } else if (verb == "data") {
        changed.strData = mode;
    } else if (verb == "ack") {
        changed.strAck = mode;
    } else {
        Say("error unknown command: " + verb);
        return true;
    }
    sim::Scenario scenario;
    std::string reason;
    if (!BuildScenario(changed, scenario, reason)) {
        Say("error " + reason);
        return true;
    }
    settings = changed;
    instrument.SetScenario(scenario);
    Say("ok");
    return true;
}

// A script's background job gets /dev/null as its input, whose end would
// quit the simulator before anything could talk to it; nobody can type
// into the null device, so it takes no commands (as --detached) and serves
// until a signal. A closed stdin is the same. A command file or a pipe
// still ends it at its end.
bool StdinIsNull()
{
    struct stat input {};
    if (fstat(STDIN_FILENO, &input) != 0)
        return true;
    struct stat null {};
    return S_ISCHR(input.st_mode) && stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
           input.st_rdev == null.st_rdev;
}

void CatchSignals()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;   // no restart: poll must return so the loop sees the flag
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// Reads stdin line by line until quit, end of input or a signal; detached,
// it only waits for the signal.
void Serve(Settings& settings, sim::SimInstrument& instrument, ByteLog& log)
{
    std::string pending;
    bool bRunning = true;
    while (bRunning && !g_bStop) {
        pollfd input = {STDIN_FILENO, POLLIN, 0};
        // Short waits so the byte log follows the line closely.
        int ready = poll(&input, settings.bDetached ? 0 : 1, 20);
        log.Catch(instrument);
        if (ready <= 0)
            continue;
        char buffer[512];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        while (bRunning && (end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            bRunning = Obey(line, settings, instrument);
        }
    }
    log.Catch(instrument);
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    sim::Clock::time_point start = sim::Clock::now();
    Settings settings;
    sim::Scenario scenario;
    std::string reason;
    if (!ParseArguments(argc, argv, settings, reason) ||
        !BuildScenario(settings, scenario, reason)) {
        std::fprintf(stderr, "xkt-sim: %s\n%s", reason.c_str(), kUsage);
        return 2;
    }
    if (StdinIsNull())
        settings.bDetached = true;
    ByteLog log(settings.strLog, start);
    if (log.Failed(settings.strLog)) {
        std::fprintf(stderr, "xkt-sim: cannot open log %s\n", settings.strLog.c_str());
        return 1;
    }
    CatchSignals();
    sim::SimInstrument instrument(scenario);
    if (!instrument.Ok()) {
        std::fprintf(stderr, "xkt-sim: cannot open a pseudo-terminal\n");
        return 1;
    }
    if (!settings.strLink.empty() && !instrument.LinkAs(settings.strLink)) {
        std::fprintf(stderr, "xkt-sim: cannot link %s\n", settings.strLink.c_str());
        return 1;
    }
    Say("ready " + instrument.SlavePath());
    Serve(settings, instrument, log);
    return 0;
}
