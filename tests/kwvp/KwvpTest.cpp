// kwvp: what the upload service accepts and does to the store; and kwvp.exe with the
// real nginx: who may use the upload service, how the two processes live and end.
#include "RelayFixture.h"

#include <FastCgi.h>
#include <NginxConfig.h>
#include <UploadPath.h>
#include <UploadService.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

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
    void SetUp() override { MakeDirs(uploadDir, 0700); } // as nginx makes it

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

    EXPECT_EQ(Send("GET", "/data/a/b/x.html").headers,
              "Content-Type: application/octet-stream\r\n"
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

    // Refused or not, the body is drained and removed unless stored; no store link is followed.
    WriteFile(outside + "/secret", "secret");
    ASSERT_EQ(symlink(outside.c_str(), (storeDir + "/l").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (storeDir + "/f").c_str()), 0);
    const std::pair<std::string, int> cases[] = {
        {"GET /data/a/b/other", 404}, {"GET /data/a", 404},
        {"PUT /data/s/x", 409},       {"DELETE /data/a", 409},
        {"DELETE /data/s", 204},      {"DELETE /data/s", 404},
        {"PUT /data/a NONE", 403},    {"GET /data/a -", 403},
        {"PATCH /data/a", 405},       {" /data/a", 405},
        {"PUT /data/", 400},          {"PUT /data/../x", 400},
        {"POST /other/a", 400},       {"PUT /data", 400},
        {"PUT /data/l/x", 400},       {"GET /data/l/secret", 400},
        {"DELETE /data/l/x", 400},    {"PUT /data/f", 400},
        {"GET /data/f", 400},         {"DELETE /data/f", 400}};
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
    EXPECT_EQ(Entries(storeDir), "./a\n./a/b\n./a/b/x.html\n./f\n./l\n");
    EXPECT_EQ(Entries(uploadDir), "");
    EXPECT_EQ(Entries(outside), "./secret\n");
    EXPECT_EQ(ReadFile(outside + "/secret"), "secret");
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

    // The sweep takes only body files (names of digits) unchanged for long enough.
    const std::string stale = BodyFile("old", "0000000001"), fresh = BodyFile("new", "0000000002");
    const std::string other = BodyFile("old", "notabody");
    const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 7200, 0}};
    for (const auto& path : {stale, other})
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(store.SweepBodyFiles(std::chrono::hours(1)), 1);
    EXPECT_EQ(Entries(uploadDir), "./0000000002\n./notabody\n./sub\n");
}

// DELETE /data/keep in FastCGI records as nginx sends them (begin, parameters, body).
std::string FastCgiDelete() {
    const auto record = [](char type, const std::string& content) {
        return std::string{1, type, 0, 1, 0, static_cast<char>(content.size()), 0, 0} + content;
    };
    using namespace std::string_literals;
    const std::string params =
        "\x0e\x06REQUEST_METHODDELETE\x03\x0aURI/data/keep\x08\x07VERIFIEDSUCCESS"s;
    return record(1, "\0\1\0\0\0\0\0\0"s) + record(4, params) + record(4, "") + record(5, "");
}

class KwvpProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(webRoot + "/index.html", "static page\n");
        const auto cert =
            RunCommand("cd " + ShellQuote(work.path()) +
                       " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:"
                       "prime256v1 -nodes -days 1 -subj /CN=localhost -keyout key.pem "
                       "-out cert.pem 2>&1");
        ASSERT_EQ(cert.exitCode, 0) << cert.output;
        WriteConfig(true);
    }
    void TearDown() override { kwvp.KillLeftovers(work.path()); } // nginx names work in argv

    // The relay's configuration reduced to what kwvp relies on (paths below nginx's -p).
    void WriteConfig(bool uploads) {
        const std::string upload =
            "location /data/ { client_body_in_file_only on; fastcgi_param URI $uri; "
            "fastcgi_param REQUEST_METHOD $request_method; fastcgi_param VERIFIED SUCCESS; "
            "fastcgi_param CONTENT_FILE $request_body_file; fastcgi_pass 127.0.0.1:" +
            std::to_string(port + 1) + "; client_body_temp_path " + webRoot +
            "/upload; } location /upload/ { internal; }";
        WriteFile(work / "nginx.conf",
                  "daemon off; error_log error.log; pid nginx.pid; events {} http { server { "
                  "ssl_certificate cert.pem; ssl_certificate_key key.pem; root www; listen "
                  "127.0.0.1:" +
                      std::to_string(port) + " ssl; " + (uploads ? upload : "") + " } }");
    }

    // nginx.exe (or another program) with nginx's arguments; kwvp.exe's arguments.
    std::string NginxCommand(const std::string& exe = BinDir() + "/nginx.exe") {
        return ShellQuote(exe) + " -p " + ShellQuote(work.path() + "/") + " -c " +
               ShellQuote(work / "nginx.conf");
    }
    std::string Args(const std::string& exe = BinDir() + "/nginx.exe") {
        return "localhost:" + std::to_string(port + 1) + " " + ShellQuote(webRoot) + " " +
               NginxCommand(exe);
    }

    // Starts kwvp and waits until nginx answers (and the upload service, when on).
    void Start(bool uploads = true) {
        kwvp.Start("", Args());
        ASSERT_TRUE(WaitUntil([&] {
            return PidIn(work / "nginx.pid") > 0 && LoopbackConnects(port) &&
                   (!uploads || LoopbackConnects(port + 1));
        })) << kwvp.Output();
        nginx = PidIn(work / "nginx.pid");
    }
    int Ended() { return kwvp.Ended(std::chrono::seconds(20)); }
    int Nginx(const std::string& args) {
        return RunCommand(NginxCommand() + " " + args + " 2>&1").exitCode;
    }

    // Runs curl against the relay; returns the HTTP status (0 when none came).
    int Curl(const std::string& args, const std::string& path) { // the body in curl.out
        const auto result =
            RunCommand("curl -sk --noproxy '*' --max-time 30 --path-as-is -o " +
                       ShellQuote(work / "curl.out") + " -w '%{http_code}' " + args + " " +
                       ShellQuote("https://127.0.0.1:" + std::to_string(port) + path));
        return std::atoi(result.output.c_str());
    }

    TempDir work{"kwvp-e2e"};
    std::string webRoot = work / "www";
    int port = FreePortPair();
    long nginx = 0;
    AgentProcess kwvp{work.path(), BinDir() + "/kwvp.exe"};
};

// nginx serves while the upload port is taken; uploads follow once it is free.
TEST_F(KwvpProcessTest, UploadsAreStoredOutsideTheWebRootAndFollowTheConfiguration) {
    const int taken = BindLoopback(port + 1);
    ASSERT_TRUE(taken >= 0 && listen(taken, 1) == 0);
    Start(false);
    EXPECT_EQ(Curl("", "/index.html"), 200);
    EXPECT_NE(kwvp.Output().find("cannot serve uploads"), std::string::npos);
    close(taken);
    ASSERT_TRUE(WaitUntil([&] { return LoopbackConnects(port + 1); }));
    EXPECT_EQ(Curl("-X PUT --data-binary late", "/data/late"), 201);
    RunCommand("head -c 1048576 /dev/urandom >" + work / "upload.bin");
    const std::string data = ReadFile(work / "upload.bin");
    EXPECT_EQ(Curl("-X PUT --data-binary @" + ShellQuote(work / "upload.bin"), "/data/p/1.bin"),
              201);
    EXPECT_EQ(Curl("-X POST --data-binary '<script>'", "/data/x%20y/%C3%BC.html"), 201);
    EXPECT_EQ(Curl("", "/data/p/1.bin"), 200);
    EXPECT_TRUE(ReadFile(work / "curl.out") == data);
    EXPECT_EQ(Curl("-D " + work / "h", "/data/x%20y/%C3%BC.html"), 200);
    EXPECT_NE(ReadFile(work / "h").find("X-Content-Type-Options: nosniff\r\n"), std::string::npos);
    EXPECT_EQ(ReadFile(work / "uploads/p/1.bin"), data);
    EXPECT_EQ(Curl("-X DELETE", "/data/p/1.bin"), 204);
    EXPECT_EQ(Curl("", "/data/p/1.bin"), 404);
    EXPECT_EQ(Entries(webRoot + "/upload"), "") << "no request body stays behind";

    // Switched off by a reload, nothing stored is served; switched on, uploads work again.
    for (const bool uploads : {false, true}) {
        WriteConfig(uploads);
        ASSERT_EQ(Nginx("-s reload"), 0);
        EXPECT_TRUE(WaitUntil([&] { return LoopbackConnects(port + 1) == uploads; })) << uploads;
        EXPECT_TRUE(WaitUntil(
            [&] { return Curl("", "/data/x%20y/%C3%BC.html") == (uploads ? 200 : 404); }));
        EXPECT_EQ(Curl("", "/upload/store/x%20y/%C3%BC.html"), 404);
    }
}

