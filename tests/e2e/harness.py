"""Runs the real updater the way the client does: an installation folder laid
out from the sample, stand-in client and notifier processes, a package served
from 127.0.0.1, and an X server of its own (Xvfb) driven with xdotool.

Shared by the end-to-end tests and the demo. Standard library only; every
wait is bounded."""

import contextlib
import ctypes
import http.server
import io
import os
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import traceback
import zipfile

CLIENT = "Corvel.exe"
NOTIFIER = "ZoRezivirArerur.exe"
INSTALLER = "setup.exe"
UPDATE_BUTTON = (613, 445)  # logical pixels inside the update window


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def end_process(proc, wait=5):
    """Ends a child process this script started: politely, then for sure."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(wait)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


def pid_alive(pid):
    """True while the process exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


# --- X server ---------------------------------------------------------------

@contextlib.contextmanager
def x_connection(display_name):
    """libX11 (through ctypes: nothing to install) and a connection to the display."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    for name in ("XFlush", "XCloseDisplay", "XFree"):
        getattr(x11, name).argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(display_name.encode())
    if not dpy:
        raise RuntimeError(f"cannot open display {display_name}")
    try:
        yield x11, dpy
    finally:
        x11.XCloseDisplay(dpy)


class Display:
    """An Xvfb of our own (ended by itself after lifetime seconds, if given),
    or the caller's display with use_existing; with window_manager, an
    openbox on it. screen is WIDTHxHEIGHT in device pixels. Xft.dpi says dpi
    too, as on a desktop set to dpi / 96: Qt scales by it, else by Xvfb's
    physical resolution, which rounds to whole millimetres."""

    def __init__(self, use_existing=False, window_manager=False, lifetime=None,
                 screen="1024x768", dpi=96):
        self.proc = None
        self.window_manager = None
        self._start_x(use_existing, lifetime, screen, dpi)
        if dpi and self.proc:
            self._set_xft_dpi(dpi)
        if window_manager:
            self._start_window_manager()

    def _set_xft_dpi(self, dpi):
        try:
            result = subprocess.run(["xrdb", "-nocpp", "-merge"], input=f"Xft.dpi: {dpi}\n", text=True,
                                    env=self.env(), capture_output=True, timeout=10)
        except (OSError, subprocess.TimeoutExpired) as e:
            self.close()
            raise RuntimeError(f"xrdb did not set Xft.dpi: {e}")
        if result.returncode != 0:
            self.close()
            raise RuntimeError(f"xrdb did not set Xft.dpi: {result.stderr.strip()}")

    def _start_window_manager(self):
        """Openbox, whose Alt+F4 and _NET_CLOSE_WINDOW (wmctrl -c) become a
        WM_DELETE_WINDOW to the window, as on a desktop."""
        self.wm_home = tempfile.mkdtemp(prefix="update-e2e-wm-")
        env = self.env()
        env["HOME"] = self.wm_home
        self.window_manager = subprocess.Popen(["openbox", "--sm-disable"], env=env,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ready = wait_until(lambda: self.window_manager.poll() is not None or subprocess.run(
            ["wmctrl", "-m"], env=env, capture_output=True, timeout=5).returncode == 0, 30, step=0.2)
        if not ready or self.window_manager.poll() is not None:
            self.close()
            raise RuntimeError("openbox did not start")

    def _start_x(self, use_existing, lifetime, screen, dpi):
        if use_existing and os.environ.get("DISPLAY"):
            self.name = os.environ["DISPLAY"]
            return
        # Xvfb picks a free number itself and reports it (-displayfd), so two
        # runs never race for one; a server that does not report in time is
        # given up, so a run never waits long for a display.
        command = ["Xvfb", "-screen", "0", f"{screen}x24", "-nolisten", "tcp", "-noreset"]
        if dpi:
            command += ["-dpi", str(dpi)]
        if lifetime:
            command = ["timeout", "-k", "5", str(lifetime), *command]
        for _ in range(3):
            read_fd, write_fd = os.pipe()
            proc = subprocess.Popen(
                [*command, "-displayfd", str(write_fd)],
                pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_fd)
            data = b""
            deadline = time.monotonic() + 20
            try:
                while b"\n" not in data and time.monotonic() < deadline and proc.poll() is None:
                    if select.select([read_fd], [], [], 0.2)[0]:
                        chunk = os.read(read_fd, 64)
                        if not chunk:
                            break
                        data += chunk
            finally:
                os.close(read_fd)
            if data.strip().isdigit() and proc.poll() is None:
                self.proc = proc
                self.name = f":{int(data)}"
                return
            proc.kill()
            proc.wait(5)
        raise RuntimeError("Xvfb did not report a display")

    def env(self):
        env = dict(os.environ)
        env["DISPLAY"] = self.name
        env.pop("QT_QPA_PLATFORM", None)
        return env

    def xdotool(self, *args, timeout=10):
        """xdotool's output; empty when it did not answer in time, so that a
        wait polling through it goes on rather than failing."""
        try:
            result = subprocess.run(["xdotool", *args], env=self.env(), capture_output=True,
                                    text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return ""
        return result.stdout.strip()

    def find_windows(self, name, pid=None):
        """Visible windows of that title; with pid, only that process's."""
        by_pid = ["--all", "--pid", str(pid)] if pid is not None else []
        out = self.xdotool("search", *by_pid, "--onlyvisible", "--name", f"^{name}$")
        return [w for w in out.split() if w.isdigit()]

    def wait_window(self, name, timeout=15, pid=None):
        found = wait_until(lambda: self.find_windows(name, pid), timeout, step=0.1)
        return found[0] if found else None

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def click(self, window, x, y):
        """Clicks at x, y inside the window (real pointer events, as a person would)."""
        wx, wy, _, _ = self.geometry(window)
        # No --sync: it waits forever when the pointer is already there.
        self.xdotool("mousemove", str(wx + x), str(wy + y))
        time.sleep(0.15)
        self.xdotool("click", "1")

    def key(self, window, key):
        """Focuses the window and types a key through the X test extension."""
        wx, wy, w, h = self.geometry(window)
        self.xdotool("mousemove", str(wx + w // 2), str(wy + h // 2))
        self.xdotool("windowfocus", "--sync", window)
        time.sleep(0.1)
        self.xdotool("key", key)

    def request_close(self, window):
        """Asks the window to close as a window manager does for Alt+F4 or a
        taskbar's Close: a WM_DELETE_WINDOW client message, sent with Xlib.
        (xdotool's windowclose destroys the window under the program's feet
        instead.) The message has reached the server when this returns."""
        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                        ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                        ("data", ctypes.c_long * 5)]

        class XEvent(ctypes.Union):
            _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

        with x_connection(self.name) as (x11, dpy):
            event = XEvent()
            event.xclient.type = 33  # ClientMessage
            event.xclient.window = int(window)
            event.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
            event.xclient.format = 32
            event.xclient.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
            event.xclient.data[1] = 0  # CurrentTime
            x11.XSendEvent(dpy, int(window), 0, 0, ctypes.byref(event))
            x11.XFlush(dpy)

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], env=self.env(),
                       capture_output=True, timeout=20)
        return os.path.exists(path)

    def close(self):
        if self.window_manager:
            end_process(self.window_manager)
            self.window_manager = None
            shutil.rmtree(self.wm_home, ignore_errors=True)
        if self.proc:
            end_process(self.proc)
            self.proc = None


