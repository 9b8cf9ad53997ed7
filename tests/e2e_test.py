"""End-to-end tests: the real tarvix in temporary folders, all cases side by side so that its 5 s pauses overlap.
TARVIX names the binary, TARVIX_VERSION its version, TARVIX_STOP_AT_LIBRARY the stop library (tests/stop_at.cpp),
TARVIX_LAUNCHER a command to start it with (wine, valgrind), TARVIX_SKIP the cases that cannot hold under it
(name=reason|...). Arguments pick cases; --list names them all."""
import concurrent.futures
import errno
import fcntl
import os
import pathlib
import pty
import resource
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import zlib

TARVIX = os.path.abspath(os.environ.get("TARVIX", ""))
LAUNCHER = shlex.split(os.environ.get("TARVIX_LAUNCHER", ""))
SKIP = dict(item.split("=", 1) for item in os.environ.get("TARVIX_SKIP", "").split("|") if item)
ON_WINDOWS = TARVIX.endswith(".exe")
STOP_AT = os.path.abspath(os.environ["TARVIX_STOP_AT_LIBRARY"]) if os.environ.get("TARVIX_STOP_AT_LIBRARY") else ""
NL = "\r\n" if ON_WINDOWS else "\n"
BANNER = [f"Tarvix Version {os.environ.get('TARVIX_VERSION')}", "Made by the Tarvix developers",
          "Released 2026-12-06. All rights reserved.", "", "Usage: Tarvix <gcode file>"]
SEP = "-" * 43
COPY = "a.gcode_tormel.gcode"
G0, G0_COPY, G0_ECHO = b"G0 X1\n", b"M107\nG0 X1\nM106 S200\n", ["M107", "G0 X1", "M106 S200"]
NOTE = b"; fan off during travel moves: tarvix --speed 200\n"  # how a run from the command line ends its result
NOTED = G0_COPY + NOTE
REFUSAL = "Enter Speed:Invalid speed: enter a number from 0 to 255, or keep"
NUT = pathlib.Path(__file__).with_name("bgcode_corpus").joinpath("prusa_nut_big.hs12_4-meatpackcomments.bgcode").read_bytes()
LONGEST_NOTE = b"keep --g1-travel --min-travel " + b"1" * 30 + b".5s --acceleration " + b"1" * 32
OLD = 1000000000  # the modification time of the files a row makes
REFERENCE = pathlib.Path(__file__).resolve().parents[2] / "shared" / "bgcode" / "bgctool"  # printers' own reader
LEAD_START = b"G1 X0 Y0 Z0.2 E1 F3000\n"
BAMBU = b"; HEADER_BLOCK_START\n; BambuStudio 01.07.06.92\n; HEADER_BLOCK_END\n; CONFIG_BLOCK_START\n; gcode_flavor = marlin\n" \
    b"; printer_model = Bambu Lab X1 Carbon\n; CONFIG_BLOCK_END\nM106 P1 S255\nG1 X1 Y1\nM106 P1 S0\nG1 X3 Y3\nM106 P2 S100\n" \
    b"G1 X4 Y4\nM106 S200\nG1 X5 Y5\n"  # the part fan is P1 or no P; P2 another fan
NUT_TRAVEL = b"M107\nG1 X87.699 Y86.966 F7800\nM106 S200\n"  # the first G1 travel of NUT


def with_settings(data, settings):  # binary G-code whose slicer metadata holds only `settings`
    at, sizes = 10, lambda at: struct.unpack_from("<HHII", data + b"\0" * 4, at)
    while sizes(at)[0] != 2:
        _, packing, size, packed = sizes(at)
        at += (12 + packed if packing else 8 + size) + 6
    _, packing, size, packed = sizes(at)
    block = struct.pack("<HHIH", 2, 0, len(settings), 0) + settings
    return data[:at] + block + struct.pack("<I", zlib.crc32(block)) + data[at + (12 + packed if packing else 8 + size) + 6:]


class printed(tuple):
    """Binary G-code whose text, as printers' own reader gives it where it is at hand, holds these pieces."""


def reads_as(path, pieces):
    if not path.read_bytes().startswith(b"GCDE") or not REFERENCE.exists():
        return path.read_bytes().startswith(b"GCDE")
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([REFERENCE, "to-ascii", path, out + "/a"], check=True, stdout=subprocess.DEVNULL)
        return all(piece in pathlib.Path(out, "a").read_bytes() for piece in pieces)


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


def preloaded(**variables):  # tests/stop_at.cpp stops or fails the tool at a chosen call
    return {**os.environ, "LD_PRELOAD": STOP_AT, **variables}


def limit(kind, value):
    return lambda: resource.setrlimit(kind, (value, value))


def pipe_without_a_reader():  # as after `| head` has read its lines and left
    reader, writer = os.pipe()
    os.close(reader)
    return writer


def case(name, out, status=0, files=None, args=("a.gcode",), typed=b"200\n", expect=None, err="", **popen):
    """A row: the folder's files (bytes; "/" a folder; "|" a FIFO; "->x" a symbolic, "=>x" a hard link to x),
    the run (typed None: standard input must stay unread; late: see come_late; meanwhile: see run_row), then standard
    output (None: not read), the status, the start of standard error, the files in `expect` (None: absent) and no other file."""
    return name, dict(out=out, status=status, files={"a.gcode": G0} if files is None else files,
                      args=args, typed=typed, expect=expect or {}, err=err, popen=popen)


def script(*args, speed="200"):  # a run from a slicer or a script
    return ("--speed", speed, *args)


def said(*lines):
    return "".join(line + NL for line in lines)


def changed(path, command):
    return f"Already changed: {path} (by {command}; run it on the slicer's original to change it again)"


# Travels under --min-travel (in place for "joined"): the lines, the length, the first and last travel move of each travel
# with a fan pair. What joins and ends a travel, and what a line is, the property and classifier tests check; these need a
# whole file. A travel is 3 mm long; a Z hop and a retraction join its moves.
TRAVEL = [b"G1 X0 Y0 E1", b"G0 X1", b"G1 E-1", b"G0 Z1", b"G0 X3 ; on", b"G1 E1", b"G1 X4 E2"]


def up_to_the_bound(over, long=False):
    """A travel, short or long at once, whose held lines, each costing its bytes and 16, come to 1 MiB (and `over` bytes
    more) with its last move, or, long, with the line before it: distinct lines, so that a line dropped or moved shows."""
    return [b"G1 X0 Y0 E1", b"G0 X5" if long else b"G0 X0.5", *[b";%062d" % i for i in range(13106)],
            b";" * (33 + 46 * long + over), b"G0 X1", b"G1 X2 E1"]
