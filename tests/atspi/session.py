"""A private desktop for AT-SPI checks: Xvfb, a D-Bus session bus, the accessibility bus and the
program, each started here and ended by its process id (the accessibility bus launcher by its own
process group, which holds the bus and registry it starts)."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

TOOLS = {
    "Xvfb": "xvfb",
    "dbus-daemon": "dbus-daemon",
    "/usr/libexec/at-spi-bus-launcher": "at-spi2-core",
    "xdotool": "xdotool",
    "xprop": "x11-utils",
}

PIPEWIRE_CONFIG = {
    "pipewire/pipewire.conf.d/50-rate.conf":
        "context.properties = {\n    default.clock.rate = 22540\n    default.clock.allowed-rates = [ 22540 ]\n}\n",
    "wireplumber/main.lua.d/51-headless.lua":
        "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n",
    "wireplumber/bluetooth.lua.d/51-headless.lua": "bluez_monitor.enabled = false\n",
}


def missing_tools():
    """The packages whose tools are missing, and whether the AT-SPI client library is there."""
    missing = [pkg for tool, pkg in TOOLS.items() if not shutil.which(tool) and not os.access(tool, os.X_OK)]
    try:
        import gi

        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi  # noqa: F401
    except (ImportError, ValueError):
        missing.append("python3-pyatspi (gir1.2-atspi-2.0)")
    return missing


def time_scale():
    """How much longer than on an idle machine a wait may take: the build's factor
    (QUINDLE_TEST_TIME_FACTOR) times the load per core, at least 1."""
    factor = float(os.environ.get("QUINDLE_TEST_TIME_FACTOR", "1"))
    return factor * max(1.0, os.getloadavg()[0] / (os.cpu_count() or 1))


def free_display():
    """A display number that no X server holds, here or in another file-system view of /tmp: a
    client tries the abstract socket first and would reach another server's."""
    for n in range(100 + os.getpid() % 400, 1000):
        if os.path.exists("/tmp/.X%d-lock" % n):
            continue
        probe = socket.socket(socket.AF_UNIX)
        try:
            probe.connect("\0/tmp/.X11-unix/X%d" % n)
        except OSError:
            return n
        finally:
            probe.close()
    raise RuntimeError("no free X display")


class StartError(RuntimeError):
    pass


