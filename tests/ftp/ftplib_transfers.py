"""Lists, downloads and uploads with Python's ftplib against zolf.

Usage: ftplib_transfers.py PORT USER PASSWORD LOCALDIR
Downloads the server's file "f" to LOCALDIR/got and uploads LOCALDIR/src
as "up". Prints the replies and the listing; exits non-zero on any
unexpected reply.
"""
import ftplib
import os
import sys


def main():
    port, user, password, local = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    ftp = ftplib.FTP(timeout=20)
    print(ftp.connect("127.0.0.1", port).strip())
    print(ftp.login(user, password).strip())
    lines = []
    print(ftp.retrlines("LIST", lines.append))
    for line in lines:
        print("list", line)
    with open(os.path.join(local, "got"), "wb") as out:
        print(ftp.retrbinary("RETR f", out.write))
    with open(os.path.join(local, "src"), "rb") as src:
        print(ftp.storbinary("STOR up", src))
    print(ftp.quit())
    return 0


if __name__ == "__main__":
    sys.exit(main())
