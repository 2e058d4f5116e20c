#!/bin/sh
# Measures zolf over loopback and prints the figures: download and upload
# throughput of a 256 MiB file (curl, passive mode, binary) and sessions per
# second (Python's ftplib: login, CWD, LIST of 10 entries, QUIT) with CLIENTS
# clients at once for SECONDS_PER_RUN seconds.
# Usage: bench/ftp.sh [ZOLF]   (default: build/bin/zolf)
# Environment: CLIENTS (default 4), SECONDS_PER_RUN (default 5).
# To measure another FTP server already running on 127.0.0.1 instead:
#   FTP_PORT=21 FTP_USER=u FTP_PASS=p FTP_ROOT=/srv/u bench/ftp.sh
# (the test files are made in FTP_ROOT, the user's root directory, which
# must take uploads).
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
zolf=${1:-$root/build/bin/zolf}
clients=${CLIENTS:-4}
seconds=${SECONDS_PER_RUN:-5}
user=${FTP_USER:-bench}
pass=${FTP_PASS:-bench}
for tool in curl python3 cmp; do
  command -v "$tool" >/dev/null || { echo "bench/ftp.sh needs $tool." >&2; exit 1; }
done

dir=$(mktemp -d /tmp/zolf-bench-XXXXXX)
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
  if [ -n "$FTP_PORT" ] && [ -d "$files" ]; then
    rm -rf "$files/big.bin" "$files/up.bin" "$files/small"
  fi
  return 0
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Starts zolf in $dir with a bench account; sets port and files.
start_zolf() {
  if [ ! -x "$zolf" ]; then
    echo "No zolf at $zolf; build first (make) or name it." >&2
    exit 1
  fi
  zolf=$(cd "$(dirname "$zolf")" && pwd)/$(basename "$zolf")
  # A command port and a run of 32 data ports that are free right now.
  ports=$(python3 - <<'PY'
import random, socket
def free(p):
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", p))
        return True
    except OSError:
        return False
    finally:
        s.close()
while True:
    port = random.randrange(20000, 30000)
    data = port + 100
    if free(port) and all(free(p) for p in range(data, data + 32)):
        print(port, data)
        break
PY
)
  port=${ports% *}
  files=$dir/root
  mkdir -p "$dir/accounts" "$files" "$dir/logs"
  cat > "$dir/zolf.ini" <<EOT
; bench/ftp.sh
MaximumBandwidth=0
Address=127.0.0.1
ExternIP=127.0.0.1
TimeoutTime=240
MaxUsers=32
Port=$port
DataPort=${ports#* }
LogMaxEntries=1000000
LogRotation=2
LogMaxAge=24
LogDir=logs
EOT
  cat > "$dir/accounts/$user.ini" <<EOT
; bench/ftp.sh
PassWord=$pass
AllowIPAddress=ALL
CloseIfIdle=no
AllowFullBandwidth=yes
RootDirectory=$files
DiskQuota=0
AddCommand=CWD
AddCommand=PASV
AddCommand=LIST
AddCommand=RETR
AddCommand=STOR
AddCommand=TYPE
EOT
  (cd "$dir" && exec "$zolf" >/dev/null 2>"$dir/zolf.err") &
  pid=$!
}

if [ -n "$FTP_PORT" ]; then
  if [ ! -d "$FTP_ROOT" ]; then
    echo "FTP_ROOT must name the user's root directory." >&2
    exit 1
  fi
  port=$FTP_PORT
  files=$FTP_ROOT
else
  start_zolf
fi
mkdir -p "$files/small"
for i in 1 2 3 4 5 6 7 8 9 10; do echo "file $i" > "$files/small/file$i.txt"; done
head -c 268435456 /dev/urandom > "$files/big.bin"

if ! python3 - "$port" <<'PY'
import socket, sys, time
end = time.time() + 10
while time.time() < end:
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.05)
sys.exit(1)
PY
then
  echo "No FTP server answers on port $port." >&2
  [ -f "$dir/zolf.err" ] && cat "$dir/zolf.err" >&2
  exit 1
fi

url="ftp://127.0.0.1:$port"
speed=$(curl -sS -u "$user:$pass" -o /dev/null -w '%{speed_download}' "$url/big.bin")
echo "$speed" | awk '{ printf "download: %.0f MiB/s (256 MiB, curl, passive)\n", $1 / 1048576 }'
speed=$(curl -sS -u "$user:$pass" -T "$files/big.bin" -w '%{speed_upload}' "$url/up.bin")
cmp -s "$files/big.bin" "$files/up.bin" || { echo "The upload arrived damaged." >&2; exit 1; }
echo "$speed" | awk '{ printf "upload: %.0f MiB/s (256 MiB, curl, passive)\n", $1 / 1048576 }'

python3 - "$port" "$user" "$pass" "$clients" "$seconds" <<'PY'
import ftplib, multiprocessing, sys, time
port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
clients, seconds = int(sys.argv[4]), float(sys.argv[5])
def client(_):
    done = 0
    end = time.time() + seconds
    while time.time() < end:
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=10)
        ftp.login(user, password)
        ftp.cwd("small")
        lines = []
        ftp.retrlines("LIST", lines.append)
        assert len(lines) == 10, lines
        ftp.quit()
        done += 1
    return done
with multiprocessing.Pool(clients) as pool:
    total = sum(pool.map(client, range(clients)))
print("sessions: %.0f per second (login, CWD, LIST of 10 entries, QUIT; %d clients, %g s)"
      % (total / seconds, clients, seconds))
PY
