// Writing the configuration file: the bytes on disk, the replacement of an
// existing file, and each failure with its event 3006.
#include "WebServerTest.h"

#include <cerrno>

namespace kwatest {
namespace {

std::string ErrnoText(int error) {
    return std::to_string(error) + " (" + ToUtf8(KwaCore::ErrnoToString(error)) + ")";
}

TEST_F(WebServerTest, WritesTheTextAsUtf8AndReplacesAnEarlierFile) {
    Relay::CRelayServer& s = Server();
    s.InstallDir += L"/caf\u00e9";
    const std::string config = ToUtf8(s.WebServerConfigPath);
    const std::string temp = WorkDir() + "/nginx.tmp";

    // A temporary file left by an earlier run, longer than the new text.
    WriteFile(temp, std::string(100000, 'x'));
    ASSERT_TRUE(s.WriteDefaultWebServerConfig(0, true)); // no configuration yet: moved into place
    const std::string first = ReadFile(config);
    EXPECT_EQ(first, ToUtf8(s.BuildDefaultWebServerConfig(0, true)));
    EXPECT_NE(first.find("/caf\xc3\xa9\";\n"), std::string::npos);
    EXPECT_NE(first.compare(0, 3, "\xef\xbb\xbf"), 0) << "no byte-order mark";
    EXPECT_FALSE(FileExists(temp));

    ASSERT_TRUE(s.WriteDefaultWebServerConfig(2, true)); // replaces the file in force
    EXPECT_EQ(ReadFile(config), ToUtf8(s.BuildDefaultWebServerConfig(2, true)));
    EXPECT_FALSE(FileExists(temp));
    EXPECT_TRUE(EventsWithId(3006).empty());
    EXPECT_TRUE(HasTrace("FeedSyncPort Https is 4122"));
    EXPECT_TRUE(HasTrace("FeedSyncPort Http is 0"));
}

// A configuration path without an extension: the temporary file gets one, and the
// event names it.
TEST_F(WebServerTest, CreationInAMissingDirectoryNamesTheTemporaryFile) {
    Relay::CRelayServer& s = Server();
    s.WebServerConfigPath = wxString::FromUTF8((WorkDir() + "/missing/nginx").c_str());
    EXPECT_FALSE(s.WriteDefaultWebServerConfig(0, true));
    EXPECT_EQ(EventTexts(3006),
              std::vector<std::string>{"create|" + WorkDir() + "/missing/nginx.tmp|" +
                                       ErrnoText(ENOENT)});
}

TEST_F(WebServerTest, RenameOntoADirectoryFailsAndKeepsTheTemporaryFile) {
    Relay::CRelayServer& s = Server();
    const std::string config = ToUtf8(s.WebServerConfigPath);
    MakeDirs(config + "/inside");
    EXPECT_FALSE(s.WriteDefaultWebServerConfig(0, true));
    EXPECT_EQ(EventTexts(3006), std::vector<std::string>{"rename|" + WorkDir() + "/nginx.tmp -> " +
                                                         config + "|" + ErrnoText(EISDIR)});
    EXPECT_EQ(ReadFile(WorkDir() + "/nginx.tmp"), ToUtf8(s.BuildDefaultWebServerConfig(0, true)));
}

TEST_F(WebServerTest, ReplacementThatCannotHappenKeepsTheFileInForce) {
    Relay::CRelayServer& s = Server();
    ASSERT_TRUE(s.WriteDefaultWebServerConfig(0, true));
    const std::string config = ToUtf8(s.WebServerConfigPath);
    const std::string before = ReadFile(config);
    // An immutable file cannot be renamed over, not even by root.
    if (RunCommand("chattr +i " + ShellQuote(config)).exitCode != 0)
        GTEST_SKIP() << "the file system cannot make a file immutable";
    struct Undo {
        std::string path;
        ~Undo() { RunCommand("chattr -i " + ShellQuote(path)); }
    } undo{config};
    EXPECT_FALSE(s.WriteDefaultWebServerConfig(2, true));
    EXPECT_EQ(EventTexts(3006), std::vector<std::string>{"!ReplaceFile|" + WorkDir() +
                                                         "/nginx.tmp -> " + config + "|"});
    EXPECT_EQ(ReadFile(config), before);
    EXPECT_EQ(ReadFile(WorkDir() + "/nginx.tmp"), ToUtf8(s.BuildDefaultWebServerConfig(2, true)));
}

TEST_F(WebServerTest, TextWithoutUtf8FormIsAWriteFailureAndTheOldFileStays) {
    Relay::CRelayServer& s = Server();
    ASSERT_TRUE(s.WriteDefaultWebServerConfig(0, true));
    const std::string before = ReadFile(ToUtf8(s.WebServerConfigPath));
    for (const wchar_t bad : {wchar_t(0xD800), wchar_t(0x110000)}) {
        KwaCore::Host::ClearRecords();
        s.TlsProtocols = wxString(L"TLSv1.2 ") + wxUniChar(bad);
        EXPECT_FALSE(s.WriteDefaultWebServerConfig(0, true));
        EXPECT_EQ(EventTexts(3006), std::vector<std::string>{"write|" + WorkDir() + "/nginx.tmp|" +
                                                             ErrnoText(EILSEQ)});
        EXPECT_EQ(ReadFile(ToUtf8(s.WebServerConfigPath)), before);
    }
}

} // namespace
} // namespace kwatest
