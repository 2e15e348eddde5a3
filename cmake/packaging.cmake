# Installation of the manual page and the Debian package made by `cpack -G DEB`.
# Included at the end of the top-level CMakeLists.txt, after the binary's own install rule.

include(GNUInstallDirs)

# The manual page, made from quillet.1.in with the project version filled in. Debian installs
# manual pages compressed with `gzip -9n` (-n keeps the name and time stamp out of the
# archive, so the same page always gives the same bytes); where gzip is missing the page is
# installed as it is, which man reads just as well.
set(quillet_manpage ${PROJECT_BINARY_DIR}/quillet.1)
configure_file(${PROJECT_SOURCE_DIR}/quillet.1.in ${quillet_manpage} @ONLY)
find_program(QUILLET_GZIP gzip)
if(QUILLET_GZIP)
    set(quillet_manpage_dir ${PROJECT_BINARY_DIR}/man)
    set(quillet_manpage_gz ${quillet_manpage_dir}/quillet.1.gz)
    # gzip compresses a copy in place, so no shell redirection is needed in the rule.
    add_custom_command(
        OUTPUT ${quillet_manpage_gz}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${quillet_manpage_dir}
        COMMAND ${CMAKE_COMMAND} -E copy ${quillet_manpage} ${quillet_manpage_dir}/quillet.1
        COMMAND ${QUILLET_GZIP} -9 -n -f ${quillet_manpage_dir}/quillet.1
        DEPENDS ${quillet_manpage}
        COMMENT "Compressing the manual page"
        VERBATIM)
    add_custom_target(quillet_manpage ALL DEPENDS ${quillet_manpage_gz})
    install(FILES ${quillet_manpage_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    install(FILES ${quillet_manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "quillet developers")
set(CPACK_PACKAGE_CONTACT "quillet developers <quillet@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write BitTorrent metainfo (.torrent) files")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME quillet)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "quillet developers <quillet@users.noreply.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary above on the Description line and indents this text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "quillet writes the BitTorrent metainfo file for one regular file or a whole
directory tree: the tracker's announce URL, an optional comment, the list of
files with their exact sizes and the SHA-1 digest of every piece of the content.
Hashing uses every processor core, and a failed or interrupted run never leaves
a broken .torrent file behind.")

find_program(QUILLET_DPKG dpkg)
if(QUILLET_DPKG)
    execute_process(
        COMMAND ${QUILLET_DPKG} --print-architecture
        OUTPUT_VARIABLE quillet_deb_arch
        OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE quillet_deb_arch_status)
    if(quillet_deb_arch_status EQUAL 0 AND quillet_deb_arch)
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${quillet_deb_arch})
    endif()
endif()

# dpkg-shlibdeps (package dpkg-dev) reads the binary's shared libraries and names the exact
# packages and versions; without it, ask for the versions Debian 12 ships, which a binary
# built there is sure to run with.
find_program(QUILLET_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUILLET_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    message(STATUS "dpkg-shlibdeps not found: the .deb gets the Debian 12 dependencies by hand")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libc6 (>= 2.36), libgcc-s1 (>= 12.2.0), libssl3 (>= 3.0.0), libstdc++6 (>= 12.2.0)")
    if(QUILLET_IO_URING AND NOT QUILLET_STATIC)
        string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", liburing2 (>= 2.3)")
    endif()
endif()

include(CPack)
