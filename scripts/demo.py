#!/usr/bin/env python3
"""The demo: a whole update of a demo installation against a package served
from 127.0.0.1. The package is signed with minisign (a key made now) and the
installation holds the public key, so the update is a verified one. With a
display, a person drives it; without one it runs under Xvfb, drives itself
and saves a screenshot of each stage, then shows one tampered update refused.
With --scale 1.5 or 2 the headless run is on a screen of 144 or 192 dpi (the
desktop's Xft.dpi set to match), as a laptop set to 150 % or 200 % is; the
screenshots are then named with the percentage, 1-start-150.png and so on."""

import argparse
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
import harness  # noqa: E402

NOTES = ("<b>Corvel 2.1</b><br/>"
         "Faster start-up and a lighter memory footprint.<br/>"
         "The chat window keeps its place between sessions.<br/>"
         "Fixes a crash when a file transfer was cancelled.<br/>"
         "Security: every download is now checked before it is opened.")

UPDATE_BUTTON = (613, 445)  # logical pixels in the window


def display_usable():
    if not os.environ.get("DISPLAY"):
        return False
    return subprocess.run(["xdpyinfo"], capture_output=True, timeout=10).returncode == 0


def report(inst, client, notifier, archive, updater_code):
    ran = os.path.exists(inst.path("client_update", "installer-ran.txt"))
    lines = [
        ("client stopped", not harness.pid_alive(client.pid)),
        ("notifier stopped", not harness.pid_alive(notifier.pid)),
        ("installer started", ran),
        ("archive deleted", not os.path.exists(archive)),
        ("updater exit status", updater_code),
    ]
    for name, value in lines:
        print(f"  {name:20} {value}")
    return all(v is True for _, v in lines[:4]) and updater_code == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--out", default=os.path.join(SOURCE, "demo-run"))
    parser.add_argument("--headless", action="store_true", help="use Xvfb even with a display")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="screen scale of the headless run: 1, 1.25, 1.5, 2 ... (dpi = 96 x scale)")
    args = parser.parse_args()
    args.suffix = "" if args.scale == 1.0 else "-%d" % round(args.scale * 100)

    os.makedirs(args.out, exist_ok=True)
    inst = harness.Installation(args.build, SOURCE, root=os.path.join(args.out, "Corvel Client"))
    server = harness.PackageServer()
    interactive = display_usable() and not args.headless and args.scale == 1.0
    display = harness.Display(use_existing=interactive, dpi=round(96 * args.scale),
                              screen="%dx%d" % (round(1024 * args.scale), round(768 * args.scale)))
    updater = None
    try:
        package = inst.installer_zip(padding=3 << 20)
        # A key pair of an earlier run would stop minisign from making this one.
        for stale in ("demo-update.key", "demo-update.pub"):
            if os.path.exists(os.path.join(args.out, stale)):
                os.remove(os.path.join(args.out, stale))
        signer = harness.Signer(args.out, "demo-update")
        signature = signer.sign(package, "client_update.zip")
        inst.install_key(signer.public_key())
        server.routes["/packages/client_update.zip"] = {"body": package, "rate": 900_000}
        server.routes["/packages/client_update.zip.minisig"] = {"body": signature}
        client = inst.start_standin(harness.CLIENT, seconds=900)
        notifier = inst.start_standin(harness.NOTIFIER, seconds=900)
        archive = inst.path("client_update.zip")
        print(f"Installation: {inst.root}")
        print(f"Package:      {server.url('/packages/client_update.zip')} ({len(package)} bytes)")
        updater = harness.Updater(inst, display, server.url("/packages/client_update.zip"), len(package),
                                  notes=NOTES, client_pid=client.pid)
        if interactive:
            print("The updater is open on your display; press Update to run the update.")
            code = updater.wait(900)
        else:
            code = drive(display, updater, args)
        print("What happened:")
        ok = report(inst, client, notifier, archive, code)
        verified = "progress[Verifying...]" in updater.output()
        print(f"  {'signature verified':20} {verified}")
        ok = ok and verified
        if not interactive:
            ok = tampered(args, display, signer, package, signature) and ok
        print("Demo " + ("succeeded" if ok else "did not complete"))
        return 0 if ok else 1
    finally:
        if updater:
            updater.close()
        server.close()
        display.close()
        inst.close()


def tampered(args, display, signer, package, signature):
    """A second installation gets the same package with one byte flipped and
    the genuine signature: the updater must refuse it."""
    print("A tampered update (one byte flipped, the genuine signature):")
    inst = harness.Installation(args.build, SOURCE, root=os.path.join(args.out, "Tampered Client"))
    server = harness.PackageServer()
    updater = None
    try:
        inst.install_key(signer.public_key())
        bad = bytearray(package)
        bad[len(bad) // 2] ^= 0x01
        server.routes["/packages/client_update.zip"] = {"body": bytes(bad)}
        server.routes["/packages/client_update.zip.minisig"] = {"body": signature}
        client = inst.start_standin(harness.CLIENT, seconds=120)
        notifier = inst.start_standin(harness.NOTIFIER, seconds=120)
        updater = harness.Updater(inst, display, server.url("/packages/client_update.zip"), len(bad),
                                  notes=NOTES, client_pid=client.pid)
        window = display.wait_window("CUpdate", 20)
        if not window:
            print("  The update window did not appear.")
            return False
        time.sleep(1.0)
        display.click(window, *scaled(UPDATE_BUTTON, args.scale))
        box = display.wait_window("Notice", 60)
        shot = os.path.join(args.out, "5-tampered-refused%s.png" % args.suffix)
        if box:
            time.sleep(0.5)
            display.screenshot(shot)
            display.key(box, "Return")
        code = updater.wait(30)
        notices = re.findall(r"notice\[(.*?)\]", updater.output(), re.S)
        lines = [
            ("box", notices),
            ("package deleted", not os.path.exists(inst.path("client_update.zip"))),
            ("nothing unpacked", not os.path.exists(inst.path("client_update"))),
            ("installer started", os.path.exists(inst.path("client_update", "installer-ran.txt"))),
            ("notifier running", harness.pid_alive(notifier.pid)),
            ("updater exit status", code),
        ]
        for name, value in lines:
            print(f"  {name:20} {value}")
        print(f"  screenshot           {shot}")
        return (len(notices) == 1 and notices[0].startswith("Update failed! ") and lines[1][1] and lines[2][1]
                and not lines[3][1] and lines[4][1] and code == 255)
    finally:
        if updater:
            updater.close()
        server.close()
        inst.close()


def scaled(point, scale):
    """A point of the window in the screen's device pixels."""
    return tuple(round(v * scale) for v in point)


def drive(display, updater, args):
    shots = []

    def shot(name):
        path = os.path.join(args.out, name.replace(".png", args.suffix + ".png"))
        if display.screenshot(path):
            shots.append(path)

    window = display.wait_window("CUpdate", 20)
    if not window:
        print("The update window did not appear.")
        return updater.wait(1)
    time.sleep(1.0)
    print(f"Window: {display.geometry(window)[2]} x {display.geometry(window)[3]} device pixels")
    shot("1-start.png")
    display.click(window, *scaled(UPDATE_BUTTON, args.scale))
    time.sleep(1.8)
    shot("2-downloading.png")
    box = display.wait_window("Notice", 60)
    if box:
        time.sleep(0.5)
        shot("3-install-question.png")
        display.key(box, "Return")
    code = updater.wait(30)
    shot("4-end.png")
    print("Screenshots:")
    for path in shots:
        print(f"  {path}")
    return code


if __name__ == "__main__":
    sys.exit(main())
