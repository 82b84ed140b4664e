// KwaCore::Zip and KwaCore::Unzip, driven directly.
#include "ArchiveTestSupport.h"

#include <KwaCoreHost.h>
#include <gtest/gtest.h>
#include <wx/filename.h>
#include <wx/zipstrm.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
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

// name -> compression method, as Python's zipfile reads the archive.
std::map<std::string, int> Methods(const std::string& archive) {
    const CommandResult result =
        RunCommand(Python() + " -c " +
                   ShellQuote("import sys, zipfile\n"
                              "for i in zipfile.ZipFile(sys.argv[1]).infolist(): "
                              "print(i.compress_type, i.filename)") +
                   " " + ShellQuote(archive));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    std::map<std::string, int> methods;
    std::istringstream lines(result.output);
    int method;
    for (std::string name; lines >> method && std::getline(lines >> std::ws, name);)
        methods[name] = method;
    return methods;
}

// The error lines logged, one per line.
std::string LogLines() {
    std::string lines;
    for (const auto& record : KwaCore::Host::LogMessages())
        lines += (record.level == 1 ? "" : "(not an error) ") + record.message.ToStdString() + "\n";
    return lines;
}

class ZipUnzipTest : public ::testing::Test {
protected:
    void SetUp() override {
        KwaCore::Host::Initialize();
        previousUmask_ = umask(022);
    }
    void TearDown() override { umask(previousUmask_); }

    TempDir dir_{"kwa-zip"};
    std::string source_ = dir_ / "source";
    std::string target_ = dir_ / "target";
    std::string outside_ = dir_ / "outside";
    std::string archive_ = dir_ / "out.zip";
    mode_t previousUmask_ = 0;
};

TEST_F(ZipUnzipTest, RoundTripIsExactAndOtherReadersAcceptTheArchive) {
    const std::map<std::string, std::string> files = {
        {"index.html", TextContent(3000)},
        {"empty.txt", ""},
        {"packages/big.txt", TextContent(3 * 1024 * 1024 + 77, 2)}, // several deflated chunks
        // At and one byte past the sizes where a file is cut into chunks.
        {"packages/chunk.txt", TextContent(256 * 1024, 3)},
        {"packages/chunk1.txt", TextContent(256 * 1024 + 1, 4)},
        {"packages/chunk2.txt", TextContent(512 * 1024, 7)},
        {"packages/chunk3.txt", TextContent(512 * 1024 + 1, 8)},
        {"packages/noise.bin", RandomContent(1536 * 1024 + 5)}, // stored after the probe
        {"packages/small.bin", RandomContent(700, 5)},          // stored: deflate does not pay
        {"packages/text.gz", TextContent(100000, 6)},           // stored by its extension
        {"packages/deep/er/still/x.txt", "x"},
        {"caf\xc3\xa9/n\xc3\xa4me.txt", "utf-8 names"},
    };
    for (const auto& [name, content] : files)
        WriteFile(source_ + "/" + name, content);
    MakeDirs(source_ + "/emptydir");
    WriteFile(outside_ + "/secret", "s");
    ASSERT_EQ(symlink((outside_ + "/secret").c_str(), (source_ + "/link").c_str()), 0);

    ASSERT_TRUE(Pack(archive_, source_));
    EXPECT_FALSE(FileExists(archive_ + ".part"));
    const CommandResult test = RunCommand("unzip -tq " + ShellQuote(archive_));
    EXPECT_EQ(test.exitCode, 0) << test.output;
    const CommandResult python =
        RunCommand(Python() +
                   " -c 'import sys, zipfile; r = zipfile.ZipFile(sys.argv[1]).testzip(); "
                   "sys.exit(r is not None)' " +
                   ShellQuote(archive_));
    EXPECT_EQ(python.exitCode, 0) << python.output;

    const auto methods = Methods(archive_);
    EXPECT_EQ(methods.at("packages/big.txt"), 8);
    EXPECT_EQ(methods.at("packages/chunk1.txt"), 8);
    EXPECT_EQ(methods.at("index.html"), 8);
    EXPECT_EQ(methods.at("packages/noise.bin"), 0);
    EXPECT_EQ(methods.at("packages/small.bin"), 0);
    EXPECT_EQ(methods.at("packages/text.gz"), 0);
    EXPECT_EQ(methods.count("link"), 0u) << "links are never packed";
    EXPECT_EQ(methods.count("emptydir/"), 1u);

    MakeDirs(target_);
    ASSERT_TRUE(Unpack(archive_, target_));
    for (const auto& [name, content] : files)
        EXPECT_EQ(ReadFile(target_ + "/" + name), content) << name;
    EXPECT_TRUE(DirExists(target_ + "/emptydir"));
    EXPECT_FALSE(FileExists(target_ + "/link"));
}

