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
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace kwatest;

namespace {

// Hands out a string in small pieces, as the FastCGI stream does.
struct StringBody {
    std::string data;
    size_t offset = 0;
    bool fail = false;
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
    bool Drained() const { return offset == data.size(); }
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
        MakeDirs(webRoot, 0755);
        MakeDirs(uploadDir, 0700); // as nginx makes it
        MakeDirs(outside, 0755);
    }

    // A request body as nginx leaves it below the upload directory.
    std::string BodyFile(const std::string& content, const std::string& name = "0000000001") {
        const std::string path = uploadDir + "/" + name;
        WriteFile(path, content);
        chmod(path.c_str(), 0600);
        return path;
    }

    Kwvp::UploadResponse Send(const std::string& method, const std::string& uri,
                              const std::string& contentFile = "", StringBody* body = nullptr,
                              const std::string& verified = "SUCCESS") {
        StringBody none;
        StringBody& b = body ? *body : none;
        return Kwvp::HandleRequest(store, {method, uri, contentFile, verified}, b.Reader());
    }

    TempDir root{"kwvp-unit"};
    std::string webRoot = root / "www";
    std::string uploadDir = webRoot + "/upload";
    std::string storeDir = uploadDir + "/store";
    std::string outside = root / "outside";
    Kwvp::UploadStore store{webRoot};
};

