#!/usr/bin/env bash
# Every benchmark in one run: logging and queues (scripts/bench.sh), then the
# drain of the daemon (scripts/bench-drain.sh; QUICK=1 for its short form).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bench.sh
bash scripts/bench-drain.sh
