"""A real mosquitto broker for the publishing tests: started on a free
loopback port with its own configuration and persistence folder, killed,
frozen and restarted by its process id; a test CA made with openssl."""

import os
import signal
import sqlite3
import subprocess

from e2e_support import START_TIMEOUT, free_tcp_port, wait_until, write_secret

MOSQUITTO = "/usr/sbin/mosquitto"
MOSQUITTO_PASSWD = "/usr/bin/mosquitto_passwd"
OPENSSL = "/usr/bin/openssl"


class Broker:
    """One mosquitto process; `extra` lines go into its configuration."""

    def __init__(self, session, name, extra=(), tls=None):
        self.session = session
        self.name = name
        self.port = free_tcp_port()
        self.folder = session.path(name)
        os.makedirs(self.folder, exist_ok=True)
        lines = [f"listener {self.port} 127.0.0.1", "persistence true",
                 f"persistence_location {self.folder}/",
                 # Run as the user that owns the folder (root: as root), so it can save.
                 "user root" if os.geteuid() == 0 else "", "log_dest stderr",
                 "max_queued_messages 100000"]
        if tls:
            lines += [f"cafile {tls['ca']}", f"certfile {tls['cert']}", f"keyfile {tls['key']}",
                      f"password_file {tls['passwords']}", "allow_anonymous false"]
        else:
            lines.append("allow_anonymous true")
        self.config = os.path.join(self.folder, "mosquitto.conf")
        with open(self.config, "w", encoding="ascii") as f:
            f.write("\n".join(lines + list(extra)) + "\n")
        self.process = None
        self.start()

    def start(self):
        self.process = self.session.start(self.name, [MOSQUITTO, "-c", self.config])
        wait_until(lambda: self._listening(), f"{self.name} to listen")

    def _listening(self):
        self.process.check_running()
        return f"Opening ipv4 listen socket on port {self.port}" in self.process.stderr()

    def kill_and_restart(self):
        self.process.popen.send_signal(signal.SIGKILL)
        self.process.wait()
        self.start()

    def freeze(self):
        self.process.signal(signal.SIGSTOP)

    def thaw(self):
        self.process.signal(signal.SIGCONT)


def make_test_pki(session, user, password):
    """A CA, a broker certificate for localhost and 127.0.0.1 signed by it, a
    second CA that signed nothing, and a password file; returns their paths."""
    d = session.path("pki")
    os.makedirs(d, exist_ok=True)
    p = {name: os.path.join(d, name) for name in
         ("ca.key", "ca.pem", "other-ca.key", "other-ca.pem", "server.key", "server.csr", "server.pem",
          "ext.cnf", "passwords", "password", "wrong-password")}

    def run(*argv):
        subprocess.run([OPENSSL, *argv], check=True, capture_output=True, timeout=30)

    for ca in ("ca", "other-ca"):
        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN=qm test {ca}",
            "-keyout", p[f"{ca}.key"], "-out", p[f"{ca}.pem"])
    run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout", p["server.key"],
        "-out", p["server.csr"])
    with open(p["ext.cnf"], "w", encoding="ascii") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    run("x509", "-req", "-in", p["server.csr"], "-CA", p["ca.pem"], "-CAkey", p["ca.key"], "-CAcreateserial",
        "-days", "2", "-extfile", p["ext.cnf"], "-out", p["server.pem"])
    open(p["passwords"], "w").close()
    subprocess.run([MOSQUITTO_PASSWD, "-b", p["passwords"], user, password], check=True, capture_output=True,
                   timeout=30)
    for name, text in (("password", password), ("wrong-password", password + "x")):
        write_secret(p[name], text + "\n")
    return {"ca": p["ca.pem"], "other_ca": p["other-ca.pem"], "cert": p["server.pem"], "key": p["server.key"],
            "passwords": p["passwords"], "password": p["password"], "wrong_password": p["wrong-password"]}


def seqs(db, table, where=""):
    """The seqs of a store's or an ingest store's table."""
    with sqlite3.connect(f"file:{db}?mode=ro", uri=True, timeout=START_TIMEOUT) as c:
        return {row[0] for row in c.execute(f"SELECT seq FROM {table} {where}")}


def scalar(db, sql):
    with sqlite3.connect(f"file:{db}?mode=ro", uri=True, timeout=START_TIMEOUT) as c:
        return c.execute(sql).fetchone()[0]
