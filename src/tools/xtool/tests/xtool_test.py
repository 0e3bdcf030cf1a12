"""End-to-end checks of the built xtool: output and exit status of every command."""
import errno
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

XTOOL = None


def run(*args, stdin=b"", stdout=subprocess.PIPE):
    """stdin: the bytes to feed, an open file, or None for a closed standard input."""
    feed = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    if stdin is None:
        feed["preexec_fn"] = lambda: os.close(0)
    p = subprocess.run([XTOOL, *args], stdout=stdout, stderr=subprocess.PIPE, timeout=60, **feed)
    return p.returncode, p.stdout, p.stderr


class Cases(unittest.TestCase):
    def check(self, cases):
        for args, stdin, status, out in cases:
            with self.subTest(args=args):
                code, stdout, stderr = run(*args, stdin=stdin)
                self.assertEqual(code, status, stderr.decode(errors="replace"))
                if isinstance(out, re.Pattern):
                    self.assertRegex(stdout.decode(), out)
                elif out is not None:
                    self.assertEqual(stdout, out)
                if status == 2:
                    self.assertIn(b"xtool --help", stderr)
                elif status == 1:
                    self.assertIn(b"xtool: ", stderr)

    def test_usage_errors_and_help(self):
        usage = [(["--help"], b"", 0, re.compile(r"^Usage: xtool")), ([], b"", 2, b""),
                 (["--version"], b"", 0, re.compile(r"^xtool \d+\.\d+\.\d+\n$")),
                 (["nosuch"], b"", 2, b""), (["--bogus", "cron"], b"", 2, b"")]
        commands = ["cron", "token", "json", "base64", "hex", "msg", "split", "scan", "sysinfo"]
        for command in commands:
            usage.append(([command, "--help"], b"", 0, re.compile(r"^Usage: xtool " + command)))
            usage.append(([command, "--no-such-option"], b"", 2, b""))
        usage += [(["cron"], b"", 2, b""), (["cron", "* * * * * *", "--count"], b"", 2, b""),
                  (["cron", "* * * * * *", "--from", "yesterday"], b"", 2, b""),
                  (["token"], b"", 2, b""), (["token", "check"], b"", 2, b""),
                  (["base64", "sideways"], b"", 2, b""), (["hex"], b"", 2, b""),
                  (["msg"], b"", 2, b""), (["msg", "decode"], b"", 2, b""), (["split"], b"", 2, b""),
                  (["scan", "/tmp"], b"", 2, b""), (["sysinfo", "extra"], b"", 2, b"")]
        self.check(usage)
        # The manual page is made from --help-all: every command, its synopsis and description.
        code, out, _ = run("--help-all")
        self.assertEqual(code, 0)
        for command in commands:
            self.assertRegex(out.decode(), r"\n  " + command + r"\b.*\n {22}\S")

    def test_unreadable_input(self):
        with tempfile.TemporaryDirectory() as top:
            directory = os.open(top, os.O_RDONLY)
            self.addCleanup(os.close, directory)
            for args in (["json"], ["base64", "encode"], ["hex", "decode"],
                         ["msg", "decode", "xavro.protobuf.Monitor.Event"]):
                for name, stdin, extra, reason in ((top, b"", [top], errno.EISDIR),
                                                   ("standard input", None, [], errno.EBADF),
                                                   ("standard input", directory, [], errno.EISDIR)):
                    with self.subTest(args=args, stdin=stdin, extra=extra):
                        code, out, err = run(*args, *extra, stdin=stdin)
                        self.assertEqual((code, out), (1, b""))
                        self.assertEqual(err.decode(), f"xtool: cannot read {name}: {os.strerror(reason)}\n")

    def test_failed_output(self):
        with tempfile.TemporaryDirectory() as top, open("/dev/full", "wb") as full:
            open(os.path.join(top, "a"), "w").close()
            for args, stdin in ((["--help"], b""), (["--version"], b""), (["cron", "--help"], b""),
                                (["cron", "* * * * * *"], b""), (["token", "new"], b""),
                                (["json"], b"[]"), (["base64", "encode"], bytes(1 << 20)),
                                (["hex", "encode"], b"x"), (["msg", "types"], b""),
                                (["split", "a b"], b""), (["scan", top, "*"], b""), (["sysinfo"], b"")):
                with self.subTest(args=args):
                    code, _, err = run(*args, stdin=stdin, stdout=full)
                    self.assertEqual(code, 1)
                    self.assertEqual(err.decode(), f"xtool: cannot write output: {os.strerror(errno.ENOSPC)}\n")

    def test_long_bad_input_is_quoted_short(self):
        for args in (["token", "check", "A" * 100000], ["msg", "decode", "x" * 100000],
                     ["cron", "* * * * * *", "--from", "y" * 100000], ["z" * 100000]):
            with self.subTest(args=args[:-1]):
                code, _, err = run(*args)
                self.assertIn(code, (1, 2))
                self.assertLess(len(err), 200, err[:300])
                self.assertIn(args[-1][:64].encode() + b"...'", err)

    def test_completion(self):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "completion.bash")
        # As bash does on TAB: the words so far, the last one being completed.
        ask = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _xtool;'
               ' printf "%s\\n" "${COMPREPLY[@]}"')
        with tempfile.TemporaryDirectory() as top:
            os.mkdir(os.path.join(top, "logs"))
            open(os.path.join(top, "in.b64"), "w").close()
            event = "xavro.protobuf.Monitor.Event"
            for words, want in ((["cr"], ["cron"]), (["-"], ["--verbose", "--help", "--help-all", "--version"]),
                                (["base64", "--u"], ["--url"]), (["base64", ""], ["encode", "decode"]),
                                (["base64", "decode", "i"], ["in.b64"]), (["scan", ""], ["logs"]),
                                (["msg", "decode", event[:-3]], [event]), (["msg", "types", ""], []),
                                (["cron", "--from", ""], []), (["cron", "--m"], ["--missed"]),
                                (["cron", "--missed", ""], []), (["nosuch", ""], [])):
                with self.subTest(words=words):
                    p = subprocess.run(["bash", "-c", ask, "bash", script, XTOOL, *words], cwd=top,
                                       capture_output=True, timeout=60)
                    self.assertEqual(p.stdout.decode().split(), want, p.stderr.decode())

    def test_cron(self):
        self.check([
            (["cron", "0 30 9 * * MON-FRI", "--from", "2024-03-01T10:00:00Z", "--count", "3"], b"", 0,
             b"2024-03-04T09:30:00Z\n2024-03-05T09:30:00Z\n2024-03-06T09:30:00Z\n"),
            (["cron", "0 0 0 29 2 *", "--from", "1709164800", "-n", "2"], b"", 0,  # 2024-02-29
             b"2028-02-29T00:00:00Z\n2032-02-29T00:00:00Z\n"),
            (["cron", "*/20 * * * * *", "--from", "2024-12-31T23:59:30Z"], b"", 0,
             b"2024-12-31T23:59:40Z\n2025-01-01T00:00:00Z\n2025-01-01T00:00:20Z\n"
             b"2025-01-01T00:00:40Z\n2025-01-01T00:01:00Z\n"),
            (["cron", "* * *"], b"", 1, b""),
            (["cron", "0 0 0 30 2 *", "--from", "2024-01-01T00:00:00Z"], b"", 1, b""),
            (["cron", "* * * * * *", "--from", "2024-02-30T00:00:00Z"], b"", 2, b""),
            # In a zone: 02:30 does not happen on 31 March in Berlin, so it fires as the hour ends.
            (["cron", "0 30 2 * * *", "--zone", "Europe/Berlin", "--from", "2024-03-30T12:00:00Z",
              "-n", "2"], b"", 0, b"2024-03-31T03:00:00+02:00\n2024-04-01T02:30:00+02:00\n"),
            (["cron", "0 0 12 * * *", "--from", "2024-03-05T14:07:09+01:30", "-n", "1"], b"", 0,
             b"2024-03-06T12:00:00Z\n"),
            (["cron", "0 0 12 * * *", "--from", "2024-03-05T14:07:09+1:30"], b"", 2, b""),
            (["cron", "0 0 12 * * *", "--zone", "../etc/passwd"], b"", 1, b""),
            # Back from a time, latest first, and the runs missed since another.
            (["cron", "0 30 9 * * MON-FRI", "--from", "2024-03-04T09:30:00Z", "--prev", "-n", "2"], b"",
             0, b"2024-03-01T09:30:00Z\n2024-02-29T09:30:00Z\n"),
            (["cron", "0 30 2 * * *", "--zone", "Europe/Berlin", "--from", "2024-04-01T00:00:00Z", "--prev",
              "-n", "2"], b"", 0, b"2024-03-31T03:00:00+02:00\n2024-03-30T02:30:00+01:00\n"),
            (["cron", "0 0 * * * *", "--missed", "2024-03-01T00:00:00Z", "--from", "2024-03-02T00:00:00Z",
              "-n", "100"], b"", 0, b"24 runs\nfirst 2024-03-01T01:00:00Z\nlast 2024-03-02T00:00:00Z\n"),
            (["cron", "0 0 * * * *", "--missed", "2024-03-01T00:00:00Z", "--from", "2024-03-02T00:00:00Z"],
             b"", 0, b"more than 5 runs\nfirst 2024-03-01T01:00:00Z\nlast 2024-03-02T00:00:00Z\n"),
            (["cron", "0 0 0 1 1 *", "--missed", "2024-03-01T00:00:00Z", "--from", "2024-03-02T00:00:00Z"],
             b"", 0, b"0 runs\n"),
            (["cron", "* * * * * *", "--missed", "0"], b"", 1, b""),
            (["cron", "* * * * * *", "--missed", "soon"], b"", 2, b""),
            (["cron", "* * * * * *", "--missed", "1", "--prev"], b"", 2, b""),
        ])
        code, out, _ = run("cron", "* * * * * *")
        self.assertEqual((code, len(out.splitlines())), (0, 5))

    def test_token_made_checked_and_changed(self):
        # The text starts with the expiry's low byte: 0xF8 to 0xFB make it start with '-', which
        # only '--' keeps from being read as an option. Aim at 0xF9; the clock may move on a second.
        validity = 768 + (0xF9 - int(time.time())) % 256
        code, out, _ = run("token", "new", "--validity", str(validity), "--flag", "1")
        self.assertEqual(code, 0)
        text = out.decode().strip()
        self.assertRegex(text, r"^-[A-Za-z0-9_-]{26}$")
        code, _, err = run("token", "check", text)
        self.assertEqual(code, 2)
        self.assertIn(b"goes after '--'", err)
        code, out, _ = run("token", "check", "--", text)
        self.assertEqual(code, 0)
        self.assertRegex(out.decode(), r"^expires \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ flag 1\n$")
        changed = text[:5] + ("A" if text[5] != "A" else "B") + text[6:]
        code, _, err = run("token", "check", "--", changed)
        self.assertEqual(code, 1)
        self.assertIn(b"Checksum error in access token", err)
        self.check([(["token", "new", "--validity=-5"], b"", 0, None),  # a value with a dash is attached
                    (["token", "new", "--flag", "2"], b"", 2, b""),
                    (["token", "new", "--count", "0"], b"", 2, b""),
                    (["token", "check", "short"], b"", 1, b"")])

    def test_tokens_made_at_once_differ(self):
        # Runs in the same second (which seeded rand() alike) and one run's many tokens.
        runs = [run("token", "new", "--count", "200") for _ in range(3)]
        texts = [t for code, out, _ in runs for t in out.decode().split()]
        self.assertEqual([code for code, _, _ in runs], [0, 0, 0])
        self.assertEqual((len(texts), len(set(texts))), (600, 600))
        for text in texts[::50]:
            self.assertEqual(run("token", "check", "--", text)[0], 0, text)

    def test_json(self):
        doc = b'{"queue": "mail", "jobs": [1, 2.5, true, null, {"x": "\\u00e9"}]}'
        code, compact, _ = run("json", "--compact", stdin=doc)
        self.assertEqual(code, 0)
        code, formatted, _ = run("json", stdin=compact)
        self.assertEqual(code, 0)
        self.assertIn(b"\n\t", formatted)
        code, again, _ = run("json", "-c", stdin=formatted)
        self.assertEqual((code, again), (0, compact))
        with tempfile.NamedTemporaryFile() as f:
            f.write(doc)
            f.flush()
            self.assertEqual(run("json", "--compact", f.name)[1], compact)
        self.check([(["json", "/no/such/file"], b"", 1, b""),
                    (["json", "-c"], b'{"id": 1234567890123456789} x', 0, b'{"id":1234567890123456789}\n')])
        # Text that is not JSON: where, as compilers tell it, and status 1.
        code, out, err = run("json", stdin=b'{"a": "\xc3\xa9",\n "b": [1 2]}')
        self.assertEqual((code, out, err), (1, b"", b"standard input:2:10: expected ',' or ']'\n"))
        with tempfile.NamedTemporaryFile() as f:
            f.write(b'{"a": ')
            f.flush()
            self.assertEqual(run("json", f.name)[::2], (1, f"{f.name}:1:7: expected a value\n".encode()))

    def test_json_lines(self):
        lines = b'{"a": 1}\n\n [2] \r\n"x"\n{"b": }\n[3]\n'
        self.assertEqual(run("json", "--lines", stdin=lines),
                         (1, b'{"a":1}\n[2]\n"x"\n', b"standard input:5:7: expected a value\n"))
        self.assertEqual(run("json", "-l", stdin=b"[1] [2]\n")[::2],
                         (1, b"standard input:1:5: text after the value\n"))
        self.assertEqual(run("json", "-l", stdin=b'1\n{"k": [true]}'), (0, b'1\n{"k":[true]}\n', b""))

    def test_codecs_round_trip(self):
        data = bytes(range(256)) * 3 + b"\xff\xfe"
        for args in (["base64"], ["base64", "--url"], ["hex"]):
            code, text, _ = run(*args, "encode", stdin=data)
            self.assertEqual(code, 0)
            self.assertTrue(text.endswith(b"\n"))
            code, back, _ = run(*args, "decode", stdin=b"  " + text + b"\n")
            self.assertEqual((code, back), (0, data), args)
        self.check([(["base64", "encode"], b"hello", 0, b"aGVsbG8=\n"),
                    (["base64", "encode", "--url"], b"\xfb\xff", 0, b"-_8\n"),
                    (["hex", "encode"], b"\x00\xab", 0, b"00ab\n"),
                    (["hex", "decode"], b"00 AB\n", 0, b"\x00\xab"),
                    (["base64", "decode"], b"a$b=", 1, b""), (["hex", "decode"], b"abc", 1, b"")])

    def test_messages(self):
        code, types, _ = run("msg", "types")
        self.assertEqual(code, 0)
        names = types.decode().split()
        self.assertIn("xavro.protobuf.Monitor.Event", names)
        self.assertEqual(len(names), len(set(names)))
        text = b'rule_name: "slow request"\nexec_time {\n  seconds: 3\n}\n'
        event = "xavro.protobuf.Monitor.Event"
        code, wire, _ = run("msg", "encode", event, stdin=text)
        self.assertEqual(code, 0)
        self.assertEqual(run("msg", "decode", event, stdin=wire)[1], text)
        code, js, _ = run("msg", "decode", "--json", event, stdin=wire)
        self.assertIn(b'"ruleName": "slow request"', js)
        self.assertEqual(run("msg", "encode", "--json", event, stdin=js)[1], wire)
        self.check([(["msg", "decode", "no.Such"], b"", 1, b""),
                    (["msg", "encode", event], b"no_field: 1", 1, b""),
                    (["msg", "decode", event], b"\xff\xff\xff", 1, b"")])

    def test_split(self):
        self.check([(["split", "prog  'a b' \"c\\\"d\" e\\ f ''"], b"", 0, b"prog\na b\nc\"d\ne f\n\n"),
                    (["split", "run 'open"], b"", 1, b""), (["split", "   "], b"", 1, b"")])

    def test_scan_and_sysinfo(self):
        with tempfile.TemporaryDirectory() as top:
            for rel in ["a.log", "b.txt", "sub/c.log", "sub/deeper/d.log"]:
                os.makedirs(os.path.dirname(os.path.join(top, rel)), exist_ok=True)
                open(os.path.join(top, rel), "w").close()
            code, out, _ = run("scan", top, "*.log", "--recursive")
            self.assertEqual(code, 0)
            self.assertEqual(sorted(out.decode().split()),
                             sorted(os.path.join(top, r) for r in ["a.log", "sub/c.log", "sub/deeper/d.log"]))
            self.assertEqual(run("scan", top, "*.log")[1].decode().split(), [os.path.join(top, "a.log")])
            self.check([(["scan", os.path.join(top, "missing"), "*"], b"", 1, b"")])
            open(os.path.join(top, "two\nlines.log"), "w").close()
            for flag in ("--null", "-0"):
                code, out, _ = run("scan", top, "two*", flag)
                self.assertEqual((code, out), (0, os.path.join(top, "two\nlines.log").encode() + b"\0"))
        code, out, _ = run("sysinfo")
        self.assertEqual(code, 0)
        self.assertRegex(out.decode(), r"^hostname: .*\narchitecture: \S+\nos: .+\npid: \d+\n$")


if __name__ == "__main__":
    XTOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
