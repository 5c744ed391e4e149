// Windows-side checks of the start-up core under Wine with code page 932: the
// paths seam, safe replacement of the options file, our ini reader against the
// system's own private-profile functions, and -td with a Shift-JIS folder
// name whose second byte is "\". Prints one line per failed check; exit code 0
// when all pass.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/code_page.h"
#include "app/options_file.h"
#include "app/startup.h"
#include "platform/paths.h"
#include "platform/system_code_page.h"

namespace {

int g_failures = 0;

void check(bool ok, const char* what, const std::string& detail = std::string()) {
    if (ok) return;
    ++g_failures;
    std::printf("FAILED: %s %s\n", what, detail.c_str());
}

std::string readWithSystem(const std::string& path, const char* section, const char* key) {
    char buffer[4096];
    GetPrivateProfileStringA(section, key, "<default>", buffer, sizeof buffer, path.c_str());
    return buffer;
}

void writeRaw(const std::string& path, const std::string& contents) {
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(contents.data(), 1, contents.size(), file);
    std::fclose(file);
}

std::string readRaw(const std::string& path) {
    std::string contents;
    platformReadFile(path, contents);
    return contents;
}

}  // namespace

int main() {
    platformSetSystemCodePage();
    check(currentCodePage() == CODE_PAGE_932, "the ANSI code page under ja_JP is 932");

    std::string module;
    check(platformModulePath(module), "module path");
    const std::string optionsPath = optionsPathForModule(module);
    const std::string expectedName = "\\win_paths_check.ini";
    check(optionsPath.size() > expectedName.size() &&
              optionsPath.compare(optionsPath.size() - expectedName.size(), expectedName.size(), expectedName) == 0,
          "options path beside the module", optionsPath);

    char tempBase[MAX_PATH];
    GetTempPathA(sizeof tempBase, tempBase);
    const std::string dir = std::string(tempBase) + "dorimel-win-paths-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir.c_str(), nullptr);
    SetCurrentDirectoryA(dir.c_str());
    const std::string ini = dir + "\\dorimel.ini";

    // Our reader agrees with GetPrivateProfileIntA/StringA.
    writeRaw(ini,
             "; comment\r\n[MainOptions]\r\nTimeout=30s\r\nFlags=abc\r\nNeg=-5\r\n"
             "Proxy =  \"host:8080\"  \r\n[defaultvalues]\r\nDestDir=C:\\dl\\\r\n");
    OptionsFile options(ini);
    const char* intKeys[] = {"Timeout", "Flags", "Neg", "Missing"};
    for (const char* key : intKeys) {
        const int system = static_cast<int>(GetPrivateProfileIntA("mainoptions", key, 77, ini.c_str()));
        check(options.readInt("mainoptions", key, 77) == system, "readInt as the system reads", key);
    }
    check(options.readText("MAINOPTIONS", "proxy") == readWithSystem(ini, "MAINOPTIONS", "proxy"),
          "readText as the system reads", options.readText("MAINOPTIONS", "proxy"));
    check(options.readText("DefaultValues", "DestDir") == "C:\\dl\\", "case-insensitive section");

    // Our writes are read back by the system, and unknown lines survive.
    check(options.writeInt("MainOptions", "ScrollLock", 1), "write a new key");
    check(options.writeText("TargetDirs", "Dir0", "C:\\\x95\x5C\\"), "write a new section");
    check(options.writeInt("MainOptions", "Timeout", 45), "replace a key");
    check(GetPrivateProfileIntA("MainOptions", "ScrollLock", 0, ini.c_str()) == 1, "system reads our key");
    check(GetPrivateProfileIntA("MainOptions", "Timeout", 0, ini.c_str()) == 45, "system reads our value");
    check(readWithSystem(ini, "TargetDirs", "Dir0") == "C:\\\x95\x5C\\", "system reads our section");
    check(readRaw(ini).find("; comment\r\n") == 0, "comment kept");

    // A read-only options file is left alone and the write reports failure.
    const std::string before = readRaw(ini);
    SetFileAttributesA(ini.c_str(), FILE_ATTRIBUTE_READONLY);
    check(!options.writeInt("MainOptions", "ScrollLock", 0), "write to a read-only file fails");
    check(readRaw(ini) == before, "read-only file unchanged");
    SetFileAttributesA(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
    WIN32_FIND_DATAA found;
    int files = 0;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    do {
        files += found.cFileName[0] != '.';
    } while (FindNextFileA(search, &found));
    FindClose(search);
    check(files == 1, "no temporary file left beside the options file");

    // -td: full path, separator, folder check; a Shift-JIS name ending in 0x5C.
    const std::string sjisFolder = "\x95\x5C";
    CreateDirectoryA(sjisFolder.c_str(), nullptr);
    AppSettings settings;
    StartupError error;
    const StartupEnvironment& environment = platformStartupEnvironment();
    check(parseCommandLine({"-td", sjisFolder}, settings, environment, TempFileLoader(), error),
          "-td with a Shift-JIS folder", error.text);
    check(settings.DstDir == dir + "\\" + sjisFolder + "\\", "-td appends the backslash after the character",
          settings.DstDir);
    check(!parseCommandLine({"-td", "dorimel.ini"}, settings, environment, TempFileLoader(), error) &&
              error.text.compare(0, ini.size() + 1, ini + "\\") == 0,
          "-td with a file names its full path", error.text);
    check(!parseCommandLine({"missing.dorimelt"}, settings, environment, TempFileLoader(), error) &&
              error.text.find(" : missing.dorimelt") != std::string::npos,
          "a missing temporary file", error.text);

    DeleteFileA(ini.c_str());
    RemoveDirectoryA(sjisFolder.c_str());
    SetCurrentDirectoryA(tempBase);
    RemoveDirectoryA(dir.c_str());
    std::printf("%s\n", g_failures == 0 ? "all checks passed" : "some checks failed");
    return g_failures == 0 ? 0 : 1;
}
