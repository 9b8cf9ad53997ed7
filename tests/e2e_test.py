"""End-to-end tests: run the real tarvix in temporary folders, all cases side by
side so that the tool's 5 s pauses overlap. TARVIX names the binary,
TARVIX_VERSION its version, TARVIX_LAUNCHER a command to start it with (wine,
valgrind), TARVIX_SKIP the cases that cannot hold under it (name=reason|...).
Arguments pick cases."""
import concurrent.futures
import os
import pathlib
import resource
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

TARVIX = os.path.abspath(os.environ["TARVIX"])
LAUNCHER = shlex.split(os.environ.get("TARVIX_LAUNCHER", ""))
SKIP = dict(item.split("=", 1) for item in os.environ.get("TARVIX_SKIP", "").split("|") if item)
ON_WINDOWS = TARVIX.endswith(".exe")
NL = "\r\n" if ON_WINDOWS else "\n"
BANNER = [f"Tarvix Version {os.environ['TARVIX_VERSION']}", "Made by the Tarvix developers",
          "Released 2026-12-06. All rights reserved.", "", "Usage: Tarvix <gcode file>"]
SEP = "-" * 43
COPY = "a.gcode_tormel.gcode"
G0, G0_COPY, G0_ECHO = b"G0 X1\n", b"M107\nG0 X1\nM106 S200\n", ["M107", "G0 X1", "M106 S200"]


def stopped(stop):
    """The status of a run ended by `stop`: on Windows, Ctrl-C's STATUS_CONTROL_C_EXIT."""
    return 0xC000013A & 0xFF if ON_WINDOWS and stop != signal.SIGKILL else -stop


def console(*lines):
    return NL.join(BANNER + list(lines)) + NL


def success(path, *echoed):
    return console(f"Enter Speed:Reading File: {path}", "Analyzing ...", SEP, *echoed, SEP,
                   f"Written to File: {path}_tormel.gcode")


def failure(*lines):
    return console("Enter Speed:Reading File: a.gcode", *lines)


def bracketed(data):
    return b"".join(b"M107\n" + line + b"M106 S200\n" if b"G0 " in line else line
                    for line in data.splitlines(keepends=True))


def gcode(lines):
    return b"".join(b"G0 X%d\n" % i if i % 7 == 0 else b"G1 X%d E1\n" % i for i in range(lines))


def limit(kind, value):
    return lambda: resource.setrlimit(kind, (value, value))


def pipe_without_a_reader():  # as after `| head` has read its lines and left
    reader, writer = os.pipe()
    os.close(reader)
    return writer


def case(name, out, status=0, files=None, args=("a.gcode",), typed=b"200\n", expect=None, **popen):
    """A row: the folder's files (bytes; "/" a folder; "|" a FIFO; "->x" a symbolic, "=>x" a hard link to x),
    the run, then the console after the banner (None: not read), the status, the files in
    `expect` (None: absent) and no other file."""
    return name, dict(out=out, status=status, files={"a.gcode": G0} if files is None else files,
                      args=args, typed=typed, expect=expect or {}, popen=popen)


REFUSED = [b"fast\n", b"-1\n", b"256\n", b"255.5\n", b"1e2\n", b"S200\n", b"12.\n", b"000000255\n",
           b"", b"  \n"]
