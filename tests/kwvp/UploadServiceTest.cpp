// The upload service without nginx: the rules for what it is handed (paths below
// /data/, the configuration, FastCGI parameters), its answers and what they do to
// the store.
#include <FastCgi.h>
#include <NginxConfig.h>
#include <UploadPath.h>
#include <UploadService.h>

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

using namespace kwatest;

namespace {

// Hands out a string in small pieces, as a FastCGI stream does.
struct StringBody {
    std::string data;
    bool fail = false;
    size_t offset = 0;
    Kwvp::BodyReader Reader() {
        return [this](char* buffer, size_t size) -> long {
            const size_t n = std::min<size_t>({size, 3, data.size() - offset});
            offset += data.copy(buffer, n, offset);
            return fail ? -1 : static_cast<long>(n);
        };
    }
};

// What lies below dir, one "./name" a line, sorted.
std::string Entries(const std::string& dir) {
    return RunCommand("cd " + ShellQuote(dir) + " 2>/dev/null && find . -mindepth 1 | sort").output;
}

TEST(UploadRules, PathsBelowData) {
    const std::pair<std::string, std::vector<std::string>> accepted[] = {
        {"with space/\xc3\xbc.bin", {"with space", "\xc3\xbc.bin"}},
        {"..a/b..", {"..a", "b.."}},
        {std::string(255, 'n'), {std::string(255, 'n')}}};
    std::vector<std::string> names;
    for (const auto& [path, expected] : accepted) {
        EXPECT_TRUE(Kwvp::SplitUploadPath(path, names)) << path;
        EXPECT_EQ(names, expected) << path;
    }
    // Refused: leaving the store, decoded once less by nginx, too long, temporary names.
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

TEST(UploadRules, ConfigurationAndFastCgiParameters) {
    for (const char* text : {"location /data/ {\n    fastcgi_pass        127.0.0.1:4123;\n  }\n",
                             "location /data/{fastcgi_pass 127.0.0.1:4123 ;}"})
        EXPECT_TRUE(Kwvp::PassesFastCgiTo(text, 4123)) << text;
    for (const char* text : {"fastcgi_pass 127.0.0.1:41234;", "fastcgi_pass 127.0.0.1:4124;",
                             "# fastcgi_pass 127.0.0.1:4123;", "my_fastcgi_pass 127.0.0.1:4123;",
                             "fastcgi_pass 127.0.0.2:4123;", ""})
        EXPECT_FALSE(Kwvp::PassesFastCgiTo(text, 4123)) << text;
    EXPECT_EQ(Kwvp::ConfigPathOf({"-p", "/w/", "-c", "nginx.conf"}), "/w/nginx.conf");
    EXPECT_FALSE(Kwvp::ConfigPassesFastCgiTo("/dev/null", 4123)); // not a regular file

    // FastCGI parameters, and lengths that run past the end.
    using namespace std::string_literals;
    std::map<std::string, std::string> params;
    ASSERT_TRUE(Kwvp::ParseFastCgiParams(
        "\x03\x01URIx\x04\x80\x00\x00\xc8"s + "DATA" + std::string(200, 'v'), params));
    EXPECT_EQ(params["DATA"], std::string(200, 'v')) << params["URI"];
    for (const std::string bad : {"\x03\x01UR", "\x7f", "\x01\x80", "\x01\xff\xff\xff\xffN"})
        EXPECT_FALSE(Kwvp::ParseFastCgiParams(bad, params)) << bad.size();
}

class UploadServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        MakeDirs(uploadDir, 0700); // as nginx makes it
        MakeDirs(outside, 0755);
    }

    // A request body as nginx leaves it in the upload directory.
    std::string BodyFile(const std::string& content, const std::string& name = "0000000001") {
        WriteFile(uploadDir + "/" + name, content);
        chmod((uploadDir + "/" + name).c_str(), 0600);
        return uploadDir + "/" + name;
    }

    Kwvp::UploadResponse Send(const std::string& method, const std::string& uri,
                              const std::string& contentFile = "", StringBody* body = nullptr,
                              const std::string& verified = "SUCCESS") {
        StringBody none;
        return Kwvp::HandleRequest(store, {method, uri, contentFile, verified, getuid()},
                                   (body ? *body : none).Reader());
    }

    std::string Get(const std::string& uri) { // the body of a GET
        return ReadFile("/proc/self/fd/" + std::to_string(Send("GET", uri).file.Get()));
    }

    TempDir root{"kwvp-unit"};
    std::string webRoot = root / "www";
    std::string uploadDir = webRoot + "/upload";
    std::string storeDir = root / "uploads";
    std::string outside = root / "outside";
    Kwvp::UploadStore store{webRoot, storeDir};
};

