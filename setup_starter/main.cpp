// setupstart.exe: starts DorimelServer.exe with "-setup" from the starter's own
// folder. No window, no resources. Exit code 0 when the start was attempted,
// 1 when the folder cannot be found. Windows side.
#include <windows.h>
#include <mbstring.h>
#include <objbase.h>
#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char folder[MAX_PATH + 32] = "";
    DWORD length = GetModuleFileNameA(nullptr, folder, MAX_PATH);
    bool found = length != 0 && length < MAX_PATH;
    if (found) {
        DWORD attributes = GetFileAttributesA(folder);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            lstrcatA(folder, "\\");
        } else {
            unsigned char* slash = _mbsrchr(reinterpret_cast<unsigned char*>(folder), '\\');
            if (slash != nullptr)
                slash[1] = '\0';
            else
                folder[0] = '\0';
        }
        found = folder[0] != '\0';
    }
    if (!found) {
        MessageBoxA(nullptr, "Failed to obtain the directory.", "Fatal error", MB_OK | MB_ICONERROR);
        return 1;
    }
    lstrcatA(folder, "DorimelServer.exe");
    // The shell may use COM objects to start a program.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ShellExecuteA(nullptr, nullptr, folder, "-setup", nullptr, SW_SHOW);
    if (SUCCEEDED(com)) CoUninitialize();
    return 0;
}
