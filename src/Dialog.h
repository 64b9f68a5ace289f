// Dialog: the small Win32 dialog layer under Orvel's windows.
//
// An application object, modal dialogs built from resource templates, and
// control objects attached to template controls. Every class routes its
// window messages through one static event table; a row binds a message, or
// a control id with a notification code, to a member handler. Dialog state
// lives in members that DoDataExchange binds to controls in one ordered list,
// transferred all at once in either direction.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

// The standard help command; F1 in any dialog raises it at the main window.
constexpr int ID_HELP = 0xE146;

// A colour request that a dialog hands on to the control object it came
// from. wParam is the drawing context, lParam the kind of control
// (CTLCOLOR_EDIT, CTLCOLOR_STATIC, ...). Never posted to a window.
constexpr UINT WM_REFLECTED_CTLCOLOR = 0x2019;

// One window message on its way through the event tables.
struct Event {
    UINT nMessage;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT lResult;   // for messages whose answer is a value (icons, brushes)
    bool bHandled;     // false: the platform's default handling runs
};

// One row of a class's event table. The handler's signature says what it is
// given: nothing, the control id (one handler can serve several buttons),
// the system command, the timer id, or the colour request; or that it
// answers a question of the system's with yes or no.
template <class T>
struct EventEntry {
    using VoidFn = void (T::*)();
    using ControlIdFn = void (T::*)(int nId);
    using SysCommandFn = void (T::*)(UINT nId, LPARAM lParam);
    using TimerFn = void (T::*)(UINT_PTR nIdEvent);
    using QueryIconFn = HICON (T::*)();
    using CtlColorFn = HBRUSH (T::*)(HDC hdc, UINT nCtlColor);
    using AnswerFn = bool (T::*)();   // a question of the system's: yes or no
    using Handler = std::variant<VoidFn, ControlIdFn, SysCommandFn, TimerFn, QueryIconFn,
                                 CtlColorFn, AnswerFn>;

    UINT nMessage;
    int nId;     // WM_COMMAND rows: control or command id
    int nCode;   // WM_COMMAND rows: notification code
    Handler handler;

    static EventEntry Message(UINT nMessage, Handler handler)
    {
        return {nMessage, 0, 0, handler};
    }
    static EventEntry Command(int nId, int nCode, Handler handler)
    {
        return {WM_COMMAND, nId, nCode, handler};
    }

    bool Matches(const Event& ev) const
    {
        if (ev.nMessage != nMessage)
            return false;
        if (nMessage != WM_COMMAND)
            return true;
        return LOWORD(ev.wParam) == nId && HIWORD(ev.wParam) == nCode;
    }

    void Call(T& target, Event& ev) const
    {
        if (auto pfn = std::get_if<VoidFn>(&handler)) {
            (target.**pfn)();
        } else if (auto pfn = std::get_if<ControlIdFn>(&handler)) {
            (target.**pfn)(LOWORD(ev.wParam));
        } else if (auto pfn = std::get_if<SysCommandFn>(&handler)) {
            (target.**pfn)(static_cast<UINT>(ev.wParam), ev.lParam);
        } else if (auto pfn = std::get_if<TimerFn>(&handler)) {
            (target.**pfn)(static_cast<UINT_PTR>(ev.wParam));
        } else if (auto pfn = std::get_if<QueryIconFn>(&handler)) {
            ev.lResult = reinterpret_cast<LRESULT>((target.**pfn)());
        } else if (auto pfn = std::get_if<CtlColorFn>(&handler)) {
            HBRUSH hBrush = (target.**pfn)(reinterpret_cast<HDC>(ev.wParam),
                                           static_cast<UINT>(ev.lParam));
            // No brush: the control keeps the platform's default colours.
            ev.lResult = reinterpret_cast<LRESULT>(hBrush);
            ev.bHandled = hBrush != nullptr;
        } else if (auto pfn = std::get_if<AnswerFn>(&handler)) {
            ev.lResult = (target.**pfn)() ? TRUE : FALSE;
        }
    }
};

