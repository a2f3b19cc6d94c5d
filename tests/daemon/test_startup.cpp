#include "daemon/Settings.h"
#include "daemon/Startup.h"
#include "xadracommon/XadraException.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Xadra;

namespace {
struct Argv {
    std::vector<std::string> store;
    std::vector<char*> ptrs;
    explicit Argv(std::initializer_list<const char*> a) : store(a.begin(), a.end()) {
        for (auto& s : store) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(store.size()); }
};

std::string message(const std::function<void()>& f) {
    try {
        f();
    } catch (const Plume::Exception& e) {
        return e.what();
    }
    return "no exception";
}

std::string tempFile(const std::string& text) {
    char p[] = "/tmp/xadcpuXXXXXX";
    int fd = mkstemp(p);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    return p;
}
}  // namespace

TEST(StartupOptions, DefaultsAndApplicationNames) {
    unsetenv("XAD_CONF_DIR");
    Argv none({"xadrad"});
    auto o = parseStartupOptions(none.argc(), none.ptrs.data());
    EXPECT_EQ(o.applicationName, "xad");
    EXPECT_TRUE(o.fork);
    EXPECT_EQ(o.daemonName(), "xad/xad_xadrad");
    EXPECT_EQ(o.globalConfigFile(), "/etc/xad/xad.conf");
    EXPECT_EQ(o.applicationConfigFile(), "/etc/xad/xad/xad.conf");
    Argv two({"xadrad", "-a", "demo"});
    Argv one({"xadrad", "-ademo"});
    for (auto* a : {&two, &one}) {
        auto d = parseStartupOptions(a->argc(), a->ptrs.data());
        EXPECT_EQ(d.daemonName(), "xad/demo_xadrad");
        EXPECT_EQ(d.applicationConfigFile(), "/etc/xad/demo/xad.conf");
    }
    setenv("XAD_CONF_DIR", "/tmp/conf", 1);
    EXPECT_EQ(o.applicationConfigFile(), "/tmp/conf/xad/xad.conf");
    unsetenv("XAD_CONF_DIR");
}

TEST(StartupOptions, FlagsLongOptionsAndErrors) {
    Argv a({"xadrad", "--", "-n", "--anything", "-k", "--xadrad_cache_mbytes=5", "-s", "--no-remove"});
    auto o = parseStartupOptions(a.argc(), a.ptrs.data());
    EXPECT_FALSE(o.fork);
    EXPECT_TRUE(o.stopRequest);
    EXPECT_TRUE(o.statusRequest);
    EXPECT_FALSE(o.removeJobFiles);
    Argv last({"xadrad", "-n", "-a"});
    EXPECT_EQ(message([&] { parseStartupOptions(last.argc(), last.ptrs.data()); }),
              "No application name for option -a given.");
    Argv bad({"xadrad", "--", "-x"});
    EXPECT_EQ(message([&] { parseStartupOptions(bad.argc(), bad.ptrs.data()); }), "Unknown option -x specified.");
    Argv glued({"xadrad", "-nx"});
    EXPECT_EQ(message([&] { parseStartupOptions(glued.argc(), glued.ptrs.data()); }), "Unknown option -nx specified.");
}

TEST(LoadFactor, SumsBogomipsAndRefusesMissingValues) {
    std::string two = tempFile("processor\t: 0\nbogomips\t: 4800.00\n\nprocessor\t: 1\nbogomips\t: 4800.00\n");
    EXPECT_EQ(computeLoadFactor(two), 171);
    std::string none = tempFile("processor\t: 0\nmodel name\t: x\n");
    EXPECT_EQ(message([&] { computeLoadFactor(none); }), "Could not find bogomips in " + none);
    std::string tiny = tempFile("bogomips\t: 55.9\n");
    EXPECT_THROW(computeLoadFactor(tiny), Plume::Exception);
    unlink(two.c_str());
    unlink(none.c_str());
    unlink(tiny.c_str());
    EXPECT_GE(computeLoadFactor(), 1);  // this machine's /proc/cpuinfo
    EXPECT_THROW(computeLoadFactor("/nonexistent/cpuinfo"), Plume::CException);
}

TEST(DaemonState, NotYetRunningPrintsTheVersionOnly) {
    MyDaemonStateful s;
    std::ostringstream out;
    s.printState(out);
    EXPECT_EQ(out.str(), "xadrad 5.0.1-1 (2013-09-04 14:19:29+0000)\n");
    s.setRunning(true);
    std::ostringstream full;
    s.printState(full);
    EXPECT_NE(full.str().find("***** Latest job information"), std::string::npos);
    EXPECT_NE(full.str().find("***** Cache statistics"), std::string::npos);
}

TEST(Settings, ValidationOfConfiguredValues) {
    EXPECT_EQ(message([] { Settings::setThinAlpha(2); }), "Thin alpha 2 does not lie in the interval [0.001,1.0].");
    Settings::setThinAlpha(0.001);
    Settings::setThinAlpha(1.0);
    EXPECT_EQ(Settings::getThinAlpha(), 1.0);
    Settings::setThinAlpha(0.5);
    EXPECT_EQ(message([] { Settings::setPdfMaxInchSize(99.5); }), "xadrad_pdf_max_inch_size is smaller than 100.0");
    Settings::setPdfMaxInchSize(100);
    EXPECT_EQ(message([] { Settings::setSeekSize(1000); }), "Dimension 1000 is not a power of 2.");
    EXPECT_EQ(message([] { Settings::setSeekSize(1); }), "Dimension 1 is less than 2.");
    Settings::setSeekSize(1024);
    Settings::setLabelSize(0);
    EXPECT_EQ(Settings::getLabelSize(), 512u);
    EXPECT_EQ(message([] { Settings::setLabelSize(1024); }), "label_render_size is greater than render_size.");
}
