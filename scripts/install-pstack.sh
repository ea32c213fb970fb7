#!/usr/bin/env bash
# Installs the project's gdb-based pstack as /usr/bin/pstack, where the daemon
# looks for it, unless the system already has a pstack there.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ -e /usr/bin/pstack ]; then
  echo "pstack: /usr/bin/pstack present, left as it is"
  exit 0
fi
if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi
"${SUDO[@]}" install -m 0755 "$ROOT/tools/pstack/pstack" /usr/bin/pstack
echo "pstack: installed /usr/bin/pstack (gdb based)"
