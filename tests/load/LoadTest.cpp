// Serving under load: wrk against the relay on 127.0.0.1, one new connection per
// request, while the script side reloads, disables, enables and rotates the logs:
// no request may fail. (bench/load-memory.sh measures memory through the same churn.)
// KWA_LOAD_SECONDS: the run's length.
#include "RelayFixture.h"

#include <atomic>
#include <regex>
#include <thread>

namespace kwatest {
namespace {

using LoadTest = RelayFixture;

TEST_F(LoadTest, NoRequestFailsThroughReloads) {
    const char* bound = std::getenv("KWA_LOAD_SECONDS");
    WriteFile(WebRoot() + "/packages/small.bin", std::string(4096, 's'));
    ASSERT_TRUE(StartRelay());
    ASSERT_TRUE(WaitUntil([&] { return Curl("/packages/small.bin").exitCode == 0; }));
    std::atomic<bool> running{true};
    std::string output;
    std::thread wrk([&] {
        output = RunCommand("wrk -t1 -c4 -d" + std::string(bound ? bound : "12") +
                            "s -H 'Connection: close' " + ShellQuote(Url("/packages/small.bin")))
                     .output;
        running = false;
    });
    const char* churn[] = {"rs:ReloadWebServerConfig()", "rs:DisableWebServer()",
                           "rs:EnableWebServer()", "rs:RotateWebLogs()"};
    for (int calls = 0; running; ++calls) {
        EXPECT_TRUE(Bool(churn[calls % 4])) << churn[calls % 4] << " failed under load";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    wrk.join();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(output, m, std::regex(R"((\d+) requests in)"))) << output;
    EXPECT_GT(std::stol(m[1]), 0) << output;
    EXPECT_EQ(output.find("Non-2xx"), std::string::npos) << output;
    EXPECT_EQ(output.find("Socket errors"), std::string::npos) << output;
}

} // namespace
} // namespace kwatest
