// dorimel-host run as a browser runs it: frames on its standard input, the
// origin as its argument. A download request starts a real console download
// from nginx on 127.0.0.1 into the user's download folder; the cookie reaches
// the server while no process's command line holds it.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/servers/test_servers.h"

using namespace testservers;

namespace {

void pause(int ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

// The host with pipes on its standard input and output and a scratch home.
class Host {
public:
    Host(const std::string& home, const std::string& program = "", const std::string& pathFirst = "") {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            setenv("HOME", home.c_str(), 1);
            setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
            unsetenv("XDG_CONFIG_HOME");
            if (!program.empty()) setenv("DORIMEL_HOST_PROGRAM", program.c_str(), 1);
            if (!pathFirst.empty()) setenv("PATH", (pathFirst + ":" + getenv("PATH")).c_str(), 1);
            setenv("LANG", "C", 1);
            unsetenv("LC_ALL");
            unsetenv("LC_MESSAGES");
            execl(DORIMEL_HOST, DORIMEL_HOST, "chrome-extension://ealaikofgjonemfojipmlkdhckdghgej/", (char*)nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Host() {
        closeInput();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    void send(const std::string& body) {
        std::string frame(4, '\0');
        uint32_t length = uint32_t(body.size());
        std::memcpy(&frame[0], &length, 4);
        frame += body;
        ASSERT_EQ(write(in_, frame.data(), frame.size()), ssize_t(frame.size()));
    }
    // The next reply body; empty on time-out or end of output.
    std::string reply(int timeoutMs = 30000) {
        std::string bytes;
        auto readSome = [&](size_t want) {
            while (bytes.size() < want) {
                pollfd p{out_, POLLIN, 0};
                if (poll(&p, 1, timeoutMs) <= 0) return false;
                char buffer[4096];
                ssize_t got = read(out_, buffer, std::min(sizeof buffer, want - bytes.size()));
                if (got <= 0) return false;
                bytes.append(buffer, size_t(got));
            }
            return true;
        };
        if (!readSome(4)) return "";
        uint32_t length;
        std::memcpy(&length, bytes.data(), 4);
        if (!readSome(4 + length)) return "";
        return bytes.substr(4);
    }
    void closeInput() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }
    // Exit code after the input closed, -1 when it did not end in time.
    int waitExit(int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            }
            pause(20);
        }
        return -1;
    }
    // True when nothing but frames came (output read to its end).
    bool outputEnded() {
        char c;
        return read(out_, &c, 1) == 0;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
};

std::string readProcFile(const std::string& path) {
    std::string text = readFile(path);
    for (char& c : text)
        if (c == '\0') c = ' ';
    return text;
}

// Command lines of every process; pids of those that hold text.
std::vector<std::string> processesHolding(const std::string& text, const char* file) {
    std::vector<std::string> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        if (readProcFile(std::string("/proc/") + entry->d_name + "/" + file).find(text) != std::string::npos)
            found.push_back(entry->d_name);
    }
    if (proc) closedir(proc);
    return found;
}

}  // namespace

TEST(LinuxHost, HandsADownloadWithItsCookieToADetachedConsole) {
    TempDir dir;
    const std::string home = dir.path() + "/home";
    ASSERT_TRUE(makeDirs(home));
    const uint64_t size = 300000;  // three seconds at the /limited/ rate
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/limited/f.bin", size));
    NginxServer nginx;
    ASSERT_TRUE(nginx.start(dir.path() + "/www"));
    const std::string url = nginx.url("/limited/f.bin");
    const std::string cookie = "session=Secret7734; theme=dark";
    // A notify-send that writes down what it was asked to show.
    ASSERT_TRUE(makeDirs(dir.path() + "/bin"));
    ASSERT_TRUE(writeFile(dir.path() + "/bin/notify-send", "#!/bin/sh\necho \"$@\" > " + dir.path() + "/notified\n"));
    ASSERT_EQ(chmod((dir.path() + "/bin/notify-send").c_str(), 0755), 0);

    Host host(home, "", dir.path() + "/bin");
    host.send(R"({"type":"hello"})");
    EXPECT_EQ(host.reply(), R"({"ok":true,"schemes":["http","https","ftp"],"version":"0.11"})");
    host.send(R"({"type":"download","url":")" + url + R"(","referrer":")" + nginx.url("/page.html") +
              R"(","cookies":")" + cookie + R"(","filename":"f.bin"})");
    EXPECT_EQ(host.reply(), R"({"ok":true})");
    // The browser closes the pipe: the host ends at once, the download goes on.
    host.closeInput();
    EXPECT_EQ(host.waitExit(10000), 0);
    EXPECT_TRUE(host.outputEnded());

    // While it runs, the console's command line names the URL but no command
    // line, and not even its own environment block, holds the cookie.
    std::vector<std::string> consoles;
    for (int waited = 0; consoles.empty() && waited < 10000; waited += 50, pause(50))
        consoles = processesHolding(url, "cmdline");
    ASSERT_FALSE(consoles.empty());
    EXPECT_NE(readProcFile("/proc/" + consoles[0] + "/cmdline").find(" -nd 1 "), std::string::npos);
    EXPECT_TRUE(processesHolding("Secret7734", "cmdline").empty());
    EXPECT_TRUE(processesHolding("Secret7734", "environ").empty());

    const std::string target = home + "/Downloads/f.bin";
    for (int waited = 0; !fileHasPattern(target, size) && waited < 60000; waited += 100) pause(100);
    EXPECT_TRUE(fileHasPattern(target, size));
    for (int waited = 0; readFile(dir.path() + "/notified").empty() && waited < 30000; waited += 100) pause(100);
    EXPECT_EQ(readFile(dir.path() + "/notified"), "--app-name=Dorimel Dorimel f.bin: Finished.\n");
    std::vector<std::string> log = nginx.headersLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "GET /limited/f.bin HTTP/1.0 | referer=" + nginx.url("/page.html") + " | cookie=" + cookie);

    // The log rows went to a file only the user reads.
    DIR* state = opendir((home + "/state/dorimel").c_str());
    ASSERT_NE(state, nullptr);
    std::string logName;
    while (dirent* entry = readdir(state))
        if (std::strncmp(entry->d_name, "download-", 9) == 0) logName = entry->d_name;
    closedir(state);
    ASSERT_FALSE(logName.empty());
    struct stat st;
    ASSERT_EQ(stat((home + "/state/dorimel/" + logName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(readFile(home + "/state/dorimel/" + logName).find(url), std::string::npos);
}

TEST(LinuxHost, RefusesWhatItCannotStartAndFollowsTheConsoleOptions) {
    TempDir dir;
    // A console program whose options file switches https off.
    ASSERT_TRUE(writeFile(dir.path() + "/dorimel", readFile(DORIMEL_CONSOLE)));
    ASSERT_EQ(chmod((dir.path() + "/dorimel").c_str(), 0755), 0);
    ASSERT_TRUE(writeFile(dir.path() + "/dorimel.ini", "[MainOptions]\nEnableHttps=0\n"));
    {
        Host host(dir.path(), dir.path() + "/dorimel");
        host.send(R"({"type":"hello"})");
        EXPECT_EQ(host.reply(), R"({"ok":true,"schemes":["http","ftp"],"version":"0.11"})");
        host.send(R"({"type":"download","url":"https://127.0.0.1:1/f"})");
        EXPECT_NE(host.reply().find(R"("error":"scheme")"), std::string::npos);
        host.closeInput();
        EXPECT_EQ(host.waitExit(10000), 0);
    }
    Host host(dir.path(), dir.path() + "/missing/dorimel");
    host.send(R"({"type":"download","url":"http://127.0.0.1:1/f"})");
    EXPECT_NE(host.reply().find(R"("error":"start_failed")"), std::string::npos);
}

// The console takes the cookie from its environment and sends it to the
// URL's host only: a redirect to the same host keeps it, one to another host
// name loses it.
TEST(HandoffCookie, GoesToTheUrlsHostOnlyAndNeverAfterARedirectElsewhere) {
    TempDir dir;
    ASSERT_TRUE(writePatternFile(dir.path() + "/www/f.bin", 1000));
    FaultServer server;
    ASSERT_TRUE(server.start(dir.path() + "/www"));
    const std::string port = std::to_string(server.port());
    auto redirect = [](const std::string& location) {
        return "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
    };
    ASSERT_TRUE(writeFile(dir.path() + "/www/same", redirect("/f/f.bin")));
    ASSERT_TRUE(writeFile(dir.path() + "/www/other", redirect("http://localhost:" + port + "/f/f.bin")));
    struct Case {
        std::string path;
        std::vector<bool> cookieSent;  // per request, in order
    } cases[] = {{"/raw/same", {true, true}}, {"/raw/other", {true, false}}};
    size_t seen = 0;
    for (const Case& c : cases) {
        ASSERT_TRUE(makeDirs(dir.path() + "/dst" + std::to_string(seen)));
        setenv("DORIMEL_COOKIE", "k=Redirect4411", 1);
        ChildProcess console;
        ASSERT_TRUE(console.start({DORIMEL_CONSOLE, "-nd", "1", "-rf", server.url("/page.html"), "-td",
                                   dir.path() + "/dst" + std::to_string(seen),
                                   server.url(c.path)}, "", true));
        unsetenv("DORIMEL_COOKIE");
        int code = -1;
        ASSERT_TRUE(console.waitExit(60000, code));
        EXPECT_EQ(code, 0) << c.path;
        std::vector<std::string> requests = server.requests();
        ASSERT_EQ(requests.size(), seen + c.cookieSent.size()) << c.path;
        for (size_t i = 0; i < c.cookieSent.size(); ++i)
            EXPECT_EQ(requests[seen + i].find("\r\nCookie: k=Redirect4411\r\n") != std::string::npos, c.cookieSent[i])
                << requests[seen + i];
        seen = requests.size();
        // The log rows show the cookie's size, never its value.
        EXPECT_EQ(console.takeOutput().find("Redirect4411"), std::string::npos);
    }
}
