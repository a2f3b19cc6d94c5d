// xadrad: the rendering daemon's main program. Reads the command line and the
// configuration, becomes the running daemon, serves IHPGLRenderer on its
// address and runs the maintenance loop until a hang-up or terminate signal.

#include "HPGSRenderer.h"
#include "Settings.h"
#include "Startup.h"
#include "cache/HPGSRendererCache.h"
#include "daemon/JobRegistry.h"
#include "hpgs/hpgs.h"
#include "jobs/GSHelper.h"
#include "hpgspdf.h"
#include "imaging/FFTImage.h"
#include "plume/ConfigOptions.h"
#include "plume/Daemon.h"
#include "plume/Remoting.h"
#include "plume/System.h"
#include "xadracommon/LogService.h"
#include "xadracommon/PreviewApi.h"
#include "xadracommon/Version.h"
#include "xadracommon/XadraException.h"

#include <cstdarg>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

using namespace Plume;
using namespace Xadra;

namespace {

const char* kDefaultBaseDir = "/var/tmp/xadrad";

void hpgsLogger(const char* fmt, va_list ap) {
    if (!logService().enabled(CAT_HPGS, 7)) return;
    char buf[2048];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    plumelog_write("xadrahpgs", 7, buf);
}

// The serving side: starting it starts the workers, the connection pool and
// the server thread; stopping it undoes that in order.
class ServerGuard {
public:
    ServerGuard(ObjPtr<Thread> serverThread, ObjPtr<ThreadPool> pool)
        : thread_(std::move(serverThread)), pool_(std::move(pool)) {
        startWorkers();
        pool_->start();
        thread_->start();
    }
    ~ServerGuard() {
        logMessage(6, "sending signal 15 to server thread.");
        thread_->kill(15);
        logMessage(6, "waiting for server thread...");
        thread_->join();
        logMessage(6, "server thread finished.");
        pool_->stop();
        stopWorkers();
        ringResize(0);
    }

private:
    ObjPtr<Thread> thread_;
    ObjPtr<ThreadPool> pool_;
};

int run(int argc, char** argv) {
    hpgs_init("/usr");
    hpgs_pdf_init();
    auto config = ConfigOptions::newInstance("xadrad");
    plumelog_init(1, "xadrad", argc, argv);
    for (int pass = 0; pass < 3; ++pass) plumelog_parse_arg(pass, &argc, argv, &logService());
    logMessage(6, "Starting xadrad %s (%s)", VERSION, BUILD_STAMP);
    StartupOptions opts = parseStartupOptions(argc, argv);
    installSignalHandlers();
    hpgs_set_logger(hpgsLogger);

    ObjPtr<Sock::Daemon> daemon;
    auto state = makeObj<MyDaemonStateful>();
    if (opts.fork || opts.stopRequest || opts.statusRequest) {
        daemon = Sock::Daemon::newInstance(opts.daemonName());
        if (opts.stopRequest) daemon->stopRequest();
        if (opts.statusRequest) daemon->statusRequest();
        daemon->attach(state);
    }
    config->load(opts.globalConfigFile());
    config->load(opts.applicationConfigFile());
    config->parseCommandLine(argc, argv);

    std::string suUser = config->getString("xadrad_suUser", "xadrun");
    if (daemon) daemon->setUser(suUser, 10);
    bool noFork = config->getBool("xadrad_no_fork", !opts.fork);
    if (daemon && !daemon->start(!noFork)) return 0;
    state->setRunning(true);

    std::string baseDir = config->getString("xadrad_cache_baseDir", kDefaultBaseDir);
    HPGSRendererCache& cache = HPGSRendererCache::instance();
    cache.setRemoveJobFiles(opts.removeJobFiles);
    cache.initialise(static_cast<double>(config->getUInt("xadrad_cache_mbytes", 100)), baseDir);
    if (::chdir(baseDir.c_str()) != 0) throw Xadra::CException(CAT_DAEMON, 3, "chdir(%s) failed", baseDir.c_str());

    std::string fontPath = config->getString("xadrad_font_path", "");
    if (!fontPath.empty()) ::setenv("HPGS_FONT_PATH", fontPath.c_str(), 1);
    ringResize(32);

    unsigned nWorkers = static_cast<unsigned>(config->getUInt("xadrad_job_nWorkers", 10));
    if (nWorkers < 1) throw Xadra::Exception(CAT_DAEMON, 3, "xadrad_job_nWorkers must be at least 1.");
    setNWorkers(nWorkers);
    Settings::setRenderTimeout(static_cast<unsigned>(config->getUInt("xadrad_job_renderTimeout", 3)));
    Settings::setHoldTimeout(static_cast<unsigned>(config->getUInt("xadrad_job_holdTimeout", 60)));
    Settings::setStampSize(config->getDouble("xadrad_stamp_size", 500.0));
    Settings::setPdfBorder(config->getDouble("xadrad_pdf_border", 56.69291338582677));
    Settings::setPdfMaxInchSize(config->getDouble("xadrad_pdf_max_inch_size", 1000.0));
    Settings::setThinAlpha(config->getDouble("xadrad_png_thin_alpha", 0.5));
    Settings::setPngMaxPixels(config->getUInt("xadrad_png_max_pixels", 400000000ull));
    GSHelper::setGhostscriptPath(config->getString("xadrad_gs_path", ""));
    Settings::setSeekSize(static_cast<unsigned>(config->getUInt("xadrad_seek_size", 1024)));
    Settings::setLabelSize(static_cast<unsigned>(config->getUInt("xadrad_label_size", 0)));
    Settings::setHpglMaxFractBits(static_cast<int>(config->getInt("xadrad_hpgl_max_fract_bits", 0)));
    FFTImage::setWhiteOverEstimation(config->getDouble("xadrad_fft_white_over", 1.0));
    Settings::setCorrelationFactor(config->getDouble("xadrad_fft_correlation_fac", 1.0));

    int64_t maxCoreMb = config->getInt("xadrad_max_core_mb", 0);
    std::string listenAddress = config->getString("xadrad_listen_address", "127.0.0.1:3455");
    int backlog = static_cast<int>(config->getInt("xadrad_listen_backlog", 4));
    logMessage(6, "listening to [%s] with backlog [%d].", listenAddress.c_str(), backlog);

    auto address = Sock::Address::newInstance(listenAddress);
    auto device = Sock::Device::newInstance(address);
    device->bind();
    device->listen(backlog);
    auto pool = ThreadPool::newInstance(nWorkers, 5 * nWorkers, 0, 30000);

    auto factory = SerializableFactory::newInstance();
    xad::preview::api::registerTypes(*factory);
    auto handlers = RemotingConnectionHandlerFactory::newInstance(factory);
    auto beans = BeanInvocationHandlerFactory::newInstance();
    xad::preview::api::registerInterfaces(*beans);
    handlers->setInterfaces(beans);

    auto renderer = HPGSRenderer::newInstance();
    handlers->bind("hpgsRenderer",
                   beans->newHandler(xad::preview::api::IHPGLRenderer__reflection_target::create(renderer)));
    handlers->bind("sessionContext", RemotingConnectionHandlerFactory::newSessionContextHandler());
    handlers->bind("return", RemotingConnectionHandlerFactory::newReturnHandler());

    auto server = Sock::Server::newInstance(handlers, pool);
    server->addDevice(device);
    auto serverThread = Thread::newInstance(server);

    {
        ServerGuard serving(serverThread, pool);
        if (daemon) daemon->startupComplete();

        if (maxCoreMb > 0) {
            logMessage(6, "Setting core file limit to [%dMB].", static_cast<int>(maxCoreMb));
            struct rlimit rl;
            if (getrlimit(RLIMIT_CORE, &rl) != 0) throw Xadra::CException(CAT_DAEMON, 3, "getrlimit(RTLIMIT_CORE) failed");
            rl.rlim_cur = static_cast<rlim_t>(maxCoreMb) * 1048576;
            if (setrlimit(RLIMIT_CORE, &rl) != 0) throw Xadra::CException(CAT_DAEMON, 3, "setrlimit(RTLIMIT_CORE) failed");
        }
        cache.startInitializer();

        while (!getHupSignalCatched()) {
            try {
                // Sleep in slices so that a hang-up signal is noticed at once.
                for (int slice = 0; slice < 100 && !getHupSignalCatched(); ++slice) Thread::msleep(100);
                if (getHupSignalCatched()) break;
                cache.periodicTask();
                purgeFinishedJobs();
            } catch (const Plume::CException& e) {
                if (!e.isInterrupt()) throw;
            }
        }
    }
    server.reset();
    renderer.reset();
    beans.reset();
    handlers.reset();
    factory.reset();
    pool.reset();
    device.reset();
    address.reset();
    cache.shutdown();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int status = 1;
    try {
        status = run(argc, argv);
    } catch (const Plume::Exception& e) {
        e.log();
    } catch (const std::exception& e) {
        Plume::Exception::log(e);
    } catch (...) {
        logMessage(3, "Caught unknown exception.");
    }
    if (status != 0) HPGSRendererCache::instance().shutdown();
    logMessage(6, "xadrad %s (%s) finished with status [%d].", VERSION, BUILD_STAMP, status);
    plumelog_closelog();
    hpgs_cleanup();
    hpgs_pdf_cleanup();
    return status;
}
