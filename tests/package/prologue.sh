# What the package tests share: BUILD_DIR and SOURCE_DIR from the command line, a scratch
# folder removed at exit, and fail() naming the test ($test_name).
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "$test_name: $*"; exit 1; }
