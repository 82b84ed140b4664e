// The core library's state on disk: settings in agent.conf, the home and work
// directories, records (events, traces, wx log messages), file modes, directory
// removal and pid files.
#include "LuaFixture.h"

#include <KwaCore.h>

#include <nlohmann/json.hpp>
#include <wx/log.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <thread>

namespace kwatest {
namespace {

using HostTest = LuaFixture;

using KwaCore::CDom;
using Strings = std::vector<std::string>;

void LogAt(wxLogLevel level, const char* function, const wxString& message) {
    wxLogger(level, __FILE__, __LINE__, function, wxLOG_COMPONENT).Log("%s", message);
}

TEST_F(HostTest, HandWrittenSettingsAreReadAndRewrittenWithTheirCommentsKept) {
    const std::string conf = Home() + "/agent.conf";
    WriteFile(conf, "# by hand\n\n  first.key=one\nnot a setting\nsecond.key =  a = b  c \r\n");
    CDom* dom = CDom::This();
    EXPECT_EQ(dom->GetString("first.key"), "one");
    EXPECT_EQ(dom->GetString("second.key"), "a = b  c");
    EXPECT_EQ(dom->GetString("not a setting"), "");
    EXPECT_TRUE(dom->Set("first.key", "uno"));
    EXPECT_TRUE(dom->Set("third.key", "x=y z"));
    EXPECT_EQ(ReadFile(conf),
              "# by hand\n\nfirst.key = uno\nnot a setting\nsecond.key =  a = b  c \n"
              "third.key = x=y z\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Home()), {}), 1)
        << "a temporary file stayed";
    EXPECT_EQ(FileMode(conf), 0600u);

    for (const auto& [key, value] : {std::pair<const char*, const char*>{"", "x"},
                                     {"a=b", "x"},
                                     {"#comment", "x"},
                                     {"key", "two\nlines"}})
        EXPECT_FALSE(dom->Set(key, value)) << key;
    EXPECT_EQ(ReadFile(conf).find("comment"), std::string::npos);
    // Someone else rewrote the file after it was read; then the home moves.
    WriteFile(conf, "relay.port = 7443\n");
    EXPECT_EQ(dom->GetString("relay.port"), "7443");
    TempDir other("kwa-home2");
    setenv("KWA_HOME", other.path().c_str(), 1);
    EXPECT_EQ(dom->GetString("relay.port"), "");
    // A home below a regular file can never be made: the value stays in memory.
    setenv("KWA_HOME", (conf + "/home").c_str(), 1);
    EXPECT_FALSE(dom->Set("kept", "in memory"));
    EXPECT_EQ(dom->GetString("kept"), "in memory");
}

TEST_F(HostTest, HomeProgramAndWorkDirectories) {
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(BinDir().c_str(), resolved), nullptr);
    EXPECT_EQ(ToUtf8(KwaCore::Host::ProgramDir()), resolved);
    ASSERT_TRUE(CDom::This()->Set("app.path.bin", "/opt/agent/bin"));
    EXPECT_EQ(ToUtf8(KwaCore::Host::ProgramDir()), "/opt/agent/bin");

    EXPECT_EQ(CDom::This()->GetPluginWorkdir("relay"), Home() + "/plugins/relay");
    EXPECT_FALSE(FileExists(Home() + "/plugins/relay")); // named, not made
    EXPECT_EQ(FileMode(Home() + "/plugins"), geteuid() == 0 ? 0711u : 0700u);
    // A home made by someone else without o+x gains it (as root) and nothing more.
    TempDir base("kwa-base");
    MakeDirs(base / "home", 0700);
    setenv("KWA_HOME", (base / "home//").c_str(), 1);
    EXPECT_EQ(CDom::This()->GetPluginWorkdir("relay"), base / "home/plugins/relay");
    EXPECT_EQ(FileMode(base / "home"), geteuid() == 0 ? 0701u : 0700u);

    unsetenv("KWA_HOME");
    EXPECT_TRUE(KwaCore::Host::HomeIsDefault());
    if (geteuid() == 0) {
        EXPECT_EQ(ToUtf8(KwaCore::Host::Home()), "/var/lib/kwagent");
    }
}

TEST_F(HostTest, EventsAreKeptAndWrittenAsOneJsonObjectPerLine) {
    errno = ENOSPC; // recording leaves a caller's errno alone
    CDom::LogAgentEvent(0, 9103);
    EXPECT_EQ(errno, ENOSPC);
    const wxString tricky = wxString::FromUTF8("say \"hi\"\n\tback\\slash 100% %s %d é");
    CDom::LogAgentEventText(0, 9106, tricky);
    CDom::DoLogAgentEvent(0, 9106, "failed %.4000s", wxString("50%"));
    ASSERT_EQ(Events().size(), 3u);
    EXPECT_FALSE(Events()[0].hasText);
    EXPECT_EQ(Events()[1].text, tricky);
    const Strings lines = Lines(ReadFile(Home() + "/logs/events.log"));
    ASSERT_EQ(lines.size(), 3u);
    const auto first = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(first["id"], 9103);
    EXPECT_TRUE(first["time"].is_string());
    EXPECT_FALSE(first.contains("text"));
    EXPECT_EQ(nlohmann::json::parse(lines[1])["text"], ToUtf8(tricky));
    EXPECT_EQ(nlohmann::json::parse(lines[2])["text"], "failed 50%");
    EXPECT_EQ(FileMode(Home() + "/logs/events.log"), 0600u);
}

TEST_F(HostTest, TracingFollowsKwaTraceAndTheSwitches) {
    const struct {
        const char* variable; // nullptr: unset
        bool enabled;
    } cases[] = {{nullptr, false}, {"", false},       {"ENV", true}, {" XY , ENV ", true},
                 {"*", true},      {"ENVX,E", false}, {"env", false}};
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
    unsetenv("KWA_TRACE");
    KwaCore::Host::SetTraceComponent("*", true);
    EXPECT_TRUE(KwaCore::LogTraceIsEnabled(L"RS")); // "*" replaces the earlier switch
    KwaCore::LogTrace(L"RS", __FILE__, __LINE__, "Relay::F", "100%\nnext");
    EXPECT_TRUE(HasTrace("100%\nnext"));
    const Strings lines = Lines(ReadFile(Home() + "/logs/trace.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" [RS] Relay::F: 100%\\nnext"), std::string::npos) << lines[0];
}

// Errors and warnings always, information only when verbose; from any thread at
// once and in order, without an event loop; observers until removed.
TEST_F(HostTest, WxMessagesAreGatedByLevelAndReachObservers) {
    Strings observed;
    KwaCore::Host::SetLogObserver(
        [&](const KwaCore::Host::LogRecord& r) { observed.push_back(ToUtf8(r.message)); });
    std::thread([] {
        LogAt(wxLOG_Error, "A::Error", "disk full 100%");
        LogAt(wxLOG_Warning, "A::Warning", "careful");
        LogAt(wxLOG_Info, "A::Info", "hidden");
    }).join();
    KwaCore::Host::SetVerbose(true);
    LogAt(wxLOG_Info, "A::Info", "shown");
    KwaCore::Host::SetLogObserver(nullptr);
    wxLogError("unseen");
    EXPECT_EQ(observed, (Strings{"disk full 100%", "careful", "shown"}));
    EXPECT_TRUE(HasLog(1, "disk full 100%"));
    EXPECT_TRUE(HasLog(5, "shown"));
    const Strings lines = Lines(ReadFile(Home() + "/logs/agent.log"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(" error A::Error: disk full 100%"), std::string::npos) << lines[0];
}

TEST_F(HostTest, SecuringAndRemovingFollowNoLink) {
    const std::string key = Home() + "/server.key", dir = Home() + "/www",
                      target = Home() + "/public.txt";
    WriteFile(key, "PRIVATE");
    WriteFile(target, "x");
    chmod(key.c_str(), 0644);
    chmod(target.c_str(), 0644);
    MakeDirs(dir, 0777);
    ASSERT_EQ(symlink(target.c_str(), (Home() + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((Home() + "/fifo").c_str(), 0666), 0);
    EXPECT_TRUE(KwaCore::SecureFileOrDirectory(ToWx(key), false));
    EXPECT_EQ(FileMode(key), 0600u);
    EXPECT_TRUE(KwaCore::SecureFileOrDirectory(ToWx(dir), true));
    EXPECT_EQ(FileMode(dir), geteuid() == 0 ? 0711u : 0700u);
    for (const char* refused : {"/link", "/missing", "/fifo"})
        EXPECT_FALSE(KwaCore::SecureFileOrDirectory(ToWx(Home() + refused), false)) << refused;
    EXPECT_EQ(FileMode(target), 0644u);

    WriteFile(dir + "/a/b/file.txt", "x");
    WriteFile(dir + "/closed/inner/deep.txt", "x");
    chmod((dir + "/closed/inner").c_str(), 0600);
    chmod((dir + "/closed").c_str(), 0000);
    ASSERT_EQ(symlink(Home().c_str(), (dir + "/a/link-to-home").c_str()), 0);
    EXPECT_TRUE(KwaCore::RemoveDirectoryW(ToWx(dir + "/"), true));
    EXPECT_FALSE(FileExists(dir));
    EXPECT_TRUE(KwaCore::RemoveDirectoryW(ToWx(dir), false)); // gone already
    EXPECT_TRUE(
        KwaCore::RemoveDirectoryW(ToWx(Home() + "/link/"), false)); // the link goes, not its target
    EXPECT_FALSE(FileExists(Home() + "/link"));
    EXPECT_FALSE(KwaCore::RemoveDirectoryW(ToWx(target), false)); // not a directory: left alone
    EXPECT_EQ(ReadFile(target), "x");
}

// The decimal id and a line feed: trailing blanks are fine; signs, leading
// blanks, other text and ids past the largest Linux pid are not.
TEST_F(HostTest, PidFilesHoldTheDecimalIdAndALineFeed) {
    const struct {
        const char* content;
        unsigned long id;
    } cases[] = {{"1234", 1234}, {"1234 \r\n\n", 1234}, {"4194304\n", 4194304},
                 {"", 0},        {"-5\n", 0},           {" 12\n", 0},
                 {"12a\n", 0},   {"12\n34\n", 0},       {"4194305\n", 0},
                 {"0\n", 0}};
    const std::string path = Home() + "/test.pid";
    for (const auto& c : cases) {
        WriteFile(path, c.content);
        EXPECT_EQ(KwaCore::ReadPidFile(ToWx(path)), c.id) << "content: " << c.content;
    }
    EXPECT_EQ(KwaCore::ReadPidFile(ToWx(Home())), 0u);
    ASSERT_EQ(mkfifo((Home() + "/fifo.pid").c_str(), 0666), 0);
    EXPECT_EQ(KwaCore::ReadPidFile(ToWx(Home() + "/fifo.pid")), 0u); // and does not block
    EXPECT_TRUE(KwaCore::WriteThisPidToFile(4321, ToWx(path)));
    EXPECT_EQ(ReadFile(path), "4321\n");
    EXPECT_FALSE(KwaCore::WriteThisPidToFile(1, ToWx(Home() + "/no/dir/x.pid")));
}

} // namespace
} // namespace kwatest
