// uiauto: drives and reads a running Windows program the way a person would,
// for the tests that run our programs under Wine. Plain Win32, no test hooks
// in the product: windows are found by caption, class and process, controls
// are read with their own messages (cross-process buffers for list views, tab
// controls and toolbars), buttons are pressed by BM_CLICK. Every wait is
// bounded. Output is UTF-8, one item a line. See README.md for the commands.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win32/abi_layout.h"

namespace {

// ---- text helpers -------------------------------------------------------

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

// Line breaks, tabs and backslashes escaped so that one item stays one line.
std::string escaped(const std::wstring& text) {
    std::string out;
    for (char c : toUtf8(text)) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void writeOut(const std::string& text) {
    DWORD written;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        fwrite(text.data(), 1, text.size(), stdout);
}

void line(const std::string& text) {
    writeOut(text + "\n");
}

[[noreturn]] void fail(const std::string& message) {
    std::string text = "uiauto: " + message + "\n";
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
    ExitProcess(1);
}

std::string hex(UINT_PTR value) {
    char buffer[32];
    snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

std::wstring windowText(HWND window) {
    // WM_GETTEXT is marshalled across processes by the system.
    wchar_t buffer[4096];
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, 5000, &result))
        return {};
    buffer[4095] = L'\0';
    return buffer;
}

std::wstring className(HWND window) {
    wchar_t buffer[256] = L"";
    GetClassNameW(window, buffer, 256);
    return buffer;
}

// ---- options --------------------------------------------------------------

struct Options {
    std::wstring command;
    std::wstring title, titlePart, windowClass;
    DWORD pid = 0;
    HWND hwnd = nullptr;
    int id = -1;
    bool haveId = false;
    DWORD timeoutMs = 30000;
    bool viaCommand = false;
    std::vector<std::wstring> rest;
};

[[noreturn]] void usage() {
    fail(
        "usage: uiauto COMMAND [--title T] [--title-part T] [--class C] [--pid N] [--hwnd H] "
        "[--id N] [--timeout MS] [ARGS]; see tests/win/README.md");
}

Options parseOptions(int argc, wchar_t** argv) {
    Options o;
    if (argc < 2) usage();
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::wstring a = argv[i];
        auto value = [&]() -> std::wstring {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == L"--title")
            o.title = value();
        else if (a == L"--title-part")
            o.titlePart = value();
        else if (a == L"--class")
            o.windowClass = value();
        else if (a == L"--pid")
            o.pid = wcstoul(value().c_str(), nullptr, 0);
        else if (a == L"--hwnd")
            o.hwnd = reinterpret_cast<HWND>(
                static_cast<UINT_PTR>(wcstoull(value().c_str(), nullptr, 0)));
        else if (a == L"--id") {
            o.id = static_cast<int>(wcstol(value().c_str(), nullptr, 0));
            o.haveId = true;
        } else if (a == L"--timeout")
            o.timeoutMs = wcstoul(value().c_str(), nullptr, 0);
        else if (a == L"--command")
            o.viaCommand = true;
        else if (a == L"--") {
            for (++i; i < argc; ++i) o.rest.push_back(argv[i]);
        } else
            o.rest.push_back(a);
    }
    return o;
}

// ---- finding windows -------------------------------------------------------

// A dialog box that MessageBox made: class #32770, at least one button with a
// standard answer ID and a static text, and nothing but statics and buttons.
bool isMessageBox(HWND window) {
    if (className(window) != L"#32770") return false;
    bool button = false, text = false, other = false;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        std::wstring cls = className(child);
        int id = GetDlgCtrlID(child);
        if (_wcsicmp(cls.c_str(), L"Button") == 0 && id >= IDOK && id <= IDCONTINUE)
            button = true;
        else if (_wcsicmp(cls.c_str(), L"Static") == 0)
            text = true;
        else
            other = true;
    }
    return button && text && !other;
}

