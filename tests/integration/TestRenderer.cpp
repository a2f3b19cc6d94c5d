#include "TestRenderer.h"

#include "plume/System.h"
#include "plume/Thread.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <unistd.h>

using namespace Plume;
using namespace xad::preview::api;

namespace xadtest {

std::string readAll(IMimeInputStream& s, int32_t blockSize, int* calls) {
    std::string out;
    for (;;) {
        ObjPtr<ByteArray> b = s.readBlock(blockSize);
        if (calls) ++*calls;
        if (!b || b->getSize() == 0) break;
        out.append(reinterpret_cast<const char*>(b->getData()), b->getSize());
    }
    return out;
}

void TestRenderer::unavailable(const char* method) {
    throwPreviewf<IOError>(16, 3, "%s is not available in the test renderer.", method);
}

IHPGLRenderer::BBox TestRenderer::getBoundingBox(const Stream& input) {
    if (!input) return nullptr;
    int calls = 0;
    std::string data = readAll(*input, 65536, &calls);
    auto b = BoundingBoxWithAngle::newInstance();
    b->setLlx(static_cast<double>(data.size()));
    b->setLly(calls);
    b->setUry(input->getTimestamp());
    b->setAngle(90);
    b->setUserUnit(1.0);
    return b;
}

IHPGLRenderer::ListP TestRenderer::getPageBoundingBoxes(const Stream& input) {
    if (!input) return nullptr;
    auto list = List::newInstance(2);
    for (int i = 0; i < 2; ++i) {
        auto b = BoundingBoxWithAngle::newInstance();
        b->setUrx(100.0 * (i + 1));
        b->setUry(50.0 * (i + 1));
        list->add(b);
    }
    return list;
}

ObjPtr<PatternSeekResult> TestRenderer::seekPattern(const Stream& input, const Stream& pattern, int32_t angle) {
    if (!input || !pattern) return nullptr;
    auto r = PatternSeekResult::newInstance();
    auto box = BoundingBoxWithAngle::newInstance();
    box->setUrx(1.0);
    r->setBoundingBox(box);
    auto params = ObjectArray::newInstance(4, PatternParameters::SERIAL_ID);
    for (int i = 0; i < 4; ++i) {
        auto p = PatternParameters::newInstance();
        p->setAngle(90 * i);
        p->setDx(1.5 + angle);
        p->setDy(-2);
        params->set(static_cast<size_t>(i), p);
    }
    r->setParameters(params);
    return r;
}

IHPGLRenderer::Stream TestRenderer::insertAnnotations(const Stream& input, int32_t, const StringP&,
                                                     const ListP& annotations) {
    if (!input) return nullptr;
    std::string data = readAll(*input);
    for (size_t i = 0; annotations && i < annotations->getSize(); ++i) {
        auto a = objCast<Annotation>(annotations->get(i));
        if (a && a->getFdf()) data += readAll(*a->getFdf());
    }
    return xad::preview::streams::ByteArrayMimeInputStream::newInstance(data.data(), data.size(), "annotated",
                                                                  "application/octet-stream");
}

namespace {
IHPGLRenderer::Stream bytesStream(const std::string& data, const char* mime) {
    return xad::preview::streams::ByteArrayMimeInputStream::newInstance(data.data(), data.size(), "result", mime);
}
}  // namespace

IHPGLRenderer::Stream TestRenderer::renderPdf(const Stream& input, const ListP& properties, int32_t, const StringP&,
                                             const ListP& annotations) {
    if (!input) return nullptr;
    std::string out = "PDF";
    for (size_t i = 0; properties && i < properties->getSize(); ++i) {
        auto p = objCast<PDFProperty>(properties->get(i));
        if (p && p->getType()) out += "|" + p->getType()->toString() + "=" + String::toText(p->getValue().get());
    }
    for (size_t i = 0; annotations && i < annotations->getSize(); ++i) {
        auto a = objCast<Annotation>(annotations->get(i));
        if (!a) continue;
        out += "|" + String::toText(a->getTitle().get()) + "," + String::toText(a->getColor().get()) + "," +
               std::to_string(a->getMode()) + "," + String::toText(a->getOwner().get()) + ":";
        if (a->getFdf()) out += readAll(*a->getFdf());
    }
    out += "|" + readAll(*input);
    return bytesStream(out, "application/pdf");
}

IHPGLRenderer::Stream TestRenderer::comparePngByResolution(const Stream& input1, int32_t angle1, const Stream& input2,
                                                          int32_t angle2, double, bool) {
    if (!input1 || !input2) return nullptr;
    std::string out = "CMP " + std::to_string(angle1) + " " + std::to_string(angle2) + "|" + readAll(*input1) + "|" +
                      readAll(*input2);
    return bytesStream(out, "image/png");
}

IHPGLRenderer::Stream TestRenderer::renderPngByResolution(const Stream& input, double, bool, int32_t,
                                                         const StringP& stamp, const ListP&) {
    std::string s = stamp ? stamp->str() : std::string();
    if (s.rfind("sleep:", 0) == 0) Thread::msleep(std::stol(s.substr(6)));
    if (s == "throw:HPGSError") throwPreview(makeObj<HPGSError>("HPGSError raised on request"));
    if (s == "throw:IOError") throwPreview(makeObj<IOError>("IOError raised on request"));
    if (s == "throw:DRMError") throwPreview(makeObj<DRMError>("DRMError raised on request"));
    if (s == "throw:PreviewException") throwPreview(makeObj<PreviewException>("PreviewException raised on request"));
    if (s == "throw:Timeout") throwPreview(makeObj<Timeout>("Timeout raised on request", 60));
    if (s.rfind("timeouts:", 0) == 0) {
        // The first n requests with this stamp time out at once.
        static std::mutex m;
        static std::map<std::string, long> answered;
        std::lock_guard<std::mutex> lock(m);
        if (answered[s]++ < std::stol(s.substr(9))) throwPreview(makeObj<Timeout>("Timeout raised on request", 3));
    }
    if (s == "null" || !input) return nullptr;
    static std::atomic<unsigned> counter{0};
    std::string path = scratch_ + "/result_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    {
        std::string data = readAll(*input);
        std::ofstream out(path, std::ios::binary);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    auto result = preview::FileMimeInputStream::newInstance(input->getUniqueName()->str() + ".out", "result",
                                                           path, "image/png");
    ::unlink(path.c_str());  // the open descriptor keeps the data readable
    return result;
}

}  // namespace xadtest
