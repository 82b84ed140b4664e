// kwvp.exe with the real nginx on a loopback port pair: uploads over HTTPS, who may
// use the upload service, and how the two processes live and end.
#include "RelayFixture.h"

#include <sys/socket.h>

#include <filesystem>

namespace fs = std::filesystem;
using namespace kwatest;

namespace {

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

    // The relay's configuration reduced to what kwvp relies on, with or without
    // the upload locations.
    void WriteConfig(bool uploads) {
        std::string text = R"(daemon off; error_log "@W@/error.log"; pid "@W@/nginx.pid";
events {} http { server { ssl_certificate "@W@/cert.pem"; ssl_certificate_key "@W@/key.pem";
listen 127.0.0.1:@L@ ssl; root "@W@/www"; @U@ } })";
        const std::string upload = R"(location /data/ { client_body_in_file_only on;
client_body_temp_path "@W@/www/upload"; fastcgi_pass 127.0.0.1:@F@; fastcgi_param URI $uri;
fastcgi_param REQUEST_METHOD $request_method; fastcgi_param CONTENT_FILE $request_body_file;
fastcgi_param VERIFIED SUCCESS; } location /upload/ { internal; })";
        for (const auto& [key, value] :
             {std::pair<std::string, std::string>{"@U@", uploads ? upload : ""},
              {"@W@", work.path()},
              {"@L@", std::to_string(port)},
              {"@F@", std::to_string(port + 1)}})
            for (size_t at; (at = text.find(key)) != std::string::npos;)
                text.replace(at, key.size(), value);
        WriteFile(work / "nginx.conf", text);
    }

    // kwvp.exe's arguments; its standard error is kwvp.Output().
    std::string Args(const std::string& exe = BinDir() + "/nginx.exe") {
        return "localhost:" + std::to_string(port + 1) + " " + ShellQuote(webRoot) + " " +
               ShellQuote(exe) + " -p " + ShellQuote(work.path() + "/") + " -c " +
               ShellQuote(work / "nginx.conf");
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
        return RunCommand(ShellQuote(BinDir() + "/nginx.exe") + " -p " +
                          ShellQuote(work.path() + "/") + " -c " + ShellQuote(work / "nginx.conf") +
                          " " + args + " 2>&1")
            .exitCode;
    }

    // Runs curl against the relay; returns the HTTP status (0 when none came).
    int Curl(const std::string& args, const std::string& path, std::string* body = nullptr) {
        const auto result =
            RunCommand("curl -sk --noproxy '*' --max-time 30 --path-as-is -o " +
                       ShellQuote(work / "curl.out") + " -w '%{http_code}' " + args + " " +
                       ShellQuote("https://127.0.0.1:" + std::to_string(port) + path));
        if (body)
            *body = ReadFile(work / "curl.out");
        return std::atoi(result.output.c_str());
    }

    // Sends a FastCGI request to the upload service from bash, run through prefix
    // (another user's setpriv); what came back.
    std::string SendRaw(const std::string& prefix, const std::string& request) {
        WriteFile(work / "request", request);
        return RunCommand(prefix + " bash -c 'exec 3<>/dev/tcp/127.0.0.1/" +
                          std::to_string(port + 1) + " && cat " + work / "request" +
                          " >&3 && cat <&3'")
            .output;
    }

    TempDir work{"kwvp-e2e"};
    std::string webRoot = work / "www";
    int port = FreePortPair();
    long nginx = 0;
    AgentProcess kwvp{work.path(), BinDir() + "/kwvp.exe"};
};

TEST_F(KwvpProcessTest, UploadsAreStoredOutsideTheWebRootAndFollowTheConfiguration) {
    Start();
    RunCommand("head -c 1048576 /dev/urandom >" + work / "upload.bin");
    const std::string data = ReadFile(work / "upload.bin");
    EXPECT_EQ(Curl("-X PUT --data-binary @" + ShellQuote(work / "upload.bin"), "/data/p/1.bin"),
              201);
    EXPECT_EQ(Curl("-X POST --data-binary '<script>'", "/data/x%20y/%C3%BC.html"), 201);
    std::string body;
    EXPECT_EQ(Curl("", "/data/p/1.bin", &body), 200);
    EXPECT_TRUE(body == data) << "got " << body.size() << " bytes";
    EXPECT_EQ(Curl("-D " + work / "h", "/data/x%20y/%C3%BC.html"), 200);
    EXPECT_NE(ReadFile(work / "h").find("X-Content-Type-Options: nosniff\r\n"), std::string::npos);
    EXPECT_EQ(ReadFile(work / "uploads/p/1.bin"), data);
    EXPECT_EQ(Curl("-X DELETE", "/data/p/1.bin"), 204);
    EXPECT_EQ(Curl("", "/data/p/1.bin"), 404);
    EXPECT_TRUE(fs::is_empty(webRoot + "/upload")) << "no request body stays behind";

    // Switched off by a reload, the service stops listening and nothing stored is
    // served; switched on, uploads work again.
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
    const std::string request = FastCgiDelete();
    const std::string other = "setpriv --reuid=12345 --regid=12345 --clear-groups";
    EXPECT_EQ(SendRaw(other, request).find("Status"), std::string::npos); // closed, maybe reset
    EXPECT_EQ(ReadFile(work / "uploads/keep"), "keep");
    EXPECT_NE(kwvp.Output().find("uid 12345 is not"), std::string::npos);
    EXPECT_NE(SendRaw("", request).find("Status: 204"), std::string::npos);
    EXPECT_FALSE(FileExists(work / "uploads/keep"));
}

// kwvp ends with nginx: nginx told to quit, or kwvp told to end (it has nginx quit
// first); killed, kwvp leaves nginx serving. The relay recognises kwvp by the start
// of its command line; signals for kwvp's terminal or process group miss nginx.
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

// nginx serves while the upload port is taken; uploads follow once it is free.
TEST_F(KwvpProcessTest, NginxServesWithoutTheUploadPort) {
    const int taken = BindLoopback(port + 1);
    ASSERT_TRUE(taken >= 0 && listen(taken, 1) == 0);
    Start(false);
    EXPECT_EQ(Curl("", "/index.html"), 200);
    EXPECT_NE(kwvp.Output().find("cannot serve uploads"), std::string::npos);
    close(taken);
    EXPECT_TRUE(WaitUntil([&] { return Curl("-X PUT --data-binary late", "/data/late") == 201; }));
}

} // namespace
