"""End-to-end tests: run the real tarvix binary in a temporary folder and
check its console, its output file and its exit status.

TARVIX names the binary, TARVIX_LAUNCHER an optional command to start it
with (wine, valgrind), TARVIX_SKIP the cases that cannot hold under that
launcher, as name=reason|name=reason.
"""
import concurrent.futures
import hashlib
import os
import resource
import shlex
import subprocess
import tempfile
import threading
import time
import unittest

TARVIX = os.path.abspath(os.environ["TARVIX"])
LAUNCHER = shlex.split(os.environ.get("TARVIX_LAUNCHER", ""))
SKIP = dict(item.split("=", 1) for item in os.environ.get("TARVIX_SKIP", "").split("|") if item)
ON_WINDOWS = TARVIX.endswith(".exe")
NL = "\r\n" if ON_WINDOWS else "\n"

BANNER = [
    "Tarvix Version 1.0",
    "Made by the Tarvix developers",
    "Released 2026-12-06. All rights reserved.",
    "",
    "Usage: Tarvix <gcode file>",
]
SEP = "-" * 43
INVALID_SPEED = "Invalid speed: enter a number from 0 to 255"
# Every run that gets past "Analyzing ..." pauses this long.
PAUSE = 5


def skip_if_listed(case):
    def decorate(test):
        if case in SKIP:
            return unittest.skip(f"{case}: {SKIP[case]}")(test)
        return test
    return decorate


def console(*lines):
    """The whole console of a run: the banner, then `lines`."""
    return NL.join(BANNER + list(lines)) + NL


def success(path, echoed):
    out = path + "_tormel.gcode"
    return console(f"Enter Speed:Reading File: {path}", "Analyzing ...", SEP, *echoed, SEP,
                   f"Written to File: {out}")


class Run:
    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout.decode("utf-8", "surrogateescape")
        self.stderr = stderr


def command(*args):
    return LAUNCHER + [TARVIX, *args]


def start(cwd, *args, **popen):
    """Starts the tool with pipes for its standard streams; use it in `with`."""
    popen.setdefault("stdout", subprocess.PIPE)
    return subprocess.Popen(command(*args), cwd=cwd, stdin=subprocess.PIPE, stderr=subprocess.PIPE, **popen)


def run(cwd, *args, stdin=b"200\n", **popen):
    done = subprocess.run(command(*args), cwd=cwd, input=stdin, stdout=popen.pop("stdout", subprocess.PIPE),
                          stderr=subprocess.PIPE, timeout=120, **popen)
    return Run(done.returncode, done.stdout or b"", done.stderr)


def in_parallel(*thunks):
    """Runs the thunks side by side, so their pauses overlap."""
    with concurrent.futures.ThreadPoolExecutor(len(thunks)) as pool:
        return [f.result() for f in [pool.submit(t) for t in thunks]]


class Folder(unittest.TestCase):
    """A test with a fresh temporary folder as the tool's working directory."""

    def setUp(self):
        holder = tempfile.TemporaryDirectory()
        self.addCleanup(holder.cleanup)
        self.dir = holder.name

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assertRun(self, result, stdout, status):
        self.assertEqual(result.stdout, stdout)
        self.assertEqual(result.status, status)
        self.assertEqual(result.stderr, b"")


class dialogue(Folder):
    def test_successful_run_shows_the_whole_dialogue(self):
        self.write("a.gcode", b"G28\nG0 X5")
        result = run(self.dir, "a.gcode")
        self.assertRun(result, success("a.gcode", ["G28", "M107", "G0 X5", "M106 S200"]), 0)
        self.assertEqual(self.read("a.gcode_tormel.gcode"), b"G28\nM107\nG0 X5\nM106 S200\n")

    def test_final_read_takes_the_character_after_the_speed(self):
        self.write("a.gcode", b"G0 X1\n")
        with start(self.dir) as usage, start(self.dir, "a.gcode") as typed:
            # The blank after "180" answers the final read: no more input is needed.
            typed.stdin.write(b"  180 extra\n")
            typed.stdin.flush()
            self.assertEqual(typed.wait(timeout=60), 0)
            self.assertEqual(self.read("a.gcode_tormel.gcode"), b"M107\nG0 X1\nM106 S180\n")
            # With no file to process nothing was read yet, so the tool waits for a key.
            time.sleep(1)
            self.assertIsNone(usage.poll())
            out, err = usage.communicate(b"\n", timeout=60)
            self.assertEqual((out.decode(), err, usage.returncode), (console(), b"", 0))