TRAVELS = [("joined", TRAVEL, "2", [(1, 4)]),
           ("bound_passed_before_its_last_move", [b"G1 X0 Y0 E1", b"G0 X0.5 ;" + b"a" * ((1 << 20) - 200), b";" * 300, b"G0 X1",
                                                  b"G1 X2 E1"], "2", [(1, 3)]),
           *[(f"length_{name}", [b"G1 X0 Y0 E1", b"G0 X" + x, b"G1 X9 E2"], length, pairs) for name, x, length, pairs in [
               ("within_a_micron", b"1.9999995", "2", [(1, 1)]), ("short_by_two_microns", b"1.999998", "2", []),
               ("a_micron_below", b"2", "2.000001", [(1, 1)])]],
           ("up_to_the_bound", up_to_the_bound(0), "2", []), ("past_the_bound", up_to_the_bound(1), "2", [(1, 13109)]),
           ("long_up_to_the_bound", up_to_the_bound(0, True), "2", [(1, 13109)]),
           ("long_past_the_bound", up_to_the_bound(1, True), "2", [(1, 1), (13109, 13109)]),
           ("long_line_held", [b"G1 X0 Y0 E1", b"G0 X0.5", b";" * 100000, b"G0 X1", b"G1 X2 E1"], "1", [(1, 3)]),
           # In seconds: 30 mm at 100 mm/s and 1000 mm/s^2 take 0.4 s, 50 mm 0.6 s, 10 mm 0.2 s; a 0.8 mm hop at 10 mm/s 0.09 s;
           # M204 S sets the travel acceleration too.
           *[(f"timed_{i}", [accel, b"G1 X0 Y0 Z0.2 E1 F1200", b"G0 F6000 X%d" % x, b"G1 Z1 F600", b"G4 P200",
                             b"G0 X20 F6000", b"G1 X30 E2"][0 if accel else 1:], length, pairs)
             for i, (accel, x, length, pairs) in enumerate([
                 (b"", -30, "1.29s", [(1, 4)]), (b"", -30, "1.3s", []), (b"", 10, "0.69s", [(1, 4)]), (b"", 10, "0.7s", []),
                 (b"M204 T100", 10, "1.3s", [(2, 5)]), (b"M204 T100\nM204 S1000", 10, "0.7s", [])])],
           # A corner at M205 J0 stops the nozzle: 2 x 1.1 s, where the default J takes 2.189 s.
           ("timed_sharp_corner", [b"M205 J0", b"G1 X0 Y0 E1 F1200", b"G0 F6000 X100", b"G0 Y100", b"G1 X0 E2"], "2.195s", [(2, 3)]),
           # A relative z in lower case leaves Z unknown: the travel's move to Z0.2 cannot be timed.
           ("timed_lower_case_z", [b"G1 X0 Y0 Z0.2 E1 F1200", b"G91", b"G1 z1", b"G90", b"G0 F6000 X10 Z0.2", b"G1 X20 E2"], "0.5s",
            [(4, 4)]),
           ("timed_feed_unknown", [b"G1 X0 Y0 E1", b"G0 X1", b"G1 X2 E2"], "5s", [(1, 1)]),
           # Z and F come from a line of the run before the travel that the run's last move does not name: known, short.
           ("timed_z_and_f_from_the_run_before", [b"G1 Z0.2 F1200", b"G1 X0 Y0 E1 ; Z9 F9", b"G1 X1 Y0 E2", b"G0 X11",
                                                  b"G1 Z1", b"G0 X12", b"G1 X13 E3"], "9s", []),
           # Long enough only with its third move, which is timed at the travel's end: 0.2, 0.3, then 0.4 s.
           ("timed_at_its_end", [b"G1 X0 Y0 E1 F1200", b"G0 F6000 X10", b"G0 X20", b"G0 X30", b"G1 X40 E2"], "0.35s", [(1, 3)]),
           # A dwell of nothing takes no time (0.3 s); a relative hop needs no known Z (0.51 s); a lower-case e cannot be timed;
           # a dwell and an untimed line after the last move of one travel are not the next one's (0.2 s, then 0.14 s).
           *[(f"timed_{name}", [b"G28", b"G1 X0 Y0 E1 F1200", b"G0 F6000 X10", *middle, b"G0 X20 F6000", b"G1 X30 E2"], length, pairs)
             for name, middle, length, pairs in [("zero_dwell", [b"G4 P0"], "0.5s", []), ("lower_case_e", [b"G1 e-1"], "0.5s", [(2, 4)]),
                                                 ("relative_hop", [b"G91", b"G1 Z1 F600", b"G90"], "0.6s", []),
                                                 ("between_travels", [b"G4 P1000", b"G1 e-1", b"G1 X15 E2"], "0.5s", [])]]]


def with_pairs(lines, pairs):
    firsts, lasts = {first for first, _ in pairs}, {last for _, last in pairs}
    return [line for i, line in enumerate(lines) for line in [b"M107"] * (i in firsts) + [line] + [b"M106 S200"] * (i in lasts)]


def lines_of(lines):
    return b"".join(line + b"\n" for line in lines)


def travel_run(name, length):
    """The arguments of a TRAVELS row and the note its result ends with."""
    args = script(*["--in-place"] * (name == "joined"), "--min-travel", length, "a.gcode")
    return args, f"; fan off during travel moves: tarvix --speed 200 --min-travel {length}\n".encode()


def saved_by_rename(folder, _):  # as most editors save
    pathlib.Path(folder, "new").write_bytes(b"G0 X2\n")
    os.rename(os.path.join(folder, "new"), os.path.join(folder, "a.gcode"))


def saved_into_the_file(folder, _):  # the same size and second: only the modification time's nanoseconds tell
    pathlib.Path(folder, "a.gcode").write_bytes(b"G0 X2\n")
    os.utime(os.path.join(folder, "a.gcode"), ns=(OLD * 10**9, OLD * 10**9 + 5 * 10**8))


def dialogue_in_its_pause(folder, _):
    dialogue = start(folder, "a.gcode", bufsize=0)  # nothing of its console read ahead, nothing typed held back
    dialogue.stdin.write(b"100\n")
    next(line for line in dialogue.stdout if b"Analyzing" in line)
    return dialogue


def refused_meanwhile(args, path):  # while one run from a script has the file, a second is refused it
    refused = (1, "", f"Unable to open file to write: {path} (another run is writing it){NL}")
    return lambda folder, run: (same("second run", finished(folder, *args), refused), run.send_signal(signal.SIGINT))


