#!/usr/bin/env bash
# The layer check on a copy of the tree: the tree as it is passes; a file of ranks/ that includes
# a forbidden folder in angle brackets, a .hpp file doing the same, a path through "..", and a
# host-only header of sdk/ are each refused, by line; and so are two files of rotation/ that
# include each other.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
(cd "$src" && git ls-files -z -co --exclude-standard | xargs -0 cp --parents -t "$tree")

bash "$src/tools/check-layers" --root "$tree"

cat >"$tree/ranks/Forbidden.cpp" <<'CPP'
#include <rotation/HostingState.h>
#include "core/../plugin/Brevant.h"
#include "sdk/HostRuntime.h"
CPP
printf '#pragma once\n#include "replays/ReplayUpload.h"\n' >"$tree/ranks/Forbidden.hpp"
printf '#include "rotation/HostingState.h"\n' >>"$tree/rotation/MapLists.h"
if out=$(bash "$src/tools/check-layers" --root "$tree" 2>&1); then
    echo "the check passed a tree with forbidden includes"
    exit 1
fi
status=0
for expected in "ranks/Forbidden.cpp:1: ranks/ may not include rotation/HostingState.h" \
    "ranks/Forbidden.cpp:2: an include path may not step through" \
    "ranks/Forbidden.cpp:3: sdk/HostRuntime.h is the host's own" \
    "ranks/Forbidden.hpp:2: ranks/ may not include replays/ReplayUpload.h" \
    "rotation/: its files include each other in a cycle: "; do
    if [[ "$out" != *"$expected"* ]]; then
        echo "not refused: $expected"
        status=1
    fi
done
[ "$status" -eq 0 ] || echo "$out"
exit "$status"
