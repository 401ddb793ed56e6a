#!/usr/bin/env bash
# One entry point for a fresh Debian machine: installs what is missing, builds, then
#   main   runs the serial terminal quellin-term on its built-in virtual device (no hardware)
#   test   runs every test through ctest
#   asan | tsan   runs every test under the sanitizers
#   bench  runs the benchmarks
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev socat python3-serial
          libserialport-dev libboost-dev pkg-config
          tmux gnuplot-nox procps)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

what="${1:-main}"
case "$what" in
  main)
    # quellin-term on its built-in virtual device (or on a port given after "main").
    cmake --preset default >/dev/null
    cmake --build --preset default --target quellin-term
    if [ -t 0 ] || [ $# -gt 1 ]; then
      exec build/default/apps/term/quellin-term "${@:2}"
    fi
    # No terminal to type in (CI, a pipe): show it working in pipe mode instead.
    echo "quellin-term, pipe mode: two lines through the built-in echo device and back:"
    printf 'Hello from quellin-term\nevery byte comes back\n' |
      build/default/apps/term/quellin-term --quiet 200
    ;;
  test) exec cmake --workflow --preset default ;;
  asan | tsan) exec cmake --workflow --preset "$what" ;;
  bench)
    cmake --preset default >/dev/null
    cmake --build --preset default
    exec bash bench/run.sh
    ;;
  *) echo "usage: $0 main|test|asan|tsan|bench" >&2; exit 2 ;;
esac
