// The remote-interface types over a real framework connection inside one
// process: values and errors cross by value with their fields, streams cross
// by value (byte array) or by reference (file).
#include "TestSupport.h"
#include "xadracommon/PreviewApi.h"
#include "plume/Remoting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <unistd.h>

namespace {

using namespace xad::preview::api;
using xad::preview::streams::ByteArrayMimeInputStream;
using preview::FileMimeInputStream;
using namespace Plume;

std::string readAll(IMimeInputStream& s, int32_t block) {
    std::string out;
    for (;;) {
        auto b = s.readBlock(block);
        if (!b || b->getSize() == 0) return out;
        out.append(reinterpret_cast<const char*>(b->getData()), b->getSize());
    }
}

// A renderer whose getBoundingBox reads its input to the end through the
// caller's stream and reports the byte count as the angle, and whose
// renderPdf returns a file stream over resultPath.
class EchoRenderer : public IHPGLRenderer {
public:
    std::string resultPath;
    std::string lastInput;
    int32_t getLoadFactor() override { return 7; }
    BBox getBoundingBox(const Stream& input) override {
        if (!input) throwPreview(makeObj<IOError>("no input"));
        lastInput = readAll(*input, 4096);
        auto b = BoundingBoxWithAngle::newInstance();
        b->setAngle(static_cast<int32_t>(lastInput.size()));
        b->setUserUnit(input->getTimestamp());
        return b;
    }
    ListP getPageBoundingBoxes(const Stream&) override { return nullptr; }
    ObjPtr<PatternSeekResult> seekPattern(const Stream&, const Stream&, int32_t angle) override {
        auto t = makeObj<Timeout>("seek took too long", angle);
        throwPreview(t);
    }
    Stream insertAnnotations(const Stream&, int32_t, const StringP&, const ListP&) override { return nullptr; }
    Stream mergeWithAnnotations(const Stream&, int32_t, const Stream&, int32_t, const ListP&, const StringP&) override {
        return nullptr;
    }
    Stream mergePdfWithAnnotations(const Stream&, int32_t, const Stream&, int32_t, const ListP&, const StringP&,
                                   const ListP&) override {
        return nullptr;
    }
    Stream comparePngByResolution(const Stream&, int32_t, const Stream&, int32_t, double, bool) override {
        return nullptr;
    }
    Stream comparePngByPixelSize(const Stream&, int32_t, const Stream&, int32_t, int32_t, bool) override {
        return nullptr;
    }
    Stream comparePngTileByResolution(const Stream&, const BBox&, const Stream&, const BBox&, double, bool, int32_t,
                                      int32_t) override {
        return nullptr;
    }
    Stream renderPngByResolution(const Stream& input, double, bool, int32_t, const StringP&, const ListP&) override {
        return input;  // hands the caller's own stream back
    }
    Stream renderPngPageByResolution(const Stream&, int32_t, double, bool, int32_t, const StringP&,
                                     const ListP&) override {
        return nullptr;
    }
    Stream renderPngByPixelSize(const Stream&, int32_t, bool, int32_t, const StringP&, const ListP&) override {
        return nullptr;
    }
    Stream renderPngTileByResolution(const Stream&, double, bool, const BBox&, const StringP&, const ListP&) override {
        return nullptr;
    }
    Stream renderPdf(const Stream&, const ListP& properties, int32_t, const StringP&, const ListP&) override {
        if (properties && properties->getSize() == 1) {
            auto p = objCast<PDFProperty>(properties->get(0));
            if (!p || p->getType().get() != PDFPropertyType::valueOf(PDFPropertyType::SUBJECT).get())
                throwPreview(makeObj<HPGSError>("property did not arrive as the shared constant"));
        }
        return FileMimeInputStream::newInstance("result", "result.pdf", resultPath, "application/pdf");
    }
};

struct ApiWire : ::testing::Test {
    xadtest::QuietLog quiet;
    ObjPtr<EchoRenderer> renderer = makeObj<EchoRenderer>();
    ObjPtr<SerializableFactory> serverTypes = SerializableFactory::newInstance();
    ObjPtr<BeanInvocationHandlerFactory> beans = BeanInvocationHandlerFactory::newInstance();
    ObjPtr<RemotingConnectionHandlerFactory> handlers;
    ObjPtr<ThreadPool> serverPool = ThreadPool::newInstance(2, 10, 0, 30000);
    ObjPtr<Sock::Server> server;
    ObjPtr<Thread> serverThread;
    ObjPtr<SerializableFactory> clientTypes = SerializableFactory::newInstance();
    ObjPtr<RemotingClientPool> clientPool;
    ObjPtr<BeanImporter> importer;
    ObjPtr<IHPGLRenderer> proxy;
    std::string dir;

