#include "Xadrac.h"

#include "plume/ConfigOptions.h"
#include "plume/Remoting.h"
#include "plume/System.h"
#include "xadracommon/LogService.h"
#include "xadracommon/PreviewApi.h"
#include "xadracommon/RendererClient.h"
#include "xadracommon/RetryPause.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace Plume;
using namespace xad::preview::api;

namespace Xadra {

namespace {

const unsigned kCat = CAT_CLIENT;
const int kPort = 3455;
const double kResolution = 72.0;
const int kMaxIoAttempts = 60;
// A Timeout answered within this time did not wait for a job.
const auto kQuickTimeout = std::chrono::seconds(1);

[[noreturn]] void missingValue(const char* option, const char* what) {
    throw Plume::Exception(logService(), kCat, 3,
                           std::string("No ") + what + " for option " + option + " given.");
}

const char* kSubmitScript =
    "function postAnnotations() {\n"
    "  this.submitForm({cURL: \"http://127.0.0.1:8080/post-fdf/#FDF\", cSubmitAs: \"FDF\", bAnnotations: true});\n"
    "}\n"
    "// add a toolbutton\n"
    "app.addToolButton({cName: \"postButton\", cExec: \"postAnnotations()\", cTooltext: \"Kommentare abschicken\", "
    "cEnable: true, nPos: 0});\n";

ObjPtr<PDFProperty> property(int type, const std::string& value) {
    return PDFProperty::newInstance(PDFPropertyType::valueOf(type), value);
}

// Writes a result stream to a file, then closes the stream.
void writeResult(IMimeInputStream& result, const std::string& input, const std::string& name) {
    if (name == input) {
        std::fprintf(stderr, "Not writing the result to %s: it would replace the input file.\n", name.c_str());
        result.close();
        return;
    }
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "Cannot open file %s: %s.\n", name.c_str(), std::strerror(errno));
    } else {
        bool ok = true;
        for (;;) {
            ObjPtr<ByteArray> b = result.readBlock(4096);
            if (!b || b->getSize() == 0) break;
            if (std::fwrite(b->getData(), 1, b->getSize(), f) != b->getSize()) ok = false;
        }
        if (std::fclose(f) != 0) ok = false;
        if (ok) std::fprintf(stderr, "File %s successfully written.\n", name.c_str());
        else std::fprintf(stderr, "Error writing file %s: %s.\n", name.c_str(), std::strerror(errno));
    }
    result.close();
}

void printBox(const BoundingBoxWithAngle& b, bool angleFirst) {
    if (angleFirst) std::printf("angle = %d.\n", b.getAngle());
    std::printf("llx = %lg.\n", b.getLlx());
    std::printf("lly = %lg.\n", b.getLly());
    std::printf("urx = %lg.\n", b.getUrx());
    std::printf("ury = %lg.\n", b.getUry());
    if (!angleFirst) std::printf("angle = %d.\n", b.getAngle());
}

