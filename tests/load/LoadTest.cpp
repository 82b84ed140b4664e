// Serving under load: wrk against the relay on 127.0.0.1 while the script side
// reloads, disables, enables and rotates the logs in a loop. No failed
// connection, no answer other than 2xx, no access-log line lost across the
// rotations, and the web server's memory flat. Then the relay's requests per
// second beside those of nginx with a minimal hand-written configuration that
// serves the same files with the same certificate, measured in the same run.
//
// Two clients load the relay at once. One opens a new connection for every
// request ("Connection: close"): every failure there is a failed connection or a
// failed request, and there must be none. The other keeps its connections alive:
// at each reload nginx's old workers close their idle keep-alive connections,
// and a request the client sends on such a connection at that instant is lost
// with it (wrk counts a read error; HTTP clients retry such a request on a new
// connection). Those are allowed, at most one per connection and reload, and
// only those: nothing refused, nothing answered other than 2xx.
//
// KWA_LOAD_SECONDS sets the length of the loaded run (default 12 s).
#include "../serving/RelayFixture.h"

#include <atomic>
#include <fstream>
#include <regex>
#include <thread>

namespace kwatest {
namespace {

struct WrkResult {
    long requests = 0, non2xx = 0, connectErrors = 0, readErrors = 0, writeErrors = 0, timeouts = 0;
    double perSecond = 0;
    std::string output;
};

// wrk on one loopback URL: one thread, a few keep-alive connections.
WrkResult Wrk(const std::string& url, int seconds, int connections,
              const std::string& options = "") {
    WrkResult r;
    r.output = RunCommand("wrk -t1 -c" + std::to_string(connections) + " -d" +
                          std::to_string(seconds) + "s " + options + " " + ShellQuote(url))
                   .output;
    std::smatch m;
    const auto find = [&](const char* pattern) {
        return std::regex_search(r.output, m, std::regex(pattern));
    };
    if (find(R"((\d+) requests in)"))
        r.requests = std::stol(m[1]);
    if (find(R"(Requests/sec:\s+([\d.]+))"))
        r.perSecond = std::stod(m[1]);
    if (find(R"(Non-2xx or 3xx responses: (\d+))"))
        r.non2xx = std::stol(m[1]);
    if (find(R"(Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+))")) {
        r.connectErrors = std::stol(m[1]);
        r.readErrors = std::stol(m[2]);
        r.writeErrors = std::stol(m[3]);
        r.timeouts = std::stol(m[4]);
    }
    return r;
}

std::vector<long> ChildrenOf(long parent) {
    std::vector<long> children;
    for (long pid : AllProcesses())
        if (ParentOf(pid) == parent && ProcessAlive(pid))
            children.push_back(pid);
    return children;
}

// The resident memory of an nginx master and its workers.
long NginxRssKiB(long master) {
    std::vector<long> pids = ChildrenOf(master);
    pids.push_back(master);
    long total = 0;
    for (long pid : pids) {
        const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
        const size_t at = status.find("VmRSS:");
        if (at != std::string::npos)
            total += std::atol(status.c_str() + at + 6);
    }
    return total;
}

long CountLines(const std::string& path, const std::string& prefix = "") {
    std::ifstream in(path);
    std::string line;
    long n = 0;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0)
            ++n;
    return n;
}

// nginx with a minimal hand-written configuration; it runs as a daemon, in a
// session of its own, and is killed with its workers when the object goes.
class MinimalNginx {
public:
    MinimalNginx(const std::string& root, const std::string& certificate, const std::string& key,
                 int port)
        : dir_("kwa-minimal-nginx") {
        WriteFile(dir_ / "nginx.conf",
                  "worker_processes 1;\npid " + dir_ / "nginx.pid" + ";\nerror_log " +
                      dir_ / "error.log" +
                      ";\nevents { worker_connections 1024; }\n"
                      "http {\n access_log " +
                      dir_ / "access.log" + ";\n server {\n  listen 127.0.0.1:" +
                      std::to_string(port) + " ssl;\n  ssl_certificate " + certificate +
                      ";\n  ssl_certificate_key " + key + ";\n  root " + root + ";\n }\n}\n");
        RunCommand(ShellQuote(BinDir() + "/nginx.exe") + " -p " + ShellQuote(dir_.path() + "/") +
                   " -c " + ShellQuote(dir_ / "nginx.conf"));
    }
    ~MinimalNginx() {
        if (running())
            kill(-static_cast<pid_t>(PidIn(dir_ / "nginx.pid")), SIGKILL);
    }
    bool running() const {
        return WaitUntil([&] { return ProcessAlive(PidIn(dir_ / "nginx.pid")); });
    }

private:
    TempDir dir_;
};

class LoadTest : public RelayFixture {};

TEST_F(LoadTest, ServesThroughReloadsAndRotationsWithoutLoss) {
    const char* bound = std::getenv("KWA_LOAD_SECONDS");
    const int seconds = bound ? std::atoi(bound) : 12;
    WriteFile(WebRoot() + "/packages/small.bin", std::string(4096, 's'));
    Run("rs:Publish()");
    ASSERT_TRUE(StartRelay());
    const std::string url = Url("/packages/small.bin");
    ASSERT_TRUE(WaitUntil([&] { return Curl("/packages/small.bin").exitCode == 0; }));
    const long master = PidIn(NginxPidPath());
    const long rssBefore = NginxRssKiB(master);

    // The clients run in the background; the script side works meanwhile.
    std::atomic<int> running{2};
    WrkResult perRequest, keepAlive;
    std::thread closing([&] {
        perRequest = Wrk(url, seconds, 4, "-H 'Connection: close'");
        --running;
    });
    std::thread reusing([&] {
        keepAlive = Wrk(url, seconds, 4);
        --running;
    });

    // The access log is topped up to the rotation size whenever nginx has begun
    // a new one, so that rotations happen at whatever speed the machine serves;
    // rotation stops at four generations, so that none is dropped (five are kept).
    const std::string filler = "filler line, not a request\n";
    long fillerLines = 0;
    auto generation = [&](int n) {
        return WorkDir() + "/logs/access-0" + std::to_string(n) + ".log";
    };
    int rotations = 0;
    auto topUp = [&] {
        const long long size = FileSize(AccessLog());
        if (rotations >= 3 || size < 0 || size > 5242880)
            return;
        const long lines = (5242880 - size) / static_cast<long>(filler.size()) + 1;
        std::ofstream out(AccessLog(), std::ios::app);
        for (long i = 0; i < lines; ++i)
            out << filler; // whole lines: nginx appends whole lines too
        fillerLines += lines;
    };
    int calls = 0, reloads = 0;
    const char* churn[] = {"rs:ReloadWebServerConfig()", "rs:DisableWebServer()",
                           "rs:EnableWebServer()", "rs:RotateWebLogs()"};
    while (running > 0) {
        topUp();
        const char* call = churn[calls++ % 4];
        const bool rotate = std::string(call) == "rs:RotateWebLogs()";
        if (rotate && FileExists(generation(4)))
            continue;
        const bool before = FileExists(generation(rotations + 1));
        EXPECT_TRUE(Bool(call)) << call << " failed under load";
        if (!rotate)
            ++reloads;
        if (!before && FileExists(generation(rotations + 1)))
            ++rotations;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    closing.join();
    reusing.join();

    const long requests = perRequest.requests + keepAlive.requests;
    std::printf("loaded run: %ld requests (%ld on new connections, %ld on kept ones), %.0f/s, "
                "%d reloads, %d rotations, %ld kept connections closed by a reload\n",
                requests, perRequest.requests, keepAlive.requests,
                perRequest.perSecond + keepAlive.perSecond, reloads, rotations,
                keepAlive.readErrors + keepAlive.writeErrors);
    EXPECT_GT(perRequest.requests, 0) << perRequest.output;
    EXPECT_GT(keepAlive.requests, 0) << keepAlive.output;
    EXPECT_EQ(perRequest.non2xx + keepAlive.non2xx, 0) << perRequest.output << keepAlive.output;
    EXPECT_EQ(perRequest.connectErrors + perRequest.readErrors + perRequest.writeErrors +
                  perRequest.timeouts,
              0)
        << perRequest.output;
    EXPECT_EQ(keepAlive.connectErrors + keepAlive.timeouts, 0) << keepAlive.output;
    EXPECT_LE(keepAlive.readErrors + keepAlive.writeErrors, 4L * reloads) << keepAlive.output;
    EXPECT_GE(rotations, 1);

    // Every request wrk saw answered is in the logs, across the generations; the
    // requests still in flight when wrk stopped may be logged as well.
    long lines = 0, fillers = 0;
    for (const char* name : {"access.log", "access-01.log", "access-02.log", "access-03.log",
                             "access-04.log", "access-05.log"}) {
        lines += CountLines(WorkDir() + "/logs/" + std::string(name));
        fillers += CountLines(WorkDir() + "/logs/" + std::string(name), "filler line");
    }
    EXPECT_EQ(fillers, fillerLines);
    const long served = lines - fillers - 1; // the first curl
    EXPECT_GE(served, requests) << "access-log lines lost across the rotations";
    EXPECT_LE(served, requests + 8 + keepAlive.readErrors) << "more lines than requests";

    // Memory: the master and its current worker after the churn (the workers of
    // earlier configurations gone), against before.
    WaitUntil([&] { return ChildrenOf(master).size() == 1; });
    const long rssAfter = NginxRssKiB(PidIn(NginxPidPath()));
    std::printf("nginx resident memory: %ld KiB before, %ld KiB after\n", rssBefore, rssAfter);
    EXPECT_LE(rssAfter, rssBefore + std::max(rssBefore / 4, 4096L));

    // The same files through the relay at rest and through a minimal nginx, in
    // turns so that a drift of the machine hits both.
    const int other = FreePortPair();
    MinimalNginx minimal(WebRoot(), WorkDir() + "/kw_relay.pem", WorkDir() + "/kw_relay.key",
                         other);
    ASSERT_TRUE(minimal.running());
    const std::string minimalUrl =
        "https://127.0.0.1:" + std::to_string(other) + "/packages/small.bin";
    double relay = 0, plain = 0;
    for (int round = 0; round < 2; ++round) {
        const WrkResult r = Wrk(url, 3, 8);
        const WrkResult m = Wrk(minimalUrl, 3, 8);
        EXPECT_EQ(r.non2xx + m.non2xx, 0) << r.output << m.output;
        relay += r.perSecond;
        plain += m.perSecond;
    }
    std::printf("requests/s for a 4 KiB file: relay %.0f, minimal nginx %.0f, ratio %.2f\n",
                relay / 2, plain / 2, plain > 0 ? relay / plain : 0.0);
    EXPECT_GT(relay, 0);
}

} // namespace
} // namespace kwatest
