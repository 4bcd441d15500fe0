#!/usr/bin/env python3
"""Accessibility, keyboard and screens: the real updater under Xvfb.

- What a screen reader sees, through the real assistive-technology interface:
  at-spi2-core's bus and registry and pyatspi, in a D-Bus session of their
  own (dbus-run-session), the updater started with
  QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1. Qt 5.15's bridge registers with the
  registry only if its connection to the accessibility bus already exists
  when it is switched on; when it does not, the updater logs "Error in
  contacting registry" and the desktop lists no application. So each such
  row runs in a fresh bus session, up to ATSPI_TRIES times; a tree that never
  shows is a failure. The rest of the tree is checked in process
  (tests/window/tst_accessibility.cpp).
- The whole update with key presses only.
- The window at 100 %, 150 % and 200 %: Xvfb at 96, 144 and 192 dpi, the
  desktop's Xft.dpi set to match (harness.Display), under a window manager.

Usage: tst_accessibility.py BUILD_DIR SOURCE_DIR
Each case is bounded in time; prints "N passed, M failed"."""

import ctypes
import math
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

ATSPI_TRIES = 3
ATSPI_ROW_SECONDS = 90  # one attempt; CTest's limit covers every attempt
NOT_REGISTERED = 3  # exit status of a row whose updater never reached the registry
NOTES = "Fixes and improvements."
PACKAGE = "/pkg/client_v2.zip"
TITLE_BAR_SPOT = (300, 20)  # logical pixels: on the title bar, clear of its buttons
LOGO_PATCH = (300, 104, 80, 84)  # logical x, y, w, h: the start picture's logo, nothing on top
TITLE_ICON = (20, 10, 20, 20)  # logical x, y, w, h of the title bar's icon


Failure = harness.Failure
check = harness.check


def logo_name(source):
    with open(os.path.join(source, "sample", "ClientInfo.ini"), "rb") as f:
        for line in f.read().decode("gb18030").splitlines():
            if line.startswith("LogoName="):
                return line[len("LogoName="):]
    return ""


# --- AT-SPI ---------------------------------------------------------------------

def atspi_python():
    """An interpreter that has pyatspi (Debian's python3-pyatspi installs it
    for the system's python3, which may not be the one running this)."""
    for candidate in (sys.executable, "/usr/bin/python3"):
        if candidate and os.path.exists(candidate) and subprocess.run(
                [candidate, "-c", "import pyatspi"], capture_output=True, timeout=30).returncode == 0:
            return candidate
    return None


def atspi_row(d, name):
    """Runs the row in a fresh D-Bus session, again while the updater never
    reaches the registry; fails with the last attempt's output."""
    python = atspi_python()
    if not python:
        raise harness.Skip("pyatspi is not installed (python3-pyatspi)")
    for tool in ("dbus-run-session", "/usr/libexec/at-spi-bus-launcher"):
        if not shutil.which(tool):
            raise harness.Skip(f"{tool} is not installed (dbus, at-spi2-core)")
    output = ""
    for attempt in range(1, ATSPI_TRIES + 1):
        env = d.env()
        for key in ("DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS"):
            env.pop(key, None)
        try:
            run = subprocess.run(["dbus-run-session", "--", python, os.path.abspath(__file__),
                                  "--atspi-row", name, BUILD, SOURCE],
                                 env=env, capture_output=True, text=True, timeout=ATSPI_ROW_SECONDS)
            code, output = run.returncode, run.stdout + run.stderr
        except subprocess.TimeoutExpired as e:
            code, output = 1, f"the row did not end in time: {e.stdout or ''}{e.stderr or ''}"
        if code == 0:
            return
        if code != NOT_REGISTERED:
            break
        print(f"  attempt {attempt}: the updater did not reach the registry", flush=True)
    lines = [line for line in output.splitlines() if "dbus-daemon" not in line and "SpiRegistry" not in line]
    raise Failure("\n".join(lines[-40:]))