# --- Package server ---------------------------------------------------------

class Pause:
    """Holds an answer after its first `after` bytes of body until released,
    so that a test can act while a download is surely under way: reached is
    set once those bytes are sent. Held at most `limit` seconds, well below
    the updater's 60 s stall limit."""

    def __init__(self, after, limit=45):
        self.after = after
        self.limit = limit
        self.reached = threading.Event()
        self.released = threading.Event()
        self.wait_reached, self.release = self.reached.wait, self.released.set


class PackageServer:
    """HTTP on 127.0.0.1, https with tls (certificate and key files). routes:
    path -> dict(status, body, rate, drop_after, unsized, ranges, etag,
    retry_after, pause, location, headers: [(name, value)]), or a list of
    such served in turn (the last repeats). An unsized answer has no
    Content-Length, so one cut by drop_after looks complete. With ranges it
    offers "Accept-Ranges: bytes" and an ETag and answers a Range whose
    If-Range names it with 206. Of every GET: requests (path), ranges_asked,
    request_headers, answered (path, once its answer ended)."""

    def __init__(self, tls=None):
        self.routes = {}
        self.requests = []
        self.ranges_asked = []
        self.request_headers = []
        self.answered = []
        self.scheme = "https" if tls else "http"
        server_self = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def route(self):
                route = server_self.routes.get(self.path.split("?")[0])
                if isinstance(route, list):
                    route = route.pop(0) if len(route) > 1 else route[0]
                return route

            def do_GET(self):
                server_self.requests.append(self.path)
                server_self.ranges_asked.append(self.headers.get("Range"))
                server_self.request_headers.append(list(self.headers.items()))
                route = self.route()
                if route is None:
                    route = {"status": 404, "body": b"<html>not found</html>"}
                body = route.get("body", b"")
                status = route.get("status", 200)
                headers = list(route.get("headers", []))
                if route.get("ranges"):
                    etag = '"%s"' % route.get("etag", "v1")
                    headers += [("Accept-Ranges", "bytes"), ("ETag", etag)]
                    asked = self.headers.get("Range", "")
                    if_range = self.headers.get("If-Range")
                    if status == 200 and asked.startswith("bytes=") and asked.endswith("-") \
                            and if_range in (None, etag) and int(asked[6:-1]) < len(body):
                        first = int(asked[6:-1])
                        headers.append(("Content-Range", f"bytes {first}-{len(body) - 1}/{len(body)}"))
                        status, body = 206, body[first:]
                if route.get("retry_after") is not None:
                    headers.append(("Retry-After", str(route["retry_after"])))
                if route.get("location"):
                    headers.append(("Location", route["location"]))
                headers += list(route.get("headers", ()))
                self.send_response(status)
                self.send_header("Content-Type", "application/octet-stream")
                for name, value in headers:
                    self.send_header(name, value)
                unsized = route.get("unsized", False)
                if not unsized:
                    self.send_header("Content-Length", str(len(body)))
                self.send_header("Connection", "close")
                self.end_headers()
                drop_after = route.get("drop_after")
                limit = len(body) if drop_after is None else min(drop_after, len(body))
                rate = route.get("rate")  # bytes per second
                pause = route.get("pause")
                chunk = 16384
                sent = 0
                started = time.monotonic()
                try:
                    while sent < limit:
                        end = min(limit, sent + chunk)
                        if pause and sent < pause.after:
                            end = min(end, pause.after)
                        piece = body[sent:end]
                        self.wfile.write(piece)
                        self.wfile.flush()
                        sent += len(piece)
                        if pause and sent == pause.after:
                            pause.reached.set()
                            held = time.monotonic()
                            pause.released.wait(pause.limit)
                            started += time.monotonic() - held
                        if rate:
                            ahead = sent / rate - (time.monotonic() - started)
                            if ahead > 0:
                                time.sleep(min(ahead, 1.0))
                    if drop_after is not None and not unsized:
                        # Vanish mid-body: reset rather than close politely.
                        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                   b"\x01\x00\x00\x00\x00\x00\x00\x00")
                        self.close_connection = True
                except (BrokenPipeError, ConnectionResetError):
                    pass
                self.close_connection = True
                server_self.answered.append(self.path)

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            # The handshake runs in each request's own thread, bounded.
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True,
                                                    do_handshake_on_connect=False)
            Handler.timeout = 30
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                       daemon=True)
        self.thread.start()

    def url(self, path, host="127.0.0.1"):
        return f"{self.scheme}://{host}:{self.port}{path}"

    def close(self):
        # A held answer is let go, so that no handler outlives the case.
        for route in self.routes.values():
            for answer in route if isinstance(route, list) else [route]:
                if answer.get("pause"):
                    answer["pause"].release()
        self.httpd.shutdown()
        self.httpd.server_close()


