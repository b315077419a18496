#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, writes fresh seed files, and runs every target for a fixed
# time from them, each target on a core of its own. Usage: tools/fuzz.sh [seconds per target, default 20]
# Exits non-zero when a target crashes; the input that did it is kept in
# build/fuzz/run/crashes/<target>/ and the target's log in build/fuzz/run/<target>.log.
set -euo pipefail
seconds="${1:-20}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

tools/deps.sh

dir=build/fuzz
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVEL_BUILD_FUZZ=ON -DCORVEL_BUILD_TESTS=OFF -DCORVEL_WARNINGS_AS_ERRORS=ON "${launcher[@]}" >/dev/null

# target:seed kind[:longest input in bytes]. Audio inputs stay small: a few kilobytes hold
# every header and a few frames of each format, and decoding more per input only slows the
# run down.
targets=(
  corvel_fuzz_audio_reader:audio:4096
  corvel_fuzz_audio_ffmpeg:audio:4096
  corvel_fuzz_waveform_cache:cache
  corvel_fuzz_keymap_document:keymap
  corvel_fuzz_install_manifest:manifest
)
cmake --build "$dir" -j "${CORVEL_FUZZ_BUILD_JOBS:-$(nproc)}" --target corvel_fuzz_seeds "${targets[@]%%:*}"

run="$dir/run"
rm -rf "$run"
mkdir -p "$run"
# A page the process has not touched yet costs tens of microseconds on a busy machine, so
# the sanitizer keeps what it has: clear_shadow_mmap_threshold clears the shadow of a large
# block in place rather than unmapping it, allocator_release_to_os_interval_ms=-1 (and
# libFuzzer's -purge_allocator_interval=-1 below) keep freed memory mapped, and a quarantine
# of 64 MB (256 MB by default) still holds back every block freed during the last several
# inputs (one frees about half a megabyte) for the use-after-free checks, in fewer pages.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:clear_shadow_mmap_threshold=16777216:allocator_release_to_os_interval_ms=-1:quarantine_size_mb=64
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

"$dir/bin/corvel_fuzz_seeds" "$run/seeds"
# Compressed audio and a stream that changes its channel count partway.
encode() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
audio="$run/seeds/audio"
encode -i "$audio/stereo16.wav" -c:a libmp3lame -b:a 64k "$audio/stereo.mp3"
encode -i "$audio/stereo16.wav" -c:a aac -b:a 64k "$audio/stereo.m4a"
encode -i "$audio/mono-float.wav" -c:a aac -b:a 32k -f adts "$run/mono.aac"
encode -i "$audio/stereo16.wav" -c:a aac -b:a 64k -f adts "$run/stereo.aac"
cat "$run/mono.aac" "$run/stereo.aac" > "$audio/mono-then-stereo.aac"

# Every target has a core of its own: all at once where there are enough cores, otherwise in
# waves of as many as there are cores.
wave="$(nproc)"
failed=()
for ((first = 0; first < ${#targets[@]}; first += wave)); do
  pids=()
  for entry in "${targets[@]:first:wave}"; do
    IFS=: read -r target kind longest <<<"$entry"
    mkdir -p "$run/corpus/$target" "$run/crashes/$target"
    cp "$run/seeds/$kind"/* "$run/corpus/$target/"
    # -detect_leaks=0: no leak check after every input that allocates more than it frees
    # (the decoders' lazily made tables make that most inputs, and each check costs a
    # tenth of a second); the check at exit still covers the whole run.
    "$dir/bin/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2560 -print_final_stats=1 -detect_leaks=0 \
      -purge_allocator_interval=-1 \
      -max_len="${longest:-0}" \
      -artifact_prefix="$run/crashes/$target/" "$run/corpus/$target" >"$run/$target.log" 2>&1 &
    pids+=("$!")
  done
  for i in "${!pids[@]}"; do
    target="${targets[$((first + i))]%%:*}"
    if wait "${pids[$i]}"; then
      inputs="$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$run/$target.log" | grep -o '[0-9]*$')"
      echo "$target: $inputs inputs ($((inputs / seconds)) per second), no crash"
    else
      echo "$target: CRASH, see $run/$target.log and $run/crashes/$target/"
      failed+=("$target")
    fi
  done
done
if [ ${#failed[@]} -ne 0 ]; then
  exit 1
fi
echo "== every fuzz target ran ${seconds} s without a crash"
