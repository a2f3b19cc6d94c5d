// xadra-load: drives a real xadrad with PNG requests and tells whether it
// came through.
//
//   xadra-load [options] [FILES...]
//
// Starts its own daemon (optionally under a wrapper such as valgrind) in a
// temporary base directory on a free loopback port, then either
//   - load (default): --clients threads, each with its own connections,
//     send random PNG requests (by resolution, by pixel size, tiles; random
//     drawing, angle, anti-aliasing, and a stamp from a large set so that
//     the cache keeps missing) until --duration has passed, with a report
//     line every --report seconds; or
//   - sweep (--sweep): every combination of the listed resolutions, pixel
//     sizes, tiles, angles and anti-aliasing flags once per drawing.
// At the end it waits for running jobs, stops the daemon with SIGTERM and
// prints survival, RSS, open descriptors and job files left. Exit status 0
// only when the daemon served throughout, ended with status 0 (a wrapper's
// error status counts), no request failed unexpectedly and no job file was
// left.
#include "xadracommon/PreviewApi.h"
#include "xadracommon/RendererClient.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <netinet/in.h>
#include <vector>

using namespace Plume;
using namespace xad::preview::api;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::string xadrad = std::string(XAD_BIN_DIR) + "/xadrad";
    std::vector<std::string> wrap;  // command the daemon runs under
    int clients = 8;
    int workers = 2;
    double duration = 60;  // seconds
    double report = 60;
    int renderTimeout = 3;
    bool sweep = false;
    long long bandLimit = 0;  // HPGS_BAND_LIMIT for the daemon; 0: its default
    unsigned seed = 1;
    bool keep = false;
    bool memcheck = false;  // run the daemon under valgrind memcheck
    std::vector<double> dpis = {72, 150};
    std::vector<int> pixelSizes = {500};
    std::vector<int> angles = {0, 90, 180, 270};
    std::vector<int> aa = {1, 0};
    bool tiles = true;
    std::vector<std::string> files;
};

[[noreturn]] void usage(const char* why) {
    if (why) std::fprintf(stderr, "xadra-load: %s\n", why);
    std::fprintf(stderr,
                 "usage: xadra-load [--clients N] [--workers N] [--duration S|Nm] [--report S]\n"
                 "                  [--sweep] [--dpi LIST] [--pixel-size LIST] [--angles LIST] [--aa LIST]\n"
                 "                  [--no-tiles] [--band-limit BYTES] [--render-timeout S] [--seed N]\n"
                 "                  [--xadrad PATH] [--wrap 'CMD ARGS'] [--memcheck] [--keep] [FILES...]\n"
                 "--memcheck runs the daemon under valgrind memcheck; any error it reports fails the run.\n"
                 "FILES default to the test drawings (tests/data/hpgl/*.hpgl and hatch/*.hpgl).\n");
    std::exit(2);
}

double parseDuration(const std::string& s) {
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || v <= 0) usage(("bad duration " + s).c_str());
    std::string unit(end);
    if (unit == "m") v *= 60;
    else if (unit == "h") v *= 3600;
    else if (!unit.empty() && unit != "s") usage(("bad duration " + s).c_str());
    return v;
}

template <class T>
std::vector<T> parseList(const std::string& s) {
    std::vector<T> out;
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item.empty()) continue;
        std::stringstream v(item);
        T x{};
        if (!(v >> x)) usage(("bad list item " + item).c_str());
        out.push_back(x);
    }
    return out;
}