// Modes are capped; nothing is written through a link in the target, and a link
// standing where a file goes is replaced, its target left alone.
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
    EXPECT_EQ(FileMode(target_ + "/tool"), 0644u);
    EXPECT_EQ(FileMode(target_ + "/private"), 0600u);
    EXPECT_EQ(FileMode(target_ + "/open"), 0711u);
    EXPECT_EQ(FileMode(target_ + "/dos.txt"), 0644u);
    EXPECT_FALSE(IsSymlink(target_ + "/file"));
    EXPECT_EQ(ReadFile(target_ + "/file"), "new");
    EXPECT_EQ(ReadFile(outside_ + "/victim"), "keep");

    ASSERT_EQ(symlink(outside_.c_str(), (target_ + "/sub").c_str()), 0);
    MakePythonArchive(archive_, "add('sub/evil', b'e')");
    EXPECT_FALSE(Unpack(archive_, target_));
    EXPECT_EQ(ListTree(outside_), std::vector<std::string>{"victim"});
}

TEST_F(ZipUnzipTest, BrokenArchivesFailAndLeaveNoDamagedFile) {
    const std::string stored = std::string(4000, 'S');
    WriteFile(source_ + "/a.gz", stored); // stored by its extension
    WriteFile(source_ + "/b.txt", TextContent(200000, 9));
    ASSERT_TRUE(Pack(archive_, source_));
    const std::string good = ReadFile(archive_);
    const size_t storedAt = good.find(stored) + 100, deflatedAt = good.find("b.txt") + 5000;
    auto flip = [&](size_t at, char bits) {
        return good.substr(0, at) + char(good[at] ^ bits) + good.substr(at + 1);
    };
    const struct {
        std::string bytes;
        const char* damaged; // null: nothing may be written
    } cases[] = {{good.substr(0, good.size() / 2), nullptr},
                 {flip(storedAt, 1), "a.gz"},
                 {flip(deflatedAt, 0x40), "b.txt"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damaged ? c.damaged : "truncated");
        RemoveTree(target_);
        MakeDirs(target_);
        WriteFile(archive_, c.bytes);
        EXPECT_FALSE(Unpack(archive_, target_));
        if (c.damaged != nullptr)
            EXPECT_FALSE(FileExists(target_ + "/" + c.damaged));
        else
            EXPECT_TRUE(ListTree(target_).empty());
    }
}

struct Offered {
    std::vector<std::string> paths;
    std::string skip;
    std::string abortAt;
};

KwaCore::ZipAction Decide(void* context, const wchar_t* path) {
    auto* offered = static_cast<Offered*>(context);
    const std::string name = wxString(path).ToStdString();
    offered->paths.push_back(name);
    if (name == offered->abortAt)
        return KwaCore::ZipAction::Abort;
    return name == offered->skip ? KwaCore::ZipAction::Skip : KwaCore::ZipAction::Include;
}

TEST_F(ZipUnzipTest, PackingAsksPerEntryAndStopsOnAbort) {
    WriteFile(source_ + "/keep/a.txt", "a");
    WriteFile(source_ + "/skip/b.txt", "b");
    WriteFile(source_ + "/z.txt", "z");

    Offered offered;
    offered.skip = "skip/";
    ASSERT_TRUE(Pack(archive_, source_, Decide, &offered));
    EXPECT_EQ(offered.paths, (std::vector<std::string>{"keep/", "keep/a.txt", "skip/", "z.txt"}));
    const auto methods = Methods(archive_);
    EXPECT_EQ(methods.size(), 3u);
    EXPECT_EQ(methods.count("skip/"), 0u);

    // An abort fails the call; the archive that was there stays as it was and no
    // partial file is left.
    const std::string before = ReadFile(archive_);
    Offered aborting;
    aborting.abortAt = "keep/a.txt";
    EXPECT_FALSE(Pack(archive_, source_, Decide, &aborting));
    EXPECT_EQ(ReadFile(archive_), before);
    EXPECT_FALSE(FileExists(archive_ + ".part"));
    EXPECT_FALSE(Pack(dir_ / "missing/out.zip", source_));
    EXPECT_FALSE(Pack(archive_ + "2", dir_ / "no-such-source"));

    // A name the unpacking would refuse fails the archive, with the file named.
    WriteFile(source_ + "/keep/back\\slash", "b");
    KwaCore::Host::ClearRecords();
    EXPECT_FALSE(Pack(archive_, source_));
    EXPECT_EQ(ReadFile(archive_), before);
    EXPECT_EQ(LogLines(), "Cannot pack " + source_ + " into " + archive_ +
                              ": entry \"keep/back\\slash\": a name the unpacking refuses: "
                              "unsafe name (backslash)\n");
}

