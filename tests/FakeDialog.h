// A stand-in for the main dialog's window: it records what the operator
// would see (message boxes, status texts and colours, the keep-alive timer)
// and answers questions from a script.
#pragma once

#include "SerialPort.h"
#include "XKTCore.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct Message {
    std::string text;
    std::string caption;
    unsigned style;
};

class FakeDialog : public XKTCore {
public:
    // What the controls show, by control id.
    std::map<int, std::string> controls;
    std::vector<Message> messages;
    std::vector<std::string> statusShown;   // m_strStatus at each transfer to the controls
    std::vector<uint32_t> colors;
    std::vector<std::string> events;        // "start", "stop", "box:<text>" in the order they happened
    bool bTimerRunning = false;
    int nRepaints = 0;
    std::deque<int> answers;                // answers to Yes/No questions; Yes when none is left
    std::function<void(const Message&)> whileBoxOpen;   // runs as if inside the box's own loop
    int nPollWaits = 0;                     // pauses between polls
    int nAbandonAtPause = -1;               // this pause (counting from 1) abandons the operation
    std::vector<size_t> progress;           // bytes at each progress report
    std::string progressUnit;               // the unit of the last report
    int nProgressEnds = 0;

    void Connect(int32_t nPort)
    {
        m_nPort = nPort;
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
        controls[1001] = m_strStatus;
        controls[1003] = m_strLastReply;
        controls[1012] = m_strFileKV;
        controls[1015] = m_strFileUA;
        controls[1016] = m_strFileKOhm;
        statusShown.push_back(m_strStatus);
    }

    void ControlsToMembers() override
    {
        m_strStatus = controls[1001];
        m_strLastReply = controls[1003];
        m_strFileKV = controls[1012];
        m_strFileUA = controls[1015];
        m_strFileKOhm = controls[1016];
    }

    int ShowMessage(const std::string& strText, const std::string& strCaption, unsigned nStyle) override
    {
        Message message{strText, strCaption, nStyle};
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

    bool WaitBetweenPolls(unsigned nMilliseconds) override
    {
        ++nPollWaits;
        PollPause(nMilliseconds);
        return nPollWaits != nAbandonAtPause;
    }

    void ShowProgress(const char* szUnit, size_t nBytes) override
    {
        progressUnit = szUnit;
        progress.push_back(nBytes);
    }

    void EndProgress() override { ++nProgressEnds; }
};
