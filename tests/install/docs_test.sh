#!/usr/bin/env bash
# The manual page and the bash completion keep in step with the program:
# every command and every option `--help` lists is in the manual page and
# offered by the completion, and so is every control `pluvane controls`
# lists (with the popups' choices after --set "NAME=). The completion is
# driven in bash as readline drives it: the function `complete -p` names,
# called with the words of a command line.
#   tests/install/docs_test.sh PATH/TO/pluvane MANPAGE.1 COMPLETION
set -euo pipefail
PLUVANE=$(realpath "${1:?usage: $0 PATH/TO/pluvane MANPAGE.1 COMPLETION}")
MAN=$(realpath "$2")
COMPLETION=$(realpath "$3")
. "$(dirname "$0")/../support/limits.sh"
errors=0
fail() { echo "docs_test: $*" >&2; errors=$((errors + 1)); }
T=$(mktemp -d /tmp/pluvane-docs-XXXXXX)
trap 'rm -rf "$T"' EXIT

# The options of a help text: the first field of each line that starts with
# an option ("  -o,--output TEXT ..." gives -o and --output).
options_of() { sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr ',' '\n'; }
commands=$(limited 60 "$PLUVANE" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
[[ -n $commands ]] || { echo "docs_test: no commands found in pluvane --help" >&2; exit 1; }

# The manual page as text, its roff minus signs as plain ones.
man_text=$(sed 's/\\-/-/g' "$MAN")
has_word() { grep -q -E -- "(^|[^a-z-])$1([^a-z-]|\$)" <<<"$man_text"; }

# The controls: name and type columns of `pluvane controls`, and the popups' choices.
limited 60 "$PLUVANE" controls >"$T/controls"
mapfile -t control_rows < <(awk -F '  +' 'NR > 1 && $3 != "group" && $3 != "end of group" {print $2 "\t" $3 "\t" $4}' "$T/controls")
((${#control_rows[@]} >= 18)) || { echo "docs_test: pluvane controls listed ${#control_rows[@]} controls" >&2; exit 1; }

# shellcheck source=/dev/null
source "$COMPLETION"
[[ $(complete -p pluvane) == "complete -F _pluvane pluvane" ]] || fail "the completion does not register _pluvane for pluvane"
# What the completion offers for a command line whose last word is being typed.
offers() {  # offers WORD... (the last word is the one being completed; a leading '"' is an open quote)
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  local cur=${COMP_WORDS[COMP_CWORD]}
  cur=${cur#\"}  # readline's word starts after an open quote
  _pluvane pluvane "$cur" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}"
}
offered() {  # offered CANDIDATE WORD...: whether the completion offers CANDIDATE
  local want=$1; shift
  offers "$@" | grep -x -F -- "$want" >/dev/null
}

for c in $commands; do
  has_word "$c" || fail "the manual page does not mention the command $c"
  offered "$c" pluvane "" || fail "the completion does not offer the command $c"
  for o in $(limited 60 "$PLUVANE" "$c" --help | options_of); do
    has_word "$o" || fail "the manual page does not mention $c's option $o"
    offered "$o" pluvane "$c" "${o:0:2}" || fail "the completion does not offer $c's option $o"
  done
done
for o in $(limited 60 "$PLUVANE" --help | options_of); do
  has_word "$o" || fail "the manual page does not mention the option $o"
  offered "$o" pluvane - || fail "the completion does not offer the option $o"
done

for row in "${control_rows[@]}"; do
  IFS=$'\t' read -r name type range <<<"$row"
  grep -q -F -- ".B $name" "$MAN" || fail "the manual page does not describe the control \"$name\""
  if [[ $type == popup ]]; then
    IFS='|' read -r -a choices <<<"$range"
    for choice in "${choices[@]}"; do
      choice=$(sed 's/^ *//; s/ *$//' <<<"$choice")
      offered "$name=$choice" pluvane render --set '"' ||
        fail "the completion does not offer \"$name=$choice\" after --set \""
      offered "$name=$choice" pluvane controls --set "\"$name=" ||
        fail "the completion does not offer the choice \"$choice\" after --set \"$name="
    done
    # A popup cannot be keyframed.
    ! offers pluvane render --key '"' | grep -F -- "$name=" >/dev/null || fail "the completion offers the popup $name after --key"
  else
    offered "$name=" pluvane render --set '"' || fail "the completion does not offer \"$name=\" after --set \""
    offered "$name=" pluvane render --key "\"${name:0:3}" || fail "the completion does not offer \"$name=\" after --key \"${name:0:3}"
    offered "\"$name=" pluvane render --set "${name:0:3}" || fail "the completion does not open a quote for $name after an unquoted --set"
  fi
done

# File names for the input, the output and a scene file.
mkdir "$T/shots"
touch "$T/photo.png" "$T/shot.json"
cd "$T"
offered photo.png pluvane render ph || fail "the completion does not offer an input file name"
offered photo.png pluvane render in.png -o ph || fail "the completion does not offer an output file name"
offered shot.json pluvane render --scene sh || fail "the completion does not offer a scene file"
! offered photo.png pluvane render --scene ph || fail "the completion offers a picture as a scene file"
offered shots pluvane demo -o sh || fail "the completion does not offer a folder for the demo"

# Every extension the refusal of an unknown one lists is in the manual page
# and offered for an output name typed up to its dot.
base64 -d >"$T/dot.png" <<<"iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAIAAACQd1PeAAAADElEQVR4nGP4z8AAAAMBAQDJ/pLvAAAAAElFTkSuQmCC"
refusal=$(limited 60 "$PLUVANE" render dot.png -o rain.xyz 2>&1 || :)
extensions=$(grep -o '\.[a-z][a-z0-9]*' <<<"$refusal" | grep -v -x -e .png -e .xyz | sort -u)
[[ $(wc -w <<<"$extensions") -ge 10 ]] || fail "the refusal of rain.xyz lists too few extensions: $extensions"
for e in $extensions .png; do
  grep -q -F -- "$e" <<<"$man_text" || fail "the manual page does not mention the output extension $e"
  offered "rain$e" pluvane render dot.png -o rain. || fail "the completion does not offer rain$e after -o rain."
done

((errors == 0)) || exit 1
echo "docs_test: passed"
