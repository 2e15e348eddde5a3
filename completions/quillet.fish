# fish completion for quillet.
# Options with a free-text value use -x so that no file names are offered for the value; the
# operands (input file or directory, output torrent, torrents) get fish's own file name
# completion.

# A command word changes what the other words mean only in the first place: `quillet WORD ...`.
function __quillet_command_is
    set -l words (commandline -opc)
    test (count $words) -ge 2; and contains -- $words[2] $argv
end

# The classic command line: no command word first.
set -l classic 'not __quillet_command_is create show verify edit help'
complete -c quillet -n $classic -s a -l announce -x -d 'Announce base of the tracker'
complete -c quillet -n $classic -s p -l port -x -d 'Port joined to the announce base (default 6881)'
complete -c quillet -n $classic -s P -l path -x -d 'Path on the tracker (default /announce)'
complete -c quillet -n $classic -s l -l piecelength -x -a '16384 65536 262144 1048576 4194304 16777216' -d 'Piece length in bytes'
complete -c quillet -n $classic -s c -l comment -x -d 'Comment stored in the torrent'
complete -c quillet -n $classic -s i -l inclusive -d 'Include hidden files'
complete -c quillet -n $classic -s V -l version -d 'Print the version'
complete -c quillet -n $classic -s h -l help -d 'Print the usage and options'
complete -c quillet -n $classic -l format -x -a 'v1 v2 hybrid' -d 'Format of the torrent (default v1)'
complete -c quillet -n $classic -l private -d 'Mark the torrent private'
complete -c quillet -n $classic -l tracker -x -d 'Announce URL; each one starts a tier'
complete -c quillet -n $classic -l webseed -x -d 'Web seed URL'
complete -c quillet -n $classic -l source -x -d 'Source tag in the info dictionary'
complete -c quillet -n $classic -l name -x -d 'Name of the torrent'
complete -c quillet -n $classic -l nodate -d 'Leave out the creation date'
complete -c quillet -n $classic -l exclude -x -d 'Leave out entries matching a shell pattern'
complete -c quillet -n $classic -l sorted -d 'Take directory entries in ascending byte order'
complete -c quillet -n $classic -l magnet -d 'Print the magnet link'

# The command words, offered in the first place next to the file names of the classic input.
set -l first_place 'test (count (commandline -opc)) -eq 1'
complete -c quillet -n $first_place -a create -d 'Make a torrent'
complete -c quillet -n $first_place -a show -d 'Show what torrent files say'
complete -c quillet -n $first_place -a verify -d 'Check content against a torrent'
complete -c quillet -n $first_place -a edit -d 'Change what a torrent says without reading content'
complete -c quillet -n $first_place -a help -d 'List the commands'
# `quillet help` takes one command word and nothing else.
complete -c quillet -n '__quillet_command_is help' -f
complete -c quillet -n '__quillet_command_is help; and test (count (commandline -opc)) -eq 2' \
    -a 'create show verify edit help'
complete -c quillet -n '__quillet_command_is create show verify edit' -s h -l help -d 'Print the options'

# Torrent files, and the folders on the way to them.
function __quillet_torrents
    complete -C"__fish_command_without_completions "(commandline -ct) |
        string match -r -- '.*(?:\.torrent|/)$'
end

# verify's first operand is a torrent; its second, the content, any file or folder.
function __quillet_verify_wants_torrent
    __quillet_command_is verify; or return 1
    set -l operands (commandline -opc)[3..]
    not string match -qv -- '-*' $operands
end
set -l wants_torrent '__quillet_command_is show edit; or __quillet_verify_wants_torrent'
complete -c quillet -n $wants_torrent -f -a '(__quillet_torrents)'

set -l in_verify '__quillet_command_is verify'
complete -c quillet -n $in_verify -s a -l all -d 'List intact files too'
complete -c quillet -n $in_verify -s j -l json -d 'One JSON object'
complete -c quillet -n $in_verify -s q -l quiet -d 'Print nothing'

