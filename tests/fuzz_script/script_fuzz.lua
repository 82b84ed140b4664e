-- Calls every method of SLB.RelayServer with random arguments, from a fixed seed,
-- and checks each outcome against what the method may answer: its results, the
-- error it may raise, the agent events it may raise and, where the outcome is
-- certain, the exact values (port, configuration text, event texts).
--
-- Reads the global FUZZ: seed, calls, seconds (bounds), bin (the fake program
-- directory with stub nginx.exe and kwvp.exe), sandbox (a scratch directory the
-- bundles are swapped in from) and ownPid (the test process, planted in pid files).
-- Returns {calls = n, methods = n, rare = {...}, violations = {...}}.
local config = FUZZ
local host = require "kwacore"
assert(require "relay" == true)
local RS = SLB.RelayServer

local NoObject = "Expected non-null object(SLB.RelayServer) as first argument to method call"
local Marker = "fuzz-boom"
local MarkerObject = setmetatable({}, {__tostring = function() return "fuzz-boom-object" end})
local NginxFailure = "nginx: [emerg] 100% refused %s %d\n"

math.randomseed(config.seed)
local function chance(p) return math.random() < p end
local function pick(list) return list[math.random(#list)] end

-- Objects ------------------------------------------------------------------------
host.set("app.path.bin", config.bin)
local rs = RS()
local rs2 = RS(1, "x", {}, nil, true) -- arguments are ignored
local workDir = rs:GetInstallDir():match("^(.*)/www$")
local configPath = rs:GetWebServerConfigPath()
local nginxPid = workDir .. "/nginx.pid"
local kwvpPid = workDir .. "/kwvp.pid"

-- An object whose collector has run, reached again through a finalizer.
local zombie
do
    local holder = setmetatable({}, {__gc = function(t) zombie = t.object end})
    holder.object = RS()
end
collectgarbage()
collectgarbage()
assert(type(zombie) == "userdata", "no resurrected object")

-- A foreign userdata carrying the relay's metatable.
local disguised = io.tmpfile()
debug.setmetatable(disguised, getmetatable(rs))

-- Values ---------------------------------------------------------------------------
local function const(v) return function() return v end end

local bigA = string.rep("A", 65536)
local bigBytes
do
    local bytes = {}
    for i = 1, 4096 do bytes[i] = string.char(math.random(0, 255)) end
    bigBytes = string.rep(table.concat(bytes), 256) -- 1 MiB
end

local scalars = {
    const(nil), const(true), const(false),
    const(0), const(-0.0), const(1), const(-1), const(2), const(3), const(5), const(0.5), const(-0.5),
    const(4122), const(4122.7), const(8443), const(65535), const(65536), const(70000), const(-70000),
    const(2 ^ 31 - 1), const(2 ^ 31), const(-2 ^ 31), const(-2 ^ 31 - 1), const(2 ^ 32), const(2 ^ 32 + 1),
    const(2 ^ 53), const(-2 ^ 53), const(2 ^ 63), const(-2 ^ 63), const(2 ^ 64), const(1e308), const(-1e308),
    const(math.huge), const(-math.huge), function() return 0 / 0 end, const(1e-300),
    function() return math.random(-100000, 100000) end,
    function() return math.random() * 131072 - 65536 end,
    const(""), const("0"), const("1"), const("2"), const("8443"), const(" 8443 "), const("0x1F90"),
    const("1e3"), const("-1"), const("nan"), const("inf"), const("4122.9"),
    const("TLSv1.2"), const("TLSv1.2 TLSv1.3"), const("tlsv1.2"), const("false"), const("%s%n%d%%"),
    const("a\0b"), const("\0"), const("\255\254\253"), const("\195\40"), const("\192\175"),
    const("\237\160\128"), const("\244\144\128\128"), const("h\195\169 \230\151\165"), const("\""),
    const("\\"), const(".."), const("."), const("a/b"), const("x y\tz\n"),
    const(bigA), const(bigBytes), function() return bigBytes:sub(1, math.random(0, 300)) end,
}

-- Tables whose reads run code: raising, yielding, collecting, re-entering.
local function reading(f) return function() return setmetatable({}, {__index = f}) end end
local recursive
recursive = setmetatable({}, {__index = function(t) return rs:UpdateConfig(t) end})
local hostile = {
    reading(function() error(Marker) end),
    reading(function() error(MarkerObject) end),
    reading(function() return coroutine.yield(1) end),
    reading(function() collectgarbage() end),
    reading(function()
        rs:WriteDefaultWebServerConfig(1, true)
        rs2:GetInstallDir()
        return 8443
    end),
    reading(function() return pick(scalars)() end),
    const(recursive),
}

local settingsKeys = {"port", "httpport", "relay_upload", "relay_verify_client",
                      "tlsProtocols", "enableStrongCipher"}

-- A plain settings table: each field present or not, with any scalar.
local function settingsTable()
    local t = {}
    for _, key in ipairs(settingsKeys) do
        if chance(0.5) then t[key] = pick(scalars)() end
    end
    if chance(0.2) then t.unknown = pick(scalars)() end
    return t
end

local others = {
    const({}), const({1, 2, 3}), settingsTable, const(print), const(function() end),
    function() return coroutine.create(function() end) end, const(coroutine.running()),
    const(io.stdout), const(disguised), const(RS), const(getmetatable(rs)), const(zombie),
    const(rs), const(rs2), const(LIGHT), const(FORGED_SMALL), const(FORGED_EMPTY), const(FORGED_NONE),
}

local function anyValue()
    local r = math.random()
    if r < 0.55 then return pick(scalars)() end
    if r < 0.70 then return pick(hostile)() end
    return pick(others)()
end

-- Descriptions for the report ----------------------------------------------------------
local names = {[rs] = "rs", [rs2] = "rs2", [zombie] = "zombie", [RS] = "SLB.RelayServer",
               [disguised] = "disguised-userdata"}
local function describe(v, nested)
    if type(v) == "string" then
        local shown = v:sub(1, 24):gsub("[^%w%p ]", function(c) return "\\" .. c:byte() end)
        return ("%q(len %d)"):format(shown, #v)
    elseif names[v] then return names[v]
    elseif type(v) == "number" then return ("%.17g"):format(v)
    elseif type(v) == "table" and getmetatable(v) == nil and not nested then
        local parts = {}
        for k, x in pairs(v) do parts[#parts + 1] = tostring(k) .. "=" .. describe(x, true) end
        table.sort(parts)
        return "{" .. table.concat(parts, ", ") .. "}"
    end
    return (tostring(v):gsub("0x%x+", ""))
end

-- Checks ------------------------------------------------------------------------------
local violations = {}
local callIndex, current = 0, ""
local function violation(text)
    if #violations < 200 then
        violations[#violations + 1] = ("call %d %s: %s"):format(callIndex, current, text)
    end
end

local function isUtf8(s)
    local i, n = 1, #s
    while i <= n do
        local c = s:byte(i)
        local len = c < 0x80 and 1 or (c >= 0xC2 and c < 0xE0) and 2 or (c >= 0xE0 and c < 0xF0) and 3
                    or (c >= 0xF0 and c < 0xF5) and 4 or nil
        if not len or i + len - 1 > n then return false end
        for k = i + 1, i + len - 1 do
            local b = s:byte(k)
            if b < 0x80 or b > 0xBF then return false end
        end
        local b = s:byte(i + 1)
        if (c == 0xE0 and b < 0xA0) or (c == 0xED and b > 0x9F) -- overlong, surrogate
           or (c == 0xF0 and b < 0x90) or (c == 0xF4 and b > 0x8F) then return false end
        i = i + len
    end
    return true
end

local function readFile(path)
    local f = io.open(path, "rb")
    if not f then return nil end
    local text = f:read("*a")
    f:close()
    return text
end
local function fileExists(path)
    local f = io.open(path, "rb")
    return f ~= nil and f:close()
end

-- The binding's integer reader: a number or numeric string cut toward zero, held to
-- 64 bits, NaN and anything else 0; then narrowed to the low 32 bits.
local function low32(v)
    local n = (type(v) == "number" or type(v) == "string") and tonumber(v) or nil
    if n == nil or n ~= n then return 0 end
    if n >= 2 ^ 63 then return -1 end
    if n <= -2 ^ 63 then return 0 end
    n = n >= 0 and math.floor(n) or math.ceil(n)
    local r = math.fmod(n, 2 ^ 32)
    if r < 0 then r = r + 2 ^ 32 end
    if r >= 2 ^ 31 then r = r - 2 ^ 32 end
    return r
end

-- What each object holds, as far as it is known (nil: unknown).
local function freshModel()
    return {port = 4122, httpport = 0, relay_upload = 0, relay_verify_client = 0,
            tls = "", enableStrongCipher = false}
end
local models = {[rs] = freshModel(), [rs2] = freshModel()}

-- A port field: returns (known?, changed?, new value) for a number n read as Lua does.
local function portUpdate(v, old)
    local n = (type(v) == "number" or type(v) == "string") and tonumber(v) or 0
    if n == 0 then return true, false, old end
    if old == nil then return false end
    if n == old then return true, false, old end
    if n ~= n or n == math.huge or n == -math.huge or n >= 2 ^ 31 or n <= -2 ^ 31 then
        return false -- outside what the method fixes: any port, but changed
    end
    local whole = n >= 0 and math.floor(n) or math.ceil(n)
    local port = math.fmod(whole, 65536)
    if port < 0 then port = port + 65536 end
    if port == 0 then port = 0 end -- not -0
    return true, true, port
end

-- Applies a plain settings table to the model; returns the predicted result or nil.
local function predictUpdate(model, t)
    local anyChanged, anyUnknown = false, false
    local function note(known, changed)
        if not known then anyUnknown = true elseif changed then anyChanged = true end
    end
    for _, key in ipairs({"port", "httpport"}) do
        local known, changed, value = portUpdate(t[key], model[key])
        note(known, changed)
        model[key] = known and value or nil
    end
    for _, key in ipairs({"relay_upload", "relay_verify_client"}) do
        local value = low32(t[key])
        note(model[key] ~= nil, model[key] ~= value)
        model[key] = value
    end
    local tls = t.tlsProtocols
    if type(tls) == "number" then tls = tostring(tls) end
    if type(tls) == "string" then
        local predictable = model.tls ~= nil and isUtf8(tls)
        note(predictable, model.tls ~= tls)
        model.tls = predictable and tls or nil
    end
    local strong = t.enableStrongCipher ~= nil and t.enableStrongCipher ~= false
    note(model.enableStrongCipher ~= nil, model.enableStrongCipher ~= strong)
    model.enableStrongCipher = strong
    if anyChanged then return true end
    if not anyUnknown then return false end
end

local function unknownModel(model)
    for _, key in ipairs(settingsKeys) do model[key] = nil end
    model.tls = nil
end

-- The stub web server fails while this file exists.
local failFile = config.bin .. "/fail"
local nginxFails = false
local function setNginxFails(on)
    if on then assert(io.open(failFile, "w")):close() else os.remove(failFile) end
    nginxFails = on
end

local function hasEvent(events, id, text)
    for _, e in ipairs(events) do
        if e.id == id and (text == nil or e.text == text) then return true end
    end
    return false
end

local function checkEvents(events, allowed)
    for _, e in ipairs(events) do
        if not allowed[e.id] then violation(("unexpected event %d %q"):format(e.id, tostring(e.text))) end
    end
end

local function expectEvent(events, id, text)
    if not hasEvent(events, id, text) then
        local seen = {}
        for _, e in ipairs(events) do seen[#seen + 1] = ("%d %q"):format(e.id, tostring(e.text)) end
        violation(("missing event %d %q; events: %s"):format(id, text or "", table.concat(seen, ", ")))
    end
end

local function checkConfigText(model, accessMode, clientCertificate)
    local text = readFile(configPath)
    if not text then return violation("no configuration file") end
    if text:sub(1, 52) ~= "# DO NOT EDIT - default web server configuration fil" then
        violation("configuration header")
    end
    if text:sub(-5) ~= " }\n}\n" then violation("configuration end") end
    local open = text:find("    allow              all;\n", 1, true) ~= nil
    local loopback = text:find("    allow              127.0.0.1;\n    allow              ::1;\n" ..
                               "    deny               all;\n", 1, true) ~= nil
    if (accessMode == 0) ~= open or (accessMode ~= 0) ~= loopback then
        violation(("site root lines for accessMode %d"):format(accessMode))
    end
    if (text:find("  ssl_client_certificate  ", 1, true) ~= nil) ~= clientCertificate then
        violation("client certificate lines")
    end
    if model.port and not text:find(":" .. model.port .. " ssl;\n", 1, true)
       and not text:find("listen             " .. model.port .. " ssl;\n", 1, true) then
        violation("listen port " .. model.port .. " missing")
    end
    if model.relay_upload ~= nil and (model.relay_upload ~= 0) ~=
       (text:find("  location /data/ {\n", 1, true) ~= nil) then
        violation("upload section")
    end
end

local function checkPort(object)
    local model = models[object]
    local port = object:GetWebServerListenPort()
    if type(port) ~= "number" or port ~= math.floor(port) or port < 0 or port > 65535 then
        violation("port out of range: " .. tostring(port))
    elseif model.port ~= nil and port ~= model.port then
        violation(("port %d, expected %d"):format(port, model.port))
    else
        model.port = port
    end
end

-- Results: one boolean / none / one string.
local function oneBoolean(r, mustBeTrue)
    if r.n ~= 2 or type(r[2]) ~= "boolean" then
        return violation(("results: %d values, first %s"):format(r.n - 1, type(r[2])))
    end
    if mustBeTrue and r[2] ~= true then violation("result false") end
end
local function none(r)
    if r.n ~= 1 then violation(("results: %d values, none expected"):format(r.n - 1)) end
end
local function oneString(r)
    if r.n ~= 2 or type(r[2]) ~= "string" then return violation("result not one string") end
    if not isUtf8(r[2]) then violation("result not UTF-8") end
end

-- The methods ----------------------------------------------------------------------
-- kind: "bound" (object check raises NoObject), "rawObject" (argument error),
-- "free" (no object read). check(r, object, args, events, first) runs for valid calls.
local methods = {}
local function method(name, kind, arity, check)
    methods[#methods + 1] = {name = name, kind = kind, arity = arity, check = check}
end

local pidFilePresent = false

method("CreateBundle", "rawObject", 0, function(r)
    if r.n ~= 4 or type(r[2]) ~= "boolean" or type(r[3]) ~= "number" or type(r[4]) ~= "string" then
        return violation("results of CreateBundle")
    end
    local ok, status, text = r[2], r[3], r[4]
    if ok ~= (status == 0) then violation("flag and status disagree") end
    if status == 0 and not text:match("^kwupdate_%d%d%d%d%d%d%d%d%d%d+$") then violation("bundle name " .. text)
    elseif status == 500 and text ~= "Failed to create" then violation("text for 500: " .. text)
    elseif status == 503 then violation("busy on one thread")
    elseif status ~= 0 and status ~= 500 then violation("status " .. status)
    end
end)
method("CleanupUpdateBundles", "bound", 1, none)
method("DisableWebServer", "bound", 0, function(r, object, args, events)
    oneBoolean(r)
    checkEvents(events, {[9103] = true, [9106] = true, [3006] = true})
    if r[2] == true then
        expectEvent(events, 9103)
        -- A text that has no UTF-8 form (a TLS list the locale could not read) is
        -- not written: event 3006, and the old file stays.
        if not hasEvent(events, 3006) then checkConfigText(models[object], 2, true) end
    elseif not hasEvent(events, 3006) then
        if not nginxFails then violation("disable failed with a working web server") end
        expectEvent(events, 9106)
    end
end)
method("RotateWebLogs", "bound", 0, function(r, object, args, events)
    oneBoolean(r, true)
    checkEvents(events, {})
end)
method("RotateLogFile", "bound", 2, function(r, object, args, events)
    none(r)
    checkEvents(events, {})
end)
method("EnableWebServer", "bound", 0, function(r, object, args, events)
    oneBoolean(r)
    checkEvents(events, {[9104] = true, [9105] = true, [3006] = true})
    if r[2] == true then
        if nginxFails then violation("enabled with a failing web server") end
        expectEvent(events, 9104)
        if not hasEvent(events, 3006) then checkConfigText(models[object], 0, true) end
    else
        if not nginxFails then violation("enable failed with a working web server") end
        expectEvent(events, 9105)
    end
end)
for _, getter in ipairs({"GetInstallDir", "GetWebServerAccessLogPath", "GetWebServerErrorLogPath",
                         "GetWebServerConfigPath", "GetWebServerSslCertPathCA"}) do
    method(getter, "bound", 0, oneString)
end
method("GetWebServerListenPort", "bound", 0, function(r, object)
    if r.n ~= 2 or type(r[2]) ~= "number" then return violation("port result") end
    checkPort(object)
end)
method("Publish", "bound", 0, function(r) oneBoolean(r, true) end)
method("StartWebServer", "bound", 1, function(r, object, args, events)
    oneBoolean(r)
    checkEvents(events, {[9103] = true, [9104] = true, [9105] = true, [9106] = true, [3006] = true})
    if r[2] == true then
        if nginxFails then violation("started with a failing web server") end
        expectEvent(events, 9104)
    elseif not pidFilePresent then
        if not nginxFails then violation("start failed with a working web server") end
        expectEvent(events, 9105)
    end
end)
method("WriteDefaultWebServerConfig", "bound", 2, function(r, object, args, events)
    oneBoolean(r)
    checkEvents(events, {[3006] = true})
    if r[2] == true then
        checkConfigText(models[object], low32(args[1]), args[2] ~= nil and args[2] ~= false)
    else
        expectEvent(events, 3006)
    end
end)
method("StopWebServer", "bound", 1, function(r, object, args, events)
    oneBoolean(r)
    checkEvents(events, {[9103] = true, [9105] = true})
    if not pidFilePresent then
        if r[2] then violation("stopped without a pid file") end
        expectEvent(events, 9105, "Pid file does not exist")
    elseif r[2] == nginxFails then
        violation("stop result " .. tostring(r[2]) .. " with the stub failing: " .. tostring(nginxFails))
    end
end)
local NoName = "no web server configuration filename specified"
method("IsWebServerConfigValid", "free", 1, function(r, object, args, events, first)
    if r.n ~= 3 or type(r[2]) ~= "boolean" or type(r[3]) ~= "string" then
        return violation("results of IsWebServerConfigValid")
    end
    local name = type(first) == "number" and tostring(first) or first
    if type(name) ~= "string" or name == "" or name:sub(1, 1) == "\0" then
        if r[2] or r[3] ~= NoName then violation("no name: " .. tostring(r[2]) .. " " .. r[3]) end
    elseif r[3] == NoName then
        -- Only a name the locale cannot convert reads as none.
        if isUtf8(name) then violation("a valid name read as none") end
    elseif r[2] == nginxFails and #name < 65536 then
        violation("verdict " .. tostring(r[2]) .. " with the stub failing: " .. tostring(nginxFails))
    elseif not r[2] and nginxFails and r[3] ~= NginxFailure then
        violation("output of the failed test: " .. ("%q"):format(r[3]))
    end
end)
method("ReloadWebServerConfig", "bound", 0, function(r, object, args, events)
    oneBoolean(r)
    checkEvents(events, {[9103] = true, [9104] = true})
    if not pidFilePresent then
        if r[2] then violation("reloaded without a pid file") end
        expectEvent(events, 9103, "Pid file does not exist")
    elseif r[2] then
        expectEvent(events, 9104, "New configuration loaded")
        if nginxFails then violation("reloaded with a failing web server") end
    else
        expectEvent(events, 9103, NginxFailure) -- the output, taken literally
        if not nginxFails then violation("reload failed with a working web server") end
    end
end)
method("KillWebServerByPidFile", "bound", 0, function(r, object, args, events)
    -- The pid files never name a launcher or a web server here: nothing to remove.
    oneBoolean(r, true)
    checkEvents(events, {})
end)
method("ExtractBundles", "free", 0, function(r)
    if r.n ~= 2 then return violation("ExtractBundles: " .. (r.n - 1) .. " results") end
    local list = r[2]
    if list == nil then return end
    if type(list) ~= "table" then return violation("ExtractBundles: " .. type(list)) end
    local n = 0
    for _, v in pairs(list) do
        n = n + 1
        if type(v) ~= "string" or not v:find("/bundle/tmp/kwupdate_", 1, true) then
            violation("ExtractBundles entry " .. tostring(v))
        end
    end
    if n ~= #list then violation("ExtractBundles: not a sequence") end
end)
method("UpdateConfig", "rawObject", 1, function(r, object, args)
    if r.n ~= 2 or type(r[2]) ~= "boolean" then return violation("result of UpdateConfig") end
    local t = args[1]
    if type(t) == "table" and getmetatable(t) == nil then
        local expected = predictUpdate(models[object], t)
        if expected ~= nil and expected ~= r[2] then
            violation(("UpdateConfig answered %s, expected %s"):format(tostring(r[2]), tostring(expected)))
        end
    else
        unknownModel(models[object])
    end
    checkPort(object)
end)
method("CleanupWebServer", "bound", 0, function(r) oneBoolean(r, true) end)

-- Errors a call may raise -----------------------------------------------------------------
local function allowedError(m, valid, e)
    local text = tostring(e)
    if not valid then
        if m.kind == "bound" then return text == NoObject end
        if m.kind == "rawObject" then
            return text:match("^bad argument #1 to '.-' %(RelayServer object expected%)$") ~= nil
                   or text:match("^calling '.-' on bad self %(RelayServer object expected%)$") ~= nil
        end
    end
    if m.name == "ExtractBundles" then
        return text == "Failed to create bundle directory" or text:match("^Failed bundle extraction: ") ~= nil
    end
    if m.name == "UpdateConfig" then
        return rawequal(e, MarkerObject) or text == NoObject -- a re-entering read with a bad object
               or text:find(Marker, 1, true) ~= nil
               or text:find("attempt to index", 1, true) ~= nil
               or text:find("attempt to yield", 1, true) ~= nil
               or text:find("stack overflow", 1, true) ~= nil
               or text:find("error in error handling", 1, true) ~= nil
    end
    return false
end

-- The environment around the calls ---------------------------------------------------------------
local pidContents = {"", "garbage\n", "-1\n", "-4194304\n", "99999999999999999999\n", "4194304\n",
                     "0\n", "12abc\n", " \n", tostring(config.ownPid) .. "\n"}

local function writeFile(path, content) assert(io.open(path, "w")):write(content):close() end

local function plantPidFiles()
    if math.random() < 0.5 then
        os.remove(nginxPid)
    else
        local content = pick(pidContents)
        -- nginx.pid never names this process: the stub could not stand for it.
        writeFile(nginxPid, content == pidContents[#pidContents] and "4194304\n" or content)
    end
    writeFile(kwvpPid, pick(pidContents))
end

local function swap(inside, outside)
    if fileExists(inside) then os.rename(inside, outside) else os.rename(outside, inside) end
end

local function shuffleEnvironment()
    local r = math.random()
    if r < 0.05 then setNginxFails(not nginxFails)
    elseif r < 0.10 then plantPidFiles()
    elseif r < 0.13 then host.shutdown(chance(0.5))
    elseif r < 0.16 then host.trace("RS", chance(0.5))
    elseif r < 0.18 then host.verbose(chance(0.5))
    elseif r < 0.21 then swap(config.bin .. "/kwupdate_hostile.zip", config.sandbox .. "/hostile.zip")
    elseif r < 0.23 then swap(config.bin .. "/kwupdate_fuzz.zip", config.sandbox .. "/valid.zip")
    elseif r < 0.24 then collectgarbage()
    end
end

-- One call -------------------------------------------------------------------------------------
local perMethod = {}
local forms = {"colon", "colon", "dot", "dot", "class", "coroutine"}

local function makeArgs(m)
    local n = m.arity
    local r = math.random()
    if r < 0.15 then n = math.max(0, n - 1) elseif r < 0.3 then n = n + math.random(1, 3) end
    local args = {n = n}
    for i = 1, n do args[i] = anyValue() end
    if m.name == "UpdateConfig" and chance(0.6) then args[1] = settingsTable() end
    if m.name == "RotateLogFile" then
        -- The path stays inside the working directory (the sandbox).
        if type(args[1]) == "string" then args[1] = args[1]:gsub("/", "_") end
        if type(args[1]) == "number" and chance(0.5) then args[1] = "rotated.log" end
    end
    return args
end

local function callOnce()
    local m = methods[math.random(#methods)]
    local form = pick(forms)
    local args = makeArgs(m)
    local first
    if form == "colon" then
        first = chance(0.8) and rs or rs2
    elseif form == "dot" then
        first = chance(0.3) and pick({rs, rs2}) or anyValue()
        if m.name == "IsWebServerConfigValid" and chance(0.5) then first = pick(scalars)() end
    elseif form == "class" then
        first = RS
    else
        first = chance(0.7) and rs or anyValue()
    end
    local f, valid = RS[m.name], rawequal(first, rs) or rawequal(first, rs2)
    local shown = {}
    for i = 1, args.n do shown[i] = describe(args[i]) end
    current = ("%s[%s](%s; %s)"):format(m.name, form, describe(first), table.concat(shown, ", "))
    perMethod[m.name] = (perMethod[m.name] or 0) + 1

    host.clear()
    local function invoke() return table.pack(pcall(f, first, table.unpack(args, 1, args.n))) end
    local r
    if form == "coroutine" then
        local co = coroutine.create(invoke)
        local ok, packed = coroutine.resume(co)
        while ok and coroutine.status(co) == "suspended" do
            ok, packed = coroutine.resume(co) -- a read that yielded goes on
        end
        if not ok then return violation("coroutine died: " .. tostring(packed)) end
        r = packed
    else
        r = invoke()
    end
    local events = host.events()

    if not r[1] then
        if not allowedError(m, valid, r[2]) then violation("raised: " .. tostring(r[2]):sub(1, 300)) end
        if m.name == "UpdateConfig" and valid then unknownModel(models[first]) end
    elseif not valid and m.kind ~= "free" then
        violation("returned without an object")
    elseif m.check then
        m.check(r, valid and first or nil, args, events, first)
    end
end

-- The run ----------------------------------------------------------------------------------------
local started = os.time()
local calls = 0
while calls < config.calls and os.difftime(os.time(), started) < config.seconds do
    callIndex = calls + 1
    if chance(0.1) then shuffleEnvironment() end
    if chance(0.01) then
        current = "construction"
        local ok, object = pcall(RS, anyValue(), anyValue())
        if not ok or type(object) ~= "userdata" or object:GetWebServerListenPort() ~= 4122 then
            violation("construction: " .. tostring(object))
        end
    end
    -- Only nginx writes and removes its pid file: no method may.
    pidFilePresent = fileExists(nginxPid)
    callOnce()
    if pidFilePresent ~= fileExists(nginxPid) then
        violation(pidFilePresent and "removed nginx.pid" or "created nginx.pid")
    end
    calls = calls + 1
end

host.shutdown(false)
setNginxFails(false)
-- The disguised file gets its own metatable back, so that it is closed.
debug.setmetatable(disguised, getmetatable(io.stdout))
disguised:close()

local methodCount, rare = 0, {}
for name, n in pairs(perMethod) do
    methodCount = methodCount + 1
    if n < 20 then rare[#rare + 1] = name end
end
return {calls = calls, methods = methodCount, rare = rare, violations = violations}
