# Sourced by the by-hand benchmark scripts (after setting $root): which updater architecture they measure, with
# its build trees, and a first line that names it, so every figure says where it was measured.
# UPD_BENCH_ARCH=i686 (32-bit Wine; the default where the kernel runs 32-bit code) or x86_64 (64-bit Wine).
if [ -z "${UPD_BENCH_ARCH:-}" ]; then
  if "$root/scripts/wine-usable" i686 2>/dev/null; then UPD_BENCH_ARCH=i686; else UPD_BENCH_ARCH=x86_64; fi
fi
case "$UPD_BENCH_ARCH" in
  i686) bench_preset=windows bench_suffix="" bench_wine="32-bit Wine" ;;
  x86_64) bench_preset=windows-x64 bench_suffix=-x64 bench_wine="64-bit Wine" ;;
  *) echo "UPD_BENCH_ARCH must be i686 or x86_64" >&2; exit 2 ;;
esac
export UPD_BENCH_ARCH
win_build="$root/build/$bench_preset"          # the tests' build: UPDATE.exe, fa2.exe and a Wine prefix
win_bench="$root/build/win-bench$bench_suffix"  # the same preset with UPD_BENCH=ON
win_prefix_c="$win_build/wineprefix-$UPD_BENCH_ARCH/drive_c"
echo "architecture: $UPD_BENCH_ARCH (the $bench_preset preset's updater under $bench_wine)"

# The Linux pid of the Wine process running a program: of the processes whose command line matches $1 (the wrappers
# that start it do too), the one with the largest resident set; when $2 is given, those whose command line also
# matches $2 are left out.
wine_pid() {
  local best="" most=0 pid rss
  for pid in $(pgrep -f "$1" || true); do
    if [ -n "${2:-}" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "$2"; then
      continue
    fi
    rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
    [ "${rss:-0}" -gt "$most" ] && { most=$rss; best=$pid; }
  done
  echo "$best"
}