    void SetUp() override {
        char tmpl[] = "/tmp/xadwireXXXXXX";
        dir = mkdtemp(tmpl);
        registerTypes(*serverTypes);
        registerInterfaces(*beans);
        handlers = RemotingConnectionHandlerFactory::newInstance(serverTypes);
        handlers->setInterfaces(beans);
        handlers->bind("hpgsRenderer", beans->newHandler(IHPGLRenderer__reflection_target::create(renderer)));
        handlers->bind("return", RemotingConnectionHandlerFactory::newReturnHandler());
        auto device = Sock::Device::newInstance(Sock::Address::newInstance("127.0.0.1:0"));
        device->bind();
        device->listen(16);
        int port = device->getBoundPort();
        server = Sock::Server::newInstance(handlers, serverPool);
        server->addDevice(device);
        serverThread = Thread::newInstance(server);
        serverPool->start();
        serverThread->start();

        registerTypes(*clientTypes);
        clientPool = RemotingClientPool::newInstance(1, 4, 60000, 3000, "tcp://127.0.0.1:" + std::to_string(port),
                                                     Sock::DeviceFactory::newInstance(), clientTypes);
        importer = BeanImporter::newInstance(clientPool);
        registerInterfaces(*importer);
        proxy = objCast<IHPGLRenderer>(importer->importObject("hpgsRenderer", IHPGLRenderer::INTERFACE_NAME));
        ASSERT_TRUE(proxy);
    }
    void TearDown() override {
        proxy.reset();
        clientPool->shutdown();
        serverThread->kill(15);
        serverThread->join();
        serverPool->stop();
        for (const char* f : {"/in.plt", "/out.pdf"}) ::unlink((dir + f).c_str());
        ::rmdir(dir.c_str());
    }
    std::string writeFile(const char* name, const std::string& content) {
        std::string p = dir + name;
        FILE* f = std::fopen(p.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        return p;
    }
    ObjPtr<Object> echo(const ObjPtr<Object>& v) {
        auto a = ObjectArray::newInstance(1);
        a->set(0, v);
        return clientPool->acquire()->callNamed("return", "echo", a);
    }
};

TEST_F(ApiWire, ValuesCrossWithTheirFields) {
    auto t = objCast<Timeout>(echo(makeObj<Timeout>("no worker free", 60)));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->getTimeout(), 60);
    EXPECT_EQ(t->getDetailMessage(), "no worker free");

    auto r = PatternSeekResult::newInstance();
    auto bb = BoundingBoxWithAngle::newInstance();
    bb->setUry(12.25);
    r->setBoundingBox(bb);
    auto arr = PatternSeekResult::newParametersArray(4);
    for (int k = 0; k < 4; ++k) {
        auto p = PatternParameters::newInstance();
        p->setAngle(90 * k);
        p->setDy(-2);
        arr->set(k, p);
    }
    r->setParameters(arr);
    auto r2 = objCast<PatternSeekResult>(echo(r));
    ASSERT_TRUE(r2);
    EXPECT_NE(r2.get(), r.get());
    EXPECT_EQ(r2->getBoundingBox()->getUry(), 12.25);
    ASSERT_TRUE(r2->getParameters());
    EXPECT_EQ(r2->getParameters()->getComponentType(), "xad.preview.api.PatternParameters");
    EXPECT_EQ(r2->getParameter(2)->getAngle(), 180);
    EXPECT_EQ(r2->getParameter(3)->getDy(), -2);

    auto prop = objCast<PDFProperty>(echo(PDFProperty::newInstance(PDFPropertyType::valueOf("WP_SCRIPT"), "go()")));
    ASSERT_TRUE(prop);
    EXPECT_EQ(prop->getType().get(), PDFPropertyType::valueOf(12).get());
    EXPECT_EQ(prop->getValue()->str(), "go()");

