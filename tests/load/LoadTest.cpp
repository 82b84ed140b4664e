// Serving under load: wrk against the relay on 127.0.0.1 while the script side
// reloads, disables, enables and rotates the logs. One client opens a new
// connection for every request: none may fail. The other keeps its connections
// alive: at each reload nginx's old workers close idle keep-alive connections, and
// a request sent on one at that instant is lost with it (clients send it again):
// at most one per connection and reload. No answer other than 2xx, and no
// access-log line lost across the rotations. (bench/load-memory.sh measures
// nginx's memory through the same churn.) KWA_LOAD_SECONDS: the run's length.
#include "RelayFixture.h"

#include <atomic>
#include <fstream>
#include <optional>
#include <regex>
#include <thread>

namespace kwatest {
namespace {

struct Wrk {
    long requests = 0, non2xx = 0, connect = 0, read = 0, write = 0, timeout = 0;
    std::string output;
    Wrk(const std::string& url, int seconds, const std::string& options) {
        output = RunCommand("wrk -t1 -c4 -d" + std::to_string(seconds) + "s " + options + " " +
                            ShellQuote(url))
                     .output;
        std::smatch m;
        if (std::regex_search(output, m, std::regex(R"((\d+) requests in)")))
            requests = std::stol(m[1]);
        if (std::regex_search(output, m, std::regex(R"(Non-2xx or 3xx responses: (\d+))")))
            non2xx = std::stol(m[1]);
        if (std::regex_search(
                output, m, std::regex(R"(connect (\d+), read (\d+), write (\d+), timeout (\d+))")))
            connect = std::stol(m[1]), read = std::stol(m[2]), write = std::stol(m[3]),
            timeout = std::stol(m[4]);
    }
};

long CountLines(const std::string& path, const std::string& prefix = "") {
    long n = 0;
    for (const std::string& line : Lines(ReadFile(path)))
        n += line.rfind(prefix, 0) == 0;
    return n;
}

using LoadTest = RelayFixture;

TEST_F(LoadTest, ServesThroughReloadsAndRotationsWithoutLoss) {
    const char* bound = std::getenv("KWA_LOAD_SECONDS");
    const int seconds = bound ? std::atoi(bound) : 12;
    WriteFile(WebRoot() + "/packages/small.bin", std::string(4096, 's'));
    ASSERT_TRUE(StartRelay());
    const std::string url = Url("/packages/small.bin");
    ASSERT_TRUE(WaitUntil([&] { return Curl("/packages/small.bin").exitCode == 0; }));
    std::atomic<int> running{2};
    std::optional<Wrk> closing, reusing;
    std::thread a([&] { closing.emplace(url, seconds, "-H 'Connection: close'"), --running; });
    std::thread b([&] { reusing.emplace(url, seconds, ""), --running; });

    // The access log is topped up to the rotation size whenever nginx has begun a
    // new one; rotation stops at four generations, so that none is dropped.
    const std::string filler = "filler line, not a request\n";
    long fillerLines = 0;
    int calls = 0, reloads = 0;
    const char* churn[] = {"rs:ReloadWebServerConfig()", "rs:DisableWebServer()",
                           "rs:EnableWebServer()"};
    while (running > 0) {
        const long long size = FileSize(AccessLog());
        if (!FileExists(WorkDir() + "/logs/access-03.log") && size >= 0 && size <= 5242880) {
            const long lines = (5242880 - size) / static_cast<long>(filler.size()) + 1;
            std::ofstream out(AccessLog(), std::ios::app);
            for (long i = 0; i < lines; ++i)
                out << filler; // whole lines: nginx appends whole lines too
            fillerLines += lines;
        }
        if (++calls % 4 == 0) {
            if (!FileExists(WorkDir() + "/logs/access-04.log")) {
                EXPECT_TRUE(Bool("rs:RotateWebLogs()"));
            }
        } else {
            EXPECT_TRUE(Bool(churn[calls % 4 - 1])) << churn[calls % 4 - 1] << " failed under load";
            ++reloads;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    a.join();
    b.join();
    std::printf("%ld + %ld requests, %d reloads\n", closing->requests, reusing->requests, reloads);
    EXPECT_GT(closing->requests, 0) << closing->output;
    EXPECT_GT(reusing->requests, 0) << reusing->output;
    EXPECT_EQ(closing->non2xx + reusing->non2xx, 0) << closing->output << reusing->output;
    EXPECT_EQ(closing->connect + closing->read + closing->write + closing->timeout, 0)
        << closing->output;
    EXPECT_EQ(reusing->connect + reusing->timeout, 0) << reusing->output;
    EXPECT_LE(reusing->read + reusing->write, 4L * reloads) << reusing->output;
    EXPECT_TRUE(FileExists(WorkDir() + "/logs/access-01.log"));

    // Every request wrk saw answered is in the logs, across the generations; those
    // in flight when wrk stopped may be logged as well.
    long lines = 0, fillers = 0;
    for (const char* name :
         {"access.log", "access-01.log", "access-02.log", "access-03.log", "access-04.log"}) {
        lines += CountLines(WorkDir() + "/logs/" + name);
        fillers += CountLines(WorkDir() + "/logs/" + name, "filler line");
    }
    EXPECT_EQ(fillers, fillerLines);
    const long served = lines - fillers - 1,
               requests = closing->requests + reusing->requests; // 1: the first curl
    EXPECT_GE(served, requests) << "access-log lines lost across the rotations";
    EXPECT_LE(served, requests + 8 + reusing->read);
}

} // namespace
} // namespace kwatest
