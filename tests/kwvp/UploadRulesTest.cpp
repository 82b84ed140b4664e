// The rules kwvp applies to what it is handed: paths below /data/, the web
// server's configuration, FastCGI parameters.
#include <FastCgi.h>
#include <NginxConfig.h>
#include <UploadPath.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

TEST(UploadRules, PathsBelowData) {
    const std::pair<std::string, std::vector<std::string>> accepted[] = {
        {"packages/x/kwupdate_1.zip", {"packages", "x", "kwupdate_1.zip"}},
        {"with space/\xc3\xbc.bin", {"with space", "\xc3\xbc.bin"}},
        {"..a/b..", {"..a", "b.."}},
        {".hidden", {".hidden"}},
        {std::string(255, 'n'), {std::string(255, 'n')}}};
    std::vector<std::string> names;
    for (const auto& [path, expected] : accepted) {
        EXPECT_TRUE(Kwvp::SplitUploadPath(path, names)) << path;
        EXPECT_EQ(names, expected) << path;
    }
    // Paths that could leave the store, that nginx decoded once less, that are too
    // long, or that name the store's temporary files.
    std::vector<std::string> refused = {
        "",      "/",     "/etc/passwd", "..",  "a/../../x",    "a/..",
        ".",     "a/./b", "a//b",        "a/",  "%2e%2e/x",     "a%2fb",
        "..\\x", "a\nb",  "a\x7f",       "q?x", ".kwvp-upload", "d/.kwvp-abc"};
    refused.insert(refused.end(),
                   {std::string("a\0b", 3), std::string(256, 'n'), std::string(1025, 'n') + "/x"});
    for (const auto& path : refused) {
        EXPECT_FALSE(Kwvp::SplitUploadPath(path, names)) << path;
        EXPECT_TRUE(names.empty()) << path;
    }
}

TEST(UploadRules, UploadsFollowTheConfiguration) {
    const struct {
        std::string text;
        bool passes; // to port 4123
    } cases[] = {
        {"  location /data/ {\n    fastcgi_pass                  127.0.0.1:4123;\n  }\n", true},
        {"location /data/{fastcgi_pass 127.0.0.1:4123 ;}", true},
        {"    fastcgi_pass 127.0.0.1:41234;\n", false},
        {"    fastcgi_pass 127.0.0.1:4124;\n", false},
        {"  # fastcgi_pass 127.0.0.1:4123;\n", false},
        {"    my_fastcgi_pass 127.0.0.1:4123;\n", false},
        {"    fastcgi_pass 127.0.0.2:4123;\n", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Kwvp::PassesFastCgiTo(c.text, 4123), c.passes) << c.text;
    EXPECT_EQ(Kwvp::ConfigPathOf({"-p", "/w/", "-c", "nginx.conf"}), "/w/nginx.conf");
    EXPECT_EQ(Kwvp::ConfigPathOf({"-p", "/w", "-c", "/etc/n.conf", "-f"}), "/etc/n.conf");
    EXPECT_EQ(Kwvp::ConfigPathOf({"-p", "/w", "-c"}), "");
    EXPECT_FALSE(Kwvp::ConfigPassesFastCgiTo("/dev/null", 4123)); // not a regular file
}

TEST(UploadRules, FastCgiParameters) {
    std::map<std::string, std::string> params;
    const std::string big(200, 'v');
    using namespace std::string_literals;
    const std::string data = "\x03\x01URIx"s + "\x04\x80\x00\x00\xc8"s + "DATA" + big;
    ASSERT_TRUE(Kwvp::ParseFastCgiParams(data, params));
    EXPECT_EQ(params["URI"], "x");
    EXPECT_EQ(params["DATA"], big);
    // Lengths that run past the data.
    for (const std::string bad :
         {"\x03\x01UR", "\x7f\x00", "\x01\x80\x00\x00", "\x01\xff\xff\xff\xffN"})
        EXPECT_FALSE(Kwvp::ParseFastCgiParams(bad, params)) << bad.size();
}

} // namespace
