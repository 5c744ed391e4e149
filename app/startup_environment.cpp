// The real file system behind start-up: StartupEnvironment on top of the
// paths seam (platform/paths.h). Shared by both platforms.
#include "app/startup.h"
#include "platform/paths.h"

namespace {

class PlatformStartupEnvironment : public StartupEnvironment {
public:
    bool fullPath(const std::string& path, std::string& full) const override { return platformFullPath(path, full); }
    bool isFolder(const std::string& path) const override { return platformIsFolder(path); }
    bool exists(const std::string& path) const override { return platformExists(path); }
    bool canOpenForReading(const std::string& path) const override { return platformCanOpenForReading(path); }
    char pathSeparator() const override { return platformPathSeparator(); }
};

}  // namespace

const StartupEnvironment& platformStartupEnvironment() {
    static const PlatformStartupEnvironment environment;
    return environment;
}
