// A stand-in for the office suite, started by xadooo in the tests. Its first
// argument (what OOO_XARG holds) is a script of steps separated by commas:
//   say:TEXT     TEXT and a newline on standard output
//   err:TEXT     TEXT and a newline on standard error
//   part:TEXT    TEXT without a newline on standard output (flushed at once)
//   args         every argument as "argv[i]=<value>" lines on standard output
//   pid          "pid=<process id>" on standard output
//   sleep:MS     sleeps MS milliseconds
//   ignoreterm   ignores SIGTERM from now on
//   termsay      on SIGTERM: "got signal 15" on standard output, then exit 0
//   closeout     closes standard output and standard error (they point to /dev/null)
//   orphan:FILE  starts a grandchild that writes its pid to FILE, holds no
//                standard stream of ours and sleeps until killed
//   exit:N       ends with status N
//   wait         sleeps until a signal ends the process
// Without a final exit or wait the program ends with status 0.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

void writeAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t w = ::write(fd, s.data() + done, s.size() - done);
        if (w <= 0) return;
        done += static_cast<size_t>(w);
    }
}

extern "C" void onTerm(int) {
    const char msg[] = "got signal 15\n";
    ssize_t ignored = ::write(1, msg, sizeof msg - 1);
    (void)ignored;
    _exit(0);
}

void toDevNull(int fd) {
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, fd);
        if (null != fd) ::close(null);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string script = argc > 1 ? argv[1] : "";
    size_t begin = 0;
    while (begin <= script.size()) {
        size_t end = script.find(',', begin);
        if (end == std::string::npos) end = script.size();
        std::string step = script.substr(begin, end - begin);
        begin = end + 1;
        std::string arg;
        if (size_t colon = step.find(':'); colon != std::string::npos) {
            arg = step.substr(colon + 1);
            step.resize(colon);
        }
        if (step == "say") {
            writeAll(1, arg + "\n");
        } else if (step == "err") {
            writeAll(2, arg + "\n");
        } else if (step == "part") {
            writeAll(1, arg);
        } else if (step == "args") {
            for (int i = 0; i < argc; ++i) writeAll(1, "argv[" + std::to_string(i) + "]=" + argv[i] + "\n");
        } else if (step == "pid") {
            writeAll(1, "pid=" + std::to_string(::getpid()) + "\n");
        } else if (step == "sleep") {
            ::usleep(static_cast<useconds_t>(std::atoi(arg.c_str())) * 1000);
        } else if (step == "ignoreterm") {
            std::signal(SIGTERM, SIG_IGN);
        } else if (step == "termsay") {
            std::signal(SIGTERM, onTerm);
        } else if (step == "closeout") {
            toDevNull(1);
            toDevNull(2);
        } else if (step == "orphan") {
            pid_t p = ::fork();
            if (p == 0) {
                for (int fd = 0; fd <= 2; ++fd) toDevNull(fd);
                std::signal(SIGTERM, SIG_IGN);
                if (FILE* f = std::fopen(arg.c_str(), "w")) {
                    std::fprintf(f, "%d\n", static_cast<int>(::getpid()));
                    std::fclose(f);
                }
                for (;;) ::pause();
            }
        } else if (step == "exit") {
            return std::atoi(arg.c_str());
        } else if (step == "wait") {
            for (;;) ::pause();
        } else if (!step.empty()) {
            writeAll(2, "office_test_child: unknown step " + step + "\n");
            return 99;
        }
        if (end == script.size()) break;
    }
    return 0;
}
