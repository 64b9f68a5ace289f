// xktdrive: drives a Win32 dialog program from outside, for the Wine tests.
//
// It runs in the same Wine prefix as the program under test and reads one
// command per line from stdin; every command gets exactly one line of JSON on
// stdout: {"ok":true,...} or {"ok":false,"error":"..."}. Fields of a command
// are separated by tabs; a field escapes backslash, tab, CR and LF as \\ \t
// \r \n and any other character as \uXXXX, so texts with leading or trailing
// spaces survive the trip.
//
//   xktdrive            the command loop (it also keeps the Wine session alive)
//   xktdrive --ports    tries to open COM1..COM32 once and prints the result
//
// Windows of the other process are reached by handle (a number); controls by
// their dialog id. Clicks are posted, not sent: a click that opens a modal box
// would otherwise block the driver until the box closes (sendclick sends one
// on purpose, with a time limit).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// ---- JSON output ---------------------------------------------------------

std::string Quote(const std::wstring& text)
{
    std::string out = "\"";
    for (wchar_t c : text) {
        switch (c) {
        case L'"': out += "\\\""; break;
        case L'\\': out += "\\\\"; break;
        case L'\n': out += "\\n"; break;
        case L'\r': out += "\\r"; break;
        case L'\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c > 0x7E) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::wstring Widen(const std::string& text)
{
    std::wstring out;
    for (unsigned char c : text)
        out += static_cast<wchar_t>(c);
    return out;
}

// Builds one reply object field by field.
class Reply {
public:
    Reply& Add(const char* key, const std::string& rawJson)
    {
        m_body += std::string(",\"") + key + "\":" + rawJson;
        return *this;
    }
    Reply& Text(const char* key, const std::wstring& text) { return Add(key, Quote(text)); }
    Reply& Number(const char* key, long long value) { return Add(key, std::to_string(value)); }
    Reply& Flag(const char* key, bool value) { return Add(key, value ? "true" : "false"); }
    std::string Ok() const { return "{\"ok\":true" + m_body + "}"; }
    std::string Object() const { return "{" + (m_body.empty() ? m_body : m_body.substr(1)) + "}"; }

private:
    std::string m_body;
};

std::string Fail(const std::string& reason)
{
    return "{\"ok\":false,\"error\":" + Quote(Widen(reason)) + "}";
}

void Say(const std::string& line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// ---- command input -------------------------------------------------------

std::wstring Unescape(const std::string& field)
{
    std::wstring out;
    for (size_t i = 0; i < field.size(); ++i) {
        char c = field[i];
        if (c != '\\' || i + 1 >= field.size()) {
            out += static_cast<wchar_t>(static_cast<unsigned char>(c));
            continue;
        }
        char e = field[++i];
        if (e == 'n') out += L'\n';
        else if (e == 'r') out += L'\r';
        else if (e == 't') out += L'\t';
        else if (e == 'u' && i + 4 < field.size()) {
            out += static_cast<wchar_t>(std::strtoul(field.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
        } else out += static_cast<wchar_t>(static_cast<unsigned char>(e));
    }
    return out;
}

std::vector<std::wstring> SplitFields(const std::string& line)
{
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(Unescape(line.substr(start, tab - start)));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

long long ToNumber(const std::wstring& text)
{
    return std::wcstoll(text.c_str(), nullptr, 0);
}

HWND ToWindow(const std::wstring& text)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(ToNumber(text)));
}

long long FromWindow(HWND hwnd)
{
    return static_cast<long long>(reinterpret_cast<uintptr_t>(hwnd));
}

// ---- windows of the other process -----------------------------------------

const UINT kSendTimeoutMs = 10000;   // a loaded machine may keep the program busy for a while

// A direct child by dialog id; compares the low 16 bits, since the message box
// text carries 0xFFFF, which dialog templates store as a 16-bit -1.
HWND Child(HWND parent, long long id)
{
    if (id == 0)
        return parent;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetDlgCtrlID(child) & 0xFFFF) == (id & 0xFFFF))
            return child;
    }
    return nullptr;
}

// The text may change between the two messages (the status field does while
// a search runs): a copy that filled the buffer may be cut short, so it is
// read again with room to spare until it fits.
bool GetText(HWND hwnd, std::wstring& text)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &length))
        return false;
    for (size_t room = length + 64; room < (1u << 20); room *= 2) {
        std::vector<wchar_t> buffer(room, 0);
        DWORD_PTR copied = 0;
        if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                                 SMTO_NORMAL, kSendTimeoutMs, &copied))
            return false;
        if (copied + 1 < buffer.size()) {
            text.assign(buffer.data(), copied);
            return true;
        }
    }
    return false;
}

