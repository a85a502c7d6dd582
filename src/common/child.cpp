// A question asked of a child process under a time bound: name lookups whose
// name server may never answer must not hold the one-job service.
#include "common/io.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace tindrel {

namespace {

// The child dies with the daemon and holds none of its sockets or files, so
// it can never keep the listening port or a client's connection.
[[noreturn]] void runChild(pid_t parent, int writer, const std::function<void(int)>& work) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(0);
    if (writer > 0)
        close_range(0, static_cast<unsigned>(writer) - 1, 0);
    close_range(static_cast<unsigned>(writer) + 1, ~0U, 0);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        std::signal(sig, SIG_DFL);
    work(writer);
    _exit(0);
}

} // namespace

int askChild(const std::function<void(int)>& work, int seconds, std::string& answer,
             volatile pid_t* running, WaitFn wait) {
    answer.clear();
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return -1;
    UniqueFd reader(pipe_fds[0]);
    UniqueFd writer(pipe_fds[1]);
    const pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        reader.release();
        runChild(parent, writer.get(), work);
    }
    if (running)
        *running = child;
    writer.reset();

    bool complete = false;
    for (;;) {
        pollfd p{reader.get(), POLLIN, 0};
        if (wait(&p, 1, seconds) <= 0)
            break;
        char buf[512];
        ssize_t n = read(reader.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            complete = n == 0;
            break;
        }
        answer.append(buf, static_cast<size_t>(n));
    }
    if (!complete)
        kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (running)
        *running = 0;
    return complete ? 0 : 1;
}

} // namespace tindrel
