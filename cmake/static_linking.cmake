# How the binary is linked. By default it uses the system's shared libraries like any other
# Debian program, so security updates of libcrypto reach it without a rebuild. Loading them
# costs about 1 ms at every start (a run on a tiny file takes about 2.6 ms instead of 1.5 ms
# with libcrypto and the C++ runtime linked in), which only runs on small inputs notice.
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

# Links `target` statically when QUILLET_STATIC is on, and says which libcrypto it gets.
function(quillet_link_statically_if_asked target)
    if(QUILLET_STATIC)
        target_link_options(${target} PRIVATE -static)
        message(STATUS "quillet: static build, libcrypto linked in from ${OPENSSL_CRYPTO_LIBRARY}")
    else()
        message(STATUS "quillet: shared libcrypto ${OPENSSL_CRYPTO_LIBRARY}")
    endif()
endfunction()
