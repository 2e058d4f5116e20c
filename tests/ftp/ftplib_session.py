"""A whole session of Python's ftplib against zolf, over either address
family, in clear text or encrypted (FTP_TLS with PROT P): a refused login,
a listing, nlst, mlsd, dir of a path, abort() in the middle of a large
download and upload, storlines and retrlines, several commands sent in one
segment, passive and active downloads and uploads, and an upload past a
quota, refused with 452 after a clean end of its data connection.

Usage: ftplib_session.py HOST PORT USER PASSWORD LOCALDIR [tls IMPLICITPORT]
The account's tree holds big.bin (several MiB), f, pub/ (with readme.txt
and the empty directory pub/empty/) and nothing else; LOCALDIR holds the
same big.bin, lines.txt and src; q (password pw) has a quota far below
big.bin. Downloads f to LOCALDIR/got-passive and
got-active, uploads src as up-passive and up-active. Prints the replies
and what it saw; exits non-zero at the first thing that is not as expected.
"""
import ftplib
import io
import os
import socket
import ssl
import sys


def check(ok, what):
    if not ok:
        print("FAILED:", what)
        sys.exit(1)
    print("ok", what)


class ResumingFTP_TLS(ftplib.FTP_TLS):
    """FTP_TLS whose data connections resume the control connection's TLS
    session, as the server requires (ftplib's own does not)."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host,
                                            session=self.sock.session)
        return conn, size


class ImplicitFTP_TLS(ResumingFTP_TLS):
    """TLS from the first byte: no AUTH, data protected without PROT P."""

    def connect(self, host, port):
        self.host, self.port = host, port
        sock = socket.create_connection((host, port), self.timeout)
        self.af = sock.family
        self.sock = self.context.wrap_socket(sock, server_hostname=host)
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = self.getresp()
        self._prot_p = True
        return self.welcome


def implicit_session(host, port, user, password, local):
    ftp = client(True, implicit=True)
    check(ftp.connect(host, port) == "220 Ready.", "greeting over implicit TLS")
    ftp.login(user, password)
    check({"big.bin", "f", "pub"} <= set(ftp.nlst()), "nlst over implicit TLS")
    got = []
    ftp.retrbinary("RETR f", got.append)
    with open(os.path.join(local, "got-passive"), "rb") as f:
        check(b"".join(got) == f.read(), "f downloads whole over implicit TLS")


def client(tls, resuming=True, implicit=False):
    if not tls:
        return ftplib.FTP(timeout=20)
    context = ssl.create_default_context()
    # The test certificate is self-signed.
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    kind = ImplicitFTP_TLS if implicit else ResumingFTP_TLS if resuming else ftplib.FTP_TLS
    return kind(context=context, timeout=20)


def refused_without_resumption(host, port, user, password):
    """A data connection that brings a TLS session of its own, not the
    control connection's, is refused after its 150."""
    ftp = client(True, resuming=False)
    ftp.connect(host, port)
    ftp.login(user, password)
    ftp.prot_p()
    conn = ftp.transfercmd("NLST")
    try:
        check(conn.recv(100) == b"", "nothing listed on a data connection of its own")
    except (OSError, ssl.SSLError):
        pass
    conn.close()
    try:
        ftp.voidresp()
        check(False, "data connection of its own refused")
    except ftplib.error_temp as e:
        check(str(e) == "425 Can't open data connection.", "data connection of its own: 425")
    ftp.close()


def quota_refuses_upload(host, port, tls, data):
    """ftplib writes all of an upload before it reads the reply: without a
    clean end of the data stream it meets a reset or SSLEOFError, not 452."""
    ftp = client(tls)
    ftp.connect(host, port)
    ftp.login("q", "pw")
    if tls:
        ftp.prot_p()
    try:
        ftp.storbinary("STOR over.bin", io.BytesIO(data))
        check(False, "upload past the quota refused")
    except ftplib.error_temp as e:
        check(str(e) == "452 Disk quota reached.", "upload past the quota: 452")
    check(ftp.voidcmd("NOOP") == "200 Zzzzz...", "the session goes on after the 452")