def refused_url(path="/pkg/client_v2.zip"):
    """An address on loopback where nothing listens."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return f"http://127.0.0.1:{port}{path}"


# --- Signatures ---------------------------------------------------------------

KEY_FILE = "UpdateKey.pub"


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def run_cases(namespace):
    """Runs every test_* function of a test script with one shared display
    (E2E_ONLY picks those whose name holds it), reports each, and returns the
    exit status: 1 when any failed."""
    tests = [(name, fn) for name, fn in namespace.items() if name.startswith("test_") and callable(fn)]
    only = os.environ.get("E2E_ONLY")
    if only:
        tests = [t for t in tests if only in t[0]]
    display = Display()
    passed = failed = skipped = 0
    try:
        for name, fn in tests:
            started = time.monotonic()
            try:
                fn(display)
                passed += 1
                print(f"PASS {name} ({time.monotonic() - started:.1f}s)", flush=True)
            except Skip as e:
                skipped += 1
                print(f"SKIP {name}: {e}", flush=True)
            except Exception as e:  # noqa: BLE001 - report every case
                failed += 1
                print(f"FAIL {name}: {e}", flush=True)
                if not isinstance(e, Failure):
                    traceback.print_exc()
    finally:
        display.close()
    print(f"{passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else ""))
    return 1 if failed else 0


class SocksRelay:
    """SOCKS5 without authentication, CONNECT only: any name, port P goes to
    127.0.0.1:P. Qt never sends 127.* through a proxy, so proxy tests name
    their server "updates.test", which nothing resolves; tinyproxy hands its
    connections here. tunnels holds "name:port" of each."""

    def __init__(self):
        self.tunnels = []
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.sock.settimeout(0.5)
        self.port = self.sock.getsockname()[1]
        self.stopped = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopped:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    @staticmethod
    def _read(conn, n):
        data = b""
        while len(data) < n:
            chunk = conn.recv(n - len(data))
            if not chunk:
                raise OSError("closed")
            data += chunk
        return data

    def _serve(self, conn):
        conn.settimeout(30)
        try:
            _, methods = self._read(conn, 2)
            self._read(conn, methods)
            conn.sendall(b"\x05\x00")
            _, _, _, kind = self._read(conn, 4)
            if kind == 3:
                name = self._read(conn, self._read(conn, 1)[0]).decode()
            else:
                name = socket.inet_ntoa(self._read(conn, 4 if kind == 1 else 16)[:4])
            port = int.from_bytes(self._read(conn, 2), "big")
            self.tunnels.append(f"{name}:{port}")
            upstream = socket.create_connection(("127.0.0.1", port), timeout=30)
            conn.sendall(b"\x05\x00\x00\x01\x7f\x00\x00\x01" + port.to_bytes(2, "big"))
            pair = [conn, upstream]
            while True:
                ready, _, _ = select.select(pair, [], [], 30)
                if not ready:
                    break
                for s in ready:
                    data = s.recv(65536)
                    if not data:
                        raise OSError("closed")
                    (upstream if s is conn else conn).sendall(data)
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        self.stopped = True
        self.sock.close()


class TinyProxy:
    """Debian's tinyproxy on 127.0.0.1 with Basic authentication, its
    connections going through a SocksRelay; under `timeout`, so it ends by
    itself if the test dies first."""

    def __init__(self, user, password, folder):
        program = shutil.which("tinyproxy") or shutil.which("tinyproxy", path="/usr/sbin:/usr/bin")
        if not program:
            raise Skip("tinyproxy is not installed (scripts/deps.sh installs tinyproxy-bin)")
        self.relay = SocksRelay()
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        self.port = probe.getsockname()[1]
        probe.close()
        config = os.path.join(folder, "tinyproxy.conf")
        with open(config, "w") as f:
            f.write(f"Port {self.port}\nListen 127.0.0.1\nTimeout 30\nMaxClients 16\nAllow 127.0.0.1\n"
                    f"DisableViaHeader Yes\nLogLevel Info\nLogFile \"{folder}/tinyproxy.log\"\n"
                    f"PidFile \"{folder}/tinyproxy.pid\"\nUpstream socks5 127.0.0.1:{self.relay.port}\n"
                    f"BasicAuth {user} {password}\n")
        self.proc = subprocess.Popen(["timeout", "--kill-after=5", "300", program, "-d", "-c", config],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: self._listening(), 15):
            self.close()
            raise RuntimeError("tinyproxy did not start")

    def _listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def url(self):
        return f"http://127.0.0.1:{self.port}"

    def close(self):
        end_process(self.proc, 10)
        self.relay.close()


class Skip(Exception):
    """A case that this machine cannot run (a tool is missing)."""


class Signer:
    """A minisign key pair made now, without a password, and signatures by it,
    all by the real minisign tool."""

    def __init__(self, folder, name="update"):
        if not shutil.which("minisign"):
            raise Skip("minisign is not installed")
        self.folder = folder
        self.public_path = os.path.join(folder, name + ".pub")
        self.secret_path = os.path.join(folder, name + ".key")
        self._run(["-G", "-W", "-p", self.public_path, "-s", self.secret_path])

    @staticmethod
    def _run(args):
        subprocess.run(["minisign", *args], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)

    def public_key(self):
        with open(self.public_path, "rb") as f:
            return f.read()

    def sign(self, data, name="package", extra=()):
        """Writes data as name and its signature beside it; returns the signature's bytes."""
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        self._run(["-S", "-s", self.secret_path, "-m", path, "-x", path + ".minisig", *extra])
        with open(path + ".minisig", "rb") as f:
            return f.read()


