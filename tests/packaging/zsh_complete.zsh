#!/usr/bin/zsh -f
# Prints, one a line, what zsh's completion for ostrawen-cli offers at the end of a command line: an
# interactive zsh in a pseudo-terminal, with compinit over COMPLETION_DIR, is sent LINE and a Tab, and
# every match the completion system adds is written to a file.
#   zsh -f zsh_complete.zsh COMPLETION_DIR LINE
zmodload zsh/zpty || exit 1
local out=$(mktemp) done=__ostrawen_completion_done__
zpty shell zsh -f -i
zpty -w shell "PS1= PROMPT_EOL_MARK=; fpath=(${(q)1} \$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w shell "zstyle ':completion:*' list-grouped false; zstyle ':completion:*' insert-tab false"
# Every compadd reports what it added, except the ones that only fill arrays (-O, -A, -D).
zpty -w shell 'compadd() {
    if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then builtin compadd "$@"; return; fi
    local -a added; builtin compadd -A added "$@"; local ret=$?
    (( $#added )) && print -rl -- $added >&2
    return ret
}'
# Each time the line editor starts on a new line it says so: what is typed before that may be read
# before zle has the terminal, and a Tab read then completes nothing.
zpty -w shell "zle-line-init() { print -n ED''ITING }; zle -N zle-line-init"
zpty -w shell "exec 2>${(q)out}; print RE''ADY"
# Only once the shell is set up, and its editor waits on the next line, is the line typed.
local ready
zpty -r -m shell ready '*READY*' || exit 1
zpty -r -m shell ready '*EDITING*' || exit 1
zpty -n -w shell "$2"$'\t'
# Then the line is cleared and a marker printed: zle takes input in order, so once the marker is in
# the file the completion has run.
zpty -w shell $'\C-u'"print -u2 $done"
local i
for ((i = 0; i < 200; i++)); do
    grep -q "^$done\$" $out 2>/dev/null && break
    sleep 0.05
done
zpty -d shell
grep -q "^$done\$" $out || { echo "zsh did not finish the completion" >&2; rm -f $out; exit 1; }
grep -v "^$done\$" $out
rm -f $out
exit 0
