// Where the Linux console program finds its options file (see the header for
// the order). Native only.
#include "app/console/console_options_file.h"

#include <cstdlib>

#include "app/options_file.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace {

const char kSystemOptionsFile[] = "/etc/dorimel/dorimel.ini";
const char kUserOptionsFile[] = "/dorimel/dorimel.ini";  // below the user's configuration folder

bool isSetAbsolute(const char* path) { return path != nullptr && path[0] == '/'; }

}  // namespace

std::string consoleUserOptionsPath() {
    // The base directory rules: a relative XDG_CONFIG_HOME is ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (isSetAbsolute(config)) return std::string(config) + kUserOptionsFile;
    const char* home = std::getenv("HOME");
    if (isSetAbsolute(home)) return std::string(home) + "/.config" + kUserOptionsFile;
    return std::string();
}

std::vector<std::string> consoleOptionsPlaces() {
    std::string module;
    if (!platformModulePath(module)) module.clear();
    return consoleOptionsPlacesForProgram(module);
}

std::vector<std::string> consoleOptionsPlacesForProgram(const std::string& programPath) {
    std::vector<std::string> places;
    if (!programPath.empty()) places.push_back(optionsPathForModule(programPath));
    std::string user = consoleUserOptionsPath();
    if (!user.empty()) places.push_back(user);
    places.push_back(kSystemOptionsFile);
    return places;
}

namespace {

std::string firstExisting(const std::vector<std::string>& places) {
    for (const std::string& place : places)
        if (pathExists(place.c_str())) return place;
    return consoleUserOptionsPath();
}

}  // namespace

std::string consoleOptionsPath() { return firstExisting(consoleOptionsPlaces()); }

std::string consoleOptionsPathForProgram(const std::string& programPath) {
    return firstExisting(consoleOptionsPlacesForProgram(programPath));
}
