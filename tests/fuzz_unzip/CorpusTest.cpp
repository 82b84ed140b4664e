// The zip fuzzer's seed corpus through KwaCore::Unzip in the suite's own build
// (and so under the sanitizer build too), with the fuzzer's own checks (nothing
// written outside the target directory, only plain files and directories with
// capped modes inside): every valid-* archive is unpacked, every other one
// (hostile, broken, and the inputs of faults the fuzzer found) is refused.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

bool UnzipChecked(const uint8_t* data, size_t size, bool stopEarly); // tests/fuzz

TEST(UnzipCorpus, ValidArchivesUnpackAndAllOthersAreRefused) {
    int archives = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(kwatest::SourceDir() + "/tests/fuzz/corpus")) {
        const std::string name = entry.path().filename(), bytes = kwatest::ReadFile(entry.path());
        SCOPED_TRACE(name);
        EXPECT_EQ(UnzipChecked(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), false),
                  name.rfind("valid-", 0) == 0);
        ++archives;
    }
    EXPECT_GE(archives, 30);
}
