"""An encrypted session with Python's ftplib (FTP_TLS) against zolf.

Usage: ftplib_tls.py HOST PORT USER PASSWORD LOCALDIR
Logs in over TLS, protects the data connections (PROT P), lists, downloads
the server's file "f" to LOCALDIR/got and uploads LOCALDIR/src as "up".
Prints the replies; exits non-zero on any unexpected reply.
"""
import ftplib
import os
import ssl
import sys


def main():
    host, port = sys.argv[1], int(sys.argv[2])
    user, password, local = sys.argv[3], sys.argv[4], sys.argv[5]
    context = ssl.create_default_context()
    # The test certificate is self-signed.
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    ftp = ftplib.FTP_TLS(context=context, timeout=20)
    print(ftp.connect(host, port).strip())
    print(ftp.auth().strip())
    print(ftp.login(user, password).strip())
    print(ftp.prot_p().strip())
    print("cipher", ftp.sock.version())
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
