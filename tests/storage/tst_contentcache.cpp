#include "storage/ContentCache.h"
#include "storage/Saturating.h"
#include "web/ApplicationPackageCache.h"

#include "tests/storage/FsyncRecorder.h"
#include "tests/support/TestFiles.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <limits>
#include <optional>
#include <thread>

using namespace talvorine;
namespace tf = talvorine::testfiles;

namespace {

QByteArray pattern(qint64 size, char seed = 'a')
{
    QByteArray bytes;
    bytes.resize(size);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char(seed + (i * 7 + i / 251) % 26);
    return bytes;
}

// Commits bytes through the cache itself and returns the object path.
QString commit(ContentCache& cache, const QByteArray& bytes)
{
    QBuffer source;
    source.setData(bytes);
    source.open(QIODevice::ReadOnly);
    QString error;
    const auto path = cache.commitVerified(source, tf::sha(bytes), bytes.size(), &error, nullptr);
    return path.value_or(QString());
}

// A source that raises a cancel flag or fails a read once it has served a number of chunks.
class FaultySource : public QBuffer {
public:
    FaultySource(QByteArray bytes, int goodReads, bool failRead, std::atomic<bool>* flag)
        : m_goodReads(goodReads), m_failRead(failRead), m_flag(flag)
    {
        setData(bytes);
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (m_reads++ == m_goodReads) {
            if (m_failRead)
                return -1;
            m_flag->store(true);
        }
        return QBuffer::readData(data, maxSize);
    }

private:
    int m_reads = 0;
    int m_goodReads;
    bool m_failRead;
    std::atomic<bool>* m_flag;
};

} // namespace

class TestContentCache : public QObject {
    Q_OBJECT

private slots:
    void init();

    // File identity and digest.
    void identity_data();
    void identity();
    void identityEqualityIgnoresValidity();
    void digest_data();
    void digest();
    void digestOfFailingDevice();

    // Partial downloads.
    void resumeOffset_data();
    void resumeOffset();
    void appendPartial_data();
    void appendPartial();
    void appendNeverFollowsLink();
    void commitPartial_data();
    void commitPartial();
    void resetPartial_data();
    void resetPartial();
    void discardExpiredPartials_data();
    void discardExpiredPartials();

    // Verified commits and look-ups.
    void commitVerified_data();
    void commitVerified();
    void commitStopsMidway_data();
    void commitStopsMidway();
    void commitOfPresentObjectDoesNotCopy();
    void commitReplacesTamperedObject();
    void readyPathRefuses_data();
    void readyPathRefuses();
    void readyPathRehashesChangedObject();
    void readyPathStampsAccessAtMostOncePerMinute();
    void readyPathStampsWithoutSyncing();
    void commitSyncsTheObjectReadOnly();
    void deletionsAreSynced_data();
    void deletionsAreSynced();
    void readyPathWhileAnotherThreadWorks();
    void remove_data();
    void remove();

    // Pruning.
    void prune_data();
    void prune();
    void pruneMeasuresTheVolume_data();
    void pruneMeasuresTheVolume();
    void failuresOnFilesThatCannotChange_data();
    void failuresOnFilesThatCannotChange();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString root() const { return m_dir->filePath(QStringLiteral("content-cache")); }
};

void TestContentCache::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestContentCache::identity_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("valid");
    QTest::newRow("regular file") << "file" << true;
    QTest::newRow("symlink to a regular file") << "link" << false;
    QTest::newRow("dangling symlink") << "dangling" << false;
    QTest::newRow("directory") << "dir" << false;
    QTest::newRow("missing") << "missing" << false;
}

void TestContentCache::identity()
{
    QFETCH(QString, kind);
    QFETCH(bool, valid);
    const QString file = m_dir->filePath("file");
    QVERIFY(tf::write(file, "hello"));
    QString path = m_dir->filePath("subject");
    if (kind == "file")
        path = file;
    else if (kind == "link")
        QVERIFY(tf::symlinkTo(file, path));
    else if (kind == "dangling")
        QVERIFY(tf::symlinkTo(m_dir->filePath("nowhere"), path));
    else if (kind == "dir")
        QVERIFY(QDir().mkpath(path));

    const VerifiedFileIdentity id = VerifiedFileIdentity::path(path);
    QCOMPARE(id.valid, valid);
    if (valid) {
        QCOMPARE(id.size, qint64(5));
        QFile opened(path);
        QVERIFY(opened.open(QIODevice::ReadOnly));
        const VerifiedFileIdentity fromFd = VerifiedFileIdentity::descriptor(opened.handle());
        QVERIFY(fromFd.valid);
        QVERIFY(fromFd == id);
    }
}

void TestContentCache::identityEqualityIgnoresValidity()
{
    const QString file = m_dir->filePath("file");
    QVERIFY(tf::write(file, "hello"));
    VerifiedFileIdentity a = VerifiedFileIdentity::path(file);
    VerifiedFileIdentity b = a;
    b.valid = false;
    QVERIFY(a == b);
    // A rewrite of the same size still changes the identity (times, possibly inode).
    QTest::qSleep(15);
    QVERIFY(tf::write(file, "jello"));
    QVERIFY(!(VerifiedFileIdentity::path(file) == a));
    b = a;
    b.mode ^= 0200;
    QVERIFY(!(a == b));
}

void TestContentCache::digest_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("startAt");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty device is the digest of nothing")
        << QByteArray() << qint64(0) << false
        << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    QTest::newRow("abc") << QByteArray("abc") << qint64(0) << false
                         << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    const QByteArray large = pattern(2 * ContentCache::chunkBytes + 17);
    QTest::newRow("several chunks") << large << qint64(0) << false << tf::sha(large);
    QTest::newRow("exact chunk") << large.left(ContentCache::chunkBytes) << qint64(0) << false
                                 << tf::sha(large.left(ContentCache::chunkBytes));
    QTest::newRow("from the current position")
        << QByteArray("xxabc") << qint64(2) << false
        << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    QTest::newRow("flag set before the call") << QByteArray("abc") << qint64(0) << true << QString();
    QTest::newRow("flag set, empty device") << QByteArray() << qint64(0) << true << QString();
}

void TestContentCache::digest()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, startAt);
    QFETCH(bool, cancelled);
    QFETCH(QString, expected);
    QBuffer buffer(&content);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QVERIFY(buffer.seek(startAt));
    const std::atomic<bool> flag(cancelled);
    const std::optional<QString> digest = fileDigest(buffer, &flag);
    QCOMPARE(digest.has_value(), !expected.isEmpty());
    if (digest)
        QCOMPARE(*digest, expected);
}

