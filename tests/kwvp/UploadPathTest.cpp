// The rules for the paths below /data/.
#include <UploadPath.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Kwvp::SplitUploadPath;

TEST(UploadPath, AcceptsPlainPaths) {
    const struct {
        std::string path;
        std::vector<std::string> names;
    } cases[] = {
        {"a", {"a"}},
        {"packages/x/kwupdate_1.zip", {"packages", "x", "kwupdate_1.zip"}},
        {"with space/\xc3\xbc.bin", {"with space", "\xc3\xbc.bin"}},
        {"...", {"..."}},
        {"..a/b..", {"..a", "b.."}},
        {".hidden", {".hidden"}},
        {std::string(255, 'n'), {std::string(255, 'n')}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> names;
        EXPECT_TRUE(SplitUploadPath(c.path, names)) << c.path;
        EXPECT_EQ(names, c.names) << c.path;
    }
}

TEST(UploadPath, RefusesPathsThatCouldLeaveTheStore) {
    std::string longPath;
    while (longPath.size() <= Kwvp::kMaxPathBytes)
        longPath += "abcdefgh/";
    longPath += "x";
    const std::string cases[] = {
        "",
        "/",
        "/etc/passwd",
        "..",
        "../x",
        "a/../../x",
        "a/..",
        ".",
        "a/./b",
        "a//b",
        "a/",
        "%2e%2e/x", // percent-encoded once more than nginx decodes
        "%2E%2E",
        "a%2fb",
        "..\\x", // backslash
        "a\\b",
        std::string("a\0b", 3),
        "a\nb",
        "a\x7f",
        "q?x",          // nginx would cut the X-Accel-Redirect here
        ".kwvp-upload", // the temporary files of the store
        "d/.kwvp-abc",
        std::string(256, 'n'),
        longPath,
    };
    for (const auto& path : cases) {
        std::vector<std::string> names{"stale"};
        EXPECT_FALSE(SplitUploadPath(path, names)) << path;
        EXPECT_TRUE(names.empty()) << path;
    }
}

TEST(UploadPath, EncodesForTheRedirectHeader) {
    EXPECT_EQ(Kwvp::EncodeUriPath("a/B-9._~"), "a/B-9._~");
    EXPECT_EQ(Kwvp::EncodeUriPath("x y/\xc3\xbc+#;"), "x%20y/%C3%BC%2B%23%3B");
}

} // namespace
