#pragma once
// The fixed emoji tables: SoftBank private-use emoji (U+E001..U+E537, the form old devices
// stored) with the Unicode emoji of the same index, the symbols of the Basic Multilingual
// Plane that need the emoji presentation, the symbols whose variation selector is dropped,
// the flag pairs, and the block offsets of the SoftBank codes.
//
// utf16table holds a surrogate pair as high unit * 65536 + low unit; utf8table holds the
// UTF-8 bytes in memory order (four bytes, or three followed by a zero that is padding
// only). Constant data: any thread.

#include <cstdint>

namespace EmojiTables {

extern const int kCount;
extern const uint16_t sbtable[];
extern const uint32_t utf16table[];
extern const uint32_t utf8table[];

constexpr int kLowerCount = 18;
extern const uint16_t utf16tableLower[kLowerCount];
extern const uint32_t utf8tableLower[kLowerCount];

constexpr int k52Count = 13;
extern const uint32_t utf8table52[k52Count];

// Flag pairs of regional indicators as UTF-8 bytes; the two last slots are empty.
constexpr int kFlagSlots = 12;
extern const uint32_t firstchars[kFlagSlots];
extern const uint32_t secondchars[kFlagSlots];

// Per SoftBank block, the step of the running base (16-bit arithmetic) to that block.
extern const int16_t offsets[6];

// The six SoftBank blocks: first code and length.
struct Block
{
    uint16_t first;
    uint16_t count;
};
constexpr Block kBlocks[6] = {{0xE001, 90}, {0xE101, 90}, {0xE201, 83},
                              {0xE301, 77}, {0xE401, 76}, {0xE501, 55}};

} // namespace EmojiTables
