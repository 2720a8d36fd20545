#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>

#include <cstdio>
#include <unistd.h>

namespace talvorine::test {

// The lines `work` writes to the standard error descriptor, which libraries write to straight,
// past Qt's message handler; the test's own log goes to standard output.
template <typename Work>
QList<QByteArray> stderrLinesOf(Work&& work)
{
    std::FILE* file = std::tmpfile();
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(file), STDERR_FILENO);
    work(); // a failed check returns from it early: standard error is given back all the same
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    QFile written;
    written.open(file, QIODevice::ReadOnly);
    QList<QByteArray> lines = written.seek(0) ? written.readAll().split('\n') : QList<QByteArray>();
    std::fclose(file);
    lines.removeAll(QByteArray());
    return lines;
}

} // namespace talvorine::test
