"""Real peers for the updater's tests: an update server (HTTP or HTTPS with a
throwaway CA made by openssl), an FTP server (pyftpdlib), tinyproxy with
Basic authentication, minisign keys and signatures, and a private bin
directory holding copies of the built programs as installed modules.

Every server runs on an ephemeral port (FTP: port 21 of a private loopback
address, as ftp URLs carry no port) and is stopped by the test."""

import hashlib
import logging
import os
import shutil
import socket
import ssl
import subprocess
import threading
import time
import warnings
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

import ornix_rig

LIST_DIR = "ibm/power"
MOD_DIR = "ibm/power/NQZD52"


def md5(data):
    return hashlib.md5(data).hexdigest()


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    os.chmod(path, mode)
    return path


def free_port(host="127.0.0.1"):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class UpdateServer:
    """Serves root over HTTP (or HTTPS with tls=(cert, key)); notes every
    request as (path, headers)."""

    def __init__(self, root, tls=None):
        self.root, self.requests = root, []
        rig = self

        class Handler(SimpleHTTPRequestHandler):
            def __init__(self, *a, **kw):
                super().__init__(*a, directory=root, **kw)

            def do_GET(self):
                rig.requests.append((self.path, dict(self.headers)))
                super().do_GET()

            def log_message(self, *a):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*tls)
            self.httpd.socket = ctx.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def paths(self):
        return [p for p, _ in self.requests]

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class FtpServer:
    """Anonymous read-only pyftpdlib server on port 21 of a private loopback
    address (needs root)."""

    def __init__(self, root):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            from pyftpdlib.authorizers import DummyAuthorizer
            from pyftpdlib.handlers import FTPHandler
            from pyftpdlib.servers import ThreadedFTPServer
        quiet = logging.getLogger("pyftpdlib")
        quiet.addHandler(logging.NullHandler())
        quiet.setLevel(logging.WARNING)
        auth = DummyAuthorizer()
        auth.add_anonymous(root)
        handler = type("Handler", (FTPHandler,), {"authorizer": auth})
        self.host = "127.%d.%d.%d" % tuple(os.urandom(3))
        self.server = ThreadedFTPServer((self.host, 21), handler)
        self.thread = threading.Thread(target=self.server.serve_forever,
                                       kwargs={"handle_exit": False}, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.close_all()


class Tinyproxy:
    """tinyproxy with Basic authentication, in the foreground, stopped by pid."""

    def __init__(self, workdir, user, password):
        self.port = free_port()
        conf = write(os.path.join(workdir, "tinyproxy.conf"),
                     "Port %d\nListen 127.0.0.1\nTimeout 30\nMaxClients 10\n"
                     "LogFile \"%s/tinyproxy.log\"\nLogLevel Info\n"
                     "BasicAuth %s %s\nAllow 127.0.0.1\n"
                     % (self.port, workdir, user, password))
        self.proc = subprocess.Popen(["tinyproxy", "-d", "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.5).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("tinyproxy did not listen")

    def stop(self):
        ornix_rig.stop_pid(self.proc.pid)
        self.proc.wait(timeout=10)


def make_tls(workdir):
    """A throwaway CA and a certificate for 127.0.0.1 signed by it; returns
    (ca_cert, server_cert, server_key)."""
    p = lambda n: os.path.join(workdir, n)
    run = lambda *a: subprocess.run(a, check=True, timeout=60, capture_output=True)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
        "-subj", "/CN=Ornix test CA", "-keyout", p("ca.key"), "-out", p("ca.pem"))
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
        "-keyout", p("srv.key"), "-out", p("srv.csr"))
    write(p("ext"), "subjectAltName=IP:127.0.0.1\n")
    run("openssl", "x509", "-req", "-in", p("srv.csr"), "-CA", p("ca.pem"), "-CAkey",
        p("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", p("ext"), "-out", p("srv.pem"))
    return p("ca.pem"), p("srv.pem"), p("srv.key")


def minisign_keys(workdir, name="key"):
    """A key pair without a password; returns (public key file, secret key file)."""
    pub, sec = os.path.join(workdir, name + ".pub"), os.path.join(workdir, name + ".key")
    subprocess.run(["minisign", "-G", "-W", "-p", pub, "-s", sec], check=True, timeout=30,
                   capture_output=True)
    return pub, sec


def sign(path, sec, timestamp, legacy=False):
    """Signs path into path.minisig with "timestamp:N" as trusted comment."""
    subprocess.run(["minisign", "-S", "-s", sec, "-m", path, "-t", "timestamp:%d" % timestamp]
                   + (["-l"] if legacy else []), check=True, timeout=30, capture_output=True)


class Site:
    """An update server tree: the list, modules and post-update files."""

    def __init__(self, root):
        self.root = root

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def put_list(self, lines):
        return write(self.path(LIST_DIR, "NQZD52.lst"), "".join(l + "\n" for l in lines))

    def put_module(self, name, data, build="6.0.8.0", size=None, digest=None):
        """Serves data as module name; returns its list line."""
        write(self.path(MOD_DIR, name), data)
        return "%s %s %d %s" % (name, build, len(data) if size is None else size,
                                digest or md5(data))

    def put_post_update(self, script):
        write(self.path(MOD_DIR, "post_update.sh"), script, 0o755)
        write(self.path(MOD_DIR, "post_update.md5"), md5(script.encode()) + "  post_update.sh\n")


class BinDir:
    """A private program directory: ornixup with ornix_avupdate.sh (or a
    stand-in that records its arguments) and the given modules."""

    def __init__(self, workdir, modules=(), avupdate=None):
        self.dir = os.path.join(workdir, "bin")
        os.makedirs(self.dir)
        shutil.copy2(ornix_rig.program("ornixup"), self.dir)
        if avupdate is None:
            shutil.copy2(ornix_rig.program("ornix_avupdate.sh"), self.dir)
        else:
            write(self.path("ornix_avupdate.sh"), avupdate, 0o755)
        for name, source in modules:
            shutil.copy(source, self.path(name))
            os.chmod(self.path(name), 0o755)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def exe(self):
        return self.path("ornixup")
