#!/usr/bin/env python3
"""Debian's Icinga 2 runs the CheckCommand of packaging/icinga2/pelldor.conf, and one that
imports the ITL's ntp_time with only its command swapped, against chronyds with shifted
clocks and a silent port on loopback. Each check is forced through the API, and its state,
status line and performance data, as Icinga's own parser reads it, come back through the
API. Needs root, icinga2, chronyd and libfaketime; skips (77) without.

    icinga2_test.py PELLDOR SOURCE_DIR
"""
import base64, contextlib, ctypes, glob, json, os, re, shutil, signal, socket, ssl, subprocess, sys, tempfile, time
import urllib.request
from pathlib import Path

# name, CheckCommand, server (chronyd's clock shift in seconds; "unsynchronised", chronyd
# without a reference; "silent"; a second chronyd as (shift, "again"); a list for several),
# variables without their prefix, state, status line (a regex, PORT the first server's),
# and the offset Icinga must read (within 0.5 s).
ROWS = [
    ("ok", "pelldor", 0, {"ipv4": True}, 0, r"NTP OK - offset [+-]0\.\d+ s from 127\.0\.0\.1:PORT", 0),
    ("warning", "pelldor", 2, {"warning": 1, "critical": 5}, 1, r"NTP WARNING - offset \+[12]\.\d+ s ", 2),
    ("critical", "pelldor", -8, {"warning": 1, "critical": 5}, 2, r"NTP CRITICAL - offset -[78]\.\d+ s ", -8),
    ("silent", "pelldor", "silent", {"timeout": 2}, 2, r"NTP CRITICAL - no answer from 127\.0\.0\.1:PORT within 2 s",
     None),
    ("itl-import", "pelldor-ntp", 2, {"warning": 1, "critical": 5}, 1, r"NTP WARNING - offset ", 2),
    ("timeoffset", "pelldor", 2, {"timeoffset": -2, "warning": 1, "critical": 5}, 0, r"NTP OK - offset ", 0),
    # As with check_ntp_time -q: a server that answers without a usable time is UNKNOWN.
    ("quiet", "pelldor", "unsynchronised", {"quiet": True}, 3, r"NTP UNKNOWN - .*127\.0\.0\.1:PORT", None),
    ("stratum", "pelldor", 0, {"wstratum": "1:4", "cstratum": "1:15"}, 1, r"NTP WARNING - stratum 8 \(outside 1:4\)", 0),
    # Three servers, two of which agree: the third is named, and the offset is theirs.
    ("falseticker", "pelldor", [-8, 2, (2, "again")], {"wsources": "3:", "csources": "2:"}, 1,
     r"NTP WARNING - 2 of 3 servers agree \(outside 3:\); 127\.0\.0\.1:PORT: a falseticker at -[78]\.\d+ s", 2),
]
PREFIX = {"pelldor": "pelldor_", "pelldor-ntp": "ntp_"}


def wait(what, seconds, probe):
    """probe()'s first true value, asked every 0.2 s for at most `seconds`."""
    deadline = time.monotonic() + seconds
    for _ in range(int(seconds * 5) + 1):
        if result := probe():
            return result
        if time.monotonic() > deadline:
            break
        time.sleep(0.2)
    raise TimeoutError(f"{what}: nothing within {seconds} s")


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def answers(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.2)
        s.sendto(b"\x23" + bytes(47), ("127.0.0.1", port))
        with contextlib.suppress(OSError):
            return len(s.recv(512)) >= 48


def stop(daemon):
    """Ends the daemon's process group, its helpers and plugins too, and reaps them all."""
    def gone():
        with contextlib.suppress(ChildProcessError):
            while os.waitpid(-daemon.pid, os.WNOHANG)[0]:
                pass
        try:
            os.killpg(daemon.pid, 0)
        except ProcessLookupError:
            return True

    for sig in (signal.SIGTERM, signal.SIGKILL):
        with contextlib.suppress(ProcessLookupError):
            os.killpg(daemon.pid, sig)
        with contextlib.suppress(subprocess.TimeoutExpired, TimeoutError):
            daemon.wait(15)
            return wait(f"the end of process group {daemon.pid}", 10, gone)


