-- Calls every method of SLB.RelayServer with random arguments (global FUZZ: seed, calls,
-- seconds, bin, sandbox, ownPid) and checks each outcome against the method's contract.
local config = FUZZ
local host = require "kwacore"
assert(require "relay" == true)
local RS = SLB.RelayServer
local NoObject = "Expected non-null object(SLB.RelayServer) as first argument to method call"
local Marker, NoName = "fuzz-boom", "no web server configuration filename specified"
local MarkerObject = setmetatable({}, {__tostring = function() return "fuzz-boom-object" end})
local NginxFailure = "nginx: [emerg] 100% refused %s %d\n"

math.randomseed(config.seed)
local function chance(p) return math.random() < p end
local function pick(list) return list[math.random(#list)] end

host.set("app.path.bin", config.bin)
local rs, rs2 = RS(), RS(1, "x", {}, nil, true) -- arguments are ignored
local workDir = rs:GetInstallDir():match("^(.*)/www$")
local configPath, nginxPid, kwvpPid = rs:GetWebServerConfigPath(), workDir .. "/nginx.pid", workDir .. "/kwvp.pid"
local zombie -- an object whose collector has run, reached again through a finalizer
do setmetatable({object = RS()}, {__gc = function(t) zombie = t.object end}) end
collectgarbage() collectgarbage()
assert(type(zombie) == "userdata", "no resurrected object")
local disguised = io.tmpfile() -- a foreign userdata carrying the relay's metatable
debug.setmetatable(disguised, getmetatable(rs))

-- Values ---------------------------------------------------------------------------
local function const(v) return function() return v end end
local bytes = {}
for i = 1, 4096 do bytes[i] = string.char(math.random(0, 255)) end
local bigBytes = string.rep(table.concat(bytes), 256) -- 1 MiB
local scalars = {function() return 0 / 0 end, function() return math.random(-100000, 100000) end,
                 function() return math.random() * 131072 - 65536 end,
                 function() return bigBytes:sub(1, math.random(0, 300)) end}
for _, v in ipairs({true, false, 0, -0.0, 1, -1, 2, 3, 5, 0.5, -0.5, 4122, 4122.7, 8443, 65535, 65536, 70000,
                    -70000, 2 ^ 31 - 1, 2 ^ 31, -2 ^ 31, -2 ^ 31 - 1, 2 ^ 32, 2 ^ 32 + 1, 2 ^ 53, 2 ^ 63, -2 ^ 63,
                    2 ^ 64, 1e308, -1e308, math.huge, -math.huge, 1e-300, "", "0", "1", "2", "8443", " 8443 ",
                    "0x1F90", "1e3", "-1", "nan", "inf", "TLSv1.2", "TLSv1.2 TLSv1.3", "tlsv1.2", "false",
                    "%s%n%d%%", "a\0b", "\0", "\255\254\253", "\195\40", "\192\175", "\237\160\128",
                    "\244\144\128\128", "h\195\169 \230\151\165", "\"", "\\", "..", ".", "a/b", "x y\tz\n",
                    string.rep("A", 65536), bigBytes}) do
    scalars[#scalars + 1] = const(v)
end
scalars[#scalars + 1] = const(nil)

-- Tables whose reads run code: raising, yielding, collecting, re-entering.
local function reading(f) return function() return setmetatable({}, {__index = f}) end end
local recursive = setmetatable({}, {__index = function(t) return rs:UpdateConfig(t) end})
local hostile = {reading(function() error(Marker) end), reading(function() error(MarkerObject) end),
                 reading(function() return coroutine.yield(1) end), reading(function() collectgarbage() end),
                 reading(function() rs:WriteDefaultWebServerConfig(1, true); rs2:GetInstallDir(); return 8443 end),
                 reading(function() return pick(scalars)() end), const(recursive)}
local settingsKeys = {"port", "httpport", "relay_upload", "relay_verify_client", "tlsProtocols", "enableStrongCipher"}
local function settingsTable()
    local t = {}
    for _, key in ipairs(settingsKeys) do if chance(0.5) then t[key] = pick(scalars)() end end
    return t
end
local others = {const({}), const({1, 2, 3}), settingsTable, const(print), const(coroutine.running()),
                function() return coroutine.create(function() end) end, const(io.stdout), const(disguised),
                const(RS), const(getmetatable(rs)), const(zombie), const(rs), const(rs2), const(LIGHT),
                const(FORGED_SMALL), const(FORGED_EMPTY), const(FORGED_NONE)}
local function anyValue()
    local r = math.random()
    return (r < 0.55 and pick(scalars) or r < 0.7 and pick(hostile) or pick(others))()
end
local names = {[rs] = "rs", [rs2] = "rs2", [zombie] = "zombie", [RS] = "SLB.RelayServer", [disguised] = "disguised"}
local function describe(v) -- for the violation reports
    if type(v) == "string" then return ("%q(len %d)"):format(v:sub(1, 24):gsub("[^%w%p ]", "?"), #v) end
    return names[v] or type(v) == "number" and ("%.17g"):format(v) or tostring(v)
end

-- Checks ------------------------------------------------------------------------------
local violations, callIndex, current = {}, 0, ""
local function violation(text)
    if #violations < 200 then violations[#violations + 1] = ("call %d %s: %s"):format(callIndex, current, text) end
end
local function isUtf8(s)
    local i, n = 1, #s
    while i <= n do
        local c, b = s:byte(i), s:byte(i + 1) or 0
        local len = c < 0x80 and 1 or c >= 0xC2 and c < 0xE0 and 2 or c >= 0xE0 and c < 0xF0 and 3
                    or c >= 0xF0 and c < 0xF5 and 4 or nil
        if not len or i + len - 1 > n or (c == 0xE0 and b < 0xA0) or (c == 0xED and b > 0x9F)
           or (c == 0xF0 and b < 0x90) or (c == 0xF4 and b > 0x8F) then return false end
        for k = i + 1, i + len - 1 do if s:byte(k) < 0x80 or s:byte(k) > 0xBF then return false end end
        i = i + len
    end
    return true
end
local function readFile(path)
    local f = io.open(path, "rb")
    return f and f:read("*a"), f and f:close()
end
-- The binding's integer reader: a number or numeric string cut toward zero, else 0; low 32 bits.
local function int32(v)
    local n = (type(v) == "number" or type(v) == "string") and tonumber(v) or nil
    if n == nil or n ~= n or n >= 2 ^ 63 or n <= -2 ^ 63 then return n and n >= 2 ^ 63 and -1 or 0 end
    n = math.fmod(n >= 0 and math.floor(n) or math.ceil(n), 2 ^ 32)
    return n < -2 ^ 31 and n + 2 ^ 32 or n >= 2 ^ 31 and n - 2 ^ 32 or n
end

local failFile, nginxFails, pidFilePresent = config.bin .. "/fail", false, false -- the stub fails while it exists

local function hasEvent(events, id, text)
    for _, e in ipairs(events) do if e.id == id and (text == nil or e.text == text) then return true end end
end
local function expectEvent(events, id, text)
    if not hasEvent(events, id, text) then violation(("missing event %d %q"):format(id, text or "")) end
end

-- The file on disk, after a write of this access mode and client certificate switch.
local function checkConfigText(object, accessMode, clientCertificate)
    local text = readFile(configPath)
    if not text or text:sub(1, 14) ~= "# DO NOT EDIT " or text:sub(-5) ~= " }\n}\n" then
        return violation("configuration text not whole")
    end
    local open = text:find("    allow              all;\n", 1, true) ~= nil
    if open ~= (accessMode == 0) or open == (text:find("    deny               all;\n", 1, true) ~= nil) then
        violation(("site root lines for accessMode %d"):format(accessMode))
    end
    if (text:find("ssl_client_certificate", 1, true) ~= nil) ~= clientCertificate then
        violation("client certificate lines")
    end
    local port = object:GetWebServerListenPort()
    if not text:find(":" .. port .. " ssl;\n", 1, true) and not text:find(" " .. port .. " ssl;\n", 1, true) then
        violation("listen port missing")
    end
end

-- Contracts: kind ("bound", "raw" or "free" of an object), arity, results, events allowed,
-- and for nginx's callers the events of success and failure.
local contracts = {
    CreateBundle = {"raw", 0, function(r)
        local ok, status, text = r[2], r[3], r[4]
        if r.n ~= 4 or type(ok) ~= "boolean" or ok ~= (status == 0) or not (status == 0 and
           text:match("^kwupdate_%d+$") or status == 500 and text == "Failed to create") then
            violation("results of CreateBundle")
        end
    end},
    CleanupUpdateBundles = {"bound", 1, "none"},
    RotateWebLogs = {"bound", 0, "true", {}},
    RotateLogFile = {"bound", 2, "none", {}},
    Publish = {"bound", 0, "true"},
    CleanupWebServer = {"bound", 0, "true"},
    KillWebServerByPidFile = {"bound", 0, "true", {}}, -- the pid files never name the relay's processes
    GetWebServerListenPort = {"bound", 0, "port"},
    UpdateConfig = {"raw", 1, "boolean"},
    EnableWebServer = {"bound", 0, "boolean", {9104, 9105, 3006}, ok = 9104, fail = 9105, stub = true, access = 0},
    DisableWebServer = {"bound", 0, "boolean", {9103, 9106, 3006}, ok = 9103, fail = 9106, stub = true, access = 2},
    StartWebServer = {"bound", 1, "boolean", {9103, 9104, 9105, 9106, 3006}, ok = 9104, fail = 9105, stub = "pid"},
    ReloadWebServerConfig = {"bound", 0, "boolean", {9103, 9104}, ok = 9104, fail = 9103, stub = true,
                             noPid = {9103, "Pid file does not exist"}, okText = "New configuration loaded",
                             failText = NginxFailure},
    StopWebServer = {"bound", 1, "boolean", {9103, 9105}, fail = 9105, stub = true,
                     noPid = {9105, "Pid file does not exist"}},
    WriteDefaultWebServerConfig = {"bound", 2, "boolean", {3006}, fail = 3006, write = true},
    IsWebServerConfigValid = {"free", 1, function(r, object, args, events, first)
        if r.n ~= 3 or type(r[2]) ~= "boolean" or type(r[3]) ~= "string" then return violation("results") end
        local name = type(first) == "number" and tostring(first) or first
        if type(name) ~= "string" or name == "" or name:sub(1, 1) == "\0" then
            if r[2] or r[3] ~= NoName then violation("no name: " .. r[3]) end
        elseif r[3] == NoName then
            if isUtf8(name) then violation("a valid name read as none") end -- only the locale refuses
        elseif r[2] == nginxFails and #name < 65536 then
            violation("verdict against the stub")
        elseif not r[2] and r[3] ~= NginxFailure then
            violation("output of the failed test: " .. ("%q"):format(r[3]))
        end
    end},
    ExtractBundles = {"free", 0, function(r)
        if r.n ~= 2 or (r[2] ~= nil and type(r[2]) ~= "table") then return violation("results") end
        local n = 0
        for _, v in pairs(r[2] or {}) do
            n = n + 1
            if type(v) ~= "string" or not v:find("/bundle/tmp/kwupdate_", 1, true) then violation("entry") end
        end
        if n ~= #(r[2] or {}) then violation("not a sequence") end
    end},
}
for _, getter in ipairs({"GetInstallDir", "GetWebServerAccessLogPath", "GetWebServerErrorLogPath",
                         "GetWebServerConfigPath", "GetWebServerSslCertPathCA"}) do
    contracts[getter] = {"bound", 0, "string"}
end

local function checkResults(c, r, object, args, events, first)
    local shape = c[3]
    if type(shape) == "function" then return shape(r, object, args, events, first) end
    local want = shape == "none" and 1 or 2
    local kind = (shape == "true" or shape == "boolean") and "boolean" or shape == "port" and "number" or shape
    if r.n ~= want or (want == 2 and type(r[2]) ~= kind) then return violation("results: " .. (r.n - 1)) end
    if shape == "true" and not r[2] then violation("result false") end
    if shape == "string" and not isUtf8(r[2]) then violation("result not UTF-8") end
    if shape == "port" and (r[2] % 1 ~= 0 or r[2] < 0 or r[2] > 65535) then violation("port " .. r[2]) end
    if c[4] then
        local allowed = {}
        for _, id in ipairs(c[4]) do allowed[id] = true end
        for _, e in ipairs(events) do if not allowed[e.id] then violation("unexpected event " .. e.id) end end
    end
    local written = not hasEvent(events, 3006) -- a text without UTF-8 form is not written
    if c.noPid and not pidFilePresent then
        if r[2] then violation("succeeded without a pid file") end
        return expectEvent(events, c.noPid[1], c.noPid[2])
    end
    if r[2] then
        if c.ok then expectEvent(events, c.ok, c.okText) end
        if c.stub and nginxFails then violation("succeeded with a failing web server") end
        if c.access and written then checkConfigText(object, c.access, true) end
        if c.write then checkConfigText(object, int32(args[1]), args[2] ~= nil and args[2] ~= false) end
    elseif written and (c.stub == true or c.stub == "pid" and not pidFilePresent) then
        if not nginxFails then violation("failed with a working web server") end
        expectEvent(events, c.fail, c.failText)
    elseif c.write then
        expectEvent(events, 3006)
    end
end

local function allowedError(m, c, valid, e)
    local text = tostring(e)
    if not valid and c[1] == "bound" then return text == NoObject end
    if not valid and c[1] == "raw" and (text:match("^bad argument #1 to '.-' %(RelayServer object expected%)$")
       or text:match("^calling '.-' on bad self %(RelayServer object expected%)$")) then return true end
    if m == "ExtractBundles" then
        return text == "Failed to create bundle directory" or text:match("^Failed bundle extraction: ") ~= nil
    end
    if m ~= "UpdateConfig" then return false end
    if rawequal(e, MarkerObject) or text == NoObject then return true end
    for _, part in ipairs({Marker, "attempt to index", "attempt to yield", "stack overflow", "error in error handling"}) do
        if text:find(part, 1, true) then return true end
    end
end

-- The environment around the calls --------------------------------------------------
local pidContents = {"", "garbage\n", "-1\n", "-4194304\n", "99999999999999999999\n", "4194304\n", "0\n",
                     "12abc\n", " \n", config.ownPid .. "\n"}
local function writeFile(path, content) assert(io.open(path, "w")):write(content):close() end
local function swap(a, b) return os.rename(a, b) or os.rename(b, a) end
local function shuffleEnvironment()
    local r = math.random()
    if r < 0.05 then
        nginxFails = not nginxFails
        if nginxFails then writeFile(failFile, "") else os.remove(failFile) end
    elseif r < 0.10 then
        -- nginx.pid never names this process: the stub could not stand for it.
        local content = pick(pidContents)
        if chance(0.5) then os.remove(nginxPid) else writeFile(nginxPid, content:find(config.ownPid) and "0\n" or content) end
        writeFile(kwvpPid, pick(pidContents))
    elseif r < 0.13 then host.shutdown(chance(0.5))
    elseif r < 0.16 then host.trace("RS", chance(0.5))
    elseif r < 0.18 then host.verbose(chance(0.5))
    elseif r < 0.21 then swap(config.bin .. "/kwupdate_hostile.zip", config.sandbox .. "/hostile.zip")
    elseif r < 0.23 then swap(config.bin .. "/kwupdate_fuzz.zip", config.sandbox .. "/valid.zip")
    elseif r < 0.24 then collectgarbage()
    end
end

-- One call: a method, a form (colon, dot, through the class, in a coroutine), arguments.
local methodNames, perMethod = {}, {}
for name in pairs(contracts) do methodNames[#methodNames + 1] = name end
for name, f in pairs(RS) do
    if type(f) == "function" and not contracts[name] then violation("no contract for " .. name) end
end
table.sort(methodNames)
local function callOnce()
    local m = pick(methodNames)
    local c, form = contracts[m], pick({"colon", "colon", "dot", "dot", "class", "coroutine"})
    local args = {n = c[2] + (chance(0.15) and -1 or chance(0.18) and math.random(1, 3) or 0)}
    for i = 1, math.max(args.n, 0) do args[i] = anyValue() end
    if m == "UpdateConfig" and chance(0.6) then args[1] = settingsTable() end
    if m == "RotateLogFile" and type(args[1]) == "string" then args[1] = args[1]:gsub("/", "_") end -- stays in the sandbox
    local first = form == "class" and RS or (form == "colon" or chance(0.4)) and pick({rs, rs, rs2}) or anyValue()
    if m == "IsWebServerConfigValid" and form == "dot" and chance(0.5) then first = pick(scalars)() end
    local valid = rawequal(first, rs) or rawequal(first, rs2)
    local shown = {describe(first)}
    for i = 1, math.max(args.n, 0) do shown[i + 1] = describe(args[i]) end
    current = ("%s[%s](%s)"):format(m, form, table.concat(shown, ", "))
    perMethod[m] = (perMethod[m] or 0) + 1

    host.clear()
    local function invoke() return table.pack(pcall(RS[m], first, table.unpack(args, 1, math.max(args.n, 0)))) end
    local r
    if form == "coroutine" then
        local co = coroutine.create(invoke)
        local ok, packed = coroutine.resume(co)
        while ok and coroutine.status(co) == "suspended" do ok, packed = coroutine.resume(co) end
        if not ok then return violation("coroutine died: " .. tostring(packed)) end
        r = packed
    else
        r = invoke()
    end
    if not r[1] then
        if not allowedError(m, c, valid, r[2]) then violation("raised: " .. tostring(r[2]):sub(1, 300)) end
    elseif not valid and c[1] ~= "free" then
        violation("returned without an object")
    else
        checkResults(c, r, valid and first or nil, args, host.events(), first)
    end
end

-- The run ---------------------------------------------------------------------------
local started, calls = os.time(), 0
while calls < config.calls and os.difftime(os.time(), started) < config.seconds do
    callIndex = calls + 1
    if chance(0.1) then shuffleEnvironment() end
    if chance(0.01) then
        current = "construction"
        local ok, object = pcall(RS, anyValue(), anyValue())
        if not ok or object:GetWebServerListenPort() ~= 4122 then violation("construction: " .. tostring(object)) end
    end
    -- Only nginx writes and removes its pid file: no method may.
    pidFilePresent = readFile(nginxPid) ~= nil
    callOnce()
    if pidFilePresent ~= (readFile(nginxPid) ~= nil) then violation(pidFilePresent and "removed nginx.pid" or "created nginx.pid") end
    calls = calls + 1
end

host.shutdown(false)
os.remove(failFile)
debug.setmetatable(disguised, getmetatable(io.stdout)):close() -- its own metatable back, then closed
local methodCount, rare = 0, {}
for name, n in pairs(perMethod) do
    methodCount = methodCount + 1
    if n < 20 then rare[#rare + 1] = name end
end
return {calls = calls, methods = methodCount, rare = rare, violations = violations}
