// SimInstrument: a simulated measuring instrument on a Linux pseudo-terminal.
//
// The instrument listens on the master side of a pty; the program under test
// opens the slave side (directly, through a symlink, or as a Wine COM port).
// It answers the one-letter protocol from a Scenario that may be changed at
// any time, and records every byte it receives with the time it arrived.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

// How a reply goes out on the line.
struct Reply {
    std::string bytes;               // what is sent (empty: nothing is sent)
    std::vector<size_t> pieces;      // sizes of pieces sent apart; empty: one piece
    int nPieceGapMs = 30;            // pause between pieces (several of the program's polls)
    int nBytesPerSecond = 0;         // 0: at once; 960 is a 9600-baud line
    int nDelayMs = 0;                // pause before the first byte
    // The bytes go out again and again, and a new command does not stop
    // them while the scenario still says so: an instrument (or a wrong
    // device) that never falls quiet.
    bool bEndless = false;
};

struct Scenario {
    Reply probe;                     // answer to "y"
    std::map<char, Reply> dataSets;  // answers to "v", "a", "o"
    Reply ack;                       // answer to "V", "A", "O", "E"
    bool bUnplugged = false;         // true: receive and record, never answer
    // true: answer only while the program holds the line at 9600 baud with
    // one stop bit, as the instrument does. At another speed, or with two
    // stop bits, the letters reach it garbled and it says nothing; they are
    // still recorded. (A pty forces 8 data bits and no parity on every
    // setting, so those cannot be seen here.)
    bool bStrictLine = true;
    // A noisy line: each byte of each reply has one of its bits flipped with
    // this chance (0: a clean line), drawn from a generator seeded with
    // nFlipSeed, so that a run repeats exactly.
    double dFlipRate = 0;
    uint64_t nFlipSeed = 1;
    // An instrument still measuring: every nMeasureEveryMs (0: never) it
    // appends a reading to each data set, and an erase letter empties its
    // set (E all three), so that a test sees what an erase took.
    int nMeasureEveryMs = 0;
};

// The generator of a noisy line, and what it does to one reply: each byte
// has a bit flipped with the chance rate. Reply by reply, the same seed
// gives the same flips.
struct FlipState {
    uint64_t nState = 1;
};
void FlipBits(std::string& bytes, double dRate, FlipState& state);

// Whether the line is one the instrument understands: 9600 baud, one stop bit.
bool IsInstrumentLine(int fd);

// A plausible 19-byte identification and a 9-byte acknowledgement.
std::string DefaultIdent();
std::string DefaultAck();
// Realistic data set text: nReadings lines of time stamp and value for the
// given letter ('v' kV, 'a' uA, 'o' kOhm), lines ending in LF
// (the program stores each LF as CR LF).
std::string MakeDataSet(char letter, int nReadings);
// Reading number nIndex of a set that goes on growing, as one line.
std::string MakeReading(char letter, int nIndex);
// A scenario with the default ident, ack and three data sets paced at 960 B/s.
Scenario DefaultScenario();

struct Received {
    Clock::time_point time;
    char byte;
};

class SimInstrument {
public:
    explicit SimInstrument(Scenario scenario = DefaultScenario());
    ~SimInstrument();   // stops the thread, removes the link, closes the pty
    SimInstrument(const SimInstrument&) = delete;
    SimInstrument& operator=(const SimInstrument&) = delete;

    bool Ok() const;                          // the pty is open and the thread runs
    const std::string& SlavePath() const;     // e.g. /dev/pts/7
    bool LinkAs(const std::string& path);     // symlink path -> slave (replaces an old link)

    void SetScenario(const Scenario& scenario);
    Scenario GetScenario() const;
    void SetUnplugged(bool bUnplugged);

    // The device vanishes, as a USB adapter pulled from its socket: the link
    // is pointed at an empty directory and the pty is closed entirely, so a
    // program holding the port sees it hung up and a new open finds no
    // device. Return brings it back on a fresh pty (a new SlavePath) behind
    // the same link.
    bool Vanish();
    bool Return();
    bool Vanished() const;

    // The line takes nothing more from the program: its writes stall, as
    // behind a receiver that stopped reading. The stall ends after
    // nReleaseAfterMs (never when negative) or at Release; what the program
    // had written by then arrives.
    bool Stall(int nReleaseAfterMs = -1);
    void Release();

    std::vector<Received> ReceivedBytes() const;
    // Only those after the first nFrom, so a follower copies what is new.
    std::vector<Received> ReceivedBytes(size_t nFrom) const;
    std::string ReceivedText() const;
    void ClearReceived();
    // When the last byte of the most recent reply was handed to the line
    // (time_point{} if none was sent yet).
    Clock::time_point LastReplyEnd() const;
    // Bytes of replies written so far (all commands).
    size_t BytesSent() const;

private:
    // The reply going out now; touched by the thread only.
    struct Outgoing {
        bool bActive = false;
        bool bEndless = false;
        char letter = 0;                // the command it answers
        std::string bytes;
        std::vector<size_t> pieceEnds;
        int nPieceGapMs = 0;
        int nBytesPerSecond = 0;
        size_t nPiece = 0;              // index into pieceEnds
        size_t nPieceBegin = 0;         // offset where the current piece starts
        size_t nSent = 0;
        Clock::time_point pieceStart{}; // the current piece may start (pacing counts from here)
        Clock::time_point nextWrite{};
        Clock::time_point lastWrite{};
    };

    bool OpenLine();
    void CloseLine();
    bool LinkTo(const std::string& path, const std::string& target);
    void RemoveVanishedDir();
    void Wake(char reason);
    bool WokenToStop();
    Clock::time_point FollowStall();
    void Run();
    void ReceiveCommands();
    void Answer(char letter);
    void SendReply(const Reply& reply, char letter);
    void WriteDue();
    void EndReply();
    void Measure();
    void Erase(char letter);
    bool Unplugged() const;
    void RemoveLink();
    void WatchOpeners();
    void CountOpeners();
    bool PortOpen() const;

    int m_master = -1;
    int m_slave = -1;          // kept open so the master never sees EIO when the program closes
    int m_wakeRead = -1;       // self-pipe to stop the thread
    int m_wakeWrite = -1;
    int m_openWatch = -1;      // inotify on the slave: tells when the program opens and closes it
    int m_nOpeners = 0;        // the program's descriptors on the slave (thread only)
    std::string m_slavePath;
    std::string m_linkPath;
    std::string m_vanishedDir;  // the empty directory the link points at while vanished
    mutable std::mutex m_mutex;
    Clock::time_point m_releaseAt = Clock::time_point::max();   // when a timed stall ends
    Clock::time_point m_nextReading = Clock::time_point::max();  // when a measuring instrument adds one
    Scenario m_scenario;
    FlipState m_flips;
    std::vector<Received> m_received;
    Clock::time_point m_lastReplyEnd{};
    size_t m_bytesSent = 0;
    Outgoing m_out;
    std::thread m_thread;
};

}  // namespace sim