void TestContentCache::digestOfFailingDevice()
{
    std::atomic<bool> unused(false);
    FaultySource failing(pattern(3 * ContentCache::chunkBytes), 1, true, &unused);
    QVERIFY(failing.open(QIODevice::ReadOnly));
    QVERIFY(!fileDigest(failing, nullptr));
    // A flag raised between chunks stops the digest too.
    std::atomic<bool> flag(false);
    FaultySource raising(pattern(3 * ContentCache::chunkBytes), 1, false, &flag);
    QVERIFY(raising.open(QIODevice::ReadOnly));
    QVERIFY(!fileDigest(raising, &flag));
}

void TestContentCache::resumeOffset_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("partialSize");
    QTest::addColumn<qint64>("ageMs");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<bool>("kept");
    const qint64 day = 86400000;
    QTest::newRow("fresh and smaller") << "file" << qint64(10) << qint64(0) << qint64(20)
                                       << qint64(10) << true;
    QTest::newRow("six days old") << "file" << qint64(10) << 6 * day << qint64(20) << qint64(10)
                                  << true;
    QTest::newRow("stale") << "file" << qint64(10) << 7 * day + 60000 << qint64(20) << qint64(0)
                           << false;
    QTest::newRow("empty") << "file" << qint64(0) << qint64(0) << qint64(20) << qint64(0) << false;
    QTest::newRow("full size") << "file" << qint64(20) << qint64(0) << qint64(20) << qint64(0)
                               << false;
    QTest::newRow("oversized") << "file" << qint64(21) << qint64(0) << qint64(20) << qint64(0)
                               << false;
    QTest::newRow("symlink") << "link" << qint64(10) << qint64(0) << qint64(20) << qint64(0)
                             << false;
    QTest::newRow("dangling symlink") << "dangling" << qint64(0) << qint64(0) << qint64(20)
                                      << qint64(0) << false;
    QTest::newRow("directory") << "dir" << qint64(0) << qint64(0) << qint64(20) << qint64(0)
                               << false;
    QTest::newRow("nothing there") << "none" << qint64(0) << qint64(0) << qint64(20) << qint64(0)
                                   << false;
    QTest::newRow("zero declared size deletes nothing")
        << "file" << qint64(10) << qint64(0) << qint64(0) << qint64(0) << true;
}

void TestContentCache::resumeOffset()
{
    QFETCH(QString, kind);
    QFETCH(qint64, partialSize);
    QFETCH(qint64, ageMs);
    QFETCH(qint64, expectedSize);
    QFETCH(qint64, offset);
    QFETCH(bool, kept);
    ContentCache cache(root());
    const QString digest = tf::sha("object");
    const QString partial = cache.partialPath(digest);
    QVERIFY(QDir().mkpath(QFileInfo(partial).absolutePath()));
    const QString outside = m_dir->filePath("outside");
    QVERIFY(tf::write(outside, pattern(partialSize)));
    if (kind == "file")
        QVERIFY(tf::write(partial, pattern(partialSize)));
    else if (kind == "link")
        QVERIFY(tf::symlinkTo(outside, partial));
    else if (kind == "dangling")
        QVERIFY(tf::symlinkTo(m_dir->filePath("nowhere"), partial));
    else if (kind == "dir")
        QVERIFY(QDir().mkpath(partial + "/inner"));
    if (ageMs > 0)
        QVERIFY(tf::setMtimeMs(partial, QDateTime::currentMSecsSinceEpoch() - ageMs));

    QCOMPARE(cache.resumeOffset(digest, expectedSize), offset);
    // An invalid declaration never deletes anything; otherwise what is unusable is gone.
    QCOMPARE(tf::exists(partial), kept);
    // A link is removed itself; what it pointed at is untouched.
    QCOMPARE(tf::read(outside), pattern(partialSize));
}

void TestContentCache::appendPartial_data()
{
    QTest::addColumn<QString>("digest");
    QTest::addColumn<qint64>("expectedTotal");
    QTest::addColumn<QByteArray>("existing");
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QByteArray>("after");
    const QString good = tf::sha("object");
    QTest::newRow("creates") << good << qint64(6) << QByteArray() << QByteArray("obj") << true
                             << QString() << QByteArray("obj");
    QTest::newRow("appends up to the total") << good << qint64(6) << QByteArray("obj")
                                             << QByteArray("ect") << true << QString()
                                             << QByteArray("object");
    QTest::newRow("one byte past the total writes nothing")
        << good << qint64(6) << QByteArray("obj") << QByteArray("ectX") << false
        << "cache_write_failed" << QByteArray("obj");
    QTest::newRow("a first chunk larger than the total") << good << qint64(2) << QByteArray()
                                                         << QByteArray("obj") << false
                                                         << "cache_write_failed" << QByteArray();
    QTest::newRow("uppercase digest") << good.toUpper() << qint64(6) << QByteArray()
                                      << QByteArray("obj") << false << "cache_declaration_invalid"
                                      << QByteArray();
    QTest::newRow("digest with a trailing line feed")
        << good + "\n" << qint64(6) << QByteArray() << QByteArray("obj") << false
        << "cache_declaration_invalid" << QByteArray();
    QTest::newRow("zero total") << good << qint64(0) << QByteArray() << QByteArray() << false
                                << "cache_declaration_invalid" << QByteArray();
}

void TestContentCache::appendPartial()
{
    QFETCH(QString, digest);
    QFETCH(qint64, expectedTotal);
    QFETCH(QByteArray, existing);
    QFETCH(QByteArray, chunk);
    QFETCH(bool, ok);
    QFETCH(QString, error);
    QFETCH(QByteArray, after);
    ContentCache cache(root());
    const QString partial = cache.partialPath(tf::sha("object"));
    if (!existing.isEmpty()) {
        QVERIFY(QDir().mkpath(QFileInfo(partial).absolutePath()));
        QVERIFY(tf::write(partial, existing));
    }
    const std::shared_ptr<PartialDownload> download =
        cache.openPartial(digest, expectedTotal, ContentCache::PartialStart::Resume, nullptr);
    QCOMPARE(download->append(chunk), ok);
    QCOMPARE(download->error(), error);
    QCOMPARE(tf::read(partial), after);
    if (ok) {
        QCOMPARE(download->size(), qint64(after.size()));
        QCOMPARE(tf::modeOf(partial), 0600);
        QCOMPARE(tf::modeOf(QFileInfo(partial).absolutePath()), 0700);
        QCOMPARE(tf::modeOf(root()), 0700);
    }
}

