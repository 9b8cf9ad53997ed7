"""The Cura script under the post-processing plugin and Uranium of Debian's
cura (4.13), on G-code that Debian's CuraEngine slices from a box made here;
only Cura's application object is stood in for. Run with the Python cura runs
under (/usr/bin/python3); TARVIX names the binary, and arguments pick cases.
Without Cura it exits with 77, a skip, unless TARVIX_CURA_REQUIRED is ON."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import types

sys.path.insert(0, "/usr/lib/cura/plugins")  # where Cura finds its plugins
try:
    import UM.Settings.ContainerStack
    import UM.Settings.InstanceContainer
    from PostProcessingPlugin.PostProcessingPlugin import PostProcessingPlugin
    from UM.Application import Application
    from UM.Logger import Logger
    from UM.Settings.ContainerRegistry import ContainerRegistry
    from UM.Signal import Signal
    from UM.VersionUpgradeManager import VersionUpgradeManager
except ImportError as missing:
    if os.environ.get("TARVIX_CURA_REQUIRED") == "ON":
        raise
    print(f"skip cura: Debian's cura is not installed for {sys.executable} ({missing})")
    sys.exit(77)  # the test's SKIP_RETURN_CODE

TARVIX = os.path.abspath(os.environ["TARVIX"])
SCRIPT = pathlib.Path(__file__).parent.parent / "integrations" / "cura" / "TarvixTravelFan.py"
PRINTER = "/usr/share/cura/resources/definitions/fdmprinter.def.json"
DEFAULTS = {"keep_print_fan": "False", "fan_speed": "255", "min_travel_enabled": "False", "min_travel": "2",
            "travel_fan_enabled": "False", "travel_fan_speed": "50", "fan_lead_enabled": "False", "fan_lead": "0.3"}

# name, settings as typed in Cura, where else tarvix lies (on the PATH, beside
# the script, or there a decoy that fails) and whether a line runs across two
# strings or empty strings come between, or Cura's G-code flavour, and then either tarvix's own
# arguments or what the message says.
ROWS = [
    ("speed", {"fan_speed": "200"}, "", ["--speed", "200"]),
    ("decimals", {"fan_speed": "127.5"}, "", ["--speed", "127.5"]),
    ("keep", {"keep_print_fan": "True", "fan_speed": "200"}, "", ["--speed", "keep"]),
    # On the box, 19.5 leaves more travels without a fan pair than the default 2 does.
    ("min_travel", {"min_travel_enabled": "True", "min_travel": "19.5"}, "", ["--speed", "255", "--min-travel", "19.5"]),
    ("min_travel_seconds", {"min_travel_enabled": "True", "min_travel": " 0.5 s"}, "", ["--speed", "255", "--min-travel", "0.5s"]),
    ("min_travel_off", {"min_travel": "19.5"}, "", ["--speed", "255"]),
    ("travel_speed", {"travel_fan_enabled": "True", "travel_fan_speed": "60"}, "", ["--speed", "255", "--travel-speed", "60"]),
    ("travel_speed_off", {"travel_fan_speed": "60"}, "", ["--speed", "255"]),
    ("fan_lead", {"fan_lead_enabled": "True", "fan_lead": "0.25"}, "", ["--speed", "255", "--fan-lead", "0.25"]),
    ("reprap_flavour", {}, "RepRap (RepRap)", ["--speed", "255", "--firmware", "reprapfirmware"]),
    ("on_the_path", {"executable": ""}, "path", ["--speed", "255"]),
    ("beside_the_script", {"executable": ""}, "beside", ["--speed", "255"]),
    ("path_before_beside", {"executable": ""}, "path beside_decoy", ["--speed", "255"]),
    ("line_across_strings", {}, "across", ["--speed", "255"]),
    ("empty_strings", {}, "empty", ["--speed", "255"]),
    ("refused", {"fan_speed": "300"}, "", "tarvix: invalid speed '300'"),
    ("nowhere", {"executable": ""}, "", "tarvix is neither on the PATH nor beside"),
    ("named_but_missing", {"executable": "/nonexistent/tarvix"}, "path beside", "cannot run /nonexistent/tarvix"),
]


class Application_stand_in:
    """What the plugin, the settings and a message ask of Cura's application."""

    def __init__(self):
        self.shown, self.logged, self.scene = [], [], types.SimpleNamespace()
        self.showMessageSignal = types.SimpleNamespace(emit=self.shown.append)
        self.writeStarted = self.globalContainerStackChanged = self.mainWindowChanged = Signal()
        self.getOutputDeviceManager = self.getController = lambda: self
        self.getScene = lambda: self.scene
        self.getMultiBuildPlateModel = lambda: types.SimpleNamespace(activeBuildPlate=0)
        self.getGlobalContainerStack = lambda: None
        self.callLater = lambda call, *args: call(*args)