struct Search {
    const Options* options;
    bool messageBoxOnly;
    std::vector<HWND> found;
};

bool matches(HWND window, const Options& o, bool messageBoxOnly) {
    if (!IsWindowVisible(window)) return false;
    if (o.pid) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid != o.pid) return false;
    }
    if (!o.windowClass.empty() && className(window) != o.windowClass) return false;
    if (!o.title.empty() || !o.titlePart.empty()) {
        std::wstring caption = windowText(window);
        if (!o.title.empty() && caption != o.title) return false;
        if (!o.titlePart.empty() && caption.find(o.titlePart) == std::wstring::npos) return false;
    }
    if (messageBoxOnly && !isMessageBox(window)) return false;
    return true;
}

BOOL CALLBACK collectWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    if (matches(window, *search->options, search->messageBoxOnly)) search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> findWindows(const Options& o, bool messageBoxOnly) {
    if (o.hwnd) {
        if (IsWindow(o.hwnd)) return {o.hwnd};
        return {};
    }
    Search search{&o, messageBoxOnly, {}};
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits (bounded) for exactly one matching top-level window.
HWND waitWindow(const Options& o, bool messageBoxOnly) {
    const DWORD start = GetTickCount();
    for (;;) {
        std::vector<HWND> found = findWindows(o, messageBoxOnly);
        if (found.size() == 1) return found[0];
        if (GetTickCount() - start > o.timeoutMs) {
            if (found.empty())
                fail(messageBoxOnly ? "no message box appeared" : "no such window appeared");
            fail("more than one window matches (" + std::to_string(found.size()) + ")");
        }
        Sleep(50);  // another process's window: nothing to wait on but time
    }
}

struct ControlSearch {
    int id;
    HWND found;
};

BOOL CALLBACK matchControl(HWND child, LPARAM parameter) {
    auto* search = reinterpret_cast<ControlSearch*>(parameter);
    if (GetDlgCtrlID(child) != search->id) return TRUE;
    search->found = child;
    return FALSE;
}

HWND findControl(HWND top, int id) {
    HWND control = GetDlgItem(top, id);
    if (control) return control;
    // Controls inside child windows (panels, tab pages).
    ControlSearch search{id, nullptr};
    EnumChildWindows(top, matchControl, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND requireControl(HWND top, const Options& o) {
    if (!o.haveId) fail("--id is required");
    HWND control = findControl(top, o.id);
    if (!control) fail("the window has no control " + std::to_string(o.id));
    return control;
}

// ---- memory in the other process -------------------------------------------

// A buffer inside the process that owns a control, for the messages whose
// lParam points to a structure (list view, tab control, toolbar).
class RemoteBuffer {
  public:
    RemoteBuffer(HWND window, size_t size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        process_ =
            OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (!process_) fail("cannot open the program's process");
        address_ =
            VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!address_) fail("cannot allocate memory in the program's process");
    }
    ~RemoteBuffer() {
        VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        CloseHandle(process_);
    }
    char* address() const { return static_cast<char*>(address_); }
    void write(size_t offset, const void* data, size_t size) {
        SIZE_T done = 0;
        if (!WriteProcessMemory(process_, address() + offset, data, size, &done) || done != size)
            fail("cannot write the program's memory");
    }
    void read(size_t offset, void* data, size_t size) {
        SIZE_T done = 0;
        if (!ReadProcessMemory(process_, address() + offset, data, size, &done) || done != size)
            fail("cannot read the program's memory");
    }
    std::wstring readText(size_t offset, size_t chars) {
        std::wstring text(chars, L'\0');
        read(offset, &text[0], chars * sizeof(wchar_t));
        text.resize(wcsnlen(text.c_str(), chars));
        return text;
    }

  private:
    HANDLE process_ = nullptr;
    void* address_ = nullptr;
    size_t size_;
};

constexpr size_t kTextChars = 2048;
constexpr size_t kTextOffset = 1024;  // the structure comes first

// The structures copied into the other process, where its control reads them
// at its own offsets (the tool and the program must be of one bitness).
static_assert(sizeof(LVITEMW) == abiSize(60, 88) && offsetof(LVITEMW, pszText) == abiSize(20, 24) &&
                  offsetof(LVITEMW, cchTextMax) == abiSize(24, 32),
              "LVITEMW");
static_assert(sizeof(HDITEMW) == abiSize(48, 72) && offsetof(HDITEMW, cchTextMax) == abiSize(16, 24), "HDITEMW");
static_assert(sizeof(TCITEMW) == abiSize(28, 40) && offsetof(TCITEMW, pszText) == abiSize(12, 16), "TCITEMW");
static_assert(sizeof(TBBUTTON) == abiSize(20, 32) && offsetof(TBBUTTON, fsStyle) == 9, "TBBUTTON");
static_assert(sizeof(HDITEMW) <= kTextOffset && sizeof(LVITEMW) <= kTextOffset, "room for the structure");

LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 10000, &result))
        fail("the program does not answer");
    return static_cast<LRESULT>(result);
}

