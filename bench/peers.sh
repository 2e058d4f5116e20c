# Sourced by the bench scripts: makes sure the named programs are present,
# installing their Debian packages when run as root, else printing the line.
# Usage: need_programs PROGRAM:PACKAGE ...
# (Installing nginx or lighttpd may start a system copy of it on port 80 on
# a machine whose policy lets services start; the benchmarks never use it.)
need_programs() {
  missing=""
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing="$missing ${pair#*:}"
  done
  install_missing
}

# The same for packages that bring a file rather than a program (a server's
# module): FILE:PACKAGE ...
need_files() {
  missing=""
  for pair in "$@"; do
    [ -e "${pair%%:*}" ] || missing="$missing ${pair#*:}"
  done
  install_missing
}

install_missing() {
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing:$missing"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing && return 0
  fi
  echo "Missing packages; install them with: apt-get install -y$missing" >&2
  return 1
}

# One line naming the peers' versions, for the table's heading.
peer_versions() {
  for pkg in "$@"; do
    printf '%s %s; ' "$pkg" "$(dpkg-query -W -f '${Version}' "$pkg" 2>/dev/null || echo '?')"
  done
  echo
}
