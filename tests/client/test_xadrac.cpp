#include "client/Xadrac.h"

#include "ServerProcess.h"
#include "plume/Exception.h"
#include "xadracommon/PreviewApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

using namespace Plume;
using namespace xad::preview::api;

namespace {

const std::string kClient = std::string(XAD_BIN_DIR) + "/xadrac";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

struct Args {
    std::vector<std::string> store;
    std::vector<char*> ptrs;
    explicit Args(std::initializer_list<std::string> a) : store(a) {
        for (auto& s : store) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(store.size()); }
};

// Runs xadrac with the arguments; returns its standard output and error.
std::string runClient(const std::vector<std::string>& args, std::string* err = nullptr, int* status = nullptr) {
    char errPath[] = "/tmp/xadracerrXXXXXX";
    int efd = mkstemp(errPath);
    int outFd;
    std::vector<std::string> all = {kClient};
    all.insert(all.end(), args.begin(), args.end());
    int saved = dup(2);
    dup2(efd, 2);
    pid_t pid = xadtest::spawn(all, &outFd);
    dup2(saved, 2);
    close(saved);
    std::string out;
    char buf[4096];
    for (ssize_t r; (r = read(outFd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(r));
    close(outFd);
    int ws = 0;
    waitpid(pid, &ws, 0);
    if (status) *status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    close(efd);
    if (err) *err = readFile(errPath);
    unlink(errPath);
    return out;
}

}  // namespace

TEST(XadracNames, OutputNamesAndMimeTypes) {
    EXPECT_EQ(Xadra::outputName("drawing.plt", true), "drawing.pdf");
    EXPECT_EQ(Xadra::outputName("drawing.plt", false), "drawing.png");
    EXPECT_EQ(Xadra::outputName("a.pl", false), "a.pl");
    EXPECT_EQ(Xadra::mimeTypeFor("x.pdf"), "application/pdf");
    EXPECT_EQ(Xadra::mimeTypeFor(".pdf"), "image/hpgl");
    EXPECT_EQ(Xadra::mimeTypeFor("x.PDF"), "image/hpgl");
}

TEST(XadracOptions, ValuesAndErrors) {
    Args a({"xadrac", "-h", "server:4000", "-sHello", "-ademo", "--log-x=1"});
    auto st = Xadra::parseClientOptions(a.argc(), a.ptrs.data());
    EXPECT_EQ(st.host, "server:4000");
    EXPECT_EQ(st.stamp, "Hello");
    Args b({"xadrac", "-h"});
    try {
        Xadra::parseClientOptions(b.argc(), b.ptrs.data());
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "No host name for option -h given.");
        EXPECT_EQ(e.getCategory(), 32u);
    }
    Args c({"xadrac", "-x"});
    try {
        Xadra::parseClientOptions(c.argc(), c.ptrs.data());
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Unknown option -x specified.");
    }
    Args d({"xadrac", "-c", "/nonexistent/dir"});
    try {
        Xadra::parseClientOptions(d.argc(), d.ptrs.data());
        FAIL();
    } catch (const CException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Error changing CWD to [/nonexistent/dir].", 0), 0u) << e.what();
    }
    Args s({"xadrac", "-s"});
    EXPECT_THROW(Xadra::parseClientOptions(s.argc(), s.ptrs.data()), Exception);
    Args st2({"xadrac"});
    EXPECT_EQ(Xadra::parseClientOptions(st2.argc(), st2.ptrs.data()).stamp, "");
}

TEST(XadracAnnotations, ColoursModesTitlesAndMissingFiles) {
    char d[] = "/tmp/xadracannoXXXXXX";
    std::string dir = mkdtemp(d);
    for (int i = 0; i < 4; ++i) writeFile(dir + "/" + std::to_string(i) + ".fdf", "fdf" + std::to_string(i));
    std::string word = "png," + dir + "/0.fdf," + dir + "/1.fdf," + dir + "/2.fdf," + dir + "/3.fdf";
    auto list = Xadra::buildAnnotations(word);
    ASSERT_EQ(list->getSize(), 4u);
    const char* colours[] = {"#ff0000", "#00ff00", "#0000ff", "#ff0000"};
    for (int i = 0; i < 4; ++i) {
        auto a = objCast<Annotation>(list->get(static_cast<size_t>(i)));
        ASSERT_TRUE(a);
        EXPECT_EQ(a->getColor()->str(), colours[i]);
        EXPECT_EQ(a->getMode(), i == 0 ? 1 : 0);
        EXPECT_EQ(a->getTitle()->str(), "xadrac " + std::to_string(i));
        EXPECT_EQ(a->getOwner()->str(), "xadrac");
        EXPECT_EQ(a->getFdf()->getMimeType()->str(), "application/vnd.fdf");
        EXPECT_EQ(a->getFdf()->getStreamSize(), 4);
    }
    EXPECT_EQ(Xadra::buildAnnotations("png")->getSize(), 0u);
    try {
        Xadra::buildAnnotations("png,");
        FAIL();
    } catch (const CException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Unable to stat file ", 0), 0u) << e.what();
    }
    std::system(("rm -rf " + dir).c_str());
}

class XadracEndToEnd : public ::testing::Test {
protected:
    xadtest::ServerProcess server;
    std::string dir;
    void SetUp() override {
        ASSERT_GT(server.port(), 0);
        dir = server.dir() + "/work";
        mkdir(dir.c_str(), 0755);
        writeFile(dir + "/drawing.plt", "IN;PA0,0;PD100,100;");
        writeFile(dir + "/a.fdf", "AAA");
        writeFile(dir + "/b.fdf", "BBB");
    }
    std::string run(const std::string& lines, std::string* err = nullptr, std::vector<std::string> extra = {}) {
        writeFile(dir + "/requests", lines);
        std::vector<std::string> args = {"-h", "127.0.0.1:" + std::to_string(server.port()), "-c", dir, "-i",
                                         "requests"};
        args.insert(args.end(), extra.begin(), extra.end());
        int status = -1;
        std::string out = runClient(args, err, &status);
        EXPECT_EQ(status, 0);
        return out;
    }
};

TEST_F(XadracEndToEnd, PdfAndPngWithAnnotations) {
    std::string err;
    run("drawing.plt 0 pdf\n", &err);
    EXPECT_EQ(readFile(dir + "/drawing.pdf"), "PDF|AUTHOR=xadrac|IN;PA0,0;PD100,100;");
    EXPECT_NE(err.find("File drawing.pdf successfully written."), std::string::npos) << err;
    run("drawing.plt 90 png,a.fdf,b.fdf\n", &err, {"-sMine"});
    // The test renderer echoes the input for PNG requests.
    EXPECT_EQ(readFile(dir + "/drawing.png"), "IN;PA0,0;PD100,100;");
    run("drawing.plt 0 pdf,a.fdf,b.fdf\n");
    EXPECT_EQ(readFile(dir + "/drawing.pdf"),
              "PDF|AUTHOR=xadrac|xadrac 0,#ff0000,1,xadrac:AAA|xadrac 1,#00ff00,0,xadrac:BBB|IN;PA0,0;PD100,100;");
    run("drawing.plt 0 pdfa\n");
    std::string pdfa = readFile(dir + "/drawing.pdf");
    EXPECT_NE(pdfa.find("|OPEN_SCRIPT=function postAnnotations()"), std::string::npos);
    EXPECT_NE(pdfa.find("|SUBMIT_MSG=Test activation by xadrac."), std::string::npos);
}

TEST_F(XadracEndToEnd, CompareBoundingBoxAndPatternSeek) {
    run("drawing.plt 0 cmp\n");
    EXPECT_EQ(readFile(dir + "/drawing.png"), "CMP 0 180|IN;PA0,0;PD100,100;|IN;PA0,0;PD100,100;");
    std::string out = run("drawing.plt 0 bbox\n");
    // Five lines: llx (bytes read), lly (blocks read), urx, ury (the input's mtime), angle.
    EXPECT_EQ(out.rfind("llx = 19.\nlly = 2.\nurx = 0.\nury = ", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;
    EXPECT_NE(out.find(".\nangle = 90.\n"), std::string::npos) << out;
    out = run("drawing.plt 0 a.fdf\n");
    EXPECT_EQ(out.rfind("angle = 0.\nllx = 0.\nlly = 0.\nurx = 1.\nury = 0.\n", 0), 0u) << out;
    EXPECT_NE(out.find("dx[270] = 1.5.\ndy[270] = -2.\ncorrelation[270] = 0.\n"), std::string::npos) << out;
}

TEST_F(XadracEndToEnd, TwoFieldLineEndsAndInputIsNeverOverwritten) {
    writeFile(dir + "/keep.pdf", "%PDF-original");
    std::string err;
    run("keep.pdf 0 pdf\ndrawing.plt 0\ndrawing.plt 0 pdf\n", &err);
    EXPECT_EQ(readFile(dir + "/keep.pdf"), "%PDF-original");
    EXPECT_NE(err.find("would replace the input file"), std::string::npos) << err;
    EXPECT_EQ(access((dir + "/drawing.pdf").c_str(), F_OK), -1) << "the line after the two-field line ran";
}

TEST(XadracUnreachable, ReportsInsteadOfHanging) {
    int port;
    {
        auto d = Sock::Device::newInstance(Sock::Address::newInstance("127.0.0.1:0"));
        d->bind();
        port = d->getBoundPort();
    }
    char p[] = "/tmp/xadracreqXXXXXX";
    int fd = mkstemp(p);
    const char line[] = "/etc/hostname 0 png\n";
    ASSERT_EQ(write(fd, line, sizeof line - 1), static_cast<ssize_t>(sizeof line - 1));
    close(fd);
    std::string err;
    int status = -1;
    runClient({"-h", "127.0.0.1:" + std::to_string(port), "-i", p}, &err, &status);
    unlink(p);
    EXPECT_EQ(status, 0);
    EXPECT_NE(err.find("Cannot connect to 127.0.0.1:" + std::to_string(port)), std::string::npos) << err;
}

// A daemon that answers Timeout at once (all workers busy) is asked again
// after a short pause (6 to 18 ms while the request has waited up to
// 0.6 s), not in a tight loop and not after seconds; the request then gets
// through.
TEST_F(XadracEndToEnd, QuickTimeoutsAreRetriedAfterShortPauses) {
    std::string err;
    const auto t0 = std::chrono::steady_clock::now();
    run("drawing.plt 0 png\n", &err, {"-stimeouts:4"});
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    size_t retries = 0;
    for (size_t p = err.find("Caught preview::Timeout: 3."); p != std::string::npos;
         p = err.find("Caught preview::Timeout: 3.", p + 1))
        ++retries;
    EXPECT_EQ(retries, 4u) << err;
    EXPECT_NE(err.find("File drawing.png successfully written."), std::string::npos) << err;
    // Four pauses of at least 6 ms each; well below a second in all.
    EXPECT_GE(ms, 24) << err;
    EXPECT_LT(ms, 1000) << err;
}