std::wstring ClassOf(HWND hwnd)
{
    wchar_t name[128] = {};
    GetClassNameW(hwnd, name, 127);
    return name;
}

std::string RectJson(const RECT& r)
{
    return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
           std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top) + "]";
}

std::string ControlJson(HWND child)
{
    std::wstring text;
    GetText(child, text);
    RECT r = {};
    GetWindowRect(child, &r);
    LONG style = GetWindowLongW(child, GWL_STYLE);
    return Reply()
        .Number("id", GetDlgCtrlID(child) & 0xFFFF)
        .Text("class", ClassOf(child))
        .Text("text", text)
        .Add("rect", RectJson(r))
        .Number("style", static_cast<unsigned long>(style))
        .Flag("visible", IsWindowVisible(child))
        .Flag("enabled", IsWindowEnabled(child))
        .Object();
}

HWND FindVisible(const std::wstring& cls, const std::wstring& caption)
{
    HWND hwnd = FindWindowW(cls.empty() ? nullptr : cls.c_str(), caption.c_str());
    return hwnd && IsWindowVisible(hwnd) ? hwnd : nullptr;
}

HWND WaitWindow(const std::wstring& cls, const std::wstring& caption, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND hwnd = FindVisible(cls, caption);
        if (hwnd || GetTickCount() - start >= timeoutMs)
            return hwnd;
        Sleep(20);
    }
}

HWND FocusOf(HWND hwnd)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

// Keys by name, with the character a keyboard would add (0: none).
struct KeyName {
    const wchar_t* szName;
    WORD wKey;
    wchar_t cChar;
};

const KeyName g_keys[] = {
    {L"enter", VK_RETURN, L'\r'}, {L"escape", VK_ESCAPE, 0x1B}, {L"tab", VK_TAB, L'\t'},
    {L"space", VK_SPACE, L' '}, {L"f1", VK_F1, 0},
};

const KeyName* FindKey(const std::wstring& name)
{
    for (const KeyName& key : g_keys) {
        if (name == key.szName)
            return &key;
    }
    return nullptr;
}

// ---- the screen ------------------------------------------------------------

// The colour that covers most of the middle row of a control: the background,
// since centred text leaves most of the row free.
COLORREF DominantColor(const RECT& r)
{
    HDC screen = GetDC(nullptr);
    std::map<COLORREF, int> counts;
    int y = (r.top + r.bottom) / 2;
    for (int x = r.left + 3; x < r.right - 3; ++x)
        ++counts[GetPixel(screen, x, y)];
    ReleaseDC(nullptr, screen);
    COLORREF best = CLR_INVALID;
    int bestCount = 0;
    for (const auto& entry : counts) {
        if (entry.second > bestCount) {
            best = entry.first;
            bestCount = entry.second;
        }
    }
    return best;
}

std::string ColorJson(COLORREF color)
{
    return "[" + std::to_string(GetRValue(color)) + "," + std::to_string(GetGValue(color)) + "," +
           std::to_string(GetBValue(color)) + "]";
}

