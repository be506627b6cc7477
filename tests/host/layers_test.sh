#!/usr/bin/env bash
# The effect's folders are layers: common, then light and ripple, then kernel,
# then host. A file includes from its own folder or a lower layer, never from a
# higher one, so each part can be read and tested on what is below it alone.
set -euo pipefail
cd "$(dirname "$0")/../../src"
declare -A rank=([common]=0 [light]=1 [ripple]=1 [kernel]=2 [host]=3)
status=0
for f in */*.h */*.cpp; do
  from=${f%%/*}
  [[ -n ${rank[$from]:-} ]] || { echo "$f: folder '$from' has no layer here"; status=1; continue; }
  while read -r to; do
    if ((rank[$to] > rank[$from])) || { ((rank[$to] == rank[$from])) && [[ $to != "$from" ]]; }; then
      echo "$f includes $to/: from a lower or sibling layer to a higher one"; status=1
    fi
  done < <(grep -o '^#include "\(common\|light\|ripple\|kernel\|host\)/' "$f" | sed 's#.*"##; s#/$##')
done
exit $status
