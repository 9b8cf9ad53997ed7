// Binary G-code, as slicers write it when it is switched on: a file header
// (GCDE, the version, the checksum type), then blocks, each a header (type,
// compression, sizes), its parameters, its data and a CRC32. Metadata and
// thumbnail blocks come first; G-code blocks hold the text the printer runs,
// compressed (none, Deflate, Heatshrink 11/4 or 12/4) and encoded (none or
// MeatPack, which may keep whole-line comments).
//
// The reader goes through a file once, never seeking, so a FIFO will do, and
// holds at most one G-code block at a time. The writer makes the same form:
// the bytes the reader hands on go out as they are, and text goes into fresh
// G-code blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bgcode/heatshrink.h"
#include "system/byte_source.h"
#include "system/file_io.h"

/// The most text the writer puts in one G-code block, as slicers do; lines
/// are never split, so a longer line gets a block of its own.
constexpr std::size_t bgcode_block_text = 64 * 1024;

/// The most a G-code block may hold, compressed or not: sixteen times what
/// slicers write. Anything a block declares beyond that is refused unread.
constexpr std::uint32_t bgcode_max_block = 1024 * 1024;

/// How a file stores its blocks.
struct bgcode_format {
  /// 0: no checksums; 1: CRC32.
  std::uint16_t checksum = 1;
  /// 0: none; 1: Deflate; 2: Heatshrink 11/4; 3: Heatshrink 12/4.
  std::uint16_t compression = 0;
  /// 0: none; 1: MeatPack; 2: MeatPack keeping whole-line comments.
  std::uint16_t encoding = 0;
};

/// What one step of reading gave.
enum class bgcode_part {
  /// Bytes to copy as they are: the file header, or the next piece of a
  /// block other than G-code (the piece that ends it ends with its checksum).
  bytes,
  /// The text of a G-code block, decoded.
  text,
  /// The end of the file, after its last block.
  end,
  /// A read that failed or input that is not sound binary G-code: `reason`.
  failed
};

/// A file being read, and what the last step gave.
struct bgcode_reader {
  byte_source source;
  /// The checksum type from the file header; the compression and encoding
  /// of the G-code block read last.
  bgcode_format format;
  std::string bytes;
  /// The text of a G-code block: a view of the reader's own rooms, good until
  /// the next step.
  std::string_view text;
  /// Why reading failed, in a few words (`bad checksum in block 5`).
  std::string reason;

  // Kept from one step to the next: the block being read, and its type.
  int block = 0;
  std::uint16_t type = 0;
  int rank = -1;
  bool started = false;
  bool finished = false;
  std::uint64_t left_to_copy = 0;
  std::uint32_t crc = 0;
  // Rooms for a G-code block as read, decompressed and decoded: they grow to
  // the largest block and stay, so that they are not cleared for each block.
  std::string data, unpacked, decoded;
};

/// Reads the next part: first the file header (as bytes), then block after
/// block. A block other than G-code may come in several pieces, so memory
/// stays bounded whatever its size; its checksum is checked as its last
/// piece is read, so a failure may follow bytes already handed on. After
/// `end` or `failed`, reads nothing more.
bgcode_part bgcode_read(bgcode_reader& reader);

/// A file being written.
struct bgcode_writer {
  io_handle output = no_file;
  /// Checksum type of the file header the writer copies, and the
  /// compression and encoding of the G-code blocks it makes.
  bgcode_format format;
  /// Why writing failed: the system's reason or the text's.
  std::string reason;
  /// The text is what blocks read whole hold, maybe of another encoding than
  /// `format`'s: each block is written in one that loses none of it.
  bool keeps_all = false;

  // Kept from one call to the next: the text held, and rooms to make a block
  // in, kept as the reader's are.
  std::string text;
  std::uint16_t held_encoding = 0;  // of the text held: one that keeps it all
  bool wrote_text = false;
  std::string packed, data, block;
  heatshrink_tables tables;
};

/// Writes bytes the reader handed on, as they are (after any text held).
bool bgcode_copy(bgcode_writer& writer, std::string_view bytes);

/// Takes whole lines of text (LF or CR LF; only the last may lack a line end)
/// for G-code blocks of at most bgcode_block_text bytes each, written as
/// they fill, so that at most one block of text is held. A block goes out in
/// the writer's encoding, or with `keeps_all` in the first of MeatPack,
/// MeatPack keeping whole-line comments and none that keeps all it holds. False, with the
/// reason, when a write fails or the text cannot be encoded: a byte 0xFF in
/// MeatPack, or a line too long for one block.
bool bgcode_write_text(bgcode_writer& writer, std::string_view lines);

/// Writes a comment line in a G-code block of its own, after the text held,
/// so that it survives: with MeatPack, which drops comments, that block keeps
/// whole-line comments.
bool bgcode_write_note(bgcode_writer& writer, std::string_view line);

/// Writes the text still held; a file with no text yet gets one empty G-code
/// block, as readers want at least one.
bool bgcode_finish(bgcode_writer& writer);