TEST_F(UploadServiceTest, StoredOutsideTheWebRootAndAnsweredAsData) {
    const mode_t oldMask = umask(0); // the agent's umask must not decide the modes
    EXPECT_EQ(Send("PUT", "/data/a/b/x.html", BodyFile("<html>page</html>")).status, 201);
    umask(oldMask);
    EXPECT_EQ(FileMode(storeDir + "/a/b/x.html"), 0600u);
    for (const auto& dir : {storeDir, storeDir + "/a", storeDir + "/a/b"})
        EXPECT_EQ(FileMode(dir), 0700u) << dir;

    const auto get = Send("GET", "/data/a/b/x.html");
    EXPECT_EQ(get.headers, "Content-Type: application/octet-stream\r\n"
                           "X-Content-Type-Options: nosniff\r\nContent-Length: 17\r\n");
    EXPECT_FALSE(Send("HEAD", "/data/a/b/x.html").file.Valid());
    EXPECT_EQ(Get("/data/a/b/x.html"), "<html>page</html>");
    EXPECT_EQ(Send("POST", "/data/a/b/x.html", BodyFile("second")).status, 201);
    EXPECT_EQ(Get("/data/a/b/x.html"), "second");

    // Streamed without a body file; a broken stream stores nothing.
    StringBody streamed{"streamed"}, broken{"lost", true};
    EXPECT_EQ(Send("PUT", "/data/s", "", &streamed).status, 201);
    EXPECT_EQ(Send("PUT", "/data/s", "", &broken).status, 500);
    EXPECT_EQ(ReadFile(storeDir + "/s"), "streamed");

    // Refused or not, the body is drained and its file removed unless stored.
    const std::pair<std::string, int> cases[] = {
        {"GET /data/a/b/other", 404}, {"GET /data/a", 404},
        {"PUT /data/s/x", 409},       {"DELETE /data/a", 409},
        {"DELETE /data/s", 204},      {"DELETE /data/s", 404},
        {"PUT /data/a NONE", 403},    {"GET /data/a -", 403},
        {"PATCH /data/a", 405},       {" /data/a", 405},
        {"PUT /data/", 400},          {"PUT /data/../x", 400},
        {"POST /other/a", 400},       {"PUT /data", 400}};
    for (const auto& [request, status] : cases) { // method, URI, verification
        std::istringstream words(request);
        std::string method, uri, verified = "SUCCESS";
        std::getline(words, method, ' '), words >> uri >> verified;
        StringBody stream{"request body"};
        const std::string bodyFile = BodyFile("request body");
        EXPECT_EQ(Send(method, uri, bodyFile, &stream, verified == "-" ? "" : verified).status,
                  status)
            << request;
        EXPECT_FALSE(FileExists(bodyFile)) << request;
        EXPECT_EQ(stream.offset, stream.data.size()) << "drained: " << request;
    }
    EXPECT_EQ(Entries(storeDir), "./a\n./a/b\n./a/b/x.html\n");
    EXPECT_EQ(Entries(uploadDir), "");
}

// Only a file nginx wrote for the request is taken, and nothing is done to any other.
TEST_F(UploadServiceTest, BodyFilesAreCheckedAndSwept) {
    WriteFile(outside + "/secret", "secret");
    chmod((outside + "/secret").c_str(), 0640);
    ASSERT_EQ(link((outside + "/secret").c_str(), (uploadDir + "/0000000002").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (uploadDir + "/0000000003").c_str()), 0);
    ASSERT_EQ(mkfifo((uploadDir + "/0000000004").c_str(), 0600), 0);
    BodyFile("foreign", "0000000005");
    ASSERT_EQ(chown((uploadDir + "/0000000005").c_str(), getuid() + 1, 0), 0);
    MakeDirs(uploadDir + "/sub", 0700);
    for (const std::string file :
         {"/0000000002", "/0000000003", "/0000000004", "/0000000005", "/sub/0000000001",
          "/../upload/0000000001", "/sub", "/../../outside/secret"})
        EXPECT_EQ(Send("PUT", "/data/taken", uploadDir + file).status, 500) << file;
    EXPECT_EQ(ReadFile(outside + "/secret"), "secret");
    EXPECT_EQ(FileMode(outside + "/secret"), 0640u);
    EXPECT_FALSE(FileExists(storeDir + "/taken"));
    EXPECT_EQ(Entries(uploadDir), "./sub\n") << "refused bodies removed";

    // A link in the store is never followed, nor the store itself when a link.
    MakeDirs(storeDir, 0700);
    ASSERT_EQ(symlink(outside.c_str(), (storeDir + "/dir").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (storeDir + "/file").c_str()), 0);
    for (const char* method : {"PUT", "GET", "DELETE"}) {
        EXPECT_EQ(Send(method, "/data/dir/secret", BodyFile("evil")).status, 400) << method;
        EXPECT_EQ(Send(method, "/data/file", BodyFile("evil")).status, 400) << method;
    }
    EXPECT_EQ(Entries(outside), "./secret\n");
    EXPECT_EQ(ReadFile(outside + "/secret"), "secret");

    // The sweep takes only body files (names of digits) unchanged for long enough.
    const std::string stale = BodyFile("old", "0000000001"), fresh = BodyFile("new", "0000000002");
    const std::string other = BodyFile("old", "notabody");
    const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 7200, 0}};
    for (const auto& path : {stale, other})
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(store.SweepBodyFiles(std::chrono::hours(1)), 1);
    EXPECT_EQ(Entries(uploadDir), "./0000000002\n./notabody\n./sub\n");
}

} // namespace
