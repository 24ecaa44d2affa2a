// Running a program as a shell does: posix_spawn, pipes for its output, standard input from /dev/null.
// Not QProcess: under ThreadSanitizer, Qt's way of starting a process leaves the test process unable to
// start threads afterwards (a virtual unit's restart starts one).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

struct ProgramOutput {
    int status = -1; // the exit status; -1 when it ended by a signal or did not start
    QString out;
    QString err;
};

class RunningProgram {
public:
    RunningProgram(const QString& program, const QStringList& arguments, const QString& folder = {}) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        const QByteArray where = folder.toLocal8Bit();
        if (!folder.isEmpty())
            posix_spawn_file_actions_addchdir_np(&actions, where.constData());
        std::vector<std::string> words{program.toStdString()};
        for (const QString& a : arguments)
            words.push_back(a.toStdString());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~RunningProgram() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            (void)finish();
        }
        for (int fd : {out_, err_})
            if (fd >= 0)
                ::close(fd);
    }
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    // The next line of standard output, waiting for it at most `limit`; none at its end or the limit.
    std::optional<QByteArray> read_line(std::chrono::milliseconds limit) {
        for (;;) {
            if (const qsizetype nl = out_text_.indexOf('\n'); nl >= 0) {
                QByteArray line = out_text_.left(nl + 1);
                out_text_.remove(0, nl + 1);
                return line;
            }
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0 || !take(out_, out_text_))
                return std::nullopt;
        }
    }
    pid_t pid() const { return pid_; }
    void signal(int sig) {
        if (pid_ > 0)
            ::kill(pid_, sig);
    }
    // Reads the rest of both outputs and waits for the end.
    ProgramOutput finish() {
        ProgramOutput r;
        if (pid_ <= 0)
            return r;
        bool out_open = true, err_open = true;
        while (out_open || err_open) {
            pollfd p[2] = {{out_open ? out_ : -1, POLLIN, 0}, {err_open ? err_ : -1, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0)
                break;
            if (p[0].revents != 0)
                out_open = take(out_, out_text_);
            if (p[1].revents != 0)
                err_open = take(err_, err_text_);
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = QString::fromUtf8(out_text_);
        r.err = QString::fromUtf8(err_text_);
        return r;
    }

private:
    static bool take(int fd, QByteArray& into) {
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            into.append(buffer, n);
        return n > 0;
    }
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    QByteArray out_text_;
    QByteArray err_text_;
};

inline ProgramOutput run_program(const QString& program, const QStringList& arguments) {
    RunningProgram p(program, arguments);
    return p.finish();
}
