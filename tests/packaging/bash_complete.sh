#!/usr/bin/env bash
# Prints, one a line, what bash's completion for ostrawen-cli offers at the end of a command line, as
# if the user had typed LINE and pressed Tab twice.
#   bash_complete.sh COMPLETION_FILE LINE
# Words are split as bash splits them for completion: at blanks, and "=" a word of its own.
set -u
source /usr/share/bash-completion/bash_completion
source "$1"
line=$2
read -ra COMP_WORDS <<<"${line//=/ = }"
[[ $line == *" " || $line == *"=" || ${#COMP_WORDS[@]} -eq 0 ]] && COMP_WORDS+=("")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE=$line
COMP_POINT=${#line}
function=$(complete -p ostrawen-cli | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
[[ -n $function ]] || { echo "no completion function registered for ostrawen-cli" >&2; exit 1; }
COMPREPLY=()
"$function" ostrawen-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}"
exit 0