bool SaveScreenBmp(const RECT& r, const std::wstring& path)
{
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;   // bottom-up rows, as BMP files store them
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    int stride = (width * 3 + 3) & ~3;
    std::vector<char> pixels(static_cast<size_t>(stride) * height);
    int rows = GetDIBits(memory, bitmap, 0, height, pixels.data(),
                         reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (rows != height)
        return false;

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (!out)
        return false;
    bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
              std::fwrite(&info, sizeof info, 1, out) == 1 &&
              std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    return std::fclose(out) == 0 && ok;
}

// ---- serial ports ----------------------------------------------------------

// Opens COMn once; 0 when it opened, else the error code.
DWORD TryPort(int port)
{
    char name[32];
    wsprintfA(name, "\\\\.\\COM%d", port);
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
    CloseHandle(h);
    return 0;
}

// COM1 to COM8 and the ports above them that a test may list.
constexpr int kProbedPorts = 32;

std::string PortsJson()
{
    std::string opened = "{", errors = "{";
    for (int port = 1; port <= kProbedPorts; ++port) {
        DWORD error = TryPort(port);
        const char* sep = port > 1 ? "," : "";
        opened += sep + std::string("\"") + std::to_string(port) + "\":" + (error ? "false" : "true");
        errors += sep + std::string("\"") + std::to_string(port) + "\":" + std::to_string(error);
    }
    return Reply().Add("opened", opened + "}").Add("errors", errors + "}").Ok();
}

// ---- version block ---------------------------------------------------------

const char* const g_versionKeys[] = {
    "CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
    "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion",
    "Comments", "PrivateBuild", "SpecialBuild",
};

std::wstring FromAnsi(const char* text)
{
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
    return out;
}

std::string Hex4(unsigned value)
{
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%04X", value & 0xFFFF);
    return buffer;
}

std::string VersionJson(const std::wstring& path)
{
    std::string file(path.begin(), path.end());
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(file.c_str(), &handle);
    if (size == 0)
        return Fail("no version block (error " + std::to_string(GetLastError()) + ")");
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(file.c_str(), 0, size, block.data()))
        return Fail("GetFileVersionInfoA failed");

    std::string translations = "[";
    void* value = nullptr;
    UINT length = 0;
    std::string firstTable;
    if (VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length)) {
        const WORD* pairs = static_cast<const WORD*>(value);
        for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2) {
            translations += std::string(i ? "," : "") + "[" + std::to_string(pairs[i]) + "," +
                            std::to_string(pairs[i + 1]) + "]";
            if (i == 0)
                firstTable = Hex4(pairs[0]) + Hex4(pairs[1]);
        }
    }
    translations += "]";

    // The strings of the table the translation list names first, where
    // Explorer's details and inventory tools look for them.
    std::string strings = "{";
    for (const char* key : g_versionKeys) {
        std::string query = "\\StringFileInfo\\" + firstTable + "\\" + key;
        if (VerQueryValueA(block.data(), query.c_str(), &value, &length)) {
            strings += std::string(strings.size() > 1 ? "," : "") + "\"" + key + "\":" +
                       Quote(FromAnsi(static_cast<const char*>(value)));
        }
    }
    strings += "}";

    Reply reply;
    reply.Add("strings", strings).Add("translations", translations)
        .Text("first_table", Widen(firstTable));
    if (VerQueryValueA(block.data(), "\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        auto version = [](DWORD ms, DWORD ls) {
            return std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)) + "." +
                   std::to_string(HIWORD(ls)) + "." + std::to_string(LOWORD(ls));
        };
        reply.Text("file_version", Widen(version(fixed->dwFileVersionMS, fixed->dwFileVersionLS)))
            .Text("product_version", Widen(version(fixed->dwProductVersionMS, fixed->dwProductVersionLS)))
            .Number("flags", fixed->dwFileFlags & fixed->dwFileFlagsMask)
            .Number("os", fixed->dwFileOS)
            .Number("type", fixed->dwFileType);
    }
    return reply.Ok();
}

// ---- commands ----------------------------------------------------------------

using Args = std::vector<std::wstring>;

bool PostCommand(HWND dialog, long long id)
{
    HWND control = Child(dialog, id);
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                        reinterpret_cast<LPARAM>(control));
}

std::string DoWindow(const Args& a)
{
    HWND hwnd = WaitWindow(a[2], a[3], static_cast<DWORD>(ToNumber(a[1])));
    if (!hwnd)
        return Fail("no window");
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return Reply().Number("hwnd", FromWindow(hwnd)).Number("pid", pid).Ok();
}

