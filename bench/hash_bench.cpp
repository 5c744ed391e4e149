// Hashing throughput: our MD5 and SHA-1 over one file, read in 512-byte blocks
// as the hash dialog's worker does and in 64 KiB blocks for comparison, beside
// md5sum and sha1sum on the same file; our SHA-256 through the worker loop
// (its larger reads), with the processor's SHA instructions and with the
// portable code, beside sha256sum. Native (Linux) benchmark, not a test.
//
//   hash_bench [file [size-in-MiB]]   default /dev/shm/dorimel_hash_bench.bin, 1024
//
// The file is created (and removed afterwards) when it does not exist.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/hash_file.h"
#include "app/md5.h"
#include "app/sha1.h"
#include "app/sha256.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time (user + system) of the last timed run: of this process for our
// code, of the child for a tool. Less disturbed than wall time by other
// programs on a shared machine.
double lastCpuSeconds = 0;

double cpuSeconds(const rusage& usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double selfCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

bool createFile(const std::string& path, uint64_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return false;
    std::vector<unsigned char> block(1 << 20);
    uint32_t x = 2463534242u;  // xorshift: contents that no digest shortcut can exploit
    for (uint64_t done = 0; done < size; done += block.size()) {
        for (auto& b : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<unsigned char>(x);
        }
        size_t n = size_t(std::min<uint64_t>(block.size(), size - done));
        if (write(fd, block.data(), n) != ssize_t(n)) {
            close(fd);
            return false;
        }
    }
    close(fd);
    return true;
}

// Plain read(2) calls of a fixed size, the way the worker calls ReadFile.
class ReadSource : public HashFileSource {
  public:
    bool open(const std::string& path) override {
        return (fd_ = ::open(path.c_str(), O_RDONLY)) >= 0;
    }
    bool size(uint64_t& bytes) override {
        struct stat st;
        if (fstat(fd_, &st) != 0) return false;
        bytes = uint64_t(st.st_size);
        return true;
    }
    bool read(void* buffer, size_t size, size_t& got) override {
        ssize_t n = ::read(fd_, buffer, size);
        if (n < 0) return false;
        got = size_t(n);
        return true;
    }
    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

// The production loop (512-byte reads, progress, cancel flag).
double timeWorkerLoop(HashKind kind, const std::string& path, std::string& digest) {
    ReadSource source;
    std::atomic<int32_t> cancel{0};
    int notices = 0;
    double cpuStart = selfCpuSeconds();
    auto start = Clock::now();
    HashOutcome outcome = hashFile(kind, path, source, cancel, [&](int) { ++notices; });
    double seconds = secondsSince(start);
    lastCpuSeconds = selfCpuSeconds() - cpuStart;
    digest = outcome.computed ? outcome.digestText : outcome.errorText;
    return seconds;
}

// The same digest with large reads, to isolate the cost of the 512-byte size.
double timeLargeReads(HashKind kind, const std::string& path, std::string& digest) {
    std::vector<char> buffer(64 * 1024);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    Md5 md5;
    Sha1 sha1;
    auto start = Clock::now();
    ssize_t n;
    while ((n = read(fd, buffer.data(), buffer.size())) > 0) {
        if (kind == HASH_MD5) {
            md5.update(buffer.data(), size_t(n));
        } else {
            sha1.input(buffer.data(), size_t(n));
        }
    }
    uint8_t out[20];
    if (kind == HASH_MD5) {
        md5.finish(out);
        digest = digestToHex(out, 16);
    } else {
        sha1.result(out);
        digest = digestToHex(out, 20);
    }
    double seconds = secondsSince(start);
    close(fd);
    return seconds;
}

// Runs "tool file" with its output in a pipe; returns seconds, digest = first word.
double timeTool(const char* tool, const std::string& path, std::string& digest) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        ::close(pipeFds[0]);
        execlp(tool, tool, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(pipeFds[1]);
    std::string output;
    char buffer[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) output.append(buffer, size_t(n));
    ::close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    double seconds = secondsSince(start);
    lastCpuSeconds = cpuSeconds(usage);
    digest = output.substr(0, output.find(' '));
    return (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? seconds : -1;
}

void report(const char* what, double seconds, double mib, const std::string& digest) {
    if (seconds < 0) {
        std::printf("%-36s failed\n", what);
        return;
    }
    std::printf("%-36s %7.2f s %8.1f MiB/s  %s\n", what, seconds, mib / seconds, digest.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : "/dev/shm/dorimel_hash_bench.bin";
    double mib = argc > 2 ? std::atof(argv[2]) : 1024;
    bool created = false;
    if (access(path.c_str(), R_OK) != 0) {
        std::printf("creating %s (%.0f MiB)\n", path.c_str(), mib);
        if (!createFile(path, uint64_t(mib * 1024 * 1024))) {
            std::perror(path.c_str());
            return 1;
        }
        created = true;
    } else {
        struct stat st;
        stat(path.c_str(), &st);
        mib = double(st.st_size) / (1024 * 1024);
    }
    // One untimed pass so that every run reads from the page cache.
    std::string digest;
    timeTool("md5sum", path, digest);

    std::string a, b, c;
    double t;
    t = timeWorkerLoop(HASH_MD5, path, a);
    report("MD5, 512-byte reads (worker loop)", t, mib, a);
    t = timeLargeReads(HASH_MD5, path, b);
    report("MD5, 64 KiB reads", t, mib, b);
    t = timeTool("md5sum", path, c);
    report("md5sum", t, mib, c);
    bool md5Agrees = a == b && b == c;

    t = timeWorkerLoop(HASH_SHA1, path, a);
    report("SHA-1, 512-byte reads (worker loop)", t, mib, a);
    t = timeLargeReads(HASH_SHA1, path, b);
    report("SHA-1, 64 KiB reads", t, mib, b);
    t = timeTool("sha1sum", path, c);
    report("sha1sum", t, mib, c);
    bool sha1Agrees = a == b && b == c;

    // SHA-256 is compared with sha256sum: the best of three runs each, taken
    // in turn, so that the load of a shared machine falls on both alike.
    std::string d;
    bool instructions = Sha256::usesShaInstructions();
    double ours = 1e9, portable = 1e9, oursCpu = 1e9, portableCpu = 1e9, toolCpu = 1e9;
    t = 1e9;
    for (int run = 0; run < 3; ++run) {
        ours = std::min(ours, timeWorkerLoop(HASH_SHA256, path, a));
        oursCpu = std::min(oursCpu, lastCpuSeconds);
        Sha256::forcePortable(true);
        portable = std::min(portable, timeWorkerLoop(HASH_SHA256, path, d));
        portableCpu = std::min(portableCpu, lastCpuSeconds);
        Sha256::forcePortable(false);
        double tool = timeTool("sha256sum", path, c);
        t = tool < 0 ? tool : std::min(t, tool);
        toolCpu = std::min(toolCpu, lastCpuSeconds);
    }
    report(instructions ? "SHA-256, worker loop (SHA instr.)" : "SHA-256, worker loop (portable)", ours, mib, a);
    report("SHA-256, worker loop, portable code", portable, mib, d);
    report("sha256sum", t, mib, c);
    bool sha256Agrees = a == c && d == c;
    if (t > 0) {
        std::printf("SHA-256 / sha256sum, wall time: %.2f (portable code: %.2f)\n", ours / t, portable / t);
        std::printf("SHA-256 / sha256sum, CPU time:  %.2f (portable code: %.2f; %.2f s, %.2f s, %.2f s)\n",
                    oursCpu / toolCpu, portableCpu / toolCpu, oursCpu, portableCpu, toolCpu);
    }

    std::printf("digests agree: MD5 %s, SHA-1 %s, SHA-256 %s\n", md5Agrees ? "yes" : "NO",
                sha1Agrees ? "yes" : "NO", sha256Agrees ? "yes" : "NO");
    if (created) unlink(path.c_str());
    return md5Agrees && sha1Agrees && sha256Agrees ? 0 : 1;
}