void TestContentCache::appendNeverFollowsLink()
{
    ContentCache cache(root());
    const QString digest = tf::sha("object");
    const QString partial = cache.partialPath(digest);
    QVERIFY(QDir().mkpath(QFileInfo(partial).absolutePath()));
    const QString victim = m_dir->filePath("victim");
    QVERIFY(tf::write(victim, "keep"));
    QVERIFY(tf::symlinkTo(victim, partial));
    // The link is no partial to resume: it goes, and the download starts a file of its own.
    const auto start = ContentCache::PartialStart::Resume;
    QVERIFY(cache.openPartial(digest, 100, start, nullptr)->append("evil"));
    QCOMPARE(tf::read(victim), QByteArray("keep"));
    QCOMPARE(tf::read(partial), QByteArray("evil"));

    // A file where the downloads directory belongs cannot be worked around.
    ContentCache blocked(m_dir->filePath("blocked"));
    QVERIFY(QDir().mkpath(blocked.root()));
    QVERIFY(tf::write(blocked.root() + "/downloads", "not a directory"));
    const std::shared_ptr<PartialDownload> refused = blocked.openPartial(digest, 100, start, nullptr);
    QVERIFY(!refused->append("x"));
    QCOMPARE(refused->error(), QStringLiteral("cache_directory_create_failed"));
}

// A download's own file becomes the object when its bytes, those it found on disk and those it
// appended, hash to the name: renamed, never copied or read back; anything else leaves no
// object, and the partial stays for the caller to judge.
void TestContentCache::commitPartial_data()
{
    QTest::addColumn<QByteArray>("planted"); // on disk before the download takes the file over
    QTest::addColumn<QString>("meddling");   // what happens to the file before the commit
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("error");
    const QByteArray content = pattern(5 * ContentCache::chunkBytes + 5);
    QByteArray wrongStart = content.left(1000);
    wrongStart[10] ^= 0x20;
    QTest::newRow("whole download") << QByteArray() << QString() << false << QString();
    QTest::newRow("whole download in one write") << QByteArray() << "batch" << false << QString();
    QTest::newRow("resumed over its own bytes") << content.left(1000) << QString() << false
                                                << QString();
    QTest::newRow("resumed over other bytes") << wrongStart << QString() << false
                                              << "cache_integrity_mismatch";
    // The origin sends the whole object where a range was asked: the bytes taken over go, and
    // with them what they added to the digest.
    QTest::newRow("resumed over other bytes, then sent whole") << wrongStart << "restarted" << false
                                                               << QString();
    QTest::newRow("other bytes left, not resumed") << wrongStart << "afresh" << false << QString();
    QTest::newRow("a byte short") << QByteArray() << "short" << false << "cache_integrity_mismatch";
    QTest::newRow("grown under the download") << QByteArray() << "grown" << false
                                              << "cache_integrity_mismatch";
    QTest::newRow("swapped under the download") << QByteArray() << "swapped" << false
                                                << "cache_open_failed";
    // Written into by someone else, whatever the size left: bytes the hash never saw.
    QTest::newRow("overwritten in place between appends") << QByteArray() << "overwritten" << false
                                                           << "cache_integrity_mismatch";
    QTest::newRow("truncated and rewritten, same size") << QByteArray() << "rewritten" << false
                                                        << "cache_integrity_mismatch";
    QTest::newRow("cancelled: no object and no error word") << QByteArray() << QString() << true
                                                            << QString();
}

void TestContentCache::commitPartial()
{
    QFETCH(QByteArray, planted);
    QFETCH(QString, meddling);
    QFETCH(bool, cancelled);
    QFETCH(QString, error);
    const QByteArray content = pattern(5 * ContentCache::chunkBytes + 5);
    const QString digest = tf::sha(content);
    ContentCache cache(root());
    const QString partial = cache.partialPath(digest);
    if (!planted.isEmpty()) {
        QVERIFY(QDir().mkpath(QFileInfo(partial).absolutePath()));
        QVERIFY(tf::write(partial, planted));
    }
    const bool afresh = meddling == "afresh";
    const std::shared_ptr<PartialDownload> download = cache.openPartial(
        digest, content.size(),
        afresh ? ContentCache::PartialStart::Afresh : ContentCache::PartialStart::Resume, nullptr);
    QCOMPARE(download->size(), afresh ? 0 : qint64(planted.size()));
    if (meddling == "restarted")
        QVERIFY(download->discard() && !tf::exists(partial));
    QByteArray other = content;
    other[0] = char(~other[0]);
    const qint64 taken = download->size();
    const QByteArray rest =
        content.mid(taken, meddling == "short" ? content.size() - taken - 1 : -1);
    QList<QByteArrayView> chunks;
    for (qint64 at = 0; at < rest.size(); at += ContentCache::chunkBytes)
        chunks.append(QByteArrayView(rest).sliced(at, std::min(ContentCache::chunkBytes,
                                                               rest.size() - at)));
    // Written together, as a download's reads that waited for one write are: hashed beside it.
    if (meddling == "batch")
        QVERIFY(download->append(chunks));
    else
        for (const QByteArrayView& chunk : chunks) {
            QVERIFY(download->append(chunk));
            if (meddling == "overwritten" && chunk.data() == rest.constData())
                QVERIFY(tf::overwriteLater(partial, 0, other.left(1)));
        }
    const ino_t inode = tf::inodeOf(partial);
    if (meddling == "rewritten") {
        QVERIFY(tf::overwriteLater(partial, 0, other, true));
    } else if (meddling == "grown") {
        QFile file(partial);
        QVERIFY(file.open(QIODevice::Append) && file.write("x") == 1);
    } else if (meddling == "swapped") {
        QVERIFY(QFile::remove(partial) && tf::write(partial, content));
    }

    const std::atomic<bool> flag(cancelled);
    const ContentCache::Commit commit = cache.commitPartial(*download, &flag);
    QCOMPARE(commit.error, error);
    const bool success = error.isEmpty() && !cancelled;
    QCOMPARE(commit.path.has_value(), success);
    const QString object = cache.objectPath(digest);
    QCOMPARE(tf::exists(object), success);
    QCOMPARE(tf::exists(partial), !success);
    // No temporary file beside the object, whatever happened.
    QCOMPARE(QDir(root() + "/objects").entryList(QDir::Files | QDir::Hidden | QDir::System).size(),
             success ? 1 : 0);
    if (success) {
        QCOMPARE(*commit.path, object);
        QCOMPARE(tf::inodeOf(object), inode);
        QCOMPARE(tf::read(object), content);
        QCOMPARE(tf::modeOf(object), 0400);
        QCOMPARE(cache.readyPath(digest, content.size(), nullptr), commit.path);
    }
}