def aborted_download(ftp, size):
    """Reads a little of a large download, then aborts it."""
    conn = ftp.transfercmd("RETR big.bin")
    got = conn.recv(8192)
    reply = ftp.abort()
    conn.close()
    check(len(got) > 0 and len(got) < size, "part of big.bin arrived before ABOR")
    return reply


def main():
    host, port = sys.argv[1], int(sys.argv[2])
    user, password, local = sys.argv[3], sys.argv[4], sys.argv[5]
    tls = len(sys.argv) > 6 and sys.argv[6] == "tls"
    size = os.path.getsize(os.path.join(local, "big.bin"))

    # A wrong password, and a name that has no account: the same refusal.
    for name, pw in ((user, password + "x"), ("nobody", password)):
        ftp = client(tls)
        ftp.connect(host, port)
        try:
            ftp.login(name, pw)
            check(False, "login of %s refused" % name)
        except ftplib.error_perm as e:
            check(str(e) == "530 Login incorrect.", "login of %s refused with 530" % name)
        ftp.close()

    ftp = client(tls)
    print(ftp.connect(host, port).strip())
    sent = []
    ftp.putcmd = (lambda put: lambda line: (sent.append(line), put(line)))(ftp.putcmd)
    if tls:
        print(ftp.auth().strip())
    print(ftp.login(user, password).strip())
    if tls:
        print(ftp.prot_p().strip())
        cipher = ftp.sock.version()
    lines = []
    print(ftp.retrlines("LIST", lines.append))
    for line in lines:
        print("list", line)
    six = ftp.af == socket.AF_INET6
    check(six == (":" in host), "connected over the family of " + host)

    check(sorted(ftp.nlst()) == ["big.bin", "f", "pub"], "nlst of the top")
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

    # ftplib sends ABOR as urgent data, which a TLS socket cannot carry.
    if not tls:
        # abort() in the middle of a large download: the ABOR reply comes,
        # and the next command gets its own reply.
        # The cut transfer is reported as cut (426), then the abort (226).
        reply = aborted_download(ftp, size)
        check(reply == "426 Connection closed; transfer aborted.", "abort() answered: " + reply)
        check(ftp.voidresp() == "226 Abort successful.", "then the abort is confirmed")
        check(ftp.voidcmd("NOOP") == "200 Zzzzz...", "NOOP after abort() has its own reply")
        # An abort during an upload.
        conn = ftp.transfercmd("STOR partial.bin")
        conn.sendall(b"x" * 100000)
        reply = ftp.abort()
        conn.close()
        check(reply.startswith("426") and ftp.voidresp() == "226 Abort successful.",
              "abort() of an upload answered")
        check(ftp.pwd() == "/", "PWD after the aborted upload has its own reply")
    # The whole file downloads (after the aborts).
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

    # Passive, then active: on IPv6 ftplib sets both up with EPSV and EPRT
    # on its own, on IPv4 with PASV and PORT.
    with open(os.path.join(local, "src"), "rb") as f:
        upload = f.read()
    for passive in (True, False):
        ftp.set_pasv(passive)
        mode = "passive" if passive else "active"
        lines = []
        ftp.retrlines("LIST", lines.append)
        check(any(line.endswith(" f") for line in lines), mode + " LIST names f")
        with open(os.path.join(local, "got-" + mode), "wb") as out:
            print(ftp.retrbinary("RETR f", out.write))
        print(ftp.storbinary("STOR up-" + mode, io.BytesIO(upload)))
    print(ftp.quit())
    # Far more than the socket buffers hold: still writing at the quota.
    with open(os.path.join(local, "big.bin"), "rb") as f:
        quota_refuses_upload(host, port, tls, f.read(16 << 20))
    if tls:
        refused_without_resumption(host, port, user, password)
        implicit_session(host, int(sys.argv[7]), user, password, local)
    if six:
        check(any(line.startswith("EPSV") for line in sent), "EPSV used")
        check(any(line.startswith("EPRT |2|::1|") for line in sent), "EPRT |2| used")
        check(not any(line.startswith(("PASV", "PORT")) for line in sent), "no PASV or PORT")
    else:
        check(any(line.startswith("PASV") for line in sent), "PASV used")
        check(any(line.startswith("PORT 127,0,0,1,") for line in sent), "PORT used")
    if tls:
        print("cipher", cipher)
    return 0


if __name__ == "__main__":
    sys.exit(main())
