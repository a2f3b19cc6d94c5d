// Runs a program for a benchmark, its output to /dev/null.
#pragma once

#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace benchdaemon {

// Runs args[0] (searched along PATH) with args; true when it exits with 0.
inline bool runQuietly(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    return WIFEXITED(ws) && WEXITSTATUS(ws) == 0;
}

}  // namespace benchdaemon
