# Installation of the shell completions, where each shell looks for the completions that
# packages ship: bash-completion loads share/bash-completion/completions/<command> when the
# command is first completed, zsh reads share/zsh/vendor-completions through its fpath on Debian,
# and fish reads share/fish/vendor_completions.d. The .deb made by cpack gets the same files.

include(GNUInstallDirs)

set(quillet_completions ${PROJECT_SOURCE_DIR}/completions)
install(FILES ${quillet_completions}/quillet.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quillet)
install(FILES ${quillet_completions}/_quillet
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES ${quillet_completions}/quillet.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
