// KwaCore::Zip and KwaCore::Unzip, driven directly.
#include "ArchiveTestSupport.h"

#include <KwaCoreHost.h>
#include <gtest/gtest.h>
#include <wx/filename.h>
#include <wx/zipstrm.h>

#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
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

TEST_F(ZipUnzipTest, UnpackedModesNeverGrantMoreThanReadAndSearch) {
    MakePythonArchive(archive_, "add('tool', b'#!/bin/sh', mode=0o100777)\n"
                                "add('private', b'p', mode=0o100600)\n"
                                "add('open/', b'', mode=0o40777)\n"
                                "add('dos.txt', b'd', system=0)\n");
    MakeDirs(target_);
    ASSERT_TRUE(Unpack(archive_, target_));
    EXPECT_EQ(FileMode(target_ + "/tool"), 0644u);
    EXPECT_EQ(FileMode(target_ + "/private"), 0600u);
    EXPECT_EQ(FileMode(target_ + "/open"), 0711u);
    EXPECT_EQ(FileMode(target_ + "/dos.txt"), 0644u);
}

// Each archive tries to write outside the target or holds an entry that is not
// a plain file or directory: the whole call fails and nothing is written, not
// even the entries before the bad one. (Every other form of a bad name is in
// the fuzzer's seed corpus, which the suite runs through Unzip.)
TEST_F(ZipUnzipTest, HostileArchivesAreRefusedWhole) {
    const struct {
        const char* what;
        std::string body;
    } cases[] = {
        {"parent segment after a good entry", "add('fine.txt')\nadd('../evil')"},
        {"absolute name", "add('/" + outside_.substr(1) + "/evil')"},
        {"file through a link entry",
         "add('link', b'" + outside_ + "', mode=stat.S_IFLNK | 0o777)\nadd('link/evil', b'e')"},
        {"device entry", "add('dev', b'', mode=stat.S_IFCHR | 0o666)"},
        {"duplicate name", "add('twice', b'1')\nadd('twice', b'2')"},
        {"unknown method", "add('b.txt', b'bzip', method=zipfile.ZIP_BZIP2)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(dir_.path() + "/t");
        RemoveTree(outside_);
        MakeDirs(dir_ / "t/target");
        MakeDirs(outside_);
        const std::string archive = dir_ / "t/hostile.zip";
        MakePythonArchive(archive, c.body);
        EXPECT_FALSE(Unpack(archive, dir_ / "t/target"));
        EXPECT_TRUE(ListTree(dir_ / "t/target").empty());
        EXPECT_TRUE(ListTree(outside_).empty());
        EXPECT_FALSE(FileExists(dir_ / "t/evil"));
    }
}

TEST_F(ZipUnzipTest, AnEntryPassingThroughALinkInTheTargetFails) {
    MakeDirs(target_);
    MakeDirs(outside_);
    ASSERT_EQ(symlink(outside_.c_str(), (target_ + "/sub").c_str()), 0);
    MakePythonArchive(archive_, "add('sub/evil', b'e')");
    EXPECT_FALSE(Unpack(archive_, target_));
    EXPECT_TRUE(ListTree(outside_).empty());

    // A link standing where a file goes is replaced, its target left alone.
    WriteFile(outside_ + "/victim", "keep");
    ASSERT_EQ(symlink((outside_ + "/victim").c_str(), (target_ + "/file").c_str()), 0);
    MakePythonArchive(archive_, "add('file', b'new')");
    EXPECT_TRUE(Unpack(archive_, target_));
    EXPECT_FALSE(IsSymlink(target_ + "/file"));
    EXPECT_EQ(ReadFile(target_ + "/file"), "new");
    EXPECT_EQ(ReadFile(outside_ + "/victim"), "keep");
}

TEST_F(ZipUnzipTest, BrokenArchivesFailAndLeaveNoDamagedFile) {
    const std::string stored = std::string(4000, 'S');
    const std::string deflated = TextContent(200000, 9);
    WriteFile(source_ + "/a.gz", stored); // stored by its extension
    WriteFile(source_ + "/b.txt", deflated);
    ASSERT_TRUE(Pack(archive_, source_));
    const std::string good = ReadFile(archive_);

    const size_t storedAt = good.find(stored);
    ASSERT_NE(storedAt, std::string::npos);
    const size_t bAt = good.find("b.txt");
    ASSERT_NE(bAt, std::string::npos);

    const struct {
        const char* what;
        std::string bytes;
        const char* damaged;
    } cases[] = {
        {"truncated", good.substr(0, good.size() / 2), nullptr},
        {"flipped byte in stored data",
         good.substr(0, storedAt + 100) + char(good[storedAt + 100] ^ 1) +
             good.substr(storedAt + 101),
         "a.gz"},
        {"flipped byte in deflated data",
         good.substr(0, bAt + 5000) + char(good[bAt + 5000] ^ 0x40) + good.substr(bAt + 5001),
         "b.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
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

TEST_F(ZipUnzipTest, UnpackingShowsEachEntryAndStopsWhenTheCallbackSaysSo) {
    WriteFile(source_ + "/d/one.txt", "1");
    WriteFile(source_ + "/two.txt", "2");
    ASSERT_TRUE(Pack(archive_, source_));

    std::vector<KwaCore::ArchiveProgress> reports;
    KwaCore::SetArchiveProgressHandler(
        [&reports](const KwaCore::ArchiveProgress& p) { reports.push_back(p); });
    Seen seen;
    MakeDirs(target_);
    EXPECT_TRUE(Unpack(archive_, target_, Observe, &seen));
    KwaCore::SetArchiveProgressHandler(nullptr);
    EXPECT_EQ(seen.names, (std::vector<std::string>{"d/", "d/one.txt", "two.txt"}));
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(reports.back().finished);
    EXPECT_FALSE(reports.back().packing);
    EXPECT_EQ(reports.back().entriesDone, 3u);
    EXPECT_EQ(reports.back().bytesDone, 2u);

    Seen stopping;
    stopping.stopAfter = 2;
    RemoveTree(target_);
    MakeDirs(target_);
    EXPECT_FALSE(Unpack(archive_, target_, Observe, &stopping));
    EXPECT_EQ(stopping.names.size(), 2u);
    EXPECT_FALSE(FileExists(target_ + "/two.txt"));
}

TEST_F(ZipUnzipTest, ALargeEntryShowsProgressBeforeItEnds) {
    // 160 MiB of zeros: a small archive, but a large file to write.
    MakeDirs(source_);
    {
        const int fd = ::open((source_ + "/zeros.bin").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        const std::string block(1 << 20, '\0');
        for (int i = 0; i < 160; ++i)
            ASSERT_EQ(::write(fd, block.data(), block.size()), ssize_t(block.size()));
        ::close(fd);
    }
    ASSERT_TRUE(Pack(archive_, source_));
    RemoveTree(source_);

    std::vector<KwaCore::ArchiveProgress> reports;
    KwaCore::SetArchiveProgressHandler(
        [&reports](const KwaCore::ArchiveProgress& p) { reports.push_back(p); });
    MakeDirs(target_);
    EXPECT_TRUE(Unpack(archive_, target_));
    KwaCore::SetArchiveProgressHandler(nullptr);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_FALSE(reports.front().finished);
    EXPECT_EQ(reports.front().entriesDone, 0u) << "reported in the middle of the entry";
    EXPECT_GE(reports.front().bytesDone, 64u << 20);
    EXPECT_TRUE(reports.back().finished);
    EXPECT_EQ(reports.back().entriesDone, 1u);
    EXPECT_EQ(reports.back().bytesDone, 160u << 20);
    EXPECT_EQ(FileSize(target_ + "/zeros.bin"), 160LL << 20);
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

} // namespace

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