void TestContentCache::resetPartial_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("result");
    QTest::newRow("partial present") << "present" << true;
    QTest::newRow("nothing there") << "absent" << true;
    QTest::newRow("symlink in its place") << "link" << true;
    QTest::newRow("invalid digest") << "invalid" << false;
}

void TestContentCache::resetPartial()
{
    QFETCH(QString, state);
    QFETCH(bool, result);
    ContentCache cache(root());
    const QString digest = tf::sha("object");
    const QString partial = cache.partialPath(digest);
    QVERIFY(QDir().mkpath(QFileInfo(partial).absolutePath()));
    const QString victim = m_dir->filePath("victim");
    QVERIFY(tf::write(victim, "keep"));
    if (state == "present" || state == "invalid")
        QVERIFY(tf::write(partial, "abc"));
    else if (state == "link")
        QVERIFY(tf::symlinkTo(victim, partial));
    QCOMPARE(cache.resetPartial(state == "invalid" ? digest.toUpper() : digest), result);
    QCOMPARE(tf::exists(partial), state == "invalid");
    QCOMPARE(tf::read(victim), QByteArray("keep"));
}

void TestContentCache::discardExpiredPartials_data()
{
    QTest::addColumn<qint64>("maxAgeMs");
    QTest::addColumn<QStringList>("expectedRemaining");
    const QStringList all{"fresh", "old", "link", "other"};
    QTest::newRow("seven days") << qint64(604800000) << QStringList{"fresh", "other"};
    QTest::newRow("negative age does nothing") << qint64(-1) << all;
    QTest::newRow("zero age discards every partial") << qint64(0) << QStringList{"other"};
}

void TestContentCache::discardExpiredPartials()
{
    QFETCH(qint64, maxAgeMs);
    QFETCH(QStringList, expectedRemaining);
    ContentCache cache(root());
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QHash<QString, QString> paths{
        {"fresh", cache.partialPath(tf::sha("fresh"))},
        {"old", cache.partialPath(tf::sha("old"))},
        {"link", cache.partialPath(tf::sha("link"))},
        {"other", root() + "/downloads/unrelated.partial"},
    };
    QVERIFY(QDir().mkpath(root() + "/downloads"));
    QVERIFY(tf::write(paths["fresh"], "f"));
    QVERIFY(tf::setMtimeMs(paths["fresh"], now - 60000));
    QVERIFY(tf::write(paths["old"], "o"));
    QVERIFY(tf::setMtimeMs(paths["old"], now - 8LL * 86400000));
    QVERIFY(tf::symlinkTo(paths["fresh"], paths["link"]));
    QVERIFY(tf::write(paths["other"], "u"));
    QVERIFY(tf::setMtimeMs(paths["other"], now - 30LL * 86400000));
    // Temporary files of commits: one abandoned by a crash, one still being written.
    QVERIFY(QDir().mkpath(root() + "/objects"));
    const QString abandoned = root() + "/objects/.commit-Ab12Cd";
    const QString live = root() + "/objects/.commit-Xy34Zw";
    QVERIFY(tf::write(abandoned, "half"));
    QVERIFY(tf::setMtimeMs(abandoned, now - ContentCache::abandonedCommitAgeMs - 1000));
    QVERIFY(tf::write(live, "half"));
    QVERIFY(QDir().mkpath(root() + "/access"));
    const QString abandonedStamp = root() + "/access/.stamp-Ab12Cd";
    const QString liveStamp = root() + "/access/.stamp-Xy34Zw";
    QVERIFY(tf::write(abandonedStamp, "17"));
    QVERIFY(tf::setMtimeMs(abandonedStamp, now - ContentCache::abandonedCommitAgeMs - 1000));
    QVERIFY(tf::write(liveStamp, "17"));

    cache.discardExpiredPartials(maxAgeMs);
    QStringList remaining;
    for (const QString name : {"fresh", "old", "link", "other"}) {
        if (tf::exists(paths[name]))
            remaining << name;
    }
    QCOMPARE(remaining, expectedRemaining);
    QCOMPARE(tf::exists(abandoned), maxAgeMs < 0);
    QVERIFY(tf::exists(live));
    QCOMPARE(tf::exists(abandonedStamp), maxAgeMs < 0);
    QVERIFY(tf::exists(liveStamp));
}

void TestContentCache::commitVerified_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QString>("digest");
    QTest::addColumn<qint64>("declared");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("error");
    const QByteArray content = pattern(5 * ContentCache::chunkBytes + 5);
    const QString digest = tf::sha(content);
    QByteArray corrupted = content;
    corrupted[qsizetype(ContentCache::chunkBytes + 3)] ^= 0x20;
    QTest::newRow("exact") << content << digest << qint64(content.size()) << false << QString();
    const QByteArray large = pattern(6 * ContentCache::chunkBytes + 1, 'k');
    QByteArray largeCorrupted = large;
    largeCorrupted[qsizetype(5 * ContentCache::chunkBytes)] ^= 0x01;
    QTest::newRow("large object") << large << tf::sha(large) << qint64(large.size()) << false
                                  << QString();
    QTest::newRow("large object, last chunk corrupted")
        << largeCorrupted << tf::sha(large) << qint64(large.size()) << false
        << "cache_integrity_mismatch";
    QTest::newRow("large object, one byte short")
        << large.chopped(1) << tf::sha(large) << qint64(large.size()) << false
        << "cache_integrity_mismatch";
    QTest::newRow("large object cancelled") << large << tf::sha(large) << qint64(large.size())
                                            << true << QString();
    QTest::newRow("empty object") << QByteArray() << tf::sha(QByteArray()) << qint64(0) << false
                                  << QString();
    QTest::newRow("one byte short") << content.chopped(1) << digest << qint64(content.size())
                                    << false << "cache_integrity_mismatch";
    QTest::newRow("one byte long") << content + "x" << digest << qint64(content.size()) << false
                                   << "cache_integrity_mismatch";
    QTest::newRow("corrupted byte") << corrupted << digest << qint64(content.size()) << false
                                    << "cache_integrity_mismatch";
    QTest::newRow("declared size differs from the digest's content")
        << content.chopped(1) << tf::sha(content.chopped(1)) << qint64(content.size()) << false
        << "cache_integrity_mismatch";
    QTest::newRow("invalid digest") << content << digest.left(63) << qint64(content.size())
                                    << false << "cache_declaration_invalid";
    QTest::newRow("negative size") << content << digest << qint64(-1) << false
                                   << "cache_declaration_invalid";
    QTest::newRow("huge declared size") << content << digest
                                        << std::numeric_limits<qint64>::max() << false
                                        << "cache_integrity_mismatch";
    QTest::newRow("cancelled: no object and no error word")
        << content << digest << qint64(content.size()) << true << QString();
}

