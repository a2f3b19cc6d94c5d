// Identity of a cached result: the 64-bit key and the subdirectory number
// computed from (input unique name, unique tag, stamp), and the file names
// derived from them.
//
// Both checksums run over the same byte stream: each of the three strings
// followed by a zero byte. The key is CRC-64/WE (polynomial 0x42F0E1EBA9EA3693,
// not reflected, initial value and final XOR all ones); the subdirectory is a
// reflected CRC-8 with polynomial 0x31, initial value 0xFF, complemented.
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Xadra {

struct CacheKey {
    unsigned subdir = 0;  // 0..255
    uint64_t key = 0;

    friend bool operator==(const CacheKey&, const CacheKey&) = default;
    // Subdirectory first, then the key as an unsigned number.
    friend bool operator<(const CacheKey& a, const CacheKey& b) {
        return a.subdir != b.subdir ? a.subdir < b.subdir : a.key < b.key;
    }
};

CacheKey computeCacheKey(std::string_view uniqueName, std::string_view tag, std::string_view stamp);

// The raw checksums over arbitrary bytes (exposed for their check values).
uint64_t crc64we(const void* data, size_t len);
uint8_t crc8Reflected31(const void* data, size_t len);

// "ba": two lower-case hexadecimal digits.
std::string subdirName(unsigned subdir);
// "4e9261012ac8530a": sixteen lower-case hexadecimal digits.
std::string keyName(uint64_t key);

// Parses exactly sixteen lower-case hexadecimal digits; false for anything else.
bool parseKeyName(std::string_view text, uint64_t& key);

// True for a data file name of the given key: the key alone, or the key, "_"
// and one or more lower-case hexadecimal digits. Anything else (a path, "..",
// another key) is refused, so a manifest can never name a file outside its
// own subdirectory or belonging to another key.
bool isDataFileNameOf(std::string_view name, uint64_t key);

}  // namespace Xadra
