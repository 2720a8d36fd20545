#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>

#include <cstdio>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
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

// The writes `work` makes to the standard error descriptor while JOURNAL_STREAM names it, as a
// service manager names the journal's stream: one record per write, which a packet socket keeps
// apart, so that a line written in pieces comes back in pieces.
template <typename Work>
QList<QByteArray> journalRecordsOf(Work&& work)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return {};
    QList<QByteArray> records;
    std::thread reader([&records, end = ends[1]] { // as `work` writes: a full buffer stops it
        char record[65536];
        for (ssize_t size = 0; (size = ::recv(end, record, sizeof record, 0)) > 0;)
            records.append(QByteArray(record, qsizetype(size)));
    });
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(ends[0], STDERR_FILENO);
    ::close(ends[0]);
    struct stat stream {};
    ::fstat(STDERR_FILENO, &stream);
    const QByteArray before = qgetenv("JOURNAL_STREAM");
    qputenv("JOURNAL_STREAM",
            QByteArray::number(stream.st_dev) + ':' + QByteArray::number(stream.st_ino));
    work(); // a failed check returns from it early: the stream is given back all the same
    before.isNull() ? qunsetenv("JOURNAL_STREAM") : qputenv("JOURNAL_STREAM", before);
    ::dup2(saved, STDERR_FILENO); // its last writing end gone, the reader comes to the end
    ::close(saved);
    reader.join();
    ::close(ends[1]);
    return records;
}

} // namespace talvorine::test
