# shellcheck shell=bash
# Shared by the scripts that build Quillon's Windows dependencies: where they go and how
# Debian's source packages are fetched without touching the system's apt configuration.
# Sourced, not run.

QUILLON_WINDOWS_CACHE=${QUILLON_WINDOWS_CACHE:-/var/cache/quillon-windows}
repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck disable=SC2034 # used by the scripts that source this file
toolchain=$repo_root/cmake/toolchain-mingw-w64.cmake

# Downloads and unpacks the source package $1 (version $2, or the newest when empty) into
# the current directory. The deb-src lines, lists and package cache are private to
# $QUILLON_WINDOWS_CACHE/apt, so the system's apt state stays as it was.
fetch_debian_source() {
    local package=$1 version=$2 apt_dir=$QUILLON_WINDOWS_CACHE/apt
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    cat >"$apt_dir/sources.list.d/debian-src.sources" <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    local apt_options=(-o "Dir::Etc::SourceList=/dev/null"
                       -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
                       -o "Dir::State::Lists=$apt_dir/lists"
                       -o "Dir::Cache=$apt_dir/cache"
                       -o "APT::Sandbox::User=root") # the private cache is root's alone
    apt-get "${apt_options[@]}" -qq update
    apt-get "${apt_options[@]}" -qq source --only-source "$package${version:+=$version}" >/dev/null
}

# Seconds since $1 (from date +%s), as "Nm Ss".
elapsed() {
    local s=$(($(date +%s) - $1))
    printf '%dm %02ds' $((s / 60)) $((s % 60))
}
