"""Logs in to zolf with Python's ftplib, looks around and logs out.

Usage: ftplib_login.py PORT USER PASSWORD [DIRECTORY]
Prints what it saw; exits non-zero on any unexpected reply.
"""
import ftplib
import sys


def main():
    port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    directory = sys.argv[4] if len(sys.argv) > 4 else None
    ftp = ftplib.FTP(timeout=10)
    print(ftp.connect("127.0.0.1", port).strip())
    print(ftp.login(user, password).strip())
    print(ftp.sendcmd("SYST"))
    print("pwd", ftp.pwd())
    if directory:
        print(ftp.cwd(directory))
        print("pwd", ftp.pwd())
    print(ftp.voidcmd("NOOP"))
    try:
        ftp.sendcmd("XYZZY")
        print("XYZZY was accepted")
        return 1
    except ftplib.error_perm as e:
        print("refused", e)
    print(ftp.quit())
    return 0


if __name__ == "__main__":
    sys.exit(main())