class Reader:
    """The screen reader's side, inside the bus session: the updater's
    application on the desktop and what it exposes. Made before the updater
    starts: Qt's bridge learns at its start which events anyone listens to,
    and may miss a listener that comes later."""

    def __init__(self):
        import pyatspi
        from gi.repository import GLib
        self.at = pyatspi
        self.context = GLib.MainContext.default()
        self.updater = None
        self.app = None
        # What the progress bar announces, by event type. (Qt's events name
        # the object, not its new name: a reader asks for that.)
        self.announced = []
        pyatspi.Registry.registerEventListener(self._heard, "object:property-change:accessible-name",
                                               "object:property-change:accessible-value")

    def attach(self, updater):
        """Finds the updater on the desktop; ends the row as not registered
        when it never shows there."""
        self.updater = updater
        self.app = harness.wait_until(self._find_app, 25, step=0.25)
        if not self.app:
            print("no application on the desktop; updater output:", updater.output()[-1500:], flush=True)
            sys.exit(NOT_REGISTERED)

    def _heard(self, event):
        try:
            if event.source.getRole() == self.at.ROLE_PROGRESS_BAR:
                self.announced.append(event.type.split(":")[-1])
        except Exception:  # noqa: BLE001 - the object went away meanwhile
            pass

    def pump(self):
        """Takes in the events that have arrived."""
        while self.context.pending():
            self.context.iteration(False)

    def _find_app(self):
        self.pump()
        desktop = self.at.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            try:
                if app is not None and app.get_process_id() == self.updater.proc.pid:
                    return app
            except Exception:  # noqa: BLE001 - an application that went away meanwhile
                pass
        return None

    def walk(self, node=None, depth=0):
        node = node or self.app
        yield node
        if depth > 25:
            return
        for i in range(node.childCount):
            child = node.getChildAtIndex(i)
            if child is not None:
                yield from self.walk(child, depth + 1)

    def find(self, role, name=None, showing=True):
        for node in self.walk():
            try:
                if node.getRole() != role or (name is not None and node.name != name):
                    continue
                if showing and not node.getState().contains(self.at.STATE_SHOWING):
                    continue
                return node
            except Exception:  # noqa: BLE001 - the tree changes while it is read
                continue
        return None

    def wait(self, role, name=None, timeout=20):
        return self.wait_until(lambda: self.find(role, name), timeout)

    def wait_until(self, predicate, timeout):
        def pumped():
            self.pump()
            return predicate()
        return harness.wait_until(pumped, timeout, step=0.1)

    def text(self, node):
        try:
            text = node.queryText()
            return text.getText(0, text.characterCount)
        except NotImplementedError:
            return None

    def press(self, node):
        node.queryAction().doAction(0)


