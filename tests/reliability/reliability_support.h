// Helpers of the reliability tests: the console program as a child process,
// a private nginx that can be killed and restarted on the same port, bytes
// actually allocated on disk, and what a kept temporary file's state block
// claims to hold. Native only (posix).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/servers/test_servers.h"

namespace reliability {

struct Outcome {
    int exitCode = -1;  // 128 + signal when killed; -1 when it never ended
    std::string output;  // standard output and error
};

// The console program with args; every run is bounded by timeoutMs. With
// memoryLimitMiB its address space is limited, so that an unbounded
// allocation fails instead of eating the machine.
Outcome runConsole(const std::vector<std::string>& args, int timeoutMs, int memoryLimitMiB = 0);
bool startConsole(testservers::ChildProcess& child, const std::vector<std::string>& args);

// Bytes the file occupies on disk (allocated blocks), -1 when it is missing.
int64_t bytesOnDisk(const std::string& path);
// Polls condition every few milliseconds, at most timeoutMs.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);
// Names in a folder, sorted ("." and ".." left out).
std::vector<std::string> listFolder(const std::string& path);
bool exists(const std::string& path);

// nginx on 127.0.0.1 serving root with two rate-limited locations:
//   /steady/<file>  every connection at steadyKiB KiB/s;
//   /first/<file>   the fresh download's requests (no Range, or the Range
//                   of the second half that a split starts with) at firstKiB
//                   KiB/s, every resumed request at full speed.
// kill9() ends it like a crash; restart() brings it back on the same port.
class RateNginx {
public:
    RateNginx(const std::string& root, int steadyKiB, int firstKiB, uint64_t splitHalf);
    ~RateNginx();
    bool start();
    void kill9();
    bool restart() { return start(); }
    std::string url(const std::string& path) const;

private:
    testservers::TempDir dir_;
    testservers::ChildProcess process_;
    std::string root_;
    int steadyKiB_, firstKiB_;
    uint64_t splitHalf_;
    uint16_t port_ = 0;
};

// What the state block of a temporary file claims: the total size and the
// byte ranges of the download the file holds (behind the 512000-byte block).
struct StateClaims {
    bool parsed = false;
    uint64_t size = 0;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // first, last (exclusive)
};
StateClaims readStateClaims(const std::string& tempPath);
// True when every claimed byte holds the test pattern (testservers::patternByte).
bool claimsHoldPattern(const std::string& tempPath, const StateClaims& claims, std::string& why);

}  // namespace reliability
