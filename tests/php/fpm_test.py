#!/usr/bin/python3
"""The example PHP extension inside php-fpm while workers die.

Starts php-fpm with the extension and two pools (static, and dynamic with a small
pm.max_requests), drives both over unix sockets with a FastCGI client of its own, SIGKILLs random
workers (never the master) and rotates the log mid-run. Then checks that the shared counter
equals the completed increments (within the requests cut by a kill), that the lock is consistent
or was repaired, that every log line is whole and every completed request logged, that nothing
hung or crashed, and that every token is distinct.

Exit status: 0 passed, 1 failed, 77 php-fpm could not be started here.
"""

import argparse
import json
import os
import random
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

FCGI_BEGIN_REQUEST, FCGI_END_REQUEST, FCGI_PARAMS, FCGI_STDIN, FCGI_STDOUT = 1, 3, 4, 5, 6
REQUEST_TIMEOUT = 10.0  # a request that takes longer has hung
LINE = re.compile(
    r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} p\d+/t\d+ [A-Z]+\] (.*) \(xdemo\.cpp:\d+\)"
)
REQUEST_LINE = re.compile(r"request (\d+) counter (\d+)")

CONFIG = """[global]
pid = {dir}/fpm.pid
error_log = {dir}/fpm.log
log_level = notice
process_control_timeout = 5

[static]
listen = {dir}/static.sock
pm = static
pm.max_children = 3
request_terminate_timeout = 20

[dynamic]
listen = {dir}/dynamic.sock
pm = dynamic
pm.max_children = 4
pm.start_servers = 2
pm.min_spare_servers = 1
pm.max_spare_servers = 3
pm.max_requests = 25
request_terminate_timeout = 20
"""


def record(kind, content):
    return struct.pack(">BBHHBx", 1, kind, 1, len(content), 0) + content


def name_value(name, value):
    out = b""
    for part in (name, value):
        n = len(part)
        out += bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)
    return out + name + value


class Cut(Exception):
    """The connection ended before the request did: its worker was killed."""


class Unavailable(Exception):
    """No connection: the pool's listener is briefly gone while the master respawns."""


def fastcgi(sock_path, script, query):
    """One request; the response body. Raises Unavailable, Cut, or socket.timeout when it
    hangs."""
    params = {
        "GATEWAY_INTERFACE": "CGI/1.1",
        "REQUEST_METHOD": "GET",
        "SCRIPT_FILENAME": script,
        "SCRIPT_NAME": "/" + os.path.basename(script),
        "REQUEST_URI": "/" + os.path.basename(script) + "?" + query,
        "QUERY_STRING": query,
        "SERVER_PROTOCOL": "HTTP/1.1",
    }
    body = b"".join(name_value(k.encode(), v.encode()) for k, v in params.items())
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(REQUEST_TIMEOUT)
        try:
            s.connect(sock_path)
        except (ConnectionError, FileNotFoundError) as e:
            raise Unavailable() from e
        try:
            return exchange(s, body)
        except (ConnectionError, BrokenPipeError) as e:
            raise Cut() from e


def exchange(s, body):
    """Sends the request on a connected socket and reads the response body."""
    s.sendall(
        record(FCGI_BEGIN_REQUEST, struct.pack(">HB5x", 1, 0))
        + record(FCGI_PARAMS, body)
        + record(FCGI_PARAMS, b"")
        + record(FCGI_STDIN, b"")
    )
    data, out = b"", b""
    while True:
        while len(data) >= 8:
            _, kind, _, length, padding = struct.unpack(">BBHHB", data[:7])
            if len(data) < 8 + length + padding:
                break
            content, data = data[8 : 8 + length], data[8 + length + padding :]
            if kind == FCGI_STDOUT:
                out += content
            elif kind == FCGI_END_REQUEST:
                return out.split(b"\r\n\r\n", 1)[-1]
        chunk = s.recv(65536)
        if not chunk:
            raise Cut()
        data += chunk


class Run:
    def __init__(self, args, directory):
        self.args = args
        self.dir = directory
        self.script = os.path.abspath(args.script)
        self.lock = threading.Lock()
        self.ok = []  # the decoded answers of completed requests
        self.cut = 0
        self.hung = 0
        self.bad = []
        self.killed = 0
        self.stop = threading.Event()
        self.next_id = 0

    def request(self, pool, query):
        return fastcgi(os.path.join(self.dir, pool + ".sock"), self.script, query)

    def client(self):
        while not self.stop.is_set():
            with self.lock:
                self.next_id += 1
                rid = self.next_id
            pool = "static" if rid % 2 else "dynamic"
            try:
                body = self.request(pool, "id=%d" % rid)
            except Cut:
                with self.lock:
                    self.cut += 1
                continue
            except socket.timeout:
                with self.lock:
                    self.hung += 1
                continue
            except Unavailable:
                time.sleep(0.01)
                continue
            try:
                answer = json.loads(body)
            except ValueError:
                with self.lock:
                    self.bad.append(body[:200])
                continue
            with self.lock:
                self.ok.append(answer)

    def workers(self, master):
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == master:
                pids.append(int(entry))
        return pids

    def killer(self, master):
        rng = random.Random()
        while not self.stop.wait(rng.uniform(0.05, 0.4)):
            pids = self.workers(master)
            if pids:
                try:
                    os.kill(rng.choice(pids), signal.SIGKILL)
                    self.killed += 1
                except ProcessLookupError:
                    pass


