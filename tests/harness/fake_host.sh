#!/bin/sh
# A host program that never finishes, as melt did when a LADSPA plug-in hung
# in its initialisation: it starts a worker of its own, both ignore the polite
# signals, and neither ever exits. Writes both process ids to the file given.
#   fake_host.sh PID_FILE
trap '' HUP INT TERM
sh -c 'trap "" HUP INT TERM; while :; do sleep 1; done' &
echo "$$ $!" >"$1"
while :; do sleep 1; done
