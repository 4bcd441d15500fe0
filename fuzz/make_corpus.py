#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into OUT/<target>/.

    make_corpus.py OUT

Signatures are made by the real minisign (none when it is missing), with a
fresh key each run: key file, signature file and package, joined by the
separator that fuzz_signature splits at.

Archives are real zips made here, most of them bent on purpose: names that
climb out of the target, links, zip64 records, damage of every kind. Nothing
here is committed; the files are made afresh for every run.
"""

import io
import os
import shutil
import struct
import subprocess
import tempfile
import sys
import warnings
import zipfile
import zlib


def zip_bytes(entries, zip64=False, compression=zipfile.ZIP_DEFLATED):
    """entries: (name, data) or (ZipInfo, data)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=compression, allowZip64=True) as archive:
        for name, data in entries:
            if isinstance(name, zipfile.ZipInfo):
                archive.writestr(name, data)
                continue
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.compress_type = compression
            if zip64:
                with archive.open(info, "w", force_zip64=True) as out:
                    out.write(data)
            else:
                archive.writestr(info, data)
    return buffer.getvalue()


def with_mode(name, mode, compression=zipfile.ZIP_STORED):
    info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
    info.create_system = 3
    info.external_attr = mode << 16
    info.compress_type = compression
    return info


def streamed(entries):
    """A zip written to a pipe-like stream: sizes in data descriptors."""

    class Unseekable(io.RawIOBase):
        def __init__(self):
            self.data = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.data += b
            return len(b)

    sink = Unseekable()
    with zipfile.ZipFile(sink, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            with archive.open(name, "w") as out:
                out.write(data)
    return bytes(sink.data)


def raw_name_zip(name_bytes, data=b"slip"):
    """One stored entry whose name is written byte for byte."""
    crc = zlib.crc32(data)
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x21, crc, len(data), len(data),
                        len(name_bytes), 0) + name_bytes + data
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 0, 0, 0x21, crc, len(data),
                          len(data), len(name_bytes), 0, 0, 0, 0, 0, 0) + name_bytes
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)
    return local + central + end


def patch_all(blob, signature, offset, value, size):
    """Overwrite a field in every record with the given signature."""
    out = bytearray(blob)
    at = out.find(signature)
    while at >= 0:
        out[at + offset:at + offset + size] = value.to_bytes(size, "little")
        at = out.find(signature, at + 4)
    return bytes(out)


LOCAL = b"PK\x03\x04"
CENTRAL = b"PK\x01\x02"


