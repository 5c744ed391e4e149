// Helpers of the reliability tests (see reliability_support.h).
#include "tests/reliability/reliability_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace reliability {

using namespace testservers;

namespace {

// Every program these tests start speaks Japanese, whatever the caller's locale.
[[maybe_unused]] const bool kJapaneseChildren = setChildEnvironment("ja_JP.UTF-8");
constexpr uint64_t STATE_BLOCK = 512000;

// AddressSanitizer reserves terabytes of address space for its shadow, so a
// sanitizer build runs without the limit (the plain build keeps it).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool ADDRESS_LIMIT_WORKS = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool ADDRESS_LIMIT_WORKS = false;
#else
constexpr bool ADDRESS_LIMIT_WORKS = true;
#endif
#else
constexpr bool ADDRESS_LIMIT_WORKS = true;
#endif

void sleepMs(int ms) {
    timespec t{ms / 1000, long(ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}
}  // namespace

bool startConsole(ChildProcess& child, const std::vector<std::string>& args) {
    std::vector<std::string> argv{DORIMEL_CONSOLE};
    argv.insert(argv.end(), args.begin(), args.end());
    return child.start(argv, "", true);
}

Outcome runConsole(const std::vector<std::string>& args, int timeoutMs, int memoryLimitMiB) {
    ChildProcess child;
    Outcome outcome;
    std::vector<std::string> argv;
    if (memoryLimitMiB > 0 && ADDRESS_LIMIT_WORKS)
        argv = {"sh", "-c", "ulimit -v " + std::to_string(memoryLimitMiB * 1024) + " && exec \"$@\"", "sh"};
    argv.push_back(DORIMEL_CONSOLE);
    argv.insert(argv.end(), args.begin(), args.end());
    if (!child.start(argv, "", true)) return outcome;
    if (!child.waitExit(timeoutMs, outcome.exitCode)) {
        child.stop();
        outcome.exitCode = -1;
    }
    outcome.output = child.takeOutput();
    return outcome;
}

int64_t bytesOnDisk(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    return int64_t(st.st_blocks) * 512;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0;; waited += 5) {
        if (condition()) return true;
        if (waited >= timeoutMs) return false;
        sleepMs(5);
    }
}

std::vector<std::string> listFolder(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

RateNginx::RateNginx(const std::string& root, int steadyKiB, int firstKiB, uint64_t splitHalf)
    : dir_("dorimel-rate-nginx"), root_(root), steadyKiB_(steadyKiB), firstKiB_(firstKiB), splitHalf_(splitHalf) {}

RateNginx::~RateNginx() { process_.stop(); }

bool RateNginx::start() {
    if (port_ == 0) port_ = freePort();
    const std::string& d = dir_.path();
    std::ostringstream conf;
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "pid " << d << "/nginx.pid;\nerror_log " << d << "/error.log;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n  default_type application/octet-stream;\n  access_log off;\n"
         << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
         << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
         << "  scgi_temp_path " << d << "/scgi;\n"
         << "  sendfile on;\n  keepalive_timeout 0;\n"
         << "  map $http_range $first_rate { \"\" " << firstKiB_ << "k; \"bytes=" << splitHalf_ << "-\" "
         << firstKiB_ << "k; default 0; }\n"
         << "  server {\n    listen 127.0.0.1:" << port_ << ";\n    root " << root_ << ";\n"
         << "    location /steady/ { alias " << root_ << "/; limit_rate " << steadyKiB_ << "k; }\n"
         << "    location /first/ { alias " << root_ << "/; limit_rate $first_rate; }\n"
         << "  }\n}\n";
    if (!writeFile(d + "/nginx.conf", conf.str())) return false;
    if (!process_.start({"nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"}, d + "/stdout.log"))
        return false;
    return waitForPort(port_, 15000);
}

void RateNginx::kill9() {
    process_.signal(SIGKILL);
    int code = 0;
    process_.waitExit(10000, code);
}

std::string RateNginx::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

StateClaims readStateClaims(const std::string& tempPath) {
    StateClaims claims;
    std::ifstream in(tempPath, std::ios::binary);
    std::string block(STATE_BLOCK, '\0');
    if (!in.read(&block[0], std::streamsize(block.size()))) return claims;
    block.resize(std::strlen(block.c_str()));
    std::map<std::string, std::string> values;
    std::istringstream lines(block);
    std::string line;
    if (!std::getline(lines, line) || line != "Dorimel:500") return claims;
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (colon != std::string::npos) values.emplace(line.substr(0, colon), line.substr(colon + 1));
    }
    auto number = [&](const std::string& key) { return std::strtoull(values[key].c_str(), nullptr, 10); };
    claims.parsed = true;
    if (!values.count("WhiteSheet-size")) return claims;
    claims.size = number("WhiteSheet-size");
    uint64_t count = number("WhiteSheet-bcount");
    for (uint64_t i = 0; i < count && i < 1000; ++i) {
        std::string key = "WhiteSheet-black" + std::to_string(i);
        claims.ranges.emplace_back(number(key + "first"), number(key + "last"));
    }
    return claims;
}

bool claimsHoldPattern(const std::string& tempPath, const StateClaims& claims, std::string& why) {
    FILE* f = std::fopen(tempPath.c_str(), "rb");
    if (!f) {
        why = "cannot open " + tempPath;
        return false;
    }
    std::vector<unsigned char> buffer(1 << 20);
    bool ok = true;
    for (auto [first, last] : claims.ranges) {
        if (fseeko(f, off_t(STATE_BLOCK + first), SEEK_SET) != 0) ok = false;
        for (uint64_t at = first; ok && at < last;) {
            size_t want = size_t(std::min<uint64_t>(buffer.size(), last - at));
            size_t got = std::fread(buffer.data(), 1, want, f);
            if (got != want) {
                why = "claimed range " + std::to_string(first) + "-" + std::to_string(last) + " passes the end";
                ok = false;
                break;
            }
            for (size_t i = 0; i < got; ++i) {
                if (buffer[i] != patternByte(at + i)) {
                    why = "claimed byte " + std::to_string(at + i) + " is wrong";
                    ok = false;
                    break;
                }
            }
            at += got;
        }
        if (!ok) break;
    }
    std::fclose(f);
    return ok;
}

}  // namespace reliability
