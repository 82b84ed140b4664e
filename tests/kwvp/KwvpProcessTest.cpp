// kwvp.exe with the real nginx on a loopback port pair: uploads over HTTPS, and how
// the two processes live and end.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace kwatest;

namespace {

// A TCP socket and the address 127.0.0.1:port for it.
// Holds a loopback port, as another program would.
struct PortHolder {
    explicit PortHolder(int port) {
        fd = BindLoopback(port);
        bound = fd >= 0 && listen(fd, 1) == 0;
    }
    ~PortHolder() { Release(); }
    void Release() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    int fd;
    bool bound = false;
};

class KwvpProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        MakeDirs(webRoot, 0755);
        WriteFile(webRoot + "/index.html", "static page\n");
        MakeDirs(work / "logs", 0755);
        MakeDirs(work / "temp", 0755);
        const auto cert = RunCommand(
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
            "-subj /CN=localhost -keyout " +
            ShellQuote(work / "key.pem") + " -out " + ShellQuote(work / "cert.pem"));
        ASSERT_EQ(cert.exitCode, 0) << cert.output;
        WriteConfig();
    }

    void TearDown() override {
        if (kwvp > 0 && !reaped) {
            kill(kwvp, SIGKILL);
            waitpid(kwvp, nullptr, 0);
        }
        // The master takes its workers along on SIGTERM.
        for (long pid : {nginx, ReadPid()}) {
            if (ProcessAlive(pid)) {
                kill(static_cast<pid_t>(pid), SIGTERM);
                if (!WaitUntil([&] { return !ProcessAlive(pid); }, std::chrono::seconds(5)))
                    kill(static_cast<pid_t>(pid), SIGKILL);
            }
        }
        if (HasFailure())
            std::cerr << "kwvp output:\n" << ReadFile(work / "kwvp.log");
    }

    // The configuration the relay writes, reduced to what the upload service needs
    // (of the FastCGI parameters, kwvp reads these four).
    void WriteConfig() {
        std::string text = R"(daemon off;
error_log "@W@/logs/error.log";
pid "@W@/nginx.pid";
events { worker_connections 1024; }
http {
 access_log "@W@/logs/access.log";
 server {
  ssl_certificate "@W@/cert.pem";
  ssl_certificate_key "@W@/key.pem";
  listen 127.0.0.1:@PORT@ ssl;
  root "@W@/www";
  client_body_temp_path "@W@/temp/body_temp";
  proxy_temp_path "@W@/temp/proxy_temp";
  fastcgi_temp_path "@W@/temp/fastcgi_temp";
  location /data/ {
    client_body_in_file_only      on;
    client_body_temp_path         "@W@/www/upload";
    client_max_body_size          1000m;
    fastcgi_pass                  127.0.0.1:@FCGI@;
    fastcgi_param URI             $uri;
    fastcgi_param REQUEST_METHOD  $request_method;
    fastcgi_param CONTENT_FILE    $request_body_file;
    fastcgi_param VERIFIED        SUCCESS;
  }
  location /upload/ {
    internal;
  }
 }
}
)";
        const std::pair<std::string, std::string> values[] = {
            {"@W@", work.path()},
            {"@PORT@", std::to_string(port)},
            {"@FCGI@", std::to_string(port + 1)},
        };
        for (const auto& [key, value] : values) {
            for (size_t at; (at = text.find(key)) != std::string::npos;)
                text.replace(at, key.size(), value);
        }
        WriteFile(work / "nginx.conf", text);
    }

    // Runs kwvp.exe with the given arguments; output goes to kwvp.log.
    void Spawn(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = work / "kwvp.log";
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        ASSERT_EQ(posix_spawn(&kwvp, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        reaped = false;
    }

    // The command line the relay uses.
    std::vector<std::string> LaunchArgs(const std::string& nginxExe = BinDir() + "/nginx.exe") {
        return {Kwvp(),  "localhost:" + std::to_string(port + 1),
                webRoot, nginxExe,
                "-p",    work.path() + "/",
                "-c",    work / "nginx.conf"};
    }

    static std::string Kwvp() { return BinDir() + "/kwvp.exe"; }

    // Starts kwvp and waits until nginx and the upload service answer.
    void Start() {
        Spawn(LaunchArgs());
        ASSERT_TRUE(WaitUntil([&] {
            return Ended() ||
                   (ReadPid() > 0 && LoopbackConnects(port) && LoopbackConnects(port + 1));
        }));
        ASSERT_FALSE(Ended()) << "kwvp ended early";
        nginx = ReadPid();
    }

    long ReadPid() const { return std::atol(ReadFile(work / "nginx.pid").c_str()); }

    // True once kwvp has ended (and was reaped).
    bool Ended() {
        if (!reaped && waitpid(kwvp, &status, WNOHANG) == kwvp)
            reaped = true;
        return reaped;
    }

    // Exit status of kwvp, or -1 when it is still running after the timeout.
    int WaitForExit(std::chrono::seconds timeout = std::chrono::seconds(10)) {
        if (!WaitUntil([&] { return Ended(); }, timeout))
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

    std::vector<std::string> UploadDirEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(webRoot + "/upload"))
            names.push_back(entry.path().filename().string());
        return names;
    }

    TempDir work{"kwvp-e2e"};
    std::string webRoot = work / "www";
    std::string storeDir = webRoot + "/upload/store";
    int port = FreePortPair();
    pid_t kwvp = -1;
    bool reaped = true;
    int status = 0;
    long nginx = 0;
};