struct Seen {
    std::vector<std::string> names;
    size_t stopAfter = 1000;
};

bool Observe(void* context, const wxZipEntry* entry, const wchar_t* path) {
    auto* seen = static_cast<Seen*>(context);
    seen->names.push_back(entry ? entry->GetName(wxPATH_UNIX).ToStdString() : "<null>");
    return seen->names.size() < seen->stopAfter;
}

TEST_F(ZipUnzipTest, UnpackingShowsEachEntryAndProgressAndStopsWhenTheCallbackSaysSo) {
    WriteFile(source_ + "/d/one.txt", "1");
    WriteFile(source_ + "/two.txt", "2");
    // 160 MiB of zeros: a small archive, but a large file to write.
    ASSERT_EQ(RunCommand("truncate -s 160M " + ShellQuote(source_ + "/zeros.bin")).exitCode, 0);
    ASSERT_TRUE(Pack(archive_, source_));

    std::vector<KwaCore::ArchiveProgress> reports;
    KwaCore::SetArchiveProgressHandler(
        [&reports](const KwaCore::ArchiveProgress& p) { reports.push_back(p); });
    Seen seen;
    MakeDirs(target_);
    EXPECT_TRUE(Unpack(archive_, target_, Observe, &seen));
    KwaCore::SetArchiveProgressHandler(nullptr);
    EXPECT_EQ(seen.names, (std::vector<std::string>{"d/", "d/one.txt", "two.txt", "zeros.bin"}));
    ASSERT_GE(reports.size(), 2u);
    EXPECT_FALSE(reports.front().finished); // reported in the middle of the large entry
    EXPECT_EQ(reports.front().entriesDone, 3u);
    EXPECT_GE(reports.front().bytesDone, 64u << 20);
    EXPECT_TRUE(reports.back().finished);
    EXPECT_FALSE(reports.back().packing);
    EXPECT_EQ(reports.back().entriesDone, 4u);
    EXPECT_EQ(reports.back().bytesDone, (160u << 20) + 2);
    EXPECT_EQ(FileSize(target_ + "/zeros.bin"), 160LL << 20);

    Seen stopping;
    stopping.stopAfter = 2;
    RemoveTree(target_);
    MakeDirs(target_);
    EXPECT_FALSE(Unpack(archive_, target_, Observe, &stopping));
    EXPECT_EQ(stopping.names.size(), 2u);
    EXPECT_FALSE(FileExists(target_ + "/two.txt"));
}

// Files and archives over 4 GiB. Slow (several GiB pass through the disk), so
// only with KWA_TEST_LARGE=1.
TEST_F(ZipUnzipTest, LargeFilesUseZip64) {
    if (std::getenv("KWA_TEST_LARGE") == nullptr)
        GTEST_SKIP() << "set KWA_TEST_LARGE=1 to pack and unpack a 4.5 GiB sparse file";
    MakeDirs(source_);
    const long long size = 4LL * 1024 * 1024 * 1024 + 512 * 1024 * 1024 + 3;
    {
        const int fd = open((source_ + "/huge.iso.gz").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "end", 3, size - 3), 3);
        close(fd);
    }
    WriteFile(source_ + "/after.txt", "after");
    ASSERT_TRUE(Pack(archive_, source_));
    const CommandResult python = RunCommand(
        Python() + " -c " +
        ShellQuote("import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\n"
                   "print(z.getinfo('huge.iso.gz').file_size, z.read('after.txt').decode())") +
        " " + ShellQuote(archive_));
    EXPECT_EQ(python.output, std::to_string(size) + " after\n");
    RemoveTree(source_);
    MakeDirs(target_);
    ASSERT_TRUE(Unpack(archive_, target_));
    EXPECT_EQ(FileSize(target_ + "/huge.iso.gz"), size);
    EXPECT_EQ(ReadFile(target_ + "/after.txt"), "after");
}

