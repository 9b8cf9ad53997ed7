#include "bgcode/heatshrink.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr int length_bits = 4;
constexpr std::size_t max_length = std::size_t{1} << length_bits;

// A reference shorter than this costs more bits than the literals it saves.
constexpr std::size_t min_length = 3;

// How many earlier places with the same first bytes the encoder tries: more
// finds longer references, slowly; G-code repeats itself close by.
constexpr int max_tries = 8;

constexpr int hash_bits = 14;

// Eight bytes as a number, the first the highest, and back.
std::uint64_t load_high_first(const unsigned char* from) {
  std::uint64_t word;
  std::memcpy(&word, from, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  word = __builtin_bswap64(word);
#endif
  return word;
}

void store_high_first(unsigned char* to, std::uint64_t word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  word = __builtin_bswap64(word);
#endif
  std::memcpy(to, &word, 8);
}

// The bits of a stream, first bit first, from the top of a store that is
// topped up eight bytes at a time while the data lasts, without a branch on
// how many fit. Bytes go into the store only as far as the data goes, so
// unread bits at the end are the last byte's filling.
struct bit_reader {
  const unsigned char* at;
  const unsigned char* end;
  std::uint64_t store = 0;
  int count = 0;  // how many bits at the top of the store are the data's

  // Tops the store up to at least 56 bits, or to the end of the data. The
  // bits below the whole bytes taken are those of the bytes that follow,
  // which the next fill puts there again.
  void fill() {
    if (end - at >= 8) {
      store |= load_high_first(at) >> count;
      at += (63 - count) / 8;
      count |= 56;
    } else {
      for (; count <= 56 && at != end; count += 8) store |= std::uint64_t{*at++} << (56 - count);
    }
  }

  unsigned take(int bits) {
    const auto value = static_cast<unsigned>(store >> (64 - bits));
    store <<= bits;
    count -= bits;
    return value;
  }
};

// Bits go out first bit first. Each put writes eight bytes and moves on by
// the whole ones, so that it needs no branch; the stream must have room for
// eight bytes past its end.
struct bit_writer {
  unsigned char* at;
  std::uint64_t store = 0;  // the bits not yet passed, at the bottom
  int count = 0;            // how many: fewer than eight between puts

  void put(unsigned value, int bits) {
    store = store << bits | value;
    count += bits;
    store_high_first(at, store << (64 - count));
    at += count / 8;
    count %= 8;
  }

  // Where the stream ends: the last byte, filled up with zero bits, is written.
  unsigned char* finish() const { return at + (count > 0); }
};

// How many of the first `most` bytes at `a` and `b` are the same.
std::size_t same_length(const unsigned char* a, const unsigned char* b, std::size_t most) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // Eight at a time: the lowest differing bit is in the first differing byte.
  std::size_t length = 0;
  for (; length + 8 <= most; length += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + length, 8);
    std::memcpy(&y, b + length, 8);
    if (x != y) return length + static_cast<std::size_t>(__builtin_ctzll(x ^ y)) / 8;
  }
#else
  std::size_t length = 0;
#endif
  while (length < most && a[length] == b[length]) ++length;
  return length;
}

// The hash of the three bytes at `at`, read as four: the fourth must be there.
unsigned hash_at(const unsigned char* at) {
  std::uint32_t four;
  std::memcpy(&four, at, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  const std::uint32_t three = four & 0xFFFFFF;
#else
  const std::uint32_t three = four >> 8;
#endif
  return (three * 2654435761u) >> (32 - hash_bits);
}

}  // namespace

