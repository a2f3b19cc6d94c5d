// Starts xadra-test-server as a child process on a free loopback port.
#pragma once

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace xadtest {

inline const std::string kTestServer = std::string(XAD_BIN_DIR) + "/xadra-test-server";

// Runs args[0] with the arguments; its standard output is readable from *stdoutFd.
inline pid_t spawn(const std::vector<std::string>& args, int* stdoutFd) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    *stdoutFd = fds[0];
    return pid;
}

class ServerProcess {
public:
    ServerProcess() {
        char d[] = "/tmp/xadra-it-XXXXXX";
        dir_ = mkdtemp(d);
        int fd;
        pid_ = spawn({kTestServer, "serve", dir_}, &fd);
        FILE* f = fdopen(fd, "r");
        if (std::fscanf(f, "PORT %d", &port_) != 1) port_ = -1;
        std::fclose(f);
    }
    ~ServerProcess() { stop(); }
    // Ends the server and returns its exit status (0 when it shut down cleanly).
    int stop() {
        if (pid_ <= 0) return status_;
        kill(pid_, SIGTERM);
        int ws = 0;
        waitpid(pid_, &ws, 0);
        pid_ = -1;
        status_ = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        std::string rm = "rm -rf " + dir_;
        if (std::system(rm.c_str()) != 0) status_ = 99;
        return status_;
    }
    int port() const { return port_; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = -1;
    int status_ = -1;
};

}  // namespace xadtest
