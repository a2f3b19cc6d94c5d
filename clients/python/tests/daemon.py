"""A real xadrad for the client tests: started in the foreground on a free
loopback port with a temporary cache and configuration, stopped with SIGHUP.

XADRAD names the program (the build's bin/xadrad); XAD_TEST_DATA the
project's tests/data directory.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Daemon:
    def __init__(self, program, workers=1, render_timeout=3, extra_config=None):
        self.program = program
        self.dir = tempfile.mkdtemp(prefix="xadra-py-")
        self.port = free_port()
        self.app = "py%d" % os.getpid()
        conf = os.path.join(self.dir, "conf")
        os.mkdir(conf)
        os.mkdir(os.path.join(self.dir, "run"))
        lines = {
            "xadrad_cache_baseDir": os.path.join(self.dir, "base"),
            "xadrad_job_nWorkers": workers,
            "xadrad_job_renderTimeout": render_timeout,
            "xadrad_listen_address": "127.0.0.1:%d" % self.port,
        }
        lines.update(extra_config or {})
        with open(os.path.join(conf, "xad.conf"), "w") as f:
            for k, v in lines.items():
                f.write("%s=%s\n" % (k, v))
        self.env = dict(os.environ, XAD_CONF_DIR=conf, XAD_RUNTIME_DIR=os.path.join(self.dir, "run"))
        self.log_path = os.path.join(self.dir, "daemon.log")
        self.proc = None

    def start(self, wait=30.0):
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([self.program, "-n", "-a", self.app, "--log-level=7"], env=self.env,
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("xadrad ended with status %d:\n%s" % (self.proc.returncode, self.log()))
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("xadrad did not listen on port %d within %g s:\n%s" % (self.port, wait, self.log()))

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def stop(self):
        """Stops the daemon; returns its exit status (None if it had to be killed)."""
        status = None
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGHUP)
            try:
                status = self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        elif self.proc:
            status = self.proc.returncode
        shutil.rmtree(self.dir, ignore_errors=True)
        return status
