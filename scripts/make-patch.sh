#!/usr/bin/env bash
# Makes a game patch that Update.exe applies, from the build players have (or several earlier ones)
# and the new one:
#   bash scripts/make-patch.sh OLD [OLD ...] NEW OUTDIR --eula FILE [--from NAME ...] [--to NAME]
#                              [--update FILE] [--max-install-path N] [--allow-removed]
# writes OUTDIR/karveth-patch-<from>-to-<to>.zip and its line in OUTDIR/SHA256SUMS, or refuses with
# the reasons and writes nothing. --help says more; docs/patching.md says it all.
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/make-patch.py" "$@"