// A raw FastCGI client of another user is closed at once.
TEST_F(KwvpProcessTest, OnlyTheWebServerTalksToTheUploadService) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    Start();
    ASSERT_EQ(Curl("-X PUT --data-binary keep", "/data/keep"), 201);
    WriteFile(work / "request", FastCgiDelete());
    const std::string send = "bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port + 1) +
                             " && cat " + work / "request" + " >&3 && cat <&3'";
    const std::string other = "setpriv --reuid=12345 --regid=12345 --clear-groups ";
    EXPECT_EQ(RunCommand(other + send).output.find("Status"), std::string::npos); // closed
    EXPECT_EQ(ReadFile(work / "uploads/keep"), "keep");
    EXPECT_NE(kwvp.Output().find("uid 12345 is not"), std::string::npos);
    EXPECT_NE(RunCommand(send).output.find("Status: 204"), std::string::npos);
    EXPECT_FALSE(FileExists(work / "uploads/keep"));
}

// kwvp ends with nginx (either told to end); killed, it leaves nginx serving. The relay
// knows kwvp by its command line; signals for kwvp's process group miss nginx.
TEST_F(KwvpProcessTest, KwvpAndNginxLiveAndEndTogether) {
    for (const int how : {0, SIGTERM, SIGKILL}) {
        Start();
        const pid_t pid = kwvp.Pid();
        const std::string start = BinDir() + "/kwvp.exe localhost:" + std::to_string(port + 1);
        EXPECT_EQ(CommandLineOf(pid).rfind(start + " ", 0), 0u) << CommandLineOf(pid);
        EXPECT_EQ(getsid(static_cast<pid_t>(nginx)), nginx);
        EXPECT_TRUE(getpgid(pid) != getpgid(0) && getpgid(pid) != nginx);
        ASSERT_EQ(how ? kill(pid, how) : Nginx("-s quit"), 0);
        EXPECT_EQ(Ended(), how == SIGKILL ? 128 + SIGKILL : 0) << how;
        EXPECT_EQ(ProcessAlive(nginx), how == SIGKILL) << how;
        EXPECT_EQ(Curl("", "/index.html"), how == SIGKILL ? 200 : 0) << how;
    }
}

// nginx cannot listen, is missing, or the command line is wrong.
TEST_F(KwvpProcessTest, FailuresEndWithNonZeroStatus) {
    const int taken = BindLoopback(port);
    ASSERT_TRUE(taken >= 0 && listen(taken, 1) == 0);
    const std::string rest = ShellQuote(webRoot) + " " + ShellQuote(BinDir() + "/nginx.exe");
    const std::pair<std::string, int> cases[] = {{Args(), 1},
                                                 {Args(work / "no-such-nginx"), 127},
                                                 {"localhost:4123 " + ShellQuote(webRoot), 2},
                                                 {"example.org:4123 " + rest, 2},
                                                 {"localhost:65537 " + rest, 2}};
    for (const auto& [args, code] : cases) {
        kwvp.Start("", args);
        EXPECT_EQ(Ended(), code) << args;
    }
    EXPECT_FALSE(FileExists(work / "nginx.pid"));
    close(taken);
}

} // namespace