std::vector<std::string> splitWords(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage((a + " needs a value").c_str());
            return argv[++i];
        };
        if (a == "--clients") o.clients = std::atoi(value().c_str());
        else if (a == "--workers") o.workers = std::atoi(value().c_str());
        else if (a == "--duration") o.duration = parseDuration(value());
        else if (a == "--report") o.report = parseDuration(value());
        else if (a == "--render-timeout") o.renderTimeout = std::atoi(value().c_str());
        else if (a == "--sweep") o.sweep = true;
        else if (a == "--dpi") o.dpis = parseList<double>(value());
        else if (a == "--pixel-size") o.pixelSizes = parseList<int>(value());
        else if (a == "--angles") o.angles = parseList<int>(value());
        else if (a == "--aa") o.aa = parseList<int>(value());
        else if (a == "--no-tiles") o.tiles = false;
        else if (a == "--band-limit") o.bandLimit = std::atoll(value().c_str());
        else if (a == "--seed") o.seed = static_cast<unsigned>(std::atoi(value().c_str()));
        else if (a == "--xadrad") o.xadrad = value();
        else if (a == "--wrap") o.wrap = splitWords(value());
        else if (a == "--keep") o.keep = true;
        else if (a == "--memcheck") o.memcheck = true;
        else if (a == "-h" || a == "--help") usage(nullptr);
        else if (a.rfind("--", 0) == 0) usage(("unknown option " + a).c_str());
        else o.files.push_back(a);
    }
    if (o.clients < 1 || o.workers < 1 || o.renderTimeout < 1) usage("clients, workers and timeouts must be positive");
    if (o.angles.empty() || o.aa.empty()) usage("no angles or anti-aliasing flags");
    if (o.files.empty()) {
        for (const char* sub : {"/hpgl", "/hpgl/hatch"}) {
            const std::string dir = std::string(XAD_TEST_DATA) + sub;
            if (DIR* d = opendir(dir.c_str())) {
                while (dirent* e = readdir(d)) {
                    std::string n = e->d_name;
                    if (n.size() > 5 && n.compare(n.size() - 5, 5, ".hpgl") == 0) o.files.push_back(dir + "/" + n);
                }
                closedir(d);
            }
        }
        std::sort(o.files.begin(), o.files.end());
    }
    if (o.files.empty()) usage("no drawings");
    for (const auto& f : o.files)
        if (access(f.c_str(), R_OK) != 0) usage(("cannot read " + f).c_str());
    return o;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

// Figures of the daemon process read from /proc.
struct ProcFigures {
    long rssKb = -1;
    int fds = -1;
    int threads = -1;
};

ProcFigures procFigures(pid_t pid) {
    ProcFigures f;
    std::ifstream st("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(st, line)) {
        if (line.rfind("VmRSS:", 0) == 0) f.rssKb = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) f.threads = std::atoi(line.c_str() + 8);
    }
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        f.fds = 0;
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++f.fds;
        closedir(d);
    }
    return f;
}

