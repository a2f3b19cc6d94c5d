#include "plume/ConfigOptions.h"
#include "plume/Exception.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace Plume;

namespace {
std::string writeTemp(const std::string& text) {
    char path[] = "/tmp/plumecfgXXXXXX";
    int fd = mkstemp(path);
    ssize_t w = write(fd, text.data(), text.size());
    (void)w;
    close(fd);
    return path;
}
}  // namespace

TEST(ConfigOptions, ValuesKeepBlanksAndEqualsSigns) {
    std::string p = writeTemp(
        "# comment\n"
        "   # indented comment\n"
        "\n"
        "stamp= lead and trail \n"
        "formula=a=b=c\n"
        " spaced key =x\n"
        "empty=\n"
        "no equals sign here\n");
    auto c = ConfigOptions::newInstance("t");
    c->load(p);
    EXPECT_EQ(c->getString("stamp"), " lead and trail ");
    EXPECT_EQ(c->getString("formula"), "a=b=c");
    EXPECT_EQ(c->getString("spaced key"), "x");
    EXPECT_EQ(c->getString("empty"), "");
    EXPECT_FALSE(c->has("no equals sign here"));
    unlink(p.c_str());
}

TEST(ConfigOptions, LaterSourcesOverrideEarlierOnes) {
    std::string a = writeTemp("k=1\nonly_a=a\n");
    std::string b = writeTemp("k=2\n");
    auto c = ConfigOptions::newInstance("t");
    c->load(a);
    c->load(b);
    EXPECT_EQ(c->getInt("k"), 2);
    const char* argv[] = {"prog", "--k=3", "-n", "--flag", "--other=x=y", nullptr};
    c->parseCommandLine(5, const_cast<char**>(argv));
    EXPECT_EQ(c->getInt("k"), 3);
    EXPECT_EQ(c->getString("other"), "x=y");
    EXPECT_FALSE(c->has("flag"));
    EXPECT_EQ(c->getString("only_a"), "a");
    unlink(a.c_str());
    unlink(b.c_str());
}

TEST(ConfigOptions, TypedGettersParseAndReportBadValues) {
    auto c = ConfigOptions::newInstance("xadrad");
    c->set("u", " 100 ");
    c->set("neg", "-4");
    c->set("d", "56.69291338582677");
    c->set("b1", "true");
    c->set("b2", "0");
    c->set("bad", "12abc");
    EXPECT_EQ(c->getUInt("u"), 100u);
    EXPECT_EQ(c->getInt("neg"), -4);
    EXPECT_DOUBLE_EQ(c->getDouble("d"), 56.69291338582677);
    EXPECT_TRUE(c->getBool("b1"));
    EXPECT_FALSE(c->getBool("b2"));
    EXPECT_EQ(c->getUInt("missing", 7u), 7u);
    EXPECT_THROW(c->getUInt("neg"), Exception);
    try {
        c->getInt("bad");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find("[bad]"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("[12abc]"), std::string::npos);
    }
    EXPECT_THROW(c->getBool("bad"), Exception);
    EXPECT_THROW(c->getDouble("bad", 1.0), Exception);  // present but malformed: not the default
}

TEST(ConfigOptions, MissingKeyNamesKeyAndSources) {
    auto c = ConfigOptions::newInstance("xadrad");
    c->load("/nonexistent/xad.conf");  // optional: skipped
    try {
        c->getString("xadrad_cache_baseDir");
        FAIL();
    } catch (const Exception& e) {
        std::string m = e.what();
        EXPECT_NE(m.find("[xadrad_cache_baseDir]"), std::string::npos) << m;
        EXPECT_NE(m.find("/nonexistent/xad.conf"), std::string::npos) << m;
    }
    EXPECT_THROW(c->load("/nonexistent/xad.conf", ConfigOptions::LOAD_MUST_EXIST), CException);
}
