// kwvp.exe with the real nginx on a loopback port pair: uploads over HTTPS, who may
// use the upload service, and how the two processes live and end.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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

    void TearDown() override {
        if (!reaped)
            kill(kwvp, SIGKILL), waitpid(kwvp, nullptr, 0);
        for (long pid : {nginx, ReadPid()}) {
            if (ProcessAlive(pid) && kill(static_cast<pid_t>(pid), SIGTERM) == 0 &&
                !WaitUntil([&] { return !ProcessAlive(pid); }, std::chrono::seconds(5)))
                kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }

    // The relay's configuration reduced to what kwvp relies on, with or without
    // the upload locations.
    void WriteConfig(bool uploads, int listen = 0) {
        std::string text = R"(daemon off; error_log "@W@/error.log"; pid "@W@/nginx.pid";
events {} http { server { ssl_certificate "@W@/cert.pem"; ssl_certificate_key "@W@/key.pem";
listen 127.0.0.1:@L@ ssl; root "@W@/www"; @U@ } })";
        const std::string upload = R"(location /data/ { client_body_in_file_only on;
client_body_temp_path "@W@/www/upload"; fastcgi_pass 127.0.0.1:@F@; fastcgi_param URI $uri;
fastcgi_param REQUEST_METHOD $request_method; fastcgi_param CONTENT_FILE $request_body_file;
fastcgi_param VERIFIED SUCCESS; } location /upload/ { internal; })";
        listen = listen ? listen : port;
        for (const auto& [key, value] :
             {std::pair<std::string, std::string>{"@U@", uploads ? upload : ""},
              {"@W@", work.path()},
              {"@L@", std::to_string(listen)},
              {"@F@", std::to_string(listen + 1)}})
            for (size_t at; (at = text.find(key)) != std::string::npos;)
                text.replace(at, key.size(), value);
        WriteFile(work / "nginx.conf", text);
    }

    std::vector<std::string> Args(int fcgi = 0, const std::string& exe = BinDir() + "/nginx.exe") {
        const std::string address = "localhost:" + std::to_string(fcgi ? fcgi : port + 1);
        return {BinDir() + "/kwvp.exe", address, webRoot, exe, "-p", work.path() + "/", "-c",
                work / "nginx.conf"};
    }

    // Runs kwvp.exe (through a shell that becomes it); its output goes to kwvp.log.
    void Spawn(const std::vector<std::string>& args) {
        std::string command = "exec";
        for (const auto& arg : args)
            command += " " + ShellQuote(arg);
        command += " >>" + ShellQuote(work / "kwvp.log") + " 2>&1";
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        ASSERT_EQ(posix_spawn(&kwvp, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ),
                  0);
        reaped = false;
    }

    // Starts kwvp and waits until nginx answers (and the upload service, when on).
    void Start(bool uploads = true) {
        Spawn(Args());
        ASSERT_TRUE(WaitUntil([&] {
            return Ended() || (ReadPid() > 0 && LoopbackConnects(port) &&
                               (!uploads || LoopbackConnects(port + 1)));
        }));
        ASSERT_FALSE(Ended()) << "kwvp ended early";
        nginx = ReadPid();
    }

    long ReadPid() const { return std::atol(ReadFile(work / "nginx.pid").c_str()); }
    bool Ended() { return reaped || (reaped = waitpid(kwvp, &status, WNOHANG) == kwvp); }
    // Exit status of kwvp, or -1 when it is still running after the timeout.
    int WaitForExit(std::chrono::seconds timeout = std::chrono::seconds(10)) {
        if (!WaitUntil([&] { return Ended(); }, timeout))
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int Nginx(const std::string& args) {
        return RunCommand(ShellQuote(BinDir() + "/nginx.exe") + " -p " +
                          ShellQuote(work.path() + "/") + " -c " + ShellQuote(work / "nginx.conf") +
                          " " + args + " 2>&1")
            .exitCode;
    }

    // Runs curl against the relay; returns the HTTP status (0 when none came).
    int Curl(const std::string& args, const std::string& path, std::string* body = nullptr) {
        const std::string out = work / "curl.out";
        fs::remove(out);
        const auto result =
            RunCommand("curl -sk --noproxy '*' --max-time 30 --path-as-is -o " + ShellQuote(out) +
                       " -w '%{http_code}' " + args + " " +
                       ShellQuote("https://127.0.0.1:" + std::to_string(port) + path));
        if (body)
            *body = ReadFile(out);
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

    std::vector<fs::path> Bodies() const {
        return {fs::directory_iterator(webRoot + "/upload"), {}};
    }

    TempDir work{"kwvp-e2e"};
    std::string webRoot = work / "www";
    std::string storeDir = work / "uploads";
    int port = FreePortPair();
    pid_t kwvp = -1;
    bool reaped = true;
    int status = 0;
    long nginx = 0;
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
    EXPECT_EQ(Curl("-D " + work / "h", "/data/x%20y/%C3%BC.html", &body), 200);
    const std::string headers = ReadFile(work / "h");
    EXPECT_NE(headers.find("Content-Type: application/octet-stream\r\n"), std::string::npos);
    EXPECT_NE(headers.find("X-Content-Type-Options: nosniff\r\n"), std::string::npos) << headers;
    EXPECT_EQ(ReadFile(storeDir + "/p/1.bin"), data);
    EXPECT_EQ(Curl("-X DELETE", "/data/p/1.bin"), 204);
    EXPECT_EQ(Curl("", "/data/p/1.bin"), 404);
    EXPECT_EQ(Bodies(), std::vector<fs::path>{}) << "no request body stays behind";

    // Abandoned bodies are swept. Switched off by a reload, the service stops listening
    // and nothing stored is served; switched on, uploads work again (both once nginx's
    // old worker has let go).
    RunCommand("(head -c 300000 /dev/zero; sleep 3) | timeout -s KILL 1.5 curl -sk -T - "
               "https://127.0.0.1:" +
               std::to_string(port) + "/data/aborted");
    const auto left = Bodies();
    ASSERT_EQ(left.size(), 1u) << "the aborted body stays";
    const timespec old[2] = {{0, UTIME_OMIT}, {time(nullptr) - 400, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, left[0].c_str(), old, 0), 0);
    EXPECT_TRUE(WaitUntil([&] { return Bodies().empty(); }));

    for (const bool uploads : {false, true}) {
        WriteConfig(uploads);
        ASSERT_EQ(Nginx("-s reload"), 0);
        EXPECT_TRUE(WaitUntil([&] { return LoopbackConnects(port + 1) == uploads; })) << uploads;
        EXPECT_TRUE(WaitUntil(
            [&] { return Curl("", "/data/x%20y/%C3%BC.html") == (uploads ? 200 : 404); }));
        EXPECT_EQ(Curl("", "/upload/store/x%20y/%C3%BC.html"), 404);
    }
}

// A raw FastCGI client of another user is closed at once; an idle one of the web
// server's (or root) holds up no upload and is dropped after a few seconds.
TEST_F(KwvpProcessTest, OnlyTheWebServerTalksToTheUploadService) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    Start();
    ASSERT_EQ(Curl("-X PUT --data-binary keep", "/data/keep"), 201);
    const std::string request = FastCgiDelete();
    const std::string other = "setpriv --reuid=12345 --regid=12345 --clear-groups";
    EXPECT_EQ(SendRaw(other, request).find("Status"), std::string::npos); // closed, maybe reset
    EXPECT_EQ(ReadFile(storeDir + "/keep"), "keep");
    EXPECT_NE(ReadFile(work / "kwvp.log").find("uid 12345 is not"), std::string::npos);
    EXPECT_NE(SendRaw("", request).find("Status: 204"), std::string::npos);
    EXPECT_FALSE(FileExists(storeDir + "/keep"));

    std::string idle = "not closed";
    std::thread client([&] { idle = SendRaw("timeout 20", ""); }); // sends nothing
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Curl("-X PUT --data-binary beside", "/data/beside"), 201);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    client.join();
    EXPECT_EQ(idle, "") << "closed by kwvp";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
}