int countEntries(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

// One request: what is asked and what size the answer must have.
struct Request {
    std::string file;
    enum Kind { kDpi, kPixels, kTile } kind = kDpi;
    double dpi = 72;
    int pixels = 0;
    int angle = 0;
    bool aa = true;
    double tile[4] = {0, 0, 0, 0};
    std::string stamp;

    std::string describe() const {
        char b[512];
        const char* base = std::strrchr(file.c_str(), '/');
        base = base ? base + 1 : file.c_str();
        if (kind == kDpi) std::snprintf(b, sizeof b, "%s %gdpi %ddeg aa=%d", base, dpi, angle, aa);
        else if (kind == kPixels) std::snprintf(b, sizeof b, "%s %dpx %ddeg aa=%d", base, pixels, angle, aa);
        else
            std::snprintf(b, sizeof b, "%s tile %g,%g,%g,%g %gdpi %ddeg aa=%d", base, tile[0], tile[1], tile[2],
                          tile[3], dpi, angle, aa);
        return std::string(b) + (stamp.empty() ? "" : " stamp=" + stamp);
    }
};

// Width and height from a PNG header; {0, 0} when it is none.
std::pair<uint32_t, uint32_t> pngSize(const std::string& png) {
    static const unsigned char sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (png.size() < 24 || std::memcmp(png.data(), sig, 8) != 0) return {0, 0};
    auto be = [&](size_t o) {
        return (uint32_t(uint8_t(png[o])) << 24) | (uint32_t(uint8_t(png[o + 1])) << 16) |
               (uint32_t(uint8_t(png[o + 2])) << 8) | uint32_t(uint8_t(png[o + 3]));
    };
    return {be(16), be(20)};
}

struct Tally {
    std::mutex mutex;
    long ok = 0, timeouts = 0, refused = 0;
    std::map<std::string, long> failures;  // message -> count
    std::vector<std::string> firstFailures;
    void fail(const Request& r, const std::string& why) {
        std::lock_guard<std::mutex> l(mutex);
        if (++failures[why] == 1 && firstFailures.size() < 20) firstFailures.push_back(r.describe() + ": " + why);
    }
};

// Expected refusals: drawings without marks, requests the size limit refuses.
bool expectedRefusal(const std::string& message) {
    return message.find("Bounding box is empty.") != std::string::npos ||
           message.find("exceeds the limit") != std::string::npos;
}

// Sends one request until it is answered (a Timeout is asked again, after
// a pause while the daemon is full). Returns false when the daemon cannot
// be reached.
bool run(RendererClient& client, const Request& r, Tally& tally, const std::atomic<bool>& stop) {
    auto stamp = r.stamp.empty() ? ObjPtr<String>() : String::newInstance(r.stamp);
    auto delay = std::chrono::milliseconds(100);
    for (;;) {
        const auto t0 = Clock::now();
        try {
            auto in = preview::FileMimeInputStream::newInstance(r.file, r.file, r.file, "image/hpgl");
            ObjPtr<IMimeInputStream> out;
            if (r.kind == Request::kDpi) {
                out = client->renderPngByResolution(in, r.dpi, r.aa, r.angle, stamp, nullptr);
            } else if (r.kind == Request::kPixels) {
                out = client->renderPngByPixelSize(in, r.pixels, r.aa, r.angle, stamp, nullptr);
            } else {
                auto box = BoundingBoxWithAngle::newInstance();
                box->setLlx(r.tile[0]);
                box->setLly(r.tile[1]);
                box->setUrx(r.tile[2]);
                box->setUry(r.tile[3]);
                box->setAngle(r.angle);
                out = client->renderPngTileByResolution(in, r.dpi, r.aa, box, stamp, nullptr);
            }
            if (!out) {
                tally.fail(r, "null result");
                return true;
            }
            std::string png;
            for (;;) {
                auto b = out->readBlock(65536);
                if (!b || b->getSize() == 0) break;
                png.append(reinterpret_cast<const char*>(b->getData()), b->getSize());
            }
            out->close();
            auto size = pngSize(png);
            bool good = size.first >= 2 && size.second >= 2;
            if (good && r.kind == Request::kPixels) good = std::max(size.first, size.second) == uint32_t(r.pixels);
            if (good && r.kind == Request::kTile) {
                const bool turned = r.angle % 180 != 0;
                const double w = (r.tile[2] - r.tile[0]) * r.dpi / 72, h = (r.tile[3] - r.tile[1]) * r.dpi / 72;
                const double ew = turned ? h : w, eh = turned ? w : h;
                good = std::abs(double(size.first) - ew) <= 1 && std::abs(double(size.second) - eh) <= 1;
            }
            if (!good) {
                char b[96];
                std::snprintf(b, sizeof b, "unexpected PNG of %u x %u pixels (%zu bytes)", size.first, size.second,
                              png.size());
                tally.fail(r, b);
            } else {
                std::lock_guard<std::mutex> l(tally.mutex);
                ++tally.ok;
            }
            return true;
        } catch (const ThrowableException& e) {
            if (objCast<Timeout>(e.getThrowable())) {
                {
                    std::lock_guard<std::mutex> l(tally.mutex);
                    ++tally.timeouts;
                }
                if (stop) return true;
                // A full daemon answers at once: wait before asking again.
                if (Clock::now() - t0 < std::chrono::seconds(1)) {
                    std::this_thread::sleep_for(delay);
                    delay = std::min(delay * 2, std::chrono::milliseconds(2000));
                }
                continue;
            }
            auto* t = e.getThrowable().get();
            std::string msg = t ? t->toString() : e.what();
            if (expectedRefusal(msg)) {
                std::lock_guard<std::mutex> l(tally.mutex);
                ++tally.refused;
            } else {
                tally.fail(r, msg);
            }
            return true;
        } catch (const RemotingException& e) {
            tally.fail(r, std::string("remoting: ") + e.what());
            return false;
        } catch (const std::exception& e) {
            tally.fail(r, std::string("exception: ") + e.what());
            return false;
        }
    }
}

// Tiles in drawing points: small and large, at the origin and inside.
const double kTiles[][4] = {{0, 0, 144, 72}, {100, 50, 400, 300}, {-20, -20, 250, 180}};

std::vector<Request> sweepRequests(const Options& o) {
    std::vector<Request> out;
    for (const auto& f : o.files)
        for (int aa : o.aa)
            for (int angle : o.angles) {
                for (double dpi : o.dpis) {
                    Request r;
                    r.file = f, r.kind = Request::kDpi, r.dpi = dpi, r.angle = angle, r.aa = aa != 0;
                    out.push_back(r);
                }
                for (int px : o.pixelSizes) {
                    Request r;
                    r.file = f, r.kind = Request::kPixels, r.pixels = px, r.angle = angle, r.aa = aa != 0;
                    out.push_back(r);
                }
                if (o.tiles)
                    for (const auto& t : kTiles) {
                        Request r;
                        r.file = f, r.kind = Request::kTile, r.dpi = o.dpis.empty() ? 72 : o.dpis[0];
                        r.angle = angle, r.aa = aa != 0;
                        std::copy(t, t + 4, r.tile);
                        out.push_back(r);
                    }
            }
    return out;
}

Request randomRequest(const Options& o, std::mt19937& rng) {
    auto pick = [&](auto& v) -> const auto& { return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)]; };
    static const std::vector<double> kDpis = {36, 72, 100, 150};
    static const std::vector<int> kPixels = {200, 500, 800};
    Request r;
    r.file = pick(o.files);
    r.angle = pick(o.angles);
    r.aa = pick(o.aa) != 0;
    const int k = std::uniform_int_distribution<int>(0, 9)(rng);
    if (k < 5) {
        r.kind = Request::kDpi, r.dpi = pick(kDpis);
    } else if (k < 8) {
        r.kind = Request::kPixels, r.pixels = pick(kPixels);
    } else {
        r.kind = Request::kTile, r.dpi = pick(kDpis);
        const auto& t = kTiles[std::uniform_int_distribution<int>(0, 2)(rng)];
        std::copy(t, t + 4, r.tile);
    }
    // Half the requests carry one of many stamps: the cache keeps missing.
    if (std::uniform_int_distribution<int>(0, 1)(rng))
        r.stamp = "load " + std::to_string(std::uniform_int_distribution<int>(0, 9999)(rng));
    return r;
}