TENS = b"".join(b"G1 X%05d\n" % i for i in range(20))  # lines of ten bytes
ROWS = dict([
    case("whole_dialogue", success("a.gcode", "G28", *G0_ECHO), files={"a.gcode": b"G28\nG0 X1"},
         expect={COPY: b"G28\n" + G0_COPY}),
    case("no_argument", console(), args=(), typed=b"\n"),
    case("empty_argument", console(), args=("",), typed=b"\n"),
    case("missing_input", console("Enter Speed:Unable to open file to read"), 1, files={}),
    case("input_is_a_folder", console("Enter Speed:Unable to open file to read"), 1, files={"a.gcode": "/"}),
    case("devices_are_refused", console("Enter Speed:Unable to open file to read"), 1,
         files={"a.gcode": "->/dev/zero"}),
    case("null_device", success("a.gcode"), files={"a.gcode": "->/dev/null"}, expect={COPY: b""}),
    case("fifo_without_a_writer", success("a.gcode"), files={"a.gcode": "|"}, expect={COPY: b""}),
    case("copy_path_is_a_folder", failure("Unable to open file to write"), 1, files={"a.gcode": G0, COPY: "/"}),
    *[case(f"copy_is_a_{kind}_to_the_input", failure("Unable to open file to write"), 1,
           files={"a.gcode": G0, COPY: link + "a.gcode"}, expect={"a.gcode": G0})
      for kind, link in [("symlink", "->"), ("hard_link", "=>")]],
    case("failed_write", failure("Analyzing ...", SEP, "G28", SEP, "Unable to write to file"), 1,
         files={"a.gcode": b"G28\nG0 X1\n", COPY: "->/dev/full"}),
    case("full_disk_leaves_whole_lines", failure("Analyzing ...", SEP, *TENS.decode().splitlines()[:10], SEP,
                                                 "Unable to write to file"), 1,
         files={"a.gcode": TENS}, expect={COPY: TENS[:90]}, preexec_fn=limit(resource.RLIMIT_FSIZE, 95)),
    case("failed_read", failure("Analyzing ...", SEP, SEP, "Unable to read from file"), 1,
         files={"a.gcode": "->/proc/self/mem"}, expect={COPY: b""}),
    case("speed_goes_in_as_typed", success("a.gcode", "M107", "G0 X1", "M106 S00255.0"),
         typed=b" 00255.0 more\n", expect={COPY: b"M107\nG0 X1\nM106 S00255.0\n"}),
    case("blanks_before_the_speed_are_bounded", console("Enter Speed:Invalid speed: enter a number from 0 to 255"),
         1, typed=b"\n" * 5000 + b"200\n"),
    case("input_is_standard_input", success("a.gcode", *G0_ECHO), files={"a.gcode": "->/dev/stdin"},
         typed=b"200\nG0 X1\n", expect={COPY: G0_COPY}),  # the speed read takes nothing past its end
    *[case(f"refuses_speed_{typed!r}", console("Enter Speed:Invalid speed: enter a number from 0 to 255"),
           1, typed=typed) for typed in REFUSED],
    case("bytes_and_line_ends_kept", success("a.gcode", "G1\0X", "M107", "G0 \x1aY", "M106 S200", "end"),
         files={"a.gcode": b"G1\0X\r\nG0 \x1aY\r\nend"},
         expect={COPY: b"G1\0X\r\nM107\r\nG0 \x1aY\r\nM106 S200\r\nend\r\n"}),
    case("line_longer_than_a_block", success("a.gcode", "M107", "x" * 200000 + " G0 ", "M106 S200", "G1"),
         files={"a.gcode": b"x" * 200000 + b" G0 \r\nG1"},
         expect={COPY: b"M107\r\n" + b"x" * 200000 + b" G0 \r\nM106 S200\r\nG1\r\n"}),
    case("copy_beside_the_input_replaces_an_old_one", success("dir/a.gcode", "G1"),
         files={"dir/a.gcode": b"G1\n", "dir/" + COPY: b"older copy\n" * 99},
         args=("dir/a.gcode", "ignored.gcode"), expect={"dir/" + COPY: b"G1\n"}),
    *[case(f"path_{name}", success(name, *G0_ECHO), files={name: G0}, args=(name,),
           expect={name + "_tormel.gcode": G0_COPY}) for name in ["a b.gcode", "ñandú.gcode", "データ.gcode"]],
    # Without a limit, a tool that echoed into its input would never end.
    *[case(f"console_into_the_{name}", None, expect={"a.gcode": G0, COPY: G0_COPY}, console_into=name,
           preexec_fn=limit(resource.RLIMIT_FSIZE, 1 << 20)) for name in ["a.gcode", COPY]],
    *[case(f"console_{kind}", None, files={"a.gcode": gcode(50000)}, expect={COPY: bracketed(gcode(50000))},
           **popen) for kind, popen in [("closed", dict(stdout=None, preexec_fn=lambda: os.close(1))),
                                        ("reader_gone", dict(stdout=pipe_without_a_reader()))]],
])


