// Running a helper program without a shell: fork and exec of an argument vector, its
// output read through two pipes until both close.
#include "zarvik/process/process.h"

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

namespace zarvik::process {
namespace {

QString SystemReason() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The argument vector, made before the fork: after it, only calls that are safe in a
// child of a threaded process run.
class Arguments {
public:
    Arguments(const QString& path, const QStringList& arguments) {
        m_storage.push_back(QFile::encodeName(path));
        for (const QString& a : arguments) m_storage.push_back(a.toLocal8Bit());
        for (QByteArray& a : m_storage) m_argv.push_back(a.data());
        m_argv.push_back(nullptr);
    }
    char** Argv() { return m_argv.data(); }

private:
    std::vector<QByteArray> m_storage;
    std::vector<char*> m_argv;
};

// The child's side: standard input from /dev/null, output and error into the pipes,
// and death with the thread that forked it (checked once more after the request, in
// case that thread ended before it).
[[noreturn]] void BecomeProgram(char** argv, int devNull, int out, int err, pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    if (devNull >= 0) ::dup2(devNull, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execv(argv[0], argv);
    const char message[] = "cannot run the program\n";
    [[maybe_unused]] const ssize_t ignored = ::write(2, message, sizeof message - 1);
    ::_exit(127);
}

// Forks the child; returns its pid, or -1 with errno set. out and err receive the
// reading ends of its standard output and error.
pid_t Start(char** argv, int* out, int* err) {
    int o[2] = {-1, -1};
    int e[2] = {-1, -1};
    if (::pipe2(o, O_CLOEXEC) != 0 || ::pipe2(e, O_CLOEXEC) != 0) {
        const int saved = errno;
        for (int fd : {o[0], o[1], e[0], e[1]})
            if (fd >= 0) ::close(fd);
        errno = saved;
        return -1;
    }
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) BecomeProgram(argv, devNull, o[1], e[1], parent);
    const int saved = errno;
    for (int fd : {devNull, o[1], e[1]})
        if (fd >= 0) ::close(fd);
    *out = o[0];
    *err = e[0];
    if (pid < 0) {
        ::close(o[0]);
        ::close(e[0]);
    }
    errno = saved;
    return pid;
}

// Reads both pipes until they close. Output goes to the sink until it refuses a piece;
// then the child is killed, and what is left is read and dropped.
void Drain(pid_t pid, int out, int err, const OutputSink& onOutput, Outcome& outcome) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
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
            } else if (&p == &fds[1]) {
                const qsizetype room = kStandardErrorBytes - outcome.standardError.size();
                outcome.standardError.append(buffer, qMin(qsizetype(n), room));
            } else if (!outcome.refused && onOutput && !onOutput(QByteArray(buffer, n))) {
                outcome.refused = true;
                ::kill(pid, SIGKILL);
            }
        }
    }
    for (pollfd& p : fds)
        if (p.fd >= 0) ::close(p.fd);
}

}  // namespace

Outcome Run(const QString& program, const QStringList& arguments, const OutputSink& onOutput) {
    Outcome outcome;
    const QString path = QStandardPaths::findExecutable(program);
    if (path.isEmpty()) {
        outcome.why = QStringLiteral("%1 is not installed (not found on PATH)").arg(program);
        return outcome;
    }
    Arguments argv(path, arguments);
    int out = -1;
    int err = -1;
    const pid_t pid = Start(argv.Argv(), &out, &err);
    if (pid < 0) {
        outcome.why = QStringLiteral("cannot start %1: %2").arg(program, SystemReason());
        return outcome;
    }
    outcome.started = true;
    Drain(pid, out, err, onOutput, outcome);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (outcome.refused)
        outcome.why = QStringLiteral("%1 was stopped: its output was refused").arg(program);
    else if (WIFSIGNALED(status))
        outcome.why = QStringLiteral("%1 was ended by signal %2").arg(program).arg(WTERMSIG(status));
    return outcome;
}

}  // namespace zarvik::process
