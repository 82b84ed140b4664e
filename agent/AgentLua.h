// The agent's own table for its scripts: waiting on the runnable, messages, and
// the few file jobs a Lua script cannot do by itself.
#pragma once

#include <string>

struct lua_State;

namespace Agent {

struct ScriptContext {
    std::string programDir;
    std::string home;
    bool homeIsDefault = false;
};

// Leaves the global table "agent" in L:
//   agent.wait(ms)            --> true when the agent is shutting down (at once then)
//   agent.sleep(ms)           -- a plain pause, also during shutdown
//   agent.should_exit()       --> boolean
//   agent.say(text)           -- one line on the agent's output
//   agent.copy_tree(from, to) --> true, or nil and a reason
//   agent.make_local_ca(cert) --> true, or nil and a reason (the key goes beside it)
//   agent.low_port_problem(port) --> nil, or why nginx may not bind the port
//   agent.bindir, agent.home, agent.home_is_default
void OpenAgentTable(lua_State* L, const ScriptContext& context);

// Writes one line "kwagent: <text>" on standard error.
void Say(const char* text);

} // namespace Agent