def sliced(folder):
    """The G-code of a 20 x 20 x 3 mm box, split as Cura gets it from CuraEngine:
    the header, the start code, each layer, the last retraction, the end code."""
    corners = [[(0, 0, 0), (0, 20, 0), (20, 20, 0), (20, 0, 0)], [(0, 0, 3), (20, 0, 3), (20, 20, 3), (0, 20, 3)],
               [(0, 0, 0), (20, 0, 0), (20, 0, 3), (0, 0, 3)], [(0, 20, 0), (0, 20, 3), (20, 20, 3), (20, 20, 0)],
               [(0, 0, 0), (0, 0, 3), (0, 20, 3), (0, 20, 0)], [(20, 0, 0), (20, 20, 0), (20, 20, 3), (20, 0, 3)]]
    facets = "".join("facet normal 0 0 0\nouter loop\n%sendloop\nendfacet\n" % "".join(
        "vertex %d %d %d\n" % face[i] for i in corner) for face in corners for corner in ((0, 1, 2), (0, 2, 3)))
    (folder / "box.stl").write_text("solid box\n" + facets + "endsolid box\n")
    subprocess.run(["CuraEngine", "slice", "-j", PRINTER, "-l", folder / "box.stl", "-o", folder / "box.gcode"],
                   check=True, capture_output=True)
    lines = (folder / "box.gcode").read_text().splitlines(keepends=True)
    marks = [i for i, line in enumerate(lines) if re.match(r";Generated with|;LAYER:\d", line)]
    last_time = max(i for i, line in enumerate(lines) if line.startswith(";TIME_ELAPSED:"))
    cuts = [0] + marks + [last_time + 1, len(lines) - lines[::-1].index("M107\n") - 1, len(lines)]
    return ["".join(lines[start:end]) for start, end in zip(cuts, cuts[1:])]


def tarvix(args, text, folder):
    (folder / "joined.gcode").write_bytes(text.encode())
    subprocess.run([TARVIX, *args, "--in-place", folder / "joined.gcode"], check=True, capture_output=True)
    return (folder / "joined.gcode").read_bytes().decode()


def without_fan_lines(text):
    return re.sub(r"(?m)^(M10[67]\b|; fan off during travel moves: ).*\n?", "", text).strip("\n")


def check(row, plugin, app, folder, given):
    name, settings, setup, expected = row
    if "across" in setup:  # as a script before this one may leave it
        given = given[:5] + [given[5][:-1], "\n" + given[6]] + given[7:]
    if "empty" in setup:  # in the middle and at the end
        given = given[:5] + [""] + given[5:] + [""]
    for place, where in ((folder / "scripts" / "tarvix", "beside"), (folder / "path" / "tarvix", "path")):
        if where in setup:
            shutil.copy("/bin/false" if where + "_decoy" in setup else TARVIX, place)
        else:
            place.unlink(missing_ok=True)
    os.environ["PATH"] = str(folder / "path")
    script = plugin._script_list[0]
    for key, text in {**DEFAULTS, "executable": str(folder / "Tarvix ñandú" / "tarvix"), **settings}.items():
        script._instance.setProperty(key, "value", text)
    app.scene.gcode_dict, app.shown[:] = {0: list(given)}, []
    flavour = setup if "(" in setup else None  # Cura's machine_gcode_flavor
    app.getGlobalContainerStack = lambda: flavour and types.SimpleNamespace(getProperty=lambda key, what: flavour)
    plugin.execute(None)
    app.getGlobalContainerStack = lambda: None
    got = app.scene.gcode_dict[0]
    got[0] = got[0].removesuffix(";POSTPROCESSED\n")  # the plugin's mark
    said = [message.getText() for message in app.shown]
    if isinstance(expected, str):
        assert got == given, "the G-code changed though the run failed"
        assert len(said) == 1 and expected in said[0], f"shown: {said}"
        assert any(said[0] in line for line in app.logged), "the message is not in Cura's log"
        return
    assert not said, f"shown: {said}"
    assert len(got) == len(given), f"{len(got)} strings for {len(given)}"
    joined = "--fan-lead" not in expected  # a lead splits moves: tarvix's result below says the rest
    assert not joined or all(without_fan_lines(a) == without_fan_lines(b) for a, b in zip(got, given)), "lines moved"
    assert "".join(got) == tarvix(expected, "".join(given), folder) != "".join(given), "not tarvix's result"
    if expected[1] == "keep":  # the box's first layer is fan-free, and the fan goes on in the second
        assert "M106" not in got[2] and "M107\nG0" in got[-3], "the print's own fan is not kept"


def main():
    app = Application_stand_in()
    Application._Application__instance = app
    registry = ContainerRegistry(app)
    UM.Settings.InstanceContainer.setContainerRegistry(registry)
    UM.Settings.ContainerStack.setContainerRegistry(registry)
    VersionUpgradeManager(app)
    Logger.addLogger(types.SimpleNamespace(log=lambda kind, line: app.logged.append(line)))
    failed = 0
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        for child in ("scripts", "path", "Tarvix ñandú"):
            (folder / child).mkdir()
        shutil.copy(TARVIX, folder / "Tarvix ñandú")
        shutil.copy(SCRIPT, folder / "scripts")
        given = sliced(folder)
        assert len(given) == 32, f"CuraEngine's G-code split in {len(given)} strings"
        plugin = PostProcessingPlugin()
        plugin.loadScripts(str(folder / "scripts"))
        plugin.addScriptToList("TarvixTravelFan")
        for row in ROWS:
            if sys.argv[1:] and row[0] not in sys.argv[1:]:
                continue
            try:
                check(row, plugin, app, folder, given)
                print("ok", row[0])
            except Exception as error:
                failed += 1
                print("FAILED", row[0], repr(error))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
