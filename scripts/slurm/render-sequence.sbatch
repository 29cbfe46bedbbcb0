#!/bin/sh
# One Slurm array task of a long sequence: task i renders frames
# i*PER_TASK .. i*PER_TASK+PER_TASK-1 (cut at FRAMES) into DIR, keeping the
# frames already there whole, so re-running a task fills only its holes.
#   sbatch --array=0-3 render-sequence.sbatch FRAMES PER_TASK DIR [galaxy-render options]
# e.g. sbatch --array=0-3 render-sequence.sbatch 24 6 frames -m galaxy -q 0 -s 320x180
# GALAXY_RENDER names the program (default: galaxy-render on PATH); DIR must
# be a directory every node sees. galaxy-farm submits this for you.
#SBATCH --job-name=galaxy-frames
set -eu
if [ $# -lt 3 ] || [ -z "${SLURM_ARRAY_TASK_ID:-}" ]; then
  echo "usage: sbatch --array=LIST render-sequence.sbatch FRAMES PER_TASK DIR [galaxy-render options]" >&2
  exit 2
fi
frames=$1 per_task=$2 dir=$3
shift 3
first=$((SLURM_ARRAY_TASK_ID * per_task))
count=$((frames - first))
[ "$count" -gt "$per_task" ] && count=$per_task
if [ "$count" -le 0 ]; then
  echo "task $SLURM_ARRAY_TASK_ID: first frame $first is past the sequence's $frames frames" >&2
  exit 2
fi
echo "task $SLURM_ARRAY_TASK_ID on $(hostname): frames $first..$((first + count - 1)) into $dir"
exec "${GALAXY_RENDER:-galaxy-render}" "$@" -n "$count" --first-frame "$first" -d "$dir" --skip-existing