TEST_F(KwvpProcessTest, UploadsAreStoredServedAndDeleted) {
    Start();
    std::string data(1 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : data)
        c = static_cast<char>(random());
    WriteFile(work / "upload.bin", data);
    const std::string file = "@" + ShellQuote(work / "upload.bin");

    EXPECT_EQ(Curl("-X PUT --data-binary " + file, "/data/pkg/one.bin"), 201);
    EXPECT_EQ(Curl("-X POST --data-binary " + file, "/data/x%20y/%C3%BC.bin"), 201);
    EXPECT_EQ(Curl("-X PUT --data-binary ''", "/data/empty"), 201);
    EXPECT_EQ(FileMode(storeDir + "/pkg/one.bin"), 0644u);

    std::string body;
    EXPECT_EQ(Curl("", "/data/pkg/one.bin", &body), 200);
    EXPECT_TRUE(body == data) << "got " << body.size() << " bytes";
    EXPECT_EQ(Curl("", "/data/x%20y/%C3%BC.bin", &body), 200);
    EXPECT_TRUE(body == data) << "got " << body.size() << " bytes";
    EXPECT_EQ(Curl("", "/data/empty", &body), 200);
    EXPECT_EQ(body, "");
    // The store is reached only through the service.
    EXPECT_EQ(Curl("", "/upload/store/pkg/one.bin"), 404);

    EXPECT_EQ(Curl("-X DELETE", "/data/pkg/one.bin"), 204);
    EXPECT_EQ(Curl("", "/data/pkg/one.bin"), 404);
    // No request body stays behind next to the store.
    EXPECT_EQ(UploadDirEntries(), std::vector<std::string>{"store"});
}

// What nginx decodes once more than kwvp sees, or refuses itself.
TEST_F(KwvpProcessTest, NothingIsWrittenOutsideTheStore) {
    Start();
    const struct {
        std::string method, path;
        int status; // 0: refused by nginx itself, any status but 201
    } cases[] = {
        {"PUT", "/data/%252e%252e/%252e%252e/escape", 400},
        {"PUT", "/data/..%5c..%5cescape", 400},
        {"POST", "/data/q%253fx", 400},
        {"PATCH", "/data/x", 405},
        {"PUT", "/data/../../escape", 0},
        {"PUT", "/data/%2e%2e/%2e%2e/escape", 0},
        {"PUT", "/data/a%00b", 0},
    };
    for (const auto& c : cases) {
        const int status = Curl("-X " + c.method + " --data-binary escape", c.path);
        if (c.status != 0)
            EXPECT_EQ(status, c.status) << c.method << " " << c.path;
        else
            EXPECT_NE(status, 201) << c.method << " " << c.path;
    }
    for (const auto& entry : fs::recursive_directory_iterator(work.path()))
        EXPECT_EQ(entry.path().filename().string().find("escape"), std::string::npos)
            << entry.path();
    EXPECT_EQ(UploadDirEntries(), std::vector<std::string>{});
}