def make_files(folder, files):
    for name, content in files.items():
        path = pathlib.Path(folder, name)
        path.parent.mkdir(exist_ok=True)
        if content == "/":
            path.mkdir()
        elif content == "|":
            os.mkfifo(path)
        elif content[:2] == "->":
            path.symlink_to(content[2:])
        elif content[:2] == "=>":
            os.link(pathlib.Path(folder, content[2:]), path)
        else:
            path.write_bytes(content)


def read(folder, name):
    path = pathlib.Path(folder, name)
    return path.read_bytes() if os.path.lexists(path) else None


def same(what, got, want):
    if got != want:
        raise AssertionError(f"{what}:\n  got  {str(got)[-1000:]}\n  want {str(want)[-1000:]}")


def start(folder, *args, **popen):
    popen.setdefault("stdout", subprocess.PIPE)
    return subprocess.Popen(LAUNCHER + [TARVIX, *args], cwd=folder, stdin=subprocess.PIPE,
                            stderr=subprocess.PIPE, **popen)


def run_row(row, folder):
    make_files(folder, row["files"])
    popen = dict(row["popen"])
    if "console_into" in popen:
        popen["stdout"] = open(os.path.join(folder, popen.pop("console_into")), "ab")
    with start(folder, *row["args"], **popen) as proc:
        out, err = proc.communicate(row["typed"], timeout=600)
    if row["out"] is not None:
        same("console", out.decode("utf-8", "surrogateescape"), row["out"])
    same("status and stderr", (proc.returncode, err), (row["status"], b""))
    for name, content in row["expect"].items():
        same(name, read(folder, name), content)
    left = {name.split("/")[0] for name in [*row["files"], *row["expect"]] if row["expect"].get(name, 1) is not None}
    same("files in the folder", sorted(os.listdir(folder)), sorted(left))


def waits_for_a_key_without_a_file(folder):
    with start(folder) as proc:
        time.sleep(1)
        same("still running", proc.poll(), None)
        out, err = proc.communicate(b"\n", timeout=600)
    same("console, stderr, status", (out.decode(), err, proc.returncode), (console(), b"", 0))


def speed_read_is_bounded(folder):
    """A speed that never ends is refused soon after its ninth character."""
    make_files(folder, {"a.gcode": G0})
    with start(folder, "a.gcode") as proc:
        try:
            proc.stdin.write(b"1" * (1 << 20))  # more than a pipe holds, and no end
            proc.stdin.flush()
        except BrokenPipeError:
            pass  # the tool has read enough and left
        same("status", proc.wait(timeout=60), 1)
        same("console", proc.stdout.read().decode(), console("Enter Speed:Invalid speed: enter a number from 0 to 255"))


def stopped_mid_pass(folder, stop, data):
    """Stopped while it writes, the tool leaves whole lines, at most one line
    behind the echo; a stop it can catch still ends it."""
    make_files(folder, {"a.gcode": data})
    with start(folder, "a.gcode") as proc:
        proc.stdin.write(b"200\n")
        proc.stdin.flush()
        seen = b""
        while len(seen) < 1 << 18 and (chunk := proc.stdout.read1(4096)):  # into the first long line
            seen += chunk
        time.sleep(1)  # not reading on fills the console pipe: the tool stops mid-pass
        proc.send_signal(stop)
        echoed = (seen + proc.stdout.read()).split((SEP + NL).encode(), 1)[1].replace(NL.encode(), b"\n")
    copy = read(folder, COPY)
    same("status", proc.wait(), stopped(stop))
    same("copy is whole lines of the full copy", bracketed(data).startswith(copy) and copy.endswith(b"\n"), True)
    same("copy is at most one line behind the echo", echoed.startswith(copy) and
         echoed[len(copy):].count(b"\n") <= 1, True)


