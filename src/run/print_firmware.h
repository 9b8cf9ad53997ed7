// Which firmware a print is for, as the slicer's settings in it say, read
// before the pass without a second pass over the file.
#pragma once

#include "bgcode/binary_gcode.h"
#include "run/command_line.h"
#include "system/file_io.h"

/// `options` as they stand for the print `input`, whose start `start` has
/// read: where no --firmware is given, the firmware its settings name
/// (marlin where they name none). `options.firmware` then names it only
/// where its fan lines are not Marlin's, as the note does. A file is read
/// at its start and its end and left at its start; a pipe is read at its
/// start, kept in `start.taken` for the pass. False when a read fails.
bool options_for_print(io_handle input, input_start& start, run_options& options);
