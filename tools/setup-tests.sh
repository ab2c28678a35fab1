#!/bin/sh
# Package lists are split into words on purpose:
# shellcheck disable=SC2086
#
# Makes sure that every Debian package the tests need is installed, and
# installs the missing ones with apt-get, through sudo when not run as root.
# Where it cannot, it names the missing packages and fails.
#
#   tools/setup-tests.sh          check, and install what is missing
#   tools/setup-tests.sh --check  only check: status 1 when some are missing
#   tools/setup-tests.sh --list   print the packages, one a line
set -u

# cmake, g++: the builds; python3: end-to-end and interop tests; googletest
# (sources, for the cross build) and libgtest-dev: unit tests;
# g++-mingw-w64-x86-64, wine, wine64: the Windows build and its tests;
# strace: injected faults; dosbox: the COM programs; clang, libclang-rt-dev: fuzz targets (libFuzzer);
# groff-base: the manual page test and its text in the Windows archive;
# mandoc: the manual page's lint; lighttpd: the scripts served as CGI programs;
# dpkg-dev, file: the Debian package's dependencies; lintian: its check.
PACKAGES="cmake g++ python3 googletest libgtest-dev g++-mingw-w64-x86-64 wine wine64 strace
dosbox clang libclang-rt-dev groff-base mandoc lighttpd dpkg-dev file lintian"

say() {
  printf 'setup-tests: %s\n' "$*"
}

# Prints the packages of PACKAGES that dpkg does not list as installed.
missing_packages() {
  installed=" $(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' $PACKAGES 2>/dev/null |
    while read -r status name; do
      [ "$status" = ii ] && printf '%s ' "$name"
    done) "
  missing=""
  for package in $PACKAGES; do
    case "$installed" in
      *" $package "*) ;;
      *) missing="$missing $package" ;;
    esac
  done
  printf '%s' "${missing# }"
}

give_up() {
  say "$1"
  say "missing: $2"
  say "install them (apt-get install $2), then run make test again"
  exit 1
}

case "${1:-}" in
  --list)
    printf '%s\n' $PACKAGES
    exit 0
    ;;
  --check | "") ;;
  *)
    say "usage: $0 [--check | --list]"
    exit 2
    ;;
esac

if ! command -v dpkg-query >/dev/null 2>&1; then
  say "dpkg-query not found: this check needs a Debian system"
  say "the tests need: $(printf '%s ' $PACKAGES)"
  exit 1
fi

missing=$(missing_packages)
if [ -z "$missing" ]; then
  say "every package the tests need is installed"
  exit 0
fi
[ "${1:-}" = --check ] && give_up "some packages the tests need are not installed" "$missing"

if [ "$(id -u)" = 0 ]; then
  as_root=""
elif command -v sudo >/dev/null 2>&1; then
  as_root="sudo"
else
  give_up "not root and no sudo: cannot install packages" "$missing"
fi

say "installing:$(printf ' %s' $missing)"
if ! $as_root apt-get update -q ||
  ! $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing; then
  give_up "apt-get failed" "$missing"
fi

missing=$(missing_packages)
[ -n "$missing" ] && give_up "still not installed after apt-get" "$missing"
say "every package the tests need is installed"
exit 0
