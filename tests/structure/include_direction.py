#!/usr/bin/env python3
"""Every file of src/ includes only from its own folder and the layers below it, no file
reaches itself through its includes, and only a system's own folder touches the operating
system's headers.

    include_direction.py SRC_DIR
"""
import re
import sys
from pathlib import Path

# Lower numbers lie lower. Folders on one level must not include each other: the two modes
# sit beside each other and never include one another.
LAYERS = {
    "platform": 0,
    "foundation": 1,
    "exchange": 2,
    "nts": 3,
    "dropin": 4,
    "check": 4,
    "main.cpp": 5,
    "main_nts.cpp": 5,
}
# Inside the platform, each system's folder is a room of its own above the shared part.
OS_FOLDERS = {"platform/linux", "platform/windows"}
OS_HEADER = re.compile(r"^(windows|winsock2|ws2tcpip|bcrypt|unistd|fcntl|netdb|poll|signal|sched)\.h$|^(sys|netinet|arpa)/")
# The platform's shared part and its seam touch no system either: only a system's folder does.

src = Path(sys.argv[1])
failures = []
files = sorted(p for p in src.rglob("*") if p.suffix in (".h", ".cpp"))
includes = {}
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
            includes.setdefault(rel, []).append(target)
            where = f"{rel}:{line_no}: includes {target}"
            if target_room not in LAYERS:
                failures.append(f"{where}, which is outside src/")
            elif target_room != room and LAYERS[target_room] >= LAYERS[room]:
                failures.append(f"{where}, which is not below it")
            elif target_folder in OS_FOLDERS and target_folder != folder:
                failures.append(f"{where}, a system's own code")
        elif m := re.match(r"\s*#\s*include\s+<([^>]+)>", line):
            if OS_HEADER.search(m.group(1)) and folder not in OS_FOLDERS and rel != "platform/socket_address.h":
                failures.append(f"{rel}:{line_no}: includes <{m.group(1)}>; only a system's own folder touches it")


def loop_through(start):
    """A chain of includes from start back to start, or None."""
    stack, seen = [(start, [start])], set()
    while stack:
        node, path = stack.pop()
        for target in includes.get(node, []):
            if target == start:
                return path + [start]
            if target not in seen:
                seen.add(target)
                stack.append((target, path + [target]))
    return None


for rel in sorted(includes):
    if chain := loop_through(rel):
        failures.append("an include loop: " + " -> ".join(chain))
        break

for failure in failures:
    print(failure)
print(f"{len(files)} files checked: {'ok' if not failures else f'{len(failures)} wrong includes'}")
sys.exit(1 if failures else 0)