def main(binary, source, tmp, daemons):
    faketime = glob.glob("/usr/lib/*/faketime/libfaketime.so.1")
    if os.geteuid() != 0 or not shutil.which("icinga2") or not shutil.which("chronyd") or not faketime:
        print("skipped: needs root, icinga2 (icinga2-bin, icinga2-common), chronyd and libfaketime")
        return 77

    def start(name, args, env=None):
        with open(tmp / f"{name}.log", "w") as log:
            daemons.append(subprocess.Popen(args, env=env, stdout=log, stderr=subprocess.STDOUT,
                                            start_new_session=True))

    # The program is the plugin when called by that name.
    plugin = tmp / "plugins" / "check_pelldor"
    plugin.parent.mkdir()
    plugin.symlink_to(binary)
    rows = ROWS

    ports = {"silent": free_port(socket.SOCK_DGRAM)}
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # bound, never read
    silent.bind(("127.0.0.1", ports["silent"]))
    servers = {server for row in rows for server in (row[2] if isinstance(row[2], list) else [row[2]])}
    for server in servers - {"silent"}:
        ports[server] = port = free_port(socket.SOCK_DGRAM)
        shift = server[0] if isinstance(server, tuple) else server
        (tmp / f"chronyd{port}.conf").write_text(
            f"port {port}\nbindaddress 127.0.0.1\nallow 127.0.0.1\ncmdport 0\nbindcmdaddress /\n"
            f"pidfile {tmp}/chronyd{port}.pid\n" + ("" if server == "unsynchronised" else "local stratum 8\n"))
        shifted = shift not in (0, "unsynchronised")
        # Preloaded into chronyd alone: a process that execs another leaves libfaketime's
        # shared memory behind in /dev/shm.
        shifting = ["env", f"LD_PRELOAD={faketime[0]}", f"FAKETIME={shift:+d}s"] if shifted else []
        # -x and no CAP_SYS_TIME in any set: this machine's clock is never set.
        start(f"chronyd{port}", ["setpriv", "--bounding-set=-sys_time", *shifting, "chronyd", "-x", "-d", "-u", "root",
                                 "-f", str(tmp / f"chronyd{port}.conf")])
        wait(f"chronyd on port {port}", 10, lambda: answers(port))

    defines = ["-D", "RunAsUser=root", "-D", "RunAsGroup=root", "-D", "NodeName=localhost", "-D", "ZoneName=localhost"]
    for name in ("ConfigDir", "DataDir", "LogDir", "CacheDir", "SpoolDir", "InitRunDir"):
        (tmp / name).mkdir()
        defines += ["-D", f"{name}={tmp / name}"]
    certs = tmp / "DataDir" / "certs"
    certs.mkdir()
    # One self-signed certificate, the API's and its own CA: one key to make, not two.
    subprocess.run(["icinga2", "pki", "new-cert", "--cn", "localhost", "--key", certs / "localhost.key", "--cert",
                    certs / "localhost.crt", *defines], check=True, capture_output=True, timeout=60)
    shutil.copy(certs / "localhost.crt", certs / "ca.crt")

    # An installed pelldor package's copy would clash with the tree's, which is the one under test.
    contrib = Path("/usr/share/icinga2/include/plugins-contrib.d")
    contrib = (["include <plugins-contrib>"] if not (contrib / "pelldor.conf").exists() else
               [f'include "{path}"' for path in sorted(contrib.glob("*.conf")) if path.name != "pelldor.conf"])
    api_port = free_port(socket.SOCK_STREAM)
    config = [f'const PluginDir = "{plugin.parent}"', "const PluginContribDir = PluginDir", "include <itl>",
              "include <plugins>", *contrib, f'include "{source}/packaging/icinga2/pelldor.conf"',
              'object CheckCommand "pelldor-ntp" { import "ntp_time"; command = [ PluginDir + "/check_pelldor" ] }',
              "object Endpoint NodeName {}", "object Zone ZoneName { endpoints = [ NodeName ] }",
              f'object ApiListener "api" {{ bind_host = "127.0.0.1"; bind_port = {api_port} }}',
              'object ApiUser "test" { password = "test"',
              '  permissions = [ "objects/query/Service", "actions/reschedule-check", "console" ] }',
              'object CheckerComponent "checker" {}',
              'object Host "loopback" { address = "127.0.0.1"; check_command = "dummy"; enable_active_checks = false }']
    # Checks that are not active run only when forced: none runs before the test asks.
    for name, command, server, variables, *_ in rows:
        where = (f"vars.pelldor_address = {json.dumps([f'127.0.0.1:{ports[s]}' for s in server])}"
                 if isinstance(server, list) else f"vars.{PREFIX[command]}port = {ports[server]}")
        config += [f'object Service "{name}" {{ host_name = "loopback"; check_command = "{command}"',
                   f"enable_active_checks = false; {where}",
                   *(f"vars.{PREFIX[command]}{key} = {json.dumps(value)}" for key, value in variables.items()), "}"]
    (tmp / "icinga2.conf").write_text("\n".join(config) + "\n")
    start("icinga2", ["icinga2", "daemon", "-c", str(tmp / "icinga2.conf"), *defines])

    tls = ssl.create_default_context(cafile=str(certs / "ca.crt"))
    auth = "Basic " + base64.b64encode(b"test:test").decode()

    def api(method, path, body=None):
        request = urllib.request.Request(f"https://localhost:{api_port}/v1/{path}", method=method,
                                         data=body and json.dumps(body).encode(),
                                         headers={"Authorization": auth, "Accept": "application/json"})
        with urllib.request.urlopen(request, context=tls, timeout=10) as response:
            return json.load(response)["results"]

    def services():
        if daemons[-1].poll() is not None:
            raise RuntimeError(f"icinga2 ended with status {daemons[-1].returncode}")
        with contextlib.suppress(OSError):
            found = api("GET", "objects/services?attrs=state&attrs=last_check_result")
            return {service["name"].removeprefix("loopback!"): service["attrs"] for service in found}

    wait("Icinga 2's API", 60, services)
    forced = time.time()
    api("POST", "actions/reschedule-check", {"type": "Service", "filter": 'host.name=="loopback"', "force": True})
    done = wait("the forced checks", 60, lambda: (got := services()) and all(
        (got[row[0]]["last_check_result"] or {}).get("execution_start", 0) >= forced for row in rows) and got)
    perfdata = [done[row[0]]["last_check_result"]["performance_data"] or [] for row in rows]
    script = f"{json.dumps(perfdata)}.map((p) => p.map(parse_performance_data))"
    parsed = api("POST", "console/execute-script", {"command": script, "session": "pelldor"})[0]
    if parsed["code"] != 200:
        raise AssertionError(f"Icinga cannot parse the performance data {perfdata}: {parsed['status']}")

    failures = 0
    for (name, _, server, variables, state, line, offset), values in zip(rows, parsed["result"]):
        result, offsets = done[name]["last_check_result"], [v for v in values if v["label"] == "offset"]
        problems = [f"state {done[name]['state']:.0f}"] if done[name]["state"] != state else []
        several = server if isinstance(server, list) else []
        if not re.match(line.replace("PORT", str(ports[(several or [server])[0]])), result["output"]):
            problems.append("status line")
        # Each server's measures under labels of their own.
        labels = {v["label"] for v in values}
        if any(f"127.0.0.1:{ports[s]} {measure}" not in labels for s in several for measure in ("offset", "stratum")):
            problems.append(f"servers' labels read as {sorted(labels)}")
        if offset is None and values:
            problems.append("performance data where no offset was measured")
        if offset is not None and [(round(v["value"] - offset), v["unit"], v["warn"], v["crit"]) for v in offsets] != [
                (0, "seconds", variables.get("warning", 60), variables.get("critical", 120))]:
            problems.append(f"offset read as {offsets}")
        failures += bool(problems)
        print(f"{'FAILED' if problems else 'ok'} {name}: {', '.join(problems)} {result['output']!r} "
              f"{result['performance_data']}")
    return 1 if failures else 0


if __name__ == "__main__":
    ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER: the daemons' orphans are ours to reap
    work, started = Path(tempfile.mkdtemp(prefix="pelldor-icinga2-")), []
    try:
        status = main(Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve(), work, started)
    except Exception as error:
        log = work / "icinga2.log"
        print(f"FAILED: {error!r}\n" + ("".join(log.read_text().splitlines(True)[-30:]) if log.exists() else ""))
        status = 1
    finally:
        for daemon in reversed(started):
            stop(daemon)
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(status)
