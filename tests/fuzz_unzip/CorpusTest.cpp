// The zip fuzzer's seed corpus through KwaCore::Unzip in the suite's own build
// (and so under the sanitizer build too): every valid-* archive is unpacked
// whole, every other one (hostile, broken, and the inputs of faults the fuzzer
// found) is refused, and nothing is ever written outside the target directory.
#include "TestSupport.h"

#include <KwaCore.h>
#include <gtest/gtest.h>
#include <wx/filename.h>

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

using namespace kwatest;

namespace {

std::set<std::string> Listing(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename());
    return names;
}

// Every entry below directory is a plain file or a directory (no link, device
// or pipe), with a mode within 0644 / 0711.
void ExpectOnlyPlainEntries(const std::string& directory) {
    for (const std::string& name : Listing(directory)) {
        const std::string path = directory + "/" + name;
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
        if (S_ISDIR(st.st_mode)) {
            EXPECT_EQ(st.st_mode & 07777 & ~0711u, 0u) << path;
            ExpectOnlyPlainEntries(path);
        } else {
            EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
            EXPECT_EQ(st.st_mode & 07777 & ~0644u, 0u) << path;
        }
    }
}

} // namespace

TEST(UnzipCorpus, ValidArchivesUnpackAndAllOthersAreRefused) {
    const std::string corpus = SourceDir() + "/tests/fuzz/corpus";
    const std::set<std::string> archives = Listing(corpus);
    ASSERT_GE(archives.size(), 30u);
    for (const std::string& name : archives) {
        SCOPED_TRACE(name);
        TempDir scratch("kwa-corpus");
        const std::string sentinel = scratch / "sentinel";
        MakeDirs(sentinel + "/target", 0700);
        WriteFile(sentinel + "/marker.txt", "untouched");
        const bool ok =
            KwaCore::Unzip(wxFileName(wxString::FromUTF8((corpus + "/" + name).c_str())),
                           wxFileName::DirName(wxString::FromUTF8((sentinel + "/target").c_str())),
                           nullptr, nullptr);
        EXPECT_EQ(ok, name.rfind("valid-", 0) == 0);
        EXPECT_EQ(Listing(sentinel), (std::set<std::string>{"marker.txt", "target"}));
        EXPECT_EQ(ReadFile(sentinel + "/marker.txt"), "untouched");
        EXPECT_EQ(Listing(scratch.path()), std::set<std::string>{"sentinel"});
        ExpectOnlyPlainEntries(sentinel + "/target");
    }
}
