// Traces, agent events and wx log messages: memory, files, observers, gating.
#include "HostTest.h"

#include <nlohmann/json.hpp>
#include <wx/log.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

using KwaCore::CDom;
using kwatest::HostTest;
using kwatest::Lines;
using kwatest::ReadFile;
using kwatest::ToUtf8;

namespace {

void LogAt(wxLogLevel level, const char* function, const wxString& message) {
    wxLogger(level, __FILE__, __LINE__, function, wxLOG_COMPONENT).Log("%s", message);
}

} // namespace

TEST_F(HostTest, EventsAreKeptAndWrittenAsOneJsonObjectPerLine) {
    // Recording (here: making the logs directory) leaves a caller's errno alone.
    errno = ENOSPC;
    CDom::LogAgentEvent(0, 9103);
    KwaCore::LogTrace(L"RS", __FILE__, __LINE__, "F", "m");
    EXPECT_EQ(errno, ENOSPC);
    const wxString tricky = wxString::FromUTF8("say \"hi\"\n\tback\\slash 100% %s %d é");
    CDom::LogAgentEventText(0, 9106, tricky);
    CDom::DoLogAgentEvent(0, 9106, "failed %.4000s", wxString("50%"));

    const auto events = Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, 9103);
    EXPECT_FALSE(events[0].hasText);
    EXPECT_TRUE(events[1].hasText);
    EXPECT_EQ(events[1].text, tricky);
    EXPECT_EQ(ToUtf8(events[2].text), "failed 50%");

    const auto lines = Lines(ReadFile(Home() + "/logs/events.log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("{\"time\": \"", 0), 0u) << lines[0];
    const std::string ending = "\", \"id\": 9103}";
    EXPECT_EQ(lines[0].compare(lines[0].size() - ending.size(), ending.size(), ending), 0)
        << lines[0];
    const auto first = nlohmann::json::parse(lines[0]);
    EXPECT_FALSE(first.contains("text"));
    const auto second = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(second["text"].get<std::string>(), ToUtf8(tricky));
    EXPECT_EQ(nlohmann::json::parse(lines[2])["text"], "failed 50%");
    EXPECT_EQ(kwatest::FileMode(Home() + "/logs/events.log"), 0600u);
}

TEST_F(HostTest, TracingFollowsKwaTraceAndTheSwitches) {
    // A component no test switches: only the environment decides.
    const struct {
        const char* variable; // nullptr: unset
        bool enabled;
    } cases[] = {
        {nullptr, false}, {"", false},       {"ENV", true},  {" XY , ENV ", true},
        {"*", true},      {"ENVX,E", false}, {"env", false},
    };
    for (const auto& c : cases) {
        if (c.variable == nullptr)
            unsetenv("KWA_TRACE");
        else
            setenv("KWA_TRACE", c.variable, 1);
        EXPECT_EQ(KwaCore::LogTraceIsEnabled(L"ENV"), c.enabled)
            << (c.variable ? c.variable : "unset");
    }
    setenv("KWA_TRACE", "*", 1);
    KwaCore::Host::SetTraceComponent("RS", false);
    EXPECT_FALSE(KwaCore::LogTraceIsEnabled(L"RS"));
    EXPECT_TRUE(KwaCore::LogTraceIsEnabled(L"XY"));
    unsetenv("KWA_TRACE");
    KwaCore::Host::SetTraceComponent("*", true);
    EXPECT_TRUE(KwaCore::LogTraceIsEnabled(L"RS")); // "*" replaces the earlier switch
    KwaCore::Host::SetTraceComponent("XY", false);
    EXPECT_FALSE(KwaCore::LogTraceIsEnabled(L"XY"));
}

