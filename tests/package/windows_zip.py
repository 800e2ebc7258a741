#!/usr/bin/env python3
"""The ZIP that a Windows administrator downloads: the program without its symbols, the
manual as Notepad shows it, and a --help that names a file the ZIP holds.

    windows_zip.py CPACK CPACK_CONFIG LAUNCHER...
"""
import re
import struct
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

cpack, config, launcher = sys.argv[1], sys.argv[2], sys.argv[3:]
failures = []
with tempfile.TemporaryDirectory() as work:
    subprocess.run([cpack, "--config", config, "-G", "ZIP", "-B", work], check=True, capture_output=True)
    with zipfile.ZipFile(next(Path(work).glob("*.zip"))) as archive:
        files = {Path(name).name: archive.read(name) for name in archive.namelist()}
        archive.extractall(work)

    exe = files["pelldor.exe"]
    # The COFF header follows the PE signature; a stripped image has no symbol table.
    symbols = struct.unpack_from("<II", exe, struct.unpack_from("<I", exe, 0x3C)[0] + 12)
    if symbols != (0, 0):
        failures.append(f"pelldor.exe keeps a symbol table (offset, count): {symbols}")

    manual = files.get("pelldor.txt", b"")
    sections = re.search(rb"SYNOPSIS\r\n.*EXIT STATUS\r\n", manual, re.S)
    if not sections or re.search(rb"[^\0-\x7f]|[\b\x1b]|(?<!\r)\n", manual):
        failures.append("no manual pelldor.txt in ASCII with CR LF line ends")

    # The ZIP's own copy, which must still run once stripped.
    helped = subprocess.run(launcher + [str(next(Path(work).rglob("pelldor.exe"))), "--help"],
                            capture_output=True, text=True, timeout=60)
    named = re.search(r"See (\S+) beside the program\.", helped.stdout)
    if not named or named.group(1) not in files:
        failures.append(f"--help names no file of the ZIP: {helped.returncode} {helped.stdout[-100:]!r}")

print("\n".join(failures) or f"ok: {sorted(files)}, pelldor.exe {len(exe)} bytes")
sys.exit(1 if failures else 0)