void TestContentCache::commitVerified()
{
    QFETCH(QByteArray, source);
    QFETCH(QString, digest);
    QFETCH(qint64, declared);
    QFETCH(bool, cancelled);
    QFETCH(QString, error);
    ContentCache cache(root());
    // A leftover partial of the same object goes once the object is committed.
    QVERIFY(QDir().mkpath(root() + "/downloads"));
    const QString partial = cache.partialPath(digest);
    QVERIFY(tf::write(partial, "partial"));

    QBuffer buffer(&source);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    const std::atomic<bool> flag(cancelled);
    QString code;
    const std::optional<QString> path = cache.commitVerified(buffer, digest, declared, &code, &flag);
    QCOMPARE(code, error);
    const bool success = error.isEmpty() && !cancelled;
    QCOMPARE(path.has_value(), success);
    const QString object = cache.objectPath(digest);
    if (success) {
        QCOMPARE(*path, object);
        QCOMPARE(tf::read(object), source);
        QCOMPARE(tf::modeOf(object), 0400);
        QCOMPARE(tf::modeOf(root() + "/objects"), 0700);
        QCOMPARE(tf::modeOf(root()), 0700);
        QVERIFY(!tf::exists(partial));
        QVERIFY(tf::exists(cache.accessPath(digest)));
        QCOMPARE(cache.readyPath(digest, declared, nullptr), std::optional<QString>(object));
    } else {
        QVERIFY(!tf::exists(object));
        QVERIFY(tf::exists(partial));
    }
    // No temporary file survives, whatever happened.
    const QStringList leftovers =
        QDir(root() + "/objects").entryList(QDir::Files | QDir::Hidden | QDir::System);
    QCOMPARE(leftovers.size(), success ? 1 : 0);
}

void TestContentCache::commitStopsMidway_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("failRead");
    QTest::addColumn<QString>("error");
    QTest::newRow("cancelled during a large copy") << 8 * ContentCache::chunkBytes << false
                                                   << QString();
    QTest::newRow("cancelled during a small copy") << 3 * ContentCache::chunkBytes << false
                                                   << QString();
    QTest::newRow("source fails during a large copy") << 8 * ContentCache::chunkBytes << true
                                                      << "cache_write_failed";
    QTest::newRow("source fails during a small copy") << 3 * ContentCache::chunkBytes << true
                                                      << "cache_write_failed";
}

void TestContentCache::commitStopsMidway()
{
    QFETCH(qint64, size);
    QFETCH(bool, failRead);
    QFETCH(QString, error);
    ContentCache cache(root());
    const QByteArray content = pattern(size, 'm');
    std::atomic<bool> flag(false);
    FaultySource source(content, 2, failRead, &flag);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QString code;
    QVERIFY(!cache.commitVerified(source, tf::sha(content), size, &code, &flag));
    QCOMPARE(code, error);
    QVERIFY(!tf::exists(cache.objectPath(tf::sha(content))));
    QVERIFY(QDir(root() + "/objects").entryList(QDir::Files | QDir::Hidden).isEmpty());
    // Nothing is left half-done: the same object commits afterwards.
    QBuffer again;
    again.setData(content);
    QVERIFY(again.open(QIODevice::ReadOnly));
    QVERIFY(cache.commitVerified(again, tf::sha(content), size, &code, nullptr));
}

void TestContentCache::commitOfPresentObjectDoesNotCopy()
{
    ContentCache cache(root());
    const QByteArray content = pattern(1000);
    const QString object = commit(cache, content);
    QVERIFY(!object.isEmpty());
    // A fresh instance has no memo: it verifies the stored object and leaves the source unread.
    ContentCache fresh(root());
    QByteArray other = pattern(1000, 'b');
    QBuffer source(&other);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QString code;
    QCOMPARE(fresh.commitVerified(source, tf::sha(content), content.size(), &code, nullptr),
             std::optional<QString>(object));
    QCOMPARE(source.pos(), qint64(0));
    QCOMPARE(tf::read(object), content);
}

void TestContentCache::commitReplacesTamperedObject()
{
    ContentCache cache(root());
    const QByteArray content = pattern(4096);
    const QString object = commit(cache, content);
    QVERIFY(!object.isEmpty());
    QVERIFY(::chmod(QFile::encodeName(object).constData(), 0600) == 0);
    QVERIFY(tf::write(object, pattern(4096, 'c'), 0400));
    QVERIFY(!cache.readyPath(tf::sha(content), content.size(), nullptr));
    QCOMPARE(commit(cache, content), object);
    QCOMPARE(tf::read(object), content);
    QCOMPARE(tf::modeOf(object), 0400);
}

void TestContentCache::readyPathRefuses_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::newRow("content changed, same size") << "content";
    QTest::newRow("owner-writable") << "writable";
    QTest::newRow("replaced by a symlink to a good copy") << "symlink";
    QTest::newRow("wrong declared size") << "size";
    QTest::newRow("removed") << "removed";
    QTest::newRow("cancelled") << "cancelled";
    QTest::newRow("invalid digest") << "digest";
}

void TestContentCache::readyPathRefuses()
{
    QFETCH(QString, tamper);
    ContentCache cache(root());
    const QByteArray content = pattern(10000);
    QString digest = tf::sha(content);
    const QString object = commit(cache, content);
    QVERIFY(!object.isEmpty());
    QVERIFY(cache.readyPath(digest, content.size(), nullptr));
    qint64 size = content.size();
    const std::atomic<bool> cancelled(tamper == "cancelled");
    const QByteArray encodedObject = QFile::encodeName(object);
    if (tamper == "content") {
        QVERIFY(::chmod(encodedObject.constData(), 0600) == 0);
        QVERIFY(tf::write(object, pattern(10000, 'q'), 0400));
    } else if (tamper == "writable") {
        QVERIFY(::chmod(encodedObject.constData(), 0600) == 0);
    } else if (tamper == "symlink") {
        const QString copy = m_dir->filePath("copy");
        QVERIFY(tf::write(copy, content, 0400));
        QVERIFY(QFile::remove(object));
        QVERIFY(tf::symlinkTo(copy, object));
    } else if (tamper == "size") {
        size += 1;
    } else if (tamper == "removed") {
        QVERIFY(cache.remove(digest));
    } else if (tamper == "digest") {
        digest = digest.toUpper();
    }
    QVERIFY(!cache.readyPath(digest, size, &cancelled));
    // Refusal is final for this identity, also for a cache without a memo.
    ContentCache fresh(root());
    QVERIFY(!fresh.readyPath(digest, size, &cancelled));
}

