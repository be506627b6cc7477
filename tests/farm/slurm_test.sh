#!/usr/bin/env bash
# End to end on a real Slurm: starts a one-node cluster on this machine (munge,
# slurmctld, slurmd, listening on 127.0.0.1 only), submits the repository's
# array-job script over 24 frames in 4 tasks, and checks the frames against one
# render of the whole range; then loses some frames, leaves a killed run's
# temporary, resubmits, and checks that only the missing frames were rendered.
# Stops every daemon it started. Needs root and Debian's slurm-wlm and munge.
#   tests/farm/slurm_test.sh PATH/TO/pluvane
set -euo pipefail

PLUVANE=$(realpath "${1:?usage: $0 PATH/TO/pluvane}")
SCRIPT=$(cd "$(dirname "$0")/../.." && pwd)/farm/slurm-render.sh
[[ $(id -u) -eq 0 ]] || { echo "slurm_test: needs root to run slurmd; skipped" >&2; exit 77; }
for p in munged slurmctld slurmd sbatch scontrol sinfo; do
  command -v $p >/dev/null || { echo "slurm_test: $p is missing (apt-get install slurm-wlm munge)" >&2; exit 1; }
done

# Every program that may wait on something (a daemon, the cluster, a render)
# runs under a time limit (limited); the daemons leave its process group when
# they detach, and cleanup stops them.
. "$(dirname "$0")/../support/limits.sh"

T=$(mktemp -d /tmp/pluvane-slurm-XXXXXX)
HOST=$(hostname -s)
STARTED_MUNGE=""
export SLURM_CONF=$T/slurm.conf
say() { echo "slurm_test: $*"; }

cleanup() {
  set +e
  if [[ -f $T/slurmctld.pid || -f $T/slurmd.pid ]]; then
    limited 30 scontrol shutdown >/dev/null 2>&1
    for _ in $(seq 50); do pgrep -F "$T/slurmctld.pid" || pgrep -F "$T/slurmd.pid" || break; sleep 0.2; done >/dev/null 2>&1
    pkill -F "$T/slurmctld.pid"; pkill -F "$T/slurmd.pid"
  fi 2>/dev/null
  if [[ -n $STARTED_MUNGE ]]; then
    kill "$STARTED_MUNGE" 2>/dev/null
    for _ in $(seq 25); do kill -0 "$STARTED_MUNGE" 2>/dev/null || break; sleep 0.2; done
  fi
  if [[ ${KEEP:-} ]]; then say "kept $T"; else rm -rf "$T"; fi
}
trap cleanup EXIT
fail() {
  say "FAILED: $*"
  for log in "$T"/slurmctld.log "$T"/slurmd.log "$T"/logs/*; do [[ -f $log ]] && { echo "--- $log"; tail -20 "$log"; }; done
  exit 1
}

# munge: the key comes with the package; the daemon runs as the munge user.
if ! pgrep -x munged >/dev/null; then
  [[ -f /etc/munge/munge.key ]] || { limited 60 mungekey --create 2>/dev/null || limited 60 /usr/sbin/create-munge-key -f; }
  install -d -o munge -g munge -m 0755 /run/munge
  limited 60 runuser -u munge -- /usr/sbin/munged
  STARTED_MUNGE=$(cat /run/munge/munged.pid 2>/dev/null || pgrep -x -u munge munged)
fi

mkdir -p "$T/state" "$T/spool" "$T/logs" "$T/farm" "$T/whole"
cat >"$SLURM_CONF" <<CONF
ClusterName=pluvanetest
SlurmctldHost=$HOST(127.0.0.1)
SlurmctldPort=16817
SlurmdPort=16818
CommunicationParameters=NoInAddrAny,NoCtldInAddrAny
StateSaveLocation=$T/state
SlurmdSpoolDir=$T/spool
SlurmctldPidFile=$T/slurmctld.pid
SlurmdPidFile=$T/slurmd.pid
SlurmctldLogFile=$T/slurmctld.log
SlurmdLogFile=$T/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
NodeName=$HOST NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN
PartitionName=test Nodes=$HOST Default=YES MaxTime=INFINITE State=UP
CONF
limited 60 slurmctld -f "$SLURM_CONF"
limited 60 slurmd -f "$SLURM_CONF"
for _ in $(seq 100); do
  limited 30 sinfo -h -o %t 2>/dev/null | grep -qx idle && break
  sleep 0.2
done
limited 30 sinfo -h -o %t 2>/dev/null | grep -qx idle || fail "the node did not come up idle"
# Both daemons listen on the loopback address only.
if command -v ss >/dev/null; then
  if ss -ltnH | awk '{print $4}' | grep -E ':(16817|16818)$' | grep -qv '^127\.0\.0\.1:'; then
    fail "a daemon listens beyond 127.0.0.1: $(ss -ltnH | grep -E ':1681[78]')"
  fi
fi

cd "$T"
# A layer for the shot: the demo's own image, small so the test is quick.
limited 120 "$PLUVANE" demo -o demo --frames 0-0 -q
INPUT=$T/demo/source.png
RENDER=(--frames 0-23 --fps 24 --downsample 4 --set "Drip Rate=2" --threads 1)

limited 300 "$PLUVANE" render "$INPUT" -o whole/r.####.png "${RENDER[@]}" -q
submit() {
  PLUVANE=$PLUVANE limited 300 sbatch --wait --array=0-3 --output="$T/logs/%A_%a.log" --chdir="$T" "$SCRIPT" \
    "$INPUT" -o "$T/farm/r.####.png" "${RENDER[@]}" >/dev/null || fail "the array job failed"
}
compare() {
  for f in whole/r.*.png; do
    cmp -s "$f" "farm/$(basename "$f")" || fail "farm/$(basename "$f") differs from the single render"
  done
  [[ $(ls whole | wc -l) -eq 24 && $(ls farm | wc -l) -eq 24 ]] || fail "expected 24 frames each: $(ls -A whole farm)"
}

submit
compare
[[ $(ls logs | wc -l) -eq 4 ]] || fail "expected one log per task"

# A lost node: three frames gone, and a temporary a killed writer left behind.
rm farm/r.0003.png farm/r.0010.png farm/r.0017.png
echo "half a frame" > "farm/.pluvane-$HOST-999999999-r.0010.png.part"
declare -A before
for f in farm/r.*.png; do before[$f]=$(stat -c '%i %Y.%y' "$f"); done
submit
compare
for f in "${!before[@]}"; do
  [[ $(stat -c '%i %Y.%y' "$f") == "${before[$f]}" ]] || fail "$f was rendered again although it was complete"
done
[[ -z $(ls -A farm | grep '\.part$') ]] || fail "a temporary was left: $(ls -A farm)"
say "passed: resubmission rendered only frames 3, 10 and 17; all 24 frames identical"