// ---- commands ----------------------------------------------------------------

std::string windowLine(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return "window\t" + hex(reinterpret_cast<UINT_PTR>(window)) + "\t" + std::to_string(pid) +
           "\t" + escaped(className(window)) + "\t" + escaped(windowText(window));
}

// "-" for controls without a check state, else 0, 1 or 2 (indeterminate).
std::string checkState(HWND control) {
    if (_wcsicmp(className(control).c_str(), L"Button") != 0) return "-";
    LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    switch (type) {
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
        case BS_3STATE:
        case BS_AUTO3STATE:
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON:
            return std::to_string(send(control, BM_GETCHECK, 0, 0));
        default:
            return "-";
    }
}

BOOL CALLBACK dumpControl(HWND child, LPARAM parameter) {
    HWND top = reinterpret_cast<HWND>(parameter);
    HWND parent = GetParent(child);
    line("control\t" + std::to_string(GetDlgCtrlID(child)) + "\t" + escaped(className(child)) +
         "\tenabled=" + (IsWindowEnabled(child) ? "1" : "0") +
         "\tvisible=" + (IsWindowVisible(child) ? "1" : "0") + "\tcheck=" + checkState(child) +
         "\tparent=" + (parent == top ? std::string("0") : std::to_string(GetDlgCtrlID(parent))) +
         "\t" + escaped(windowText(child)));
    return TRUE;
}

void dump(HWND top) {
    line(windowLine(top));
    EnumChildWindows(top, dumpControl, reinterpret_cast<LPARAM>(top));
}

