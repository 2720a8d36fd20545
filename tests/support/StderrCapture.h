#pragma once

#include <QByteArray>
#include <QList>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace talvorine::test {

// Takes the process's standard error descriptor into a file while it lives, so that a test sees
// what libraries write straight to the descriptor, past Qt's message handler. The test's own log
// goes to standard output and is not taken.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        char name[] = "/tmp/talvorine-stderr-XXXXXX";
        file_ = ::mkstemp(name);
        ::unlink(name);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(file_, STDERR_FILENO);
    }
    ~StderrCapture()
    {
        restore();
        ::close(file_);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Gives standard error back and returns the lines written meanwhile, without line feeds.
    QList<QByteArray> finish()
    {
        restore();
        QByteArray text;
        char buffer[4096];
        ::lseek(file_, 0, SEEK_SET);
        for (ssize_t n; (n = ::read(file_, buffer, sizeof buffer)) > 0;)
            text.append(buffer, qsizetype(n));
        QList<QByteArray> lines = text.split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }

    int file_ = -1;
    int saved_ = -1;
};

} // namespace talvorine::test
