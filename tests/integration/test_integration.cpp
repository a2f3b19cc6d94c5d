// The remote interface between two real processes: this test is the client,
// xadra-test-server the server.

#include "ServerProcess.h"
#include "TestRenderer.h"

#include "plume/Remoting.h"
#include "xadracommon/RendererClient.h"
#include "plume/System.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace Plume;
using namespace xad::preview::api;

namespace {

using xadtest::ServerProcess;
using xadtest::spawn;
const std::string kServer = xadtest::kTestServer;

// A client of the test server.
struct Client {
    RendererClient renderer;
    explicit Client(int port) : renderer("tcp://127.0.0.1:" + std::to_string(port)) {}
};

// Counts the remote reads of a local stream.
class CountingStream : public IMimeInputStream {
public:
    explicit CountingStream(ObjPtr<IMimeInputStream> inner) : inner_(std::move(inner)) {}
    std::atomic<int> reads{0};
    std::atomic<int> closes{0};
    void close() override {
        ++closes;
        inner_->close();
    }
    double getTimestamp() override { return inner_->getTimestamp(); }
    int64_t getStreamSize() override { return inner_->getStreamSize(); }
    ObjPtr<String> getMimeType() override { return inner_->getMimeType(); }
    ObjPtr<String> getPrettyName() override { return inner_->getPrettyName(); }
    ObjPtr<String> getUniqueName() override { return inner_->getUniqueName(); }
    ObjPtr<ByteArray> readBlock(int32_t n) override {
        ++reads;
        return inner_->readBlock(n);
    }

private:
    ObjPtr<IMimeInputStream> inner_;
};

std::string writeRandomFile(const std::string& path, size_t size) {
    std::string data(size, '\0');
    std::mt19937 rng(1234);
    for (auto& c : data) c = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    return data;
}

ObjPtr<String> str(const char* s) { return String::newInstance(s); }

template <class E>
ObjPtr<E> remoteFailure(IHPGLRenderer& r, const char* stamp, std::string* message = nullptr) {
    try {
        r.renderPngByResolution(nullptr, 72, true, 0, str(stamp), nullptr);
    } catch (const ThrowableException& e) {
        if (message) *message = e.getThrowable() ? e.getThrowable()->getDetailMessage() : "";
        return objCast<E>(e.getThrowable());
    }
    return nullptr;
}

}  // namespace

class Integration : public ::testing::Test {
protected:
    ServerProcess server;
    void TearDown() override { EXPECT_EQ(server.stop(), 0) << "the server did not shut down cleanly"; }
};