void listView(HWND control) {
    HWND header = reinterpret_cast<HWND>(send(control, LVM_GETHEADER, 0, 0));
    int columns = header ? static_cast<int>(send(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
    if (columns < 1) columns = 1;
    int rows = static_cast<int>(send(control, LVM_GETITEMCOUNT, 0, 0));
    RemoteBuffer remote(control, kTextOffset + kTextChars * sizeof(wchar_t));
    std::string heading = "columns\t" + std::to_string(columns);
    if (header) {
        for (int c = 0; c < columns; ++c) {
            HDITEMW item{};
            item.mask = HDI_TEXT;
            item.pszText = reinterpret_cast<wchar_t*>(remote.address() + kTextOffset);
            item.cchTextMax = kTextChars;
            wchar_t empty = 0;
            remote.write(kTextOffset, &empty, sizeof empty);
            remote.write(0, &item, sizeof item);
            send(header, HDM_GETITEMW, c, reinterpret_cast<LPARAM>(remote.address()));
            heading += "\t" + escaped(remote.readText(kTextOffset, kTextChars));
        }
    }
    line(heading);
    line("rows\t" + std::to_string(rows));
    for (int r = 0; r < rows; ++r) {
        std::string row = "row\t" + std::to_string(r);
        for (int c = 0; c < columns; ++c) {
            LVITEMW item{};
            item.iSubItem = c;
            item.pszText = reinterpret_cast<wchar_t*>(remote.address() + kTextOffset);
            item.cchTextMax = kTextChars;
            remote.write(0, &item, sizeof item);
            LRESULT length =
                send(control, LVM_GETITEMTEXTW, r, reinterpret_cast<LPARAM>(remote.address()));
            row += "\t" +
                   escaped(length > 0 ? remote.readText(kTextOffset, kTextChars) : std::wstring());
        }
        UINT state = static_cast<UINT>(send(control, LVM_GETITEMSTATE, r, LVIS_SELECTED));
        row += (state & LVIS_SELECTED) ? "\tselected" : "";
        line(row);
    }
}

void tabs(HWND control) {
    int count = static_cast<int>(send(control, TCM_GETITEMCOUNT, 0, 0));
    int current = static_cast<int>(send(control, TCM_GETCURSEL, 0, 0));
    RemoteBuffer remote(control, kTextOffset + kTextChars * sizeof(wchar_t));
    for (int i = 0; i < count; ++i) {
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = reinterpret_cast<wchar_t*>(remote.address() + kTextOffset);
        item.cchTextMax = kTextChars;
        wchar_t empty = 0;
        remote.write(kTextOffset, &empty, sizeof empty);
        remote.write(0, &item, sizeof item);
        send(control, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(remote.address()));
        line("tab\t" + std::to_string(i) + "\t" + (i == current ? "selected" : "-") + "\t" +
             escaped(remote.readText(kTextOffset, kTextChars)));
    }
}

void toolbar(HWND control) {
    int count = static_cast<int>(send(control, TB_BUTTONCOUNT, 0, 0));
    RemoteBuffer remote(control, kTextOffset + kTextChars * sizeof(wchar_t));
    for (int i = 0; i < count; ++i) {
        TBBUTTON button{};
        remote.write(0, &button, sizeof button);
        send(control, TB_GETBUTTON, i, reinterpret_cast<LPARAM>(remote.address()));
        remote.read(0, &button, sizeof button);
        if (button.fsStyle & BTNS_SEP) {
            line("separator\t" + std::to_string(i));
            continue;
        }
        wchar_t empty = 0;
        remote.write(kTextOffset, &empty, sizeof empty);
        LRESULT length = send(control, TB_GETBUTTONTEXTW, button.idCommand,
                              reinterpret_cast<LPARAM>(remote.address() + kTextOffset));
        std::wstring text = length > 0 ? remote.readText(kTextOffset, kTextChars) : std::wstring();
        BYTE state = button.fsState;
        line("button\t" + std::to_string(i) + "\t" + std::to_string(button.idCommand) +
             "\tenabled=" + ((state & TBSTATE_ENABLED) ? "1" : "0") +
             "\tchecked=" + ((state & TBSTATE_CHECKED) ? "1" : "0") +
             "\tpressed=" + ((state & TBSTATE_PRESSED) ? "1" : "0") +
             "\thidden=" + ((state & TBSTATE_HIDDEN) ? "1" : "0") + "\t" + escaped(text));
    }
}

void click(HWND top, HWND control, bool viaCommand) {
    if (!IsWindowEnabled(control)) fail("the control is disabled");
    if (!IsWindowVisible(control)) fail("the control is hidden");
    if (viaCommand) {
        PostMessageW(GetParent(control) ? GetParent(control) : top, WM_COMMAND,
                     MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                     reinterpret_cast<LPARAM>(control));
    } else {
        // Posted, not sent: a click that opens a modal window must not block us.
        PostMessageW(control, BM_CLICK, 0, 0);
    }
}

// ---- message boxes ------------------------------------------------------------

// The icon kind of a message box: its icon static's picture is compared, pixel
// by pixel on the screen, with the system icons drawn in this process over the
// same background (icon handles are per process under Wine).
std::string iconKind(HWND box) {
    HWND icon = nullptr;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (_wcsicmp(className(child).c_str(), L"Static") == 0 &&
            (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child))
            icon = child;
    }
    if (!icon || !send(icon, STM_GETICON, 0, 0)) return "none";
    RECT rect;
    GetWindowRect(icon, &rect);
    const int width = GetSystemMetrics(SM_CXICON), height = GetSystemMetrics(SM_CYICON);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    std::vector<DWORD> shown(width * height), drawn(width * height);
    struct Candidate {
        const char* name;
        LPCWSTR id;
    } candidates[] = {
        {"error", MAKEINTRESOURCEW(32513)},
        {"question", MAKEINTRESOURCEW(32514)},
        {"warning", MAKEINTRESOURCEW(32515)},
        {"information", MAKEINTRESOURCEW(32516)},
    };
    // The box may still be painting: capture again (bounded) until one of the
    // system icons matches nearly every pixel. Pictures of different icons
    // share their background, so a loose match would mean nothing.
    std::string best = "unknown";
    const DWORD start = GetTickCount();
    for (;;) {
        BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
        GdiFlush();
        memcpy(shown.data(), bits, shown.size() * sizeof(DWORD));
        const DWORD background = shown[0] & 0xFFFFFF;
        HBRUSH brush = CreateSolidBrush(
            RGB(GetBValue(background), GetGValue(background), GetRValue(background)));
        size_t bestScore = 0;
        for (const Candidate& c : candidates) {
            RECT all{0, 0, width, height};
            FillRect(memory, &all, brush);
            DrawIconEx(memory, 0, 0, LoadIconW(nullptr, c.id), width, height, 0, nullptr,
                       DI_NORMAL);
            GdiFlush();
            memcpy(drawn.data(), bits, drawn.size() * sizeof(DWORD));
            size_t same = 0;
            for (size_t i = 0; i < drawn.size(); ++i)
                same += (drawn[i] & 0xFFFFFF) == (shown[i] & 0xFFFFFF);
            if (same > bestScore) {
                bestScore = same;
                best = c.name;
            }
        }
        DeleteObject(brush);
        if (bestScore * 100 >= drawn.size() * 95) break;
        if (GetTickCount() - start > 5000) {
            best = "unknown";
            break;
        }
        Sleep(50);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return best;
}

const char* buttonName(int id) {
    switch (id) {
        case IDOK:
            return "OK";
        case IDCANCEL:
            return "Cancel";
        case IDABORT:
            return "Abort";
        case IDRETRY:
            return "Retry";
        case IDIGNORE:
            return "Ignore";
        case IDYES:
            return "Yes";
        case IDNO:
            return "No";
        case IDTRYAGAIN:
            return "TryAgain";
        case IDCONTINUE:
            return "Continue";
        default:
            return "?";
    }
}

void describeMessageBox(HWND box) {
    line("caption\t" + escaped(windowText(box)));
    line("icon\t" + iconKind(box));
    std::wstring text;
    std::string buttons;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        std::wstring cls = className(child);
        if (_wcsicmp(cls.c_str(), L"Static") == 0 &&
            (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) {
            std::wstring t = windowText(child);
            if (t.size() > text.size()) text = t;
        } else if (_wcsicmp(cls.c_str(), L"Button") == 0 && IsWindowVisible(child)) {
            buttons += (buttons.empty() ? "" : ",") + std::string(buttonName(GetDlgCtrlID(child)));
        }
    }
    line("text\t" + escaped(text));
    line("buttons\t" + buttons);
}

int answerId(const std::wstring& answer) {
    const struct {
        const wchar_t* name;
        int id;
    } answers[] = {
        {L"ok", IDOK},       {L"cancel", IDCANCEL}, {L"yes", IDYES},       {L"no", IDNO},
        {L"retry", IDRETRY}, {L"abort", IDABORT},   {L"ignore", IDIGNORE},
    };
    for (const auto& a : answers)
        if (_wcsicmp(answer.c_str(), a.name) == 0) return a.id;
    fail("unknown answer (ok, cancel, yes, no, retry, abort, ignore)");
}

// ---- clipboard, screenshot, processes ---------------------------------------------

bool openClipboard() {
    for (int i = 0; i < 100; ++i) {
        if (OpenClipboard(nullptr)) return true;
        Sleep(20);  // another program holds it
    }
    return false;
}

void clipboardGet() {
    if (!openClipboard()) fail("cannot open the clipboard");
    std::wstring text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = p;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    writeOut(toUtf8(text));
}

void clipboardSet(const std::wstring& text) {
    if (!openClipboard()) fail("cannot open the clipboard");
    EmptyClipboard();
    HGLOBAL data = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    memcpy(GlobalLock(data), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    GlobalUnlock(data);
    bool ok = SetClipboardData(CF_UNICODETEXT, data) != nullptr;
    CloseClipboard();
    if (!ok) fail("cannot set the clipboard");
}

// The window as it is on the screen, as a 24-bit BMP file.
void screenshot(HWND window, const std::wstring& path) {
    RECT rect;
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file stores it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = ((width * 3) + 3) & ~3u;
    const DWORD imageSize = stride * height;
    // The file's headers: 14 and 40 bytes in every build.
    static_assert(sizeof(BITMAPFILEHEADER) == 14 && sizeof(BITMAPINFOHEADER) == 40, "BMP headers");
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + imageSize;
    info.bmiHeader.biSizeImage = imageSize;
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) fail("cannot create the picture file");
    DWORD written;
    bool ok = WriteFile(out, &file, sizeof file, &written, nullptr) &&
              WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
              WriteFile(out, bits, imageSize, &written, nullptr);
    CloseHandle(out);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!ok) fail("cannot write the picture file");
}

// Quotes one argument so that the program's command-line splitting gives it back.
std::wstring quoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

PROCESS_INFORMATION startProcess(const Options& o, bool raw) {
    if (o.rest.empty()) fail("start needs a program");
    std::wstring commandLine = quoteArgument(o.rest[0]);
    if (raw) {
        if (o.rest.size() > 1) commandLine += L" " + o.rest[1];
    } else {
        for (size_t i = 1; i < o.rest.size(); ++i) commandLine += L" " + quoteArgument(o.rest[i]);
    }
    static_assert(sizeof(STARTUPINFOW) == abiSize(68, 104), "STARTUPINFOW");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(o.rest[0].c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        fail("cannot start the program (error " + std::to_string(GetLastError()) + ")");
    CloseHandle(process.hThread);
    line("pid\t" + std::to_string(process.dwProcessId));
    return process;
}

void start(const Options& o, bool raw) {
    CloseHandle(startProcess(o, raw).hProcess);
}

// Starts the program and stays with it until it ends: the handle held all the
// while keeps its exit code, which Wine forgets soon after the end of a
// process that nobody holds.
void run(const Options& o) {
    HANDLE process = startProcess(o, false).hProcess;
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code))
        fail("the exit code cannot be read (error " + std::to_string(GetLastError()) + ")");
    CloseHandle(process);
    line("exit\t" + std::to_string(code));
}