TEST_F(KwvpProcessTest, NginxOutlivesAKilledKwvp) {
    Start();
    // The relay recognises kwvp by the start of its command line.
    std::string commandLine = ReadFile("/proc/" + std::to_string(kwvp) + "/cmdline");
    std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
    EXPECT_EQ(commandLine.rfind(Kwvp() + " localhost:" + std::to_string(port + 1), 0), 0u)
        << commandLine;
    // Signals for kwvp's terminal or process group do not reach nginx.
    EXPECT_EQ(getsid(static_cast<pid_t>(nginx)), nginx);
    EXPECT_NE(getpgid(static_cast<pid_t>(nginx)), getpgid(kwvp));
    EXPECT_NE(getpgid(kwvp), getpgid(0));

    ASSERT_EQ(kill(kwvp, SIGKILL), 0);
    EXPECT_EQ(WaitForExit(), 128 + SIGKILL);
    std::string body;
    EXPECT_EQ(Curl("", "/index.html", &body), 200);
    EXPECT_EQ(body, "static page\n");
    EXPECT_TRUE(ProcessAlive(nginx));
}

TEST_F(KwvpProcessTest, KwvpEndsWithNginx) {
    const std::string quit = ShellQuote(BinDir() + "/nginx.exe") + " -p " +
                             ShellQuote(work.path() + "/") + " -c " +
                             ShellQuote(work / "nginx.conf") + " -s quit";
    // nginx told to quit, or kwvp told to end (it then has nginx quit first).
    for (const bool signalKwvp : {false, true}) {
        Start();
        if (signalKwvp)
            ASSERT_EQ(kill(kwvp, SIGTERM), 0);
        else
            ASSERT_EQ(RunCommand(quit).exitCode, 0);
        EXPECT_EQ(WaitForExit(), 0) << signalKwvp;
        EXPECT_FALSE(ProcessAlive(nginx)) << signalKwvp;
        EXPECT_FALSE(FileExists(work / "nginx.pid")) << signalKwvp;
    }
}

TEST_F(KwvpProcessTest, FailuresEndWithNonZeroStatus) {
    {
        PortHolder taken(port); // nginx cannot listen
        ASSERT_TRUE(taken.bound);
        Spawn(LaunchArgs());
        EXPECT_EQ(WaitForExit(std::chrono::seconds(20)), 1);
    }
    Spawn(LaunchArgs(work / "no-such-nginx"));
    EXPECT_EQ(WaitForExit(), 127);

    const std::vector<std::string> badCommandLines[] = {
        {Kwvp(), "localhost:" + std::to_string(port + 1), webRoot},
        {Kwvp(), "example.org:4123", webRoot, BinDir() + "/nginx.exe"},
        {Kwvp(), "localhost:65536", webRoot, BinDir() + "/nginx.exe"},
    };
    for (const auto& args : badCommandLines) {
        Spawn(args);
        EXPECT_EQ(WaitForExit(), 2) << args.size() << " arguments, " << args.back();
    }
    EXPECT_FALSE(FileExists(work / "nginx.pid"));
}

TEST_F(KwvpProcessTest, TakenUploadPortDoesNotHoldUpNginx) {
    PortHolder taken(port + 1);
    ASSERT_TRUE(taken.bound);
    Spawn(LaunchArgs());
    ASSERT_TRUE(WaitUntil([&] { return ReadPid() > 0 && LoopbackConnects(port); }));
    nginx = ReadPid();
    EXPECT_EQ(Curl("", "/index.html"), 200);
    EXPECT_NE(ReadFile(work / "kwvp.log").find("cannot serve uploads"), std::string::npos);

    taken.Release();
    EXPECT_TRUE(WaitUntil([&] { return Curl("-X PUT --data-binary late", "/data/late") == 201; }));
    EXPECT_EQ(ReadFile(storeDir + "/late"), "late");
}

} // namespace
