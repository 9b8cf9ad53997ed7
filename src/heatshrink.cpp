#include "heatshrink.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr int length_bits = 4;
constexpr std::size_t max_length = std::size_t{1} << length_bits;

// A reference shorter than this costs more bits than the literals it saves.
constexpr std::size_t min_length = 3;

// How many earlier places with the same first bytes the encoder tries: more
// finds longer references, slowly; G-code repeats itself close by.
constexpr int max_tries = 8;

constexpr int hash_bits = 14;

// The bits of a stream, first bit first. Bytes go into the store only as far
// as the data goes, so unread bits at the end are the last byte's filling.
struct bit_reader {
  const unsigned char* at;
  const unsigned char* end;
  std::uint64_t store = 0;
  int count = 0;

  bool has(int bits) {
    if (count >= bits) return true;
    while (count <= 56 && at != end) {
      store = store << 8 | *at++;
      count += 8;
    }
    return count >= bits;
  }

  unsigned take(int bits) {
    count -= bits;
    return static_cast<unsigned>(store >> count) & ((1u << bits) - 1);
  }
};

// Bits go out four bytes at a time, first bit first.
struct bit_writer {
  unsigned char* at;
  std::uint64_t store = 0;
  int count = 0;

  void put(unsigned value, int bits) {
    store = store << bits | value;
    count += bits;
    if (count >= 32) {
      count -= 32;
      const auto word = static_cast<std::uint32_t>(store >> count);
      const unsigned char bytes[4] = {
          static_cast<unsigned char>(word >> 24), static_cast<unsigned char>(word >> 16),
          static_cast<unsigned char>(word >> 8), static_cast<unsigned char>(word)};
      std::memcpy(at, bytes, 4);
      at += 4;
    }
  }

  // Where the stream ends, once its last byte is filled up with zero bits.
  unsigned char* finish() {
    for (; count >= 8; count -= 8) *at++ = static_cast<unsigned char>(store >> (count - 8));
    if (count > 0) *at++ = static_cast<unsigned char>(store << (8 - count));
    return at;
  }
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

unsigned hash_at(const unsigned char* at) {
  const std::uint32_t three = at[0] | at[1] << 8 | at[2] << 16;
  return (three * 2654435761u) >> (32 - hash_bits);
}

}  // namespace

bool heatshrink_decode(std::string_view data, int window_bits, std::size_t size, std::string& out) {
  const std::size_t start = out.size();
  // Room past the end for a reference copied sixteen bytes at once.
  out.resize(start + size + max_length);
  char* const made_at = out.data() + start;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  bit_reader in{bytes, bytes + data.size()};
  std::size_t made = 0;
  bool whole = true;
  while (whole && made < size) {
    if (!in.has(1)) {
      whole = false;
    } else if (in.take(1) == 1) {
      whole = in.has(8);
      if (whole) made_at[made++] = static_cast<char>(in.take(8));
    } else if (!in.has(window_bits + length_bits)) {
      whole = false;
    } else {
      const std::size_t distance = in.take(window_bits) + std::size_t{1};
      const std::size_t length = in.take(length_bits) + std::size_t{1};
      whole = distance <= made && length <= size - made;
      if (whole && distance >= max_length) {
        std::memcpy(made_at + made, made_at + made - distance, max_length);
      } else {
        // Byte by byte: a reference may overlap the bytes it makes.
        for (std::size_t i = 0; whole && i < length; ++i) {
          made_at[made + i] = made_at[made + i - distance];
        }
      }
      made += length;
    }
  }
  whole = whole && in.at == in.end && in.count < 8;
  out.resize(whole ? start + size : start);
  return whole;
}

void heatshrink_encode(std::string_view data, int window_bits, std::string& out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t size = data.size();
  // Distances stop one short of the window, which some decoders keep as a
  // ring that the byte a whole window back has just left.
  const std::size_t window = (std::size_t{1} << window_bits) - 1;
  const std::size_t mask = window;
  // The latest place of each hash, and before each place the one before it
  // with the same hash; places are kept one up, so that 0 is none.
  std::vector<std::uint32_t> latest(std::size_t{1} << hash_bits, 0);
  std::vector<std::uint32_t> earlier(mask + 1, 0);
  const std::size_t start = out.size();
  out.resize(start + size + size / 8 + 8);
  bit_writer bits{reinterpret_cast<unsigned char*>(out.data()) + start};
  const std::size_t hashed_end = size < min_length ? 0 : size - min_length + 1;
  std::size_t at = 0;
  while (at < size) {
    const std::size_t most = std::min(max_length, size - at);
    std::size_t best = 0, best_from = 0;
    std::uint32_t* const head = at < hashed_end ? &latest[hash_at(bytes + at)] : nullptr;
    std::uint32_t from = head != nullptr ? *head : 0;
    for (int tries = max_tries; from != 0 && at - (from - 1) <= window && tries > 0; --tries) {
      const std::size_t candidate = from - 1;
      if (bytes[candidate + best] == bytes[at + best]) {
        const std::size_t length = same_length(bytes + candidate, bytes + at, most);
        if (length > best) best = length, best_from = candidate;
        if (best == most) break;
      }
      const std::uint32_t next = earlier[candidate & mask];
      from = next < from ? next : 0;  // a newer place has taken that slot
    }
    if (head != nullptr) {
      earlier[at & mask] = *head;
      *head = static_cast<std::uint32_t>(at + 1);
    }
    if (best >= min_length) {
      bits.put(static_cast<unsigned>(at - best_from - 1) << length_bits |
                   static_cast<unsigned>(best - 1),
               1 + window_bits + length_bits);
    } else {
      best = 1;
      bits.put(0x100 | bytes[at], 9);
    }
    for (const std::size_t end = at++ + best; at < end; ++at) {
      if (at >= hashed_end) continue;
      std::uint32_t& first = latest[hash_at(bytes + at)];
      earlier[at & mask] = first;
      first = static_cast<std::uint32_t>(at + 1);
    }
  }
  out.resize(
      static_cast<std::size_t>(bits.finish() - reinterpret_cast<unsigned char*>(out.data())));
}
