#!/bin/sh
# The project's front end: installs what is missing, builds, runs.
#
#   ./build.sh tour     build and run examples/tour.lua under kemlua
#   ./build.sh test     build and run every test (plain and sanitized builds)
#   ./build.sh build    build only (into build/)
#
# Build folders: build/ (release with debug info), build-asan/ (ASan+UBSan).
set -eu
cd "$(dirname "$0")"

jobs=$(nproc 2>/dev/null || echo 2)

configure() {  # folder, cmake options...
  dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja "$@"
  fi
  cmake --build "$dir" -j "$jobs"
}

run_ctest() {  # folder, label
  echo "== tests: $2 ($1)"
  (cd "$1" && ctest --output-on-failure -j "$jobs")
}

build_main() {
  scripts/bootstrap
  configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
}

case "${1:-}" in
  build)
    build_main
    ;;
  tour)
    build_main
    build/kemlua examples/tour.lua
    ;;
  test)
    build_main
    run_ctest build "plain build"
    configure build-asan -DCMAKE_BUILD_TYPE=Debug -DKEM_SANITIZE=ON
    run_ctest build-asan "AddressSanitizer and UndefinedBehaviorSanitizer"
    echo "== all test runs passed"
    ;;
  *)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
