// The upload service's answers and what they do to the store, without nginx.
#include <UploadService.h>
#include <UploadStore.h>

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace kwatest;

namespace {

// Hands out a string in small pieces, as a FastCGI stream does.
struct StringBody {
    std::string data;
    bool fail = false;
    size_t offset = 0;
    Kwvp::BodyReader Reader() {
        return [this](char* buffer, size_t size) -> long {
            if (fail)
                return -1;
            const size_t n = std::min<size_t>({size, 3, data.size() - offset});
            data.copy(buffer, n, offset);
            offset += n;
            return static_cast<long>(n);
        };
    }
};

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(fs::relative(it->path(), dir).string());
    std::sort(names.begin(), names.end());
    return names;
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

    std::string Get(const std::string& uri) {
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
    const std::string stored = storeDir + "/a/b/x.html";
    EXPECT_EQ(FileMode(stored), 0600u);
    for (const auto& dir : {storeDir, storeDir + "/a", storeDir + "/a/b"})
        EXPECT_EQ(FileMode(dir), 0700u) << dir;

    for (const char* method : {"GET", "HEAD"}) {
        const auto response = Send(method, "/data/a/b/x.html");
        EXPECT_EQ(response.status, 200) << method;
        EXPECT_EQ(response.headers, "Content-Type: application/octet-stream\r\n"
                                    "X-Content-Type-Options: nosniff\r\nContent-Length: 17\r\n");
        EXPECT_EQ(response.file.Valid(), std::string(method) == "GET");
    }
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
    EXPECT_EQ(Send("OPTIONS", "/data/a").headers, "Allow: GET, HEAD, PUT, POST, DELETE\r\n");
    EXPECT_EQ(Entries(storeDir), (std::vector<std::string>{"a", "a/b", "a/b/x.html"}));
    EXPECT_TRUE(Entries(uploadDir).empty());
}

// Only a file nginx wrote for the request is taken, and nothing is done to any other.
TEST_F(UploadServiceTest, BodyFilesAreCheckedBeforeTheyAreTouched) {
    WriteFile(outside + "/secret", "secret");
    chmod((outside + "/secret").c_str(), 0640);
    ASSERT_EQ(link((outside + "/secret").c_str(), (uploadDir + "/0000000002").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (uploadDir + "/0000000003").c_str()), 0);
    ASSERT_EQ(mkfifo((uploadDir + "/0000000004").c_str(), 0600), 0);
    BodyFile("foreign", "0000000005");
    ASSERT_EQ(chown((uploadDir + "/0000000005").c_str(), getuid() + 1, 0), 0);
    MakeDirs(uploadDir + "/sub", 0700);
    const std::string refused[] = {
        uploadDir + "/0000000002", uploadDir + "/0000000003",
        uploadDir + "/0000000004", uploadDir + "/0000000005",
        outside + "/secret",       uploadDir + "/sub/0000000001",
        "relative/0000000001",     uploadDir + "/../upload/0000000001",
        uploadDir + "/sub",
    };
    for (const auto& file : refused)
        EXPECT_EQ(Send("PUT", "/data/taken", file).status, 500) << file;
    EXPECT_EQ(ReadFile(outside + "/secret"), "secret");
    EXPECT_EQ(FileMode(outside + "/secret"), 0640u);
    EXPECT_FALSE(FileExists(storeDir + "/taken"));
    EXPECT_EQ(Entries(uploadDir), std::vector<std::string>{"sub"}) << "refused bodies removed";

    // A link in the store is never followed, nor the store itself when a link.
    MakeDirs(storeDir, 0700);
    ASSERT_EQ(symlink(outside.c_str(), (storeDir + "/dir").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (storeDir + "/file").c_str()), 0);
    for (const char* method : {"PUT", "GET", "DELETE"}) {
        EXPECT_EQ(Send(method, "/data/dir/secret", BodyFile("evil")).status, 400) << method;
        EXPECT_EQ(Send(method, "/data/file", BodyFile("evil")).status, 400) << method;
    }
    EXPECT_EQ(Entries(outside), std::vector<std::string>{"secret"});
    EXPECT_EQ(ReadFile(outside + "/secret"), "secret");
}

TEST_F(UploadServiceTest, BodiesMoveAcrossFileSystemsAndStaleOnesAreSwept) {
    char shm[] = "/dev/shm/kwvp-unit-XXXXXX"; // a web root on another file system
    if (mkdtemp(shm) != nullptr) {
        const std::shared_ptr<void> cleanup(nullptr, [&](void*) { RemoveTree(shm); });
        Kwvp::UploadStore other{shm, storeDir};
        WriteFile(std::string(shm) + "/upload/0000000007", std::string(300000, 'x'));
        const Kwvp::UploadRequest put{"PUT", "/data/c", std::string(shm) + "/upload/0000000007",
                                      "SUCCESS", getuid()};
        EXPECT_EQ(Kwvp::HandleRequest(other, put, StringBody{}.Reader()).status, 201);
        EXPECT_EQ(FileSize(storeDir + "/c"), 300000);
        EXPECT_EQ(FileMode(storeDir + "/c"), 0600u);
        EXPECT_EQ(Entries(storeDir), std::vector<std::string>{"c"});
        EXPECT_FALSE(FileExists(put.contentFile));
    }
    const std::string stale = BodyFile("old", "0000000001"), fresh = BodyFile("new", "0000000002");
    const std::string other = BodyFile("old", "notabody");
    for (const auto& path : {stale, other}) {
        const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 7200, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    EXPECT_EQ(store.SweepBodyFiles(std::chrono::hours(1)), 1);
    EXPECT_FALSE(FileExists(stale));
    EXPECT_TRUE(FileExists(fresh) && FileExists(other));
}

} // namespace
