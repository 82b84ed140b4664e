-- Runs one bundle operation of the relay the way the agent's scripts do, for
-- the bundle benchmark: lua5.2 relay-bundle.lua BIN_DIR create|extract
-- KWA_HOME names the agent's data root; for extract, "app.path.bin" must name
-- the directory that holds the bundle.
local bin, op = arg[1], arg[2]
package.cpath = bin .. "/?.so;" .. package.cpath
local host = require "kwacore"
require "relay"
local rs = SLB.RelayServer()
if op == "create" then
    local ok, status, text = rs:CreateBundle()
    if not ok then
        io.stderr:write("CreateBundle failed: ", status, " ", text, "\n")
        os.exit(1)
    end
    print(text)
elseif op == "extract" then
    local dirs = rs:ExtractBundles()
    if type(dirs) ~= "table" or #dirs ~= 1 then
        io.stderr:write("ExtractBundles unpacked nothing\n")
        os.exit(1)
    end
    print(dirs[1])
else
    io.stderr:write("usage: relay-bundle.lua BIN_DIR create|extract\n")
    os.exit(2)
end
