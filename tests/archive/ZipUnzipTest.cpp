// KwaCore::Zip and KwaCore::Unzip, driven directly.
#include "ArchiveTestSupport.h"

#include <KwaCoreHost.h>
#include <gtest/gtest.h>
#include <wx/filename.h>
#include <wx/zipstrm.h>

#include <fstream>
#include <map>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace kwatest;

namespace {

bool Pack(const std::string& archive, const std::string& source,
          KwaCore::ZipCallback callback = nullptr, void* context = nullptr) {
    return KwaCore::Zip(wxFileName(archive), wxFileName::DirName(source), callback, context);
}

bool Unpack(const std::string& archive, const std::string& target,
            KwaCore::UnzipCallback callback = nullptr, void* context = nullptr) {
    return KwaCore::Unzip(wxFileName(archive), wxFileName::DirName(target), callback, context);
}

// "method name" lines, as Python's zipfile reads the archive.
std::string Methods(const std::string& archive) {
    return RunCommand(Python() +
                      " -c 'import sys, zipfile\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
                      "print(i.compress_type, i.filename)' " +
                      ShellQuote(archive))
        .output;
}

// The lines logged since the last ClearRecords.
std::string LogLines() {
    std::string lines;
    for (const auto& record : KwaCore::Host::LogMessages())
        lines += (record.level == 1 ? "" : "(not an error) ") + record.message.ToStdString() + "\n";
    return lines;
}

// What the packing callback was offered; it skips skip and aborts at abortAt.
struct Offered {
    std::vector<std::string> paths;
    std::string skip, abortAt;
};
KwaCore::ZipAction Decide(void* context, const wchar_t* path) {
    auto* offered = static_cast<Offered*>(context);
    const std::string& name = offered->paths.emplace_back(wxString(path).ToStdString());
    return name == offered->abortAt ? KwaCore::ZipAction::Abort
           : name == offered->skip  ? KwaCore::ZipAction::Skip
                                    : KwaCore::ZipAction::Include;
}

// What the unpacking callback saw (and whether off the test's thread); it stops at stopAt.
const std::thread::id testThread = std::this_thread::get_id();
struct Seen {
    std::vector<std::string> names;
    std::string stopAt = "(none)";
    bool otherThread = false;
};
bool Observe(void* context, const wxZipEntry* entry, const wchar_t*) {
    auto* seen = static_cast<Seen*>(context);
    seen->names.push_back(entry->GetName(wxPATH_UNIX).ToStdString());
    seen->otherThread |= std::this_thread::get_id() != testThread;
    return seen->names.back() != seen->stopAt;
}

class ZipUnzipTest : public ::testing::Test {
protected:
    void SetUp() override {
        KwaCore::Host::Initialize();
        previousUmask_ = umask(022);
    }
    void TearDown() override { umask(previousUmask_); }
    void FreshTarget() {
        RemoveTree(target_);
        MakeDirs(target_);
        KwaCore::Host::ClearRecords();
    }