# --- Installation and packages ----------------------------------------------

def make_zip(entries, store_over=1 << 20):
    """entries: list of (name, bytes, mode or None). Returns the zip's bytes.
    Entries larger than store_over bytes are stored, not deflated."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_STORED if len(data) > store_over else zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = ((mode or 0o644) | 0o100000) << 16
            zf.writestr(info, data)
    return buffer.getvalue()


class Installation:
    """A temporary installation folder holding the updater, the sample skin,
    the translations and the stand-in client and notifier."""

    def __init__(self, build_dir, source_dir, root=None, language=None):
        self.build_dir = build_dir
        self.tmp = None
        if root is None:
            self.tmp = tempfile.mkdtemp(prefix="update-e2e-")
            root = os.path.join(self.tmp, "Corvel Client")
        self.root = root
        if os.path.exists(root):
            shutil.rmtree(root)
        shutil.copytree(os.path.join(source_dir, "sample"), root)
        bin_dir = os.path.join(build_dir, "bin")
        shutil.copy2(os.path.join(bin_dir, "update"), os.path.join(root, "update"))
        if os.path.isdir(os.path.join(bin_dir, "Language")):
            shutil.copytree(os.path.join(bin_dir, "Language"), os.path.join(root, "Language"),
                            dirs_exist_ok=True)
        for name in (CLIENT, NOTIFIER):
            shutil.copy2(self.standin(name), os.path.join(root, name))
        if language is not None:
            self.set_options("Type", Language=language)
        self.children = []
        self.log = os.path.join(root, "standins.log")

    def standin(self, name):
        return os.path.join(self.build_dir, "standins", name)

    def set_options(self, section, **values):
        """Sets keys of "[section]" in the installation's Localcfg.ini, in
        place of any it already has, e.g. set_options("Update", Log="true")."""
        path = self.path("Localcfg.ini")
        with open(path, encoding="latin-1") as f:
            lines = f.read().splitlines()
        if f"[{section}]" not in lines:
            lines.append(f"[{section}]")
        at = lines.index(f"[{section}]") + 1
        end = next((i for i in range(at, len(lines)) if lines[i].startswith("[")), len(lines))
        kept = [line for line in lines[at:end] if line.split("=", 1)[0].strip() not in values]
        lines[at:end] = [f"{key}={value}" for key, value in values.items()] + kept
        with open(path, "w", encoding="latin-1") as f:
            f.write("\n".join(lines) + "\n")

    def update_log(self):
        """The support log "update.log", or None when there is none."""
        path = self.path("update.log")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def start_standin(self, name, seconds=120, folder=None):
        """Starts the stand-in from this installation, or from a copy of it
        in another folder."""
        folder = folder or self.root
        if folder != self.root:
            os.makedirs(folder, exist_ok=True)
            shutil.copy2(self.standin(name), os.path.join(folder, name))
        env = dict(os.environ, STANDIN_LOG=self.log, STANDIN_SECONDS=str(seconds))
        proc = subprocess.Popen([os.path.join(folder, name)], cwd=folder, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.children.append(proc)
        return proc

    def installer_zip(self, padding=0, extra=(), installer_mode=0o644):
        installer = open(self.standin(INSTALLER), "rb").read()
        entries = [("bin/", b"", 0o755), ("bin/" + INSTALLER, installer, installer_mode)]
        entries += list(extra)
        if padding:
            entries.append(("data/payload.bin", os.urandom(padding), None))
        return make_zip(entries)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def install_key(self, text):
        """Opts the installation in to signed packages."""
        with open(self.path(KEY_FILE), "wb") as f:
            f.write(text)

    def kill_leftovers(self):
        """Ends whatever still runs from this folder, such as a client the
        updater started detached."""
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                exe = os.readlink(f"/proc/{entry}/exe")
            except OSError:
                continue
            if exe.startswith(self.root + os.sep):
                try:
                    os.kill(int(entry), signal.SIGKILL)
                except OSError:
                    pass

    def close(self):
        self.kill_leftovers()
        for proc in self.children:
            if proc.poll() is None:
                proc.kill()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                pass
        if self.tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)


class Updater:
    """The updater process, started with the seven arguments of the client."""

    def __init__(self, installation, display, url, size, major="false", reserved="",
                 notes="", client_pid="-1", notice="", log_name="updater-stderr.log", env_extra=None):
        args = [installation.path("update"), url, str(size), major, reserved, notes,
                str(client_pid), notice]
        self.log_path = installation.path(log_name)
        self.log = open(self.log_path, "wb")
        env = display.env()
        env["QT_LOGGING_RULES"] = "*.debug=true;qt.*.debug=false"
        # Programs the updater starts inherit these: a restarted client logs too.
        env["STANDIN_LOG"] = installation.log
        env["STANDIN_SECONDS"] = "120"
        for name in ("http_proxy", "https_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY"):
            env.pop(name, None)
        env.update(env_extra or {})
        self.proc = subprocess.Popen(args, cwd="/", env=env, stdout=self.log, stderr=self.log)

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def output(self):
        self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(5)
        self.log.close()


class Case:
    """One installation with its running client and notifier, one server, and
    the updater runs of one end-to-end case."""

    def __init__(self, display, build, source, language=None, root=None):
        self.display = display
        self.inst = Installation(build, source, language=language, root=root)
        self.server = PackageServer()
        self.client = self.inst.start_standin(CLIENT)
        self.notifier = self.inst.start_standin(NOTIFIER)
        self.updater = None

    def launch(self, url, size, title="CUpdate", **kwargs):
        kwargs.setdefault("client_pid", self.client.pid)
        kwargs.setdefault("notes", "Fixes and improvements.")
        self.updater = Updater(self.inst, self.display, url, size, **kwargs)
        # Generous: a sanitizer build on a busy machine starts slowly.
        self.window = self.display.wait_window(title, 45, pid=self.updater.proc.pid)
        if not self.window:
            windows = self.display.xdotool("search", "--onlyvisible", "--name", ".")
            names = [self.display.xdotool("getwindowname", w) for w in windows.split()]
            check(False, f"the update window appeared (updater exit status {self.updater.proc.poll()}, "
                         f"visible windows {names}, output: {self.updater.output()[-1500:]!r})")
        time.sleep(0.3)

    def press_update(self):
        self.display.click(self.window, *UPDATE_BUTTON)

    def notices(self):
        return re.findall(r"notice\[(.*?)\]", self.updater.output(), re.S)

    def progress(self):
        return re.findall(r"progress\[(.*?)\]", self.updater.output())

    def wait_notice(self, timeout=20, title="Notice"):
        box = self.display.wait_window(title, timeout)
        check(box, "a notice box appeared")
        time.sleep(0.2)
        return box

    def answer(self, key, timeout=20):
        box = self.wait_notice(timeout)
        self.display.key(box, key)
        wait_until(lambda: not self.display.find_windows("Notice"), 5)

    def leave(self, box, key="Return", timeout=20):
        """Answers the box with key; the updater's exit status once it ended."""
        self.display.key(box, key)
        return self.exit_code(timeout)

    def exit_code(self, timeout=20):
        code = self.updater.wait(timeout)
        check(code is not None, "the updater ended")
        return code

    def installer_ran(self, *folder):
        return os.path.exists(self.inst.path(*folder, "installer-ran.txt"))

    def confirm_install(self, *folder, what):
        """Confirms the install question: the updater ends with 0 and the
        installer (in folder) runs."""
        self.answer("Return")
        check(self.exit_code() == 0, "exit status 0")
        check(wait_until(lambda: self.installer_ran(*folder), 10), what)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.updater:
            self.updater.close()
        self.server.close()
        self.inst.close()