TEST_F(HostTest, TracesKeepTheirTextAndGoToTheTraceLogOnOneLine) {
    KwaCore::Host::SetTraceComponent("RS", true);
    KwaCore::LogTrace(L"RS", __FILE__, __LINE__, "Relay::CRelayServer::StartWebServer",
                      "StartWebServer(force=0) 100%\nnext");
    const auto traces = Traces();
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(ToUtf8(traces[0].component), "RS");
    EXPECT_EQ(ToUtf8(traces[0].function), "Relay::CRelayServer::StartWebServer");
    EXPECT_EQ(ToUtf8(traces[0].message), "StartWebServer(force=0) 100%\nnext");
    const auto lines = Lines(ReadFile(Home() + "/logs/trace.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" [RS] Relay::CRelayServer::StartWebServer: "
                            "StartWebServer(force=0) 100%\\nnext"),
              std::string::npos)
        << lines[0];
}

TEST_F(HostTest, WxMessagesAreGatedByLevelAndVerbose) {
    KwaCore::Host::SetVerbose(false);
    EXPECT_FALSE(wxLog::GetVerbose());
    LogAt(wxLOG_Error, "A::Error", "disk full 100%");
    LogAt(wxLOG_Warning, "A::Warning", "careful");
    LogAt(wxLOG_Info, "A::Info", "hidden");
    LogAt(wxLOG_Debug, "A::Debug", "never");
    KwaCore::Host::SetVerbose(true);
    EXPECT_TRUE(wxLog::GetVerbose());
    LogAt(wxLOG_Info, "A::Info", "shown");

    const auto messages = LogMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].level, 1);
    EXPECT_EQ(ToUtf8(messages[0].function), "A::Error");
    EXPECT_EQ(ToUtf8(messages[0].message), "disk full 100%");
    EXPECT_EQ(messages[1].level, 2);
    EXPECT_EQ(messages[2].level, 5);
    EXPECT_EQ(ToUtf8(messages[2].message), "shown");
    const auto lines = Lines(ReadFile(Home() + "/logs/agent.log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" error A::Error: disk full 100%"), std::string::npos) << lines[0];
    EXPECT_NE(lines[2].find(" info A::Info: shown"), std::string::npos) << lines[2];
}

TEST_F(HostTest, MessagesOfOtherThreadsArriveAtOnceAndInOrder) {
    KwaCore::Host::SetVerbose(true);
    std::thread worker([] {
        LogAt(wxLOG_Error, "Worker::Run", "first");
        LogAt(wxLOG_Info, "Worker::Run", "second");
        wxLogWarning("third");
    });
    worker.join();
    // No event loop runs here: the messages must be recorded without one.
    const auto messages = LogMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(ToUtf8(messages[0].message), "first");
    EXPECT_EQ(ToUtf8(messages[0].function), "Worker::Run");
    EXPECT_EQ(ToUtf8(messages[1].message), "second");
    EXPECT_EQ(ToUtf8(messages[2].message), "third");
}

TEST_F(HostTest, ObserversSeeEachRecordUntilRemoved) {
    std::vector<int> ids;
    std::vector<std::string> logged;
    KwaCore::Host::SetEventObserver(
        [&ids](const KwaCore::Host::EventRecord& event) { ids.push_back(event.id); });
    KwaCore::Host::SetLogObserver([&logged](const KwaCore::Host::LogRecord& record) {
        logged.push_back(ToUtf8(record.message));
    });
    CDom::LogAgentEvent(0, 9104);
    wxLogError("broken");
    KwaCore::Host::SetEventObserver(nullptr);
    KwaCore::Host::SetLogObserver(nullptr);
    CDom::LogAgentEvent(0, 9105);
    wxLogError("unseen");
    EXPECT_EQ(ids, std::vector<int>{9104});
    EXPECT_EQ(logged, std::vector<std::string>{"broken"});

    KwaCore::Host::ClearRecords();
    EXPECT_TRUE(Events().empty());
    EXPECT_TRUE(LogMessages().empty());
    // The files keep everything.
    EXPECT_EQ(Lines(ReadFile(Home() + "/logs/events.log")).size(), 2u);
}
