#include "cache/CacheKey.h"

#include <gtest/gtest.h>

using namespace Xadra;

TEST(CacheKey, ChecksumsMatchTheirPublishedCheckValues) {
    EXPECT_EQ(crc64we("123456789", 9), 0x62EC59E3F1A4F00AULL);
    EXPECT_EQ(crc8Reflected31("123456789", 9), 0xF4);
}

TEST(CacheKey, WorkedExampleGivesSubdirectoryBaAndItsKey) {
    CacheKey k = computeCacheKey("drawing.plt", "150dpi,antialias,0deg", "");
    EXPECT_EQ(subdirName(k.subdir), "ba");
    EXPECT_EQ(keyName(k.key), "4e9261012ac8530a");
}

TEST(CacheKey, ZeroBytesSeparateTheThreeStrings) {
    // Moving a character between fields must change the key.
    EXPECT_NE(computeCacheKey("ab", "c", "").key, computeCacheKey("a", "bc", "").key);
    EXPECT_NE(computeCacheKey("a", "b", "").key, computeCacheKey("a", "b", " ").key);
}

TEST(CacheKey, NamesAreZeroPaddedLowerCaseHex) {
    EXPECT_EQ(subdirName(0x0a), "0a");
    EXPECT_EQ(keyName(0xabcULL), "0000000000000abc");
}

TEST(CacheKey, KeyNamesParseOnlyAsSixteenLowerCaseHexDigits) {
    uint64_t k = 0;
    EXPECT_TRUE(parseKeyName("4e9261012ac8530a", k));
    EXPECT_EQ(k, 0x4e9261012ac8530aULL);
    EXPECT_FALSE(parseKeyName("4E9261012AC8530A", k));
    EXPECT_FALSE(parseKeyName("4e9261012ac8530", k));
    EXPECT_FALSE(parseKeyName("4e9261012ac8530g", k));
    EXPECT_FALSE(parseKeyName("0x9261012ac8530a", k));
    EXPECT_FALSE(parseKeyName(" e9261012ac8530a", k));
}

TEST(CacheKey, DataFileNamesStayWithinTheirKey) {
    const uint64_t k = 0x4e9261012ac8530aULL;
    EXPECT_TRUE(isDataFileNameOf("4e9261012ac8530a", k));
    EXPECT_TRUE(isDataFileNameOf("4e9261012ac8530a_5f5e1000", k));
    EXPECT_FALSE(isDataFileNameOf("4e9261012ac8530a_", k));
    EXPECT_FALSE(isDataFileNameOf("4e9261012ac8530a_zz", k));
    EXPECT_FALSE(isDataFileNameOf("4e9261012ac8530a.manifest", k));
    EXPECT_FALSE(isDataFileNameOf("0000000000000001_10", k));
    EXPECT_FALSE(isDataFileNameOf("../../etc/passwd", k));
    EXPECT_FALSE(isDataFileNameOf("4e9261012ac8530a/../x", k));
}
