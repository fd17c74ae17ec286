#!/usr/bin/env bash
# Builds velkor for the newest CPython >= 3.12 found and runs the example on the shipped data.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

echo "-- looking for CPython >= 3.12 on PATH and through pyenv" >&2
python="$(newest_python)"
echo "== CPython $(key_label "$(py_key "$python")") ($python)" >&2
vpython="$(make_venv "$python")"
echo "-- running examples/shortest_paths.py" >&2
cd "$ROOT/examples"
exec "$vpython" shortest_paths.py
