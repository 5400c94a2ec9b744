#!/usr/bin/env bash
# Shows the system at work on one machine, without an adapter: builds the programs, plugs in a
# simulated USB adapter, and runs the example application, whose library starts DRALServer.
# Everything runs in a private device directory, registry and object namespace, so a real
# server on this machine is neither used nor disturbed, and everything is stopped at the end.
#
# Usage: scripts/demo.sh [seconds the example listens, default 4]
# Environment: DRAL_DEMO_BUILD_DIR (default build-demo), DRAL_DEMO_KEEP=1 keeps the log folder.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${DRAL_DEMO_BUILD_DIR:-$root/build-demo}"
listen="${1:-4}"
server_exit_s=10  # the server ends ~3 s after the last application; allow for a slow machine

# --- what a fresh Debian 12 machine lacks -----------------------------------------------------
source "$root/scripts/packages.sh"
install_packages common

# --- build (plain) only what the demo runs -----------------------------------------------------
echo "=== building in $build ==="
mkdir -p "$build"
build_log="$build/demo-build.log"
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAL_BUILD_BENCH=OFF &&
       cmake --build "$build" -j "$(nproc)" \
         --target DRALServer DRAL dral_example dral_adapter_sim_device; } >"$build_log" 2>&1; then
  tail -n 60 "$build_log"
  echo "the build failed (log: $build_log)" >&2
  exit 1
fi
echo "built DRALServer, libDRAL.so, dral_example and dral_adapter_sim_device"

# --- a private world -------------------------------------------------------------------------
work="$(mktemp -d "${TMPDIR:-/tmp}/dral-demo-XXXXXX")"
export DRAL_IPC_NAMESPACE="demo$$_"
export DRAL_REGISTRY_DIR="$work/registry"
export DRAL_DEVICE_DIR="$work/devices"
mkdir -p "$DRAL_REGISTRY_DIR" "$DRAL_DEVICE_DIR"
adapter_log="$work/adapter.log"
adapter_pid=""

# The processes of this demo: those that carry its private namespace in their environment.
# Read with builtins only, so the scan never finds a helper process of its own.
demo_processes() {
  local p entry
  for p in /proc/[0-9]*; do
    [[ ${p#/proc/} == "$$" ]] && continue
    {
      while IFS= read -r -d '' entry; do
        if [[ $entry == "DRAL_IPC_NAMESPACE=$DRAL_IPC_NAMESPACE" ]]; then
          echo "${p#/proc/}"
          break
        fi
      done <"$p/environ"
    } 2>/dev/null || true
  done
}

# The demo's processes but the simulated adapter: the server, while it runs.
server_processes() {
  local pid
  for pid in $(demo_processes); do
    [[ $pid == "$adapter_pid" ]] || echo "$pid"
  done
}

cleanup() {
  local status=$?
  if [[ -n $adapter_pid ]] && kill -0 "$adapter_pid" 2>/dev/null; then
    kill -TERM "$adapter_pid" 2>/dev/null || true
    wait "$adapter_pid" 2>/dev/null || true
  fi
  local left
  left="$(demo_processes)"
  if [[ -n $left ]]; then
    echo "stopping leftover processes: $(echo $left)"
    kill -TERM $left 2>/dev/null || true
    sleep 1
    left="$(demo_processes)"
    [[ -z $left ]] || kill -KILL $left 2>/dev/null || true
  fi
  rm -f /dev/shm/"$DRAL_IPC_NAMESPACE"* 2>/dev/null || true
  if [[ ${DRAL_DEMO_KEEP:-0} == 1 ]]; then echo "logs kept in $work"; else rm -rf "$work"; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the simulated adapter ---------------------------------------------------------------------
echo
echo "=== plugging in a simulated USB adapter (version 3.7) that sends CAN, J1939 and J1708 ==="
"$build/bin/dral_adapter_sim_device" --usb --name demo-adapter --version 0.0.3.7.0.0 \
  --emit-can-rate 2 --emit-j1939-rate 2 --emit-j1708-rate 1 --verbose >"$adapter_log" 2>&1 &
adapter_pid=$!
for _ in $(seq 50); do
  grep -q '^ready ' "$adapter_log" && break
  kill -0 "$adapter_pid" 2>/dev/null || { cat "$adapter_log"; exit 1; }
  sleep 0.1
done
grep '^ready ' "$adapter_log" || { echo "the simulated adapter did not come up" >&2; exit 1; }

# --- the application; its library starts the server (found on PATH) ----------------------------
echo
echo "=== running the example application; libDRAL.so starts DRALServer ==="
example_status=0
PATH="$build/bin:$PATH" "$build/examples/dral_example" "$listen" || example_status=$?

# --- the server ends by itself a few seconds after the last application -------------------------
echo
echo "=== waiting for DRALServer to end by itself ==="
deadline=$((SECONDS + server_exit_s))
while [[ -n "$(server_processes)" ]] && ((SECONDS < deadline)); do
  sleep 0.2
done
if [[ -n "$(server_processes)" ]]; then
  echo "DRALServer is still running after $server_exit_s s; it will be stopped"
else
  echo "DRALServer has ended"
fi

echo
echo "=== what the simulated adapter saw ==="
kill -TERM "$adapter_pid"
wait "$adapter_pid" || true
adapter_pid=""
cat "$adapter_log"
exit "$example_status"
