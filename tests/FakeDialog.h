// A stand-in for the main dialog's window: it records what the operator
// would see (message boxes, status texts and colours, the keep-alive timer,
// a download's progress) and answers questions from a script. The native
// tests, the Win32 serial test under Wine and the benchmark share it.
#pragma once

#include "SerialPort.h"
#include "XKTCore.h"
#include "resource.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct Message {
    std::string text;
    std::string caption;
    unsigned style;
    Outcome outcome;   // what the core said the box is about (LastOutcome)
};

class FakeDialog : public XKTCore {
public:
    // What the controls show, by control id.
    std::map<int, std::string> controls;
    std::vector<Message> messages;
    std::vector<std::string> statusShown;   // m_strStatus at each transfer to the controls
    std::vector<std::chrono::steady_clock::time_point> statusTimes;   // and when each was
    std::vector<uint32_t> colors;
    std::vector<std::string> events;        // "start", "stop", "box:<text>", "progress end" in order
    bool bTimerRunning = false;
    int nRepaints = 0;
    std::deque<int> answers;                // answers to Yes/No questions; Yes when none is left
    std::function<void(const Message&)> whileBoxOpen;   // runs as if inside the box's own loop
    int nPollWaits = 0;                     // pauses between polls
    unsigned nPauseMs = 0;                  // their lengths, added up
    std::vector<std::chrono::steady_clock::time_point> pauseStarts;
    int nAbandonAtPause = -1;               // this pause (counting from 1) abandons the operation
    bool bInterrupted = false;              // the front end was told to stop
    int nQuietInterruptLooks = -1;          // or, from this many looks at it on (-1: never)
    int nInterruptLooks = 0;
    std::function<void(int nPause)> whilePausing;   // runs inside each pause, as a sent message would
    std::vector<size_t> progress;           // bytes at each progress report
    std::string progressUnit;               // the unit of the last report
    int nProgressEnds = 0;

    // Port n as the window knows it, taken without a probe.
    void UseCom(int32_t nPort) { UsePort({nPort, SerialPort::DevicePath(nPort)}); }

    // Connected on port n, as a search leaves the window.
    void Connect(int32_t nPort)
    {
        UseCom(nPort);
        bTimerRunning = true;
    }

    std::vector<std::string> MessageTexts() const
    {
        std::vector<std::string> texts;
        for (const Message& message : messages)
            texts.push_back(message.text);
        return texts;
    }

    void MembersToControls() override
    {
        controls[IDC_STATUS] = m_strStatus;
        controls[IDC_LAST_REPLY] = m_strLastReply;
        controls[IDC_FILE_KV] = m_strFileKV;
        controls[IDC_FILE_UA] = m_strFileUA;
        controls[IDC_FILE_KOHM] = m_strFileKOhm;
        statusShown.push_back(m_strStatus);
        statusTimes.push_back(std::chrono::steady_clock::now());
    }

    // Seconds from the first transfer that showed strStatus to now; -1 when
    // none showed it.
    double SecondsSinceShown(const std::string& strStatus) const
    {
        auto shown = std::find(statusShown.begin(), statusShown.end(), strStatus);
        if (shown == statusShown.end())
            return -1;
        return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                             statusTimes[static_cast<size_t>(shown - statusShown.begin())])
            .count();
    }

    void ControlsToMembers() override
    {
        m_strStatus = controls[IDC_STATUS];
        m_strLastReply = controls[IDC_LAST_REPLY];
        m_strFileKV = controls[IDC_FILE_KV];
        m_strFileUA = controls[IDC_FILE_UA];
        m_strFileKOhm = controls[IDC_FILE_KOHM];
    }

    int ShowMessage(const std::string& strText, const std::string& strCaption, unsigned nStyle) override
    {
        Message message{strText, strCaption, nStyle, LastOutcome()};
        messages.push_back(message);
        events.push_back("box:" + strText);
        if (whileBoxOpen)
            whileBoxOpen(message);
        if (nStyle != STYLE_YESNO)
            return 1;   // IDOK
        if (answers.empty())
            return ANSWER_YES;
        int answer = answers.front();
        answers.pop_front();
        return answer;
    }

    void StartTimer() override
    {
        bTimerRunning = true;
        events.push_back("start");
    }

    void StopTimer() override
    {
        bTimerRunning = false;
        events.push_back("stop");
    }

    void RepaintNow() override { ++nRepaints; }

    void SetStatusBackground(uint32_t crColor) override { colors.push_back(crColor); }

    // The longest time the window would go without a pause, in seconds:
    // nothing answers the system in between.
    double LongestStretchWithoutPause() const
    {
        double longest = 0;
        for (size_t i = 1; i < pauseStarts.size(); ++i)
            longest = std::max(longest,
                               std::chrono::duration<double>(pauseStarts[i] - pauseStarts[i - 1]).count());
        return longest;
    }

    bool WaitBetweenPolls(unsigned nMilliseconds) override
    {
        ++nPollWaits;
        nPauseMs += nMilliseconds;
        pauseStarts.push_back(std::chrono::steady_clock::now());
        if (whilePausing)
            whilePausing(nPollWaits);
        PollPause(nMilliseconds);
        return nPollWaits != nAbandonAtPause;
    }

    void ShowProgress(const char* szUnit, size_t nBytes) override
    {
        progressUnit = szUnit;
        progress.push_back(nBytes);
    }

    void EndProgress() override
    {
        ++nProgressEnds;
        events.push_back("progress end");
    }

    bool Interrupted() override
    {
        ++nInterruptLooks;
        return bInterrupted || (nQuietInterruptLooks >= 0 && nInterruptLooks > nQuietInterruptLooks);
    }
};
