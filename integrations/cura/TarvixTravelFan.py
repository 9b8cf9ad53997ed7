# Cura post-processing script: runs Tarvix on the G-code Cura is about to
# save. Cura loads it from the scripts folder of its configuration folder and
# wants the file named as the class.

import os
import shutil
import subprocess
import sys
import tempfile

from UM.Application import Application
from UM.Logger import Logger
from UM.Message import Message

from ..Script import Script

# Far above what any print takes, yet a run that hangs must not hold Cura's
# save for good.
TIME_LIMIT_SECONDS = 600
PROGRAM = "tarvix.exe" if sys.platform == "win32" else "tarvix"


class TarvixTravelFan(Script):
    def getSettingDataString(self):
        return """{
            "name": "Tarvix: fan off during travel moves",
            "key": "TarvixTravelFan",
            "metadata": {},
            "version": 2,
            "settings":
            {
                "keep_print_fan":
                {
                    "label": "Keep the print's fan speed",
                    "description": "After each travel move the fan goes back to the speed the print itself set last, so layers the print keeps fan-free stay so and the fan stays off after the print ends (Tarvix's --speed keep). Off: the fan speed below after every travel move.",
                    "type": "bool",
                    "default_value": true
                },
                "fan_speed":
                {
                    "label": "Fan speed",
                    "description": "The fan speed after each travel move, the S value of M106: 0 to 255.",
                    "type": "float",
                    "default_value": 255,
                    "minimum_value": "0",
                    "maximum_value": "255",
                    "enabled": "not keep_print_fan"
                },
                "min_travel_enabled":
                {
                    "label": "Leave short travels alone",
                    "description": "One fan pair for each travel (travel moves one after another) and none for a travel shorter than the minimum below: Tarvix's --min-travel. Off: a fan pair for every travel move.",
                    "type": "bool",
                    "default_value": false
                },
                "min_travel":
                {
                    "label": "Minimum travel",
                    "description": "A travel shorter than this gets no fan pair, so the fan stays as it is: seconds with an s (0.5s, about what a fan needs to slow down), else millimetres (5 or 5mm).",
                    "type": "str",
                    "default_value": "0.5s",
                    "enabled": "min_travel_enabled"
                },
                "travel_fan_enabled":
                {
                    "label": "Slow the fan during travels",
                    "description": "During a travel the fan slows to the speed below instead of stopping, so it needs no kick-start and is quieter; with the print's fan speed kept, a travel where the fan already runs no faster is left alone (Tarvix's --travel-speed).",
                    "type": "bool",
                    "default_value": false
                },
                "travel_fan_speed":
                {
                    "label": "Fan speed during travels",
                    "description": "The fan speed during each travel, the S value of M106: 0 to 255.",
                    "type": "float",
                    "default_value": 50,
                    "minimum_value": "0",
                    "maximum_value": "255",
                    "enabled": "travel_fan_enabled"
                },
                "fan_lead_enabled":
                {
                    "label": "Start the fan before printing resumes",
                    "description": "The fan goes back on this long before each travel ends, timed as the printer plans its moves, so that it is at speed when printing resumes (Tarvix's --fan-lead). Off: the fan goes back on after the travel.",
                    "type": "bool",
                    "default_value": false
                },
                "fan_lead":
                {
                    "label": "Fan lead",
                    "description": "Seconds before the end of each travel, 0 to 10: about what the fan needs to spin up.",
                    "type": "float",
                    "unit": "s",
                    "default_value": 0.3,
                    "minimum_value": "0",
                    "maximum_value": "10",
                    "enabled": "fan_lead_enabled"
                },
                "executable":
                {
                    "label": "Tarvix executable",
                    "description": "The path of tarvix (tarvix.exe on Windows). Empty: the one on the PATH, or else the one beside this script.",
                    "type": "str",
                    "default_value": ""
                }
            }
        }"""

    def execute(self, data):
        # The plugin only logs what a script raises, and the user would never
        # learn that the fan lines are missing: every failure is shown here.
        try:
            return run_tarvix(data, tarvix_command(self.getSettingValueByKey))
        except Exception as error:
            text = "Tarvix left the G-code unchanged: " + (str(error) or type(error).__name__)
            Logger.log("e", text)
            Message(text, lifetime=0, title=self.getSettingData()["name"],
                    message_type=Message.MessageType.ERROR).show()
            return data