void TestContentCache::readyPathRehashesChangedObject()
{
    ContentCache cache(root());
    const QByteArray content = pattern(5000);
    const QString digest = tf::sha(content);
    const QString object = commit(cache, content);
    QVERIFY(cache.readyPath(digest, content.size(), nullptr));
    // Rewritten with the same bytes: the identity changes, the rehash still matches.
    QVERIFY(::chmod(QFile::encodeName(object).constData(), 0600) == 0);
    QVERIFY(tf::write(object, content, 0400));
    QCOMPARE(cache.readyPath(digest, content.size(), nullptr), std::optional<QString>(object));
    // A rehash that is cancelled gives nothing, although the object is good.
    QVERIFY(::chmod(QFile::encodeName(object).constData(), 0600) == 0);
    QVERIFY(::chmod(QFile::encodeName(object).constData(), 0400) == 0);
    const std::atomic<bool> cancelled(true);
    QVERIFY(!cache.readyPath(digest, content.size(), &cancelled));
    QVERIFY(cache.readyPath(digest, content.size(), nullptr));
}

void TestContentCache::readyPathStampsAccessAtMostOncePerMinute()
{
    ContentCache cache(root());
    const QByteArray content = pattern(100);
    const QString digest = tf::sha(content);
    QVERIFY(!commit(cache, content).isEmpty());
    const QString stamp = cache.accessPath(digest);
    bool ok = false;
    const qint64 written = tf::read(stamp).toLongLong(&ok);
    QVERIFY(ok);
    QVERIFY(qAbs(written - QDateTime::currentMSecsSinceEpoch()) < 60000);
    QCOMPARE(tf::modeOf(stamp), 0600);
    QVERIFY(tf::write(stamp, "12345"));
    QVERIFY(cache.readyPath(digest, content.size(), nullptr));
    QCOMPARE(tf::read(stamp), QByteArray("12345"));
    // Another cache object over the same root has its own rate limit and writes.
    ContentCache other(root());
    QVERIFY(other.readyPath(digest, content.size(), nullptr));
    QVERIFY(tf::read(stamp) != QByteArray("12345"));
}

void TestContentCache::readyPathStampsWithoutSyncing()
{
    // A lost stamp only makes an object look older; a look-up never waits for the disk.
    const QByteArray content = pattern(100);
    const QString digest = tf::sha(content);
    {
        ContentCache cache(root());
        QVERIFY(!commit(cache, content).isEmpty());
    }
    ContentCache cache(root());
    const QString stamp = cache.accessPath(digest);
    QVERIFY(tf::write(stamp, "12345"));
    fsyncrecorder::clear();
    QVERIFY(cache.readyPath(digest, content.size(), nullptr));
    QCOMPARE(fsyncrecorder::taken().size(), 0);
    bool ok = false;
    const qint64 written = tf::read(stamp).toLongLong(&ok);
    QVERIFY(ok);
    QVERIFY(qAbs(written - QDateTime::currentMSecsSinceEpoch()) < 60000);
    QCOMPARE(tf::modeOf(stamp), 0600);
    QCOMPARE(QDir(root() + "/access").entryList(QDir::Files | QDir::Hidden), QStringList{digest});
}

void TestContentCache::commitSyncsTheObjectReadOnly()
{
    // Synced before the chmod, an object could come back writable after a power cut and be
    // fetched again.
    ContentCache cache(root());
    fsyncrecorder::clear();
    QVERIFY(!commit(cache, pattern(5000)).isEmpty());
    int objectSyncs = 0;
    for (const fsyncrecorder::Call& call : fsyncrecorder::taken()) {
        if (call.directory() || !call.path.contains("/objects/"))
            continue;
        ++objectSyncs;
        QCOMPARE(int(call.mode & 07777), 0400);
    }
    QCOMPARE(objectSyncs, 1);
}

void TestContentCache::deletionsAreSynced_data()
{
    QTest::addColumn<bool>("prune");
    QTest::newRow("remove") << false;
    QTest::newRow("prune") << true;
}

void TestContentCache::deletionsAreSynced()
{
    QFETCH(bool, prune);
    ContentCache cache(root());
    QStringList digests;
    for (char seed : {'a', 'b', 'c'}) {
        const QByteArray content = pattern(1000, seed);
        QVERIFY(!commit(cache, content).isEmpty());
        digests << tf::sha(content);
    }
    fsyncrecorder::clear();
    if (prune) {
        QString error;
        QVERIFY2(cache.prune(0, 0, {}, &error, nullptr, {}), qPrintable(error));
    } else {
        QVERIFY(cache.remove(digests.first()));
    }
    QVERIFY(!tf::exists(cache.objectPath(digests.first())));
    // Once per operation, however many objects went.
    int objectsDirectory = 0;
    for (const fsyncrecorder::Call& call : fsyncrecorder::taken())
        objectsDirectory += call.directory() && call.path.endsWith("/objects");
    QCOMPARE(objectsDirectory, 1);
}

void TestContentCache::readyPathWhileAnotherThreadWorks()
{
    // The GUI thread looks objects up while a queued job commits and removes on the same cache.
    ContentCache cache(root());
    std::vector<QByteArray> stable;
    for (int i = 0; i < 4; ++i) {
        stable.push_back(pattern(20000 + i, char('a' + i)));
        QVERIFY(!commit(cache, stable.back()).isEmpty());
    }
    const QByteArray churn = pattern(50000, 'x');
    std::atomic<bool> stop(false);
    std::atomic<int> churned(0);
    std::thread job([&] {
        while (!stop.load()) {
            commit(cache, churn);
            cache.remove(tf::sha(churn));
            ++churned;
        }
    });
    int failures = 0;
    for (int round = 0; round < 200; ++round) {
        for (const QByteArray& bytes : stable) {
            if (!cache.readyPath(tf::sha(bytes), bytes.size(), nullptr))
                ++failures;
        }
        // Either ready or absent, never a crash or a stale verdict on a removed object.
        const auto churnPath = cache.readyPath(tf::sha(churn), churn.size(), nullptr);
        if (churnPath)
            QVERIFY(churnPath->endsWith(tf::sha(churn)));
    }
    stop.store(true);
    job.join();
    QCOMPARE(failures, 0);
    QVERIFY(churned.load() > 0);
}

