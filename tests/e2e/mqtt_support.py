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


PG_BIN = "/usr/lib/postgresql/15/bin"


class Postgres:
    """A PostgreSQL server of Debian's in a folder of its own, listening only
    on a Unix socket there; run as `nobody` when the tests run as root
    (initdb refuses root), stopped by its postmaster's process id."""

    def __init__(self, session, name="pg"):
        import pwd
        import tempfile
        # Outside the session's folder, which only root may enter.
        self.folder = tempfile.mkdtemp(prefix="qm-pg-")
        self.data = os.path.join(self.folder, "data")
        self.as_user = []
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(self.folder, nobody.pw_uid, nobody.pw_gid)
            self.as_user = ["/usr/bin/setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}",
                            "--clear-groups"]
        subprocess.run(self.as_user + [f"{PG_BIN}/initdb", "-D", self.data, "-U", "qm", "-A", "trust", "-E", "UTF8",
                                        "--no-sync", "--locale=C"],
                       check=True, capture_output=True, timeout=120)
        with open(os.path.join(self.data, "postgresql.conf"), "a", encoding="ascii") as f:
            f.write(f"listen_addresses = ''\nunix_socket_directories = '{self.folder}'\nfsync = on\n"
                    "max_connections = 40\nshared_buffers = 64MB\n")
        subprocess.run(self.as_user + [f"{PG_BIN}/pg_ctl", "-D", self.data, "-l", os.path.join(self.folder, "log"),
                                        "-w", "-t", "60", "start"], check=True, capture_output=True, timeout=90)
        with open(os.path.join(self.data, "postmaster.pid"), encoding="ascii") as f:
            self.pid = int(f.readline())
        session.on_close(self.stop)
        subprocess.run([f"{PG_BIN}/createdb", "-h", self.folder, "-U", "qm", "qm"], check=True, capture_output=True,
                       timeout=30)
        self.url = f"postgresql:///qm?host={self.folder}&user=qm"

    def stop(self):
        import shutil
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGINT)  # fast shutdown
            except ProcessLookupError:
                pass
            wait_until(lambda: not os.path.exists(f"/proc/{self.pid}"), "PostgreSQL to stop", 30)
            self.pid = None
        shutil.rmtree(self.folder, ignore_errors=True)

    def rows(self, sql):
        out = subprocess.run([f"{PG_BIN}/psql", "-X", "-q", "-A", "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1",
                              "-h", self.folder, "-U", "qm", "qm", "-c", sql],
                             check=True, capture_output=True, text=True, timeout=60).stdout
        return [tuple(line.split("\t")) for line in out.splitlines() if line]

    def scalar(self, sql):
        rows = self.rows(sql)
        return rows[0][0] if rows else None


# The centre's database the ingest trials run against: an ingest store file
# (default) or PostgreSQL (QM_CENTRE=postgresql). The same trials run
# against each; their SQL names the tables {record}, {event} and {mark}.
CENTRE = os.environ.get("QM_CENTRE", "sqlite")


class SqliteCentre:
    names = {"record": "record", "event": "event", "mark": "mark", "zero_body": "zeroblob(459)"}

    def __init__(self, session, name="centre"):
        self.db = session.path(name + ".db")

    def ready(self):
        return os.path.exists(self.db)

    def rows(self, sql):
        with sqlite3.connect(f"file:{self.db}?mode=ro", uri=True, timeout=START_TIMEOUT) as c:
            return c.execute(sql.format(**self.names)).fetchall()

    def scalar(self, sql):
        return self.rows(sql)[0][0]

    def seqs(self, table, where=""):
        return {row[0] for row in self.rows(f"SELECT seq FROM {{{table}}} {where}")}


class PostgresCentre(Postgres):
    names = {"record": "qm_record", "event": "qm_event", "mark": "qm_store",
             "zero_body": "decode(repeat('00', 459), 'hex')"}

    def __init__(self, session):
        super().__init__(session)
        self.db = self.url

    def ready(self):
        return self.scalar("SELECT to_regclass('qm_store') IS NOT NULL") == "t"

    def rows(self, sql):
        return [tuple(int(v) if v.lstrip("-").isdigit() else v for v in row)
                for row in super().rows(sql.format(**self.names))]

    def scalar(self, sql):
        rows = self.rows(sql)
        return rows[0][0] if rows else None

    def seqs(self, table, where=""):
        return {row[0] for row in self.rows(f"SELECT seq FROM {{{table}}} {where}")}


def make_centre(session):
    return PostgresCentre(session) if CENTRE == "postgresql" else SqliteCentre(session)