TENS = b"".join(b"G1 X%05d\n" % i for i in range(20))  # lines of ten bytes
LONG_G1 = b"G1 X1 F" + b"1" * 65525 + b" E0\r"  # one read block, its CR the block's last byte
ROWS = dict([
    case("whole_dialogue", success("a.gcode", "G28", *G0_ECHO), files={"a.gcode": b"G28\nG0 X1"}, expect={COPY: b"G28\n" + G0_COPY}),
    case("no_argument", console(), args=(), typed=b"\n"),
    case("empty_argument", console(), args=("",), typed=b"\n"),
    *[case(name, console("Enter Speed:Unable to open file to read"), 1, files=files) for name, files in [
        ("missing_input", {}), ("input_is_a_folder", {"a.gcode": "/"}), ("devices_are_refused", {"a.gcode": "->/dev/zero"})]],
    case("null_device", success("a.gcode"), files={"a.gcode": "->/dev/null"}, expect={COPY: b""}),
    # A FIFO is waited on until its writer comes, as cat waits (in the dialogue, past the pause); a stop meanwhile leaves nothing.
    *[case(f"fifo_whose_writer_comes_late_{i}", out, files={"a.gcode": "|"}, args=args, typed=typed, expect=expect,
           late=late) for i, (out, args, typed, expect, late) in enumerate([
        (success("a.gcode", *G0_ECHO), ("a.gcode",), b"200\n", {COPY: G0_COPY}, (6, G0)),
        (said(f"Written to File: {COPY}"), script("a.gcode"), None, {COPY: NOTED}, (1, G0)),
        (said("Written to File: a.gcode_tormel.bgcode"), script("--g1-travel", "a.gcode"), None,
         {"a.gcode_tormel.bgcode": printed((NUT_TRAVEL,))}, (1, NUT))])],
    case("in_place_refuses_a_fifo_at_once", "", 1, files={"a.gcode": "|"}, args=script("--in-place", "a.gcode"),
         err="Unable to open file to write: a.gcode (not a regular file)", timeout=300),  # no writer comes
    case("stop_while_waiting_for_a_writer", "", stopped(signal.SIGINT), files={"a.gcode": "|"}, args=script("a.gcode"),
         typed=None, late=(1, signal.SIGINT)),
    *[case(f"copy_{name}", failure("Unable to open file to write"), 1, files={"a.gcode": G0, COPY: copy}, expect={"a.gcode": G0})
      for name, copy in [("path_is_a_folder", "/"), ("is_a_symlink_to_the_input", "->a.gcode"),
                         ("is_a_hard_link_to_the_input", "=>a.gcode")]],
    case("failed_write", failure("Analyzing ...", SEP, "G28", SEP, "Unable to write to file"), 1,
         files={"a.gcode": b"G28\nG0 X1\n", COPY: "->/dev/full"}, locked="/dev/full"),  # a device is not locked
    case("full_disk_leaves_whole_lines", failure("Analyzing ...", SEP, *TENS.decode().splitlines()[:10], SEP, "Unable to write to file"),
         1, files={"a.gcode": TENS}, expect={COPY: TENS[:90]}, preexec_fn=limit(resource.RLIMIT_FSIZE, 95)),
    # A held travel that the end of the input ends, written as the disk fills.
    case("full_disk_as_a_held_travel_ends", failure("Analyzing ...", SEP, "G1 X0 Y0 E1", "G0 X0.5", SEP, "Unable to write to file"),
         1, args=("a.gcode", "--min-travel", "2"), files={"a.gcode": b"G1 X0 Y0 E1\nG0 X0.5\n;c1\nG0 X1\n"},
         expect={COPY: b"G1 X0 Y0 E1\n"}, preexec_fn=limit(resource.RLIMIT_FSIZE, 15)),
    case("stop_as_the_copy_is_cut_back", None, stopped(signal.SIGINT), files={"a.gcode": TENS}, expect={COPY: TENS[:90]},
         preexec_fn=limit(resource.RLIMIT_FSIZE, 95), env=preloaded(TARVIX_STOP_AT="ftruncate", TARVIX_STOP_SIGNAL="2")),
    case("failed_read", failure("Analyzing ...", SEP, SEP, "Unable to read from file"), 1, files={"a.gcode": "->/proc/self/mem"}),
    case("speed_goes_in_as_typed", success("a.gcode", "M107", "G0 X1", "M106 S00255.0"),
         typed=b" 00255.0 more\n", expect={COPY: b"M107\nG0 X1\nM106 S00255.0\n"}),
    *[case(f"blanks_before_the_speed_{blanks}", success("a.gcode", *G0_ECHO) if blanks == 4096 else console(REFUSAL),
           0 if blanks == 4096 else 1, typed=b"\n" * blanks + b"200\n", expect={COPY: G0_COPY} if blanks == 4096 else {})
      for blanks in [4096, 4097]],
    case("input_is_standard_input", success("a.gcode", *G0_ECHO), files={"a.gcode": "->/dev/stdin"},
         typed=b"200\nG0 X1\n", expect={COPY: G0_COPY}),  # the speed read takes nothing past its end
    *[case(f"refuses_speed_{typed!r}", console(REFUSAL), 1, typed=typed) for typed in [b"fast\n", b"255.5\n", b"", b"  \n"]],
    # At a terminal a refused speed is asked for again, the rest of its line dropped, until a valid one or the end.
    *[case(f"asks_again_at_a_terminal_{i}", console(REFUSAL, *lines), status, typed=typed, expect=expect, terminal=True)
      for i, (typed, lines, status, expect) in enumerate([
          (b"fast 100\n1e2\n200\n", [REFUSAL, "Enter Speed:Reading File: a.gcode", "Analyzing ...", SEP, *G0_ECHO, SEP,
                                      f"Written to File: {COPY}"], 0, {COPY: G0_COPY}), (b"fast\n\x04\n", [REFUSAL], 1, {})])],
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
    # From a slicer or a script.
    case("script_after_the_options_end", said("Written to File: -a.gcode_tormel.gcode"),
         files={"-a.gcode": G0}, args=script("--", "-a.gcode"), expect={"-a.gcode_tormel.gcode": NOTED}),
    case("note_in_the_last_line_end", said(f"Written to File: {COPY}"), files={"a.gcode": b"G1\r\nG0 X1"},
         args=script("a.gcode"), expect={COPY: b"G1\r\nM107\r\nG0 X1\r\nM106 S200\r\n" + NOTE.replace(b"\n", b"\r\n")}),
    # A file changed from the command line is left as it is, its modification time too, and nothing is written: the
    # note found as a line of its own anywhere, with white space around it, in the last 512 bytes or by the pass.
    *[case(f"already_changed_{i}", said(changed(path, command)), files={path: content}, args=script(*args),
           typed=None, expect={path: content}) for i, (path, args, content, command) in enumerate([
        ("a.gcode", ("--in-place", "a.gcode"), NOTED, "tarvix --speed 200"), (COPY, (COPY,), NOTED, "tarvix --speed 200"),
        ("a.gcode", ("a.gcode", "--g1-travel"), b"G1 X1\r\n; fan off during travel moves: tarvix --speed keep", "tarvix --speed keep"),
        *[("a.gcode", ("--in-place", "a.gcode"), content, "tarvix --speed 200") for content in [
            NOTED + b"\n", NOTED + b" \t \n", NOTED + b"\x1a", G0 + b"  " + NOTE, NOTED + b"M117 printed\n", NOTE,
            NOTE + TENS * 60, NOTE + b"G0 X1 ;" + b"x" * 70000 + b"\n" + TENS * 60,
            # The last note counts, and the tail read is the last 512 bytes: this one's first line is the note.
            NOTE.replace(b"200", b"9") + NOTED, NOTE.replace(b"200", b"9") + TENS * 60 + NOTE + b";" * 460 + b"\n"]],
        ("a.gcode", ("a.gcode",), NOTE.replace(b"200", LONGEST_NOTE) + TENS * 60, "tarvix --speed " + LONGEST_NOTE.decode())])],
    *[case(f"mentioned_but_not_changed_{i}", said(f"Written to File: {COPY}"), files={"a.gcode": content},
           args=script("a.gcode"), expect={COPY: bracketed(content) + NOTE})
      for i, content in enumerate([G0 + b"M117 " + NOTE, NOTE.replace(b"tarvix ", b"tarvix-old ") + G0,
                                   b"M117 " + NOTE + TENS * 60])],
    # Each file in turn, a failure stopping none of the others; a file named twice, however spelt, is copied once, while
    # a symbolic link to it gets a copy of its own beside it.
    case("script_says_what_failed_and_where", said(f"Written to File: {COPY}", *[f"Already changed: {name} (named twice)"
         for name in ["a.gcode", "./a.gcode", "c.gcode"]], "Written to File: d.gcode_tormel.gcode"), 1,
         files={"a.gcode": G0, "c.gcode": "=>a.gcode", "d.gcode": "->a.gcode", "e.gcode": G0, "e.gcode_tormel.gcode": "/"},
         args=script("b.gcode", "a.gcode", "a.gcode", "./a.gcode", "c.gcode", "d.gcode", "e.gcode", "e.gcode"), typed=None,
         err="Unable to open file to read: b.gcode (", expect={COPY: NOTED, "d.gcode_tormel.gcode": NOTED}),
    case("script_leaves_the_dialogues_copy", said("Already changed: _tormel.gcode (a copy made by the dialogue)"),
         files={"_tormel.gcode": G0}, args=script("--in-place", "_tormel.gcode"), typed=None, expect={"_tormel.gcode": G0}),
    # Binary G-code, known by its start: read and written in its form, also in the dialogue, the copy named for it.
    *[case(f"binary_gcode_{i}", out, files={"a.gcode": NUT}, args=args, typed=typed,
           expect={name: printed((NUT_TRAVEL, note))}) for i, (args, typed, out, name, note) in enumerate([
        (script("--in-place", "--g1-travel", "a.gcode"), None, said("Written to File: a.gcode"), "a.gcode", NOTE[:-1]),
        (script("--g1-travel", "a.gcode"), None, said("Written to File: a.gcode_tormel.bgcode"), "a.gcode_tormel.bgcode",
         NOTE[:-1] + b" --g1-travel"),
        (("a.gcode", "--g1-travel"), b"200\n", None, "a.gcode_tormel.bgcode", b"M84")])],
    # Binary G-code is refused or changed by what its sound blocks hold, whatever its last bytes.
    *[case(f"binary_gcode_refused_{i}", "", 1, files={"a.gcode": content}, args=script("--in-place", "a.gcode"),
           err=f"Unable to read from file: a.gcode ({why}", expect={"a.gcode": content})
      for i, (content, why) in enumerate([(NUT[:-1], "the file ends in block 6)"),
                                          (b"GCDEG1 X1\n" + NOTE, "unknown binary G-code version"),
                                          (NUT[:4] + b"\2" + NUT[5:] + b"\n" + NOTE, "unknown binary G-code version 2)"),
                                          (NUT[:3000] + b"?" + NUT[3001:] + b"\n" + NOTE, "bad checksum in block")])],
    # The fan lead: where each fan-on line goes in a travel after an extrusion (acceleration 1000): a move split with its
    # own command, decimals (three at most), Z and F, in G91 the rest after it; a retraction or a hop kept whole, the line
    # nearer in time; a travel too short; one held past the bound, which ends there; one ended by the end of the file.
    *[case(f"fan_lead_{name}", said(f"Written to File: {COPY}"), files={"a.gcode": LEAD_START + travel}, args=script(
           "--fan-lead", lead, "a.gcode"), expect={COPY: LEAD_START + result + NOTE.replace(b"\n", f" --fan-lead {lead}\n".encode())})
      for name, travel, lead, result in [
          ("g90", b"G0 X100 Y0 F6000\nG1 E-1\nG0 X100 Y100\nG1 X1 Y1 E2\n", "0.3s",
           b"M107\nG0 X100 Y0 F6000\nG1 E-1\nG0 X100 Y75\nM106 S200\nG0 X100 Y100\nG1 X1 Y1 E2\n"),
          ("g91", b"G91\nG0 X100.00 Y0 F6000\nG0 Y100.5\nG1 X1 Y1 E2\n", "0.3",
           b"G91\nM107\nG0 X100.00 Y0 F6000\nG0 Y75.5\nM106 S200\nG0 Y25.0\nG1 X1 Y1 E2\n"),
          ("g20", b"G20\nG0 X4.000 Y0.000 F600\nG1 X1 Y1 E2\n", "0.3",
           b"G20\nM107\nG0 X2.270 Y0.000 F600\nM106 S200\nG0 X4.000 Y0.000 F600\nG1 X1 Y1 E2\n"),
          ("z_and_five_decimals", b"G0 X100.12345 Y0 Z1.5 F6000\nG1 X1 Y1 E2\n", "0.3",
           b"M107\nG0 X75.126 Y0 Z1.2 F6000\nM106 S200\nG0 X100.12345 Y0 Z1.5 F6000\nG1 X1 Y1 E2\n"),
          ("on_a_retraction", b"G0 X30 Y0 F6000\nG1 E-5 F600\nG0 X31\nG1 X1 Y1 E2\n", "0.3",
           b"M107\nG0 X30 Y0 F6000\nG1 E-5 F600\nM106 S200\nG0 X31\nG1 X1 Y1 E2\n"),
          *[(f"on_a_hop_{lead}", b"G0 X30 Y0 F6000\nG0 Z5 F300\nG0 X31 F6000\n", lead, b"M107\nG0 X30 Y0 F6000\n" + (
              b"G0 Z5 F300\nM106 S200\n" if lead == "0.3" else b"M106 S200\nG0 Z5 F300\n") + b"G0 X31 F6000\n")
            for lead in ["0.3", "0.8"]],
          ("too_short", b"G0 X5 F6000\nG1 X1 Y1 E2\n", "0.3", b"G0 X5 F6000\nG1 X1 Y1 E2\n"),
          ("held_past_the_bound", b"G0 X50 Y0 F6000\n" + b";" * 100 * 11000 + b"\nG0 X50 Y50\nG1 X1 Y1 E2\n", "0.3",
           b"M107\nG0 X25 Y0 F6000\nM106 S200\nG0 X50 Y0 F6000\n" + b";" * 100 * 11000 +
           b"\nM107\nG0 X50 Y25\nM106 S200\nG0 X50 Y50\nG1 X1 Y1 E2\n")]],
    # Fan lines in the print's own dialect, as its settings tell at its start or its end, in binary G-code's metadata
    # and from a pipe, or as given: the print, the options, the result and the note's options.
    *[case(f"dialect_{name}", None, files={"a.gcode": "->/dev/stdin" if piped else content}, args=script(*args, "a.gcode", speed=speed),
           typed=content if piped else None, expect={"a.gcode_tormel.bgcode": result} if isinstance(result, printed) else
           {COPY: result + b"; fan off during travel moves: tarvix --speed " + speed.encode() + noted + b"\n"})
      for name, content, speed, args, result, noted, piped in [
          ("rrf_at_the_end", b"M106 S255\nG0 X1\n; gcode_flavor = reprapfirmware\n", "1", (),
           b"M106 S255\nM106 S0\nG0 X1\nM106 S0.0039\n; gcode_flavor = reprapfirmware\n", b" --firmware reprapfirmware", False),
          ("rrf_from_a_pipe", b";FLAVOR:RepRap\n" + G0, "200", ("--fan", "2"), b";FLAVOR:RepRap\nM106 P2 S0\nG0 X1\nM106 P2 S200\n",
           b" --firmware reprapfirmware --fan 2", True),
          ("klipper_as_marlin", G0 + b"; gcode_flavor = klipper\n", "200", (), G0_COPY + b"; gcode_flavor = klipper\n", b"", False),
          ("marlin_given", G0 + b"; gcode_flavor = reprapfirmware\n", "200", ("--firmware", "marlin"),
           G0_COPY + b"; gcode_flavor = reprapfirmware\n", b"", False),
          ("bambu_at_the_top", BAMBU, "keep", ("--g1-travel",), BAMBU.replace(b"G1 X1 Y1\n", b"M106 S0\nG1 X1 Y1\nM106 S255\n").replace(
              b"G1 X5 Y5\n", b"M106 S0\nG1 X5 Y5\nM106 S200\n"), b" --g1-travel --firmware bambu", False),
          ("rrf_at_the_end_of_a_long_print", G0 + TENS * 2700 + b";FLAVOR:RepRap\n", "200", (),
           b"M106 S0\nG0 X1\nM106 S200\n" + TENS * 2700 + b";FLAVOR:RepRap\n", b" --firmware reprapfirmware", False),
          ("rrf_at_the_top_of_a_long_print", b";FLAVOR:RepRap\n" + TENS * 2700 + G0, "200", (),
           b";FLAVOR:RepRap\n" + TENS * 2700 + b"M106 S0\nG0 X1\nM106 S200\n", b" --firmware reprapfirmware", False),
          ("fan_1", b"M106 P1 S80\nG0 X1\nM106 S255\nG0 X2\nM106 P1 S0\nG0 X3\n", "keep", ("--fan", "1"),
           b"M106 P1 S80\nM107 P1\nG0 X1\nM106 P1 S80\nM106 S255\nM107 P1\nG0 X2\nM106 P1 S80\nM106 P1 S0\nG0 X3\n", b" --fan 1", False),
          ("travel_speed", b"M106 S90\nG0 X1\nM106 S50\nG0 X2\nM107\nG0 X3\n", "keep", ("--travel-speed", "50"),
           b"M106 S90\nM106 S50\nG0 X1\nM106 S90\nM106 S50\nG0 X2\nM107\nG0 X3\n", b" --travel-speed 50", False),
          ("travel_speed_0", G0, "200", ("--travel-speed", "0"), G0_COPY, b" --travel-speed 0", False),
          *[(f"rrf_in_binary_gcode{'_from_a_pipe' * piped}", with_settings(NUT, b"printer_model=MK4\ngcode_flavor=reprapfirmware\n"),
             "200", ("--g1-travel",), printed((NUT_TRAVEL.replace(b"M107", b"M106 S0"), b"--firmware reprapfirmware")), b"", piped)
            for piped in [False, True]]]],
    # Held just before a call while something else is done: stopped as its result is flushed, a run leaves all as it was; in
    # place, it leaves a change another run or an editor makes; out of memory, it says where; a dialogue's copy stays.
    *[case(f"{name}_locked_and_stopped", "", stopped(signal.SIGINT), args=args, typed=None, expect={"a.gcode": G0},
           meanwhile=("fsync", refused_meanwhile(args, path)))
      for name, args, path in [("in_place", script("--in-place", "a.gcode"), "a.gcode"), ("copy", script("a.gcode"), COPY)]],
    *[case(f"in_place_{name}", "", 1, args=script("--in-place", "a.gcode", speed="100"), typed=None, expect={"a.gcode": left},
           err=f"Unable to write to file: a.gcode (it was changed during the run){NL}", meanwhile=(call, overtake), **popen)
      for name, call, overtake, left, popen in [
          *[(f"overtaken_at_{call}", call, lambda folder, _: finished(folder, *script("--in-place", "a.gcode")), NOTED, {})
            for call in ["faccessat", "flock"]],
          ("saved_over_during_the_pass", "fsync", saved_by_rename, b"G0 X2\n", {}),
          ("saved_over_where_files_cannot_swap", "fsync", saved_by_rename, b"G0 X2\n", {"env": preloaded(TARVIX_FAIL_AT="renameat2")}),
          ("saved_into_during_the_pass", "fsync", saved_into_the_file, b"G0 X2\n", {})]],
    case("starved_script", "", 1, args=script("--in-place", "a.gcode"), typed=None, expect={"a.gcode": G0},
         err=f"Out of memory: a.gcode (Cannot allocate memory){NL}",
         meanwhile=("flock", lambda _, run: resource.prlimit(run.pid, resource.RLIMIT_AS, (2 << 20, 2 << 20)))),
    case("dialogue_meanwhile", "", 1, args=script("a.gcode"), typed=None, expect={COPY: G0_COPY.replace(b"200", b"100")},
         err=f"Unable to write to file: {COPY} (another run wrote it meanwhile){NL}", meanwhile=("fsync", dialogue_in_its_pause)),
    case("script_failed_fsync", "", 1, args=script("--in-place", "a.gcode"), err="Unable to write to file: a.gcode (",
         expect={"a.gcode": G0}, env=preloaded(TARVIX_FAIL_AT="fsync")),
    *[case(f"script_copy_path_{kind}", "", 1, files={"a.gcode": G0, COPY: content}, args=script("a.gcode"),
           err=f"Unable to open file to write: {COPY} ({why})", expect={"a.gcode": G0})
      for kind, content, why in [("links_to_the_input", "->a.gcode", "it is the input file itself"),
                                 ("is_a_fifo", "|", "not a regular file")]],
    case("spool_in_tmpdir", "", 1, files={"a.gcode": "->/dev/stdin"}, args=script("a.gcode"), typed=b"x" * 70000 + b"\n",
         err="Unable to write to file: missing (", env={**os.environ, "TMPDIR": "missing"}),
    case("script_copy_through_a_dangling_link", said(f"Written to File: {COPY}"), files={"a.gcode": G0, COPY: "->out/b.gcode",
         "out/a": b""}, args=script("a.gcode"), expect={"out/b.gcode": NOTED, COPY: NOTED}),
    case("script_in_place_with_a_long_name", said(f"Written to File: {'a' * 250}"), files={"a" * 250: G0},
         args=script("--in-place", "a" * 250), expect={"a" * 250: NOTED}),
    case("speed_read_fails_part_way", console(REFUSAL), 1, typed=b"20", env=preloaded(TARVIX_FAIL_AT="read")),
    case("script_full_disk_leaves_the_file", "", 1, files={"a.gcode": TENS * 2000}, args=script("--in-place", "a.gcode"),
         err="Unable to write to file: a.gcode (", expect={"a.gcode": TENS * 2000},  # more than one large write
         preexec_fn=limit(resource.RLIMIT_FSIZE, 95)),
    # A long line is read twice: the file shrinks in between (after the note's two seeks, the look at its start and the read of its settings).
    case("script_input_shrinks", "", 1, files={"a.gcode": LONG_G1 + b"\n"}, args=script("a.gcode"), expect={"a.gcode": b""},
         err=f"Unable to read from file: a.gcode (the file got shorter while it was read){NL}",
         env=preloaded(TARVIX_STOP_AT="lseek", TARVIX_SHRINK="a.gcode", TARVIX_PASS="4")),
    case("stop_as_the_spool_is_made", "", stopped(signal.SIGTERM), files={"a.gcode": "->/dev/stdin"}, args=script("a.gcode"),
         typed=LONG_G1 + b"\n", env=preloaded(TMPDIR=".", TARVIX_FAIL_AT="open", TARVIX_STOP_AT="unlink",  # no unnamed file
                                               TARVIX_STOP_SIGNAL=str(int(signal.SIGTERM)))),
    # Every mistake is a row of tests/command_line_test.cpp; this one is end to end.
    case("mistake", "", 2, args=("a.gcode", "--fast"), err=f"tarvix: unknown option '--fast' (see tarvix --help){NL}",
         expect={"a.gcode": G0}),
    case("version", said(BANNER[0]), args=("--version",)),
    *[case(f"min_travel_{name}", said(f"Written to File: {'a.gcode' if name == 'joined' else COPY}"), files={"a.gcode": lines_of(lines)},
           args=travel_run(name, length)[0], expect={"a.gcode" if name == "joined" else COPY:
           lines_of(with_pairs(lines, pairs)) + travel_run(name, length)[1]})
      for name, lines, length, pairs in TRAVELS],
    case("min_travel_in_the_dialogue", success("a.gcode", *[line.decode() for line in with_pairs(TRAVEL, [(1, 4)])]),
         files={"a.gcode": lines_of(TRAVEL)}, args=("a.gcode", "--min-travel", "2"), expect={COPY: lines_of(with_pairs(TRAVEL, [(1, 4)]))}),
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
            os.utime(path, (OLD, OLD))


def read(folder, name):
    path = pathlib.Path(folder, name)
    return path.read_bytes() if os.path.lexists(path) else None


def same(what, got, want):
    if got != want:
        raise AssertionError(f"{what}:\n  got  {str(got)[-1000:]}\n  want {str(want)[-1000:]}")


def start(folder, *args, program=TARVIX, **popen):
    popen = {"stdout": subprocess.PIPE, "stdin": subprocess.PIPE, **popen}
    for tries in range(100):  # a binary just copied stays busy while a child forked meanwhile holds it open
        try:
            return subprocess.Popen(LAUNCHER + [program, *args], cwd=folder, stderr=subprocess.PIPE, **popen)
        except OSError as error:
            if error.errno != errno.ETXTBSY or tries == 99:
                raise
            time.sleep(0.05)


def come_late(folder, proc, late):
    """`seconds` into the run, the writer of the FIFO a.gcode comes with `what` (bytes), or the signal `what`."""
    seconds, what = late
    time.sleep(seconds)
    if isinstance(what, bytes):
        with open(os.path.join(folder, "a.gcode"), "wb") as fifo:  # waits for a reader, however slow it is to start
            fifo.write(what)
    else:
        proc.send_signal(what)


def run_row(row, folder):
    make_files(folder, row["files"])
    popen = dict(row["popen"])
    if "console_into" in popen:
        popen["stdout"] = open(os.path.join(folder, popen.pop("console_into")), "ab")
    locked, late, timeout = popen.pop("locked", None), popen.pop("late", None), popen.pop("timeout", 600)
    meanwhile, during = popen.pop("meanwhile", None), None  # (call, do): held just before call while do(folder, run) runs
    if meanwhile:
        popen["env"] = {**popen.get("env", preloaded()), "TARVIX_STOP_AT": meanwhile[0],
                        "TARVIX_STOP_SIGNAL": str(int(signal.SIGSTOP))}
    keys = None
    if popen.pop("terminal", False):  # standard input a terminal, what is typed waiting in it
        keys, popen["stdin"] = pty.openpty()
        os.write(keys, row["typed"])
    with tempfile.TemporaryFile() as unread, open(locked or os.devnull) as lock:
        if locked:
            fcntl.flock(lock, fcntl.LOCK_EX)  # as another run writing there would hold it
        if row["typed"] is None:
            unread.write(b"200\n")
            unread.seek(0)
            popen["stdin"] = unread
        with start(folder, *row["args"], **popen) as proc:
            if late is not None:
                threading.Thread(target=come_late, args=(folder, proc, late), daemon=True).start()
            if meanwhile:
                os.waitpid(proc.pid, os.WUNTRACED)
                try:
                    during = meanwhile[1](folder, proc)
                finally:
                    proc.send_signal(signal.SIGCONT)
            try:
                out, err = proc.communicate(row["typed"], timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                raise
        same("standard input left unread", row["typed"] is not None or unread.tell() == 0, True)
    if isinstance(during, subprocess.Popen):  # a run started meanwhile ends too
        during.communicate(timeout=600)
    if keys is not None:
        os.close(keys)
        os.close(popen["stdin"])
    if row["out"] is not None:
        same("console", out.decode("utf-8", "surrogateescape"), row["out"])
    err = err.decode("utf-8", "surrogateescape")
    same("status and stderr", (proc.returncode, err[:len(row["err"])] if row["err"] else err), (row["status"], row["err"]))
    for name, content in row["expect"].items():
        got = read(folder, name)
        if isinstance(content, printed):
            same(name + " as printers read it", got is not None and reads_as(pathlib.Path(folder, name), content), True)
            continue
        same(name, ... if content is ... and got is not None else got, content)  # ...: there, whatever it holds
        if content == row["files"].get(name):  # a file left as it was keeps its modification time
            same(name + " modification time", os.stat(os.path.join(folder, name)).st_mtime, OLD)
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
        same("console", proc.stdout.read().decode(), console(REFUSAL))


def stopped_mid_pass(folder, stop, data, times=1):
    """Stopped as it writes (`times` stops at once), the tool leaves whole lines, at most one behind the echo; a caught stop ends it."""
    make_files(folder, {"a.gcode": data})
    with start(folder, "a.gcode") as proc:
        proc.stdin.write(b"200\n")
        proc.stdin.flush()
        seen = b""
        while len(seen) < 1 << 18 and (chunk := proc.stdout.read1(4096)):  # into the first long line
            seen += chunk
        time.sleep(1)  # not reading on fills the console pipe: the tool stops mid-pass
        proc.send_signal(signal.SIGSTOP)
        for _ in range(times):
            proc.send_signal(stop)
        proc.send_signal(signal.SIGCONT)
        echoed = (seen + proc.stdout.read()).split((SEP + NL).encode(), 1)[1].replace(NL.encode(), b"\n")
    copy = read(folder, COPY)
    same("status", proc.wait(), stopped(stop))
    same("copy is whole lines of the full copy", bracketed(data).startswith(copy) and copy.endswith(b"\n"), True)
    same("copy is at most one line behind the echo", echoed.startswith(copy) and
         echoed[len(copy):].count(b"\n") <= 1, True)


def in_the_pause(folder, older, starve, tries=3):
    """Until the pass begins the copy is locked, an older one kept and no new one left, whether the run stops or starves."""
    make_files(folder, {"a.gcode": G0, COPY: older} if older else {"a.gcode": G0})
    with dialogue_in_its_pause(folder, None) as first:
        first.send_signal(signal.SIGSTOP)  # held in its pause, however slow the second is to start
        if not os.WIFSTOPPED(os.waitpid(first.pid, os.WUNTRACED)[1]):  # others kept this thread from running all the pause
            same("run held in its pause, tries left", tries > 1, True)
            return in_the_pause(os.path.join(folder, str(tries)), older, starve, tries - 1)
        try:
            second = finished(folder, "a.gcode", typed=b"200\n")
            if starve:
                resource.prlimit(first.pid, resource.RLIMIT_AS, (2 << 20, 2 << 20))
            else:
                first.send_signal(signal.SIGINT)
        finally:
            first.send_signal(signal.SIGCONT)
        told = first.communicate(timeout=600)[0].decode()
    same("second run", second, (1, failure("Unable to open file to write"), ""))
    same("first run's status and the copy", (first.returncode, read(folder, COPY)),
         (1 if starve else stopped(signal.SIGINT), older))
    same("first run's last line", told.endswith("Out of memory" + NL), starve)


def in_place_keeps_a_link_and_the_mode(folder, as_user):
    """As root, another user's file keeps its owner; as a user, a file of theirs keeps a group of theirs other
    than the one their new files get."""
    make_files(folder, {"a.gcode": G0, "l.gcode": "->a.gcode"})
    root = os.geteuid() == 0
    uid, gid = (1234, 1234) if root else (os.geteuid(), os.getegid())
    group = (1235 if root else max(os.getgroups() + [gid], key=lambda g: g != gid)) if as_user else gid
    os.chown(folder, uid, gid)
    os.chown(os.path.join(folder, "a.gcode"), uid, group)
    os.chmod(os.path.join(folder, "a.gcode"), 0o7750)  # setuid, setgid and sticky too, which a chown clears
    # Another user may not reach the build folder (a clone under /root): the binary runs from the folder.
    user = dict(user=uid, group=gid, extra_groups=[group], program=shutil.copy(TARVIX, folder)) if root and as_user else {}
    run = finished(folder, *script("--in-place", "l.gcode"), **user)
    kept = os.stat(os.path.join(folder, "a.gcode"))
    same("run", (run, os.readlink(os.path.join(folder, "l.gcode")), read(folder, "a.gcode"), kept.st_mode & 0o7777,
                 (kept.st_uid, kept.st_gid)), ((0, said("Written to File: l.gcode"), ""), "a.gcode", NOTED, 0o7750, (uid, group)))


def finished(folder, *args, typed=None, **popen):
    with start(folder, *args, **popen) as proc:
        out, err = proc.communicate(typed, timeout=600)
    return proc.returncode, out.decode(), err.decode()


def non_blocking_ends(folder):
    """A speed in parts through a non-blocking pipe is read whole; a full non-blocking console is waited for, not dropped."""
    make_files(folder, {"a.gcode": gcode(50000)})
    (speed_end, typed), (reader, writer) = os.pipe(), os.pipe()
    os.set_blocking(speed_end, False)
    os.set_blocking(writer, False)
    with start(folder, "a.gcode", stdin=speed_end, stdout=writer) as proc:
        os.close(speed_end)
        os.close(writer)
        os.write(typed, b"2")
        time.sleep(0.5)
        os.write(typed, b"00\n")
        os.close(typed)
        time.sleep(7)  # past the pause, the console fills while nobody reads
        with open(reader, "rb") as console_end:
            out = console_end.read()
        same("status and stderr", (proc.wait(), proc.stderr.read()), (0, b""))
    same("console", out.decode(), success("a.gcode", *bracketed(gcode(50000)).decode().splitlines()))


def long_line(folder, through_fifo):
    """A 256 MiB line, from a file or from a FIFO whose writer pauses, under a 64 MiB address-space limit."""
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
    spool = os.path.join(folder, "tmp")
    os.mkdir(spool)
    with start(folder, "a.gcode", stdout=subprocess.DEVNULL, preexec_fn=limit(resource.RLIMIT_AS, 64 << 20),
               env={**os.environ, "TMPDIR": spool}) as proc:
        _, err = proc.communicate(b"200\n", timeout=600)
    same("status, stderr and the temporary folder", (proc.returncode, err, os.listdir(spool)), (0, b"", []))
    same("copy", read(folder, COPY) == bracketed(data), True)


def each_call_failing(folder, call):
    """Each `call` of a run failing in turn, on text, a long line and binary G-code, in place and to a copy: the run
    writes its result, or says what failed and why and leaves the file as it was, with nothing else behind."""
    mark, reached = os.path.join(folder, "failed"), 0
    for i, (content, in_place) in enumerate((c, p) for c in [gcode(100), G0 + b"x" * 70000 + b"\n" + G0, NUT]
                                            for p in [True, False]):
        args = script(*["--in-place"] * in_place, "--g1-travel", "a.gcode")
        result = "a.gcode" if in_place else "a.gcode_tormel." + ("bgcode" if content == NUT else "gcode")
        make_files(os.path.join(folder, "good"), {"a.gcode": content})
        finished(os.path.join(folder, "good"), *args)
        good = read(os.path.join(folder, "good"), result)
        for calls in range(1000):
            run = os.path.join(folder, f"{i}_{calls}")
            make_files(run, {"a.gcode": content})
            status, _, err = finished(run, *args, stdin=subprocess.DEVNULL, env=preloaded(
                TARVIX_FAIL_ONE=call, TARVIX_PASS=str(calls), TARVIX_FAILED_MARK=mark))
            got = (status, read(run, result), sorted(os.listdir(run)))
            if status == 0:
                same(f"{call} {calls} of {i}", got, (0, good, sorted({"a.gcode", result})))
            else:
                same(f"{call} {calls} of {i}: {err}", (got, err[:7], "(Input/output error)" in err),
                     ((1, content if in_place else None, ["a.gcode"]), "Unable ", True))
            if not os.path.exists(mark):
                break
            os.unlink(mark)
        reached += calls
    same(f"{call}s failed in turn", reached > 0, True)


LONG_LINES = (b"G0 X1\n" + b"x" * (1 << 20) + b"\n") * 4
HARNESSED = {
    **{test.__name__: test for test in [waits_for_a_key_without_a_file, speed_read_is_bounded, non_blocking_ends]},
    "in_place_keeps_a_link_and_the_mode": lambda folder: in_place_keeps_a_link_and_the_mode(folder, False),
    "in_place_as_a_user_keeps_the_group": lambda folder: in_place_keeps_a_link_and_the_mode(folder, True),
    "killed_mid_pass": lambda folder: stopped_mid_pass(folder, signal.SIGKILL, gcode(200000)),
    **{f"{stop.name.lower()}_mid_line": lambda folder, stop=stop: stopped_mid_pass(folder, stop, LONG_LINES)
       for stop in [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPWR]},
    "two_sigrtmin_at_once_mid_line": lambda folder: stopped_mid_pass(folder, signal.SIGRTMIN, LONG_LINES, 2),
    **{f"{'starved' if starve else 'stopped'}_in_the_pause_{'with' if older else 'without'}_an_older_copy":
       lambda folder, older=older, starve=starve: in_the_pause(folder, older, starve)
       for older in [b"older copy\n", None] for starve in [False, True]},
    **{f"each_{call}_failing": lambda folder, call=call: each_call_failing(folder, call) for call in ["lseek", "read", "unlink"]},
    **{f"long_line{name}": lambda folder, fifo=fifo: long_line(folder, fifo) for name, fifo in [("", False), ("_from_a_fifo", True)]},
}


def run_in_a_new_folder(test):
    with tempfile.TemporaryDirectory() as folder:
        test(folder)


def main(names):
    cases = {name: lambda folder, row=row: run_row(row, folder) for name, row in ROWS.items()}
    cases.update(HARNESSED)
    if names == ["--list"]:
        print("\n".join(cases))
        return 0
    unknown = [name for name in names if name not in cases]
    unset = [name for name in ["TARVIX", "TARVIX_VERSION"] if not os.environ.get(name)]
    if unknown or unset:
        print(f"e2e_test.py: no case {' '.join(unknown)} (see --list)" if unknown else
              f"e2e_test.py: set {' and '.join(unset)} (see docs/tests.md)", file=sys.stderr)
        return 2
    chosen = [name for name in cases if name in names or not names]
    for name in filter(SKIP.__contains__, chosen):
        print(f"skip {name}: {SKIP[name]}")
    chosen = [name for name in chosen if name not in SKIP]
    with concurrent.futures.ThreadPoolExecutor(len(chosen)) as pool:
        futures = {name: pool.submit(run_in_a_new_folder, cases[name]) for name in chosen}
    failed = [name for name, future in futures.items() if future.exception()]
    for name in failed:
        print(f"FAIL {name}: {''.join(traceback.format_exception(futures[name].exception()))}")
    print(f"{len(chosen) - len(failed)} passed, {len(failed)} failed" + "".join(f": {' '.join(failed)}" for _ in failed[:1]))
    return 1 if failed or not chosen else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