void TestContentCache::remove_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("result");
    QTest::newRow("committed object") << "object" << true;
    QTest::newRow("absent object") << "absent" << true;
    QTest::newRow("short name") << "invalid" << false;
}

void TestContentCache::remove()
{
    QFETCH(QString, state);
    QFETCH(bool, result);
    ContentCache cache(root());
    const QByteArray content = pattern(300);
    QString digest = tf::sha(content);
    if (state == "object")
        QVERIFY(!commit(cache, content).isEmpty());
    if (state == "invalid")
        digest.chop(1);
    QCOMPARE(cache.remove(digest), result);
    if (state != "invalid") {
        QVERIFY(!tf::exists(cache.objectPath(digest)));
        QVERIFY(!tf::exists(cache.accessPath(digest)));
        QVERIFY(!cache.readyPath(digest, content.size(), nullptr));
    }
}

void TestContentCache::prune_data()
{
    // Objects a..e of 1000 bytes each, last accessed at 1000 * their position; a partial "p"
    // of 500 bytes accessed at partialAt.
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<qint64>("minFree");
    QTest::addColumn<QString>("keep");
    QTest::addColumn<QString>("exempt");
    QTest::addColumn<qint64>("partialAt");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("remaining");
    const qint64 unlimited = std::numeric_limits<qint64>::max();
    QTest::newRow("within limits evicts nothing") << qint64(5500) << qint64(0) << "" << ""
                                                  << qint64(2500) << false << true << QString()
                                                  << "abcdep";
    QTest::newRow("negative limit") << qint64(-1) << qint64(0) << "" << "" << qint64(2500)
                                    << false << false << "content_cache_limits_invalid"
                                    << "abcdep";
    QTest::newRow("negative free space") << qint64(0) << qint64(-1) << "" << "" << qint64(2500)
                                         << false << false << "content_cache_limits_invalid"
                                         << "abcdep";
    QTest::newRow("objects and partials in one oldest-first order")
        << qint64(3000) << qint64(0) << "" << "" << qint64(2500) << false << true << QString()
        << "cde";
    QTest::newRow("a partial older than every object goes first")
        << qint64(5000) << qint64(0) << "" << "" << qint64(1) << false << true << QString()
        << "abcde";
    QTest::newRow("kept objects are never evicted")
        << qint64(0) << qint64(0) << "ab" << "" << qint64(2500) << false << false
        << "content_storage_insufficient" << "ab";
    QTest::newRow("kept partial stays") << qint64(1500) << qint64(0) << "p" << "" << qint64(1)
                                        << false << true << QString() << "ep";
    QTest::newRow("kept and exempt objects do not count")
        << qint64(1000) << qint64(0) << "ab" << "ab" << qint64(2500) << false << true << QString()
        << "abe";
    QTest::newRow("exempt alone changes nothing")
        << qint64(1000) << qint64(0) << "" << "ab" << qint64(2500) << false << true << QString()
        << "e";
    QTest::newRow("free space that cannot be reached") << unlimited << unlimited << "c" << ""
                                                       << qint64(2500) << false << false
                                                       << "content_storage_insufficient" << "c";
    QTest::newRow("cancelled: false without error word")
        << qint64(0) << qint64(0) << "" << "" << qint64(2500) << true << false << QString()
        << "abcdep";
}

void TestContentCache::prune()
{
    QFETCH(qint64, maxBytes);
    QFETCH(qint64, minFree);
    QFETCH(QString, keep);
    QFETCH(QString, exempt);
    QFETCH(qint64, partialAt);
    QFETCH(bool, cancelled);
    QFETCH(bool, ok);
    QFETCH(QString, error);
    QFETCH(QString, remaining);
    ContentCache cache(root());
    QHash<QChar, QString> digests;
    const QString letters = QStringLiteral("abcde");
    for (int i = 0; i < letters.size(); ++i) {
        const QByteArray content = pattern(1000, char('a' + i));
        digests.insert(letters[i], tf::sha(content));
        QVERIFY(!commit(cache, content).isEmpty());
        QVERIFY(tf::write(cache.accessPath(tf::sha(content)), QByteArray::number(1000 * (i + 1))));
    }
    // An object without a stamp falls back to its modification time: the oldest of all here.
    digests.insert('p', tf::sha("partial"));
    QVERIFY(QDir().mkpath(root() + "/downloads"));
    QVERIFY(tf::write(cache.partialPath(digests['p']), pattern(500)));
    QVERIFY(tf::setMtimeMs(cache.partialPath(digests['p']), partialAt));
    // Foreign names in the cache are neither counted nor touched.
    QVERIFY(tf::write(root() + "/objects/README", pattern(100000)));

    const auto setOf = [&](const QString& letters) {
        QSet<QString> set;
        for (QChar c : letters)
            set.insert(digests.value(c));
        return set;
    };
    const std::atomic<bool> flag(cancelled);
    QString code;
    QCOMPARE(cache.prune(maxBytes, minFree, setOf(keep), &code, &flag, setOf(exempt)), ok);
    QCOMPARE(code, error);
    QString left;
    for (QChar c : QStringLiteral("abcdep")) {
        const QString path =
            c == 'p' ? cache.partialPath(digests[c]) : cache.objectPath(digests[c]);
        if (tf::exists(path))
            left += c;
        else if (c != 'p')
            QVERIFY(!tf::exists(cache.accessPath(digests[c])));
    }
    QCOMPARE(left, remaining);
    QVERIFY(tf::exists(root() + "/objects/README"));
}

// Where Qt cannot place a cache on a volume (a root that is no mount point), the free space the
// prune must leave is still measured, on the cache's file system: a volume short of it is not
// taken for one with room. Three candidates of a GiB each (sparse partial downloads, nothing of
// them on the disk, in either cache's prune) against a floor 1.5 GiB above what the volume has
// free: the two oldest go.
void TestContentCache::pruneMeasuresTheVolume_data()
{
    QTest::addColumn<QString>("through"); // "content" or "package" cache's prune, or the measure
    QTest::addColumn<bool>("placedByQt");
    QTest::addColumn<QString>("name"); // of the measured directory, in the cache's root
    QTest::addColumn<QStringList>("evicted");
    for (const char* through : {"content", "package", "measure"}) {
        QTest::addRow("%s: placed by Qt", through)
            << through << true << "." << QStringList{"a", "b"};
        QTest::addRow("%s: Qt cannot place it", through)
            << through << false << "." << QStringList{"a", "b"};
    }
    QTest::newRow("nothing to measure: taken as room")
        << "measure" << false << "missing" << QStringList{};
}