// One request; returns false when the program must end.
void request(IHPGLRenderer& renderer, const ClientSettings& st, const std::string& file, int angle,
             const std::string& action) {
    int ioAttempts = 0;
    // A Timeout is asked again for as long as it comes; one that came back
    // at once (a full daemon refusing new jobs) is asked again only after a
    // pause, which grows once the request has been refused for a while
    // (RetryPause).
    RetryPause pause;
    bool refused = false;
    std::chrono::steady_clock::time_point firstRefusal;
    for (;;) {
        const auto started = std::chrono::steady_clock::now();
        try {
            std::string mime = mimeTypeFor(file);
            ObjPtr<IMimeInputStream> input = preview::FileMimeInputStream::newInstance(file, file, file, mime);
            ObjPtr<String> stamp = String::newInstance(st.stamp);
            ObjPtr<IMimeInputStream> result;
            bool pdf = false;
            if (action == "pdf" || action.rfind("pdf,", 0) == 0) {
                auto props = List::newInstance();
                props->add(property(PDFPropertyType::AUTHOR, "xadrac"));
                result = renderer.renderPdf(input, props, angle, stamp, buildAnnotations(action));
                pdf = true;
            } else if (action.rfind("pdfa", 0) == 0) {
                auto props = List::newInstance();
                props->add(property(PDFPropertyType::AUTHOR, "xadrac"));
                props->add(property(PDFPropertyType::OPEN_SCRIPT, kSubmitScript));
                props->add(property(PDFPropertyType::SUBMIT_MSG, "Test activation by xadrac."));
                result = renderer.renderPdf(input, props, angle, stamp, buildAnnotations(action));
                pdf = true;
            } else if (action == "cmp") {
                auto second = preview::FileMimeInputStream::newInstance(file, file, file, mime);
                result = renderer.comparePngByResolution(input, angle, second, angle + 180, kResolution, true);
            } else if (action == "png" || action.rfind("png,", 0) == 0) {
                result = renderer.renderPngByResolution(input, kResolution, true, angle, stamp, buildAnnotations(action));
            } else if (action == "bbox") {
                auto box = renderer.getBoundingBox(input);
                if (box) printBox(*box, false);
                else std::printf("no result\n");
            } else {
                auto pattern = preview::FileMimeInputStream::newInstance(action, action, action, mimeTypeFor(action));
                auto r = renderer.seekPattern(input, pattern, angle);
                if (!r || !r->getBoundingBox()) {
                    std::printf("no result\n");
                } else {
                    printBox(*r->getBoundingBox(), true);
                    auto params = r->getParameters();
                    for (size_t i = 0; params && i < params->getSize(); ++i) {
                        auto p = objCast<PatternParameters>(params->get(i));
                        if (!p) continue;
                        int a = p->getAngle();
                        std::printf("dx[%d] = %lg.\n", a, p->getDx());
                        std::printf("dy[%d] = %lg.\n", a, p->getDy());
                        std::printf("correlation[%d] = %lg.\n", a, p->getCorrelation());
                        std::printf("separation[%d] = %lg.\n", a, p->getSeparation());
                        std::printf("overlap[%d] = %lg.\n", a, p->getOverlap());
                    }
                }
            }
            std::fflush(stdout);
            if (result) writeResult(*result, file, outputName(file, pdf));
            return;
        } catch (const ThrowableException& e) {
            if (auto t = objCast<Timeout>(e.getThrowable())) {
                std::fprintf(stderr, "Caught preview::Timeout: %d.\n", t->getTimeout());
                const auto now = std::chrono::steady_clock::now();
                if (now - started < kQuickTimeout) {
                    if (!refused) firstRefusal = started;
                    refused = true;
                    Thread::msleep(pause.next(now - firstRefusal).count());
                } else {
                    // The job runs; asked again at once, the request joins it.
                    refused = false;
                }
                continue;
            }
            if (auto io = objCast<IOError>(e.getThrowable())) {
                std::fprintf(stderr, "Caught preview::IOError (retries=%d): %s.\n", ioAttempts,
                             io->getDetailMessage().c_str());
                if (++ioAttempts < kMaxIoAttempts) {
                    Thread::msleep(1000);
                    continue;
                }
                return;
            }
            throw;
        }
    }
}

}  // namespace

std::string mimeTypeFor(const std::string& file) {
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".pdf") == 0) return "application/pdf";
    return "image/hpgl";
}

std::string outputName(const std::string& input, bool pdf) {
    if (input.size() <= 4) return input;
    return input.substr(0, input.size() - 4) + (pdf ? ".pdf" : ".png");
}

ClientSettings parseClientOptions(int argc, char** argv) {
    ClientSettings st;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) == 0) continue;
        if (a == "-a") {
            if (++i >= argc) missingValue("-a", "application name");
        } else if (a == "-h") {
            if (++i >= argc) missingValue("-h", "host name");
            st.host = argv[i];
        } else if (a.rfind("-a", 0) == 0) {
            // an application name glued to the option: accepted, not used
        } else if (a == "-s") {
            if (++i >= argc) missingValue("-s", "stamp text");
            st.stamp = argv[i];
            st.hasStamp = true;
        } else if (a == "-c") {
            if (++i >= argc) missingValue("-c", "directory");
            if (::chdir(argv[i]) != 0) {
                Plume::CException e(logService(), kCat, 3, errno);
                e.appendMessage("Error changing CWD to [%s].", argv[i]);
                e.appendErrnoText();
                throw e;
            }
        } else if (a == "-i") {
            if (++i >= argc) missingValue("-i", "input file");
            st.inputFile = argv[i];
            FILE* f = std::fopen(argv[i], "rb");
            if (!f) {
                Plume::CException e(logService(), kCat, 3, errno);
                e.appendMessage("Error opening file [%s] for reading.", argv[i]);
                e.appendErrnoText();
                throw e;
            }
            std::fclose(f);
        } else if (a.rfind("-s", 0) == 0) {
            st.stamp = a.substr(2);
            st.hasStamp = true;
        } else {
            throw Plume::Exception(logService(), kCat, 3, "Unknown option " + a + " specified.");
        }
    }
    return st;
}

