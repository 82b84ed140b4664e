// The pieces of kwagent status and of the progress lines, in-process.
#include "Progress.h"
#include "Status.h"
#include "TlsProbe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Agent::Status::ListenAddress;

TEST(StatusParts, ListenLinesAsTheRelayAndPeopleWriteThem) {
    struct Case {
        const char* line;
        bool parsed;
        std::string host;
        bool v6;
        int port;
        std::string loopback; // where status reaches it; "" = never contacted
    };
    const std::vector<Case> cases = {
        {"  listen             127.0.0.1:4122 ssl;", true, "127.0.0.1", false, 4122, "127.0.0.1"},
        {"  listen             4122 ssl;", true, "", false, 4122, "127.0.0.1"},
        {"  listen             [::]:4122 ssl;", true, "", true, 4122, "::1"},
        {"  listen             [::1]:9000 ssl;", true, "::1", true, 9000, "::1"},
        {"listen *:8443;", true, "", false, 8443, "127.0.0.1"},
        {"listen 0.0.0.0:8443 ssl;", true, "", false, 8443, "127.0.0.1"},
        {"listen localhost:8443;", true, "localhost", false, 8443, "127.0.0.1"},
        // Specific addresses that are not 127.0.0.1 or ::1 are never contacted.
        {"listen 192.0.2.7:4122 ssl;", true, "192.0.2.7", false, 4122, ""},
        {"listen 127.0.0.2:4122 ssl;", true, "127.0.0.2", false, 4122, ""},
        {"listen [2001:db8::1]:4122 ssl;", true, "2001:db8::1", true, 4122, ""},
        {"listen 10.0.0.1;", true, "10.0.0.1", false, 80, ""},
        // Not listen lines, or not usable ones.
        {"# listen 4122;", false, "", false, 0, ""},
        {"listen_backlog 4122;", false, "", false, 0, ""},
        {"listen unix:/run/x.sock;", false, "", false, 0, ""},
        {"listen 70000 ssl;", false, "", false, 0, ""},
        {"listen [::1;", false, "", false, 0, ""},
    };
    for (const auto& c : cases) {
        const auto found = Agent::Status::ParseListenLines(c.line);
        ASSERT_EQ(found.size(), c.parsed ? 1u : 0u) << c.line;
        if (!c.parsed)
            continue;
        EXPECT_EQ(found[0].host, c.host) << c.line;
        EXPECT_EQ(found[0].v6, c.v6) << c.line;
        EXPECT_EQ(found[0].port, c.port) << c.line;
        EXPECT_EQ(Agent::Status::LoopbackFor(found[0]), c.loopback) << c.line;
    }
}

TEST(StatusParts, EveryListenLineOfAConfigurationInOrder) {
    const auto found = Agent::Status::ParseListenLines("http {\n server {\n"
                                                       "  listen             [::]:5001 ssl;\n"
                                                       "  listen             5001 ssl;\n"
                                                       "  root /x;\n }\n}\n");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_TRUE(found[0].v6);
    EXPECT_FALSE(found[1].v6);
}

TEST(StatusParts, BundleArchiveNames) {
    for (const char* name : {"kwupdate_1700000000.zip", "kwupdate_a.b.zip", "kwupdate_.zip"})
        EXPECT_TRUE(Agent::Status::IsBundleArchiveName(name)) << name;
    for (const char* name : {"kwupdate_1.ZIP", "kwupdate.zip", "xkwupdate_1.zip",
                             "kwupdate_1.zip.part", "kwupdate_1", ".kwupdate_1.zip"})
        EXPECT_FALSE(Agent::Status::IsBundleArchiveName(name)) << name;
}

TEST(StatusParts, Arguments) {
    using Args = std::vector<std::string>;
    Agent::Status::Options options;
    std::string error;
    ASSERT_TRUE(Agent::Status::ParseArguments(Args{"--json", "--events", "3", "--timeout", "500"},
                                              options, error));
    EXPECT_TRUE(options.json);
    EXPECT_EQ(options.events, 3);
    EXPECT_EQ(options.timeoutMs, 500);
    for (const Args& bad : {Args{"--events"}, Args{"--events", "-1"}, Args{"--timeout", "0"},
                            Args{"--timeout", "x"}, Args{"--verbose"}, Args{"json"}}) {
        Agent::Status::Options ignored;
        EXPECT_FALSE(Agent::Status::ParseArguments(bad, ignored, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(StatusParts, HandshakeNeverLeavesLoopback) {
    for (const char* address : {"192.0.2.1", "127.0.0.2", "localhost", "::", "0.0.0.0"}) {
        const Agent::HandshakeResult result = Agent::Handshake(address, 443, 100);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find("not a loopback address"), std::string::npos) << address;
    }
}

TEST(StatusParts, HandshakeWithNothingListeningFailsQuickly) {
    // Port 1 on loopback: refused at once, well inside the timeout.
    const Agent::HandshakeResult result = Agent::Handshake("127.0.0.1", 1, 2000);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("connect"), std::string::npos) << result.error;
}

// The progress lines with a clock the test moves.
class ProgressTest : public ::testing::Test {
protected:
    using Clock = Agent::ProgressPrinter::Clock;
    Agent::ProgressPrinter printer{[this](const std::string& line) { lines.push_back(line); },
                                   [this] { return now; }};
    Clock::time_point now{};
    std::vector<std::string> lines;

    void After(int ms) { now += std::chrono::milliseconds(ms); }
};

TEST_F(ProgressTest, AShortJobShowsItsFinalLineAlone) {
    printer.Report(false, "/b/kwupdate_1.zip", 1000, 1 << 20, false);
    After(300);
    printer.Report(false, "/b/kwupdate_1.zip", 1500, 3 << 20, true);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "unpacked /b/kwupdate_1.zip: 1500 entries, 3.0 MiB");
}

TEST_F(ProgressTest, ALongJobShowsAtMostOneLineASecond) {
    for (int i = 1; i <= 30; ++i) { // a report every 200 ms for 6 s
        After(200);
        printer.Report(true, "/w/kwupdate_9.zip", uint64_t(i) * 1000, uint64_t(i) << 26, false);
    }
    printer.Report(true, "/w/kwupdate_9.zip", 30001, uint64_t(30) << 26, true);
    ASSERT_GE(lines.size(), 5u);
    ASSERT_LE(lines.size(), 7u);
    EXPECT_EQ(lines[0], "packing /w/kwupdate_9.zip: 6000 entries, 384.0 MiB so far");
    EXPECT_EQ(lines.back(), "packed /w/kwupdate_9.zip: 30001 entries, 1.88 GiB");
}

TEST_F(ProgressTest, AnotherArchiveOrSmallerCountsBeginANewRun) {
    printer.Report(false, "/b/kwupdate_1.zip", 1000, 100, false);
    After(1500);
    // A failed run never finished; the next one starts from zero.
    printer.Report(false, "/b/kwupdate_1.zip", 10, 10, false);
    After(500);
    printer.Report(false, "/b/kwupdate_2.zip", 1000, 100, false);
    After(500);
    printer.Report(false, "/b/kwupdate_2.zip", 1, 1, true);
    ASSERT_EQ(lines.size(), 1u) << lines[0];
    EXPECT_EQ(lines[0], "unpacked /b/kwupdate_2.zip: 1 entry, 1 B");
}

} // namespace
