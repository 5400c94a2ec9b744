#!/usr/bin/env bash
# Checks the include layers, then builds and tests the project three times: plain (g++),
# AddressSanitizer+UndefinedBehaviorSanitizer (clang, so that both compilers stay clean) and
# ThreadSanitizer (g++), then runs the fuzz targets for a bounded time. Exits non-zero on the
# first failure. Usage: scripts/test.sh [plain|asan|tsan|fuzz]...  (default: all)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(nproc)"

# What a fresh machine lacks: the packages of scripts/packages.txt (shared with demo.sh).
source "$root/scripts/packages.sh"
install_packages all

# A build folder configured with another compiler starts afresh (CMake cannot switch in place).
use_compiler() {
  local dir="$1" cxx="$2"
  local cache="$dir/CMakeCache.txt"
  [[ -f $cache ]] || return 0
  local cached
  cached="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")"
  if [[ -n $cached && "$(readlink -f "$cached")" != "$(readlink -f "$(command -v "$cxx")")" ]]; then
    echo "=== $dir was configured with $cached: configuring afresh with $cxx ==="
    rm -rf "$cache" "$dir/CMakeFiles"
  fi
}

build_and_test() {
  local name="$1" sanitizer="$2" cc="$3" cxx="$4"
  local dir="$root/build-ci-$name"
  echo "=== $name build ($cxx) ==="
  use_compiler "$dir" "$cxx"
  # Qt is not built for ThreadSanitizer: the TSan build leaves out the server program.
  CC="$cc" CXX="$cxx" cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDRAL_SANITIZER="$sanitizer" -DDRAL_BUILD_BENCH=$([[ -z $sanitizer ]] && echo ON || echo OFF) \
    -DDRAL_BUILD_SERVER=$([[ $sanitizer == thread ]] && echo OFF || echo ON)
  cmake --build "$dir" -j "$jobs"
  echo "=== $name tests ==="
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 120)
}

run_fuzz() {
  local dir="$root/build-ci-fuzz"
  echo "=== fuzz build ==="
  use_compiler "$dir" clang++
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDRAL_SANITIZER=address -DDRAL_BUILD_TESTS=OFF -DDRAL_BUILD_BENCH=OFF -DDRAL_BUILD_FUZZ=ON
  cmake --build "$dir" -j "$jobs" --target dral_fuzz_targets
  shopt -s nullglob
  for target in "$dir"/fuzz/fuzz_*; do
    [[ -x $target ]] || continue
    echo "=== fuzzing $(basename "$target") ==="
    local corpus="$dir/corpus/$(basename "$target")"
    mkdir -p "$corpus"
    "$target" -max_total_time="${DRAL_FUZZ_SECONDS:-60}" -print_final_stats=1 "$corpus" \
      >"$dir/$(basename "$target").log" 2>&1 || { tail -n 60 "$dir/$(basename "$target").log"; return 1; }
    tail -n 12 "$dir/$(basename "$target").log"
  done
}

steps=("$@")
((${#steps[@]})) || steps=(fuzz asan tsan plain)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
"$root/scripts/check_layers.sh"
"$root/scripts/check_packages.sh"
for step in "${steps[@]}"; do
  case "$step" in
    plain) build_and_test plain "" gcc g++ ;;
    asan) build_and_test asan address clang clang++ ;;
    tsan) build_and_test tsan thread gcc g++ ;;
    fuzz) run_fuzz ;;
    *) echo "unknown step $step" >&2; exit 2 ;;
  esac
done
