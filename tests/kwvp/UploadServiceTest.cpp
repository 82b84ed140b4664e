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

    static std::string Content(const Kwvp::UploadResponse& response) {
        std::string data(static_cast<size_t>(response.size), '\0');
        EXPECT_EQ(pread(response.file.Get(), &data[0], data.size(), 0), response.size);
        return data;
    }

    TempDir root{"kwvp-unit"};
    std::string webRoot = root / "www";
    std::string uploadDir = webRoot + "/upload";
    std::string storeDir = root / "uploads";
    std::string outside = root / "outside";
    Kwvp::UploadStore store{webRoot, storeDir};
};

TEST_F(UploadServiceTest, StoredOutsideTheWebRootAndAnsweredAsData) {
    const std::string body = BodyFile("<html>page</html>");
    struct stat before;
    ASSERT_EQ(stat(body.c_str(), &before), 0);
    const mode_t oldMask = umask(0); // the agent's umask must not decide the modes
    EXPECT_EQ(Send("PUT", "/data/a/b/x.html", body).status, 201);
    umask(oldMask);
    const std::string stored = storeDir + "/a/b/x.html";
    struct stat after;
    ASSERT_EQ(stat(stored.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "renamed, not copied";
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
    EXPECT_EQ(Content(Send("GET", "/data/a/b/x.html")), "<html>page</html>");
    EXPECT_EQ(Send("POST", "/data/a/b/x.html", BodyFile("second")).status, 201);
    EXPECT_EQ(Content(Send("GET", "/data/a/b/x.html")), "second");

    // Streamed without a body file; a broken stream stores nothing.
    StringBody streamed{"streamed"}, broken{"lost", true};
    EXPECT_EQ(Send("PUT", "/data/s", "", &streamed).status, 201);
    EXPECT_EQ(Send("PUT", "/data/s", "", &broken).status, 500);
    EXPECT_EQ(ReadFile(storeDir + "/s"), "streamed");

    const struct {
        const char *method, *uri;
        int status;
    } after_[] = {{"GET", "/data/a/b/other", 404}, {"GET", "/data/a", 404},
                  {"PUT", "/data/s/x", 409},       {"DELETE", "/data/a", 409},
                  {"DELETE", "/data/s", 204},      {"DELETE", "/data/s", 404}};
    for (const auto& c : after_)
        EXPECT_EQ(Send(c.method, c.uri, BodyFile("b")).status, c.status) << c.method << c.uri;
    EXPECT_EQ(Entries(storeDir), (std::vector<std::string>{"a", "a/b", "a/b/x.html"}));
    EXPECT_TRUE(Entries(uploadDir).empty());
}

TEST_F(UploadServiceTest, RefusedRequestsStoreNothingAndDropTheBody) {
    const struct {
        std::string method, uri, verified;
        int status;
    } cases[] = {
        {"PUT", "/data/a", "NONE", 403},      {"GET", "/data/a", "", 403},
        {"PATCH", "/data/a", "SUCCESS", 405}, {"", "/data/a", "SUCCESS", 405},
        {"PUT", "/data/", "SUCCESS", 400},    {"PUT", "/data/../x", "SUCCESS", 400},
        {"POST", "/other/a", "SUCCESS", 400}, {"PUT", "/data", "SUCCESS", 400},
    };
    for (const auto& c : cases) {
        StringBody body{"request body"};
        const std::string bodyFile = BodyFile("request body");
        EXPECT_EQ(Send(c.method, c.uri, bodyFile, &body, c.verified).status, c.status) << c.uri;
        EXPECT_FALSE(FileExists(bodyFile)) << c.method << " " << c.uri;
        EXPECT_EQ(body.offset, body.data.size()) << "drained: " << c.method << " " << c.uri;
    }
    EXPECT_EQ(Send("OPTIONS", "/data/a").headers, "Allow: GET, HEAD, PUT, POST, DELETE\r\n");
    EXPECT_TRUE(Entries(uploadDir).empty());
    EXPECT_FALSE(FileExists(storeDir));
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
    struct stat shm, tmp;
    if (stat("/dev/shm", &shm) == 0 && stat(root.path().c_str(), &tmp) == 0 &&
        shm.st_dev != tmp.st_dev) {
        char pattern[] = "/dev/shm/kwvp-unit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        const std::shared_ptr<void> cleanup(nullptr, [&](void*) { RemoveTree(pattern); });
        const std::string from = pattern, body = from + "/0000000007";
        WriteFile(body, std::string(300000, 'x'));
        Kwvp::UniqueFd fromFd(open(pattern, O_RDONLY | O_DIRECTORY));
        Kwvp::UniqueFd bodyFd(open(body.c_str(), O_RDONLY));
        Kwvp::UniqueFd dir(open(outside.c_str(), O_RDONLY | O_DIRECTORY));
        EXPECT_EQ(Kwvp::MoveBody(fromFd.Get(), "0000000007", bodyFd.Get(), dir.Get(), "copied"),
                  Kwvp::StoreResult::Ok);
        EXPECT_EQ(FileSize(outside + "/copied"), 300000);
        EXPECT_EQ(FileMode(outside + "/copied"), 0600u);
        EXPECT_EQ(Entries(outside), std::vector<std::string>{"copied"});
        EXPECT_FALSE(FileExists(body));
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
