// The bundle methods as the agent's scripts call them: ExtractBundles,
// CreateBundle, CleanupUpdateBundles and Publish.
#include "ArchiveTestSupport.h"
#include "LuaFixture.h"

#include "../../plugins/relay/binding/ObjectHeader.h"
#include "../../plugins/relay/server/RelayServer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace kwatest;

namespace {

// Names in a directory that match prefix and suffix.
std::vector<std::string> Matching(const std::string& dir, const std::string& prefix,
                                  const std::string& suffix) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.rfind(prefix, 0) == 0 && name.size() >= suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

// Lua errors raised by a C function carry the caller's position first.
bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class BundlesTest : public LuaFixture {
protected:
    void SetUp() override {
        LuaFixture::SetUp();
        NewRelay();
        Run("host.trace('RS', true)");
        SetProgramDir(Home() + "/agent/bin");
    }

    void SetProgramDir(const std::string& dir) {
        MakeDirs(dir);
        Run("host.set('app.path.bin', '" + dir + "')");
    }
    std::string ProgramDir() const { return Home() + "/agent/bin"; }
    std::string ParentDir() const { return Home() + "/agent"; }
    std::string BundleDir() const { return WorkDir() + "/bundle"; }
    std::string Temp(const std::string& name) const { return BundleDir() + "/tmp/" + name; }

    // A bundle holding the files, made with Info-ZIP zip.
    void MakeBundle(const std::string& path, const std::map<std::string, std::string>& files) {
        TempDir staging("kwa-bundle");
        MakeDirs(path.substr(0, path.rfind('/')));
        for (const auto& [name, content] : files)
            WriteFile(staging / name, content);
        const CommandResult made = RunCommand("cd " + ShellQuote(staging.path()) +
                                              " && zip -q -r " + ShellQuote(path) + " .");
        ASSERT_EQ(made.exitCode, 0) << made.output;
    }

    // Runs ExtractBundles; the result table as a list, or the error text.
    std::vector<std::string> Extract(std::string* error = nullptr) {
        std::vector<std::string> dirs;
        const std::string failure = Try("result = rs:ExtractBundles()");
        if (error != nullptr)
            *error = failure;
        EXPECT_TRUE(error != nullptr || failure.empty()) << failure;
        if (!failure.empty() || TypeOf("result") != "table")
            return dirs;
        for (long long i = 1; i <= Integer("#result"); ++i)
            dirs.push_back(String("result[" + std::to_string(i) + "]"));
        return dirs;
    }
};

// ---------------------------------------------------------------------------
// ExtractBundles
// ---------------------------------------------------------------------------

TEST_F(BundlesTest, NothingToExtractGivesNil) {
    Run("host.set('app.path.bin', '" + Home() + "/missing')");
    EXPECT_EQ(TypeOf("rs:ExtractBundles()"), "nil");

    SetProgramDir(ProgramDir());
    MakeBundle(ProgramDir() + "/sub/kwupdate_1.zip", {{"a", "a"}}); // one level too deep
    WriteFile(ProgramDir() + "/update_2.zip", "not a bundle name");
    MakeDirs(ProgramDir() + "/kwupdate_3.zip");                  // a directory
    MakeBundle(ProgramDir() + "/.kwupdate_4.zip", {{"a", "a"}}); // cannot match the pattern
    EXPECT_EQ(TypeOf("rs:ExtractBundles()"), "nil");
    EXPECT_FALSE(DirExists(BundleDir()));
}

TEST_F(BundlesTest, BundlesBesideAndAboveTheAgentAreUnpackedInListOrder) {
    MakeBundle(ProgramDir() + "/kwupdate_b.zip", {{"from", "program dir"}});
    MakeBundle(ParentDir() + "/kwupdate_b.zip", {{"from", "parent dir"}});
    MakeBundle(ParentDir() + "/kwupdate_a.b.zip", {{"packages/p.txt", "dotted"}});

    const std::vector<std::string> dirs = Extract();
    ASSERT_EQ(dirs.size(), 3u);
    EXPECT_EQ(dirs[0], Temp("kwupdate_b")); // the program directory comes first
    const std::set<std::string> fromParent(dirs.begin() + 1, dirs.end());
    EXPECT_EQ(fromParent, (std::set<std::string>{Temp("kwupdate_b"), Temp("kwupdate_a.b")}));
    // The same name twice: the copy above the agent wins, after a removal.
    EXPECT_EQ(ReadFile(Temp("kwupdate_b") + "/from"), "parent dir");
    EXPECT_EQ(ReadFile(Temp("kwupdate_a.b") + "/packages/p.txt"), "dotted");
    EXPECT_TRUE(HasTrace("UpdateBundle[0]:" + ProgramDir() + "/kwupdate_b.zip"));
    EXPECT_TRUE(HasTrace("UpdateBundle[0]:Extracting..."));
    EXPECT_TRUE(HasTrace("UpdateBundle[1]:Removing old temp files") ||
                HasTrace("UpdateBundle[2]:Removing old temp files"));
    EXPECT_TRUE(HasTrace(" extracting packages/p.txt"));
    // The archives themselves stay where they were.
    EXPECT_TRUE(FileExists(ProgramDir() + "/kwupdate_b.zip"));
}

TEST_F(BundlesTest, InstalledBundlesAreSkippedAndStaleTempFilesGo) {
    MakeBundle(ProgramDir() + "/kwupdate_1.zip", {{"new.txt", "new"}});
    MakeDirs(BundleDir() + "/kwupdate_1");
    EXPECT_EQ(TypeOf("rs:ExtractBundles()"), "table");
    EXPECT_TRUE(Extract().empty());
    EXPECT_TRUE(HasTrace("UpdateBundle[0]:Already installed"));

    RemoveTree(BundleDir() + "/kwupdate_1");
    WriteFile(Temp("kwupdate_1") + "/stale.txt", "old");
    EXPECT_EQ(Extract(), std::vector<std::string>{Temp("kwupdate_1")});
    EXPECT_TRUE(HasTrace("UpdateBundle[0]:Removing old temp files"));
    EXPECT_FALSE(FileExists(Temp("kwupdate_1") + "/stale.txt"));
    EXPECT_EQ(ReadFile(Temp("kwupdate_1") + "/new.txt"), "new");
}

TEST_F(BundlesTest, AFailingArchiveRemovesEveryTempDirectoryOfTheCall) {
    MakeBundle(ProgramDir() + "/kwupdate_1.zip", {{"one", "1"}});
    MakeBundle(ProgramDir() + "/kwupdate_2.zip", {{"two", "2"}});
    WriteFile(ParentDir() + "/kwupdate_3.zip", "PK\x03\x04 this is not an archive");
    MakeDirs(BundleDir() + "/kwupdate_0"); // an installed marker stays

    std::string error;
    Extract(&error);
    EXPECT_TRUE(EndsWith(error, "Failed bundle extraction: " + Temp("kwupdate_3"))) << error;
    // The reason is in the agent log besides, one error line naming the archive.
    ASSERT_EQ(LogMessages().size(), 1u);
    EXPECT_EQ(LogMessages()[0].message.ToStdString().rfind(
                  "Cannot unpack " + ParentDir() + "/kwupdate_3.zip: not a zip archive", 0),
              0u);
    EXPECT_TRUE(HasTrace("UpdateBundle[2]:Failed..."));
    EXPECT_FALSE(DirExists(BundleDir() + "/tmp"));
    EXPECT_TRUE(DirExists(BundleDir() + "/kwupdate_0"));
    EXPECT_TRUE(FileExists(ParentDir() + "/kwupdate_3.zip"));
}

TEST_F(BundlesTest, ShutdownDuringUnpackingFailsTheCall) {
    MakeBundle(ProgramDir() + "/kwupdate_s.zip", {{"a", "a"}, {"b", "b"}});
    Run("host.shutdown(true)");
    std::string error;
    Extract(&error);
    EXPECT_TRUE(EndsWith(error, "Failed bundle extraction: " + Temp("kwupdate_s"))) << error;
    EXPECT_FALSE(DirExists(BundleDir() + "/tmp"));
}

TEST_F(BundlesTest, ABundleDirectoryThatCannotBeMadeRaises) {
    MakeBundle(ProgramDir() + "/kwupdate_1.zip", {{"a", "a"}});
    WriteFile(BundleDir(), "a file where the bundle directory belongs");
    std::string error;
    Extract(&error);
    EXPECT_TRUE(EndsWith(error, "Failed to create bundle directory")) << error;
}

// ---------------------------------------------------------------------------
// CreateBundle
// ---------------------------------------------------------------------------

TEST_F(BundlesTest, ShutdownDuringPackingLeavesNoArchive) {
    WriteFile(WebRoot() + "/packages/a.txt", "a");
    Run("host.shutdown(true)");
    Run("ok, status, text = rs:CreateBundle()");
    EXPECT_FALSE(Bool("ok"));
    EXPECT_EQ(Integer("status"), 500);
    EXPECT_EQ(String("text"), "Failed to create");
    EXPECT_TRUE(HasTrace("CreateBundle() Failed"));
    EXPECT_TRUE(Matching(WorkDir(), "kwupdate_", "").empty());
}

TEST_F(BundlesTest, CreateBundleWithoutAnObjectRaisesAfterItsTrace) {
    const std::string error = Try("SLB.RelayServer.CreateBundle()");
    EXPECT_NE(error.find("RelayServer object expected"), std::string::npos) << error;
    EXPECT_TRUE(HasTrace("RelayServer::CreateBundle()"));
}

// Two threads create a bundle on one object: the second is turned away at once.
TEST_F(BundlesTest, ASecondCreationOnTheSameObjectIsBusy) {
    for (int i = 0; i < 4; ++i)
        WriteFile(WebRoot() + "/packages/big" + std::to_string(i) + ".txt",
                  TextContent(12 << 20, i));

    // A second Lua state reaches the same object through a pointer userdata.
    using namespace Relay::Binding;
    Run("ud = rs");
    lua_getglobal(L, "ud");
    auto* header = static_cast<ObjectHeader*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    const size_t offset = (sizeof(ObjectHeader) + alignof(Relay::CRelayServer) - 1) /
                          alignof(Relay::CRelayServer) * alignof(Relay::CRelayServer);
    void* object = reinterpret_cast<char*>(header) + offset;

    lua_State* other = luaL_newstate();
    luaL_openlibs(other);
    const std::string setup =
        "package.cpath = '" + BinDir() + "/?.so;' .. package.cpath; require 'relay'";
    ASSERT_EQ(luaL_dostring(other, setup.c_str()), 0);
    auto* pointer =
        static_cast<ObjectHeader*>(lua_newuserdata(other, sizeof(ObjectHeader) + sizeof(void*)));
    *pointer = ObjectHeader{KindPointer, header->className, header->unpack, header->parents};
    std::memcpy(pointer + 1, &object, sizeof object);
    luaL_getmetatable(other, "SLB.RelayServer");
    lua_setmetatable(other, -2);
    lua_setglobal(other, "same");

    std::string firstError;
    std::thread first([&] { firstError = Try("ok1, status1, text1 = rs:CreateBundle()"); });
    const bool started =
        WaitUntil([&] { return !Matching(WorkDir(), "kwupdate_", ".part").empty(); });
    EXPECT_TRUE(started);
    ASSERT_EQ(luaL_dostring(other, "ok2, status2, text2 = SLB.RelayServer.CreateBundle(same)"), 0);
    first.join();
    lua_getglobal(other, "status2");
    EXPECT_EQ(lua_tointeger(other, -1), 503);
    lua_getglobal(other, "text2");
    EXPECT_STREQ(lua_tostring(other, -1), "Busy with update");
    lua_getglobal(other, "ok2");
    EXPECT_FALSE(lua_toboolean(other, -1));
    lua_close(other);

    EXPECT_EQ(firstError, "");
    EXPECT_EQ(Integer("status1"), 0);
    EXPECT_TRUE(HasTrace("CreateBundle() Busy with update"));
    EXPECT_EQ(Matching(WorkDir(), "kwupdate_", "").size(), 1u);
}

// ---------------------------------------------------------------------------
// CleanupUpdateBundles
// ---------------------------------------------------------------------------

TEST_F(BundlesTest, CleanupRecordsInstalledBundlesOnRequest) {
    Run("rs:CleanupUpdateBundles(true)");
    EXPECT_FALSE(HasTrace("CleanupUpdateBundles()"));
    EXPECT_FALSE(DirExists(BundleDir()));

    for (const bool flag : {false, true}) {
        SCOPED_TRACE(flag);
        WriteFile(Temp("kwupdate_1") + "/content.txt", "1");
        MakeDirs(Temp("kwupdate_2"));
        WriteFile(Temp("plain-file"), "no marker for me");
        Run(std::string("rs:CleanupUpdateBundles(") + (flag ? "true" : "false") + ")");
        EXPECT_TRUE(HasTrace("CleanupUpdateBundles()"));
        EXPECT_FALSE(DirExists(BundleDir() + "/tmp"));
        EXPECT_EQ(DirExists(BundleDir() + "/kwupdate_1"), flag);
        EXPECT_EQ(DirExists(BundleDir() + "/kwupdate_2"), flag);
        EXPECT_FALSE(FileExists(BundleDir() + "/plain-file"));
    }
    EXPECT_TRUE(HasTrace("CleanupUpdateBundles: kwupdate_1"));
    EXPECT_FALSE(FileExists(BundleDir() + "/kwupdate_1/content.txt"));
}

// ---------------------------------------------------------------------------
// Publish
// ---------------------------------------------------------------------------

TEST_F(BundlesTest, PublishOpensTheWebRootForReading) {
    WriteFile(WebRoot() + "/packages/a/b.bin", "b");
    WriteFile(WebRoot() + "/.hidden", "h");
    WriteFile(WebRoot() + "/.dir/inner", "i");
    for (const char* path : {"", "/packages", "/packages/a", "/.dir"})
        chmod((WebRoot() + path).c_str(), 0700);
    for (const char* path : {"/packages/a/b.bin", "/.hidden", "/.dir/inner"})
        chmod((WebRoot() + path).c_str(), 0600);

    EXPECT_TRUE(Bool("rs:Publish()"));
    for (const char* path : {"", "/packages", "/packages/a", "/.dir", "/cache"})
        EXPECT_EQ(FileMode(WebRoot() + path), 0711u) << path;
    for (const char* path : {"/packages/a/b.bin", "/.hidden", "/.dir/inner"})
        EXPECT_EQ(FileMode(WebRoot() + path), 0644u) << path;
    EXPECT_TRUE(HasTrace("PublishPackages()"));
    size_t count = 0;
    for (const auto& trace : Traces())
        if (ToUtf8(trace.message) == "PublishFiles() - " + WebRoot() + "/packages/a/b.bin")
            ++count;
    EXPECT_EQ(count, 1u);
    EXPECT_TRUE(HasTrace("PublishFiles() - " + WebRoot() + "/.hidden"));
    EXPECT_FALSE(HasTrace("PublishFiles() - " + WebRoot() + "//packages"));
}

TEST_F(BundlesTest, PublishNeverFollowsLinks) {
    TempDir outside("kwa-outside");
    WriteFile(outside / "file", "f");
    MakeDirs(outside / "dir");
    WriteFile(outside / "dir/inner", "i");
    chmod((outside / "file").c_str(), 0600);
    chmod((outside / "dir").c_str(), 0700);
    chmod((outside / "dir/inner").c_str(), 0600);
    MakeDirs(WebRoot() + "/packages/loop");
    ASSERT_EQ(symlink((outside / "file").c_str(), (WebRoot() + "/packages/to-file").c_str()), 0);
    ASSERT_EQ(symlink((outside / "dir").c_str(), (WebRoot() + "/packages/to-dir").c_str()), 0);
    ASSERT_EQ(symlink("..", (WebRoot() + "/packages/loop/up").c_str()), 0);
    ASSERT_EQ(symlink("self", (WebRoot() + "/packages/self").c_str()), 0);

    EXPECT_TRUE(Bool("rs:Publish()"));
    EXPECT_EQ(FileMode(outside / "file"), 0600u);
    EXPECT_EQ(FileMode(outside / "dir"), 0700u);
    EXPECT_EQ(FileMode(outside / "dir/inner"), 0600u);
    EXPECT_EQ(FileMode(WebRoot() + "/packages/loop"), 0711u);
}

// ---------------------------------------------------------------------------
// What CreateBundle makes, ExtractBundles takes back
// ---------------------------------------------------------------------------

// Random trees of awkward names (blanks, non-ASCII, long names, deep nesting,
// empty files and directories, names differing only in case) come back
// identical, but for what begins with "bundle", "upload" or "kwa" at the top,
// with modes capped as unpacking caps them. A name the unpacking would refuse
// fails the bundle.
TEST_F(BundlesTest, WhatCreateBundleMakesExtractBundlesUnpacksIdentically) {
    std::mt19937 random(20261206);
    const char* const parts[] = {"a b",
                                 " lead",
                                 "caf\xc3\xa9",
                                 "\xe6\x97\xa5\xe6\x9c\xac",
                                 "Case",
                                 "case",
                                 "x.txt",
                                 ".dot",
                                 "#%&'()[]",
                                 "\xff\xfe",
                                 ""};
    auto part = [&] { // the empty one stands for a long name
        const std::string chosen = parts[random() % std::size(parts)];
        return chosen.empty() ? std::string(180, 'n') : chosen;
    };
    const mode_t fileModes[] = {0600, 0644, 0755, 0400, 0666}, dirModes[] = {0700, 0755, 0711};
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        RemoveTree(WebRoot());
        RemoveTree(ProgramDir());
        SetProgramDir(ProgramDir());
        std::map<std::string, std::pair<std::string, mode_t>> files;
        std::map<std::string, mode_t> dirs;
        for (int i = 0; i < 30; ++i) {
            std::string dir = WebRoot();
            for (int depth = random() % (round == 3 ? 14 : 4); depth > 0; --depth)
                dir += "/" + part();
            MakeDirs(dir);
            const std::string name = part() + "~" + std::to_string(i);
            if (random() % 6 == 0) {
                dirs[dir + "/" + name] = dirModes[random() % 3];
                MakeDirs(dir + "/" + name);
            } else {
                const std::string content =
                    random() % 3 == 0 ? "" : RandomContent(random() % 9000, i);
                files[dir + "/" + name] = {content, fileModes[random() % 5]};
                WriteFile(dir + "/" + name, content);
            }
        }
        for (const auto& [path, dirMode] : dirs)
            chmod(path.c_str(), dirMode);
        for (const auto& [path, file] : files)
            chmod(path.c_str(), file.second);
        WriteFile(WebRoot() + "/packages/kwa_x", "kept: the prefixes count at the top only");
        WriteFile(WebRoot() + "/packages/bundle", "kept");
        const std::vector<std::string> expected = ListTree(WebRoot());
        for (const char* left :
             {"upload/u", "bundle/b", "bundles.txt", "uploads/x", "kwa_notes", "kwa_x"})
            WriteFile(WebRoot() + "/" + left, "left out");
        if (round == 2)
            WriteFile(WebRoot() + "/a/back\\slash", "refused");

        Run("ok, status, text = rs:CreateBundle()");
        const std::string name = String("text"), archive = WorkDir() + "/" + name + ".zip";
        if (round == 2) {
            EXPECT_EQ(Integer("status"), 500);
            EXPECT_TRUE(Matching(WorkDir(), "kwupdate_", "").empty());
            EXPECT_EQ(LogMessages().back().message.ToStdString().rfind(
                          "Cannot pack " + WebRoot() + " into " + WorkDir() + "/kwupdate_", 0),
                      0u);
            EXPECT_NE(LogMessages().back().message.ToStdString().find("entry \"a/back\\slash\""),
                      std::string::npos);
            continue;
        }
        ASSERT_TRUE(Bool("ok")) << name;
        EXPECT_TRUE(std::regex_match(name, std::regex("kwupdate_[0-9]{10,}"))) << name;
        for (const std::string& trace :
             {"CreateBundle() " + name, std::string(" ignoring kwa_x"),
              std::string(" bundling packages/kwa_x"), std::string("CreateBundle() Success")})
            EXPECT_TRUE(HasTrace(trace)) << trace;
        ASSERT_EQ(RunCommand("mv " + ShellQuote(archive) + " " + ShellQuote(ProgramDir())).exitCode,
                  0);
        ASSERT_EQ(Extract(), std::vector<std::string>{Temp(name)});
        EXPECT_EQ(ListTree(Temp(name)), expected);
        for (const auto& [path, file] : files) {
            const std::string copy = Temp(name) + path.substr(WebRoot().size());
            EXPECT_EQ(ReadFile(copy), file.first) << copy;
            EXPECT_EQ(FileMode(copy), 0600 | (file.second & 0044)) << copy;
        }
        for (const auto& [path, dirMode] : dirs)
            EXPECT_EQ(FileMode(Temp(name) + path.substr(WebRoot().size())),
                      0700 | (dirMode & 0011));
        RemoveTree(BundleDir());
    }
}

} // namespace