    TempDir dir_{"kwa-zip"};
    std::string source_ = dir_ / "source", target_ = dir_ / "target";
    std::string outside_ = dir_ / "outside", archive_ = dir_ / "out.zip";
    mode_t previousUmask_ = 0;
};

// Modes are capped; a link in the target is replaced, never written through.
TEST_F(ZipUnzipTest, UnpackingCapsModesAndNeverFollowsALink) {
    MakePythonArchive(archive_, "add('tool', b'#!/bin/sh', mode=0o100777)\n"
                                "add('private', b'p', mode=0o100600)\n"
                                "add('open/', b'', mode=0o40777)\n"
                                "add('dos.txt', b'd', system=0)\n"
                                "add('file', b'new')\n");
    MakeDirs(target_);
    WriteFile(outside_ + "/victim", "keep");
    ASSERT_EQ(symlink((outside_ + "/victim").c_str(), (target_ + "/file").c_str()), 0);
    ASSERT_TRUE(Unpack(archive_, target_));
    for (const auto& [name, mode] : std::map<std::string, unsigned>{
             {"tool", 0644}, {"private", 0600}, {"open", 0711}, {"dos.txt", 0644}})
        EXPECT_EQ(FileMode(target_ + "/" + name), mode) << name;
    EXPECT_EQ(ReadFile(target_ + "/file"), "new");
    EXPECT_EQ(ReadFile(outside_ + "/victim"), "keep");

    ASSERT_EQ(symlink(outside_.c_str(), (target_ + "/sub").c_str()), 0);
    MakePythonArchive(archive_, "add('sub/evil', b'e')");
    EXPECT_FALSE(Unpack(archive_, target_));
    EXPECT_EQ(ListTree(outside_), std::vector<std::string>{"victim"});
}

// A skipped directory goes with all below it; an abort keeps the archive that was there.
TEST_F(ZipUnzipTest, PackingAsksPerEntryAndStopsOnAbort) {
    WriteFile(source_ + "/keep/a.txt", "a");
    WriteFile(source_ + "/skip/b.txt", "b");
    WriteFile(source_ + "/z.txt", "z");
    Offered offered{{}, "skip/", ""};
    ASSERT_TRUE(Pack(archive_, source_, Decide, &offered));
    EXPECT_EQ(offered.paths, (std::vector<std::string>{"keep/", "keep/a.txt", "skip/", "z.txt"}));
    EXPECT_EQ(RunCommand("unzip -Z1 " + ShellQuote(archive_)).output, "keep/\nkeep/a.txt\nz.txt\n");

    const std::string before = ReadFile(archive_);
    Offered aborting{{}, "", "keep/a.txt"};
    EXPECT_FALSE(Pack(archive_, source_, Decide, &aborting));
    EXPECT_EQ(ReadFile(archive_), before);
    EXPECT_FALSE(FileExists(archive_ + ".part"));
    EXPECT_FALSE(Pack(dir_ / "missing/out.zip", source_));
    EXPECT_FALSE(Pack(archive_ + "2", dir_ / "no-such-source"));
}

// The callback sees each entry in order on the calling thread, progress comes within a
// large entry, and a stop, a damaged entry or an archive that is no file leaves the rest out.
TEST_F(ZipUnzipTest, UnpackingShowsEachEntryAndProgressAndStopsOnACallbackOrADamagedEntry) {
    WriteSparseFile(source_ + "/a.bin", 160LL << 20);     // a small archive, a large file
    WriteFile(source_ + "/b.gz", std::string(4000, 'S')); // stored by its extension
    for (int i = 0; i < 200; ++i)
        WriteFile(source_ + "/c/" + std::to_string(1000 + i) + ".gz", std::to_string(i));
    ASSERT_TRUE(Pack(archive_, source_));

    std::vector<KwaCore::ArchiveProgress> reports;
    KwaCore::SetArchiveProgressHandler(
        [&reports](const KwaCore::ArchiveProgress& p) { reports.push_back(p); });
    Seen seen;
    MakeDirs(target_);
    EXPECT_TRUE(Unpack(archive_, target_, Observe, &seen));
    KwaCore::SetArchiveProgressHandler(nullptr);
    ASSERT_EQ(seen.names.size(), 203u);
    EXPECT_EQ(seen.names[3], "c/1000.gz");
    ASSERT_GE(reports.size(), 2u);
    EXPECT_FALSE(reports.front().finished);
    EXPECT_GE(reports.front().bytesDone, 64u << 20);
    EXPECT_TRUE(reports.back().finished);
    EXPECT_FALSE(reports.back().packing);
    EXPECT_EQ(reports.back().entriesDone, 203u);
    EXPECT_EQ(reports.back().bytesDone, (160u << 20) + 4490);
    EXPECT_EQ(FileSize(target_ + "/a.bin"), 160LL << 20);

    Seen stopping{{}, "c/1150.gz"};
    FreshTarget();
    EXPECT_FALSE(Unpack(archive_, target_, Observe, &stopping));
    EXPECT_EQ(stopping.names.size(), 154u);
    EXPECT_FALSE(seen.otherThread || stopping.otherThread);
    EXPECT_FALSE(FileExists(target_ + "/c/1150.gz") || FileExists(target_ + "/c/1151.gz"));

    std::string bytes = ReadFile(archive_);
    bytes[bytes.find(std::string(4000, 'S')) + 9] ^= 1;
    WriteFile(archive_, bytes);
    FreshTarget();
    EXPECT_FALSE(Unpack(archive_, target_));
    EXPECT_EQ(LogLines(), "Cannot unpack " + archive_ + ": entry \"b.gz\": CRC mismatch\n");
    EXPECT_FALSE(FileExists(target_ + "/b.gz"));
    const long long size = FileSize(target_ + "/a.bin"); // stopped in the middle: removed
    EXPECT_TRUE(size == -1 || size == 160LL << 20) << size;

    ASSERT_EQ(mkfifo((dir_ / "fifo.zip").c_str(), 0600), 0); // would block a reader
    MakeDirs(dir_ / "dir.zip");
    for (const std::string& path :
         {dir_ / "fifo.zip", dir_ / "dir.zip", std::string("/dev/null")}) {
        FreshTarget();
        EXPECT_FALSE(Unpack(path, target_));
        EXPECT_EQ(LogLines(), "Cannot unpack " + path + ": not a regular file\n");
    }
}

// One awkward tree packed by us (never its links) and by the usual zip tools unpacks alike.
TEST_F(ZipUnzipTest, OurArchivesAndThoseOfTheUsualToolsUnpackIdentically) {
    const std::map<std::string, std::string> files = {
        {"index.html", TextContent(3000)},
        {"empty.txt", ""},
        {"packages/big.txt", TextContent(3 * 1024 * 1024 + 77, 2)},
        {"packages/chunk.txt", TextContent(256 * 1024, 3)},
        {"packages/chunk1.txt", TextContent(256 * 1024 + 1, 4)},
        {"packages/chunk2.txt", TextContent(512 * 1024, 7)},
        {"packages/chunk3.txt", TextContent(512 * 1024 + 1, 8)},
        {"packages/noise.bin", RandomContent(1536 * 1024 + 5)}, // stored after the probe
        {"packages/small.bin", RandomContent(700, 5)},          // stored: deflate does not pay
        {"packages/text.gz", TextContent(100000, 6)},           // stored by its extension
        {"packages/deep/er/still/x.txt", "x"},
        {"caf\xc3\xa9 x/n\xc3\xa4me.txt", "utf-8 names"},
    };
    for (const auto& [name, content] : files)
        WriteFile(source_ + "/" + name, content);
    MakeDirs(source_ + "/emptydir");
    const std::vector<std::string> expected = ListTree(source_);
    WriteFile(outside_ + "/secret", "s");
    ASSERT_EQ(symlink((outside_ + "/secret").c_str(), (source_ + "/link").c_str()), 0);
    ASSERT_TRUE(Pack(archive_, source_));
    ::unlink((source_ + "/link").c_str()); // the other tools would pack it
    EXPECT_FALSE(FileExists(archive_ + ".part"));
    for (const char* reader : {"unzip -tq ", "bsdtar -xOf ", "7z t -bso0 -bsp0 "}) {
        const CommandResult read = RunCommand(reader + ShellQuote(archive_) + " >/dev/null");
        EXPECT_EQ(read.exitCode, 0) << reader << read.output;
    }
    const std::string methods = Methods(archive_); // 8: deflated, 0: stored
    for (const char* line :
         {"8 index.html\n", "8 packages/big.txt\n", "8 packages/chunk1.txt\n",
          "0 packages/noise.bin\n", "0 packages/small.bin\n", "0 packages/text.gz\n"})
        EXPECT_NE(methods.find(line), std::string::npos) << line << methods;

    const std::string python =
        Python() + " -c " +
        ShellQuote("import os, sys, zipfile\n"
                   "z = zipfile.ZipFile(sys.argv[1], 'w', int(sys.argv[2]))\n"
                   "for d, ds, fs in os.walk('.'):\n"
                   "    for n in ds + fs: z.write(os.path.join(d, n))");
    const std::string tools[] = {
        "", // ours; the others run in the tree, $A being the archive
        "zip -q -r $A .",
        "zip -q -r -fz $A .",
        "zip -q -r - . | cat > $A",
        "zip -q -r -0 $A .",
        "7z a -tzip -bd $A . > /dev/null",
        "bsdtar --format zip -cf $A .",
        "bsdtar --format zip --options zip:compression=store -cf $A .",
        python + " $A 8",
        python + " $A 0",
    };
    for (std::string command : tools) {
        SCOPED_TRACE(command);
        if (!command.empty()) {
            command.replace(command.find("$A"), 2, ShellQuote(archive_));
            ::unlink(archive_.c_str());
            const CommandResult made = RunCommand("cd " + ShellQuote(source_) + " && " + command);
            ASSERT_EQ(made.exitCode, 0) << made.output;
        }
        FreshTarget();
        Seen seen; // with a callback, as the relay unpacks: wx walks the entries too
        EXPECT_TRUE(Unpack(archive_, target_, Observe, &seen)) << LogLines();
        EXPECT_EQ(ListTree(target_), expected);
        for (const auto& [name, content] : files)
            EXPECT_EQ(ReadFile(target_ + "/" + name), content) << name;
    }
}

// A million entries, the last one unsafe: refused before writing, in little memory.
TEST_F(ZipUnzipTest, AMillionEntriesOrTooLittleRoomAreRefusedBeforeWriting) {
    const std::string archive = "/dev/shm/kwa-million-" + std::to_string(getpid()) + ".zip";
    const CommandResult made = RunCommand(Python() + " -c " + ShellQuote(R"(import struct, sys
n, central, offset = 1000000, [], 0
with open(sys.argv[1], 'wb') as out:
    for i in range(n):
        name = b'd%03d/f%03d' % (i // 1000, i % 1000) if i + 1 < n else b'../escape'
        local = struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, 0, 0, 0, 0, 0, 0, 0, len(name), 0)
        out.write(local + name)
        central.append(struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 20, 20, 0, 0, 0, 0, 0, 0, 0,
                                   len(name), 0, 0, 0, 0, 0, offset) + name)
        offset += 30 + len(name)
    d = b''.join(central)
    out.write(d + struct.pack('<IQHHIIQQQQIIQIIHHHHIIH', 0x06064b50, 44, 45, 45, 0, 0, n, n, len(d),
                              offset, 0x07064b50, 0, offset + len(d), 1, 0x06054b50, 0, 0, 0xffff,
                              0xffff, 0xffffffff, 0xffffffff, 0)))") +
                                          " " + archive);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    FreshTarget();
    std::ofstream("/proc/self/clear_refs") << "5"; // resets VmHWM
    EXPECT_FALSE(Unpack(archive, target_));
    ::unlink(archive.c_str());
#if !defined(__SANITIZE_ADDRESS__) // whose quarantine keeps freed memory resident
    const std::string status = ReadFile("/proc/self/status");
    EXPECT_LT(std::stol(status.substr(status.find("VmHWM:") + 6)) / 1024, 64) << "MiB at the peak";
#endif
    EXPECT_EQ(LogLines(),
              "Cannot unpack " + archive + ": entry \"../escape\": unsafe name (.. segment)\n");
    EXPECT_TRUE(ListTree(target_).empty());

    // A target without room (a 2 MiB tmpfs with 16 inodes) is refused before writing.
    if (RunCommand("mount -t tmpfs -o size=2m,nr_inodes=16 tmpfs " + target_).exitCode != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    for (const auto& [body, rule] :
         std::map<std::string, std::string>{{"for i in range(40): add('f%d' % i)",
                                             "not enough free inodes (40 needed, 15 available)"},
                                            {"add('a'); add('zeros', bytes(3 << 20))",
                                             "not enough free space (3149824 bytes needed"}}) {
        SCOPED_TRACE(rule);
        MakePythonArchive(archive_, body);
        KwaCore::Host::ClearRecords();
        EXPECT_FALSE(Unpack(archive_, target_));
        EXPECT_EQ(LogLines().rfind("Cannot unpack " + archive_ + ": " + rule, 0), 0u) << LogLines();
        EXPECT_TRUE(ListTree(target_).empty());
    }
    RunCommand("umount " + target_);
}

} // namespace
