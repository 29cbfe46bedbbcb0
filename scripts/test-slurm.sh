#!/usr/bin/env bash
# Long sequences on a real Slurm: starts Debian's munged, slurmctld and slurmd
# on this machine as a one-node cluster of its own (configuration, state, logs
# and the munge key and socket in a private temporary directory; two free
# ports, controller and node addressed on the loopback; no system-wide Slurm
# or munge configuration used or changed), renders a sequence as a job array
# through scripts/slurm/galaxy-farm, and checks it against one galaxy-render
# process:
#   1. 24 frames in 4 tasks: every frame byte-identical, the manifest
#      complete, the video of 24 frames;
#   2. 24 frames in 2 tasks, one task cancelled part way: the check reports
#      exactly the frames missing and writes no manifest; submitted again, only
#      that task runs, only the holes are rendered, and the result is whole.
# Everything it started is stopped and removed on exit, whatever happens.
# Needs root (slurmd) and build/hosts/galaxy-render (GALAXY_RENDER overrides).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
RENDER=${GALAXY_RENDER:-$ROOT/build/hosts/galaxy-render}
FARM=$ROOT/scripts/slurm/galaxy-farm
SEQ=(-m galaxy -q 0 -s 320x180)
FRAMES=24

if [ "$(id -u)" -ne 0 ]; then
  echo "test-slurm: SKIPPED: slurmd runs jobs as other users only when started as root"
  exit 0
fi
bash scripts/install-deps.sh
[ -x "$RENDER" ] || { echo "test-slurm: $RENDER not built" >&2; exit 1; }
# The job script runs it by this name (sbatch passes the environment on).
export GALAXY_RENDER=$RENDER
START=$SECONDS

