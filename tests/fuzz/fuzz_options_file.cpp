// Fuzz target for start-up input: the bytes are an options file (read with
// every start-up key, then written one key) and also a command line (split and
// parsed with a file system where everything exists). Checks that a write
// reads back and leaves the other sections' values alone, and that parsing
// ends.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/code_page.h"
#include "app/options_file.h"
#include "app/startup.h"

namespace {

class EverythingExists : public StartupEnvironment {
public:
    bool fullPath(const std::string& path, std::string& full) const override {
        full = "C:\\fuzz\\" + path;
        return path.size() < 300;
    }
    bool isFolder(const std::string& path) const override { return path.size() % 2 == 0; }
    bool exists(const std::string&) const override { return true; }
    bool canOpenForReading(const std::string& path) const override { return path.size() % 3 != 0; }
    char pathSeparator() const override { return '\\'; }
};

bool sameSettings(const AppSettings& a, const AppSettings& b) {
    return a.downloadOptions.flags == b.downloadOptions.flags &&
           a.downloadOptions.speedLimit == b.downloadOptions.speedLimit && a.Timeout == b.Timeout &&
           a.SoundOnF == b.SoundOnF && a.SoundFile == b.SoundFile && a.AnonyPass == b.AnonyPass &&
           a.Proxy == b.Proxy && a.UseIECache == b.UseIECache && a.CloseAtEnd == b.CloseAtEnd &&
           a.DstDir == b.DstDir;
}

std::string scratchPath() {
    return "/tmp/dorimel-fuzz-" + std::to_string(static_cast<long>(getpid())) + ".ini";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    setCodePage(size % 2 == 0 ? CODE_PAGE_932 : CODE_PAGE_UTF8);

    // The options file.
    const std::string path = scratchPath();
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(input.data(), 1, input.size(), file);
        std::fclose(file);
    }
    OptionsFile options(path);
    AppSettings before;
    readStartupSettings(options, before);
    if (options.readText("MainOptions", "Proxy").size() > OptionsFile::kMaxValue) std::abort();
    if (options.writeText("FuzzSection", "FuzzKey", "value 1")) {
        if (options.readText("fuzzsection", "fuzzkey") != "value 1") std::abort();
        AppSettings after;
        readStartupSettings(options, after);
        if (!sameSettings(before, after)) std::abort();
    }
    std::remove(path.c_str());

    // The command line, split at NUL bytes and as one Windows command line.
    std::vector<std::string> arguments;
    size_t start = 0;
    for (size_t i = 0; i <= input.size(); ++i) {
        if (i == input.size() || input[i] == '\0') {
            arguments.push_back(input.substr(start, i - start));
            start = i + 1;
        }
    }
    const EverythingExists environment;
    int loads = 0;
    const TempFileLoader loader = [&loads](const std::string& argument, AppSettings& settings) {
        if (++loads > 1) std::abort();  // only the first temporary file is loaded
        settings.InputURL = argument.size() % 2 == 0 ? "" : "http://loaded/";
        return TempFileLoadResult{argument.size() % 5 != 0, "broken"};
    };
    AppSettings settings;
    StartupError error;
    parseCommandLine(arguments, settings, environment, loader, error);
    splitCommandLine(input.c_str());
    return 0;
}