void TestContentCache::pruneMeasuresTheVolume()
{
    QFETCH(QString, through);
    QFETCH(bool, placedByQt);
    QFETCH(QString, name);
    QFETCH(QStringList, evicted);
    QVERIFY(QDir().mkpath(root()));
    const QString directory = QDir(root()).filePath(name);
    const VolumeSpace volume =
        volumeSpaceOf(placedByQt ? QStorageInfo(directory) : QStorageInfo(), directory);
    constexpr qint64 gib = qint64(1) << 30;
    const qint64 floor = saturating::add(volume.available, gib + gib / 2);
    QStringList gone;
    if (through == "measure") {
        const PruneOutcome outcome = evictLeastRecentlyUsed(
            {{"c", gib, 3, false}, {"a", gib, 1, false}, {"b", gib, 2, false}}, 3 * gib,
            std::numeric_limits<qint64>::max(), floor, volume, nullptr,
            [&](const PruneCandidate& candidate) {
                gone.append(candidate.digest);
                return true;
            });
        QCOMPARE(outcome, PruneOutcome::Met);
        QCOMPARE(gone, evicted);
        return;
    }
    ContentCache content(root());
    ApplicationPackageCache packages(root());
    const auto placement = [placedByQt](const QString& path) {
        return placedByQt ? placedVolumeOf(path) : QStorageInfo();
    };
    content.placeVolumeWith(placement);
    packages.placeVolumeWith(placement);
    const auto partialOf = [&](QChar letter) {
        const QString digest(64, letter);
        return through == "content" ? content.partialPath(digest) : packages.partialPath(digest);
    };
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString oldestFirst = QStringLiteral("abc");
    for (const QChar letter : QStringLiteral("cab")) {
        QFile partial(partialOf(letter));
        QVERIFY(QDir().mkpath(QFileInfo(partial).absolutePath()));
        QVERIFY(partial.open(QIODevice::WriteOnly) && partial.resize(gib));
        partial.close();
        const qint64 age = 60000 * (3 - oldestFirst.indexOf(letter));
        QVERIFY(tf::setMtimeMs(partial.fileName(), now - age));
    }
    QString code;
    const qint64 limit = std::numeric_limits<qint64>::max();
    QVERIFY(through == "content" ? content.prune(limit, floor, {}, &code, nullptr, {})
                                 : packages.prune(limit, floor, {}, &code, nullptr, {}));
    for (const QChar letter : oldestFirst) {
        if (!tf::exists(partialOf(letter)))
            gone.append(letter);
    }
    QCOMPARE(gone, evicted);
}

void TestContentCache::failuresOnFilesThatCannotChange_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("errorNumber"); // of a write: EPERM by the file, others by the disk
    QTest::newRow("append to a partial that cannot change")
        << "append" << "cache_write_failed" << EPERM;
    QTest::newRow("append on a full volume") << "append" << "cache_write_failed" << ENOSPC;
    QTest::newRow("append on a read-only volume") << "append" << "cache_write_failed" << EROFS;
    QTest::newRow("append on a failing card") << "append" << "cache_write_failed" << EIO;
    QTest::newRow("commit into an objects directory that cannot change")
        << "commit" << "cache_open_failed" << 0;
    QTest::newRow("prune an object that cannot be deleted") << "prune"
                                                            << "content_cache_prune_failed" << 0;
    QTest::newRow("remove an object that cannot be deleted") << "remove" << QString() << 0;
}

void TestContentCache::failuresOnFilesThatCannotChange()
{
    QFETCH(QString, operation);
    QFETCH(QString, error);
    QFETCH(int, errorNumber);
    ContentCache cache(root());
    const QByteArray content = pattern(2000);
    const QString digest = tf::sha(content);
    QString code;
    if (operation == "append") {
        QVERIFY(QDir().mkpath(root() + "/downloads"));
        QVERIFY(tf::write(cache.partialPath(digest), content.left(10)));
        std::optional<tf::Immutable> guard;
        if (errorNumber != EPERM)
            cache.failNextPartialWrite(errorNumber);
        else if (!guard.emplace(cache.partialPath(digest)).isSet())
            QSKIP("this file system has no immutable flag");
        const std::shared_ptr<PartialDownload> download =
            cache.openPartial(digest, 4000, ContentCache::PartialStart::Resume, nullptr);
        QCOMPARE(download->size(), qint64(10));
        QVERIFY(!download->append(content.mid(10, 10)));
        QCOMPARE(download->error(), error);
        QCOMPARE(download->writeErrno(), errorNumber);
        QCOMPARE(download->writeError(), qt_error_string(errorNumber));
        QCOMPARE(writeWantsRoom(errorNumber), errorNumber == ENOSPC);
        // The fault is spent: the next download writes.
        guard.reset();
        const std::shared_ptr<PartialDownload> next =
            cache.openPartial(digest, 4000, ContentCache::PartialStart::Resume, nullptr);
        QVERIFY(next->append(content.mid(10, 10)));
    } else if (operation == "commit") {
        QVERIFY(!commit(cache, pattern(10, 'z')).isEmpty());
        tf::Immutable guard(root() + "/objects");
        if (!guard.isSet())
            QSKIP("this file system has no immutable flag");
        QBuffer source;
        source.setData(content);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QVERIFY(!cache.commitVerified(source, digest, content.size(), &code, nullptr));
        QCOMPARE(code, error);
    } else {
        QVERIFY(!commit(cache, content).isEmpty());
        tf::Immutable guard(cache.objectPath(digest));
        if (!guard.isSet())
            QSKIP("this file system has no immutable flag");
        if (operation == "prune") {
            QVERIFY(!cache.prune(0, 0, {}, &code, nullptr, {}));
            QCOMPARE(code, error);
        } else {
            QVERIFY(!cache.remove(digest));
        }
        QVERIFY(tf::exists(cache.objectPath(digest)));
    }
}

QTEST_GUILESS_MAIN(TestContentCache)
#include "tst_contentcache.moc"
