"""Runs the real executables for end-to-end tests: a virtual X display, the
simulated FIDO OTP service and the application, with their output captured."""

import os
import signal
import subprocess
import tempfile
import time

from x11 import Display

APP_TITLE = "Tovrin Authenticator (G2)"
SERVICE_PORT = 12900


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class Xvfb:
    def __init__(self, dpi=96, screen="1024x768x24"):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", screen, "-dpi", str(dpi),
             "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        self.display = Display(self.name)

    def stop(self):
        self.display.close()
        self.proc.terminate()
        self.proc.wait(10)


class Process:
    """A child process whose standard output and error go to temporary files."""

    def __init__(self, args, env=None):
        self.out = tempfile.NamedTemporaryFile(prefix="e2e-out-", delete=False)
        self.err = tempfile.NamedTemporaryFile(prefix="e2e-err-", delete=False)
        self.started = time.monotonic()
        self.proc = subprocess.Popen(args, stdout=self.out, stderr=self.err, env=env)

    def stdout(self):
        with open(self.out.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self.err.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def lines(self):
        return self.stdout().splitlines()

    def wait_for_output(self, text, timeout):
        return wait_until(lambda: text in self.stdout(), timeout)

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        if self.out.closed:
            return
        if self.running():
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for f in (self.out, self.err):
            f.close()
            os.unlink(f.name)


def start_service(sim, config=None, port=SERVICE_PORT):
    args = [sim, "--port", str(port)]
    if config:
        args += ["--config", config]
    service = Process(args)
    if not service.wait_for_output("serving on", 10):
        out, err = service.stdout(), service.stderr()
        service.stop()
        raise RuntimeError("fido-otp-sim did not start:\n" + out + err)
    return service


def start_app(app, display, extra_args=(), extra_env=None):
    env = dict(os.environ)
    env["DISPLAY"] = display.name
    env.pop("QT_QPA_PLATFORM", None)
    env.update(extra_env or {})
    return Process([app, *extra_args], env=env)


def message_lines(process):
    """Log messages (without spdlog's time and level prefix) and trace lines."""
    result = []
    for line in process.lines():
        if line.startswith("[") and "] [" in line:
            line = line.split("] ", 2)[-1]
        result.append(line)
    return result
