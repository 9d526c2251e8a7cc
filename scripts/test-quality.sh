#!/usr/bin/env bash
# Quality gates, each a preset of its own (CMakePresets.json) building under
# build/<preset>:
#   1. asan: every test with AddressSanitizer and UndefinedBehaviorSanitizer
#      (the launcher, the stand-in runtime and the test programs);
#   2. tsan: every test with ThreadSanitizer, for the launcher's runner,
#      relay and console threads;
#   3. valgrind: the plain end-to-end cases with the launcher (linked
#      dynamically) under memcheck;
#   4. fuzz: a short libFuzzer run of the settings reader and of argument
#      translation with quoting (fuzz/);
#   5. tidy: the program's targets, native and for Windows, compiled with clang-tidy
#      (CMAKE_CXX_CLANG_TIDY) and the checks of .clang-tidy;
#   6. clang-format: every C++ source as .clang-format lays it out.
# All but valgrind with clang; installed below when missing (clang,
# clang-tidy, clang-format, libclang-rt-14-dev, llvm, valgrind).
#
#   FUZZ_SECONDS=30   how long each fuzz target runs
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh cmake make libgtest-dev javac=default-jdk-headless git \
  clang++=clang clang-tidy=clang-tidy clang-format=clang-format libclang-rt-14-dev \
  llvm-symbolizer=llvm valgrind tmux
fuzz_seconds=${FUZZ_SECONDS:-30}
started=$SECONDS

step() { echo "test-quality: $* ($((SECONDS - started)) s)"; }

# Readable stack traces in sanitizer reports.
if symbolizer=$(command -v llvm-symbolizer); then
  export ASAN_SYMBOLIZER_PATH=$symbolizer TSAN_SYMBOLIZER_PATH=$symbolizer
fi

step "1/6 AddressSanitizer + UndefinedBehaviorSanitizer"
# The test preset leaves out the test that leaves the launcher a single free
# descriptor. The sanitizer runtime needs descriptors of its own there
# (UndefinedBehaviorSanitizer checks that memory is readable by writing it to
# a pipe), finds none, and reports the std::ifstream in compose.cpp as an
# invalid object.
cmake --workflow --preset asan

step "2/6 ThreadSanitizer"
# This clang's ThreadSanitizer cannot map its shadow memory when the kernel
# randomises addresses with more than 28 bits (vm.mmap_rnd_bits); the
# workflow runs without address randomisation, which the tests and the
# programs they start inherit.
setarch "$(uname -m)" --addr-no-randomize cmake --workflow --preset tsan

step "3/6 valgrind"
cmake --workflow --preset valgrind

step "4/6 fuzzing, ${fuzz_seconds} s per target"
# The launcher's code carries the coverage instrumentation; new inputs go
# to a scratch corpus in the build folder, the seeds in fuzz/corpus stay.
cmake --workflow --preset fuzz
for target in settings command; do
  corpus=build/fuzz/corpus/$target
  log=build/fuzz/$target.log
  mkdir -p "$corpus"
  if ! "build/fuzz/fuzz/${target}_fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/ "$corpus" "fuzz/corpus/$target" \
    >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "test-quality: ${target}_fuzzer found a failing input (build/fuzz/crash-*)" >&2
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log"
done

step "5/6 clang-tidy"
# The program's targets as each platform compiles them: the native build for
# launcher/linux/, the MinGW-w64 build for launcher/windows/, the common
# files in both; any finding fails the compile. Fresh builds, so that every
# source is checked again, also those that did not change.
for preset in tidy tidy-windows; do
  if ! cmake --workflow --preset "$preset" --fresh >"build/$preset.log" 2>&1; then
    grep -vE '^[0-9]+ warnings? generated\.$' "build/$preset.log" >&2
    echo "test-quality: clang-tidy ($preset) found problems" >&2
    exit 1
  fi
  (cd "build/$preset/launcher/CMakeFiles" && find . \( -name '*.cpp.o' -o -name '*.cpp.obj' \) -printf '%P\n') |
    sed -E "s|^[^/]+\.dir/|  $preset: launcher/|; s/\.o(bj)?$//" | sort
done

step "6/6 clang-format"
mapfile -t sources < <(git ls-files -- '*.cpp' '*.h')
if ! clang-format --dry-run --Werror "${sources[@]}"; then
  echo "test-quality: run clang-format -i on the files above" >&2
  exit 1
fi
echo "  ${#sources[@]} files laid out as .clang-format says"

step "all quality gates passed"
