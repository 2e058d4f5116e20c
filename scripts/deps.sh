#!/bin/sh
# Makes sure the packages the build and the tests need are present.
# Run as root it installs what is missing; otherwise it prints the line to run.
# Usage: deps.sh [extra-package ...]
# With DEPS_TEST=1 it also wants the FTP and HTTP clients the tests use.
missing=""
need() { # need PACKAGE TEST-COMMAND
  if ! sh -c "$2" >/dev/null 2>&1; then missing="$missing $1"; fi
}
need cmake "command -v cmake"
need g++ "command -v g++"
need make "command -v make"
need libgtest-dev "test -f /usr/include/gtest/gtest.h"
need libgmock-dev "test -f /usr/include/gmock/gmock.h"
need curl "command -v curl"
need wget "command -v wget"
need python3 "command -v python3"
need mandoc "command -v mandoc"
need libssl-dev "test -f /usr/include/openssl/ssl.h"
# Password hashes (crypt_rn, crypt_gensalt_rn).
need libcrypt-dev "test -f /usr/include/crypt.h"
need openssl "command -v openssl"
need zlib1g-dev "test -f /usr/include/zlib.h"
# The real clients the tests drive against the servers.
if [ "${DEPS_TEST:-0}" = 1 ]; then
  need lftp "command -v lftp"
  need rclone "command -v rclone"
  need ncftp "command -v ncftpput"
  need ftp "command -v ftp"
  need goaccess "command -v goaccess"
  need chromium "command -v chromium"
  need logrotate "command -v logrotate || test -x /usr/sbin/logrotate"
  need haproxy "command -v haproxy || test -x /usr/sbin/haproxy"
  need nghttp2-client "command -v h2load"
  need python3-requests "python3 -c 'import requests'"
  need nodejs "command -v node"
fi
for extra in "$@"; do
  case "$extra" in
    chromium) need chromium "command -v chromium" ;;
    clang) need clang "command -v clang" ;;
    *) need "$extra" "dpkg -s $extra" ;;
  esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "Installing:$missing"
  # Another installation (unattended upgrades, a second make) may hold the
  # package manager's lock: wait for it (up to 5 minutes) rather than fail.
  lock="-o DPkg::Lock::Timeout=300"
  DEBIAN_FRONTEND=noninteractive apt-get $lock update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get $lock install -y -qq $missing &&
    exit 0
  echo "Installing failed; run: apt-get install -y$missing" >&2
  exit 1
fi
echo "Missing packages. Run: sudo apt-get install -y$missing" >&2
exit 1