# `quillet show` and `quillet edit` read torrents within the same limits.
set -l in_show '__quillet_command_is show'
complete -c quillet -n $in_show -s j -l json -d 'One JSON object per torrent'
complete -c quillet -n $in_show -s p -l pads -d 'List pad files too'
set -l reads_torrents '__quillet_command_is show edit'
complete -c quillet -n $reads_torrents -l max-size -x -d 'Largest torrent file read, in bytes'
complete -c quillet -n $reads_torrents -l max-depth -x -d 'Deepest nesting'
complete -c quillet -n $reads_torrents -l max-tokens -x -d 'Most bencode values'
complete -c quillet -n $reads_torrents -l max-string -x -d 'Longest string, in bytes'
complete -c quillet -n $reads_torrents -l max-pieces -x -d 'Most pieces'

# `quillet edit`'s own options; -o takes any file name.
set -l in_edit '__quillet_command_is edit'
complete -c quillet -n $in_edit -s o -l output -r -d 'Where the edited torrent goes'
complete -c quillet -n $in_edit -s i -l in-place -d 'Replace each torrent with its edited self'
complete -c quillet -n $in_edit -s f -l force -d 'Replace an existing output'
complete -c quillet -n $in_edit -s n -l dry-run -d 'Show what would change; write nothing'
complete -c quillet -n $in_edit -s j -l json -d 'One JSON object per torrent'
complete -c quillet -n $in_edit -s t -l tracker -x -d 'Replaces all trackers'
complete -c quillet -n $in_edit -l add-tracker -x -d 'A new tier after the others'
complete -c quillet -n $in_edit -l remove-tracker -x -d 'A tracker, removed from its tier'
complete -c quillet -n $in_edit -s w -l webseed -x -d 'Replaces all web seeds'
complete -c quillet -n $in_edit -l add-webseed -x -d 'A web seed after the others'
complete -c quillet -n $in_edit -l remove-webseed -x -d 'A web seed to remove'
complete -c quillet -n $in_edit -s c -l comment -x -d 'The comment; empty removes it'
complete -c quillet -n $in_edit -l created-by -x -d 'The creator; empty removes it'
complete -c quillet -n $in_edit -l nodate -d 'Remove the creation date'
complete -c quillet -n $in_edit -l date -x -d 'Creation date, seconds since 1970 UTC'
complete -c quillet -n $in_edit -s p -l private -d 'Private: peers only from the trackers'
complete -c quillet -n $in_edit -l public -d 'Remove the private flag'
complete -c quillet -n $in_edit -s s -l source -x -d 'The source tag; empty removes it'
complete -c quillet -n $in_edit -l name -x -d 'The torrent'"'"'s name'

# `quillet create`'s own options.
set -l in_create '__quillet_command_is create'
complete -c quillet -n $in_create -s o -l output -r -d 'Output file, - for standard output'
complete -c quillet -n $in_create -l force -d 'Replace an existing output'
complete -c quillet -n $in_create -s t -l tracker -x -d 'Complete announce URL'
complete -c quillet -n $in_create -s w -l webseed -x -d 'Web seed URL'
complete -c quillet -n $in_create -s p -l private -d 'Private torrent'
complete -c quillet -n $in_create -s s -l source -x -d 'Source tag'
complete -c quillet -n $in_create -s n -l name -x -d 'Name of the torrent'
complete -c quillet -n $in_create -s c -l comment -x -d 'Comment'
complete -c quillet -n $in_create -l no-date -d 'Leave out the creation date'
complete -c quillet -n $in_create -l created-by -x -d 'Created by text'
complete -c quillet -n $in_create -l no-created-by -d 'Leave out the created by key'
complete -c quillet -n $in_create -s f -l format -x -a 'v1 v2 hybrid' -d 'Format'
complete -c quillet -n $in_create -s l -l piece-length -x -a 'auto 16K 64K 256K 1M 4M 16M' -d 'Piece length'
complete -c quillet -n $in_create -l max-piece-length -x -d 'Largest piece length auto picks'
complete -c quillet -n $in_create -s x -l exclude -x -d 'Leave out entries matching a pattern'
complete -c quillet -n $in_create -l include -x -d 'Take only files matching a pattern'
complete -c quillet -n $in_create -l hidden -d 'Take hidden files and directories'
complete -c quillet -n $in_create -s j -l threads -x -d 'Hashing threads'
complete -c quillet -n $in_create -l magnet -d 'Print the magnet link'
complete -c quillet -n $in_create -s P -l preset -x -d 'Take the values of a preset'
complete -c quillet -n $in_create -l presets -r -d 'Presets file'
complete -c quillet -n $in_create -s q -l quiet -d 'Print nothing'
complete -c quillet -n $in_create -l json -d 'Print the results as JSON'
