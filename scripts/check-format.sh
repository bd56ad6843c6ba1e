#!/bin/sh
# Checks that the C++ sources follow .clang-format (clang-format-14, from
# scripts/install-deps.sh): lists the files that do not and exits 1, or
# exits 0 when all do.
#   scripts/check-format.sh             every tracked C and C++ file
#   scripts/check-format.sh FILE...     only these
#   FIX=1 scripts/check-format.sh       rewrites the files in place instead
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
FORMAT=${CLANG_FORMAT:-clang-format-14}
command -v "$FORMAT" >/dev/null || {
    echo "check-format: $FORMAT is missing (scripts/install-deps.sh installs it)" >&2
    exit 2
}
if [ $# -eq 0 ]; then
    set -- $(git ls-files '*.cpp' '*.h' '*.c')
fi
if [ "${FIX:-0}" = 1 ]; then
    "$FORMAT" -i --style=file "$@"
    exit 0
fi
unformatted=0
for file in "$@"; do
    if ! "$FORMAT" --style=file --dry-run -Werror "$file" >/dev/null 2>&1; then
        echo "$file"
        unformatted=$((unformatted + 1))
    fi
done
if [ "$unformatted" -gt 0 ]; then
    echo "check-format: $unformatted file(s) differ from .clang-format (FIX=1 $0 rewrites them)" >&2
    exit 1
fi
echo "check-format: every file follows .clang-format"