void waitExit(const Options& o) {
    if (!o.pid) fail("--pid is required");
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, o.pid);
    if (!process) fail("no such process");
    if (WaitForSingleObject(process, o.timeoutMs) != WAIT_OBJECT_0) {
        CloseHandle(process);
        fail("the process did not exit in time");
    }
    DWORD code = 0;
    const bool read = GetExitCodeProcess(process, &code) != 0;
    CloseHandle(process);
    if (!read) fail("the exit code cannot be read (error " + std::to_string(GetLastError()) + ")");
    line("exit\t" + std::to_string(code));
}

void killProcess(const Options& o) {
    if (!o.pid) fail("--pid is required");
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, o.pid);
    if (!process) return;  // already gone
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
}

void waitGone(const Options& o, bool messageBoxOnly) {
    const DWORD start = GetTickCount();
    while (!findWindows(o, messageBoxOnly).empty()) {
        if (GetTickCount() - start > o.timeoutMs) fail("the window is still there");
        Sleep(50);
    }
}

// The control that has the keyboard focus in the window's thread:
// "focus<TAB>ID<TAB>class" (ID 0 and an empty class when nothing has it).
void focus(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) fail("cannot read the focus");
    HWND focused = info.hwndFocus;
    line("focus\t" + std::to_string(focused ? GetDlgCtrlID(focused) : 0) + "\t" +
         (focused ? toUtf8(className(focused)) : std::string()));
}