// kwvp ends with nginx: nginx told to quit, or kwvp told to end (it has nginx quit
// first); killed, kwvp leaves nginx serving. The relay recognises kwvp by the start
// of its command line; signals for kwvp's terminal or process group miss nginx.
TEST_F(KwvpProcessTest, KwvpAndNginxLiveAndEndTogether) {
    for (const int how : {0, SIGTERM, SIGKILL}) {
        Start();
        const std::string line = ReadFile("/proc/" + std::to_string(kwvp) + "/cmdline");
        EXPECT_EQ(line.rfind(Args()[0] + '\0' + Args()[1] + '\0', 0), 0u) << line;
        EXPECT_EQ(getsid(static_cast<pid_t>(nginx)), nginx);
        EXPECT_TRUE(getpgid(kwvp) != getpgid(0) && getpgid(kwvp) != nginx);
        ASSERT_EQ(how ? kill(kwvp, how) : Nginx("-s quit"), 0);
        EXPECT_EQ(WaitForExit(), how == SIGKILL ? 128 + SIGKILL : 0) << how;
        EXPECT_EQ(ProcessAlive(nginx), how == SIGKILL) << how;
        EXPECT_EQ(Curl("", "/index.html"), how == SIGKILL ? 200 : 0) << how;
    }
}