// The message box keeps its icon control when it has no icon to show.
bool ShowsIcon(HWND iconControl)
{
    DWORD_PTR icon = 0;
    return SendMessageTimeoutW(iconControl, STM_GETICON, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &icon) &&
           icon != 0;
}

// Waits for a message box and tells its text, its visible buttons and
// whether it shows an icon.
std::string DoMessageBox(const Args& a)
{
    HWND box = WaitWindow(L"#32770", a[2], static_cast<DWORD>(ToNumber(a[1])));
    if (!box)
        return Fail("no message box");
    std::wstring text;
    GetText(Child(box, 0xFFFF), text);
    std::string buttons = "[";
    bool icon = false;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child))
            continue;
        std::wstring cls = ClassOf(child);
        LONG style = GetWindowLongW(child, GWL_STYLE);
        if (_wcsicmp(cls.c_str(), L"Button") == 0)
            buttons += (buttons.size() > 1 ? "," : "") + std::to_string(GetDlgCtrlID(child));
        else if (_wcsicmp(cls.c_str(), L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON)
            icon = icon || ShowsIcon(child);
    }
    return Reply().Number("hwnd", FromWindow(box)).Text("text", text)
        .Add("buttons", buttons + "]").Flag("icon", icon).Ok();
}

std::string DoGetText(const Args& a)
{
    HWND control = Child(ToWindow(a[1]), ToNumber(a[2]));
    std::wstring text;
    if (!control || !GetText(control, text))
        return Fail("no control");
    return Reply().Text("text", text).Ok();
}

std::string DoSetText(const Args& a)
{
    HWND control = Child(ToWindow(a[1]), ToNumber(a[2]));
    DWORD_PTR result = 0;
    if (!control || !SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(a[3].c_str()),
                                         SMTO_NORMAL, kSendTimeoutMs, &result))
        return Fail("no control");
    return Reply().Ok();
}

// Types at the end of an edit's text, one WM_CHAR per character, as the
// keyboard would: each character makes the edit notify its parent.
std::string DoType(const Args& a)
{
    HWND control = Child(ToWindow(a[1]), ToNumber(a[2]));
    if (!control)
        return Fail("no control");
    DWORD_PTR result = 0;
    SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &result);
    SendMessageTimeoutW(control, EM_SETSEL, result, result, SMTO_NORMAL, kSendTimeoutMs, &result);
    for (wchar_t c : a[3]) {
        if (!SendMessageTimeoutW(control, WM_CHAR, c, 1, SMTO_NORMAL, kSendTimeoutMs, &result))
            return Fail("program did not take the character");
    }
    return Reply().Ok();
}

// Milliseconds on a clock finer than GetTickCount's.
double NowMs()
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Whether the window's thread answers a sent message within the time limit,
// as the system asks before it calls a window hung; with how long it took
// and the caption then (read without a message: it changes while a download
// runs, and the window is followed by handle, not by caption).
std::string DoAsk(const Args& a)
{
    HWND hwnd = ToWindow(a[1]);
    if (!IsWindow(hwnd))
        return Fail("no window");
    DWORD_PTR result = 0;
    double start = NowMs();
    bool answered = SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL,
                                        static_cast<UINT>(ToNumber(a[2])), &result) != 0;
    double ms = NowMs() - start;
    wchar_t caption[256] = {};
    GetWindowTextW(hwnd, caption, 255);
    return Reply().Flag("answered", answered).Number("ms", static_cast<long long>(ms))
        .Text("caption", caption).Ok();
}

// Sends a button's click instead of posting it, as another program might:
// it is handled at once, wherever the window's thread reads its messages.
std::string DoSendClick(const Args& a)
{
    HWND dialog = ToWindow(a[1]);
    long long id = ToNumber(a[2]);
    if (!IsWindow(dialog))
        return Fail("no window");
    DWORD_PTR result = 0;
    double start = NowMs();
    bool answered = SendMessageTimeoutW(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                                        reinterpret_cast<LPARAM>(Child(dialog, id)), SMTO_NORMAL,
                                        static_cast<UINT>(ToNumber(a[3])), &result) != 0;
    return Reply().Flag("answered", answered)
        .Number("ms", static_cast<long long>(NowMs() - start)).Ok();
}

