#!/bin/sh
# The project's front end: installs what is missing, builds, runs.
#
#   ./build.sh tour     build and run examples/tour.lua under kemlua
#   ./build.sh test     build and run every test (plain, sanitized, LuaJIT, clang,
#                       armhf and mipsel builds, s390x too unless KEM_CI_S390X=0,
#                       and the fuzz targets on their stored inputs: deterministic)
#   ./build.sh build    build only (into build/)
#   ./build.sh cross TARGET       cross build for armhf, mipsel or s390x, all tests
#                                 under qemu, and the footprint
#   ./build.sh bench [NAME]       build and run the benchmarks (bench/bench_NAME;
#                                 fixed: bench/fixed_costs.sh, callgrind counts)
#   ./build.sh fuzz [SECONDS]     build the fuzz targets and fuzz each for SECONDS (60)
#   ./build.sh coverage           line and branch coverage of low/ and platform/
#   ./build.sh mutants [FILE...]  mutation check: how many small faults in low/ and
#                                 platform/host/ (or in FILEs) the tests catch
#   ./build.sh dist [FOLDER]      the release archive kemluautils-VERSION.tar.gz of the
#                                 tracked files and its LuaRocks .src.rock, in FOLDER (dist/)
#
# Build folders: build/ (release with debug info), build-asan/ (ASan+UBSan),
# build-luajit/ (against LuaJIT), build-clang/ (Release with clang),
# build-armhf/, build-mipsel/ and build-s390x/ (each with its sysroot), build-bench/,
# build-fuzz/, build-mutants/.
set -eu
cd "$(dirname "$0")"

jobs=$(nproc 2>/dev/null || echo 2)

# Configures (again, so that the options given hold) and builds. Development
# builds treat warnings as errors.
configure() {  # folder, cmake options...
  dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DKEM_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

passed=0
run_ctest() {  # folder, label, ctest options...
  dir=$1; label=$2; shift 2
  echo "== tests: $label ($dir)"
  log=$(mktemp)
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") | tee "$log"
  # ctest's own status is lost in the pipe: its summary line tells
  n=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$log")
  rm -f "$log"
  [ -n "$n" ] || { echo "== tests failed: $label"; exit 1; }
  passed=$((passed + n))
}

# Stripped sizes of the module, the platform library and kemlua, and of the
# shared libraries they need (directly or through another) beyond the C
# library, Lua and yajl, taken from the sysroot: what a firmware ships with
# them. Then the peak allocator bytes of one typical call of each module
# function.
footprint() {  # folder, target
  dir=$1
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$dir/CMakeCache.txt")
  echo "== footprint: $2"
  stripped() {  # file, name
    "${strip:-strip}" -o "$dir/stripped.tmp" "$1"
    printf '%-22s %8d bytes stripped\n' "$2" "$(wc -c <"$dir/stripped.tmp")"
    rm -f "$dir/stripped.tmp"
  }
  needed() {  # file: the names of the libraries it needs
    readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
  }
  queue="" seen=""
  for f in libkemluautils.so libkemplatform.so.1 kemlua; do
    stripped "$dir/$f" "$f"
    queue="$queue $(needed "$dir/$f")"
  done
  while [ -n "$(echo $queue)" ]; do
    set -- $queue; lib=$1; shift; queue="$*"
    case " $seen " in *" $lib "*) continue ;; esac
    seen="$seen $lib"
    case $lib in
      libc.so.*|libm.so.*|ld-linux*|libdl.so.*|libpthread.so.*|liblua5.1.so.*|libyajl.so.*|libkem*) continue ;;
    esac
    file=$(find "$dir/sysroot/lib" "$dir/sysroot/usr/lib" -name "$lib" 2>/dev/null | head -n 1)
    [ -n "$file" ] || { printf '%-22s not in the sysroot\n' "$lib"; continue; }
    stripped "$(readlink -f "$file")" "$lib"
    queue="$queue $(needed "$file")"
  done
  (cd "$dir" && ctest -L footprint -V 2>/dev/null) | sed -n 's/^[0-9]*: footprint: /peak bytes of /p'
}

known_targets="armhf mipsel s390x"
cross_build() {  # target
  target=$1
  # the sysroot's folders reach the compiler through flags and pkg-config, which split at blanks
  case $PWD in
    *[[:space:]]*) echo "build.sh cross: the checkout's path holds a blank, which the cross" \
      "build's compiler flags and pkg-config cannot carry: $PWD" >&2; exit 2 ;;
  esac
  scripts/bootstrap cross "$target"
  scripts/sysroot "$target" "build-$target/sysroot"
  host_kemlua=
  [ ! -x build/kemlua ] || host_kemlua=$PWD/build/kemlua  # to compare numbers with
  configure "build-$target" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$target.cmake" -DKEM_HOST_KEMLUA="$host_kemlua"
  run_ctest "build-$target" "$target under qemu" -LE footprint
  footprint "build-$target" "$target"
}

