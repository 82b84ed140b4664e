// wrk against the relay (a new connection per request) while the script side reloads,
// disables, enables and rotates the logs: no request may fail. KWA_LOAD_SECONDS: its length.
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
    EXPECT_TRUE(std::regex_search(output, std::regex(R"((^|\s)[1-9]\d* requests in)"))) << output;
    EXPECT_EQ(output.find("Non-2xx"), std::string::npos) << output;
    EXPECT_EQ(output.find("Socket errors"), std::string::npos) << output;
}

} // namespace
} // namespace kwatest
