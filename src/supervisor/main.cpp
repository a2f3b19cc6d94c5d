// xadooo: keeps one headless office suite running as a child process,
// listening for UNO connections on a local socket, logs what it prints,
// restarts it one second after it ends and stops it in two stages when
// interrupted. Registers with the daemon support so that "-s" reports its
// state and "-k" stops it.

#include "OfficeSupervisor.h"
#include "plume/ConfigOptions.h"
#include "plume/Daemon.h"
#include "plume/Exception.h"
#include "plume/System.h"
#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

using namespace Plume;
using namespace Xadra;
using namespace Xadra::Office;

namespace {

// After a switch away from root the office needs a home of its own for its
// user profile; the environment still names root's.
void adoptUserHome(uid_t startedAs) {
    if (startedAs != 0 || ::geteuid() == 0) return;
    struct passwd* pw = ::getpwuid(::geteuid());
    if (!pw || !pw->pw_dir || !*pw->pw_dir) return;
    const char* home = std::getenv("HOME");
    if (home && std::string(home) == pw->pw_dir) return;
    if (::access(pw->pw_dir, W_OK) != 0) {
        logMessage(4, "Home directory %s of user %s is not writable; the office may fail to create its profile.",
                   pw->pw_dir, pw->pw_name);
        return;
    }
    ::setenv("HOME", pw->pw_dir, 1);
    logCategory(CAT_DAEMON, 6, "HOME set to %s for user %s.", pw->pw_dir, pw->pw_name);
}

int run(int argc, char** argv) {
    auto config = ConfigOptions::newInstance("xadooo");
    plumelog_init(1, "xadooo", argc, argv);
    for (int pass = 0; pass < 3; ++pass) plumelog_parse_arg(pass, &argc, argv, &logService());
    SupervisorOptions opts = parseSupervisorOptions(argc, argv);
    installSignalHandlers();

    auto record = makeObj<ChildRecord>();
    ObjPtr<Sock::Daemon> daemon;
    if (opts.needsDaemon()) {
        daemon = Sock::Daemon::newInstance(opts.daemonName());
        if (opts.daemonize) daemon->attach(makeObj<MyDaemonStateful>(record));
        if (opts.stopRequest) daemon->stopRequest();
        if (opts.statusRequest) daemon->statusRequest();
        // The daemon support performs a stop or status request when it is
        // started; the requesting process then ends.
        if (opts.stopRequest || opts.statusRequest) {
            daemon->start(false);
            return 0;
        }
    }

    // Values given as --KEY=VALUE override both files.
    config->load(opts.globalConfigFile(), 0);
    config->load(opts.applicationConfigFile(), 0);
    config->parseCommandLine(argc, argv);
    logCategory(CAT_DAEMON, 7, "ooo_default_binary_path = %s.", kDefaultOfficeBinary);
    OfficeSettings settings = OfficeSettings::fromConfig(*config);

    uid_t startedAs = ::geteuid();
    if (daemon && startedAs == 0 && settings.user != "root" && !::getpwnam(settings.user.c_str()))
        throw Xadra::Exception(CAT_DAEMON, 3, "OOO_USER %s: no such user; refusing to run the office as root.",
                               settings.user.c_str());
    if (daemon) {
        daemon->setUser(settings.user, 10);
        // Detaches, writes the pid file, opens the status socket and switches
        // the user; the parent ends once the supervisor reports start-up complete.
        if (!daemon->start(true)) return 0;
        adoptUserHome(startedAs);
    }
    ringResize(32);
    if (daemon) daemon->startupComplete();

    return OfficeSupervisor(settings, record).run();
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
        logCategory(CAT_DAEMON, 3, "Caught unknown exception.");
    }
    plumelog_closelog();
    return status;
}
