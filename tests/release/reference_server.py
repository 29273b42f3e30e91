"""lumbra-server for the tests of what integrators receive: a fresh database in a temporary
folder, one user, a free loopback port. stop() ends it and removes its folder; should the test
process die first, the kernel kills the server with it."""
import ctypes
import os
import signal
import subprocess
import tempfile
import time

USER, PASSWORD = "DEMO", "SECRET"
PR_SET_PDEATHSIG = 1


def die_with_parent():
    """In the child, before the server starts: SIGKILL when the test process ends."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Server:
    """lumbra-server on a fresh database in a temporary folder, with the user DEMO (password
    SECRET), listening on 127.0.0.1:port."""

    def __init__(self, program):
        self.folder = tempfile.TemporaryDirectory(prefix="lumbra-test-")
        database = os.path.join(self.folder.name, "db.sqlite")
        port_file = os.path.join(self.folder.name, "port")
        subprocess.run([program, "user", "add", USER, "--database", database], input=PASSWORD + "\n",
                       text=True, check=True, capture_output=True)
        self.log = open(os.path.join(self.folder.name, "server.log"), "w")
        self.process = subprocess.Popen([program, "--listen", "127.0.0.1:0", "--port-file", port_file,
                                         "--database", database], stdout=self.log, stderr=self.log,
                                        preexec_fn=die_with_parent)
        deadline = time.time() + 20
        while time.time() < deadline:
            if os.path.exists(port_file) and open(port_file).read().strip():
                self.port = int(open(port_file).read())
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("lumbra-server did not start")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        self.folder.cleanup()

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

