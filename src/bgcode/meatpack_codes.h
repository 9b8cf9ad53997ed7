// What MeatPack's reader and writer share: its signals, the fifteen
// characters it packs and each byte's code in its two forms.
#pragma once

#include <array>
#include <string_view>

namespace meatpack {

constexpr unsigned char signal_byte = 0xFF;
constexpr unsigned char packing_on = 0xFB;
constexpr unsigned char packing_off = 0xFA;
constexpr unsigned char reset_all = 0xF9;
constexpr unsigned char blankless_on = 0xF7;
constexpr unsigned char blankless_off = 0xF6;

/// The four bits that say a whole byte follows the pair.
constexpr unsigned whole = 0xF;

// The characters of codes 0 to 14; in the blank-less form code 11 is 'E'.
constexpr std::string_view characters = "0123456789. \nGX";
constexpr unsigned blank_code = 11;

constexpr char character(unsigned code, bool blankless) {
  return code == blank_code && blankless ? 'E' : characters[code];
}

using code_table = std::array<unsigned char, 256>;

// Each byte's code in the normal and the blank-less form.
constexpr std::array<code_table, 2> make_codes() {
  std::array<code_table, 2> codes{};
  for (int blankless = 0; blankless < 2; ++blankless) {
    for (unsigned char& code : codes[blankless]) code = whole;
    for (unsigned code = 0; code < characters.size(); ++code) {
      codes[blankless][static_cast<unsigned char>(character(code, blankless))] = code;
    }
  }
  return codes;
}
inline constexpr std::array<code_table, 2> codes_of = make_codes();
/// Follows a signal's command; false for one this reader does not know.
inline bool obey(unsigned char command, bool& packing, bool& blankless) {
  if (command == packing_on || command == packing_off) {
    packing = command == packing_on;
  } else if (command == blankless_on || command == blankless_off) {
    blankless = command == blankless_on;
  } else if (command == reset_all) {
    packing = blankless = false;
  } else {
    return false;
  }
  return true;
}

}  // namespace meatpack
