# bash completion for quillon and quillon-cli: their options, board paths for --device (from
# --list), files where a file is wanted.

_quillon_boards()
{
    # The second tab-separated field of each --list line is the board's path.
    "${COMP_WORDS[0]}" --list --headless --timeout 500 2>/dev/null | cut -f 2
}

_quillon()
{
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}

    case $prev in
        --device | -d)
            local IFS=$'\n'
            mapfile -t COMPREPLY < <(compgen -W "$(_quillon_boards)" -- "$cur")
            return
            ;;
        -o | --output | --convert | --all | --no-execute | --station | --journal)
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            compopt -o filenames 2>/dev/null
            return
            ;;
        --receive | --timeout | --wait | -w | --count | --usb-id | --gap-fill | --base)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "-h --help -V --version -l --list --headless
            --no-execute --all --count --execute --board-version --receive -o --output
            --convert -d --device --timeout -w --wait --usb-id --gap-fill --base
            --allow-large-image --json -q --quiet -v --verbose --station --journal --summary
            --" -- "$cur")
        return
    fi
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    compopt -o filenames 2>/dev/null
}
complete -F _quillon quillon quillon-cli
