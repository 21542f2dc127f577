#!/usr/bin/env bash
# Checks with dpkg that the Debian packages needed to build the suite (deps.sh build: what
# `make demo` needs), to build the Debian package (deps.sh package: what `make package` needs)
# or to run every test as well (deps.sh test: what `make test` and CI need) are installed. As root it installs the missing ones with apt-get; otherwise it stops with the
# one apt-get line to run.
set -euo pipefail

# Configuring the project finds GoogleTest and Google Benchmark, so building needs them too;
# libxml2 reads the FIX data dictionaries; cctz reads site schedules' time zones from tzdata;
# libnats is the client of the JetStream application side.
build=(g++ cmake make libncurses-dev libxml2-dev libcctz-dev tzdata libnats-dev libgtest-dev
    libbenchmark-dev)
# The package build leaves tests and benchmarks out; CPack needs dpkg-shlibdeps and file, the
# hardening flags come from dpkg-buildflags.
package=(g++ cmake make libncurses-dev libxml2-dev libcctz-dev tzdata libnats-dev dpkg-dev file)
# Sanitizer and fuzz builds (clang), the terminal test of sitewatch (tmux), the TLS test
# (stunnel4, openssl), the manual pages (groff, man-db), the units (systemd-analyze) and the
# package (dpkg-dev with dpkg-shlibdeps, file, lintian), and the JetStream cluster the stream
# tests start (nats-server).
tests=(clang libclang-rt-14-dev tmux stunnel4 openssl groff-base man-db systemd dpkg-dev file
    lintian nats-server)
# The interoperability tests' counterparty engine: those tests are skipped without it.
optional=(libquickfix-dev)

case "${1:-}" in
build) wanted=("${build[@]}") ;;
package) wanted=("${package[@]}") ;;
test) wanted=("${build[@]}" "${tests[@]}") ;;
*)
    echo "Usage: $0 build|package|test" >&2
    exit 2
    ;;
esac

missing() {
    local p
    for p in "$@"; do
        dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed' || echo "$p"
    done
}

mapfile -t needed < <(missing "${wanted[@]}")
mapfile -t extra < <([ "$1" = test ] && missing "${optional[@]}")
[ ${#needed[@]} -eq 0 ] && [ ${#extra[@]} -eq 0 ] && exit 0

all=("${needed[@]}" "${extra[@]}")
if [ "$(id -u)" -ne 0 ]; then
    if [ ${#needed[@]} -gt 0 ]; then
        echo "Missing Debian packages; install them with:" >&2
        echo "    sudo apt-get install ${all[*]}" >&2
        exit 1
    fi
    echo "note: ${extra[*]} is not installed; the interoperability tests are skipped" >&2
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
echo "Installing ${all[*]}"
apt-get update -qq
if [ ${#needed[@]} -gt 0 ]; then
    apt-get install -y -qq "${needed[@]}"
fi
if [ ${#extra[@]} -gt 0 ] && ! apt-get install -y -qq "${extra[@]}"; then
    echo "warning: ${extra[*]} could not be installed; the interoperability tests are skipped" >&2
fi
