#include "toolrunner.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QVector>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

QStringList ToolResult::lines() const
{
    return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString toolPath(const QString &name)
{
    return QStringLiteral(QV_BINARY_DIR "/tools/%1/%1").arg(name);
}

namespace {

// Null-terminated pointers into texts that outlive them.
QVector<char *> pointersTo(QVector<QByteArray> &texts)
{
    QVector<char *> pointers;
    for (QByteArray &text : texts)
        pointers.append(text.data());
    pointers.append(nullptr);
    return pointers;
}

// Reads off what is there (fd non-blocking) into text; false once it is closed.
bool readAvailable(int fd, QByteArray *text)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            text->append(buffer, int(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return n < 0 && errno == EAGAIN;
    }
}

// Reads what child pid writes on out and err until it ends (then what is left in the
// pipes, which a process it started may still hold open) or the deadline passes. The
// exit status, or false at the deadline.
bool collect(pid_t pid, int outFd, int errFd, int timeoutMs, QByteArray *out, QByteArray *err, int *status)
{
    QElapsedTimer clock;
    clock.start();
    pollfd fds[2] = { { outFd, POLLIN, 0 }, { errFd, POLLIN, 0 } };
    QByteArray *into[2] = { out, err };
    for (pollfd &p : fds)
        ::fcntl(p.fd, F_SETFL, ::fcntl(p.fd, F_GETFL) | O_NONBLOCK);
    for (;;) {
        pid_t ended;
        while ((ended = ::waitpid(pid, status, WNOHANG)) < 0 && errno == EINTR) {
        }
        if (ended != 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd >= 0)
                    readAvailable(fds[i].fd, into[i]);
            }
            return ended == pid;
        }
        if (clock.elapsed() >= timeoutMs)
            return false;
        // Short slices: a child's end is seen by waitpid, not by the pipes.
        if (::poll(fds, 2, 20) < 0 && errno != EINTR)
            return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents && !readAvailable(fds[i].fd, into[i]))
                fds[i].fd = -1;
        }
    }
}

} // namespace

// fork() and exec rather than QProcess: Qt 6 starts children with a clone that shares
// this process's memory until exec, which ThreadSanitizer takes for a fork of this
// process, after which it stops checking it and refuses new threads.
ToolResult runProgram(const QString &program, const QStringList &args, const QString &workDir,
                      int timeoutMs, const QProcessEnvironment &env)
{
    ToolResult r;
    QProcessEnvironment e = env.isEmpty() ? QProcessEnvironment::systemEnvironment() : env;
    e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Everything the child needs is made before the fork: it may only call what is
    // safe after forking a threaded process.
    QVector<QByteArray> argTexts{ program.toLocal8Bit() };
    for (const QString &arg : args)
        argTexts.append(arg.toLocal8Bit());
    QVector<QByteArray> envTexts;
    for (const QString &entry : e.toStringList())
        envTexts.append(entry.toLocal8Bit());
    QVector<char *> argv = pointersTo(argTexts), envp = pointersTo(envTexts);
    const QByteArray dir = workDir.toLocal8Bit();

    int outPipe[2], errPipe[2], execPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return r;
    if (::pipe2(errPipe, O_CLOEXEC) != 0 || ::pipe2(execPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return r;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int input = ::open("/dev/null", O_RDONLY);
        if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(outPipe[1], 1) < 0 || ::dup2(errPipe[1], 2) < 0
            || (!dir.isEmpty() && ::chdir(dir.constData()) != 0)) {
            const int error = errno;
            (void)!::write(execPipe[1], &error, sizeof error);
            ::_exit(127);
        }
        ::execvpe(argv[0], argv.data(), envp.data());
        const int error = errno;
        (void)!::write(execPipe[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ::close(execPipe[1]);
    int execError = 0;
    r.started = pid > 0 && ::read(execPipe[0], &execError, sizeof execError) == 0;
    ::close(execPipe[0]);
    int status = 0;
    if (r.started)
        r.finished = collect(pid, outPipe[0], errPipe[0], timeoutMs, &r.out, &r.err, &status);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    if (pid > 0 && !r.finished) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    r.exitCode = r.finished && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}
