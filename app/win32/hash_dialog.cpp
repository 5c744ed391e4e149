// The hash dialog and its worker thread. The worker reads the file in 512-byte
// blocks (SHA-256: larger ones) through its own file handle and reports only by messages: progress
// with SendNotifyMessage (never waits for the dialog, so the dialog may wait
// for the worker), the end with PostMessage. Windows side.
#include "app/win32/hash_dialog.h"

#include "foundation/string_table.h"
#include "resources/hash_dialog_ids.h"

namespace {

enum : unsigned {
    IDS_CLOSE = 34,  // "閉じる"
    IDS_MATCH = 35,  // "一致しました"
};

std::string loadText(unsigned id) {
    char buffer[256] = "";
    loadStringEntry(id, buffer, sizeof buffer);
    return buffer;
}

// The file through the Windows file calls: read sharing, existing files only.
class Win32HashFileSource : public HashFileSource {
  public:
    ~Win32HashFileSource() override { close(); }
    bool open(const std::string& path) override {
        close();
        file_ = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        return file_ != INVALID_HANDLE_VALUE;
    }
    bool size(uint64_t& bytes) override {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(file_, &size)) return false;
        bytes = uint64_t(size.QuadPart);
        return true;
    }
    bool read(void* buffer, size_t size, size_t& got) override {
        DWORD read = 0;
        if (!ReadFile(file_, buffer, DWORD(size), &read, nullptr)) return false;
        got = read;
        return true;
    }
    void close() override {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

  private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

// Whole text of a window, at most 255 bytes as the comparison takes it.
std::string itemText(HWND dialog, int itemId) {
    char buffer[256] = "";
    GetDlgItemTextA(dialog, itemId, buffer, sizeof buffer);
    return buffer;
}

}  // namespace

HashDialog::HashDialog(const std::string& filePath, HashKind kind, bool fileMoved)
    : Dialog(IDD_HASH), filePath_(filePath), kind_(kind), fileMoved_(fileMoved) {}

HashDialog::~HashDialog() {
    joinWorker();
}

void HashDialog::joinWorker() {
    if (!thread_) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
}

DWORD WINAPI HashDialog::workerEntry(LPVOID parameter) {
    static_cast<HashDialog*>(parameter)->runWorker();
    return 0;
}

void HashDialog::runWorker() {
    resultFlag_ = 0;
    Win32HashFileSource source;
    HWND dialog = hwnd;
    HashOutcome outcome = hashFile(kind_, filePath_, source, cancel_, [dialog](int percent) {
        SendNotifyMessageA(dialog, WM_HASH_PROGRESS, WPARAM(percent), 0);
    });
    errorText_ = outcome.errorText;
    digestText_ = outcome.digestText;
    resultFlag_ = outcome.computed ? 1 : 0;
    if (cancel_.load() != 0) return;
    PostMessageA(dialog, (resultFlag_ || errorText_.empty()) ? WM_HASH_DONE : WM_HASH_ERROR, 0, 0);
}

BOOL HashDialog::onInitDialog() {
    const char* name = hashKindName(kind_);
    SetWindowTextA(hwnd, name);
    SetDlgItemTextA(hwnd, IDC_HASH_NAME, name);
    SetDlgItemTextA(hwnd, IDC_HASH_ENTERED, entered().c_str());
    SetDlgItemTextA(hwnd, IDC_HASH_FILE, filePath_.c_str());

    cancel_.store(0);
    resultFlag_ = 1;
    errorText_.clear();
    digestText_.clear();

    if (fileMoved_) {
        DWORD id = 0;
        thread_ = CreateThread(nullptr, 0, workerEntry, this, 0, &id);
        // Without a worker the dialog can only record the typed value.
        if (!thread_) SetDlgItemTextA(hwnd, IDCANCEL, loadText(IDS_CLOSE).c_str());
    } else {
        SetDlgItemTextA(hwnd, IDCANCEL, loadText(IDS_CLOSE).c_str());
    }
    // The expected digest is the one thing to type: its box takes the focus.
    SetFocus(GetDlgItem(hwnd, IDC_HASH_ENTERED));
    return FALSE;
}

void HashDialog::compare() {
    std::string digest = itemText(hwnd, IDC_HASH_DIGEST);
    if (digest.empty()) return;
    bool match = digestMatches(digest, itemText(hwnd, IDC_HASH_ENTERED));
    SetDlgItemTextA(hwnd, IDC_HASH_RESULT, match ? loadText(IDS_MATCH).c_str() : "");
}

void HashDialog::onClose() {
    cancel_.store(1);
    joinWorker();
    entered() = Text(itemText(hwnd, IDC_HASH_ENTERED));
    EndDialog(hwnd, IDCANCEL);
}

Text& HashDialog::entered() {
    return kind_ == HASH_MD5 ? enteredMd5 : kind_ == HASH_SHA256 ? enteredSha256 : enteredSha1;
}

INT_PTR HashDialog::handleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return onInitDialog();
        case WM_HASH_PROGRESS: {
            char text[16] = "";
            if (wParam != 100) wsprintfA(text, "%d%%", int(wParam));
            SetDlgItemTextA(hwnd, IDC_HASH_PERCENT, text);
            return TRUE;
        }
        case WM_HASH_DONE:
            SetDlgItemTextA(hwnd, IDC_HASH_DIGEST, digestText_.c_str());
            SetDlgItemTextA(hwnd, IDCANCEL, loadText(IDS_CLOSE).c_str());
            compare();
            return TRUE;
        case WM_HASH_ERROR:
            MessageBoxA(hwnd, errorText_.c_str(), "error", MB_ICONERROR);
            joinWorker();
            EndDialog(hwnd, IDCANCEL);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL) {
                onClose();
                return TRUE;
            }
            if (LOWORD(wParam) == IDC_HASH_ENTERED && HIWORD(wParam) == EN_CHANGE) {
                compare();
                return TRUE;
            }
            return FALSE;
    }
    return FALSE;
}

void runHashDialog(HWND owner, HashKind kind, const std::string& filePath, bool fileMoved,
                   std::string& enteredMd5, std::string& enteredSha1, std::string& enteredSha256) {
    HashDialog dialog(filePath, kind, fileMoved);
    dialog.enteredMd5 = enteredMd5;
    dialog.enteredSha1 = enteredSha1;
    dialog.enteredSha256 = enteredSha256;
    dialog.runModal(owner);
    enteredMd5 = dialog.enteredMd5.str();
    enteredSha1 = dialog.enteredSha1.str();
    enteredSha256 = dialog.enteredSha256.str();
}
