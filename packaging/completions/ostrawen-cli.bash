# bash completion for ostrawen-cli: commands, their actions, resource items, races, archive names and
# options, which may stand before or after the command until "--".

_ostrawen_cli() {
    local cur prev words cword split
    _init_completion -s || return

    local options="--game-dir --archive --json --quiet -q --help -h --version -V --lock-wait"
    local commands="status lan-name cursor resource compact help"
    local items="menu-music-roc menu-music-tft font-zhcn font-zhtw font-en menu-model-roc menu-model-tft"

    case $prev in
        --game-dir)
            _filedir -d
            return
            ;;
        --archive)
            COMPREPLY=($(compgen -W "War3Patch.mpq War3xLocal.mpq War3x.mpq War3.mpq" -- "$cur"))
            return
            ;;
        --lock-wait)
            # A number of seconds: nothing to offer.
            return
            ;;
    esac
    $split && return

    # The words before the cursor that are not options: the command, its action, its arguments.
    local -a positional=()
    local i endOfOptions=false
    for ((i = 1; i < cword; i++)); do
        if ! $endOfOptions; then
            case ${words[i]} in
                --) endOfOptions=true; continue ;;
                --game-dir | --archive | --lock-wait) ((i++)); continue ;;
                -*) continue ;;
            esac
        fi
        positional+=("${words[i]}")
    done

    if ! $endOfOptions && [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options --" -- "$cur"))
        return
    fi

    local command=${positional[0]-} action=${positional[1]-}
    case ${#positional[@]} in
        0)
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            ;;
        1)
            case $command in
                lan-name | cursor) COMPREPLY=($(compgen -W "get set" -- "$cur")) ;;
                resource) COMPREPLY=($(compgen -W "list extract replace delete" -- "$cur")) ;;
                help) COMPREPLY=($(compgen -W "status lan-name cursor resource compact" -- "$cur")) ;;
            esac
            ;;
        2)
            case $command:$action in
                cursor:set) COMPREPLY=($(compgen -W "human orc nightelf undead" -- "$cur")) ;;
                resource:extract | resource:replace | resource:delete) COMPREPLY=($(compgen -W "$items" -- "$cur")) ;;
            esac
            ;;
        3)
            # The file to extract to or replace from ("-" is stdout or stdin).
            case $command:$action in
                resource:extract | resource:replace) _filedir ;;
            esac
            ;;
    esac
}
complete -F _ostrawen_cli ostrawen-cli
