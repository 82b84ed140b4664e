// kwagent: the agent host. It embeds Lua 5.2 and the core library, sets up the
// agent's data root, and runs the relay script shipped in the program directory
// until SIGTERM or SIGINT asks it to stop.
#include "AgentLua.h"
#include "Privilege.h"
#include "Progress.h"
#include "Status.h"
#include "Text.h"

#include <KwaCoreHost.h>
#include <lua.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char* const scriptName = "kwagent-relay.lua";

void OnStopSignal(int) {
    KwaCore::RequestShutdown(true);
}

void InstallSignalHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

std::string ProgramDir() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path(ec).string();
    return self.parent_path().string();
}

std::string Utf8(const wxString& text) {
    const wxScopedCharBuffer utf8 = text.utf8_str();
    return std::string(utf8.data(), utf8.length());
}

const char* LevelName(int level) {
    switch (level) {
    case 1:
        return "error";
    case 2:
        return "warning";
    default:
        return "info";
    }
}

void InstallObservers() {
    KwaCore::Host::SetEventObserver([](const KwaCore::Host::EventRecord& event) {
        if (event.hasText && !event.text.empty())
            std::fprintf(stderr, "kwagent: event %d (%s): %s\n", event.id,
                         Agent::EventMeaning(event.id), Utf8(event.text).c_str());
        else
            std::fprintf(stderr, "kwagent: event %d (%s)\n", event.id,
                         Agent::EventMeaning(event.id));
    });
    KwaCore::Host::SetLogObserver([](const KwaCore::Host::LogRecord& record) {
        std::fprintf(stderr, "kwagent: %s: %s [%s]\n", LevelName(record.level),
                     Utf8(record.message).c_str(), Utf8(record.function).c_str());
    });
}

// The data root must exist before anything is written below it. nginx's workers
// (an unprivileged user when the agent runs as root) only traverse it; otherwise
// they run as the agent's own user and nobody else enters it.
bool PrepareHome(const std::string& home) {
    struct stat st;
    if (stat(home.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    std::error_code ec;
    std::filesystem::create_directories(home, ec);
    if (ec)
        return false;
    chmod(home.c_str(), geteuid() == 0 ? 0711 : 0700);
    return true;
}

// One agent per data directory: a second one would take the first one's web server
// for a stale one and remove it. The lock goes with the process (also when it is
// killed); the programs it starts do not inherit it.
bool LockHome(const std::string& home) {
    const std::string path = home + "/kwagent.lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    return true; // held until the process ends
}

void PrintUsage() {
    std::fprintf(stderr,
                 "usage: kwagent [--help]\n"
                 "       kwagent status [--json] [--events N] [--timeout MS]\n"
                 "Runs the update relay in the foreground until SIGTERM or SIGINT (Ctrl-C); it\n"
                 "exits 0 when asked to stop and non-zero when the relay cannot start.\n"
                 "status tells whether the relay serves (exit 0) or not (exit 3), without\n"
                 "starting or changing anything.\n"
                 "Environment: KWA_HOME (data root), KWA_TRACE (traced components, * for all),\n"
                 "KWA_VERBOSE=1 (verbose messages), KWA_IP_VERSIONS (4, 6, 4,6 or none).\n"
                 "Settings: $KWA_HOME/agent.conf, e.g. kwp.RelayServer.port = 4122.\n");
}

struct Run {
    const char* script;
    const Agent::ScriptContext* context;
    int exitCode;
};

// Everything that talks to Lua runs protected: an error raised here ends in
// lua_pcall, never in the panic handler.
int ProtectedMain(lua_State* L) {
    Run* run = static_cast<Run*>(lua_touserdata(L, 1));
    luaL_openlibs(L);
    Agent::OpenAgentTable(L, *run->context);

    // Modules come from the program directory first.
    lua_getglobal(L, "package");
    lua_pushfstring(L, "%s/?.so;", run->context->programDir.c_str());
    lua_getfield(L, -2, "cpath");
    lua_concat(L, 2);
    lua_setfield(L, -2, "cpath");
    lua_pop(L, 1);

    if (luaL_loadfile(L, run->script) != LUA_OK)
        return lua_error(L);
    lua_call(L, 0, 1);
    if (lua_type(L, -1) == LUA_TNUMBER)
        run->exitCode = static_cast<int>(lua_tointeger(L, -1));
    else
        run->exitCode = lua_toboolean(L, -1) ? 0 : 1;
    return 0;
}

int RunScript(const std::string& script, const Agent::ScriptContext& context) {
    lua_State* L = luaL_newstate();
    if (L == nullptr) {
        Agent::Say("cannot create the Lua state");
        return 1;
    }
    Run run{script.c_str(), &context, 1};
    lua_pushcfunction(L, ProtectedMain);
    lua_pushlightuserdata(L, &run);
    if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
        const char* message = lua_tostring(L, -1);
        std::fprintf(stderr, "kwagent: script failed: %s\n", message ? message : "(no message)");
        run.exitCode = 1;
    }
    // Collecting the relay object leaves nothing running: the script stopped it.
    lua_close(L);
    return run.exitCode;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "status")
        return Agent::Status::Main(std::vector<std::string>(argv + 2, argv + argc));
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            PrintUsage();
            return 0;
        }
        std::fprintf(stderr, "kwagent: unknown argument %s\n", argv[i]);
        PrintUsage();
        return 2;
    }

    KwaCore::Host::Initialize();
    InstallSignalHandlers();

    Agent::ScriptContext context;
    context.programDir = ProgramDir();
    context.homeIsDefault = KwaCore::Host::HomeIsDefault();
    context.home = KwaCore::Host::PathBytes(KwaCore::Host::Home());
    // Another user's or a read-only tree: the relay could not keep its files there,
    // and restarting does not change that (exit 2).
    if (const std::string problem = Agent::DataDirectoryProblem(context.home); !problem.empty()) {
        std::fprintf(stderr, "kwagent: %s\n", problem.c_str());
        return 2;
    }
    if (context.home.empty() || !PrepareHome(context.home)) {
        std::fprintf(stderr, "kwagent: cannot use the data directory %s: %s\n",
                     context.home.c_str(), std::strerror(errno));
        return 1;
    }
    if (!LockHome(context.home)) {
        std::fprintf(stderr, "kwagent: another kwagent uses the data directory %s\n",
                     context.home.c_str());
        return 1;
    }
    // Fixed for the whole run, also for the programs the agent starts.
    setenv("KWA_HOME", context.home.c_str(), 1);
    if (context.homeIsDefault)
        std::fprintf(stderr,
                     "kwagent: data directory %s (the default for this user; set KWA_HOME to "
                     "use another)\n",
                     context.home.c_str());
    else
        std::fprintf(stderr, "kwagent: data directory %s (from KWA_HOME)\n", context.home.c_str());

    InstallObservers();
    Agent::InstallProgressOutput();
    int exitCode = 1;
    {
        // The main thread runs the script: its waits end at once on shutdown.
        KwaCore::CRunnable runnable;
        KwaCore::CRunnable::SetThis(&runnable);
        exitCode = RunScript(context.programDir + "/" + scriptName, context);
        KwaCore::CRunnable::SetThis(nullptr);
    }
    KwaCore::ReapChildren();
    Agent::RemoveProgressOutput();
    KwaCore::Host::SetEventObserver(nullptr);
    KwaCore::Host::SetLogObserver(nullptr);
    std::fprintf(stderr, "kwagent: exit %d\n", exitCode);
    return exitCode;
}