void listWindows(const Options& o) {
    for (HWND window : findWindows(o, false)) line(windowLine(window));
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Options o = parseOptions(argc, argv);
    const std::wstring& c = o.command;
    if (c == L"windows")
        listWindows(o);
    else if (c == L"wait")
        line(windowLine(waitWindow(o, false)));
    else if (c == L"wait-gone")
        waitGone(o, false);
    else if (c == L"dump")
        dump(waitWindow(o, false));
    else if (c == L"focus")
        focus(waitWindow(o, false));
    else if (c == L"text")
        line(escaped(windowText(requireControl(waitWindow(o, false), o))));
    else if (c == L"listview")
        listView(requireControl(waitWindow(o, false), o));
    else if (c == L"tabs")
        tabs(requireControl(waitWindow(o, false), o));
    else if (c == L"toolbar")
        toolbar(requireControl(waitWindow(o, false), o));
    else if (c == L"click") {
        HWND top = waitWindow(o, false);
        click(top, requireControl(top, o), o.viaCommand);
    } else if (c == L"command" || c == L"menu") {
        if (!o.haveId) fail("--id is required");
        PostMessageW(waitWindow(o, false), WM_COMMAND, MAKEWPARAM(o.id, 0), 0);
    } else if (c == L"settext") {
        HWND control = requireControl(waitWindow(o, false), o);
        if (o.rest.empty()) fail("settext needs a text");
        DWORD_PTR result;
        SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(o.rest[0].c_str()),
                            SMTO_ABORTIFHUNG, 10000, &result);
    } else if (c == L"close")
        PostMessageW(waitWindow(o, false), WM_CLOSE, 0, 0);
    else if (c == L"msgbox")
        describeMessageBox(waitWindow(o, true));
    else if (c == L"msgbox-gone")
        waitGone(o, true);
    else if (c == L"answer") {
        if (o.rest.empty()) fail("answer needs ok, cancel, yes, no, ...");
        HWND box = waitWindow(o, true);
        HWND button = GetDlgItem(box, answerId(o.rest[0]));
        if (!button || !IsWindowVisible(button)) fail("the message box has no such button");
        PostMessageW(button, BM_CLICK, 0, 0);
    } else if (c == L"clipboard-get")
        clipboardGet();
    else if (c == L"clipboard-set")
        clipboardSet(o.rest.empty() ? std::wstring() : o.rest[0]);
    else if (c == L"screenshot") {
        if (o.rest.empty()) fail("screenshot needs a file name");
        screenshot(waitWindow(o, false), o.rest[0]);
    } else if (c == L"start")
        start(o, false);
    else if (c == L"start-raw")
        start(o, true);
    else if (c == L"run")
        run(o);
    else if (c == L"wait-exit")
        waitExit(o);
    else if (c == L"kill")
        killProcess(o);
    else
        usage();
    LocalFree(argv);
    return 0;
}
