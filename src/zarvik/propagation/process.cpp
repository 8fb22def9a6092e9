// Running ssh and rsync without a shell: fork and exec of an argument vector.
#include "zarvik/propagation/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <vector>

namespace zarvik::propagation {

ProcessOutcome RunProgram(const QString& program, const QStringList& arguments,
                          const std::function<void(const QByteArray&)>& onOutput) {
    ProcessOutcome outcome;
    const QString path = QStandardPaths::findExecutable(program);
    if (path.isEmpty()) {
        outcome.why = QStringLiteral("%1 is not installed (not found on PATH)").arg(program);
        return outcome;
    }
    // Everything the child needs is made before the fork: after it, only calls that
    // are safe in a child of a threaded process run.
    std::vector<QByteArray> storage;
    storage.push_back(QFile::encodeName(path));
    for (const QString& a : arguments) storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        outcome.why =
            QStringLiteral("cannot start %1: %2").arg(program, QString::fromLocal8Bit(std::strerror(errno)));
        for (int fd : {out[0], out[1], err[0], err[1]})
            if (fd >= 0) ::close(fd);
        return outcome;
    }
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        if (devNull >= 0) ::dup2(devNull, 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execv(argv[0], argv.data());
        const char message[] = "cannot run the program\n";
        [[maybe_unused]] const ssize_t ignored = ::write(2, message, sizeof message - 1);
        ::_exit(127);
    }
    if (devNull >= 0) ::close(devNull);
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        outcome.why =
            QStringLiteral("cannot start %1: %2").arg(program, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(out[0]);
        ::close(err[0]);
        return outcome;
    }
    outcome.started = true;

    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    char buffer[16384];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (pollfd& p : fds) {
            if (p.fd < 0 || p.revents == 0) continue;
            const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::close(p.fd);
                p.fd = -1;
                --open;
                continue;
            }
            if (&p == &fds[0]) {
                if (onOutput) onOutput(QByteArray(buffer, n));
            } else if (outcome.standardError.size() < (1 << 16)) {
                outcome.standardError.append(buffer, n);
            }
        }
    }
    for (pollfd& p : fds)
        if (p.fd >= 0) ::close(p.fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (WIFSIGNALED(status))
        outcome.why = QStringLiteral("%1 was ended by signal %2").arg(program).arg(WTERMSIG(status));
    return outcome;
}

}  // namespace zarvik::propagation
