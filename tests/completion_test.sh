#!/usr/bin/env bash
# Shell completion: the bash completion offers every option, the three formats after --format
# and file names for the operands, and completes nothing for a free-text value; the zsh and fish
# files name every long option as well, and the manual page documents exactly the options
# offered. Each shell that is installed completes the command words, their options and
# operands. Needs only bash (no bash-completion); zsh and fish are run where installed.
# Exit 0 on success, 1 on a failure.
set -u
set -f # word lists below are split, never globbed
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(dirname "$here")
quillet=${1-}
failures=0

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# shellcheck source=../completions/quillet.bash
source "$source_dir/completions/quillet.bash" || {
    echo "FAILED: cannot source completions/quillet.bash"
    exit 1
}
[[ $(complete -p quillet 2>/dev/null) == *"-F _quillet"* ]] ||
    fail "the completion is not registered for quillet"

every_long_option='--announce --comment --exclude --format --help --inclusive --magnet --name
--nodate --path --piecelength --port --private --sorted --source --tracker --version --webseed'
every_short_option='-P -V -a -c -h -i -l -p'

# Candidates for the last word of `quillet WORD...`, as bash would split the line; sorted,
# space-separated.
candidates() {
    COMP_WORDS=(quillet "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _quillet quillet "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' ' -
}

sorted_words() {
    printf '%s\n' $1 | LC_ALL=C sort | paste -sd ' ' -
}

# expect WANTED WORD...: the candidates for `quillet WORD...` are exactly WANTED.
expect() {
    local wanted actual
    wanted=$(sorted_words "$1")
    shift
    actual=$(candidates "$@")
    [[ $actual == "$wanted" ]] || fail "quillet $* <TAB>: got '$actual', wanted '$wanted'"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/album"
touch "$scratch/alpha.mkv" "$scratch/beta.txt" "$scratch/-dash"
cd "$scratch" || exit 1

# Options
expect "$every_long_option" --
expect "$every_long_option $every_short_option" -
expect '--private' --pr
expect '--path --piecelength --port --private' --p
expect '--nodate --name' --n

# Values of --format, in every form a shell hands them over
expect 'v1 v2 hybrid' --format ''
expect 'hybrid' --format h
expect 'v1 v2' --format v
expect 'v1 v2 hybrid' -a http://t.example --format ''
expect 'v1 v2 hybrid' --format = ''  # "=" split off, as in the default COMP_WORDBREAKS
expect 'v2' --format = v2
expect 'v1 v2 hybrid' --format =
expect '--format=hybrid' --format=hy # "=" kept inside the word

# Free-text values get no file names and no options
for option in -a --announce -p --port -P --path -l --piecelength -c --comment --tracker \
    --webseed --source --name --exclude; do
    expect '' "$option" al
done

# Operands: file and directory names, before, between and after options, and after "--"
expect 'album alpha.mkv' -a http://t.example al
expect 'album alpha.mkv' --private al
expect 'album alpha.mkv' --format v2 --magnet al
expect 'beta.txt' alpha.mkv b
expect '-dash' -- -
expect '-dash album alpha.mkv beta.txt' -a '' -- ''
expect '-dash album alpha.mkv beta.txt' -a http://t.example ''

# Command words first, and the options and values of `create`
expect 'create' cr
expect '--force --format' create --f
expect '--piece-length --presets --preset --private' create --p
expect 'hybrid' create -f h
expect '4M' create album -l 4
expect 'album alpha.mkv' create --hidden al
expect '' create -t al

# Command words, bash only: offered in the first place only; nothing after an option's
# number; folders on the way to torrents
touch "$scratch/gamma.torrent" "$scratch/gamma.txt"
expect '' --name sh
expect 'album' show alb
expect '' show --max-depth g
expect 'gamma.torrent gamma.txt' ./show g # content named like a command is just a path

# The command words in every shell that is installed: each word in the first place next to the
# classic input, their operands and what follows edit's options; with the binary, each
# command's options after "-" are exactly those its -h lists. WANTED|LINE: LINE is what follows "quillet " when TAB is pressed,
# its last word the one completed; folders are named without their trailing slash.
shell_cases=(
    'album alpha.mkv|al'
    'edit|ed'
    'show|sh'
    'verify|ve'
    'help|he'
    'create edit help show verify|help '
    '|help show '
    'gamma.torrent|show g'
    'gamma.torrent|verify g'
    'gamma.torrent gamma.txt|verify gamma.torrent g' # the content may be any file
    '--private --public|edit --p'
    'gamma.torrent|edit g'
    'gamma.torrent|edit -i g'
    'gamma.torrent gamma.txt|edit -o g' # the output may be any file
    '|edit -c g'
    '|edit --name g'
    '|edit --date 1'
)
if [[ -n $quillet ]]; then
    rm -- -dash # zsh and fish offer file names that start with "-" among the options
    for command in create show verify edit; do
        shell_cases+=("$("$quillet" "$command" -h | grep -oE '^ +-[^ ]+' | tr ',' ' ')|$command -")
    done
fi
shell_lines=("${shell_cases[@]#*|}")

bash_offers() {
    local line words
    for line in "$@"; do
        read -ra words <<<"$line"
        [[ $line == *' ' ]] && words+=('')
        candidates "${words[@]}"
    done
}

fish_offers() {
    # shellcheck disable=SC2016 # fish expands them
    fish -N -c 'source $argv[1]
        for line in $argv[2..]
            echo (complete -C"quillet $line" | string replace -r "(/|\t.*)\$" "")
        end' "$source_dir/completions/quillet.fish" "$@"
}

zsh_offers() {
    zsh "$here/support/zsh_complete.zsh" "$source_dir/completions" "${@/#/quillet }"
}

for shell in bash fish zsh; do
    if ! command -v "$shell" >/dev/null; then
        echo "skipped: $shell is not installed, its completion of the command words not run"
        continue
    fi
    mapfile -t offered < <("${shell}_offers" "${shell_lines[@]}")
    for index in "${!shell_cases[@]}"; do
        wanted=$(sorted_words "${shell_cases[index]%%|*}")
        actual=$(sorted_words "${offered[index]-(nothing printed)}")
        [[ $actual == "$wanted" ]] ||
            fail "$shell: quillet ${shell_lines[index]}<TAB>: got '$actual', wanted '$wanted'"
    done
done

# The manual page documents exactly the long options that are completed.
manual_options=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$source_dir/quillet.1.in" |
    grep -A1 '^\.TP' | grep -o '\\-\\-[a-z]*' | sed 's/\\//g' | LC_ALL=C sort -u |
    paste -sd ' ' -)
[[ $manual_options == "$(sorted_words "$every_long_option")" ]] ||
    fail "the manual page's OPTIONS hold '$manual_options'"

# zsh and fish name every long option too (read as text: the shells may not be installed).
for option in $every_long_option; do
    grep -qE "(^|[{ '*,])$option[=[}]" "$source_dir/completions/_quillet" ||
        fail "completions/_quillet does not offer $option"
    grep -qE "^complete -c quillet .*-l ${option#--}( |$)" "$source_dir/completions/quillet.fish" ||
        fail "completions/quillet.fish does not offer $option"
done

# zsh and fish: syntax only, where the shell is installed
if command -v zsh >/dev/null; then
    zsh -n "$source_dir/completions/_quillet" || fail "zsh -n completions/_quillet"
else
    echo "skipped: zsh is not installed, completions/_quillet not parsed"
fi
if command -v fish >/dev/null; then
    fish -n "$source_dir/completions/quillet.fish" || fail "fish -n completions/quillet.fish"
else
    echo "skipped: fish is not installed, completions/quillet.fish not parsed"
fi

if ((failures > 0)); then
    echo "$failures completion check(s) failed"
    exit 1
fi
echo "completion: all checks passed"
