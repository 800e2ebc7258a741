#!/usr/bin/env python3
"""Every file of src/ includes only from its own folder and the layers below it, and only
the platform touches the operating system's headers.

    include_direction.py SRC_DIR
"""
import re
import sys
from pathlib import Path

# Lower numbers lie lower. Folders on one level must not include each other: the command
# line and the time query are both used by the drivers, never by each other; the same
# holds for the drivers beside one another.
LAYERS = {
    "platform": 0,
    "foundation": 1,
    "cmdline": 2,
    "timequery": 2,
    "dropin": 3,
    "check": 3,
    "main.cpp": 4,
}
# Inside the platform, each system's folder is a room of its own above the shared part.
OS_FOLDERS = {"platform/linux", "platform/windows"}
OS_HEADER = re.compile(r"^(windows|winsock2|ws2tcpip|bcrypt|unistd|fcntl|netdb|poll|signal|sched)\.h$|^(sys|netinet|arpa)/")

src = Path(sys.argv[1])
failures = []
files = sorted(p for p in src.rglob("*") if p.suffix in (".h", ".cpp"))
for path in files:
    rel = path.relative_to(src).as_posix()
    room = rel.split("/")[0]
    if room not in LAYERS:
        failures.append(f"{rel}: in no known layer")
        continue
    folder = "/".join(rel.split("/")[:2])
    for line_no, line in enumerate(path.read_text().splitlines(), 1):
        if m := re.match(r'\s*#\s*include\s+"([^"]+)"', line):
            target = m.group(1)
            target_room = target.split("/")[0]
            target_folder = "/".join(target.split("/")[:2])
            where = f"{rel}:{line_no}: includes {target}"
            if target_room not in LAYERS:
                failures.append(f"{where}, which is outside src/")
            elif target_room != room and LAYERS[target_room] >= LAYERS[room]:
                failures.append(f"{where}, which is not below it")
            elif target_folder in OS_FOLDERS and target_folder != folder:
                failures.append(f"{where}, a system's own code")
        elif m := re.match(r"\s*#\s*include\s+<([^>]+)>", line):
            if OS_HEADER.search(m.group(1)) and room != "platform":
                failures.append(f"{rel}:{line_no}: includes <{m.group(1)}>; only the platform touches the system")

for failure in failures:
    print(failure)
print(f"{len(files)} files checked: {'ok' if not failures else f'{len(failures)} wrong includes'}")
sys.exit(1 if failures else 0)
