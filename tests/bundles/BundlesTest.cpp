// The bundle methods as the agent's scripts call them: ExtractBundles,
// CreateBundle, CleanupUpdateBundles and Publish.
#include "ArchiveTestSupport.h"
#include "LuaFixture.h"

#include "../../plugins/relay/binding/ObjectHeader.h"
#include "../../plugins/relay/server/RelayServer.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using namespace kwatest;

namespace {

class BundlesTest : public LuaFixture {
protected:
    void SetUp() override {
        LuaFixture::SetUp();
        NewRelay();
        Run("host.trace('RS', true)");
        SetProgramDir(ProgramDir());
    }
    void SetProgramDir(const std::string& dir) {
        MakeDirs(dir);
        Run("host.set('app.path.bin', '" + dir + "')");
    }
    std::string ProgramDir() const { return Home() + "/agent/bin"; }
    std::string ParentDir() const { return Home() + "/agent"; }
    std::string BundleDir() const { return WorkDir() + "/bundle"; }
    std::string Temp(const std::string& name) const { return BundleDir() + "/tmp/" + name; }
    static void MakeBundle(const std::string& path,
                           const std::string& body = "add('d/a.txt', b'a')") {
        MakeDirs(path.substr(0, path.rfind('/')));
        MakePythonArchive(path, body);
    }

