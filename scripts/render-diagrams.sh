#!/usr/bin/env bash
# Renders every Graphviz source docs/architecture/*.dot to the .svg beside it
# (dot -Tsvg). The .svg files are committed, so that the page shows them
# without a build; run this after changing a .dot file and commit both.
# Needs `dot` from the Debian package graphviz (scripts/deps.sh installs it).
set -euo pipefail

cd "$(dirname "$0")/.."
DIR=docs/architecture

if ! command -v dot >/dev/null 2>&1; then
  echo "render-diagrams: 'dot' not found: install graphviz (bash scripts/deps.sh, or apt-get install graphviz)" >&2
  exit 1
fi

shopt -s nullglob
sources=("$DIR"/*.dot)
if [ ${#sources[@]} -eq 0 ]; then
  echo "render-diagrams: no .dot file in $DIR" >&2
  exit 1
fi

for src in "${sources[@]}"; do
  out="${src%.dot}.svg"
  # Into a temporary file first: a failed render leaves the old .svg whole.
  tmp="$(mktemp "$DIR/.render.XXXXXX")"
  if ! dot -Tsvg -o "$tmp" "$src"; then
    rm -f "$tmp"
    echo "render-diagrams: $src failed to render" >&2
    exit 1
  fi
  chmod 0644 "$tmp"
  mv -f "$tmp" "$out"
  echo "render-diagrams: $out"
done
