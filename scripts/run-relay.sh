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
# nginx makes the temporary directories compiled into it (/var/lib/nginx/scgi and
# /var/lib/nginx/uwsgi) at every start; only root may create them. An ordinary user
# whose machine lacks them runs the relay with an empty /var/lib/nginx of its own:
# a private mount (user and mount namespace) that nothing else sees, as the same
# user, not root (nginx then runs as this user).
if [ "$(id -u)" -ne 0 ] && ! { [ -d /var/lib/nginx/scgi ] && [ -d /var/lib/nginx/uwsgi ]; } &&
    unshare --map-root-user --mount true 2>/dev/null; then
    exec unshare --map-root-user --mount sh -c \
        'mount -t tmpfs -o mode=0700 kwagent-nginx /var/lib/nginx &&
         uid=$1 gid=$2 program=$3 && shift 3 &&
         exec unshare --map-user="$uid" --map-group="$gid" "$program" "$@"' \
        sh "$(id -u)" "$(id -g)" build/bin/kwagent "$@"
fi
exec build/bin/kwagent "$@"