// Asks the window what the system asks every window before a logoff: the
// answer is whether the session may end now.
std::string DoQueryEnd(const Args& a)
{
    HWND hwnd = ToWindow(a[1]);
    if (!IsWindow(hwnd))
        return Fail("no window");
    DWORD_PTR result = 0;
    bool answered = SendMessageTimeoutW(hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                        static_cast<UINT>(ToNumber(a[2])), &result) != 0;
    return Reply().Flag("answered", answered).Flag("endok", answered && result != 0).Ok();
}

std::string DoClick(const Args& a)
{
    HWND dialog = ToWindow(a[1]);
    if (!IsWindow(dialog) || !PostCommand(dialog, ToNumber(a[2])))
        return Fail("no window");
    return Reply().Ok();
}

// Puts the keyboard focus on a control the way the dialog itself would.
std::string DoFocusOn(const Args& a)
{
    HWND dialog = ToWindow(a[1]);
    HWND control = Child(dialog, ToNumber(a[2]));
    if (!control)
        return Fail("no control");
    PostMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    return Reply().Ok();
}

std::string DoFocus(const Args& a)
{
    HWND focus = FocusOf(ToWindow(a[1]));
    if (!focus)
        return Reply().Number("id", -1).Text("class", L"").Text("text", L"").Ok();
    std::wstring text;
    GetText(focus, text);
    return Reply().Number("id", GetDlgCtrlID(focus) & 0xFFFF).Text("class", ClassOf(focus))
        .Text("text", text).Number("hwnd", FromWindow(focus)).Ok();
}

// A click that lands while a new window is still being activated gets lost
// under load; a person would click on the settled window.
void WaitForeground(HWND hwnd)
{
    HWND root = GetAncestor(hwnd, GA_ROOT);
    DWORD start = GetTickCount();
    while (GetForegroundWindow() != root && GetTickCount() - start < 3000)
        Sleep(20);
}

// F1 turns into a help request only on its way from the keyboard, not as a
// posted key message: it goes in as input to the window in front.
std::string PressHardwareKey(HWND hwnd, WORD wKey)
{
    HWND root = GetAncestor(hwnd, GA_ROOT);
    SetForegroundWindow(root);
    WaitForeground(root);
    if (GetForegroundWindow() != root)
        return Fail("window did not come to the front");
    INPUT inputs[2] = {};
    for (INPUT& input : inputs) {
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = wKey;
    }
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
    return Reply().Ok();
}

// Posts a key press to whatever control of the window's thread has the focus;
// the dialog's own message loop then handles Tab, Enter and Escape.
std::string DoKey(const Args& a)
{
    HWND hwnd = ToWindow(a[1]);
    const KeyName* key = FindKey(a[2]);
    if (!key)
        return Fail("unknown key");
    if (key->wKey == VK_F1)
        return PressHardwareKey(hwnd, key->wKey);
    HWND target = FocusOf(hwnd);
    if (!target)
        target = hwnd;
    LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(key->wKey, MAPVK_VK_TO_VSC)) << 16;
    PostMessageW(target, WM_KEYDOWN, key->wKey, 1 | scan);
    if (key->cChar)
        PostMessageW(target, WM_CHAR, key->cChar, 1 | scan);
    PostMessageW(target, WM_KEYUP, key->wKey, 1 | scan | 0xC0000000u);
    return Reply().Ok();
}

void SendMouse(POINT p, DWORD flags)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = p.x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = p.y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input, sizeof input);
}

// Under a virtual desktop the pointer move also goes through X and comes back
// as a motion event; one that arrives between press and release from the old
// position cancels the click. So the move settles before the press.
void MovePointer(POINT p)
{
    SendMouse(p, MOUSEEVENTF_MOVE);
    POINT now = {};
    DWORD start = GetTickCount();
    while (GetCursorPos(&now) && (now.x != p.x || now.y != p.y) && GetTickCount() - start < 1000)
        Sleep(20);
    Sleep(200);
    SendMouse(p, MOUSEEVENTF_MOVE);
    Sleep(50);
}

