#!/usr/bin/env zsh
# Usage: zsh zsh_complete.zsh COMPLETIONS_DIR LINE...
# Prints, for each LINE, the words an interactive zsh with quillet's completion offers at the
# end of that line: one output line each, the words space-separated. zsh completes only inside
# its line editor, so a second zsh is driven through a pseudo-terminal, TAB typed after each
# LINE; in it, compadd is wrapped to note every word offered, and the completion widget prints
# those words between \x02 and \x03 once it is done.

# Run by the driven zsh: `source zsh_complete.zsh --inside COMPLETIONS_DIR`.
if [[ $1 == --inside ]]; then
    PS1=''
    fpath=($2 $fpath)
    autoload -Uz compinit
    compinit -u -D
    typeset -ga offered
    compadd() {
        # -O, -A and -D ask for matches back instead of adding them: nothing is offered.
        if ((${@[(I)-[OAD]*]})); then
            builtin compadd "$@"
            return
        fi
        local -a matched
        builtin compadd -O matched "$@"
        offered+=($matched)
        builtin compadd "$@"
    }
    _report_offered() {
        offered=()
        _main_complete
        # Nothing is inserted or listed, so the line stays as typed and the next one starts clean.
        compstate[insert]=''
        compstate[list]=''
        print -rn -- $'\x02'"${(j: :)offered}"$'\x03'
    }
    zle -C report-offered complete-word _report_offered
    bindkey '^I' report-offered
    print -r -- "ready"$'\x04'
    return
fi

zmodload zsh/zpty || exit 2
completions_dir=$1
shift
zpty driven zsh -f -i
zpty -w driven "source ${(q)0:A} --inside ${(q)completions_dir:A}"
zpty -r driven _ $'*\x04*'
for line in "$@"; do
    zpty -n -w driven "$line"$'\t'
    zpty -r driven reply $'*\x02*\x03'
    reply=${reply##*$'\x02'}
    print -r -- "${reply%$'\x03'}"
    zpty -n -w driven $'\C-u'
done
zpty -d driven
