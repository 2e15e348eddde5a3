# fish completion for quillet.
# Options with a free-text value use -x so that no file names are offered for the value; the
# operands (input file or directory, output torrent) get fish's own file name completion.

complete -c quillet -s a -l announce -x -d 'Announce base of the tracker'
complete -c quillet -s p -l port -x -d 'Port joined to the announce base (default 6881)'
complete -c quillet -s P -l path -x -d 'Path on the tracker (default /announce)'
complete -c quillet -s l -l piecelength -x -a '16384 65536 262144 1048576 4194304 16777216' -d 'Piece length in bytes'
complete -c quillet -s c -l comment -x -d 'Comment stored in the torrent'
complete -c quillet -s i -l inclusive -d 'Include hidden files'
complete -c quillet -s V -l version -d 'Print the version'
complete -c quillet -s h -l help -d 'Print the usage and options'
complete -c quillet -l format -x -a 'v1 v2 hybrid' -d 'Format of the torrent (default v1)'
complete -c quillet -l private -d 'Mark the torrent private'
complete -c quillet -l tracker -x -d 'Announce URL; each one starts a tier'
complete -c quillet -l webseed -x -d 'Web seed URL'
complete -c quillet -l source -x -d 'Source tag in the info dictionary'
complete -c quillet -l name -x -d 'Name of the torrent'
complete -c quillet -l nodate -d 'Leave out the creation date'
complete -c quillet -l exclude -x -d 'Leave out entries matching a shell pattern'
complete -c quillet -l sorted -d 'Take directory entries in ascending byte order'
complete -c quillet -l magnet -d 'Print the magnet link'

# The command words, each only in the first place; `show` and `verify` take torrents and their
# own options.
complete -c quillet -n __fish_use_subcommand -f -a show -d 'Show what torrent files say'
complete -c quillet -n __fish_use_subcommand -f -a verify -d 'Check content against a torrent'
complete -c quillet -n __fish_use_subcommand -f -a help -d 'List the commands'
complete -c quillet -n '__fish_seen_subcommand_from help' -f -a 'show verify help'
complete -c quillet -n '__fish_seen_subcommand_from verify' -s a -l all -d 'List intact files too'
complete -c quillet -n '__fish_seen_subcommand_from verify' -s j -l json -d 'One JSON object'
complete -c quillet -n '__fish_seen_subcommand_from verify' -s q -l quiet -d 'Print nothing'
complete -c quillet -n '__fish_seen_subcommand_from show' -s j -l json -d 'One JSON object per torrent'
complete -c quillet -n '__fish_seen_subcommand_from show' -l pads -d 'List pad files too'
complete -c quillet -n '__fish_seen_subcommand_from show' -l max-size -x -d 'Largest torrent file read, in bytes'
complete -c quillet -n '__fish_seen_subcommand_from show' -l max-depth -x -d 'Deepest nesting'
complete -c quillet -n '__fish_seen_subcommand_from show' -l max-tokens -x -d 'Most bencode values'
complete -c quillet -n '__fish_seen_subcommand_from show' -l max-string -x -d 'Longest string, in bytes'
complete -c quillet -n '__fish_seen_subcommand_from show' -l max-pieces -x -d 'Most pieces'
