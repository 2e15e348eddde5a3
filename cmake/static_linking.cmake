# How the binary is linked. By default it loads the system's shared libcrypto, liburing and C
# library like any other Debian program, so security updates of libcrypto reach it without a
# rebuild; the C++ runtime and yaml-cpp are linked in (see below). Loading libcrypto costs
# about 0.8 ms more at every start than linking it in, which only runs on small inputs notice.
# QUILLET_STATIC links everything in (libcrypto, the C++ runtime and the C library): one file
# to copy to x86-64 Linux machines where the package cannot be installed, and the quickest
# start.
# Included before find_package(OpenSSL), which reads OPENSSL_USE_STATIC_LIBS.

if(QUILLET_STATIC AND QUILLET_SANITIZE)
    message(FATAL_ERROR "QUILLET_STATIC and QUILLET_SANITIZE cannot be combined: the "
                        "sanitizers need their shared run-time libraries")
endif()

if(QUILLET_STATIC)
    set(OPENSSL_USE_STATIC_LIBS TRUE)
endif()

# FindOpenSSL keeps the library it found in the cache. A build directory switched between a
# static and a shared build must look again, or it would keep linking the other kind.
if(OPENSSL_CRYPTO_LIBRARY)
    set(quillet_cached_crypto_static OFF)
    if(OPENSSL_CRYPTO_LIBRARY MATCHES "\\.a$")
        set(quillet_cached_crypto_static ON)
    endif()
    set(quillet_want_static OFF)
    if(QUILLET_STATIC)
        set(quillet_want_static ON)
    endif()
    if(NOT quillet_cached_crypto_static STREQUAL quillet_want_static)
        unset(OPENSSL_CRYPTO_LIBRARY CACHE)
        unset(OPENSSL_SSL_LIBRARY CACHE)
    endif()
endif()

# Even the default build links the C++ runtime and yaml-cpp into the program. Loading
# libstdc++ and libyaml-cpp (which pulls libstdc++ in) as shared libraries costs about 1 ms of
# CPU at every start: `quillet -V` took 2.55 ms of task-clock against 1.68 ms linked in, on a
# 2-core AMD EPYC under a hypervisor, where every page fault of a fresh mapping is dear. That is
# a sixteenth of a whole run on a 64 MiB file. libcrypto stays shared: it is the library whose
# security updates must reach the installed program. yaml-cpp only reads the user's own preset
# file. The sanitizer build keeps the shared runtime, whose allocation functions the
# sanitizers replace.
find_library(QUILLET_YAML_CPP_STATIC_LIBRARY NAMES libyaml-cpp.a)

# The yaml-cpp to link `target` against: the archive where there is one.
function(quillet_link_yaml_cpp target)
    if(QUILLET_YAML_CPP_STATIC_LIBRARY AND NOT QUILLET_SANITIZE)
        target_include_directories(${target} PRIVATE
                                   $<TARGET_PROPERTY:yaml-cpp,INTERFACE_INCLUDE_DIRECTORIES>)
        target_link_libraries(${target} PRIVATE ${QUILLET_YAML_CPP_STATIC_LIBRARY})
    else()
        target_link_libraries(${target} PRIVATE yaml-cpp)
    endif()
endfunction()

# Links `target` statically when QUILLET_STATIC is on, and says which libcrypto it gets.
function(quillet_link_statically_if_asked target)
    if(QUILLET_STATIC)
        target_link_options(${target} PRIVATE -static)
        message(STATUS "quillet: static build, libcrypto linked in from ${OPENSSL_CRYPTO_LIBRARY}")
    else()
        if(NOT QUILLET_SANITIZE)
            target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
        endif()
        message(STATUS "quillet: shared libcrypto ${OPENSSL_CRYPTO_LIBRARY}")
    endif()
endfunction()
