// Remote call costs over loopback TCP: a null call's round trip and the
// throughput of 64 KiB blocks read through a stream proxy.

#include "plume/Remoting.h"
#include "xadracommon/PreviewApi.h"

#include <benchmark/benchmark.h>

#include <cstring>

using namespace Plume;
using namespace xad::preview::api;

namespace {

// A renderer whose only real method is getLoadFactor; renderPngByResolution
// returns an endless in-memory stream that the client reads through a proxy.
class NullRenderer : public IHPGLRenderer {
public:
    int32_t getLoadFactor() override { return 1; }
    BBox getBoundingBox(const Stream&) override { return nullptr; }
    ListP getPageBoundingBoxes(const Stream&) override { return nullptr; }
    ObjPtr<PatternSeekResult> seekPattern(const Stream&, const Stream&, int32_t) override { return nullptr; }
    Stream insertAnnotations(const Stream&, int32_t, const StringP&, const ListP&) override { return nullptr; }
    Stream mergeWithAnnotations(const Stream&, int32_t, const Stream&, int32_t, const ListP&, const StringP&) override {
        return nullptr;
    }
    Stream mergePdfWithAnnotations(const Stream&, int32_t, const Stream&, int32_t, const ListP&, const StringP&,
                                   const ListP&) override {
        return nullptr;
    }
    Stream comparePngByResolution(const Stream&, int32_t, const Stream&, int32_t, double, bool) override { return nullptr; }
    Stream comparePngByPixelSize(const Stream&, int32_t, const Stream&, int32_t, int32_t, bool) override { return nullptr; }
    Stream comparePngTileByResolution(const Stream&, const BBox&, const Stream&, const BBox&, double, bool, int32_t,
                                      int32_t) override {
        return nullptr;
    }
    Stream renderPngByResolution(const Stream&, double, bool, int32_t, const StringP&, const ListP&) override;
    Stream renderPngPageByResolution(const Stream&, int32_t, double, bool, int32_t, const StringP&, const ListP&) override {
        return nullptr;
    }
    Stream renderPngByPixelSize(const Stream&, int32_t, bool, int32_t, const StringP&, const ListP&) override { return nullptr; }
    Stream renderPngTileByResolution(const Stream&, double, bool, const BBox&, const StringP&, const ListP&) override {
        return nullptr;
    }
    Stream renderPdf(const Stream&, const ListP&, int32_t, const StringP&, const ListP&) override { return nullptr; }
};

// Never ends: every block is full.
class EndlessStream : public IMimeInputStream {
public:
    void close() override {}
    double getTimestamp() override { return 0; }
    int64_t getStreamSize() override { return INT64_MAX; }
    ObjPtr<String> getMimeType() override { return String::newInstance("application/octet-stream"); }
    ObjPtr<String> getPrettyName() override { return String::newInstance("endless"); }
    ObjPtr<String> getUniqueName() override { return String::newInstance("endless"); }
    ObjPtr<ByteArray> readBlock(int32_t n) override {
        auto b = ByteArray::newInstance(static_cast<size_t>(n > 65536 ? 65536 : (n < 0 ? 1024 : n)));
        std::memset(b->getData(), 0x5a, b->getSize());
        return b;
    }
};

IHPGLRenderer::Stream NullRenderer::renderPngByResolution(const Stream&, double, bool, int32_t, const StringP&,
                                                          const ListP&) {
    return makeObj<EndlessStream>();
}

struct Setup {
    ObjPtr<ThreadPool> pool = ThreadPool::newInstance(2, 10, 0, 30000);
    ObjPtr<Sock::Server> server;
    ObjPtr<Thread> thread;
    ObjPtr<RemotingClientPool> clientPool;
    ObjPtr<IHPGLRenderer> renderer;
    Setup() {
        auto factory = SerializableFactory::newInstance();
        registerTypes(*factory);
        auto beans = BeanInvocationHandlerFactory::newInstance();
        registerInterfaces(*beans);
        auto handlers = RemotingConnectionHandlerFactory::newInstance(factory);
        handlers->setInterfaces(beans);
        handlers->bind("hpgsRenderer",
                       beans->newHandler(IHPGLRenderer__reflection_target::create(makeObj<NullRenderer>())));
        auto device = Sock::Device::newInstance(Sock::Address::newInstance("127.0.0.1:0"));
        device->bind();
        device->listen(16);
        server = Sock::Server::newInstance(handlers, pool);
        server->addDevice(device);
        thread = Thread::newInstance(server);
        pool->start();
        thread->start();
        auto cf = SerializableFactory::newInstance();
        registerTypes(*cf);
        clientPool = RemotingClientPool::newInstance(1, 4, 60000, 3000,
                                                     "tcp://127.0.0.1:" + std::to_string(device->getBoundPort()),
                                                     Sock::DeviceFactory::newInstance(), cf);
        auto importer = BeanImporter::newInstance(clientPool);
        registerInterfaces(importer->getRegistry());
        renderer = objCast<IHPGLRenderer>(importer->importObject("hpgsRenderer", IHPGLRenderer::INTERFACE_NAME));
    }
    ~Setup() {
        renderer.reset();
        clientPool->shutdown();
        thread->kill(15);
        thread->join();
        pool->stop();
    }
};

void BM_NullCallRoundTrip(benchmark::State& state) {
    Setup s;
    for (auto _ : state) benchmark::DoNotOptimize(s.renderer->getLoadFactor());
}
BENCHMARK(BM_NullCallRoundTrip)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ReadBlock64KiBThroughProxy(benchmark::State& state) {
    Setup s;
    auto stream = s.renderer->renderPngByResolution(nullptr, 72, true, 0, nullptr, nullptr);
    for (auto _ : state) {
        auto b = stream->readBlock(65536);
        benchmark::DoNotOptimize(b->getData());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 65536);
}
BENCHMARK(BM_ReadBlock64KiBThroughProxy)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
