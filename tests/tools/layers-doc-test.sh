#!/usr/bin/env bash
# The layer table of docs/layers.md says what tools/check-layers' own table says: one row per
# folder of the script, none for a folder it does not know, and each row's includes column (the
# layer names in backticks) naming exactly the folders the script lists for it.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
doc="$src/docs/layers.md"

# "folder: dep dep ..." per table row whose first cell is a folder in backticks, deps sorted.
docTable() {
    grep -E '^\| `[a-z_]+/` \|' "$doc" | while IFS= read -r row; do
        folder=${row#'| `'}
        folder=${folder%%/*}
        includes=${row%|}
        includes=${includes##*|}
        echo "$folder:" $(grep -o '`[a-z_]*`' <<<"$includes" | tr -d '`' | sort)
    done | sort
}

if ! out=$(diff <(bash "$src/tools/check-layers" --table) <(docTable)); then
    echo "docs/layers.md's table differs from tools/check-layers --table ('<' the script, '>' the page):"
    echo "$out"
    exit 1
fi
echo "docs/layers.md: the layer table matches tools/check-layers"
