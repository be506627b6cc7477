#!/usr/bin/env bash
# One part of a pluvane shot per task of a Slurm array job.
#
#   sbatch --array=0-7 farm/slurm-render.sh INPUT -o OUTPUT.####.exr --frames A-B [render options...]
#
# Every task renders its own contiguous part of the frames (--chunk) and
# leaves frames that are already complete (--skip-existing), so the same
# command, resubmitted after a pre-empted, timed-out or lost task, finishes the
# range. Each task logs to pluvane-JOB_TASK.log in the folder sbatch was run
# from (override with sbatch --output). The program is `pluvane` on the PATH
# of the nodes, or the one $PLUVANE names.
#SBATCH --job-name=pluvane
#SBATCH --output=pluvane-%A_%a.log
#SBATCH --cpus-per-task=1
set -euo pipefail

if [[ -z "${SLURM_ARRAY_TASK_ID:-}" ]]; then
  echo "slurm-render.sh: submit it as an array job: sbatch --array=0-7 $0 INPUT -o OUT.####.exr --frames A-B" >&2
  exit 2
fi
# Parts count from 0 however the array is numbered (--array=0-7 or 1-8).
part=$((SLURM_ARRAY_TASK_ID - ${SLURM_ARRAY_TASK_MIN:-0}))
parts=${SLURM_ARRAY_TASK_COUNT:-$((SLURM_ARRAY_TASK_MAX - ${SLURM_ARRAY_TASK_MIN:-0} + 1))}
# One worker thread per CPU Slurm gave the task, unless the command says otherwise.
threads=(--threads "${SLURM_CPUS_PER_TASK:-1}")
for arg in "$@"; do [[ $arg == --threads* ]] && threads=(); done

echo "pluvane part $part/$parts of job ${SLURM_ARRAY_JOB_ID:-?} on $(hostname -s)"
exec "${PLUVANE:-pluvane}" render "$@" --chunk "$part/$parts" --skip-existing "${threads[@]}"
