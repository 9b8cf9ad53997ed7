// A run from a slicer or a script: no questions, no echo, and the result
// written whole or not at all.
#pragma once

#include "run/command_line.h"

/// For each file `request` names, in turn: writes its result, ending in its
/// change note, to a temporary file beside its destination and renames it
/// over the destination. Says "Written to File: <path>" on standard output,
/// or "Already changed: <path> (<why>)" for an input that ends in a change
/// note, a copy the dialogue made, or a file named again whose copy this run
/// wrote, each left as it is with nothing written; or what failed (memory
/// running out too), where and why on standard error. Returns the exit
/// status: 1 when any file failed.
int run_script(const run_request& request);
