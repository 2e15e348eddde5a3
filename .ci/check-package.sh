#!/usr/bin/env bash
# Checks the manual page and the Debian package: the page formats without a warning and names
# the project's version, the packaged binary takes libcrypto from the system (so OpenSSL's
# security updates reach it), the shell completions are shipped in their standard places, the
# .deb built from the release build installs with dpkg, its quillet runs and reports the
# project's version, man finds the page; then the package is removed again, also when a check
# fails, so the machine is left as it was found.
#
# Run from the repository root, as root, after the test suite:  bash .ci/check-package.sh
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive
build_dir=build/release
installed_by_us=0
work=""

fail() {
    echo "check-package: FAILED: $*" >&2
    exit 1
}

remove_package() {
    if [[ $installed_by_us == 1 ]]; then
        installed_by_us=0
        # A package that dpkg left half-configured is removed the same way.
        if ! dpkg -r quillet >/dev/null; then
            echo "check-package: could not remove the quillet package" >&2
            return 1
        fi
    fi
}
cleanup() {
    [[ -z $work ]] || rm -rf "$work"
    remove_package
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

[[ -f CMakeLists.txt && -f quillet.1.in ]] || fail "run this from the repository root"
[[ $(id -u) == 0 ]] || fail "installing a package needs root"

package_status() {
    dpkg-query -W -f='${Status}' quillet 2>/dev/null || true
}

work=$(mktemp -d)
version=$(sed -n 's/^project(quillet VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ -n $version ]] || fail "no project version found in CMakeLists.txt"

apt_updated=0
apt_install() {
    if [[ $apt_updated == 0 ]]; then
        apt-get update -qq </dev/null
        apt_updated=1
    fi
    apt-get install -y -qq "$@" </dev/null >/dev/null
}

# 1. The package, from the release build (configured and built only where needed).
log=$work/build.log
if [[ ! -f $build_dir/CMakeCache.txt ]]; then
    cmake --preset release >"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "cmake --preset release"; }
fi
cmake --build --preset release >"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "the release build"; }
rm -f "$build_dir"/quillet_*.deb
(cd "$build_dir" && cpack -G DEB) >"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "cpack -G DEB"; }
debs=("$build_dir"/quillet_*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || fail "cpack made no single quillet .deb in $build_dir"
deb=${debs[0]}
deb_version=$(dpkg-deb -f "$deb" Version)
[[ $deb_version == "$version" ]] || fail "package version is '$deb_version', expected '$version'"

# 2. The manual page, made by the build, formats without a single warning and names the version.
page_source=$build_dir/quillet.1
[[ -f $page_source ]] || fail "the build made no $page_source"
command -v groff >/dev/null || apt_install groff-base
groff_out=$(groff -man -ww -z "$page_source" 2>&1) ||
    fail "groff exited with status $? on $page_source"
[[ -z $groff_out ]] || fail "groff warns about $page_source: $groff_out"
grep -qF "\"quillet $version\"" "$page_source" ||
    fail "the title line of $page_source does not name 'quillet $version'"
! grep -q '@[A-Z_]*@' "$page_source" || fail "$page_source holds an unsubstituted @VARIABLE@"

# 3. The packaged binary loads libcrypto from the system, and the package depends on it.
dpkg-deb -x "$deb" "$work/unpacked"
packaged=$work/unpacked/usr/bin/quillet
[[ -x $packaged ]] || fail "the package holds no usr/bin/quillet"
crypto_line=$(ldd "$packaged" 2>&1 | grep -E '^\s*libcrypto\.so\.3 => ') ||
    fail "ldd of the packaged quillet lists no libcrypto.so.3: $(ldd "$packaged" 2>&1 | tr '\n' ' ')"
crypto_path=$(awk '{print $3}' <<<"$crypto_line")
crypto_owner=$(dpkg-query -S "$(realpath "$crypto_path")" 2>/dev/null) ||
    fail "the packaged quillet loads $crypto_path, which no Debian package installed"
[[ $(dpkg-deb -f "$deb" Depends) == *libssl3* ]] ||
    fail "the package does not depend on libssl3: $(dpkg-deb -f "$deb" Depends)"

# ... and ships the shell completions where bash-completion, zsh and fish look for them.
for completion in "bash-completion/completions/quillet:quillet.bash" \
    "zsh/vendor-completions/_quillet:_quillet" "fish/vendor_completions.d/quillet.fish:quillet.fish"; do
    packaged_file=$work/unpacked/usr/share/${completion%%:*}
    cmp -s "$packaged_file" "completions/${completion#*:}" ||
        fail "the package holds no usr/share/${completion%%:*} the same as completions/${completion#*:}"
done

# 4. Install it. A quillet package left from an earlier run is replaced and removed too.
if [[ $(package_status) == *" installed" ]]; then
    echo "check-package: note: a quillet package was already installed; it is replaced"
fi
installed_by_us=1
if ! dpkg -i "$deb" >"$log" 2>&1; then
    # dpkg-shlibdeps may ask for a library the machine lacks: let apt bring it.
    echo "check-package: note: dpkg -i did not finish, installing through apt-get:" >&2
    sed 's/^/    /' "$log" >&2
    apt_install "./$deb" || fail "neither dpkg -i nor apt-get could install $deb"
fi
[[ $(package_status) == "install ok installed" ]] ||
    fail "quillet is not fully installed after installing $deb"
[[ $(dpkg-query -S /usr/bin/quillet 2>/dev/null) == "quillet: /usr/bin/quillet" ]] ||
    fail "/usr/bin/quillet does not come from the quillet package"

# 5. The installed program runs and names its version.
version_line=$(/usr/bin/quillet -V </dev/null) || fail "/usr/bin/quillet -V exited with status $?"
[[ $version_line == "quillet $version ("* ]] ||
    fail "/usr/bin/quillet -V printed '$version_line', expected it to start with 'quillet $version ('"

# ... and writes a torrent.
printf 'quillet package check\n' >"$work/content.txt"
/usr/bin/quillet -a http://tracker.invalid "$work/content.txt" "$work/out.torrent" \
    </dev/null >/dev/null || fail "/usr/bin/quillet could not describe a small file"
[[ $(head -c 11 "$work/out.torrent") == "d8:announce" ]] ||
    fail "/usr/bin/quillet wrote no metainfo document"

# 6. man finds the page, where man-db is present.
man_result="man not present, page not looked up"
if command -v man >/dev/null; then
    page=$(dpkg-query -L quillet | grep '/man1/quillet\.1' | head -n 1) ||
        fail "the package holds no manual page"
    if [[ -e $page ]]; then
        found=$(man -w -a quillet 2>&1) || true
        grep -qxF "$page" <<<"$found" ||
            fail "man -w quillet does not find $page (it found: ${found//$'\n'/ })"
        man_result="man -w finds $page"
    elif grep -rqs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d; then
        man_result="dpkg is set to leave manual pages out, page not looked up"
    else
        fail "$page is listed in the package but was not installed"
    fi
fi

remove_package || fail "dpkg -r quillet failed"
[[ $(package_status) != *" installed" ]] ||
    fail "quillet is still installed after dpkg -r"
[[ ! -e /usr/bin/quillet ]] || fail "/usr/bin/quillet is still there after dpkg -r"

echo "check-package: ok: $(basename "$deb") installed, '$version_line', libcrypto from" \
    "${crypto_owner%%:*}, $man_result, removed again"