def atspi_update(d, inst, server, at):
    """The start page: every visible button has a name, the window's name is
    the title, the notes are text under their heading, focus starts on
    Update. Then Update pressed through its action; the progress bar's name
    and value follow the download; the install question's text and buttons
    are read and answered through AT-SPI."""
    body = inst.installer_zip(padding=400_000)
    pause = harness.Pause(len(body) // 2)
    server.routes[PACKAGE] = {"body": body, "pause": pause}
    reader = Reader()
    updater = harness.Updater(inst, d, server.url(PACKAGE), len(body), notes=NOTES)
    window = d.wait_window("CUpdate", 45, pid=updater.proc.pid)
    check(window, "the update window appeared")
    reader.attach(updater)
    frame = reader.wait(at.ROLE_FRAME)
    check(frame, "the window is a frame")
    check(frame.name == logo_name(SOURCE), f"the window's name is the title bar's: {frame.name!r}")
    buttons = [b for b in reader.walk() if b.getRole() == at.ROLE_PUSH_BUTTON
               and b.getState().contains(at.STATE_SHOWING)]
    names = [b.name for b in buttons]
    check(len(buttons) >= 4 and all(names), f"every visible button has a name: {names}")
    notes = [n for n in reader.walk() if reader.text(n) == NOTES]
    check(notes, "the notes are readable as text")
    check(notes[0].name == "Update content", f"the notes' name is their heading: {notes[0].name!r}")
    labels = [r.getTarget(0).name for r in notes[0].getRelationSet()
              if r.getRelationType() == at.RELATION_LABELLED_BY]
    check(labels == ["Update content"], f"the notes are labelled by the heading: {labels}")
    # The window is given the keyboard as a window manager gives it on mapping.
    d.xdotool("windowfocus", "--sync", window)
    update = reader.find(at.ROLE_PUSH_BUTTON, "Update")
    focused = harness.wait_until(lambda: update.getState().contains(at.STATE_FOCUSED), 5, step=0.1)
    check(focused, "focus starts on Update")

    reader.press(update)
    check(pause.wait_reached(30), "the download began")
    held = len(body) // 2 * 100 // len(body)
    bar = reader.wait(at.ROLE_PROGRESS_BAR)
    check(bar, "a progress bar shows")

    def bar_says(name, value):
        return lambda: bar.name == name and round(bar.queryValue().currentValue) == value
    check(reader.wait_until(bar_says("downloading...", held), 15),
          f"the bar says downloading... at {held}: {bar.name!r} {bar.queryValue().currentValue}")
    pause.release()
    box = reader.wait(at.ROLE_DIALOG, "Notice", 30)
    check(box, "the install question is a dialog named Notice")
    check(box.description == "Be sure overlay install?", f"its description is its text: {box.description!r}")
    texts = [n.name for n in reader.walk(box) if n.getRole() == at.ROLE_LABEL]
    check("Be sure overlay install?" in texts, f"its text is readable: {texts}")
    buttons = [n.name for n in reader.walk(box) if n.getRole() == at.ROLE_PUSH_BUTTON]
    check(buttons == ["OK", "Cancel"], f"its buttons are named: {buttons}")
    check(reader.wait_until(bar_says("Finish unCompressing", 100), 5),
          f"the bar says Finish unCompressing at 100: {bar.name!r}")
    # "downloading..." to "UnCompressing..." to "Finish unCompressing"; a
    # percentage changes the value alone.
    names, values = reader.announced.count("accessible-name"), reader.announced.count("accessible-value")
    check(names == 2 and values >= 2,
          f"the bar announces each new status once and the percentage: {names} names, {values} values")
    reader.press(reader.find(at.ROLE_PUSH_BUTTON, "Cancel"))
    check(updater.wait(20) == 0, "declined through AT-SPI, the updater ends with 0")
    check(not os.path.exists(inst.path("client_v2", "installer-ran.txt")), "nothing was installed")
    return updater


def atspi_inner(name, build, source):
    """One row inside its bus session: 0 passed, 1 failed, NOT_REGISTERED."""
    import pyatspi
    global BUILD, SOURCE
    BUILD, SOURCE = build, source
    os.environ["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
    d = harness.Display(use_existing=True)
    inst = harness.Installation(build, source)
    server = harness.PackageServer()
    updater = None
    try:
        updater = atspi_update(d, inst, server, pyatspi)
        return 0
    except Failure as e:
        print(f"FAIL: {e}", flush=True)
        return 1
    finally:
        if updater:
            updater.close()
        server.close()
        inst.close()


def test_atspi_update(d):
    atspi_row(d, "update")


# --- Keyboard -------------------------------------------------------------------

def test_keyboard_only_update(d):
    """Tab round the start page back to Update, Return, then Return on the
    install question: the installer runs, with no pointer at all."""
    with harness.Case(d, BUILD, SOURCE) as c:
        body = c.inst.installer_zip(padding=200_000)
        c.server.routes[PACKAGE] = {"body": body}
        c.launch(c.server.url(PACKAGE), len(body))
        d.xdotool("windowfocus", "--sync", c.window)
        time.sleep(0.3)
        # Update, Skin, the notes, minimise, close, and round to Update.
        d.xdotool("key", "--delay", "60", "Tab", "Tab", "Tab", "Tab", "Tab", "Return")
        check(d.wait_window("Notice", 30), f"the install question came: {c.updater.output()[-800:]}")
        time.sleep(0.3)
        # The box takes the keyboard itself.
        d.xdotool("key", "Return")
        check(c.updater.wait(20) == 0, f"the updater ended with 0: {c.updater.output()[-800:]}")
        check(not harness.pid_alive(c.client.pid), "the client was stopped")
        check(not harness.pid_alive(c.notifier.pid), "the notifier was stopped")
        check(harness.wait_until(lambda: c.installer_ran("client_v2"), 10), "the installer ran")


# --- Screens --------------------------------------------------------------------

class XRectangle(ctypes.Structure):
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short),
                ("width", ctypes.c_ushort), ("height", ctypes.c_ushort)]


def window_shape(display_name, window):
    """The rectangles of the window's bounding shape, in device pixels."""
    xext = ctypes.CDLL("libXext.so.6")
    xext.XShapeGetRectangles.restype = ctypes.POINTER(XRectangle)
    xext.XShapeGetRectangles.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                         ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
    with harness.x_connection(display_name) as (x11, dpy):
        count, ordering = ctypes.c_int(), ctypes.c_int()
        rects = xext.XShapeGetRectangles(dpy, int(window), 0, ctypes.byref(count), ctypes.byref(ordering))
        shape = [(rects[i].x, rects[i].y, rects[i].width, rects[i].height) for i in range(count.value)]
        if rects:
            x11.XFree(rects)
        return shape