def start_fpm(args, directory):
    conf = os.path.join(directory, "fpm.conf")
    with open(conf, "w") as f:
        f.write(CONFIG.format(dir=directory))
    command = [
        args.fpm, "-n", "-F", "-R", "-y", conf,
        "-d", "extension=" + os.path.abspath(args.extension),
        "-d", "xdemo.log_file=" + os.path.join(directory, "xdemo.log"),
        "-d", "xdemo.zones=Europe/Berlin",
    ]
    # A session of its own, so that nothing of it outlives the test.
    fpm = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                           start_new_session=True)
    for _ in range(100):
        if all(os.path.exists(os.path.join(directory, p + ".sock")) for p in ("static", "dynamic")):
            return fpm
        if fpm.poll() is not None:
            break
        time.sleep(0.05)
    stop_fpm(fpm)
    log = open(os.path.join(directory, "fpm.log")).read() if os.path.exists(
        os.path.join(directory, "fpm.log")) else ""
    print("php-fpm could not be started:", log.strip()[-500:] or "no log", file=sys.stderr)
    return None


def stop_fpm(fpm):
    """Ends the master and every worker it left."""
    if fpm.poll() is None:
        fpm.terminate()
        try:
            fpm.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(fpm.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    fpm.wait()


def check_logs(run, directory, failures):
    logged = {}
    lines = 0
    for name in sorted(os.listdir(directory)):
        if not name.startswith("xdemo.log"):
            continue
        with open(os.path.join(directory, name), "rb") as f:
            for raw in f:
                lines += 1
                text = raw.decode("utf-8", "replace").rstrip("\n")
                m = LINE.fullmatch(text)
                if not raw.endswith(b"\n") or not m:
                    failures.append("a torn or malformed log line: %r" % text[:200])
                    continue
                r = REQUEST_LINE.fullmatch(m.group(1))
                if r:
                    logged[int(r.group(1))] = int(r.group(2))
    for answer in run.ok:
        rid = int(answer["id"])
        if rid and logged.get(rid) != answer["counter"]:
            failures.append("request %d completed but its log line is missing" % rid)
            break
    return lines


def check_fpm_log(directory, failures):
    with open(os.path.join(directory, "fpm.log")) as f:
        for line in f:
            m = re.search(r"exited on signal (\d+)", line)
            if m and int(m.group(1)) != signal.SIGKILL:
                failures.append("php-fpm: " + line.strip())
            m = re.search(r"exited with code (\d+)", line)
            if m and int(m.group(1)) != 0:
                failures.append("php-fpm: " + line.strip())
            if "ERROR" in line or "ALERT" in line:
                failures.append("php-fpm: " + line.strip())


def check(run, final, directory, failures):
    counters = [a["counter"] for a in run.ok]
    tokens = [a["token"] for a in run.ok]
    if len(set(tokens)) != len(tokens):
        failures.append("%d of %d tokens repeat" % (len(tokens) - len(set(tokens)), len(tokens)))
    if not all(a["token_ok"] for a in run.ok):
        failures.append("a token was refused by the library that made it")
    if len(set(counters)) != len(counters):
        failures.append("two increments returned the same counter")
    value = final["value"]
    if not len(counters) <= value <= len(counters) + run.cut:
        failures.append("counter %d, but %d increments completed and %d were cut"
                        % (value, len(counters), run.cut))
    if not final["consistent"]:
        failures.append("the lock is left inconsistent")
    if run.hung:
        failures.append("%d requests hung" % run.hung)
    if run.bad:
        failures.append("a bad answer: %r" % run.bad[0])
    lines = check_logs(run, directory, failures)
    check_fpm_log(directory, failures)
    return lines


def drive(run, fpm, directory, failures):
    """Runs the clients, the killer and the rotation; the shared counter as read at the end."""
    threads = [threading.Thread(target=run.client) for _ in range(run.args.clients)]
    threads.append(threading.Thread(target=run.killer, args=(fpm.pid,)))
    for t in threads:
        t.start()
    try:
        run.stop.wait(run.args.seconds / 2)
        log = os.path.join(directory, "xdemo.log")
        if os.path.exists(log):
            os.rename(log, log + ".1")
        else:
            failures.append("no log file at " + log)
        run.stop.wait(run.args.seconds / 2)
    finally:
        run.stop.set()
        for t in threads:
            t.join()
    if fpm.poll() is not None:
        failures.append("the php-fpm master ended with status %s" % fpm.returncode)
        return {"value": -1, "consistent": False, "repairs": 0}
    last = json.loads(run.request("static", "id=0"))  # repairs what the last kill left
    run.ok.append(last)
    return json.loads(run.request("static", "read=1"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fpm", required=True)
    parser.add_argument("--extension", required=True)
    parser.add_argument("--script", required=True)
    parser.add_argument("--seconds", type=float, default=45)
    parser.add_argument("--clients", type=int, default=4)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="xdemo-fpm-") as directory:
        fpm = start_fpm(args, directory)
        if fpm is None:
            return 77
        run = Run(args, directory)
        failures = []
        try:
            final = drive(run, fpm, directory, failures)
        finally:
            run.stop.set()
            stop_fpm(fpm)
        lines = check(run, final, directory, failures)
        print("php-fpm: %.0f s, %d requests (%d completed, %d cut by a kill), %d workers killed, "
              "%d repairs, %d log lines, %d tokens distinct, counter %d"
              % (args.seconds, len(run.ok) + run.cut + run.hung, len(run.ok), run.cut,
                 run.killed, final["repairs"], lines, len(set(a["token"] for a in run.ok)),
                 final["value"]))
        for failure in failures[:20]:
            print("php-fpm test: " + failure, file=sys.stderr)
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
