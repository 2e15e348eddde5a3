# bash completion for quillet                                  -*- shell-script -*-
# Needs only bash itself; bash-completion loads it on demand from its completions directory.

_quillet_options='-a --announce -p --port -P --path -l --piecelength -c --comment -i --inclusive
-V --version -h --help --format --private --tracker --webseed --source --name --nodate --exclude
--sorted --magnet'

# The options whose value is the next word (or follows "=" in the long form).
_quillet_takes_value() {
    case $1 in
    -a | --announce | -p | --port | -P | --path | -l | --piecelength | -c | --comment | \
        --format | --tracker | --webseed | --source | --name | --exclude)
        return 0
        ;;
    esac
    return 1
}

_quillet_create_options='-o --output --force -t --tracker -w --webseed -p --private -s --source
-n --name -c --comment --no-date --created-by --no-created-by -f --format -l --piece-length
--max-piece-length -x --exclude --include --hidden -j --threads --magnet -P --preset --presets
-q --quiet --json -h --help'

_quillet_create_takes_value() {
    case $1 in
    -o | --output | -t | --tracker | -w | --webseed | -s | --source | -n | --name | -c | \
        --comment | --created-by | -f | --format | -l | --piece-length | --max-piece-length | \
        -x | --exclude | --include | -j | --threads | -P | --preset | --presets)
        return 0
        ;;
    esac
    return 1
}

# `quillet create ...`: its options, the values of -f and -l, file names for -o, --presets and
# the PATHs.
_quillet_create() {
    local current=$1 previous=$2
    if _quillet_create_takes_value "$previous"; then
        case $previous in
        -f | --format)
            mapfile -t COMPREPLY < <(compgen -W 'v1 v2 hybrid' -- "$current")
            ;;
        -l | --piece-length)
            mapfile -t COMPREPLY < <(compgen -W 'auto 16K 64K 256K 1M 4M 16M' -- "$current")
            ;;
        -o | --output | --presets)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$current")
            ;;
        esac
        return 0
    fi
    if [[ $current == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$_quillet_create_options" -- "$current")
        return 0
    fi
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$current")
}

# Values for an option's argument; free texts and URLs get no suggestions. A third argument is
# put before each value, for a word that still holds "--option=".
_quillet_values() {
    local option=$1 current=$2 prefix=${3-}
    if [[ $option == --format ]]; then
        mapfile -t COMPREPLY < <(compgen -P "$prefix" -W 'v1 v2 hybrid' -- "$current")
    fi
}

# The command words, which only count as the first word, and the options of `quillet show`,
# `quillet verify` and `quillet edit`; show and edit share the limits on the torrents they read.
_quillet_commands='create show verify edit help'
_quillet_limit_options='--max-size --max-depth --max-tokens --max-string --max-pieces'
_quillet_show_options="-h --help -j --json -p --pads $_quillet_limit_options"
_quillet_verify_options='-h --help -a --all -j --json -q --quiet'
_quillet_edit_options="-h --help -o --output -i --in-place -f --force -n --dry-run -j --json
-t --tracker --add-tracker --remove-tracker -w --webseed --add-webseed --remove-webseed
-c --comment --created-by --nodate --date -p --private --public -s --source --name
$_quillet_limit_options"

# The options of `quillet edit` whose value is a URL, a text or a number: nothing to offer.
_quillet_edit_takes_text() {
    case $1 in
    -t | --tracker | --add-tracker | --remove-tracker | -w | --webseed | --add-webseed | \
        --remove-webseed | -c | --comment | --created-by | --date | -s | --source | --name)
        return 0
        ;;
    esac
    return 1
}

# The value of the option before the current word, for `quillet WORD ...`; fails when that
# word is not an option's value.
_quillet_command_value() {
    local word=$1 current=$2 previous=$3
    [[ $previous == --max-* ]] && return 0
    [[ $word == edit ]] || return 1
    _quillet_edit_takes_text "$previous" && return 0
    [[ $previous == -o || $previous == --output ]] || return 1
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$current")
}

# The words after a command word: its options, and torrents (or folders on the way to them).
_quillet_command() {
    local word=${COMP_WORDS[1]} current=$1 previous=$2
    if [[ $word == help ]]; then
        ((COMP_CWORD == 2)) && mapfile -t COMPREPLY < <(compgen -W "$_quillet_commands" -- "$current")
        return 0
    fi
    _quillet_command_value "$word" "$current" "$previous" && return 0
    if [[ $current == -* ]]; then
        local options_of=_quillet_${word}_options
        mapfile -t COMPREPLY < <(compgen -W "${!options_of}" -- "$current")
        return 0
    fi
    compopt -o filenames 2>/dev/null
    # verify's second operand is content: any file or folder.
    if [[ $word == verify ]] && ((COMP_CWORD >= 3)); then
        mapfile -t COMPREPLY < <(compgen -f -- "$current")
        return 0
    fi
    mapfile -t COMPREPLY < <(compgen -o plusdirs -f -X '!*.torrent' -- "$current")
}

_quillet() {
    local current=${COMP_WORDS[COMP_CWORD]}
    local previous=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    if ((COMP_CWORD > 1)) && [[ ${COMP_WORDS[1]} == create ]]; then
        _quillet_create "$current" "$previous"
        return 0
    fi
    # Only an exact command word first changes what the other words mean.
    if ((COMP_CWORD >= 2)) && [[ " $_quillet_commands " == *" ${COMP_WORDS[1]} "* ]]; then
        _quillet_command "$current" "$previous"
        return 0
    fi

    # "--format=h" as one word, where COMP_WORDBREAKS leaves "=" inside words.
    if [[ $current == --*=* ]]; then
        _quillet_values "${current%%=*}" "${current#*=}" "${current%%=*}="
        return 0
    fi
    # "--format=h" split by bash into "--format" "=" "h".
    if [[ $current == = ]]; then
        _quillet_values "$previous" ''
        return 0
    fi
    if [[ $previous == = && $COMP_CWORD -ge 2 ]]; then
        _quillet_values "${COMP_WORDS[COMP_CWORD - 2]}" "$current"
        return 0
    fi

    # After "--" every word is an operand, even one that begins with a dash.
    local index options_end=0
    for ((index = 1; index < COMP_CWORD; index++)); do
        if [[ ${COMP_WORDS[index]} == -- ]]; then
            options_end=1
            break
        fi
    done

    if ((!options_end)); then
        if _quillet_takes_value "$previous"; then
            _quillet_values "$previous" "$current"
            return 0
        fi
        if [[ $current == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "$_quillet_options" -- "$current")
            return 0
        fi
    fi

    # The operands: the input file or directory and the output torrent; in the first place a
    # command word as well.
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$current")
    ((COMP_CWORD == 1)) && [[ $current != -* ]] &&
        mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -W "$_quillet_commands" -- "$current")
    return 0
}

complete -F _quillet quillet