def pixels(path, box, resize=None):
    """The RGB bytes of box (x, y, w, h) of a picture, first enlarged by resize %
    as Qt enlarges a picture for the screen: each pixel repeated."""
    x, y, w, h = box
    command = ["convert", path]
    if resize:
        command += ["-scale", f"{resize}%"]
    command += ["-crop", f"{w}x{h}+{x}+{y}", "+repage", "-depth", "8", "rgb:-"]
    return subprocess.run(command, capture_output=True, timeout=30, check=True).stdout


def share_differing(a, b):
    """The share of colour values that differ by more than a rounding would
    (smooth areas look alike at any scale; the logo's edges do not)."""
    check(len(a) == len(b) and a, f"patches of the same size ({len(a)} and {len(b)} bytes)")
    return sum(1 for p, q in zip(a, b) if abs(p - q) > 12) / len(a)


def on_screen(d, window, box, picture_dir):
    """The RGB bytes of box (x, y, w, h in device pixels, inside the window) on screen now."""
    wx, wy, _, _ = d.geometry(window)
    shot = os.path.join(picture_dir, "screen.png")
    check(d.screenshot(shot), "a screenshot was taken")
    x, y, w, h = box
    return pixels(shot, (wx + x, wy + y, w, h))


def sharpness(d, window, scale, picture_dir):
    """How far the start picture's logo on screen is from its @2x picture and
    from its plain picture enlarged: (to @2x, to the enlarged one)."""
    device = tuple(round(v * scale) for v in LOGO_PATCH)
    shown = on_screen(d, window, device, picture_dir)
    pictures = os.path.join(SOURCE, "sample", "Skin", "Corvel", "update")
    sharp = pixels(os.path.join(pictures, "bg0@2x.png"), device)
    enlarged = pixels(os.path.join(pictures, "bg0.png"), device, resize=round(scale * 100))
    return share_differing(shown, sharp), share_differing(shown, enlarged)


def title_icon_sharp(d, window, picture_dir):
    """The share of the title icon at 200 % that differs from its @2x
    picture over the @2x background."""
    x, y, w, h = box = tuple(2 * v for v in TITLE_ICON)
    pictures = os.path.join(SOURCE, "sample", "Skin", "Corvel", "update")
    expected = subprocess.run(
        ["convert", os.path.join(pictures, "bg0@2x.png"), "-crop", f"{w}x{h}+{x}+{y}", "+repage",
         os.path.join(pictures, "titleIcon@2x.png"), "-composite", "-depth", "8", "rgb:-"],
        capture_output=True, timeout=30, check=True).stdout
    return share_differing(on_screen(d, window, box, picture_dir), expected)


def double_click_title(d, window, scale):
    wx, wy, _, _ = d.geometry(window)
    d.xdotool("mousemove", str(wx + round(TITLE_BAR_SPOT[0] * scale)), str(wy + round(TITLE_BAR_SPOT[1] * scale)))
    time.sleep(0.2)
    d.xdotool("click", "--repeat", "2", "--delay", "80", "1")


