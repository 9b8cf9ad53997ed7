// A run from a slicer or a script: no questions, no echo, and the result
// written whole or not at all.
#pragma once

#include "command_line.h"

/// Writes the result `request` asks for, ending in its change note, to a
/// temporary file beside its destination and renames it over the
/// destination. Says "Written to File: <path>" on standard output, or
/// "Already changed: <path>" for an input that ends in a change note, which
/// is left as it is with nothing written; or what failed (memory running out
/// too), where and why on standard error. Returns the exit status.
int run_script(const run_request& request);