class Session:
    def __init__(self, program, timeout=20.0, pulse=False, wm=False, before_app=None, a11y=True, pipewire=False):
        self.program = program
        self.timeout = timeout * time_scale()
        self.pulse = pulse or pipewire  # a PulseAudio server with a null sink "q" for the program's sound
        self.pipewire = pipewire  # that server being PipeWire's, with its session manager
        self.wm = wm  # openbox, as a user's desktop has a window manager
        self.before_app = before_app  # called with the session just before the program starts
        self.a11y = a11y  # the program's accessibility on whether or not a screen reader runs
        self.procs = []  # (process, kill its group)

    def _start(self, args, env=None, group=False, **kw):
        kw.setdefault("stdout", subprocess.DEVNULL)  # an inherited pipe would outlive its reader
        kw.setdefault("stderr", subprocess.DEVNULL)
        p = subprocess.Popen(args, env=env, start_new_session=group, stdin=subprocess.DEVNULL, **kw)
        self.procs.append((p, group))
        return p

    def __enter__(self):
        # Now and then the program cannot reach a just-started X server: start afresh, up to 3 times.
        for attempt in range(3):
            self.tmp = tempfile.TemporaryDirectory(prefix="quindle-atspi-")
            try:
                self._start_all()
                return self
            except StartError:
                self.__exit__(None, None, None)
                if attempt == 2:
                    raise
            except BaseException:
                self.__exit__(None, None, None)
                raise
        return self

    def _start_all(self):
        env = dict(os.environ)
        env["XDG_RUNTIME_DIR"] = self.tmp.name
        env["XDG_CONFIG_HOME"] = self.tmp.name  # the program's settings, when it keeps them per user
        os.chmod(self.tmp.name, 0o700)
        self.log = open(os.path.join(self.tmp.name, "program.log"), "w+")
        # A copy keeps its settings beside itself, here, away from a file beside the build's.
        program = os.path.join(self.tmp.name, os.path.basename(self.program))
        shutil.copy2(self.program, program)
        r, w = os.pipe()
        self.xvfb = self._start(["Xvfb", ":%d" % free_display(), "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                    pass_fds=(w,), stderr=self.log)
        os.close(w)
        display = b""
        while not display.endswith(b"\n"):  # closed early, the pipe would fail the server's write
            chunk = os.read(r, 64)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            display += chunk
        os.close(r)
        env["DISPLAY"] = ":" + display.decode().strip()
        bus = self._start(["dbus-daemon", "--session", "--nofork", "--print-address=1"], env=env,
                          stdout=subprocess.PIPE, text=True)
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        self._start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"], env=env, group=True)
        if self.wm:
            self._start_wm(env)
        if self.pipewire:
            self._start_pipewire(env)
        elif self.pulse:
            self._start_pulse(env)
        # The client library reads the bus from the environment when first used.
        os.environ.update({k: env[k] for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")})
        env.update({"QT_QPA_PLATFORM": "xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1" if self.a11y else "0"})
        # Under the sanitizers the accessibility bridge's libraries would be leak-checked at exit;
        # they are not this program's, and the in-process tests check its own memory.
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
        if self.before_app:
            self.before_app(self)
        self.app_process = self._start([program], env=env, cwd=self.tmp.name, stderr=self.log)
        self.app = self._find_app()

    def _start_wm(self, env):
        wm = self._start(["openbox", "--sm-disable"], env=env)
        end = time.monotonic() + self.timeout
        while subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout.find("window id") < 0:
            if wm.poll() is not None or time.monotonic() > end:
                raise StartError("openbox did not come up")
            time.sleep(0.05)

    def _start_pulse(self, env):
        socket_path = os.path.join(self.tmp.name, "pulse.sock")
        env.update({"PULSE_RUNTIME_PATH": os.path.join(self.tmp.name, "pulse-runtime"),
                    "PULSE_STATE_PATH": os.path.join(self.tmp.name, "pulse-state"),
                    "PULSE_SERVER": "unix:" + socket_path})
        self.pulse_env = env
        self._start(["pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
                     "--use-pid-file=no", "--enable-memfd=no",
                     "--load=module-null-sink sink_name=q rate=22540 channels=1 format=s16le",
                     "--load=module-native-protocol-unix socket=%s auth-anonymous=1" % socket_path], env=env)
        self._wait_for(socket_path, "pulseaudio")

    def _start_pipewire(self, env):
        # The graph runs at the sink's rate, so that the recording holds the samples unchanged; no
        # device of the machine is taken.
        for name, text in PIPEWIRE_CONFIG.items():
            os.makedirs(os.path.dirname(os.path.join(self.tmp.name, name)), exist_ok=True)
            with open(os.path.join(self.tmp.name, name), "w") as f:
                f.write(text)
        own = dict(env, HOME=self.tmp.name, XDG_STATE_HOME=os.path.join(self.tmp.name, "state"))
        for name in ("PULSE_SERVER", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR"):
            own.pop(name, None)
        self._start(["pipewire"], env=own, stderr=self.log)
        self._wait_for(os.path.join(self.tmp.name, "pipewire-0"), "pipewire")
        self._start(["wireplumber"], env=own, stderr=self.log)
        self._start(["pipewire-pulse"], env=own, stderr=self.log)
        socket_path = os.path.join(self.tmp.name, "pulse", "native")
        self._wait_for(socket_path, "pipewire-pulse")
        env["PULSE_SERVER"] = "unix:" + socket_path
        self.pulse_env = env
        for command in (["load-module", "module-null-sink", "sink_name=q", "rate=22540", "channels=1", "format=s16le"],
                        ["set-default-sink", "q"]):
            subprocess.run(["pactl"] + command, env=env, stdout=subprocess.DEVNULL, check=True, timeout=10)

    def _wait_for(self, socket_path, server):
        end = time.monotonic() + 10
        while not os.path.exists(socket_path):
            if time.monotonic() > end:
                raise StartError("%s did not come up" % server)
            time.sleep(0.05)

    def record(self, path):
        """Records the null sink's monitor as raw 16-bit mono at 22540 Hz until the session ends."""
        return self._start(["parec", "-d", "q.monitor", "--format=s16le", "--rate=22540", "--channels=1",
                            "--latency-msec=10", "--raw", path], env=self.pulse_env)

    def _find_app(self):
        # A program that cannot start ends at once: wait for that before the client library binds
        # itself to this bus, so that a new attempt can still use another.
        settle = time.monotonic() + 1.0
        while time.monotonic() < settle:
            self._check_alive()
            time.sleep(0.05)
        from gi.repository import Atspi

        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            desktop = Atspi.get_desktop(0)
            for i in range(desktop.get_child_count()):
                app = desktop.get_child_at_index(i)
                # By process: the program names itself whatever its file is called.
                if app is not None and app.get_process_id() == self.app_process.pid and app.get_child_count() > 0:
                    return app
            self._check_alive()
            time.sleep(0.1)
        raise RuntimeError("the program did not appear on the accessibility bus")

    def _check_alive(self):
        if self.app_process.poll() is not None or self.xvfb.poll() is not None:
            self.log.seek(0)
            raise StartError("the program or X ended (%s, %s): %s"
                             % (self.app_process.poll(), self.xvfb.poll(), self.log.read()))

    def __exit__(self, *exc):
        for p, group in reversed(self.procs):
            if p.poll() is None:
                if group:
                    os.killpg(p.pid, signal.SIGTERM)
                else:
                    p.terminate()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL) if group else p.kill()
                p.wait()
        self.procs = []
        if getattr(self, "log", None):
            self.log.close()
        self.tmp.cleanup()
        return False


def walk(obj):
    """obj and its descendants, depth first."""
    yield obj
    for i in range(obj.get_child_count()):
        child = obj.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def find(root, role_name, name=None):
    """The first descendant of that role and name (any name when None)."""
    for obj in walk(root):
        if obj.get_role_name() == role_name and name in (None, obj.get_name()):
            return obj
    raise LookupError("%s %r not found" % (role_name, name))