class failure_paths(Folder):
    def test_each_failure_gives_its_own_line_and_status(self):
        self.write("a.gcode", b"G0 X1\n")
        os.mkdir(self.path("dir.gcode"))
        os.mkdir(self.path("b.gcode_tormel.gcode"))
        self.write("b.gcode", b"G0 X1\n")
        cases = [
            # name, args, expected console after the banner, exit status
            ("no argument", [], [], 0),
            ("empty argument", [""], [], 0),
            ("missing input", ["none.gcode"], ["Enter Speed:Unable to open file to read"], 1),
            ("input is a directory", ["dir.gcode"], ["Enter Speed:Unable to open file to read"], 1),
            ("output path is a directory", ["b.gcode"],
             ["Enter Speed:Reading File: b.gcode", "Unable to open file to write"], 1),
        ]
        results = in_parallel(*[lambda args=args: run(self.dir, *args) for _, args, _, _ in cases])
        for (name, _, lines, status), result in zip(cases, results):
            with self.subTest(name):
                self.assertRun(result, console(*lines), status)
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ["a.gcode", "b.gcode", "b.gcode_tormel.gcode", "dir.gcode"])

    @skip_if_listed("same_file")
    def test_never_truncates_its_own_input(self):
        self.write("a.gcode", b"G0 X1\n")
        self.write("b.gcode", b"G0 X2\n")
        os.symlink("a.gcode", self.path("a.gcode_tormel.gcode"))
        os.link(self.path("b.gcode"), self.path("b.gcode_tormel.gcode"))
        for name, result in zip(["a.gcode", "b.gcode"],
                                in_parallel(lambda: run(self.dir, "a.gcode"), lambda: run(self.dir, "b.gcode"))):
            self.assertRun(result, console(f"Enter Speed:Reading File: {name}", "Unable to open file to write"), 1)
        self.assertEqual((self.read("a.gcode"), self.read("b.gcode")), (b"G0 X1\n", b"G0 X2\n"))

    @skip_if_listed("full_disk")
    def test_a_failed_write_is_reported(self):
        self.write("a.gcode", b"G28\nG0 X1\n")
        os.symlink("/dev/full", self.path("a.gcode_tormel.gcode"))
        result = run(self.dir, "a.gcode")
        self.assertRun(result, console("Enter Speed:Reading File: a.gcode", "Analyzing ...", SEP, "G28", SEP,
                                       "Unable to write to file"), 1)


class speed_check(Folder):
    def test_only_a_number_from_0_to_255_is_taken(self):
        self.write("a.gcode", b"G0 X1\n")
        rejected = [b"fast\n", b"-1\n", b"256\n", b"1e2\n", b"S200\n", b"99999999999999999999999\n", b"", b"  \n"]
        results = in_parallel(lambda: run(self.dir, "a.gcode", stdin=b"080\n"),
                              *[lambda typed=typed: run(self.dir, "a.gcode", stdin=typed) for typed in rejected])
        self.assertEqual(results[0].status, 0)
        self.assertEqual(self.read("a.gcode_tormel.gcode"), b"M107\nG0 X1\nM106 S080\n")
        os.remove(self.path("a.gcode_tormel.gcode"))
        for typed, result in zip(rejected, results[1:]):
            with self.subTest(typed):
                self.assertRun(result, console("Enter Speed:" + INVALID_SPEED), 1)
        self.assertEqual(os.listdir(self.dir), ["a.gcode"])