// nginx cannot listen, is missing, or the command line is wrong.
TEST_F(KwvpProcessTest, FailuresEndWithNonZeroStatus) {
    const int taken = BindLoopback(port);
    ASSERT_TRUE(taken >= 0 && listen(taken, 1) == 0);
    const std::pair<std::vector<std::string>, int> cases[] = {
        {Args(), 1},
        {Args(0, work / "no-such-nginx"), 127},
        {{Args()[0], Args()[1], webRoot}, 2},
        {{Args()[0], "example.org:4123", webRoot, Args()[3]}, 2},
        {{Args()[0], "localhost:65537", webRoot, Args()[3]}, 2}};
    for (const auto& [args, code] : cases) {
        Spawn(args);
        EXPECT_EQ(WaitForExit(std::chrono::seconds(20)), code) << args.size() << " " << args[1];
    }
    EXPECT_FALSE(FileExists(work / "nginx.pid"));
    close(taken);
}

// nginx serves whatever becomes of the upload port: taken (uploads follow once it is
// free), or 65536 for the listen port 65535 (no upload service; with uploads on, nginx's
// own test refuses the configuration).
TEST_F(KwvpProcessTest, NginxServesWithoutTheUploadPort) {
    const int taken = BindLoopback(port + 1);
    ASSERT_TRUE(taken >= 0 && listen(taken, 1) == 0);
    Start(false);
    EXPECT_EQ(Curl("", "/index.html"), 200);
    EXPECT_NE(ReadFile(work / "kwvp.log").find("cannot serve uploads"), std::string::npos);
    close(taken);
    EXPECT_TRUE(WaitUntil([&] { return Curl("-X PUT --data-binary late", "/data/late") == 201; }));
    ASSERT_TRUE(Nginx("-s quit") == 0 && WaitForExit() == 0);
    if (LoopbackConnects(65535))
        GTEST_SKIP() << "port 65535 is taken";
    WriteConfig(true, 65535);
    EXPECT_NE(Nginx("-t -q"), 0);
    WriteConfig(false, 65535);
    Spawn(Args(65536));
    port = 65535;
    EXPECT_TRUE(WaitUntil([&] { return Curl("", "/index.html") == 200; }));
    EXPECT_NE(ReadFile(work / "kwvp.log").find("service: localhost:65536"), std::string::npos);
}

} // namespace
