#!/usr/bin/env python3
"""The ZIP that a Windows administrator downloads: the program without its symbols, the
manual as Notepad shows it, and a --help that names a file the ZIP holds.

    windows_zip.py CPACK CPACK_CONFIG BUILT_EXE LAUNCHER...
"""
import re
import struct
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

cpack, config, built, launcher = sys.argv[1], sys.argv[2], Path(sys.argv[3]), sys.argv[4:]
failures = []

with tempfile.TemporaryDirectory() as work:
    made = subprocess.run([cpack, "--config", config, "-G", "ZIP", "-B", work], capture_output=True, text=True)
    archives = list(Path(work).glob("*.zip"))
    if made.returncode != 0 or len(archives) != 1:
        sys.exit(f"cpack made {archives}: {made.returncode} {made.stdout} {made.stderr}")
    with zipfile.ZipFile(archives[0]) as archive:
        files = {Path(name).name: archive.read(name) for name in archive.namelist() if not name.endswith("/")}
        archive.extractall(work)
    print("the ZIP holds", sorted(files))

    exe = files.get("pelldor.exe", b"")
    # The COFF header follows the PE signature; a stripped image has no symbol table.
    header = struct.unpack_from("<I", exe, 0x3C)[0] + 4 if len(exe) > 0x40 else 0
    symbols = struct.unpack_from("<II", exe, header + 8) if header and len(exe) > header + 16 else None
    if symbols != (0, 0):
        failures.append(f"pelldor.exe keeps a symbol table (offset, count): {symbols}")
    print(f"pelldor.exe: {built.stat().st_size} bytes built, {len(exe)} in the ZIP")

    manual = files.get("pelldor.txt", b"")
    if not re.search(rb"SYNOPSIS\r\n.*EXIT STATUS\r\n", manual, re.S):
        failures.append("no manual pelldor.txt with its sections")
    if re.search(rb"[^\x00-\x7f]|[\x08\x1b]|(?<!\r)\n", manual):
        failures.append("the manual holds more than ASCII text with CR LF line ends")

    # Run from the ZIP's own copy: still a program after stripping.
    unpacked = next(Path(work).rglob("pelldor.exe"))
    helped = subprocess.run(launcher + [str(unpacked), "--help"], capture_output=True, text=True, timeout=60)
    named = re.search(r"See (\S+) beside the program\.", helped.stdout)
    if helped.returncode != 0 or not named or named.group(1) not in files:
        failures.append(f"--help does not name a file of the ZIP: {helped.returncode} {helped.stdout[-200:]!r}")

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
