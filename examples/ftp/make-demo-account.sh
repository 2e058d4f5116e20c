#!/bin/sh
# Writes accounts/demo.ini for the demo tree beside this script. An account's
# RootDirectory must be a full path, and this directory may lie anywhere, so
# the file is made where it is used instead of being kept in the repository.
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$here/accounts"
cat > "$here/accounts/demo.ini" <<EOT
; Demo account, written by make-demo-account.sh: user demo, password demo,
; kept as a hash (zolf -hash prints one for a password of your own).
PassWord=\$6\$w7oKhVq4xkal6VxH\$yh7V5eph6tG8342FNr3O/WyicWHehKeW/ZbtNS.FZS6UFtX/YgmkNjKjCholdSvvpBbF/bD.1rTYNs88fUYtT0
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