def second_run_and_stop_in_the_pause(folder):
    """The copy is locked and an older one kept until the pass begins."""
    make_files(folder, {"a.gcode": G0, COPY: b"older copy\n"})
    with start(folder, "a.gcode") as first:
        first.stdin.write(b"200\n")
        first.stdin.flush()
        next(line for line in first.stdout if b"Analyzing" in line)
        with start(folder, "a.gcode") as second:
            out, err = second.communicate(b"200\n", timeout=600)
        first.send_signal(signal.SIGINT)
    same("second run", (out.decode(), err, second.returncode), (failure("Unable to open file to write"), b"", 1))
    same("first run's status and the older copy", (first.wait(), read(folder, COPY)),
         (stopped(signal.SIGINT), b"older copy\n"))


def non_blocking_console(folder):
    """A full non-blocking console is waited for, not taken for a dead one."""
    make_files(folder, {"a.gcode": gcode(50000)})
    reader, writer = os.pipe()
    os.set_blocking(writer, False)
    with start(folder, "a.gcode", stdout=writer) as proc:
        os.close(writer)
        proc.stdin.write(b"200\n")
        proc.stdin.close()
        time.sleep(1)  # the console fills while nobody reads
        with open(reader, "rb") as console_end:
            out = console_end.read()
        same("status and stderr", (proc.wait(), proc.stderr.read()), (0, b""))
    same("console", out.decode(), success("a.gcode", *bracketed(gcode(50000)).decode().splitlines()))


def long_line(folder, through_fifo):
    """A 256 MiB line, from a file or from a FIFO whose writer pauses, under a
    64 MiB address-space limit."""
    data = gcode(1000) + b"x" * (256 << 20) + b" G0 \n"
    make_files(folder, {"a.gcode": "|" if through_fifo else data})

    def feed():  # opening waits for the tool to open the other end
        with open(os.path.join(folder, "a.gcode"), "wb") as fifo:
            fifo.write(data[:1000])
            fifo.flush()
            time.sleep(0.5)  # a writer that pauses is no end of input
            fifo.write(data[1000:])

    if through_fifo:
        threading.Thread(target=feed, daemon=True).start()
    with start(folder, "a.gcode", stdout=subprocess.DEVNULL, preexec_fn=limit(resource.RLIMIT_AS, 64 << 20)) as proc:
        _, err = proc.communicate(b"200\n", timeout=600)
    same("status and stderr", (proc.returncode, err), (0, b""))
    same("copy", read(folder, COPY) == bracketed(data), True)


LONG_LINES = (b"G0 X1\n" + b"x" * (1 << 20) + b"\n") * 4
HARNESSED = {test.__name__: test for test in [waits_for_a_key_without_a_file, speed_read_is_bounded,
                                              second_run_and_stop_in_the_pause, non_blocking_console]}
HARNESSED.update({
    "killed_mid_pass": lambda folder: stopped_mid_pass(folder, signal.SIGKILL, gcode(200000)),
    **{f"{stop.name.lower()}_mid_line": lambda folder, stop=stop: stopped_mid_pass(folder, stop, LONG_LINES)
       for stop in [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT]},
    "long_line": lambda folder: long_line(folder, False),
    "long_line_from_a_fifo": lambda folder: long_line(folder, True),
})


def run_in_a_new_folder(test):
    with tempfile.TemporaryDirectory() as folder:
        test(folder)


def main(names):
    cases = {name: lambda folder, row=row: run_row(row, folder) for name, row in ROWS.items()}
    cases.update(HARNESSED)
    chosen = [name for name in cases if name in names or not names]
    for name in filter(SKIP.__contains__, chosen):
        print(f"skip {name}: {SKIP[name]}")
    chosen = [name for name in chosen if name not in SKIP]
    with concurrent.futures.ThreadPoolExecutor(len(chosen)) as pool:
        futures = {name: pool.submit(run_in_a_new_folder, cases[name]) for name in chosen}
    failed = [name for name, future in futures.items() if future.exception()]
    for name in failed:
        print(f"FAIL {name}: {''.join(traceback.format_exception(futures[name].exception()))}")
    print(f"{len(chosen) - len(failed)} passed, {len(failed)} failed: {' '.join(failed)}")
    return 1 if failed or not chosen else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