// One tree packed by each of the usual zip tools unpacks to the same tree:
// names, content, empty files and empty directories.
TEST_F(ZipUnzipTest, ArchivesOfTheUsualToolsUnpackIdentically) {
    const std::map<std::string, std::string> files = {{"a.txt", TextContent(70000)},
                                                      {"empty", ""},
                                                      {"d/e/noise.bin", RandomContent(3000)},
                                                      {"caf\xc3\xa9 x/n.txt", "n"}};
    for (const auto& [name, content] : files)
        WriteFile(source_ + "/" + name, content);
    MakeDirs(source_ + "/emptydir");
    const std::string python =
        Python() + " -c " +
        ShellQuote("import os, sys, zipfile\n"
                   "z = zipfile.ZipFile(sys.argv[1], 'w', int(sys.argv[2]))\n"
                   "for d, ds, fs in os.walk('.'):\n"
                   "    for n in ds + fs: z.write(os.path.join(d, n))");
    const struct {
        const char* tool;
        std::string command; // run in the tree; $A is the archive
    } tools[] = {
        {"Info-ZIP", "zip -q -r $A ."},
        {"Info-ZIP Zip64", "zip -q -r -fz $A ."},
        {"Info-ZIP through a pipe", "zip -q -r - . | cat > $A"},
        {"Info-ZIP stored", "zip -q -r -0 $A ."},
        {"7-Zip", "7z a -tzip -bd $A . > /dev/null"},
        {"libarchive", "bsdtar --format zip -cf $A ."},
        {"libarchive stored", "bsdtar --format zip --options zip:compression=store -cf $A ."},
        {"Python", python + " $A 8"},
        {"Python stored", python + " $A 0"},
    };
    const std::vector<std::string> expected = ListTree(source_);
    for (const auto& t : tools) {
        SCOPED_TRACE(t.tool);
        std::string command = t.command;
        command.replace(command.find("$A"), 2, ShellQuote(archive_));
        ::unlink(archive_.c_str());
        const CommandResult made = RunCommand("cd " + ShellQuote(source_) + " && " + command);
        ASSERT_EQ(made.exitCode, 0) << made.output;
        RemoveTree(target_);
        MakeDirs(target_);
        KwaCore::Host::ClearRecords();
        Seen seen; // with a callback, as the relay unpacks: wx walks the entries too
        EXPECT_TRUE(Unpack(archive_, target_, Observe, &seen)) << LogLines();
        EXPECT_EQ(ListTree(target_), expected);
        for (const auto& [name, content] : files)
            EXPECT_EQ(ReadFile(target_ + "/" + name), content) << name;
    }
}

// A pipe, a directory or a device in the archive's place is refused at once,
// without waiting for a writer.
TEST_F(ZipUnzipTest, OnlyRegularFilesAreUnpackedAndNothingBlocks) {
    MakeDirs(target_);
    const std::string fifo = dir_ / "fifo.zip";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    MakeDirs(dir_ / "dir.zip");
    bool done = false;
    std::thread unblock([&] { // frees a blocked open after a while, so that the test ends
        for (int i = 0; i < 60 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    });
    for (const std::string& path : {fifo, dir_ / "dir.zip", std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        KwaCore::Host::ClearRecords();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(Unpack(path, target_));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(LogLines(), "Cannot unpack " + path + ": not a regular file\n");
    }
    done = true;
    unblock.join();
    EXPECT_TRUE(ListTree(target_).empty());
}

// The peak resident memory (VmHWM) while work runs, in MiB; 0 under
// AddressSanitizer, whose quarantine keeps freed memory resident (the bound is the
// shipping build's).
template <typename Work> long PeakMiB(Work work) {
#if defined(__SANITIZE_ADDRESS__)
    work();
    return 0;
#endif
    std::ofstream("/proc/self/clear_refs") << "5"; // resets VmHWM
    work();
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6)) / 1024;
    return -1;
}

