// The zip fuzzer's seed corpus through this build's KwaCore::Unzip and the fuzzer's checks:
// valid-* unpack, all others are refused before writing, in one line saying why.
#include "TestSupport.h"

#include <KwaCoreHost.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

bool UnzipChecked(const uint8_t* data, size_t size, bool stopEarly, size_t* left); // tests/fuzz

TEST(UnzipCorpus, ValidArchivesUnpackAndAllOthersAreRefusedSayingWhy) {
    const std::map<std::string, std::string> reasons = {
        {"hostile-dotdot.zip", "entry \"../escape.txt\": unsafe name (.. segment)"},
        {"hostile-absolute.zip", "entry \"/tmp/escape.txt\": unsafe name (absolute path)"},
        {"hostile-backslash.zip", "unsafe name (backslash)"},
        {"hostile-drive.zip", "entry \"C:/escape.txt\": unsafe name (drive letter)"},
        {"hostile-control.zip", "entry \"a\\x01b.txt\": unsafe name (control character)"},
        {"hostile-empty-segment.zip", "unsafe name (empty segment)"},
        {"hostile-symlink.zip", "entry \"link\": link entry"},
        {"hostile-device.zip", "device entry"},
        {"hostile-fifo.zip", "named pipe entry"},
        {"hostile-duplicate.zip", "entry \"a.txt\": duplicate of entry \"a.txt\""},
        {"hostile-dot-duplicate.zip", "entry \"./a.txt\": duplicate of entry \"a.txt\""},
        {"hostile-encrypted.zip", "entry \"a.txt\": encrypted (ZipCrypto)"},
        {"hostile-aes.zip", "encrypted (AES)"},
        {"hostile-method.zip", "entry \"a.txt\": unsupported compression method 12 (bzip2)"},
        {"hostile-size-lie.zip", "size mismatch (stored entry)"},
        {"hostile-overlap-body.zip", "entry \"b.txt\": overlaps entry \"a.txt\""},
        {"hostile-local-name.zip", "entry \"good\": local header names another file"},
        {"hostile-space.zip", "not enough free space"},
        {"hostile-zip64-wrap.zip", "data outside the archive's entry data"},
        {"hostile-file-then-dir.zip", "entry \"a/b\": lies below the file \"a\""},
        {"broken-crc.zip", "entry \"a.txt\": CRC mismatch"},
        {"broken-deflate.zip", "truncated or damaged deflate data"},
        {"broken-deflate-cut.zip", "entry \"e\": truncated or damaged deflate data"},
        {"broken-deflate-extra.zip", "entry \"e\": size mismatch"},
        {"broken-truncated.zip", "truncated (no end of central directory)"},
        {"broken-offset.zip", "data outside the archive's entry data"},
    };
    int explained = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(kwatest::SourceDir() + "/tests/fuzz/corpus")) {
        const std::string name = entry.path().filename(), bytes = kwatest::ReadFile(entry.path());
        SCOPED_TRACE(name);
        KwaCore::Host::ClearRecords();
        size_t left = 0;
        const bool valid = name.rfind("valid-", 0) == 0;
        EXPECT_EQ(UnzipChecked(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), false,
                               &left),
                  valid);
        EXPECT_TRUE(valid || left == 0) << "written before the refusal";
        const auto log = KwaCore::Host::LogMessages();
        ASSERT_EQ(log.size(), valid ? 0u : 1u);
        if (valid || reasons.count(name) == 0)
            continue;
        const std::string line = log[0].message.ToStdString();
        EXPECT_TRUE(log[0].level == 1 && line.rfind("Cannot unpack ", 0) == 0 &&
                    line.find("archive.zip: ") != std::string::npos &&
                    line.find(reasons.at(name)) != std::string::npos)
            << line;
        ++explained;
    }
    EXPECT_EQ(explained, int(reasons.size()));
}
