-- The relay: brings up the web server from which other agents fetch update
-- packages, keeps its logs in bounds, and stops it when the agent is told to stop.
-- kwagent runs this file from its program directory; it returns the exit code.
local host = require "kwacore"
require "relay"

local function say(format, ...)
    agent.say(string.format(format, ...))
end

-- An agent setting, or the default when it is unset.
local function setting(key, default)
    local value = host.get(key)
    if value == nil or value == "" then
        return default
    end
    return value
end

local function flag(key, default)
    local value = string.lower(setting(key, default and "1" or "0"))
    return value == "1" or value == "true" or value == "yes" or value == "on"
end

local function exists(path)
    local file = io.open(path, "r")
    if file then
        file:close()
        return true
    end
    return false
end

-- Polls until check() holds or ms have passed; plain pauses, so that it also works
-- while the agent is shutting down.
local function settle(check, ms)
    local waited = 0
    while not check() do
        if waited >= ms then
            return false
        end
        agent.sleep(50)
        waited = waited + 50
    end
    return true
end

-- The last lines of a log, to show why nginx did not come up.
local function tail(path, count)
    local file = io.open(path, "r")
    if not file then
        return {}
    end
    local lines = {}
    for line in file:lines() do
        lines[#lines + 1] = line
        if #lines > count then
            table.remove(lines, 1)
        end
    end
    file:close()
    return lines
end

local rs = SLB.RelayServer()
local workdir = host.workdir("relay")
local pidfile = workdir .. "/nginx.pid"
-- The id in a pid file, or nil.
local function pidIn(path)
    local file = io.open(path, "r")
    if not file then
        return nil
    end
    local pid = file:read("*n")
    file:close()
    return pid
end
-- A process that ended but was not reaped yet (state Z) counts as gone.
local function alive(pid)
    local file = pid and io.open("/proc/" .. pid .. "/stat", "r")
    if not file then
        return false
    end
    local stat = file:read("*a") or ""
    file:close()
    local state = stat:match(".*%) (%a)")
    return state ~= nil and state ~= "Z"
end
-- nginx writes its pid file once its port is bound and removes it as it exits;
-- its configuration test leaves an empty one behind.
local function running()
    return alive(pidIn(pidfile))
end
local function stopped()
    return not running()
end
-- The launcher ends when nginx does (ended launchers are reaped on every wait).
local function launcherAlive()
    return alive(pidIn(workdir .. "/kwvp.pid"))
end

-- 1. A web server left from an earlier run goes first.
if not rs:KillWebServerByPidFile() then
    say("could not remove the web server of an earlier run")
end
settle(stopped, 5000)
if exists(pidfile) then
    -- Empty, or naming a process that is no nginx of ours: a later reload must
    -- not signal it.
    say("removing the stale pid file %s", pidfile)
    os.remove(pidfile)
end

-- 2. Client certificates are checked against the management CA; nginx needs one.
local ca = rs:GetWebServerSslCertPathCA()
if not exists(ca) then
    local ok, detail = agent.make_local_ca(ca)
    if ok then
        say("no management CA was installed: made a local one at %s (its key: %s)", ca, detail)
    else
        say("no management CA at %s and none could be made: %s", ca, detail)
    end
end

-- 3. Update bundles beside the agent go into the web root, once each.
do
    local ok, directories = pcall(rs.ExtractBundles, rs)
    if not ok then
        say("update bundles not installed: %s", tostring(directories))
    elseif directories then
        local webroot = rs:GetInstallDir()
        local copied = true
        for _, directory in ipairs(directories) do
            local done, reason = agent.copy_tree(directory, webroot)
            if not done then
                copied = false
                say("update bundle %s not installed: %s", directory, reason)
            end
        end
        -- Recorded as installed only when all of them arrived; else the next start
        -- unpacks them again.
        pcall(rs.CleanupUpdateBundles, rs, copied)
        if copied and #directories > 0 then
            say("installed %d update bundle(s) into %s", #directories, webroot)
        end
    end
end
rs:Publish()

-- 4. The web server's settings, kept in the agent's settings.
local port = tonumber(setting("kwp.RelayServer.port", "4122"))
if not port or port < 1 or port > 65534 or port % 1 ~= 0 then
    say("kwp.RelayServer.port must be a whole number from 1 to 65534 (the upload service uses the next port)")
    return 2
end
local lowPort = agent.low_port_problem(port)
if lowPort then
    say("%s", lowPort)
    return 2
end
local verify = tonumber(setting("kwp.RelayServer.verifyClient", "0")) or 0
local settings = {
    port = port,
    tlsProtocols = setting("kwp.RelayServer.tlsProtocols", "TLSv1.2 TLSv1.3"),
    relay_upload = flag("kwp.RelayServer.upload", false) and 1 or 0,
    relay_verify_client = verify,
    enableStrongCipher = flag("kwp.RelayServer.enableStrongCipher", false),
}
do
    local ok, reason = pcall(rs.UpdateConfig, rs, settings)
    if not ok then
        say("settings not taken: %s", tostring(reason))
    end
end

-- 5. Start, and wait until nginx has bound its port and written its pid file.
local errorLog = rs:GetWebServerErrorLogPath()
local accessLog = rs:GetWebServerAccessLogPath()

local function start()
    if agent.should_exit() then
        return false -- a stop was asked for: nothing new is launched
    end
    if exists(pidfile) and stopped() then
        os.remove(pidfile) -- left by nginx's configuration test; names no process
    end
    if not rs:StartWebServer(false) then
        return false
    end
    -- Plain pauses: a stop asked for meanwhile is handled once nginx is up (the
    -- caller stops it) or gone, so that no nginx comes up behind a stopped agent.
    local waited = 0
    while not running() and launcherAlive() and waited < 10000 do
        agent.sleep(50)
        waited = waited + 50
    end
    if running() then
        return true
    end
    -- The launcher may still wait for an nginx that never came up.
    rs:StopWebServer(true)
    return false
end

if not start() then
    if agent.should_exit() then
        return 0
    end
    say("the web server did not start")
    for _, line in ipairs(tail(errorLog, 5)) do
        say("  %s", line)
    end
    return 1
end

say("serving https://localhost:%d/ from %s", rs:GetWebServerListenPort(), rs:GetInstallDir())
say("work directory %s", workdir)
say("web server logs %s and %s; agent records in %s/logs", accessLog, errorLog, agent.home)
say("running; stop with Ctrl-C or SIGTERM")

-- 6. Steady beat: rotate the logs; bring the web server back when it went away
-- (the error log protection stops it).
local beat = math.max(tonumber(setting("kwagent.beatMs", "2000")) or 2000, 50)
local pause, resume = 0, 0
while not agent.wait(beat) do
    rs:RotateWebLogs()
    host.clear() -- the records stay in the files; memory does not grow
    if stopped() then
        if resume <= 0 then
            say("the web server is not running: starting it again")
            if start() then
                say("serving https://localhost:%d/ again", rs:GetWebServerListenPort())
                pause = 0
            else
                pause = math.min(math.max(pause * 2, 1), 30)
                resume = pause
                say("the web server did not start; next try in %.1f s", pause * beat / 1000)
            end
        else
            resume = resume - 1
        end
    end
end

-- 7. Stop: the launcher is killed, nginx quits; nothing stays behind.
say("stopping")
local master = pidIn(pidfile)
rs:StopWebServer(true)
-- The pid file goes a moment before the master; its workers end before it.
if not settle(function()
    return stopped() and not alive(master)
end, 5000) then
    say("the web server did not stop")
    return 1
end
say("stopped")
return 0