# build/, with the tests when GoogleTest is installed (build and tour do not
# ask for it).
build_main() {  # bootstrap set
  scripts/bootstrap "$1"
  tests=OFF
  if [ "$1" = test ] || dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q 'ok installed'; then
    tests=ON
  fi
  configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEM_BUILD_TESTS=$tests
}

case "${1:-}" in
  build)
    build_main build
    ;;
  tour)
    build_main tour
    build/kemlua examples/tour.lua
    ;;
  test)
    build_main test
    run_ctest build "plain build" -LE footprint
    echo "== figures"
    (cd build && ctest -R 'JsonTestSuite|Sweep|soak' -V 2>/dev/null |
      grep -E '^[0-9]+: (JSONTestSuite|sweep: [0-9]|soak:)' | sed 's/^[0-9]*: //')
    run_ctest build "valgrind memcheck" -T memcheck -LE 'install|package|build|footprint'
    configure build-asan -DCMAKE_BUILD_TYPE=Debug -DKEM_SANITIZE=ON
    run_ctest build-asan "AddressSanitizer and UndefinedBehaviorSanitizer" -LE footprint
    configure build-luajit -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEM_LUA=luajit
    run_ctest build-luajit "LuaJIT" -LE footprint
    CC=clang CXX=clang++ configure build-clang -DCMAKE_BUILD_TYPE=Release
    run_ctest build-clang "clang" -LE 'install|package|footprint'
    cross_build armhf
    cross_build mipsel
    [ "${KEM_CI_S390X:-1}" = 0 ] || cross_build s390x
    if command -v clang++ >/dev/null 2>&1; then
      echo "== fuzz targets: stored inputs and a fixed-seed exploration"
      CC=clang CXX=clang++ configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEM_FUZZ=ON -DKEM_BUILD_TESTS=OFF
      fuzz/run --replay build-fuzz
    fi
    echo "== all test runs passed"
    echo "total: $passed passed, 0 failed"
    ;;
  cross)
    case " $known_targets " in
      *" ${2:-none} "*) ;;
      *) echo "build.sh cross: unknown target '${2:-}'; known targets: $known_targets" >&2; exit 2 ;;
    esac
    cross_build "$2"
    echo "total: $passed passed, 0 failed"
    ;;
  coverage)
    scripts/bootstrap coverage
    configure build-cov -DCMAKE_BUILD_TYPE=Debug -DKEM_COVERAGE=ON
    find build-cov -name '*.gcda' -delete
    (cd build-cov && ctest -LE install -j "$jobs" >/dev/null || true)
    mkdir -p build-cov/coverage
    gcovr -r . --object-directory build-cov --filter 'low/' --filter 'platform/' \
      --exclude-unreachable-branches --exclude-throw-branches \
      --html-details build-cov/coverage/index.html --txt - --print-summary
    echo "== report: build-cov/coverage/index.html"
    ;;
  bench)
    scripts/bootstrap bench
    configure build-bench -DCMAKE_BUILD_TYPE=Release -DKEM_BUILD_BENCH=ON -DKEM_BUILD_TESTS=OFF
    for b in build-bench/bench/bench_${2:-*}; do
      [ -x "$b" ] || continue
      echo "== $b"
      "$b" --benchmark_min_time=0.2 --benchmark_color=false
    done
    if [ -z "${2:-}" ] || [ "$2" = fixed ]; then
      bench/fixed_costs.sh build-bench
    fi
    ;;
  fuzz)
    scripts/bootstrap fuzz
    CC=clang CXX=clang++ configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEM_FUZZ=ON -DKEM_BUILD_TESTS=OFF
    fuzz/run build-fuzz "${2:-60}"
    ;;
  dist)
    scripts/bootstrap dist
    version=$(sed -n 's/^project(libkemluautils VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    name=kemluautils-$version
    rockspec=$name-1.rockspec
    [ -f "$rockspec" ] || { echo "build.sh dist: no $rockspec for version $version" >&2; exit 1; }
    mkdir -p "${2:-dist}"
    out=$(cd "${2:-dist}" && pwd)
    # the tracked files as they are: a commit of the working tree when it has changes
    tree=$(git stash create)
    [ -z "$tree" ] || echo "== dist: the archive holds uncommitted changes of tracked files"
    git archive --format=tar.gz --prefix="$name/" -o "$out/$name.tar.gz" "${tree:-HEAD}"
    cp "$rockspec" "$out/"
    # the rockspec and the archive it names, as LuaRocks distributes sources
    (cd "$out" && rm -f "$name-1.src.rock" && zip -q "$name-1.src.rock" "$rockspec" "$name.tar.gz")
    echo "== dist: $out/$name.tar.gz $out/$name-1.src.rock"
    ;;
  mutants)
    shift
    scripts/bootstrap mutants
    exec python3 scripts/mutants "$@"
    ;;
  *)
    sed -n '2,/^set -eu/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 2
    ;;
esac
