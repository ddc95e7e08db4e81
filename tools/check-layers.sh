#!/usr/bin/env bash
# Includes point down the layers only. From the bottom up: c (the frame layer's
# records and CRCs), common, frame, data, setup, connection, handler, sim, ecat. Prints
# every include of a higher folder and fails when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(c common frame data setup connection handler sim ecat)
rank() { local i; for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && echo "$i" && return; done; echo -1; }
bad=0
for file in $(git ls-files 'cpp/include/kestrel/*' 'cpp/src/*'); do
    [ -f "$file" ] || continue
    folder=${file#cpp/include/kestrel/}; folder=${folder#cpp/src/}; folder=${folder%%/*}
    own=$(rank "$folder")
    [ "$own" -lt 0 ] && continue
    while IFS= read -r target; do
        other=$(rank "$target")
        if [ "$other" -gt "$own" ]; then
            echo "layers: $file ($folder) includes kestrel/$target/"
            bad=1
        fi
    done < <(sed -n 's|^#include "kestrel/\([a-z_]*\)/.*|\1|p' "$file")
done
[ "$bad" = 0 ] && echo "layers: every include points down (${layers[*]})"
exit "$bad"