bool heatshrink_decode(std::string_view data, int window_bits, std::size_t size,
                       std::string& room) {
  // Room past the end for a reference copied sixteen bytes at once.
  if (room.size() < size + max_length) room.resize(size + max_length);
  char* const made_at = room.data();
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  bit_reader in{bytes, bytes + data.size()};
  const int reference_bits = window_bits + length_bits;
  std::size_t made = 0;
  while (made < size) {
    in.fill();
    if (in.count == 0) return false;
    if (in.take(1) == 1) {
      if (in.count < 8) return false;
      made_at[made++] = static_cast<char>(in.take(8));
      continue;
    }
    if (in.count < reference_bits) return false;
    const std::size_t distance = in.take(window_bits) + std::size_t{1};
    const std::size_t length = in.take(length_bits) + std::size_t{1};
    if (distance > made || length > size - made) return false;
    if (distance >= max_length) {
      std::memcpy(made_at + made, made_at + made - distance, max_length);
    } else {
      // Byte by byte: a reference may overlap the bytes it makes.
      for (std::size_t i = 0; i < length; ++i) made_at[made + i] = made_at[made + i - distance];
    }
    made += length;
  }
  return in.at == in.end && in.count < 8;
}

std::string_view heatshrink_encode(std::string_view data, int window_bits,
                                   heatshrink_tables& tables, std::string& room) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t size = data.size();
  // Distances stop one short of the window, which some decoders keep as a
  // ring that the byte a whole window back has just left.
  const std::size_t window = (std::size_t{1} << window_bits) - 1;
  const std::size_t mask = window;
  // The latest place of each hash, and before each place the one before it
  // with the same hash. A place is kept as a number that grows from block to
  // block and leaves a window's gap between them, so that one test tells the
  // places in the window from those before it, in this block or another: the
  // tables need no clearing until the numbers would run out.
  if (tables.earlier.size() != mask + 1 ||
      tables.base + window + std::uint64_t{size} > std::numeric_limits<std::uint32_t>::max()) {
    tables.latest.assign(std::size_t{1} << hash_bits, 0);
    tables.earlier.assign(mask + 1, 0);
    tables.base = 0;
  }
  std::uint32_t* const latest = tables.latest.data();
  std::uint32_t* const earlier = tables.earlier.data();
  const auto first = static_cast<std::uint32_t>(tables.base + window + 1);  // place 0's
  const auto insert = [=](std::size_t place) {
    std::uint32_t& head = latest[hash_at(bytes + place)];
    earlier[place & mask] = head;
    head = static_cast<std::uint32_t>(first + place);
  };
  // Nine bits a byte at most, and the bit writer's eight bytes.
  if (room.size() < size + size / 8 + 16) room.resize(size + size / 8 + 16);
  bit_writer bits{reinterpret_cast<unsigned char*>(room.data())};
  const std::size_t hashed_end = size < 4 ? 0 : size - 3;  // places whose hash can read four bytes
  std::size_t at = 0;
  while (at < size) {
    std::size_t best = 0, best_from = 0;
    if (at < hashed_end) {
      const std::size_t most = std::min(max_length, size - at);
      const auto oldest = static_cast<std::uint32_t>(first + at - window - 1);
      std::uint32_t& head = latest[hash_at(bytes + at)];
      std::uint32_t from = head;
      for (int tries = max_tries; from > oldest && tries > 0; --tries) {
        const std::size_t candidate = from - first;
        if (bytes[candidate + best] == bytes[at + best]) {
          const std::size_t length = same_length(bytes + candidate, bytes + at, most);
          if (length > best) best = length, best_from = candidate;
          if (best == most) break;
        }
        // Always an earlier place: a place's slot is taken again only by the
        // place a whole window after it, which is not there yet.
        from = earlier[candidate & mask];
      }
      earlier[at & mask] = head;
      head = static_cast<std::uint32_t>(first + at);
    }
    if (best >= min_length) {
      bits.put(static_cast<unsigned>(at - best_from - 1) << length_bits |
                   static_cast<unsigned>(best - 1),
               1 + window_bits + length_bits);
    } else {
      best = 1;
      bits.put(0x100 | bytes[at], 9);
    }
    const std::size_t end = at + best;
    for (const std::size_t hashed = std::min(end, hashed_end); ++at < hashed;) insert(at);
    at = end;
  }
  tables.base = static_cast<std::uint32_t>(first + size - 1);  // the last place's
  const auto* const start = reinterpret_cast<unsigned char*>(room.data());
  return std::string_view(room.data(), static_cast<std::size_t>(bits.finish() - start));
}