class line_ends(Folder):
    def test_the_file_keeps_every_byte_and_line_end(self):
        cases = [
            # name, input, output file, console lines between the separators
            ("crlf with nul and ctrl-z", b"G1\x00X\r\nG0 \x1aY\r\nlast", b"G1\x00X\r\nM107\r\nG0 \x1aY\r\nM106 S200\r\nlast\r\n",
             ["G1\x00X", "M107", "G0 \x1aY", "M106 S200", "last"]),
            ("empty file", b"", b"", []),
            ("line longer than the read block", b"G1\r\n" + b"x" * 200000 + b" G0 \r\nG1",
             b"G1\r\nM107\r\n" + b"x" * 200000 + b" G0 \r\nM106 S200\r\nG1\r\n",
             ["G1", "M107", "x" * 200000 + " G0 ", "M106 S200", "G1"]),
        ]
        for i, (_, data, _, _) in enumerate(cases):
            self.write(f"{i}.gcode", data)
        results = in_parallel(*[lambda i=i: run(self.dir, f"{i}.gcode") for i in range(len(cases))])
        for i, ((name, _, expected, echoed), result) in enumerate(zip(cases, results)):
            with self.subTest(name):
                self.assertRun(result, success(f"{i}.gcode", echoed), 0)
                self.assertEqual(self.read(f"{i}.gcode_tormel.gcode"), expected)


class output_file(Folder):
    def test_lies_beside_the_input_and_replaces_an_old_copy(self):
        os.mkdir(self.path("dir"))
        self.write("dir/part.gcode", b"G1\n")
        self.write("dir/part.gcode_tormel.gcode", b"an older and much longer copy\n" * 100)
        result = run(self.dir, os.path.join("dir", "part.gcode"), "ignored.gcode")
        self.assertRun(result, success(os.path.join("dir", "part.gcode"), ["G1"]), 0)
        self.assertEqual(self.read("dir/part.gcode_tormel.gcode"), b"G1\n")
        self.assertEqual(sorted(os.listdir(self.dir)), ["dir"])


def big_gcode(lines):
    return b"".join(b"G0 X%d Y%d\n" % (i, i) if i % 7 == 0 else b"G1 X%d E%d\n" % (i, i) for i in range(lines))


def expected_copy(data):
    out = []
    for line in data.splitlines(keepends=True):
        out += [b"M107\n", line, b"M106 S200\n"] if b"G0 " in line else [line]
    return b"".join(out)


class killed_mid_pass(Folder):
    @skip_if_listed("killed_mid_pass")
    def test_leaves_whole_lines_each_already_echoed(self):
        data = big_gcode(200000)
        self.write("a.gcode", data)
        with start(self.dir, "a.gcode") as proc:
            proc.stdin.write(b"200\n")
            proc.stdin.flush()
            seen = b""
            while (SEP + NL).encode() not in seen:
                chunk = proc.stdout.read1(4096)
                self.assertTrue(chunk, "the run ended before its pass")
                seen += chunk
            # Not reading on fills the console pipe, so the tool is stopped mid-pass.
            time.sleep(1)
            proc.kill()
            seen += proc.stdout.read()
        written = self.read("a.gcode_tormel.gcode")
        self.assertTrue(0 < len(written) < len(expected_copy(data)))
        self.assertTrue(written.endswith(b"\n"))
        self.assertTrue(expected_copy(data).startswith(written))
        echoed = seen.split((SEP + NL).encode(), 1)[1]
        self.assertTrue(echoed.replace(NL.encode(), b"\n").startswith(written))


class console_gone(Folder):
    @skip_if_listed("console_gone")
    def test_the_file_is_still_written_whole(self):
        data = big_gcode(50000)
        self.write("a.gcode", data)
        self.write("b.gcode", data)

        def closed_console():
            return run(self.dir, "a.gcode", stdout=None, preexec_fn=lambda: os.close(1))

        def reader_gone():
            with start(self.dir, "b.gcode") as proc:
                proc.stdin.write(b"200\n")
                proc.stdin.flush()
                proc.stdout.read1(10)  # as `| head` does: read a little, then leave
                proc.stdout.close()
                return Run(proc.wait(timeout=120), b"", proc.stderr.read())

        for name, result in zip(["a.gcode", "b.gcode"], in_parallel(closed_console, reader_gone)):
            with self.subTest(name):
                self.assertEqual((result.status, result.stderr), (0, b""))
                self.assertEqual(self.read(name + "_tormel.gcode"), expected_copy(data))


