-- Drives the relay the way the agent's scripts do, for bench/run:
--   lua5.2 relay-ctl.lua BIN_DIR construct          make the object (and the certificate)
--   lua5.2 relay-ctl.lua BIN_DIR publish            Publish() the web root
--   lua5.2 relay-ctl.lua BIN_DIR start PORT         UpdateConfig{port} and StartWebServer(false)
--   lua5.2 relay-ctl.lua BIN_DIR stop               KillWebServerByPidFile()
-- KWA_HOME names the agent's data root. Exits 1 when the method reports failure.
local bin, op, port = arg[1], arg[2], arg[3]
package.cpath = bin .. "/?.so;" .. package.cpath
local host = require "kwacore"
require "relay"
local rs = SLB.RelayServer()
local ok = true
if op == "publish" then
    ok = rs:Publish()
elseif op == "start" then
    host.set("kwp.RelayServer.address.v4", "127.0.0.1")
    rs:UpdateConfig{port = tonumber(port), tlsProtocols = "TLSv1.2 TLSv1.3"}
    ok = rs:StartWebServer(false)
elseif op == "stop" then
    ok = rs:KillWebServerByPidFile()
elseif op ~= "construct" then
    io.stderr:write("usage: relay-ctl.lua BIN_DIR construct|publish|start PORT|stop\n")
    os.exit(2)
end
if not ok then
    for _, e in ipairs(host.events()) do io.stderr:write(e.id, " ", tostring(e.text), "\n") end
    os.exit(1)
end