// A million entries, on tmpfs: the last one is unsafe, so the archive is refused
// before anything is written, and the validation's memory stays small. With
// KWA_TEST_MILLION=1 a tree of a million files is packed and unpacked too.
TEST_F(ZipUnzipTest, AMillionEntriesKeepMemorySmall) {
    char shm[] = "/dev/shm/kwa-million-XXXXXX";
    ASSERT_NE(mkdtemp(shm), nullptr);
    const std::string root = shm, archive = root + "/million.zip", target = root + "/target";
    const unsigned count = 1000000;
    {
        std::ofstream out(archive, std::ios::binary);
        std::string central;
        auto put = [](std::string& to, uint64_t value, int bytes) {
            for (int i = 0; i < bytes; ++i)
                to += char(i < 8 ? value >> (8 * i) : 0);
        };
        uint64_t offset = 0;
        for (unsigned i = 0; i < count; ++i) {
            char name[16];
            snprintf(name, sizeof(name), i + 1 < count ? "d%03u/f%03u" : "../escape", i / 1000,
                     i % 1000);
            std::string local;
            put(local, 0x04034b50, 4), put(local, 20, 4), put(local, 0, 18);
            put(local, strlen(name), 2), put(local, 0, 2), local += name;
            out << local;
            put(central, 0x02014b50, 4), put(central, 20, 4), put(central, 0, 20);
            put(central, strlen(name), 2), put(central, 0, 12), put(central, offset, 4);
            central += name;
            offset += local.size();
        }
        std::string end;
        put(end, 0x06064b50, 4), put(end, 44, 8), put(end, 45, 4), put(end, 0, 8);
        put(end, count, 8), put(end, count, 8), put(end, central.size(), 8), put(end, offset, 8);
        put(end, 0x07064b50, 4), put(end, 0, 4), put(end, offset + central.size(), 8);
        put(end, 1, 4), put(end, 0x06054b50, 4), put(end, 0, 4), put(end, 0xffff, 4);
        put(end, 0xffffffff, 8), put(end, 0, 2);
        out << central << end;
    }
    MakeDirs(target);
    KwaCore::Host::ClearRecords();
    EXPECT_LT(PeakMiB([&] { EXPECT_FALSE(Unpack(archive, target)); }), 64);
    EXPECT_EQ(LogLines(),
              "Cannot unpack " + archive + ": entry \"../escape\": unsafe name (.. segment)\n");
    EXPECT_TRUE(ListTree(target).empty());

    if (std::getenv("KWA_TEST_MILLION") != nullptr) {
        for (unsigned i = 0; i < count; ++i) {
            if (i % 1000 == 0)
                MakeDirs(root + "/tree/d" + std::to_string(i / 1000));
            WriteFile(root + "/tree/d" + std::to_string(i / 1000) + "/f" + std::to_string(i % 1000),
                      "");
        }
        const long packed = PeakMiB([&] { EXPECT_TRUE(Pack(archive, root + "/tree")); });
        RemoveTree(root + "/tree");
        // With a callback, as the relay unpacks (wx then walks the entries too).
        const KwaCore::UnzipCallback goOn = [](void*, const wxZipEntry*, const wchar_t*) {
            return true;
        };
        const long unpacked = PeakMiB([&] { EXPECT_TRUE(Unpack(archive, target, goOn)); });
        std::printf("1,000,000 files: peak %ld MiB packing, %ld MiB unpacking\n", packed, unpacked);
        EXPECT_LT(std::max(packed, unpacked), 64);
        EXPECT_EQ(ListTree(target).size(), count + 1000);
    }
    RemoveTree(root);
}