class bad_paths(Folder):
    def test_each_path_gets_one_of_the_tools_own_answers(self):
        name_max = os.pathconf(self.dir, "PC_NAME_MAX")
        long_name = "n" * (name_max - 6)   # fits; its output name does not
        too_long = "n" * (name_max + 1)
        over_path_max = "/".join(["d" * 200] * (os.pathconf(self.dir, "PC_PATH_MAX") // 200 + 2))
        for name in ["with blanks.gcode", "ñandú.gcode", "データ.gcode", long_name]:
            self.write(name, b"G0 X1\n")
        cases = [
            # name, path, console after the banner, exit status
            ("blanks", "with blanks.gcode", success("with blanks.gcode", ["M107", "G0 X1", "M106 S200"]), 0),
            ("non-ascii latin", "ñandú.gcode", success("ñandú.gcode", ["M107", "G0 X1", "M106 S200"]), 0),
            ("non-ascii japanese", "データ.gcode", success("データ.gcode", ["M107", "G0 X1", "M106 S200"]), 0),
            ("long name", long_name,
             console(f"Enter Speed:Reading File: {long_name}", "Unable to open file to write"), 1),
            ("name too long", too_long, console("Enter Speed:Unable to open file to read"), 1),
            ("path too long", over_path_max, console("Enter Speed:Unable to open file to read"), 1),
        ]
        os.symlink("/dev/zero", self.path("zero.gcode"))
        cases.append(("devices are refused", "zero.gcode", console("Enter Speed:Unable to open file to read"), 1))
        results = in_parallel(*[lambda path=path: run(self.dir, path) for _, path, _, _ in cases])
        for (name, _, stdout, status), result in zip(cases, results):
            with self.subTest(name):
                self.assertRun(result, stdout, status)
        for name in ["with blanks.gcode", "ñandú.gcode", "データ.gcode"]:
            self.assertEqual(self.read(name + "_tormel.gcode"), b"M107\nG0 X1\nM106 S200\n")

    @skip_if_listed("null_device")
    def test_the_null_device_reads_as_an_empty_file(self):
        os.symlink("/dev/null", self.path("null.gcode"))
        self.assertRun(run(self.dir, "null.gcode"), success("null.gcode", []), 0)
        self.assertEqual(self.read("null.gcode_tormel.gcode"), b"")

    @skip_if_listed("fifo")
    def test_a_fifo_is_read_like_a_file(self):
        os.mkfifo(self.path("fed.gcode"))
        os.mkfifo(self.path("idle.gcode"))
        data = big_gcode(30000)

        def feed():
            # Opening blocks until the tool opens the other end.
            with open(self.path("fed.gcode"), "wb") as f:
                f.write(data)

        feeder = threading.Thread(target=feed)
        feeder.start()
        fed, idle = in_parallel(lambda: run(self.dir, "fed.gcode"), lambda: run(self.dir, "idle.gcode"))
        feeder.join()
        self.assertEqual((fed.status, fed.stderr), (0, b""))
        self.assertEqual(self.read("fed.gcode_tormel.gcode"), expected_copy(data))
        # A FIFO nobody writes to is an empty file, not a hang.
        self.assertRun(idle, success("idle.gcode", []), 0)
        self.assertEqual(self.read("idle.gcode_tormel.gcode"), b"")


class long_line(Folder):
    @skip_if_listed("long_line")
    def test_a_huge_line_needs_no_more_memory_than_a_short_one(self):
        size = 256 << 20
        head = b"G1 X1\r\n"
        body = b"x" * (1 << 20)
        tail = b"; G0 marker after 256 MiB\r\nG1 X2\r\n"
        with open(self.path("a.gcode"), "wb") as f:
            f.write(head)
            for _ in range(size // len(body)):
                f.write(body)
            f.write(tail)
        limit = 64 << 20

        def limit_memory():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        with start(self.dir, "a.gcode", stdout=subprocess.DEVNULL, preexec_fn=limit_memory) as proc:
            proc.stdin.write(b"200\n")
            proc.stdin.close()
            _, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status)
            self.assertEqual((proc.returncode, proc.stderr.read()), (0, b""))
        self.assertLess(usage.ru_maxrss * 1024, 16 << 20)

        expected = hashlib.sha256(head + b"M107\r\n")
        for _ in range(size // len(body)):
            expected.update(body)
        expected.update(tail.replace(b"\r\nG1", b"\r\nM106 S200\r\nG1"))
        got = hashlib.sha256()
        with open(self.path("a.gcode_tormel.gcode"), "rb") as f:
            while chunk := f.read(1 << 20):
                got.update(chunk)
        self.assertEqual(got.hexdigest(), expected.hexdigest())


if __name__ == "__main__":
    unittest.main()
