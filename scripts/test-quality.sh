#!/usr/bin/env bash
# Quality gates, each in a build of its own under build/:
#   1. every test with AddressSanitizer and UndefinedBehaviorSanitizer
#      (the launcher, the stand-in runtime and the test programs);
#   2. every test with ThreadSanitizer, for the launcher's runner and signal
#      watcher threads;
#   3. a short libFuzzer run of the settings reader and of argument
#      translation with quoting (fuzz/);
#   4. clang-tidy on launcher/ with the checks of .clang-tidy.
# All with clang; run-tests.sh installs it (clang, clang-tidy,
# libclang-rt-14-dev, llvm).
#
#   FUZZ_SECONDS=30   how long each fuzz target runs
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-30}
started=$SECONDS

step() { echo "test-quality: $* ($((SECONDS - started)) s)"; }

configure() {
  local build=$1
  shift
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DLAUNCHER_WERROR=ON "$@" >/dev/null
}

# Readable stack traces in sanitizer reports.
if symbolizer=$(command -v llvm-symbolizer); then
  export ASAN_SYMBOLIZER_PATH=$symbolizer TSAN_SYMBOLIZER_PATH=$symbolizer
fi

step "1/4 AddressSanitizer + UndefinedBehaviorSanitizer"
configure build/ci-asan -DLAUNCHER_SANITIZE=address,undefined
cmake --build build/ci-asan -j "$jobs"
# Left out: the test that leaves the launcher a single free descriptor. The
# sanitizer runtime needs descriptors of its own there (UndefinedBehavior-
# Sanitizer checks that memory is readable by writing it to a pipe), finds
# none, and reports the std::ifstream in compose.cpp as an invalid object.
ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/ci-asan --output-on-failure -j "$jobs" \
  -E '^Launcher\.OwnFailureIsReportedWithTheSystemsReason$'

step "2/4 ThreadSanitizer"
configure build/ci-tsan -DLAUNCHER_SANITIZE=thread
cmake --build build/ci-tsan -j "$jobs"
# This clang's ThreadSanitizer cannot map its shadow memory when the kernel
# randomises addresses with more than 28 bits (vm.mmap_rnd_bits); the tests
# run without address randomisation, which the programs they start inherit.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  setarch "$(uname -m)" --addr-no-randomize \
  ctest --test-dir build/ci-tsan --output-on-failure -j "$jobs"

step "3/4 fuzzing, ${fuzz_seconds} s per target"
# The launcher's code carries the coverage instrumentation; new inputs go
# to a scratch corpus in the build folder, the seeds in fuzz/corpus stay.
configure build/ci-fuzz -DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_BUILD_FUZZERS=ON \
  -DLAUNCHER_SANITIZE=fuzzer-no-link,address,undefined
cmake --build build/ci-fuzz -j "$jobs" --target settings_fuzzer command_fuzzer
for target in settings command; do
  corpus=build/ci-fuzz/corpus/$target
  log=build/ci-fuzz/$target.log
  mkdir -p "$corpus"
  if ! "build/ci-fuzz/fuzz/${target}_fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix=build/ci-fuzz/ "$corpus" "fuzz/corpus/$target" \
    >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "test-quality: ${target}_fuzzer found a failing input (build/ci-fuzz/crash-*)" >&2
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log"
done

step "4/4 clang-tidy"
# The compilation database of a native build; only what it compiles is
# checked, so that platform files of other systems are left out.
configure build/ci-tidy -DLAUNCHER_BUILD_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
files=$(sed -n 's/^ *"file": "\(.*\/launcher\/[^/]*\.cpp\)",\{0,1\}$/\1/p' \
  build/ci-tidy/compile_commands.json | sort -u)
echo "$files" | sed 's/^/  /'
if ! echo "$files" | xargs -P "$jobs" -n 1 clang-tidy -p build/ci-tidy --quiet \
  >build/ci-tidy/clang-tidy.log 2>&1; then
  grep -vE '^[0-9]+ warnings? generated\.$' build/ci-tidy/clang-tidy.log >&2
  echo "test-quality: clang-tidy found problems" >&2
  exit 1
fi

step "all quality gates passed"