TEST_F(Integration, TenMegabyteFileByReferenceComesBackIntact) {
    ASSERT_GT(server.port(), 0);
    std::string path = server.dir() + "/input.plt";
    std::string data = writeRandomFile(path, 10 * 1024 * 1024);
    Client c(server.port());
    auto in = makeObj<CountingStream>(preview::FileMimeInputStream::newInstance("u1", "input.plt", path, "image/hpgl"));
    auto result = c.renderer->renderPngByResolution(in, 150, true, 0, nullptr, nullptr);
    ASSERT_TRUE(result);
    EXPECT_FALSE(objCast<preview::FileMimeInputStream>(result)) << "a file stream must cross by reference";
    EXPECT_EQ(result->getStreamSize(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(result->getUniqueName()->str(), "u1.out");
    EXPECT_EQ(result->getMimeType()->str(), "image/png");
    int calls = 0;
    std::string back = xadtest::readAll(*result, 4096, &calls);
    EXPECT_TRUE(back == data) << "result differs from the input";
    EXPECT_GE(in->reads.load(), static_cast<int>(data.size() / 65536));
    result->close();
    result.reset();
    // The server dropped its proxy of our input when the call ended: we closed it.
    for (int i = 0; i < 300 && in->closes.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(in->closes.load(), 1);
}

TEST_F(Integration, ByteArrayStreamCrossesByValue) {
    Client c(server.port());
    auto in = xad::preview::streams::ByteArrayMimeInputStream::newInstance("hello ", 6, "in.plt", "image/hpgl");
    auto annos = List::newInstance();
    auto a = Annotation::newInstance();
    a->setFdf(xad::preview::streams::ByteArrayMimeInputStream::newInstance("world", 5, "a.fdf", "application/vnd.fdf"));
    a->setColor("#ff0000");
    a->setMode(2);
    annos->add(a);
    auto result = c.renderer->insertAnnotations(in, 0, str(""), annos);
    auto local = objCast<xad::preview::streams::ByteArrayMimeInputStream>(result);
    ASSERT_TRUE(local) << "a byte-array stream must arrive as a local copy";
    EXPECT_EQ(xadtest::readAll(*local), "hello world");
    // The sender's copy is untouched by the receiver's reads.
    EXPECT_EQ(xadtest::readAll(*in), "hello ");
}

TEST_F(Integration, NullArgumentsAndNullResults) {
    Client c(server.port());
    EXPECT_EQ(c.renderer->renderPngByResolution(nullptr, 72, false, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(c.renderer->getBoundingBox(nullptr), nullptr);
    EXPECT_EQ(c.renderer->getPageBoundingBoxes(nullptr), nullptr);
    EXPECT_EQ(c.renderer->seekPattern(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(c.renderer->insertAnnotations(nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(c.renderer->getLoadFactor(), 42);
}

TEST_F(Integration, ValueResultsArriveWithTheirFields) {
    Client c(server.port());
    auto in = xad::preview::streams::ByteArrayMimeInputStream::newInstance(
        ByteArray::newInstance(100000), 1234.5, "x.plt", "image/hpgl");
    auto box = c.renderer->getBoundingBox(in);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->getLlx(), 100000.0);
    EXPECT_EQ(box->getLly(), 3.0);  // two full blocks and the empty end block
    EXPECT_EQ(box->getUry(), 1234.5);
    EXPECT_EQ(box->getAngle(), 90);
    auto pages = c.renderer->getPageBoundingBoxes(in);
    ASSERT_TRUE(pages);
    ASSERT_EQ(pages->getSize(), 2u);
    EXPECT_EQ(objCast<BoundingBoxWithAngle>(pages->get(1))->getUrx(), 200.0);
    auto seek = c.renderer->seekPattern(in, in, 0);
    ASSERT_TRUE(seek);
    ASSERT_TRUE(seek->getParameters());
    ASSERT_EQ(seek->getParameters()->getSize(), 4u);
    auto p = seek->getParameter(3);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->getAngle(), 270);
    EXPECT_EQ(p->getDx(), 1.5);
    EXPECT_EQ(p->getDy(), -2.0);
}

TEST_F(Integration, EveryPreviewExceptionArrivesWithTypeAndMessage) {
    Client c(server.port());
    std::string msg;
    EXPECT_TRUE(remoteFailure<HPGSError>(*c.renderer, "throw:HPGSError", &msg));
    EXPECT_EQ(msg, "HPGSError raised on request");
    EXPECT_TRUE(remoteFailure<IOError>(*c.renderer, "throw:IOError", &msg));
    EXPECT_EQ(msg, "IOError raised on request");
    EXPECT_TRUE(remoteFailure<DRMError>(*c.renderer, "throw:DRMError", &msg));
    EXPECT_EQ(msg, "DRMError raised on request");
    auto base = remoteFailure<PreviewException>(*c.renderer, "throw:PreviewException", &msg);
    ASSERT_TRUE(base);
    EXPECT_STREQ(base->getSerialID(), "xad.preview.api.PreviewException");
    auto t = remoteFailure<Timeout>(*c.renderer, "throw:Timeout", &msg);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->getTimeout(), 60);
    EXPECT_EQ(msg, "Timeout raised on request");
    // An unavailable method is an IOError with its name.
    try {
        c.renderer->renderPngByPixelSize(nullptr, 10, true, 0, nullptr, nullptr);
        FAIL();
    } catch (const ThrowableException& e) {
        ASSERT_TRUE(objCast<IOError>(e.getThrowable()));
        EXPECT_NE(e.getThrowable()->getDetailMessage().find("renderPngByPixelSize"), std::string::npos);
    }
}

TEST_F(Integration, ConcurrentCallsFromEightThreadsOverOnePool) {
    Client c(server.port());
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 4; ++k) {
                std::string payload(1000 + 997 * (t * 4 + k), static_cast<char>('a' + t));
                auto in = xad::preview::streams::ByteArrayMimeInputStream::newInstance(
                    payload.data(), payload.size(), "p", "image/hpgl");
                auto r = c.renderer->renderPngByResolution(in, 72, true, 0, str("sleep:20"), nullptr);
                if (r && xadtest::readAll(*r, 4096) == payload) ++ok;
                if (r) r->close();
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(ok.load(), 32);
}

TEST_F(Integration, ClientKilledMidCallLeavesServerServing) {
    int fd;
    pid_t client = spawn({kServer, "client-sleep", std::to_string(server.port()), "1000"}, &fd);
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(client, SIGKILL);
    waitpid(client, nullptr, 0);
    Client c(server.port());
    EXPECT_EQ(c.renderer->getLoadFactor(), 42);
}

TEST_F(Integration, GarbageOnThePortClosesOnlyThatConnection) {
    Client c(server.port());
    EXPECT_EQ(c.renderer->getLoadFactor(), 42);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(server.port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const char garbage[] = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_GT(send(fd, garbage, sizeof garbage - 1, 0), 0);
    char buf[16];
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_LE(recv(fd, buf, sizeof buf, 0), 0);  // closed, nothing answered
    close(fd);
    EXPECT_EQ(c.renderer->getLoadFactor(), 42);
}
