// MeatPack, the packing of G-code text that binary G-code blocks may carry:
// the fifteen commonest characters take four bits each, two to a byte, and
// any other follows its pair as a whole byte; signals (two 0xFF bytes and a
// command) switch packing and the blank-less form on and off.
//
// Packed text is not the text byte for byte, and a reader must give what
// printers run: empty lines are dropped, a line end is LF, and in the
// blank-less form a G command's words get their blanks back. The writer
// leaves out the comments the encoding does not keep: end-of-line comments
// (with the blanks before them) always, whole-line comments unless kept.
#pragma once

#include <string>
#include <string_view>

/// Puts the text that the packed bytes `data` stand for at the start of
/// `room` and views it in `text`. False when `data` ends inside a character
/// or a signal, or holds a signal this reader does not know.
///
/// Here and below, `room` grows as needed and never shrinks, so that a room
/// used block after block is not cleared again for each.
bool meatpack_decode(std::string_view data, std::string& room, std::string_view& text);

/// Puts the packed bytes of the lines of `text` (LF or CR LF line ends; a
/// last line may have none) at the start of `room` and views them in
/// `packed`, keeping whole-line comments when `keep_comment_lines`. False
/// when the text holds a byte 0xFF, which packed text cannot carry.
bool meatpack_encode(std::string_view text, bool keep_comment_lines, std::string& room,
                     std::string_view& packed);
