#include "plume/Exception.h"
#include "plume/Log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Plume;

namespace {
const LogCategory kCats[] = {{"alpha", 1}, {"beta", 2}, {"gamma", 16}, {nullptr, 0}};

struct Args {
    std::vector<std::string> store;
    std::vector<char*> ptrs;
    int argc;
    explicit Args(std::initializer_list<const char*> a) : store(a.begin(), a.end()) {
        for (auto& s : store) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
        argc = static_cast<int>(store.size());
    }
};
}  // namespace

TEST(LogArguments, PassesConsumeTheirOptionsOnly) {
    LogService svc = {"t", 0, 6, kCats};
    Args a({"prog", "--log-level=7", "-n", "--log-mask=alpha,gamma", "--xadrad_x=1", "--log-stderr"});
    plumelog_parse_arg(0, &a.argc, a.ptrs.data(), &svc);
    plumelog_parse_arg(1, &a.argc, a.ptrs.data(), &svc);
    plumelog_parse_arg(2, &a.argc, a.ptrs.data(), &svc);
    EXPECT_EQ(svc.levelThreshold, 7);
    EXPECT_EQ(svc.categoryMask, 17u);
    ASSERT_EQ(a.argc, 3);
    EXPECT_STREQ(a.ptrs[1], "-n");
    EXPECT_STREQ(a.ptrs[2], "--xadrad_x=1");
    EXPECT_EQ(a.ptrs[3], nullptr);
}

TEST(LogArguments, NumericMaskAndBadValues) {
    LogService svc = {"t", 0, 6, kCats};
    Args a({"prog", "--log-mask=0x12"});
    plumelog_parse_arg(1, &a.argc, a.ptrs.data(), &svc);
    EXPECT_EQ(svc.categoryMask, 0x12u);
    Args b({"prog", "--log-level=9"});
    EXPECT_THROW(plumelog_parse_arg(0, &b.argc, b.ptrs.data(), &svc), Exception);
    Args c({"prog", "--log-mask=nosuch"});
    EXPECT_THROW(plumelog_parse_arg(1, &c.argc, c.ptrs.data(), &svc), Exception);
}

TEST(LogOutput, LinesCarryLevelCategoryAndText) {
    char path[] = "/tmp/plumelogXXXXXX";
    int fd = mkstemp(path);
    plumelog_init(1, "tester", 0, nullptr);
    plumelog_set_fd(fd);
    LogService svc = {"t", 0, 4, kCats};
    Exception shown(svc, 2, 4, "shown line");
    Exception hidden(svc, 2, 6, "hidden line");
    Exception forced(svc, 16, 7, "forced line");
    svc.categoryMask = 16;
    shown.log();
    hidden.log();
    forced.log();
    plumelog_set_fd(-1);
    lseek(fd, 0, SEEK_SET);
    char buf[4096] = {0};
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    unlink(path);
    std::string out(buf, n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_NE(out.find("tester["), std::string::npos) << out;
    EXPECT_NE(out.find("WARN beta: shown line"), std::string::npos) << out;
    EXPECT_EQ(out.find("hidden line"), std::string::npos) << out;
    EXPECT_NE(out.find("DEBUG gamma: forced line"), std::string::npos) << out;
}
