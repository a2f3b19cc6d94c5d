#include "CacheKey.h"

#include <boost/crc.hpp>

#include <cstdio>

namespace Xadra {

namespace {
using Crc64We = boost::crc_optimal<64, 0x42F0E1EBA9EA3693ULL, ~0ULL, ~0ULL, false, false>;
using Crc8R31 = boost::crc_optimal<8, 0x31, 0xFF, 0xFF, true, true>;

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
}  // namespace

uint64_t crc64we(const void* data, size_t len) {
    Crc64We c;
    c.process_bytes(data, len);
    return c.checksum();
}

uint8_t crc8Reflected31(const void* data, size_t len) {
    Crc8R31 c;
    c.process_bytes(data, len);
    return c.checksum();
}

CacheKey computeCacheKey(std::string_view uniqueName, std::string_view tag, std::string_view stamp) {
    static const char zero = 0;
    Crc64We k;
    Crc8R31 s;
    for (std::string_view part : {uniqueName, tag, stamp}) {
        k.process_bytes(part.data(), part.size());
        k.process_bytes(&zero, 1);
        s.process_bytes(part.data(), part.size());
        s.process_bytes(&zero, 1);
    }
    return CacheKey{static_cast<unsigned>(s.checksum()), k.checksum()};
}

std::string subdirName(unsigned subdir) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%2.2x", subdir & 0xffu);
    return buf;
}

std::string keyName(uint64_t key) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%16.16llx", static_cast<unsigned long long>(key));
    return buf;
}

bool parseKeyName(std::string_view text, uint64_t& key) {
    if (text.size() != 16) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (!isLowerHex(c)) return false;
        v = (v << 4) | static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    key = v;
    return true;
}

bool isDataFileNameOf(std::string_view name, uint64_t key) {
    uint64_t k;
    if (name.size() < 16 || !parseKeyName(name.substr(0, 16), k) || k != key) return false;
    if (name.size() == 16) return true;
    if (name[16] != '_' || name.size() == 17) return false;
    for (char c : name.substr(17))
        if (!isLowerHex(c)) return false;
    return true;
}

}  // namespace Xadra