    for (ObjPtr<PreviewException> e : {ObjPtr<PreviewException>(makeObj<DRMError>("d")),
                                       ObjPtr<PreviewException>(makeObj<HPGSError>("h")),
                                       ObjPtr<PreviewException>(makeObj<IOError>("i"))}) {
        auto back = objCast<PreviewException>(echo(e));
        ASSERT_TRUE(back);
        EXPECT_STREQ(back->getSerialID(), e->getSerialID());
        EXPECT_EQ(back->getDetailMessage(), e->getDetailMessage());
    }
}

TEST_F(ApiWire, ByteArrayStreamCrossesByValueFromTheStart) {
    auto s = ByteArrayMimeInputStream::newInstance("%FDF-1.2 body", 13, "a.fdf", "application/vnd.fdf");
    s->readBlock(5);
    auto copy = objCast<ByteArrayMimeInputStream>(echo(s));
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.get(), s.get());
    EXPECT_EQ(readAll(*copy, 4), "%FDF-1.2 body");
    EXPECT_EQ(copy->getUniqueName()->str(), s->getUniqueName()->str());
    EXPECT_EQ(copy->getMimeType()->str(), "application/vnd.fdf");
}

TEST_F(ApiWire, FileStreamIsReadByReferenceDuringTheCall) {
    std::string content(300000, 'h');
    for (size_t i = 0; i < content.size(); i += 7) content[i] = char('0' + i % 10);
    auto in = FileMimeInputStream::newInstance("in-1", "in.plt", writeFile("/in.plt", content), "image/hpgl");
    double stamp = in->getTimestamp();  // the release after the call may close the stream
    EXPECT_EQ(proxy->getLoadFactor(), 7);
    auto bb = proxy->getBoundingBox(in);
    ASSERT_TRUE(bb);
    EXPECT_EQ(bb->getAngle(), 300000);
    EXPECT_EQ(bb->getUserUnit(), stamp);  // a whole-seconds double read remotely
    EXPECT_EQ(renderer->lastInput, content);
    // A stream passed out and handed back is the caller's own object again.
    EXPECT_EQ(proxy->renderPngByResolution(in, 72, false, 0, nullptr, nullptr).get(),
              static_cast<IMimeInputStream*>(in.get()));
}

TEST_F(ApiWire, ResultFileStreamIsReadThroughItsProxy) {
    renderer->resultPath = writeFile("/out.pdf", "%PDF-1.4 result");
    auto props = List::newInstance();
    props->add(PDFProperty::newInstance(PDFPropertyType::valueOf("SUBJECT"), "s"));
    auto out = proxy->renderPdf(nullptr, props, 0, String::newInstance("stamp"), nullptr);
    ASSERT_TRUE(out);
    EXPECT_TRUE(objCast<ReflectionProxy>(out));
    EXPECT_EQ(out->getMimeType()->str(), "application/pdf");
    EXPECT_EQ(out->getStreamSize(), 15);
    EXPECT_EQ(readAll(*out, 4), "%PDF-1.4 result");
    out->close();
    xadtest::expectRemoteError<IOError>([&] { out->readBlock(10); }, 1, 3,
                                        "FileMimeInputStream::read called on closed stream.");
}

TEST_F(ApiWire, ErrorsArriveWithTypeAndFields) {
    try {
        proxy->seekPattern(nullptr, nullptr, 45);
        FAIL() << "no exception";
    } catch (const ThrowableException& e) {
        auto t = objCast<Timeout>(e.getThrowable());
        ASSERT_TRUE(t) << e.what();
        EXPECT_EQ(t->getTimeout(), 45);
        EXPECT_EQ(t->getDetailMessage(), "seek took too long");
        EXPECT_EQ(e.getCategory(), 16u);
        EXPECT_EQ(e.getLevel(), 3);
    }
    xadtest::expectRemoteError<IOError>([&] { proxy->getBoundingBox(nullptr); }, 16, 3, "no input");
    std::string missing = dir + "/missing.plt";
    renderer->resultPath = missing;
    xadtest::expectRemoteError<IOError>([&] { proxy->renderPdf(nullptr, nullptr, 0, nullptr, nullptr); }, 1, 3,
                                        "Error opening file " + missing + ": No such file or directory.");
}

}  // namespace
