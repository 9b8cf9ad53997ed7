// The comment a run from the command line ends its result with, so that a
// file this tool has changed is known and not changed again.
#pragma once

#include <string>

#include "command_line.h"

/// "; fan off during travel moves: tarvix" and the options that shaped the
/// result, in a fixed order. A comment line every firmware ignores; at the
/// end, where no printer or host looks for a header of its own.
std::string change_note(const run_options& options);

/// Whether an input's last line is a change note.
enum class note_found { no, yes, unreadable };

/// Reads only the end of `input` and leaves it at its start for the pass. An
/// input that cannot be read from its end (a pipe) gives no: its last line
/// comes only after all the others.
note_found find_change_note(io_handle input);