TEST_F(UploadServiceTest, PutMovesTheBodyFileIntoTheStore) {
    const std::string body = BodyFile("package bytes");
    struct stat before;
    ASSERT_EQ(stat(body.c_str(), &before), 0);
    const mode_t oldMask = umask(077); // the agent's umask must not decide the modes
    const auto response = Send("PUT", "/data/a/b/f.zip", body);
    umask(oldMask);

    EXPECT_EQ(response.status, 201);
    const std::string stored = storeDir + "/a/b/f.zip";
    EXPECT_EQ(ReadFile(stored), "package bytes");
    struct stat after;
    ASSERT_EQ(stat(stored.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "renamed, not copied";
    EXPECT_FALSE(FileExists(body));
    EXPECT_EQ(FileMode(stored), 0644u);
    for (const auto& dir : {storeDir, storeDir + "/a", storeDir + "/a/b"})
        EXPECT_EQ(FileMode(dir), 0711u) << dir;

    // POST replaces it the same way.
    EXPECT_EQ(Send("POST", "/data/a/b/f.zip", BodyFile("second")).status, 201);
    EXPECT_EQ(ReadFile(stored), "second");
    EXPECT_EQ(Entries(uploadDir),
              (std::vector<std::string>{"store", "store/a", "store/a/b", "store/a/b/f.zip"}));
}

TEST_F(UploadServiceTest, PutWithoutBodyFileStoresTheStreamedBody) {
    StringBody body{"streamed over FastCGI"};
    EXPECT_EQ(Send("PUT", "/data/s.txt", "", &body).status, 201);
    EXPECT_EQ(ReadFile(storeDir + "/s.txt"), "streamed over FastCGI");
    EXPECT_EQ(FileMode(storeDir + "/s.txt"), 0644u);

    // A broken stream stores nothing and leaves no temporary file.
    StringBody broken{"lost", 0, true};
    EXPECT_EQ(Send("PUT", "/data/s.txt", "", &broken).status, 500);
    EXPECT_EQ(ReadFile(storeDir + "/s.txt"), "streamed over FastCGI");
    EXPECT_EQ(Entries(storeDir), std::vector<std::string>{"s.txt"});
}

TEST_F(UploadServiceTest, GetRedirectsToTheStoredFileAndDeleteRemovesIt) {
    ASSERT_EQ(Send("PUT", "/data/x y/\xc3\xbc.bin", BodyFile("1")).status, 201);
    for (const char* method : {"GET", "HEAD"}) {
        const auto response = Send(method, "/data/x y/\xc3\xbc.bin");
        EXPECT_EQ(response.status, 200) << method;
        EXPECT_EQ(response.headers, "X-Accel-Redirect: /upload/store/x%20y/%C3%BC.bin\r\n");
    }
    EXPECT_EQ(Send("GET", "/data/x y/other").status, 404);
    EXPECT_EQ(Send("GET", "/data/nothing/here").status, 404);
    EXPECT_EQ(Send("GET", "/data/x y").status, 404) << "a directory is not a stored file";

    EXPECT_EQ(Send("DELETE", "/data/x y/\xc3\xbc.bin").status, 204);
    EXPECT_FALSE(FileExists(storeDir + "/x y/\xc3\xbc.bin"));
    EXPECT_EQ(Send("GET", "/data/x y/\xc3\xbc.bin").status, 404);
    EXPECT_EQ(Send("DELETE", "/data/x y/\xc3\xbc.bin").status, 404);
    EXPECT_EQ(Send("DELETE", "/data/x y").status, 409);
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
        const auto response = Send(c.method, c.uri, bodyFile, &body, c.verified);
        EXPECT_EQ(response.status, c.status) << c.method << " " << c.uri;
        EXPECT_FALSE(FileExists(bodyFile)) << c.method << " " << c.uri;
        EXPECT_TRUE(body.Drained()) << c.method << " " << c.uri;
    }
    EXPECT_EQ(Send("OPTIONS", "/data/a").headers, "Allow: GET, HEAD, PUT, POST, DELETE\r\n");
    EXPECT_TRUE(Entries(uploadDir).empty());
    EXPECT_TRUE(Entries(outside).empty());
}

TEST_F(UploadServiceTest, SymlinksInTheStoreAreRefused) {
    MakeDirs(storeDir, 0711);
    WriteFile(outside + "/secret", "secret");
    ASSERT_EQ(symlink(outside.c_str(), (storeDir + "/dir").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (storeDir + "/file").c_str()), 0);

    EXPECT_EQ(Send("PUT", "/data/dir/x", BodyFile("evil")).status, 400);
    EXPECT_EQ(Send("PUT", "/data/file", BodyFile("evil")).status, 400);
    EXPECT_EQ(Send("GET", "/data/file").status, 400);
    EXPECT_EQ(Send("GET", "/data/dir/secret").status, 400);
    EXPECT_EQ(Send("DELETE", "/data/dir/secret").status, 400);
    EXPECT_EQ(Send("DELETE", "/data/file").status, 400);

    EXPECT_EQ(Entries(outside), std::vector<std::string>{"secret"});
    EXPECT_EQ(ReadFile(outside + "/secret"), "secret");
    EXPECT_TRUE(IsSymlink(storeDir + "/file"));
    EXPECT_FALSE(FileExists(uploadDir + "/0000000001"));

    // The store itself replaced by a link.
    RemoveTree(storeDir);
    ASSERT_EQ(symlink(outside.c_str(), storeDir.c_str()), 0);
    EXPECT_EQ(Send("PUT", "/data/x", BodyFile("evil")).status, 400);
    EXPECT_EQ(Entries(outside), std::vector<std::string>{"secret"});
}

TEST_F(UploadServiceTest, ConflictsAndForeignBodyFiles) {
    ASSERT_EQ(Send("PUT", "/data/a", BodyFile("file")).status, 201);
    EXPECT_EQ(Send("PUT", "/data/a/b", BodyFile("under a file")).status, 409);
    ASSERT_EQ(Send("PUT", "/data/d/f", BodyFile("f")).status, 201);
    EXPECT_EQ(Send("PUT", "/data/d", BodyFile("over a directory")).status, 409);
    EXPECT_EQ(ReadFile(storeDir + "/a"), "file");

    // Only files that nginx wrote below the upload directory, outside the store,
    // are ever moved or removed.
    WriteFile(outside + "/passwd", "keep me");
    const std::string foreign[] = {outside + "/passwd", storeDir + "/a", "relative/0000000001",
                                   uploadDir + "/../upload/store/a"};
    for (const auto& file : foreign) {
        EXPECT_EQ(Send("PUT", "/data/taken", file).status, 500) << file;
        EXPECT_EQ(Send("DELETE", "/data/none", file).status, 404) << file;
    }
    EXPECT_EQ(ReadFile(outside + "/passwd"), "keep me");
    EXPECT_EQ(ReadFile(storeDir + "/a"), "file");
    EXPECT_FALSE(FileExists(storeDir + "/taken"));
}

TEST_F(UploadServiceTest, MoveIntoCopiesAcrossFileSystems) {
    struct stat shm, tmp;
    if (stat("/dev/shm", &shm) != 0 || stat(root.path().c_str(), &tmp) != 0 ||
        shm.st_dev == tmp.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    char pattern[] = "/dev/shm/kwvp-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    struct Remove {
        std::string path;
        ~Remove() { RemoveTree(path); }
    } other{pattern};
    const std::string source = other.path + "/0000000007";
    WriteFile(source, std::string(300000, 'x'));
    Kwvp::UniqueFd src(open(source.c_str(), O_RDONLY));
    Kwvp::UniqueFd dir(open(outside.c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(Kwvp::MoveInto(src.Get(), source, dir.Get(), "copied"), Kwvp::StoreResult::Ok);
    EXPECT_EQ(FileSize(outside + "/copied"), 300000);
    EXPECT_EQ(FileMode(outside + "/copied"), 0644u);
    EXPECT_FALSE(FileExists(source));
    EXPECT_EQ(Entries(outside), std::vector<std::string>{"copied"});
}

TEST_F(UploadServiceTest, SweepRemovesOnlyStaleBodyFiles) {
    const std::string stale = BodyFile("old", "0000000001");
    const std::string fresh = BodyFile("new", "0000000002");
    const std::string other = BodyFile("old", "notabody");
    for (const auto& path : {stale, other}) {
        const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 7200, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    store.SweepBodyFiles(std::chrono::hours(1));
    EXPECT_FALSE(FileExists(stale));
    EXPECT_TRUE(FileExists(fresh));
    EXPECT_TRUE(FileExists(other));
}

} // namespace