WORK=$(mktemp -d "${TMPDIR:-/tmp}/galaxy-slurm-XXXXXX")
# munged wants every directory above its socket open to all; the key stays 0400.
chmod 755 "$WORK"
DAEMONS=() # pids, in start order
FAILED=1
# cluster_jobs: the private cluster's job ids, if its controller is up.
cluster_jobs() {
  [ ${#DAEMONS[@]} -ge 3 ] && kill -0 "${DAEMONS[1]}" 2>/dev/null &&
    timeout 10 squeue -h -o %A 2>/dev/null
}
cleanup() {
  trap '' INT TERM HUP
  # Jobs first, while slurmd can still stop their processes.
  local left
  left=$(cluster_jobs) || true
  if [ -n "$left" ]; then
    timeout 10 scancel --full $left 2>/dev/null || true
    for _ in $(seq 50); do [ -z "$(cluster_jobs)" ] && break; sleep 0.2; done
  fi
  if [ "$FAILED" = 1 ] && [ -d "$WORK/log" ]; then
    for f in "$WORK"/log/*.log "$WORK"/run*/log/* "$WORK"/run1/frames/log/*; do
      [ -f "$f" ] && { echo "--- $f"; tail -n 20 "$f"; }
    done >&2
  fi
  for ((i = ${#DAEMONS[@]} - 1; i >= 0; i--)); do
    kill "${DAEMONS[i]}" 2>/dev/null || true
    wait "${DAEMONS[i]}" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
fail() { echo "test-slurm: FAILED: $*" >&2; exit 1; }

# ---- the cluster
mkdir -p "$WORK/state" "$WORK/spool" "$WORK/log"
head -c 1024 /dev/urandom >"$WORK/munge.key"
chmod 400 "$WORK/munge.key"
# start LOG COMMAND...: a daemon in the foreground of a process group of its
# own (set -m), so that an interrupt of this script reaches it only through
# cleanup, after its jobs.
start() {
  set -m
  "${@:2}" >>"$1" 2>&1 &
  DAEMONS+=($!)
  set +m
}
start "$WORK/log/munged.log" munged --foreground --force --key-file="$WORK/munge.key" \
  --socket="$WORK/munge.sock" --pid-file="$WORK/munged.pid" --seed-file="$WORK/munged.seed"
for _ in $(seq 50); do [ -S "$WORK/munge.sock" ] && break; sleep 0.1; done
munge --socket="$WORK/munge.sock" -n | unmunge --socket="$WORK/munge.sock" >/dev/null ||
  fail "munged does not answer"

read -r CTLD_PORT SLURMD_PORT < <(python3 -c '
import socket
socks = [socket.socket() for _ in range(2)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in socks))')
# The node as slurmd sees it (CPUs, sockets, memory), reached on the loopback.
NODE=$(slurmd -C | head -n 1)
cat >"$WORK/slurm.conf" <<CONF
ClusterName=galaxytest
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmctldPort=$CTLD_PORT
SlurmdPort=$SLURMD_PORT
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$WORK/munge.sock
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$WORK/state
SlurmdSpoolDir=$WORK/spool
SlurmctldPidFile=$WORK/slurmctld.pid
SlurmdPidFile=$WORK/slurmd.pid
SlurmctldLogFile=$WORK/log/slurmctld.log
SlurmdLogFile=$WORK/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
$NODE NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=galaxy Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$WORK/slurm.conf
start "$WORK/log/slurmctld.out" slurmctld -D -c -f "$SLURM_CONF"
start "$WORK/log/slurmd.out" slurmd -D -f "$SLURM_CONF"
for _ in $(seq 150); do [ "$(sinfo -h -o %T 2>/dev/null)" = idle ] && break; sleep 0.2; done
[ "$(sinfo -h -o %T 2>/dev/null)" = idle ] || fail "the node did not come up: $(sinfo 2>&1)"
echo "test-slurm: one-node cluster up ($(sinfo -h -o '%N %c CPUs %m MB') ports $CTLD_PORT, $SLURMD_PORT)"

# ---- the sequence as one process renders it
mkdir "$WORK/ref"
"$RENDER" "${SEQ[@]}" -n "$FRAMES" -d "$WORK/ref" 2>/dev/null
REF_MANIFEST=$(cd "$WORK/ref" && sha256sum $(seq -f 'frame_%04g.png' 0 $((FRAMES - 1))))

# same_as_ref DIR: every frame byte-identical to the reference, the manifest
# the reference's hashes line by line.
same_as_ref() {
  for i in $(seq -f '%04g' 0 $((FRAMES - 1))); do
    cmp -s "$1/frame_$i.png" "$WORK/ref/frame_$i.png" || fail "$1/frame_$i.png differs from one process's"
  done
  [ -f "$1/manifest.sha256" ] || fail "no manifest in $1"
  [ "$(cat "$1/manifest.sha256")" = "$REF_MANIFEST" ] || fail "$1/manifest.sha256 is not the sequence's"
}

# doc_block NAME: the block marked <!-- run: NAME --> in docs/sequences.md.
doc_block() {
  python3 - "$ROOT/docs/sequences.md" "$1" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
blocks = dict(re.findall(r"<!-- run: (\S+) -->\n```\w*\n(.*?)```", text, re.S))
sys.stdout.write(blocks[sys.argv[2]])
PY
}

# ---- 1: the documented commands, as a user pastes them: 24 frames in 4
# tasks joined into a video, then the check and the manifest by hand.
mkdir "$WORK/run1"
ln -s "$ROOT/scripts" "$WORK/run1/scripts"
(cd "$WORK/run1" && bash -euo pipefail -c "$(doc_block slurm)") | tee "$WORK/run1.log"
grep -q "tasks done 4/4, frames on disk $FRAMES/$FRAMES" "$WORK/run1.log" || fail "no final progress line"
same_as_ref "$WORK/run1/frames"
n=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
      -of csv=p=0 "$WORK/run1/galaxy.mp4")
[ "$n" = "$FRAMES" ] || fail "the video has $n frames"
(cd "$WORK/run1" && bash -euo pipefail -c "$(doc_block slurm-check)") >"$WORK/check.log" ||
  fail "the documented check failed: $(cat "$WORK/check.log")"
grep -q "all $FRAMES frames present" "$WORK/check.log" || fail "the check did not find $FRAMES frames"
echo "test-slurm: 1. $FRAMES frames in 4 tasks identical to one process's, manifest and video complete"

# ---- 2: one of 2 tasks cancelled part way, then submitted again
"$FARM" submit -d "$WORK/run2" -n "$FRAMES" -p 12 --poll 0.5 "${SEQ[@]}" >"$WORK/run2.log" 2>&1 &
farm=$!
job=""
for _ in $(seq 600); do
  job=$(sed -n 's/^galaxy-farm: job \([0-9]*\):.*/\1/p' "$WORK/run2.log" | head -n 1)
  [ -n "$job" ] && [ -e "$WORK/run2/frame_0013.png" ] && break
  sleep 0.1
done
[ -e "$WORK/run2/frame_0013.png" ] || fail "task 1 wrote no frame: $(cat "$WORK/run2.log")"
scancel "${job}_1"
status=0
wait "$farm" || status=$?
cat "$WORK/run2.log"
[ "$status" = 1 ] || fail "galaxy-farm exited $status with a task cancelled"
[ ! -e "$WORK/run2/manifest.sha256" ] || fail "a manifest for an incomplete sequence"
missing=()
for i in $(seq 0 $((FRAMES - 1))); do
  [ -e "$(printf '%s/frame_%04d.png' "$WORK/run2" "$i")" ] || missing+=("$i")
done
[ ${#missing[@]} -gt 0 ] || fail "task 1 finished before it was cancelled"
[ "${missing[0]}" -ge 14 ] || fail "frames missing outside the cancelled task: ${missing[*]}"
reported=$(sed -n "s/^galaxy-farm: \([0-9]*\) of $FRAMES frames missing in .*: \(.*\)/\1 \2/p" "$WORK/run2.log")
[ "$reported" = "${#missing[@]} ${missing[0]}-$((FRAMES - 1))" ] ||
  fail "reported missing '$reported', on disk ${missing[*]}"
kept=$(ls -i "$WORK/run2" | grep -c 'frame_.*png')
inodes=$(ls -i "$WORK/run2" | grep 'frame_.*png')

"$FARM" submit -d "$WORK/run2" -n "$FRAMES" -p 12 --poll 0.5 "${SEQ[@]}" | tee "$WORK/run2b.log"
grep -q "1 of 2 tasks (1), ${#missing[@]} frames to render" "$WORK/run2b.log" || fail "the re-submit did more than the holes"
same_as_ref "$WORK/run2"
[ "$(ls -i "$WORK/run2" | grep -F -x -c -f <(echo "$inodes"))" = "$kept" ] ||
  fail "frames already on disk were rendered again"
echo "test-slurm: 2. task cancelled after frame 13: ${#missing[@]} frames reported missing; re-submitted, only they were rendered, all identical"

FAILED=0
echo "test-slurm: passed in $((SECONDS - START)) s"