// Clicks with the real mouse at a point of the window: x and y count from its
// left and top edges, or from its right and bottom edges when negative (the
// close box is at -12, 12).
std::string DoMouse(const Args& a)
{
    HWND hwnd = ToWindow(a[1]);
    RECT r = {};
    if (!GetWindowRect(hwnd, &r))
        return Fail("no window");
    WaitForeground(hwnd);
    int x = static_cast<int>(ToNumber(a[2]));
    int y = static_cast<int>(ToNumber(a[3]));
    POINT p = {x < 0 ? r.right + x : r.left + x, y < 0 ? r.bottom + y : r.top + y};
    MovePointer(p);
    SendMouse(p, MOUSEEVENTF_LEFTDOWN);
    Sleep(50);
    SendMouse(p, MOUSEEVENTF_LEFTUP);
    return Reply().Number("x", p.x).Number("y", p.y).Ok();
}

std::string DoForeground(const Args&)
{
    return Reply().Number("hwnd", FromWindow(GetForegroundWindow())).Ok();
}

std::string DoSysCommand(const Args& a)
{
    HWND hwnd = ToWindow(a[1]);
    if (!IsWindow(hwnd) ||
        !PostMessageW(hwnd, WM_SYSCOMMAND, static_cast<WPARAM>(ToNumber(a[2])), 0))
        return Fail("no window");
    return Reply().Ok();
}

std::string DoPixel(const Args& a)
{
    HWND control = Child(ToWindow(a[1]), ToNumber(a[2]));
    RECT r = {};
    if (!control || !GetWindowRect(control, &r))
        return Fail("no control");
    COLORREF color = DominantColor(r);
    return Reply().Number("colorref", color).Add("rgb", ColorJson(color)).Ok();
}

std::string DoSysColor(const Args& a)
{
    COLORREF color = GetSysColor(static_cast<int>(ToNumber(a[1])));
    return Reply().Number("colorref", color).Add("rgb", ColorJson(color)).Ok();
}

std::string DoExists(const Args& a)
{
    HWND hwnd = ToWindow(a[1]);
    return Reply().Flag("exists", IsWindow(hwnd)).Flag("visible", IsWindowVisible(hwnd)).Ok();
}

std::string DoWaitGone(const Args& a)
{
    HWND hwnd = ToWindow(a[1]);
    DWORD start = GetTickCount();
    DWORD timeoutMs = static_cast<DWORD>(ToNumber(a[2]));
    while (IsWindow(hwnd) && GetTickCount() - start < timeoutMs)
        Sleep(20);
    return Reply().Flag("gone", !IsWindow(hwnd)).Ok();
}

std::string DoAlive(const Args& a)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(ToNumber(a[1])));
    DWORD code = 0;
    bool alive = process && GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    if (process)
        CloseHandle(process);
    return Reply().Flag("alive", alive).Ok();
}

std::string DoChildren(const Args& a)
{
    HWND parent = ToWindow(a[1]);
    if (!IsWindow(parent))
        return Fail("no window");
    std::string list = "[";
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        list += (list.size() > 1 ? "," : "") + ControlJson(child);
    RECT r = {};
    GetWindowRect(parent, &r);
    std::wstring caption;
    GetText(parent, caption);
    return Reply().Add("children", list + "]").Add("rect", RectJson(r))
        .Text("text", caption).Number("style", static_cast<unsigned long>(GetWindowLongW(parent, GWL_STYLE)))
        .Number("exstyle", static_cast<unsigned long>(GetWindowLongW(parent, GWL_EXSTYLE))).Ok();
}

std::string DoShot(const Args& a)
{
    HWND hwnd = ToWindow(a[1]);
    RECT r = {};
    if (!GetWindowRect(hwnd, &r))
        return Fail("no window");
    if (!SaveScreenBmp(r, a[2]))
        return Fail("cannot save the picture");
    return Reply().Add("rect", RectJson(r)).Ok();
}

