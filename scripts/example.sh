#!/usr/bin/env bash
# Builds velkor for the newest CPython >= 3.12 found and runs the example on the shipped data.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

python="$(newest_python)"
echo "== building velkor with CPython $(key_label "$(py_key "$python")") ($python)" >&2
vpython="$(make_venv "$python")"
cd "$ROOT/examples"
exec "$vpython" shortest_paths.py
