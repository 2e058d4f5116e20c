"""Python's ftplib against zolf over IPv6: on an IPv6 connection ftplib
sets up every data connection with EPSV (passive) or EPRT (active) on its
own. Logs in, lists, downloads and uploads both ways.

Usage: ftplib_ipv6.py PORT USER PASSWORD LOCALDIR
The account's tree holds big.bin; LOCALDIR holds the same big.bin. Prints
what it saw; exits non-zero at the first thing that is not as expected.
"""
import ftplib
import io
import os
import sys


def check(ok, what):
    if not ok:
        print("FAILED:", what)
        sys.exit(1)
    print("ok", what)


def main():
    port, user, password, local = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    with open(os.path.join(local, "big.bin"), "rb") as f:
        big = f.read()
    sent = []

    ftp = ftplib.FTP(timeout=10)
    ftp.connect("::1", port)
    check(ftp.af == ftplib.socket.AF_INET6, "connected over IPv6")
    ftp.putcmd = (lambda put: lambda line: (sent.append(line), put(line)))(ftp.putcmd)
    ftp.login(user, password)
    for passive in (True, False):
        ftp.set_pasv(passive)
        mode = "passive" if passive else "active"
        lines = []
        ftp.retrlines("LIST", lines.append)
        check(any(line.endswith(" big.bin") for line in lines), mode + " LIST names big.bin")
        got = io.BytesIO()
        ftp.retrbinary("RETR big.bin", got.write)
        check(got.getvalue() == big, mode + " RETR big.bin whole")
        name = "up-%s.bin" % mode
        ftp.storbinary("STOR " + name, io.BytesIO(big[:100000]))
        check(ftp.size(name) == 100000, mode + " STOR " + name)
    check(any(line.startswith("EPSV") for line in sent), "EPSV used")
    check(any(line.startswith("EPRT |2|::1|") for line in sent), "EPRT |2| used")
    check(not any(line.startswith(("PASV", "PORT")) for line in sent), "no PASV or PORT")
    ftp.quit()


main()
