#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need. Idempotent:
# packages already present are not fetched again.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  unixodbc unixodbc-dev odbc-mariadb libsqliteodbc
  mariadb-server mariadb-client
  libspdlog-dev python3 python3-pyodbc
  gdb strace procps util-linux faketime
  prometheus mandoc
  dpkg-dev file
  adduser systemd python3-seccomp
  gnuplot-nox
  graphviz
  clang libclang-rt-14-dev
)

if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: all ${#PACKAGES[@]} packages present"
else
  echo "deps: installing ${missing[*]}"
  "${SUDO[@]}" apt-get update -qq
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# Stack listings of the daemon and the HA library run /usr/bin/pstack.
bash "$(dirname "$0")/install-pstack.sh"