// A target file system without the room the entries declare refuses the archive
// before anything is written: bytes against free blocks, entries against free
// inodes (a 2 MiB tmpfs with 16 inodes; skipped where mounting is not possible).
TEST_F(ZipUnzipTest, ATargetWithoutRoomIsRefusedBeforeWriting) {
    MakeDirs(target_);
    if (RunCommand("mount -t tmpfs -o size=2m,nr_inodes=16 tmpfs " + target_).exitCode != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const struct {
        const char* body;
        const char* rule;
    } cases[] = {
        {"for i in range(40): add('f%d' % i)", "not enough free inodes (40 needed, 15 available)"},
        {"add('a'); add('zeros', bytes(3 << 20))", "not enough free space (3149824 bytes needed"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        MakePythonArchive(archive_, c.body);
        KwaCore::Host::ClearRecords();
        EXPECT_FALSE(Unpack(archive_, target_));
        EXPECT_EQ(LogLines().rfind("Cannot unpack " + archive_ + ": " + c.rule, 0), 0u)
            << LogLines();
        EXPECT_TRUE(ListTree(target_).empty());
    }
    RunCommand("umount " + target_);
}

} // namespace

// Entries are unpacked side by side: a bad entry stops the worker busy with a
// large one (its file goes too), and a stop by the callback, which runs on the
// calling thread in archive order, leaves later entries unwritten.
TEST_F(ZipUnzipTest, AFailureInOneEntryStopsTheOthers) {
    WriteFile(source_ + "/b.gz", std::string(4000, 'S'));
    ASSERT_EQ(RunCommand("truncate -s 160M " + ShellQuote(source_ + "/a.bin")).exitCode, 0);
    for (int i = 0; i < 200; ++i)
        WriteFile(source_ + "/c/" + std::to_string(1000 + i) + ".gz", std::to_string(i));
    ASSERT_TRUE(Pack(archive_, source_));
    std::string bytes = ReadFile(archive_);
    bytes[bytes.find(std::string(4000, 'S')) + 9] ^= 1;
    WriteFile(archive_, bytes);
    KwaCore::Host::ClearRecords();
    MakeDirs(target_);
    EXPECT_FALSE(Unpack(archive_, target_));
    EXPECT_EQ(LogLines(), "Cannot unpack " + archive_ + ": entry \"b.gz\": CRC mismatch\n");
    EXPECT_FALSE(FileExists(target_ + "/b.gz"));
    const long long size = FileSize(target_ + "/a.bin"); // stopped in the middle: removed
    EXPECT_TRUE(size == -1 || size == 160LL << 20) << size;

    struct Calls {
        std::thread::id thread = std::this_thread::get_id();
        std::vector<std::string> names;
    } calls;
    auto stopAt = [](void* context, const wxZipEntry* entry, const wchar_t*) {
        auto* c = static_cast<Calls*>(context);
        EXPECT_EQ(std::this_thread::get_id(), c->thread);
        c->names.push_back(entry->GetName(wxPATH_UNIX).ToStdString());
        return c->names.back() != "c/1150.gz";
    };
    RemoveTree(source_ + "/a.bin");
    ASSERT_TRUE(Pack(archive_, source_));
    RemoveTree(target_);
    MakeDirs(target_);
    EXPECT_FALSE(Unpack(archive_, target_, stopAt, &calls));
    ASSERT_EQ(calls.names.size(), 153u); // b.gz, c/, then c/1000.gz to c/1150.gz in order
    EXPECT_EQ(calls.names[2], "c/1000.gz");
    EXPECT_FALSE(FileExists(target_ + "/c/1150.gz") || FileExists(target_ + "/c/1151.gz"));
}

// The codec against deflate streams of another packer (Python's zlib at the
// edges: stored and fixed-code blocks, a 1000:1 stream that fills many output
// pieces from one read), a stream cut short and one longer than its entry; and
// the other readers, which check every CRC, against a multi-chunk archive of ours.
TEST_F(ZipUnzipTest, TheCodecReadsOtherStreamsAndOtherReadersReadOurs) {
    // put() hands zipfile a stream made here; zipfile records the CRC and size
    // of data itself, so a wrong stream shows as a wrong size or CRC.
    const std::string preamble = R"(import random, zlib
class Raw:
    def __init__(self, stream): self.stream = stream
    def compress(self, data): return b''
    def flush(self): return self.stream
def put(data, level, cut=0, extra=b''):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    stream = c.compress(data + extra) + c.flush()
    zipfile._get_compressor = lambda *a: Raw(stream[:len(stream) - cut])
    add('e', data)
text = bytes(random.Random(1).choices(b'relay bundle\n', k=1500000))
)";
    const struct {
        const char* what;
        const char* put;
        bool good;
    } cases[] = {
        {"level 9 text over several pieces", "put(text, 9)", true},
        {"30 MiB of zeros from 30 KiB", "put(bytes(30 << 20), 9)", true},
        {"stored blocks", "put(text[:700000], 0)", true},
        {"fixed codes", "put(b'hello', 1)", true},
        {"stream cut short", "put(bytes(3 << 20), 6, cut=3)", false},
        {"stream longer than the entry", "put(text[:5000], 6, extra=b'x')", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(target_);
        MakeDirs(target_);
        MakePythonArchive(archive_, preamble + c.put);
        EXPECT_EQ(Unpack(archive_, target_), c.good);
        EXPECT_EQ(FileExists(target_ + "/e"), c.good);
    }

    WriteFile(source_ + "/big.txt", TextContent(1024 * 1024 + 3, 5));
    WriteFile(source_ + "/small.txt", TextContent(999, 6));
    ASSERT_TRUE(Pack(archive_, source_));
    for (const char* reader : {"unzip -tq ", "bsdtar -xOf ", "7z t -bso0 -bsp0 "}) {
        const CommandResult read = RunCommand(reader + ShellQuote(archive_) + " >/dev/null");
        EXPECT_EQ(read.exitCode, 0) << reader << read.output;
    }
}