ObjPtr<List> buildAnnotations(const std::string& action) {
    auto list = List::newInstance();
    size_t comma = action.find(',');
    if (comma == std::string::npos) return list;
    std::string rest = action.substr(comma + 1);
    size_t start = 0;
    for (int i = 0;; ++i) {
        size_t next = rest.find(',', start);
        std::string file = rest.substr(start, next == std::string::npos ? std::string::npos : next - start);
        auto a = Annotation::newInstance();
        char buf[32];
        std::snprintf(buf, sizeof buf, "xadrac %d", i);
        a->setTitle(buf);
        std::snprintf(buf, sizeof buf, "#%2.2x%2.2x%2.2x", i % 3 == 0 ? 255 : 0, i % 3 == 1 ? 255 : 0,
                      i % 3 == 2 ? 255 : 0);
        a->setColor(buf);
        a->setOwner("xadrac");
        a->setMode(i == 0 ? 1 : 0);
        struct stat sb;
        if (::stat(file.c_str(), &sb) != 0) {
            Plume::CException e(logService(), kCat, 3, errno);
            e.appendMessage("Unable to stat file %s", file.c_str());
            e.appendErrnoText();
            throw e;
        }
        auto fh = FileHandle::newInstance(file, "rb");
        auto data = ByteArray::newInstance(static_cast<size_t>(sb.st_size));
        size_t got = 0;
        while (got < data->getSize()) {
            size_t want = std::min<size_t>(65536, data->getSize() - got);
            size_t r = std::fread(data->getData() + got, 1, want, fh->get());
            if (r == 0) break;
            got += r;
        }
        data->vec().resize(got);
        a->setFdf(xad::preview::streams::ByteArrayMimeInputStream::newInstance(data, file, "application/vnd.fdf"));
        list->add(a);
        if (next == std::string::npos) break;
        start = next + 1;
    }
    return list;
}

int runClient(int argc, char** argv) {
    FILE* in = stdin;
    try {
        auto config = ConfigOptions::newInstance("xadrac");
        config->parseCommandLine(argc, argv);
        plumelog_init(0, "xadrac", argc, argv);
        for (int pass = 0; pass < 3; ++pass) plumelog_parse_arg(pass, &argc, argv, &logService());
        ClientSettings st = parseClientOptions(argc, argv);
        if (!st.inputFile.empty()) {
            in = std::fopen(st.inputFile.c_str(), "rb");
            if (!in) {
                Plume::CException e(logService(), kCat, 3, errno);
                e.appendMessage("Error opening file [%s] for reading.", st.inputFile.c_str());
                e.appendErrnoText();
                throw e;
            }
        }
        installSignalHandlers();
        auto address = Sock::Address::resolve(st.host, kPort);
        RendererClient renderer("tcp://" + address->toString());
        for (;;) {
            if (in == stdin) {
                std::printf("Enter file/angle to render: ");
                std::fflush(stdout);
            }
            char file[1025], action[1025];
            int angle = 0;
            if (std::fscanf(in, "%1024s %d %1024s", file, &angle, action) != 3) break;
            request(*renderer, st, file, angle, action);
        }
    } catch (const Plume::Exception& e) {
        e.log();
    } catch (const std::exception& e) {
        Plume::Exception::log(e);
    } catch (...) {
        std::fprintf(stderr, "Caught unknown exception.\n");
    }
    if (in != stdin) std::fclose(in);
    return 0;
}

}  // namespace Xadra
