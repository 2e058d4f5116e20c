"""Manages files on zolf with Python's ftplib: mkd, rename across directories, size, mdtm,
delete and rmd, and the refusals a client must be able to tell apart.

Usage: ftplib_files.py PORT USER PASSWORD
Expects report.txt (1234 bytes) and many/ (too many entries for STAT) at the top.
Prints what it saw; exits non-zero on any unexpected reply.
"""
import ftplib
import sys


def expect_refusal(kind, call, *args):
    try:
        call(*args)
    except kind as e:
        print("refused", e)
        return True
    print("accepted", call.__name__, args)
    return False


def main():
    port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    ftp = ftplib.FTP(timeout=10)
    ftp.connect("127.0.0.1", port)
    ftp.login(user, password)
    ok = True
    print("mkd", repr(ftp.mkd("archive")))
    ok &= expect_refusal(ftplib.error_perm, ftp.mkd, "archive")  # exists
    # Down into the new directory, up again, and down once more.
    print("rename", ftp.rename("report.txt", "archive/report-2001.txt"))
    print("rename", ftp.rename("archive/report-2001.txt", "up.txt"))
    ftp.rename("up.txt", "archive/report-2001.txt")
    print("size", ftp.size("archive/report-2001.txt"))
    print("mdtm", ftp.sendcmd("MDTM archive/report-2001.txt"))
    # Times and modes kept the way rclone, lftp and ncftp keep them; the
    # one does not undo the other.
    print("chmod", ftp.sendcmd("SITE CHMOD 640 archive/report-2001.txt"))
    print("mfmt", ftp.sendcmd("MFMT 20010203040506 archive/report-2001.txt"))
    print("mdtm", ftp.sendcmd("MDTM archive/report-2001.txt"))
    print("stat", ftp.sendcmd("STAT archive/report-2001.txt").split("\n")[1].split()[0])
    # STAT of a directory lists its entries on the command connection.
    lines = ftp.sendcmd("STAT archive").split("\n")
    print("stat dir", len(lines), lines[1].split()[-1])
    lines = ftp.sendcmd("STAT many").split("\n")
    print("stat many", lines[0], len(lines) > 100, lines[-2], lines[-1])
    ok &= expect_refusal(ftplib.error_perm, ftp.sendcmd, "SITE CHMOD 4755 archive")
    for line in ("HELP SITE", "ALLO 10", "MODE S", "STRU F", "MODE B", "XPWD"):
        print(line.lower(), ftp.sendcmd(line) if line != "MODE B" else
              expect_refusal(ftplib.error_perm, ftp.sendcmd, line))
    ok &= expect_refusal(ftplib.error_perm, ftp.rmd, "archive")  # not empty
    print("delete", ftp.delete("archive/report-2001.txt"))
    print("rmd", ftp.rmd("archive"))
    ok &= expect_refusal(ftplib.error_temp, ftp.delete, "report.txt")
    ok &= expect_refusal(ftplib.error_temp, ftp.rename, "report.txt", "x")
    # The failed RNFR still wants RNTO next: anything else is out of order.
    ok &= expect_refusal(ftplib.error_perm, ftp.voidcmd, "NOOP")
    ok &= expect_refusal(ftplib.error_perm, ftp.mkd, "../escape")
    ok &= expect_refusal(ftplib.error_perm, ftp.size, "../escape")
    print(ftp.quit())
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
