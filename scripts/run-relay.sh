#!/usr/bin/env bash
# Installs what is needed, builds the agent, and runs the relay in the foreground.
# Stop it with Ctrl-C (or SIGTERM); it stops nginx and leaves nothing running.
#
# The agent keeps its data in $KWA_HOME (unset: /var/lib/kwagent for root,
# ~/.local/share/kwagent otherwise) and its settings in $KWA_HOME/agent.conf
# (kwp.RelayServer.port, .tlsProtocols, .upload, .verifyClient, .enableStrongCipher,
# .address.v4, .address.v6). Files of the web root, $KWA_HOME/plugins/relay/www,
# are served at https://localhost:4122/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build
# The agent and what it runs: relay.so, kwacore.so, kwvp.exe, nginx.exe, the script.
cmake --build build --target kwagent -j "$(nproc 2>/dev/null || echo 2)"
exec build/bin/kwagent "$@"
