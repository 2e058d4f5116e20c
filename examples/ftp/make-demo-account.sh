#!/bin/sh
# Writes accounts/demo.ini for the demo tree beside this script. An account's
# RootDirectory must be a full path, and this directory may lie anywhere, so
# the file is made where it is used instead of being kept in the repository.
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$here/accounts"
cat > "$here/accounts/demo.ini" <<EOT
; Demo account, written by make-demo-account.sh: user demo, password demo.
PassWord=demo
AllowIPAddress=ALL
CloseIfIdle=yes
AllowFullBandwidth=yes
RootDirectory=$here/tree
DiskQuota=10485760
AddCommand=CWD
AddCommand=CDUP
AddCommand=PASV
AddCommand=PORT
AddCommand=LIST
AddCommand=RETR
AddCommand=STOR
AddCommand=APPE
AddCommand=TYPE
AddCommand=SIZE
AddCommand=MDTM
AddCommand=DELE
AddCommand=MKD
AddCommand=RMD
AddCommand=RNFR
AddCommand=RNTO
EOT