def screen_case(dpi, screen=(1920, 1200)):
    """The window at dpi / 96: its size, its rounded mask, a drag of the
    title bar and a maximise and restore by double-click, all in device
    pixels; at 200 % also the sharp pictures, and a skin without them."""
    for tool in ("xrdb", "openbox", "convert"):
        if not shutil.which(tool):
            raise harness.Skip(f"{tool} is not installed")
    scale = dpi / 96
    d = harness.Display(screen=f"{screen[0]}x{screen[1]}", dpi=dpi, window_manager=True)
    inst = harness.Installation(BUILD, SOURCE)
    updater = None
    try:
        updater = harness.Updater(inst, d, harness.refused_url(), 1000, notes=NOTES)
        window = d.wait_window("CUpdate", 45, pid=updater.proc.pid)
        check(window, "the update window appeared")
        time.sleep(0.5)
        size = (round(680 * scale), round(480 * scale))
        x, y, w, h = d.geometry(window)
        check((w, h) == size, f"680 x 480 logical pixels are {size[0]} x {size[1]} device pixels: {w} x {h}")

        shape = window_shape(d.name, window)

        def shown(px, py):
            return any(rx <= px < rx + rw and ry <= py < ry + rh for rx, ry, rw, rh in shape)
        corner = math.ceil(6 * scale)
        inside = [(w // 2, h // 2), (w - 1, h // 2), (w // 2, h - 1), (0, h // 2), (corner, corner),
                  (w - 1 - corner, h - 1 - corner)]
        outside = [(0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1)]
        check(all(shown(*p) for p in inside) and not any(shown(*p) for p in outside),
              f"the rounded mask covers the whole window but its corners: {len(shape)} rectangles, "
              f"inside {[shown(*p) for p in inside]}, corners {[shown(*p) for p in outside]}")

        if dpi == 192:
            to_sharp, to_enlarged = sharpness(d, window, scale, inst.root)
            check(to_sharp < 0.002 and to_enlarged > 0.01,
                  f"the @2x picture is drawn, not the plain one enlarged: {to_sharp:.2%} of the logo "
                  f"differs from it, {to_enlarged:.2%} from the plain one")
            icon = title_icon_sharp(d, window, inst.root)
            check(icon < 0.02, f"the title icon is its @2x picture: {icon:.2%} differs")

        # Dragged by the title bar: the window follows the pointer (a window
        # manager takes over once the pointer has moved past the drag
        # distance, so it may trail by that much).
        spot = (x + round(TITLE_BAR_SPOT[0] * scale), y + round(TITLE_BAR_SPOT[1] * scale))
        d.xdotool("mousemove", str(spot[0]), str(spot[1]))
        time.sleep(0.2)
        d.xdotool("mousedown", "1")
        for step in range(1, 11):
            d.xdotool("mousemove", str(spot[0] + 12 * step), str(spot[1] + 8 * step))
            time.sleep(0.05)
        d.xdotool("mouseup", "1")
        trail = 10 * scale + 12 + 2
        moved = harness.wait_until(lambda: d.geometry(window)[:2] != (x, y), 5, step=0.1)
        nx, ny, _, _ = d.geometry(window)
        check(moved and 120 - trail <= nx - x <= 122 and 80 - trail <= ny - y <= 82,
              f"dragged by 120, 80, the window moved by {nx - x}, {ny - y}")

        double_click_title(d, window, scale)
        maximised = harness.wait_until(lambda: d.geometry(window)[2:] == screen, 5, step=0.1)
        check(maximised, f"a double-click on the title bar maximises: {d.geometry(window)}")
        double_click_title(d, window, scale)
        restored = harness.wait_until(lambda: d.geometry(window)[2:] == size, 5, step=0.1)
        check(restored, f"a second one restores {size}: {d.geometry(window)}")
        updater.close()
        updater = None

        if dpi == 192:
            # A skin without @2x pictures still shows them, enlarged.
            pictures = inst.path("Skin", "Corvel", "update")
            for name in os.listdir(pictures):
                if "@2x" in name:
                    os.remove(os.path.join(pictures, name))
            updater = harness.Updater(inst, d, harness.refused_url(), 1000, notes=NOTES, log_name="plain.log")
            window = d.wait_window("CUpdate", 45, pid=updater.proc.pid)
            check(window, "the update window appeared with a skin of plain pictures")
            time.sleep(0.5)
            check(d.geometry(window)[2:] == size, f"still {size}: {d.geometry(window)}")
            to_sharp, to_enlarged = sharpness(d, window, scale, inst.root)
            check(to_enlarged < 0.002 and to_sharp > 0.01,
                  f"the plain picture is drawn enlarged: {to_enlarged:.2%} of the logo differs from it, "
                  f"{to_sharp:.2%} from the @2x one")
    finally:
        if updater:
            updater.close()
        inst.close()
        d.close()


def test_screen_100(d):
    screen_case(96)


def test_screen_150(d):
    screen_case(144)


def test_screen_200(d):
    screen_case(192)


def main():
    return harness.run_cases(globals())


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--atspi-row":
        sys.exit(atspi_inner(*sys.argv[2:5]))
    BUILD = os.environ.get("UPDATE_BUILD_DIR") or sys.argv[1]
    SOURCE = os.environ.get("UPDATE_SOURCE_DIR") or sys.argv[2]
    sys.exit(main())