// What Windows sends a window moved to a monitor with another DPI: the new
// DPI and a suggested window rectangle, which must lie in the window's own
// process (here: the window's present rectangle, placed there).
std::string DoDpiChanged(const Args& a)
{
    HWND hwnd = ToWindow(a[1]);
    RECT r = {};
    DWORD pid = 0;
    if (!GetWindowRect(hwnd, &r) || !GetWindowThreadProcessId(hwnd, &pid))
        return Fail("no window");
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    if (!process)
        return Fail("cannot open the window's process");
    void* remote = VirtualAllocEx(process, nullptr, sizeof r, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    bool written = remote && WriteProcessMemory(process, remote, &r, sizeof r, nullptr);
    DWORD_PTR result = 0;
    WORD dpi = static_cast<WORD>(ToNumber(a[2]));
    bool answered = written && SendMessageTimeoutW(hwnd, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                                                   reinterpret_cast<LPARAM>(remote), SMTO_NORMAL, 5000,
                                                   &result);
    // Unanswered, the window may still come to read the rectangle.
    if (answered)
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    if (!answered)
        return Fail("WM_DPICHANGED not answered");
    return Reply().Ok();
}

std::string DoInfo(const Args&)
{
    return Reply().Number("acp", GetACP())
        .Number("screen_width", GetSystemMetrics(SM_CXSCREEN))
        .Number("screen_height", GetSystemMetrics(SM_CYSCREEN)).Ok();
}

struct Command {
    const wchar_t* szName;
    size_t nArgs;   // fields after the name
    std::string (*pHandler)(const Args&);
};

const Command g_commands[] = {
    {L"ping", 0, [](const Args&) { return Reply().Ok(); }},
    {L"info", 0, DoInfo},
    {L"ports", 0, [](const Args&) { return PortsJson(); }},
    {L"window", 3, DoWindow},          // timeout_ms, class ("" for any), caption
    {L"msgbox", 2, DoMessageBox},      // timeout_ms, caption
    {L"gettext", 2, DoGetText},        // hwnd, id (0: the window itself)
    {L"settext", 3, DoSetText},        // hwnd, id, text
    {L"type", 3, DoType},              // hwnd, id, text
    {L"click", 2, DoClick},            // hwnd, id
    {L"sendclick", 3, DoSendClick},    // hwnd, id, timeout_ms
    {L"ask", 2, DoAsk},                // hwnd, timeout_ms
    {L"queryend", 2, DoQueryEnd},      // hwnd, timeout_ms
    {L"focuson", 2, DoFocusOn},        // hwnd, id
    {L"focus", 1, DoFocus},            // hwnd
    {L"key", 2, DoKey},                // hwnd, enter|escape|tab|f1|space
    {L"mouse", 3, DoMouse},            // hwnd, x, y (negative: from right/bottom)
    {L"foreground", 0, DoForeground},
    {L"syscommand", 2, DoSysCommand},  // hwnd, command (0xF060 close, 0x10 ...)
    {L"pixel", 2, DoPixel},            // hwnd, id
    {L"syscolor", 1, DoSysColor},      // index
    {L"exists", 1, DoExists},          // hwnd
    {L"waitgone", 2, DoWaitGone},      // hwnd, timeout_ms
    {L"alive", 1, DoAlive},            // pid
    {L"children", 1, DoChildren},      // hwnd
    {L"shot", 2, DoShot},              // hwnd, path of a .bmp
    {L"dpichanged", 2, DoDpiChanged},  // hwnd, dpi
    {L"version", 1, [](const Args& a) { return VersionJson(a[1]); }},   // path
};

std::string Execute(const std::string& line)
{
    Args args = SplitFields(line);
    for (const Command& command : g_commands) {
        if (args[0] != command.szName)
            continue;
        if (args.size() != command.nArgs + 1)
            return Fail("expected " + std::to_string(command.nArgs) + " fields");
        return command.pHandler(args);
    }
    return Fail("unknown command");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--ports") == 0) {
        Say(PortsJson());
        return 0;
    }
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line == "quit")
            break;
        if (!line.empty())
            Say(Execute(line));
    }
    return 0;
}