class Daemon {
public:
    Daemon(const Options& o, const std::string& dir) : dir_(dir) {
        port_ = freePort();
        mkdir((dir + "/conf").c_str(), 0755);
        std::vector<std::string> args = o.wrap;
        args.push_back(o.xadrad);
        for (std::string a : {"-n", "--xadrad_no_fork=true", "--xadrad_suUser=root", "--log-level=6"})
            args.push_back(a);
        args.push_back("--xadrad_cache_baseDir=" + dir + "/base");
        args.push_back("--xadrad_job_nWorkers=" + std::to_string(o.workers));
        args.push_back("--xadrad_job_renderTimeout=" + std::to_string(o.renderTimeout));
        args.push_back("--xadrad_listen_address=127.0.0.1:" + std::to_string(port_));
        pid_ = fork();
        if (pid_ == 0) {
            setenv("XAD_CONF_DIR", (dir + "/conf").c_str(), 1);
            setenv("XAD_RUNTIME_DIR", dir.c_str(), 1);
            if (o.bandLimit > 0) setenv("HPGS_BAND_LIMIT", std::to_string(o.bandLimit).c_str(), 1);
            int in = open("/dev/null", O_RDONLY);
            int log = open((dir + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(log, 1);
            dup2(log, 2);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Daemon() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Waits until the daemon listens; false when it ended or took too long.
    bool waitReady(double seconds) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            if (!alive()) return false;
            if (readFile(dir_ + "/daemon.log").find("listening to [") != std::string::npos && accepts()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // The log names the address before the socket is bound: ready is when
    // a connection is taken.
    bool accepts() const {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port_));
        const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (fd >= 0) close(fd);
        return ok;
    }
    bool alive() {
        if (pid_ <= 0) return false;
        int ws = 0;
        if (waitpid(pid_, &ws, WNOHANG) == pid_) {
            status_ = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
            pid_ = -1;
            return false;
        }
        return true;
    }
    // SIGTERM, then waits; the exit status (128 + signal when killed, -1 when
    // it had to be killed after the grace time).
    int stop(double seconds) {
        if (!alive()) return status_;
        kill(pid_, SIGTERM);
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            if (!alive()) return status_;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    int exitStatus() const { return status_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = -1;
};

void printFigures(const char* when, double seconds, const Tally& t, const ProcFigures& f, int jobFiles) {
    std::printf("%-8s %7.0fs  ok %7ld  timeouts %6ld  refused %5ld  failed %5ld  rss %7ld KiB  fds %4d  threads %3d  "
                "job files %3d\n",
                when, seconds, t.ok, t.timeouts, t.refused,
                [&] {
                    long n = 0;
                    for (const auto& kv : t.failures) n += kv.second;
                    return n;
                }(),
                f.rssKb, f.fds, f.threads, jobFiles);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    Options o = parseOptions(argc, argv);
    char tmpl[] = "/tmp/xadra-load-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("xadra-load: mkdtemp");
        return 2;
    }
    const std::string dir = tmpl;
    const std::string jobs = dir + "/base/jobs";
    const std::string memcheckLog = dir + "/memcheck.log";
    if (o.memcheck)
        o.wrap = {"valgrind", "--error-exitcode=99", "--num-callers=30", "--log-file=" + memcheckLog};
    Daemon daemon(o, dir);
    // Under valgrind the start takes a while.
    if (!daemon.waitReady(o.wrap.empty() ? 30 : 300)) {
        std::fprintf(stderr, "xadra-load: the daemon did not start; its log:\n%s\n",
                     readFile(dir + "/daemon.log").c_str());
        return 1;
    }
    const pid_t pid = daemon.pid();
    std::printf("xadrad pid %d on port %d, %d workers, base %s\n", pid, daemon.port(), o.workers, dir.c_str());

    Tally tally;
    std::atomic<bool> stop{false}, lost{false};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    std::vector<Request> plan;
    std::atomic<size_t> next{0};
    if (o.sweep) {
        plan = sweepRequests(o);
        std::printf("sweep of %zu requests over %zu drawings\n", plan.size(), o.files.size());
    } else {
        std::printf("load: %d clients for %.0f s over %zu drawings\n", o.clients, o.duration, o.files.size());
    }
    const std::string url = "tcp://127.0.0.1:" + std::to_string(daemon.port());
    for (int c = 0; c < o.clients; ++c) {
        threads.emplace_back([&, c] {
            std::mt19937 rng(o.seed * 7919u + static_cast<unsigned>(c));
            RendererClient client(url);
            while (!stop && !lost) {
                Request r;
                if (o.sweep) {
                    const size_t i = next++;
                    if (i >= plan.size()) break;
                    r = plan[i];
                } else {
                    r = randomRequest(o, rng);
                }
                if (!run(client, r, tally, stop)) lost = true;
            }
        });
    }
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    double nextReport = o.report;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (!daemon.alive()) {
            lost = true;
            break;
        }
        if (lost) break;
        if (o.sweep) {
            if (next >= plan.size() + threads.size()) break;
        } else if (elapsed() >= o.duration) {
            break;
        }
        if (elapsed() >= nextReport) {
            std::lock_guard<std::mutex> l(tally.mutex);
            printFigures("running", elapsed(), tally, procFigures(pid), countEntries(jobs));
            nextReport += o.report;
        }
    }
    stop = true;
    for (auto& t : threads) t.join();
    const bool survived = daemon.alive() && !lost;

    // Jobs that outlived their requests finish; then nothing may be left.
    int jobFiles = countEntries(jobs);
    for (int i = 0; survived && jobFiles > 0 && i < 600; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        jobFiles = countEntries(jobs);
    }
    ProcFigures last = survived ? procFigures(pid) : ProcFigures{};
    printFigures("end", elapsed(), tally, last, jobFiles);
    const int status = daemon.stop(o.wrap.empty() ? 60 : 600);

    long failed = 0;
    for (const auto& kv : tally.failures) failed += kv.second;
    for (const auto& f : tally.firstFailures) std::printf("failure: %s\n", f.c_str());
    std::printf("daemon %s, exit status %d; %ld requests answered, %ld failed, %d job files left\n",
                survived ? "served throughout" : "LOST", status, tally.ok + tally.refused, failed, jobFiles);
    const bool good = survived && status == 0 && failed == 0 && jobFiles == 0;
    if (o.memcheck) {
        const std::string m = readFile(memcheckLog);
        const size_t summary = m.find("ERROR SUMMARY:");
        std::printf("memcheck: %s\n",
                    summary == std::string::npos ? "no summary (valgrind did not finish)"
                                                 : m.substr(summary, m.find('\n', summary) - summary).c_str());
        if (status == 99) {
            // The first reports, with their stacks.
            std::printf("--- first memcheck reports (%s):\n%s\n", memcheckLog.c_str(),
                        m.substr(0, std::min<size_t>(m.size(), 8000)).c_str());
        }
    }
    if (!good) {
        std::string log = readFile(dir + "/daemon.log");
        if (log.size() > 6000) log = "...\n" + log.substr(log.size() - 6000);
        std::printf("--- end of the daemon's log (%s/daemon.log):\n%s\n", dir.c_str(), log.c_str());
    }
    if (!o.keep && good) std::system(("rm -rf '" + dir + "'").c_str());
    else std::printf("kept %s\n", dir.c_str());
    return good ? 0 : 1;
}
