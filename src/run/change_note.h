// The comment a run from the command line ends its result with, so that a
// file this tool has changed is known and not changed again.
#pragma once

#include <string>
#include <string_view>

#include "run/command_line.h"

/// "; fan off during travel moves: tarvix" and the options that shaped the
/// result, in a fixed order. A comment line every firmware ignores; at the
/// end, where no printer or host looks for a header of its own.
std::string change_note(const run_options& options);

/// The command a note line names: "tarvix --speed 200".
std::string noted_command(std::string_view note_line);

/// Whether the end of an input holds a change note.
enum class note_found { no, yes, unreadable };

/// Reads only the last 512 bytes of `input` for a note line, and leaves it
/// at its start for the pass, which looks for one in the rest. `note` gets
/// the note line found. An input that cannot be read from its end (a pipe)
/// gives no.
note_found find_change_note(io_handle input, std::string& note);