// Finds the first row of table that matches ev and calls it. True when a row
// was found; the handler may still have asked for the default handling.
template <class T, size_t N>
bool DispatchEvent(T& target, const EventEntry<T> (&table)[N], Event& ev)
{
    for (const EventEntry<T>& entry : table) {
        if (entry.Matches(ev)) {
            entry.Call(target, ev);
            return true;
        }
    }
    return false;
}

// Anything with an event table. OnEvent is the table's accessor: a class
// looks in its own table and then hands the event to its base class.
class EventTarget {
public:
    EventTarget() = default;
    virtual ~EventTarget() = default;
    EventTarget(const EventTarget&) = delete;
    EventTarget& operator=(const EventTarget&) = delete;

    virtual bool OnEvent(Event& ev);
};

class Dialog;

// The application object; exactly one exists, constructed statically.
class App : public EventTarget {
public:
    App();
    ~App() override;

    // Called once at start-up; false ends the program at once.
    virtual bool InitInstance() = 0;

    // Drives the program from WinMain; returns the process's exit code.
    int Run(HINSTANCE hInstance);

    HINSTANCE Instance() const { return m_hInstance; }
    HICON LoadAppIcon(int nId) const;
    HWND MainWindow() const;

    // The dialog that owns parentless dialogs and receives the help command.
    Dialog* m_pMainWnd = nullptr;

    bool OnEvent(Event& ev) override;

protected:
    void OnHelp();

private:
    HINSTANCE m_hInstance = nullptr;
    static const EventEntry<App> s_events[];
};

App* GetApp();

// A template control seen as an object: colour requests of the control are
// handed to its event table once it is attached.
class Control : public EventTarget {
public:
    Control() = default;
    ~Control() override = default;

    void Attach(HWND hWnd) { m_hWnd = hWnd; }
    void Detach() { m_hWnd = nullptr; }
    HWND GetSafeHwnd() const { return m_hWnd; }

protected:
    HWND m_hWnd = nullptr;
};

// One transfer between a dialog's members and its controls.
class DataExchange {
public:
    DataExchange(Dialog& dialog, bool bSaveAndValidate);

    // The whole text, unvalidated. Towards the control it is written only
    // when it differs, so an unchanged field keeps its caret and selection.
    void Text(int nId, std::string& strValue);
    // Attaches control to the template control nId on the first transfer.
    void Attach(int nId, Control& control);

    const bool m_bSaveAndValidate;   // true: controls to members

private:
    Dialog& m_dialog;
};

// The whole text of a window of this program: a control's, or a caption.
std::string WindowText(HWND hWnd);

// Waits about nMilliseconds on the user-interface thread while keeping its
// windows alive: messages other threads and programs send are answered and
// windows are repainted, but input and timer messages stay queued until the
// thread reads its queue again. A caller that polls a device calls it at each
// pause, so the system never takes the window for hung.
void PauseAnswering(unsigned nMilliseconds);

// A modal dialog built from a template resource.
class Dialog : public EventTarget {
public:
    explicit Dialog(int nTemplateId, HWND hParent = nullptr);
    ~Dialog() override;

    // Creates the window, runs it until EndDialog, returns the result.
    INT_PTR DoModal();
    void EndDialog(int nResult);
    HWND GetSafeHwnd() const { return m_hWnd; }

    // Runs every binding, with the controls' notifications suppressed.
    void UpdateData(bool bSaveAndValidate);

    bool OnEvent(Event& ev) override;

protected:
    virtual void DoDataExchange(DataExchange& dx);
    // The first transfer members to controls. True: the platform puts the
    // focus on the first control in Tab order.
    virtual bool OnInitDialog();

    void OnOK();
    void OnCancel();
    // Lets the platform handle the event being dispatched, after the handler.
    void Default();

    HWND m_hWnd = nullptr;

private:
    friend class DataExchange;
    void AttachControl(int nId, Control& control);

    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT nMessage, WPARAM wParam, LPARAM lParam);
    bool RouteEvent(Event& ev);
    bool ReflectCtlColor(Event& ev);
    void CenterWindow();
    void OnHelpRequest();

    int m_nTemplateId;
    HWND m_hParent;
    bool m_bNotificationsLocked = false;
    Event* m_pCurrentEvent = nullptr;
    std::vector<Control*> m_attachedControls;
    static const EventEntry<Dialog> s_events[];
};