def tarvix_command(setting):
    """The executable and the options the settings ask for."""
    speed = "keep" if setting("keep_print_fan") else decimal(setting("fan_speed"))
    command = [find_executable(setting("executable")), "--speed", speed]
    if setting("min_travel_enabled"):
        command += ["--min-travel", "".join(str(setting("min_travel")).split())]  # "0.5 s" is 0.5s
    if setting("travel_fan_enabled"):
        command += ["--travel-speed", decimal(setting("travel_fan_speed"))]
    if setting("fan_lead_enabled"):
        command += ["--fan-lead", decimal(setting("fan_lead"))]
    return command + cura_firmware()


def cura_firmware():
    """The firmware of Cura's own G-code flavour: "RepRap (RepRap)" is RepRapFirmware,
    which takes M106 S0 for fan off; every other flavour writes as Marlin does."""
    stack = Application.getInstance().getGlobalContainerStack()
    flavour = stack.getProperty("machine_gcode_flavor", "value") if stack is not None else None
    if not flavour:
        return []
    return ["--firmware", "reprapfirmware" if flavour == "RepRap (RepRap)" else "marlin"]


def decimal(number):
    """The number in plain decimals, as the command line takes it: 200, not 200.0."""
    text = repr(float(number))
    return text[:-2] if text.endswith(".0") else text


def find_executable(setting):
    """The path the setting names, else tarvix on the PATH or beside this script."""
    if setting:
        return setting
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), PROGRAM)
    found = shutil.which(PROGRAM) or (beside if os.path.isfile(beside) else None)
    if found is None:
        raise RuntimeError(PROGRAM + " is neither on the PATH nor beside " + os.path.abspath(__file__)
                           + ": set its path in the script's settings")
    return found


def run_tarvix(data, command):
    """Runs Tarvix in place on the joined G-code; the result split as data is."""
    if not data:
        return data
    with tempfile.TemporaryDirectory(prefix="tarvix-") as folder:
        path = os.path.join(folder, "print.gcode")
        with open(path, "wb") as file:
            file.write("".join(data).encode("utf-8"))
        try:
            done = subprocess.run(command + ["--in-place", "--", path], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  timeout=TIME_LIMIT_SECONDS,
                                  creationflags=getattr(subprocess, "CREATE_NO_WINDOW", 0))
        except subprocess.TimeoutExpired:
            raise RuntimeError(command[0] + " did not finish within %d s" % TIME_LIMIT_SECONDS)
        except OSError as error:
            raise RuntimeError("cannot run " + command[0] + ": " + (error.strerror or str(error)))
        if done.returncode != 0:
            said = done.stderr.decode("utf-8", "replace").strip().splitlines()
            raise RuntimeError(said[-1] if said else command[0] + " ended with status %d" % done.returncode)
        with open(path, "rb") as file:
            result = file.read().decode("utf-8", "replace")
    return split_as(data, result)


def split_as(data, result):
    """The result in as many strings as data, each line of data in its own
    string. Tarvix only adds lines, so the result's lines are matched to
    data's in order, and an added line goes with the line before it."""
    given = "".join(data).split("\n")
    if given[-1] == "":
        given.pop()  # nothing follows the last line feed
    owners = []  # for each line of data, the string it begins in
    at_line_start = True
    for index, piece in enumerate(data):
        if piece:
            owners += [index] * (piece.count("\n", 0, len(piece) - 1) + at_line_start)
            at_line_start = piece.endswith("\n")
    pieces = [[] for _ in data]
    next_line, owner = 0, (owners or [0])[0]
    *lines, tail = result.split("\n")
    for line in lines:
        if next_line < len(given) and line == given[next_line]:
            owner = owners[next_line]
            next_line += 1
        pieces[owner].append(line)
    texts = ["\n".join(piece) + "\n" if piece else "" for piece in pieces]
    texts[owner] += tail
    return texts