def archives():
    payload = b"installer payload\n" * 200
    setup = [("setup.exe", b"MZ" + payload), ("bin/", b""), ("bin/app.dll", payload)]
    good = zip_bytes(setup)
    yield "stored", zip_bytes(setup, compression=zipfile.ZIP_STORED)
    yield "deflated", good
    yield "empty", zip_bytes([])
    yield "zip64", zip_bytes([("setup.exe", payload), ("big.bin", b"\0" * 70000)], zip64=True)
    yield "data_descriptors", streamed([("setup.exe", payload), ("readme.txt", b"read me")])
    yield "truncated_end", good[:-10]
    yield "truncated_half", good[: len(good) // 2]
    yield "central_directory_only", good[good.find(CENTRAL):]
    yield "crc_corrupted", patch_all(good, LOCAL, 14, 0xDEADBEEF, 4)
    yield "crc_corrupted_central", patch_all(good, CENTRAL, 16, 0xDEADBEEF, 4)
    yield "encrypted_flag", patch_all(patch_all(good, LOCAL, 6, 1, 2), CENTRAL, 8, 1, 2)
    yield "unknown_method", patch_all(patch_all(good, LOCAL, 8, 99, 2), CENTRAL, 10, 99, 2)
    yield "sizes_lie", patch_all(good, CENTRAL, 24, 0x7FFFFFFF, 4)
    # Both headers agree on a length that the data does not have.
    yield "sizes_lie_both", patch_all(patch_all(good, LOCAL, 22, 0x7FFF, 4), CENTRAL, 24, 0x7FFF, 4)
    stored = zip_bytes(setup, compression=zipfile.ZIP_STORED)
    yield "stored_sizes_lie_both", patch_all(patch_all(stored, LOCAL, 22, 0x7FFF, 4), CENTRAL, 24, 0x7FFF, 4)
    yield "bomb", zip_bytes([("bomb.bin", b"\0" * (4 * 1024 * 1024))])
    yield "duplicate_names", zip_bytes([("setup.exe", b"first"), ("setup.exe", b"second"),
                                        ("a/readme.txt", b"a"), ("b/readme.txt", b"b")])
    yield "long_name_255", zip_bytes([("n" * 251 + ".exe", payload)])
    yield "long_name_4000", zip_bytes([("d/" * 1000 + "x.exe", payload)])
    yield "many_entries", zip_bytes([("f%04d.txt" % i, b"x") for i in range(600)])
    yield "symlink_out", zip_bytes([(with_mode("link", 0o120777), b"../../../root.txt"),
                                    ("setup.exe", payload)])
    yield "symlink_then_write", zip_bytes([(with_mode("d", 0o120777), b".."), ("d/x.txt", b"through")])
    yield "symlink_folder", zip_bytes([(with_mode("lnk/", 0o120777), b"/tmp")])
    yield "modes", zip_bytes([(with_mode("setup.exe", 0o106755), payload),
                              (with_mode("ro.txt", 0o100444), b"ro"), (with_mode("fifo", 0o010644), b"")])
    for index, name in enumerate(SLIPS):
        yield "slip_%02d" % index, raw_name_zip(name)


# Entry names that try to leave the target folder, as POSIX or Windows reads them.
SLIPS = [b"../evil.txt", b"../../evil.txt", b"../../../evil.txt", b"/tmp/evil.txt", b"..\\evil.txt",
         b"..\\..\\evil.txt", b"C:\\evil.txt", b"C:/evil.txt", b"C:evil.txt", b"a/../../evil.txt",
         b"./../evil.txt", b"../", b"../../slipdir/", b"..", b".", b"...", b"sub/..", b"", b"evil.txt ",
         b"ev\x00il.txt", b"//server/share/evil.txt", b"\xff\xfe.txt", b"a:b.txt", b"../up2.txt",
         b".. ", b"... ", b"a/.. /", b"a/.. /.. /x/"]


def target_steps():
    """Steps on the target folder for fuzz_safe_target: one a line, the first
    byte picks the step (D folder, F file, X file given up, L link to a
    folder outside, K link to a file outside, E empty)."""
    names = [b"setup.exe", b"bin/", b"bin/app.dll", b"a/b/c/", b"x\\y.txt", b"readme.txt ", b"caf\xc3\xa9.txt"]
    yield "plain", b"\n".join([b"D" + n if n.endswith(b"/") else b"F" + n for n in names])
    for index, name in enumerate(SLIPS):
        yield "slip_%02d" % index, b"D" + name + b"/\nF" + name + b"\nX" + name
    yield "link_folder", b"Lout\nDout/\nDout/sub/\nFout/x.txt\nDa/out/\nD./out/x/"
    yield "link_file", b"Kfile\nFfile\nFdir/file\nXfile"
    yield "emptied", b"Fa.txt\nDsub/\nFsub/b.txt\nKlnk\nE\nFc.txt"


def urls():
    return [
        b"https://example.invalid/pkg/client_v2.zip",
        b"https://example.invalid/pkg/client_v2.beta.zip",
        b"https://example.invalid/pkg/setup.exe?x=1",
        b"https://example.invalid/pkg/.hidden.zip",
        b"https://example.invalid/pkg/download?id=7",
        b"https://example.invalid/get?f=a/b.zip",
        b"https://example.invalid",
        b"https://example.invalid/pkg/",
        b"http://h/..",
        b"http://h/.",
        b"http://h/a\\..\\..\\b.zip",
        b"http://h/C:",
        b"http://h/%2e%2e",
        b"http://h/..%2f..%2fx.zip",
        b"http://h/x.zip#frag/..",
        # Near the installation's own items and the kind's edges.
        b"https://example.invalid/pkg/Corvel.exe",
        b"https://example.invalid/pkg/zorezivirarerur.EXE?v=2",
        b"https://example.invalid/pkg/Skin .zip",
        b"https://example.invalid/pkg/PlugIns.zip",
        b"https://example.invalid/get.aspx?file=Setup.exe",
        b"http://cdn.exe@downloads.exemplary.com/pkg/client.zip",
        b"http://dl.exe/pkg/client.zip#setup.exe",
        # Windows devices and names near them.
        b"https://example.invalid/pkg/nul.zip",
        b"https://example.invalid/pkg/COM1 .tar",
        b"https://example.invalid/pkg/aux.",
        b"https://example.invalid/pkg/console.zip?f=lpt1",
    ]


def launch_args():
    """First byte: the answer to the notice; then NUL-separated entries."""
    base = [b"update", b"http://127.0.0.1/p.zip", b"1024", b"false", b"reserved", b"notes", b"42", b""]

    def args(answer, entries):
        return bytes([answer]) + b"\0".join(entries)

    yield args(1, base)
    yield args(1, base[:7])
    yield args(0, base[:7] + [b"please confirm"])
    yield args(1, base[:7] + [b"please confirm"])
    yield args(1, [base[0], b"", b"0"] + base[3:])
    yield args(1, [base[0], base[1], b" -5 "] + base[3:])
    yield args(1, [base[0], base[1], b"9223372036854775808"] + base[3:])
    yield args(1, [base[0], base[1], b"-9223372036854775808"] + base[3:])
    yield args(1, [base[0], base[1], b"0x10", b"true", b"", b"", b"2147483648", b""])
    yield args(1, base + [b"extra", b"more"])


SIG_SEPARATOR = b"\n=====\n"


def signatures():
    """(name, key + separator + signature + separator + package)."""
    yield "garbage", SIG_SEPARATOR.join([b"untrusted comment: x\nRWQ=\n", b"not a signature", b"data"])
    tool = shutil.which("minisign")
    if not tool:
        return
    with tempfile.TemporaryDirectory() as folder:
        def run(*args):
            subprocess.run([tool, *args], cwd=folder, check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)

        def read(name):
            with open(os.path.join(folder, name), "rb") as f:
                return f.read()

        run("-G", "-W", "-p", "k.pub", "-s", "k.key")
        run("-G", "-W", "-p", "o.pub", "-s", "o.key")
        packages = {"small": b"MZ" + b"installer" * 50, "empty": b"", "zip": zip_bytes([("setup.exe", b"MZ")])}
        for name, data in packages.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            run("-S", "-s", "k.key", "-m", name, "-x", name + ".sig")
            run("-S", "-s", "k.key", "-m", name, "-x", name + ".leg", "-l")
            run("-S", "-s", "k.key", "-m", name, "-x", name + ".cmt", "-t", "version 2.1.0")
            run("-S", "-s", "o.key", "-m", name, "-x", name + ".other")
            key, sig = read("k.pub"), read(name + ".sig")
            yield name + "_good", SIG_SEPARATOR.join([key, sig, data])
            yield name + "_crlf", SIG_SEPARATOR.join([key.replace(b"\n", b"\r\n"), sig.replace(b"\n", b"\r\n"), data])
            yield name + "_legacy", SIG_SEPARATOR.join([key, read(name + ".leg"), data])
            yield name + "_comment", SIG_SEPARATOR.join([key, read(name + ".cmt"), data])
            yield name + "_edited_comment", SIG_SEPARATOR.join(
                [key, read(name + ".cmt").replace(b"2.1.0", b"2.2.0"), data])
            yield name + "_other_key", SIG_SEPARATOR.join([key, read(name + ".other"), data])
            yield name + "_tampered", SIG_SEPARATOR.join([key, sig, data + b"!"])


def main():
    warnings.filterwarnings("ignore", message="Duplicate name")
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    sets = {
        "fuzz_extract": dict(archives()),
        "fuzz_zip_reader": dict(archives()),
        "fuzz_safe_target": dict(target_steps()),
        "fuzz_package_paths": {"url_%02d" % i: b"\0" + u for i, u in enumerate(urls())},
        "fuzz_launch_args": {"args_%02d" % i: a for i, a in enumerate(launch_args())},
        "fuzz_signature": dict(signatures()),
    }
    for target, files in sets.items():
        folder = os.path.join(out, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print("%s: %d seeds" % (target, len(files)))


if __name__ == "__main__":
    main()
