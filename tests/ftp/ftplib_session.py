"""A whole session of Python's ftplib against zolf, with the calls that
need more than the basic commands: a refused login, nlst, mlsd, dir of a
path, abort() in the middle of a large download and upload, storlines and
retrlines, and several commands sent in one segment.

Usage: ftplib_session.py PORT USER PASSWORD LOCALDIR
The account's tree holds big.bin (several MiB), pub/ (with readme.txt and
the empty directory pub/empty/) and nothing else. Prints what it saw;
exits non-zero at the first thing that is not as expected.
"""
import ftplib
import os
import socket
import sys


def check(ok, what):
    if not ok:
        print("FAILED:", what)
        sys.exit(1)
    print("ok", what)


def aborted_download(ftp, size):
    """Reads a little of a large download, then aborts it."""
    conn = ftp.transfercmd("RETR big.bin")
    got = conn.recv(8192)
    reply = ftp.abort()
    conn.close()
    check(len(got) > 0 and len(got) < size, "part of big.bin arrived before ABOR")
    return reply


def main():
    port, user, password, local = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    size = os.path.getsize(os.path.join(local, "big.bin"))

    # A wrong password, and a name that has no account: the same refusal.
    for name, pw in ((user, password + "x"), ("nobody", password)):
        ftp = ftplib.FTP(timeout=10)
        ftp.connect("127.0.0.1", port)
        try:
            ftp.login(name, pw)
            check(False, "login of %s refused" % name)
        except ftplib.error_perm as e:
            check(str(e) == "530 Login incorrect.", "login of %s refused with 530" % name)
        ftp.close()

    ftp = ftplib.FTP(timeout=10)
    ftp.connect("127.0.0.1", port)
    ftp.login(user, password)
    check(sorted(ftp.nlst()) == ["big.bin", "pub"], "nlst of the top")
    check(sorted(ftp.nlst("pub")) == ["empty", "readme.txt"], "nlst of pub")
    check(ftp.nlst("pub/empty") == [], "nlst of an empty directory")
    facts = dict(ftp.mlsd("pub"))
    check(facts["readme.txt"]["type"] == "file" and facts["readme.txt"]["size"] == "6"
          and facts["empty"]["type"] == "dir" and facts["."]["type"] == "cdir",
          "mlsd of pub")
    check(facts["readme.txt"]["unix.mode"] == "0640", "mlsd shows the mode")
    lines = []
    ftp.dir("pub", lines.append)
    check(len(lines) == 2 and any(l.endswith(" readme.txt") and l.startswith("-rw-r-----")
                                  for l in lines), "dir('pub') lists pub")
    lines = []
    ftp.retrlines("LIST -la pub/readme.txt", lines.append)
    check(len(lines) == 1 and lines[0].endswith(" pub/readme.txt"), "LIST of one file")
    try:
        ftp.dir("missing")
        check(False, "dir of a missing path refused")
    except ftplib.error_perm as e:
        check(str(e).startswith("550"), "dir of a missing path refused with 550")

    # abort() in the middle of a large download: the ABOR reply comes, and
    # the next command gets its own reply.
    reply = aborted_download(ftp, size)
    check(reply.startswith("226"), "abort() answered: " + reply)
    check(ftp.voidcmd("NOOP") == "200 Zzzzz...", "NOOP after abort() has its own reply")
    # An abort during an upload.
    conn = ftp.transfercmd("STOR partial.bin")
    conn.sendall(b"x" * 100000)
    reply = ftp.abort()
    conn.close()
    check(reply.startswith("226"), "abort() of an upload answered")
    check(ftp.pwd() == "/", "PWD after the aborted upload has its own reply")
    # The whole file still downloads after the aborts.
    got = bytearray()
    ftp.retrbinary("RETR big.bin", got.extend)
    with open(os.path.join(local, "big.bin"), "rb") as f:
        check(bytes(got) == f.read(), "big.bin downloads whole after the aborts")

    # Text lines up and down.
    with open(os.path.join(local, "lines.txt"), "rb") as f:
        ftp.storlines("STOR lines.txt", f)
    back = []
    ftp.retrlines("RETR lines.txt", back.append)
    check(back == ["first line", "second line", "", "last"], "storlines and retrlines")

    # Several commands in one segment: each runs, in order, with its reply.
    ftp.sock.sendall(b"NOOP\r\nCWD pub\r\nPWD\r\nCWD missing\r\nPWD\r\nCDUP\r\n")
    replies = [ftp.getresp() for _ in range(3)]
    check(replies[0] == "200 Zzzzz...", "first of the segment")
    check(replies[1] == "250 Requested action okay, completed.", "second of the segment")
    check(replies[2] == '257 "/pub/" is current directory.', "third of the segment")
    try:
        ftp.getresp()
        check(False, "failed CWD of the segment refused")
    except ftplib.error_perm as e:
        check(str(e) == "550 Could not CWD.", "failed CWD of the segment refused")
    check(ftp.getresp() == '257 "/pub/" is current directory.', "a failed CWD moves nothing")
    check(ftp.getresp() == "250 Requested action okay, completed.", "last of the segment")
    print(ftp.quit())
    return 0


if __name__ == "__main__":
    sys.exit(main())