    // The directories ExtractBundles returns, sorted, blank-separated.
    std::string Extract() {
        Run("result = rs:ExtractBundles() or {} table.sort(result)");
        return String("table.concat(result, ' ')");
    }
};

// Only regular kwupdate_*.zip beside or above the agent count (above wins); installed
// bundles are skipped.
TEST_F(BundlesTest, BundlesBesideAndAboveTheAgentAreUnpackedInListOrder) {
    Run("host.set('app.path.bin', '" + Home() + "/missing')");
    EXPECT_EQ(TypeOf("rs:ExtractBundles()"), "nil");
    SetProgramDir(ProgramDir());
    MakeBundle(ProgramDir() + "/sub/kwupdate_s.zip"); // one level too deep
    WriteFile(ProgramDir() + "/update_2.zip", "not a bundle name");
    MakeDirs(ParentDir() + "/kwupdate_3.zip");
    MakeBundle(ProgramDir() + "/.kwupdate_4.zip");
    ASSERT_EQ(mkfifo((ProgramDir() + "/kwupdate_fifo.zip").c_str(), 0600), 0); // would block
    ASSERT_EQ(symlink("/dev/zero", (ProgramDir() + "/kwupdate_dev.zip").c_str()), 0);
    MakeBundle(Home() + "/elsewhere.zip");
    ASSERT_EQ(
        symlink((Home() + "/elsewhere.zip").c_str(), (ParentDir() + "/kwupdate_link.zip").c_str()),
        0);
    MakeBundle(ProgramDir() + "/kwupdate_b.zip", "add('from', b'program dir')");
    MakeBundle(ParentDir() + "/kwupdate_b.zip", "add('from', b'parent dir')");
    MakeBundle(ParentDir() + "/kwupdate_a.b.zip", "add('packages/p.txt', b'dotted')");
    MakeBundle(ParentDir() + "/kwupdate_1.zip");
    MakeDirs(BundleDir() + "/kwupdate_1");
    WriteFile(Temp("kwupdate_b") + "/stale.txt", "old");
    EXPECT_EQ(String("rs:ExtractBundles()[1]"), Temp("kwupdate_b"));
    EXPECT_EQ(Extract(), Temp("kwupdate_a.b") + " " + Temp("kwupdate_b") + " " +
                             Temp("kwupdate_b") + " " + Temp("kwupdate_link"));
    EXPECT_EQ(ReadFile(Temp("kwupdate_b") + "/from"), "parent dir");
    EXPECT_FALSE(FileExists(Temp("kwupdate_b") + "/stale.txt"));
    EXPECT_EQ(ReadFile(Temp("kwupdate_a.b") + "/packages/p.txt"), "dotted");
    EXPECT_TRUE(HasTrace(" extracting packages/p.txt"));
    EXPECT_TRUE(FileExists(ProgramDir() + "/kwupdate_b.zip"));
    // Cleanup drops the temp tree and records the bundles as installed on request only.
    Run("rs:CleanupUpdateBundles(false)");
    EXPECT_FALSE(DirExists(BundleDir() + "/tmp") || DirExists(BundleDir() + "/kwupdate_b"));
    EXPECT_EQ(Integer("#rs:ExtractBundles()"), 4);
    Run("rs:CleanupUpdateBundles(true)");
    EXPECT_FALSE(DirExists(BundleDir() + "/tmp") || FileExists(BundleDir() + "/kwupdate_b/from"));
    EXPECT_TRUE(DirExists(BundleDir() + "/kwupdate_b") &&
                DirExists(BundleDir() + "/kwupdate_link"));
    SetProgramDir("/"); // its own parent, without a wx assertion
    Extract();
}

// A failure raises and removes every temp directory of the call, nothing else.
TEST_F(BundlesTest, FailuresRaiseAndLeaveNoTempDirectory) {
    MakeBundle(ProgramDir() + "/kwupdate_1.zip");
    MakeBundle(ProgramDir() + "/kwupdate_2.zip");
    MakeDirs(BundleDir() + "/kwupdate_0"); // an installed marker stays
    WriteFile(ParentDir() + "/kwupdate_3.zip", "PK\x03\x04 this is not an archive");
    std::string error = Try("rs:ExtractBundles()");
    EXPECT_NE(error.find("Failed bundle extraction: " + Temp("kwupdate_3")), std::string::npos);
    ASSERT_EQ(LogMessages().size(), 1u);
    EXPECT_EQ(LogMessages()[0].message.ToStdString().rfind(
                  "Cannot unpack " + ParentDir() + "/kwupdate_3.zip: not a zip archive", 0),
              0u);
    EXPECT_FALSE(DirExists(BundleDir() + "/tmp"));
    EXPECT_TRUE(DirExists(BundleDir() + "/kwupdate_0"));

    Run("host.shutdown(true)");
    error = Try("rs:ExtractBundles()");
    Run("host.shutdown(false)");
    EXPECT_NE(error.find("Failed bundle extraction: " + Temp("kwupdate_")), std::string::npos);
    EXPECT_FALSE(DirExists(BundleDir() + "/tmp"));

    RemoveTree(BundleDir());
    WriteFile(BundleDir(), "a file");
    error = Try("rs:ExtractBundles()");
    EXPECT_NE(error.find("Failed to create bundle directory"), std::string::npos) << error;
}

// Bytes that are not UTF-8 (home, bundle, log name) pass through unchanged.
TEST_F(BundlesTest, NamesThatAreNotUtf8KeepTheirBytes) {
    for (const auto& [name, bundle] : std::map<std::string, std::string>{
             {"h\xff", "kwupdate_1"},
             {"h", "kwupdate_\xff\xc3"},
             {"\xc3\xa9", "kwupdate_\xed\xa0\x80\xf4\x90\x80\x80"}}) {
        SCOPED_TRACE(name + " " + bundle);
        const std::string home = Home() + "/" + name, work = home + "/plugins/relay";
        setenv("KWA_HOME", home.c_str(), 1);
        ResetLua();
        NewRelay();
        SetProgramDir(Home() + "/bin-" + bundle);
        MakeBundle(Home() + "/bin-" + bundle + "/" + bundle + ".zip");
        EXPECT_EQ(String("rs:GetInstallDir()"), work + "/www");
        EXPECT_EQ(Extract(), work + "/bundle/tmp/" + bundle);
        EXPECT_EQ(ReadFile(work + "/bundle/tmp/" + bundle + "/d/a.txt"), "a");
        EXPECT_FALSE(DirExists("bundle")) << "nothing in the current directory";
        WriteFile(work + "/logs/" + bundle + ".log", "log");
        Run("rs:RotateLogFile('" + work + "/logs/" + bundle + ".log', 1)");
        EXPECT_EQ(ReadFile(work + "/logs/" + bundle + "-01.log"), "log");
    }
    // The C library decodes UTF-8 of up to 31 bits: such text is bytes, not beyond Unicode.
    Run("rs:UpdateConfig{tlsProtocols = '\\247\\191\\191\\191'} "
        "rs:RotateLogFile('\\248\\136\\128\\128\\128', 1)");
}

// A plain interpreter loads the sanitized module only with the runtime preloaded.
#ifdef __SANITIZE_ADDRESS__
const std::string SanitizerPreload =
    "LD_PRELOAD=$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 ";
#else
const std::string SanitizerPreload;
#endif

// Publish, run as the web root's owner, opens every directory and file to the web
// server's workers and never follows a link.
TEST_F(BundlesTest, PublishOpensTheWebRootAndNeverFollowsLinks) {
    TempDir outside("kwa-outside");
    const std::string www = WebRoot(),
                      publish =
                          (geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups "
                                          : "") +
                          std::string("lua5.2 -e ") +
                          ShellQuote("package.cpath = '" + BinDir() +
                                     "/?.so;' .. package.cpath require 'kwacore' "
                                     "require 'relay' assert(SLB.RelayServer():Publish())");
    for (const unsigned rootMode : {0000u, 0300u}) {
        SCOPED_TRACE(rootMode);
        RemoveTree(www);
        for (const char* file : {"/a/f.bin", "/b/g.bin", "/c/d/h.bin", "/.hidden"})
            WriteFile(www + file, "f");
        WriteFile(outside / "dir/inner", "i");
        WriteFile(outside / "file", "f");
        ASSERT_EQ(symlink((outside / "file").c_str(), (www + "/c/to-file").c_str()), 0);
        ASSERT_EQ(symlink((outside / "dir").c_str(), (www + "/c/to-dir").c_str()), 0);
        ASSERT_EQ(symlink("..", (www + "/c/d/up").c_str()), 0);
        ASSERT_EQ(symlink("self", (www + "/c/self").c_str()), 0);
        RunCommand("chmod -R go= " + ShellQuote(www) + " " + ShellQuote(outside.path()));
        for (const auto& [dir, mode] : {std::pair{"/a", 0u}, {"/b", 0300u}, {"", rootMode}})
            chmod((www + dir).c_str(), mode);
        if (geteuid() == 0)
            RunCommand("chown -R 65534:65534 " + ShellQuote(www) + " " +
                       ShellQuote(outside.path()));
        const CommandResult published =
            RunCommand("KWA_HOME=" + ShellQuote(Home()) + " " + SanitizerPreload + publish);
        EXPECT_EQ(published.exitCode, 0) << published.output;
        for (const char* dir : {"", "/a", "/b", "/c", "/c/d", "/cache"})
            EXPECT_EQ(FileMode(www + dir), 0711u) << dir;
        for (const char* file : {"/a/f.bin", "/b/g.bin", "/c/d/h.bin", "/.hidden"})
            EXPECT_EQ(FileMode(www + file), 0644u) << file;
        for (const char* file : {"dir", "dir/inner", "file"})
            EXPECT_EQ(FileMode(outside / file) & 077, 0u) << file;
    }
}

// Random trees of awkward names come back identical, but for "bundle*", "upload*" and
// "kwa*" at the top, modes capped; a name unpacking would refuse fails the bundle.
TEST_F(BundlesTest, WhatCreateBundleMakesExtractBundlesUnpacksIdentically) {
    // A creation while another holds the object's lock is turned away at once.
    lua_getglobal(L, "rs");
    auto* header = static_cast<Relay::Binding::ObjectHeader*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    const size_t align = alignof(Relay::CRelayServer);
    auto& lock = reinterpret_cast<Relay::CRelayServer*>(
                     reinterpret_cast<char*>(header) + (sizeof *header + align - 1) / align * align)
                     ->UpdateLock;
    ASSERT_EQ(lock.Lock(), wxMUTEX_NO_ERROR);
    Run("ok, status, text = rs:CreateBundle()");
    EXPECT_EQ(String("tostring(ok) .. status .. text"), "false503Busy with update");
    lock.Unlock();

    std::mt19937 random(20261206);
    const std::string parts[] = {
        "a b",  " lead",    "caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", "Case", "case", "x.txt",
        ".dot", "#%&'()[]", "\xff\xfe",    std::string(180, 'n')};
    auto part = [&] { return parts[random() % std::size(parts)]; };
    const mode_t fileModes[] = {0600, 0644, 0755, 0400, 0666}, dirModes[] = {0700, 0755, 0711};
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        RemoveTree(WebRoot());
        std::map<std::string, std::pair<std::string, mode_t>> entries; // content, mode
        for (int i = 0; i < 30; ++i) {
            std::string path = WebRoot();
            for (int depth = random() % (round == 3 ? 14 : 4); depth > 0; --depth)
                path += "/" + part();
            MakeDirs(path);
            path += "/" + part() + "~" + std::to_string(i);
            if (random() % 6 == 0) {
                MakeDirs(path);
                entries[path] = {"/", dirModes[random() % 3]};
            } else {
                entries[path] = {random() % 3 == 0 ? "" : RandomContent(random() % 9000, i),
                                 fileModes[random() % 5]};
                WriteFile(path, entries[path].first);
            }
        }
        for (const auto& [path, entry] : entries)
            chmod(path.c_str(), entry.second);
        WriteFile(WebRoot() + "/packages/kwa_x", "kept: the prefixes count at the top only");
        const std::vector<std::string> expected = ListTree(WebRoot());
        for (const char* left : {"upload/u", "bundle/b", "bundles.txt", "uploads/x", "kwa_notes"})
            WriteFile(WebRoot() + "/" + left, "left out");
        if (round == 2)
            WriteFile(WebRoot() + "/a/back\\slash", "refused");

        Run("ok, status, text = rs:CreateBundle()");
        const std::string name = String("text");
        if (round == 2) {
            EXPECT_EQ(Integer("status"), 500);
            EXPECT_NE(RunCommand("ls " + ShellQuote(WorkDir()) + "/kwupdate_*").exitCode, 0);
            EXPECT_NE(LogMessages().back().message.ToStdString().find("entry \"a/back\\slash\""),
                      std::string::npos);
            continue;
        }
        ASSERT_TRUE(Bool("ok")) << name;
        EXPECT_TRUE(std::regex_match(name, std::regex("kwupdate_[0-9]{10,}"))) << name;
        ASSERT_EQ(rename((WorkDir() + "/" + name + ".zip").c_str(),
                         (ProgramDir() + "/" + name + ".zip").c_str()),
                  0);
        ASSERT_EQ(Extract(), Temp(name));
        EXPECT_EQ(ListTree(Temp(name)), expected);
        for (const auto& [path, entry] : entries) {
            const std::string copy = Temp(name) + path.substr(WebRoot().size());
            const bool dir = entry.first == "/";
            EXPECT_EQ(FileMode(copy),
                      dir ? 0700 | (entry.second & 0011) : 0600 | (entry.second & 0044))
                << copy;
            EXPECT_TRUE(dir || ReadFile(copy) == entry.first) << copy;
        }
        RemoveTree(BundleDir());
        RemoveTree(ProgramDir() + "/" + name + ".zip");
    }
}

} // namespace
