#include "web/ApplicationPackageCache.h"

#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WebPackageBuilder.h"

#include <QDateTime>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A child of this test ends before its n-th removal of a directory entry, as a power cut would
// end the player there; 0 lets every removal through.
std::atomic<int> removalsBeforeKill{0};
constexpr int killedExit = 77;

void maybeKilled()
{
    if (removalsBeforeKill.load() > 0 && removalsBeforeKill.fetch_sub(1) == 1)
        ::_exit(killedExit);
}

} // namespace

// Every way the cache and Qt remove a directory entry passes here first.
extern "C" int unlink(const char* path) noexcept
{
    maybeKilled();
    return int(::syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}
extern "C" int rmdir(const char* path) noexcept
{
    maybeKilled();
    return int(::syscall(SYS_unlinkat, AT_FDCWD, path, AT_REMOVEDIR));
}
extern "C" int unlinkat(int directory, const char* path, int flags) noexcept
{
    maybeKilled();
    return int(::syscall(SYS_unlinkat, directory, path, flags));
}

using namespace talvorine;
namespace tf = talvorine::testfiles;
using Cache = ApplicationPackageCache;

namespace {

constexpr qint64 int64Max = std::numeric_limits<qint64>::max();
const QString nfcName = QString("caf") + QChar(0xe9) + ".html";
const QString nfdName = nfcName.normalized(QString::NormalizationForm_D);

QByteArray content(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i % 23);
    return bytes;
}

// Bytes this process has read through read() so far: a file served from a memo reads none.
qint64 bytesRead()
{
    QFile io("/proc/self/io");
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar: "))
            return line.mid(7).toLongLong();
    }
    return -1;
}

// Reads of at most a proc file's size: no package file was read.
constexpr qint64 noContent = 1024;

ApplicationPackageDescriptor descriptor(qint64 compressed = 1000, qint64 expanded = 0,
                                        int files = 0, const QString& entry = "index.html")
{
    return {"rel_1", tf::sha("package"), compressed, expanded, files, entry};
}

QJsonObject metadataJson(const QString& digest, const QJsonArray& files, qint64 expanded,
                         int count)
{
    return {{"version", 2},           {"releaseId", "rel_1"},         {"sha256", digest},
            {"compressedBytes", 100}, {"expandedBytes", expanded},    {"fileCount", count},
            {"entrypoint", "index.html"}, {"lastAccessMs", qint64(1700000000000)}, {"files", files}};
}

QJsonObject fileJson(const QString& path, qint64 bytes, const QString& sha256)
{
    return {{"path", path}, {"bytes", bytes}, {"sha256", sha256}};
}

void chmodTree(const QString& directory, int mode)
{
    ::chmod(QFile::encodeName(directory).constData(), mode);
    QDirIterator it(directory, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        ::chmod(QFile::encodeName(it.next()).constData(), mode);
}

} // namespace

class TestApplicationPackageCache : public QObject {
    Q_OBJECT

private slots:
    void init();

    void validDescriptor_data();
    void validDescriptor();
    void safeRelativePath_data();
    void safeRelativePath();

    void resumeOffset_data();
    void resumeOffset();
    void appendPartial_data();
    void appendPartial();
    void discardExpiredPartials();
    void prune_data();
    void prune();
    void remove_data();
    void remove();
    void removalKilledAtEachUnlink();

    void metadataRoundTrip();
    void readMetadataRefuses_data();
    void readMetadataRefuses();
    void metadataMemo();

    void tamperedFilesAreRefused_data();
    void tamperedFilesAreRefused();
    void verifiedFileMemo();
    void verifiedFileMemoEvictsLeastRecentlyUsed();
    void readyEntrypoint_data();
    void readyEntrypoint();
    void stampFresh_data();
    void stampFresh();
    void accessStampAtMostOncePerMinute();

private:
    QString root() const { return dir_->filePath("application-cache"); }
    // A small package of three files (one in a directory, one named in NFC), and its install.
    static QByteArray samplePackage();
    ApplicationPackageDescriptor installSample();

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Cache> cache_;
};

void TestApplicationPackageCache::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    cache_ = std::make_unique<Cache>(root());
}

QByteArray TestApplicationPackageCache::samplePackage()
{
    return test::WebPackageBuilder()
        .file("index.html", content(70000, 'a'))
        .directory("assets")
        .file("assets/app.js", content(80000, 'b'))
        .file(nfcName, content(90000, 'c'))
        .package();
}

ApplicationPackageDescriptor TestApplicationPackageCache::installSample()
{
    const QByteArray package = samplePackage();
    const ApplicationPackageDescriptor descriptor = test::descriptorOf(package);
    QString error;
    if (!test::installPackage(*cache_, package, descriptor, &error))
        qWarning() << "sample package not installed:" << error;
    return descriptor;
}

void TestApplicationPackageCache::validDescriptor_data()
{
    QTest::addColumn<QString>("releaseId");
    QTest::addColumn<QString>("sha256");
    QTest::addColumn<qint64>("compressed");
    QTest::addColumn<qint64>("expanded");
    QTest::addColumn<int>("files");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("valid");
    const QString digest = tf::sha("x");
    const auto row = [&](const char* name, QString release, QString sha, qint64 compressed,
                         qint64 expanded, int files, QString entry, bool valid) {
        QTest::newRow(name) << release << sha << compressed << expanded << files << entry << valid;
    };
    row("every limit at its bound", "r", digest, 272629760, 262144000, 5000, "index.html", true);
    row("nothing declared", "r", digest, 1, 0, 0, "index.html", true);
    row("compressed one above", "r", digest, 272629761, 0, 0, "index.html", false);
    row("expanded one above", "r", digest, 1, 262144001, 0, "index.html", false);
    row("file count one above", "r", digest, 1, 0, 5001, "index.html", false);
    row("compressed 0", "r", digest, 0, 0, 0, "index.html", false);
    row("negative expanded", "r", digest, 1, -1, 0, "index.html", false);
    row("negative file count", "r", digest, 1, 0, -1, "index.html", false);
    row("empty release", "", digest, 1, 0, 0, "index.html", false);
    row("uppercase digest", "r", digest.toUpper(), 1, 0, 0, "index.html", false);
    row("digest with a line feed", "r", digest + "\n", 1, 0, 0, "index.html", false);
    row("entry in NFD", "r", digest, 1, 0, 0, nfdName, false);
    row("entry in NFC", "r", digest, 1, 0, 0, nfcName, true);
    row("entry of sixteen parts", "r", digest, 1, 0, 0, QString("a/").repeated(15) + "b", true);
}

void TestApplicationPackageCache::validDescriptor()
{
    QFETCH(QString, releaseId);
    QFETCH(QString, sha256);
    QFETCH(qint64, compressed);
    QFETCH(qint64, expanded);
    QFETCH(int, files);
    QFETCH(QString, entry);
    QFETCH(bool, valid);
    QCOMPARE(Cache::validDescriptor({releaseId, sha256, compressed, expanded, files, entry}), valid);
}

void TestApplicationPackageCache::safeRelativePath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("normalized"); // empty: refused
    QTest::newRow("plain") << "index.html" << "index.html";
    QTest::newRow("NFD becomes NFC") << nfdName << nfcName;
    QTest::newRow("case kept") << "App/Main.JS" << "App/Main.JS";
    QTest::newRow("dots inside a name") << "a..b/.hidden" << "a..b/.hidden";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("absolute") << "/etc/passwd" << "";
    QTest::newRow("inner backslash") << "a\\b" << "";
    QTest::newRow("drive prefix") << "c:x" << "";
    QTest::newRow("colon later") << "ab:c" << "ab:c";
    QTest::newRow("NUL") << QString("a") + QChar(0) + "b" << "";
    QTest::newRow("lone surrogate") << QString("a") + QChar(0xd800) << "";
    QTest::newRow("dot part") << "a/./b" << "";
    QTest::newRow("dot-dot part") << "a/../b" << "";
    QTest::newRow("trailing slash") << "dir/" << "";
    QTest::newRow("doubled slash") << "a//b" << "";
    QTest::newRow("trailing line feed") << "index.html\n" << "";
    QTest::newRow("tab") << "a\tb" << "";
    QTest::newRow("DEL") << "a\x7f" << "";
    QTest::newRow("C1 control is a character") << QString("a") + QChar(0x85) << QString("a") + QChar(0x85);
    QTest::newRow("16 parts") << QString("p/").repeated(15) + "q" << QString("p/").repeated(15) + "q";
    QTest::newRow("17 parts") << QString("p/").repeated(16) + "q" << "";
    const QString bytes255 = QString("x").repeated(253) + QChar(0xe9);
    QTest::newRow("255 UTF-8 bytes") << bytes255 << bytes255;
    QTest::newRow("256 UTF-8 bytes") << QString("x").repeated(254) + QChar(0xe9) << "";
    // The byte length is measured before normalisation: NFD is longer.
    QTest::newRow("255 bytes only in NFC")
        << QString("x").repeated(253) + QChar(u'e') + QChar(0x0301) << "";
}

void TestApplicationPackageCache::safeRelativePath()
{
    QFETCH(QString, path);
    QFETCH(QString, normalized);
    QString out = "untouched";
    QCOMPARE(Cache::safeRelativePath(path, &out), !normalized.isEmpty());
    QCOMPARE(out, normalized.isEmpty() ? QString("untouched") : normalized);
    QCOMPARE(Cache::safeRelativePath(path), !normalized.isEmpty());
}

void TestApplicationPackageCache::resumeOffset_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<bool>("kept");
    QTest::newRow("fresh and shorter") << "fresh" << qint64(400) << true;
    QTest::newRow("full size") << "full" << qint64(0) << false;
    QTest::newRow("empty") << "empty" << qint64(0) << false;
    QTest::newRow("older than seven days") << "old" << qint64(0) << false;
    QTest::newRow("link to a file") << "link" << qint64(0) << false;
    QTest::newRow("directory") << "directory" << qint64(0) << false;
    QTest::newRow("none") << "none" << qint64(0) << false;
}

void TestApplicationPackageCache::resumeOffset()
{
    QFETCH(QString, kind);
    QFETCH(qint64, offset);
    QFETCH(bool, kept);
    const ApplicationPackageDescriptor d = descriptor(1000);
    const QString partial = cache_->partialPath(d.sha256);
    const QString outside = dir_->filePath("outside.bin");
    QVERIFY(tf::write(outside, QByteArray(400, 'o')));
    if (kind == "fresh" || kind == "old")
        QVERIFY(tf::write(partial, QByteArray(400, 'p')));
    else if (kind == "full")
        QVERIFY(tf::write(partial, QByteArray(1000, 'p')));
    else if (kind == "empty")
        QVERIFY(tf::write(partial, {}));
    else if (kind == "link")
        QVERIFY(tf::symlinkTo(outside, partial));
    else if (kind == "directory")
        QVERIFY(QDir().mkpath(partial + "/inner"));
    if (kind == "old")
        QVERIFY(tf::setMtimeMs(partial, QDateTime::currentMSecsSinceEpoch() - 604800000 - 60000));

    QCOMPARE(cache_->resumeOffset(d), offset);
    QCOMPARE(tf::exists(partial), kept);
    QCOMPARE(tf::read(outside), QByteArray(400, 'o'));
    // An invalid descriptor never touches the disk.
    if (kept) {
        ApplicationPackageDescriptor invalid = d;
        invalid.releaseId.clear();
        QCOMPARE(cache_->resumeOffset(invalid), qint64(0));
        QVERIFY(tf::exists(partial));
    }
}

void TestApplicationPackageCache::appendPartial_data()
{
    QTest::addColumn<QString>("present");
    QTest::addColumn<int>("appended");
    QTest::addColumn<QString>("code");
    QTest::addColumn<qint64>("sizeAfter"); // -1: nothing at the path
    QTest::newRow("fills exactly") << "300 bytes" << 700 << QString() << qint64(1000);
    QTest::newRow("one byte over") << "300 bytes" << 701 << "package_partial_write_failed"
                                   << qint64(300);
    QTest::newRow("more than the package at once") << "nothing" << 1001
                                                   << "package_partial_write_failed" << qint64(-1);
    QTest::newRow("new partial") << "nothing" << 10 << QString() << qint64(10);
    // No partial to resume: it goes, and the download starts a file of its own.
    QTest::newRow("link in its place") << "link" << 10 << QString() << qint64(10);
    QTest::newRow("FIFO in its place") << "fifo" << 10 << QString() << qint64(10);
    QTest::newRow("invalid descriptor") << "invalid" << 10 << "package_descriptor_invalid"
                                        << qint64(-1);
}

void TestApplicationPackageCache::appendPartial()
{
    QFETCH(QString, present);
    QFETCH(int, appended);
    QFETCH(QString, code);
    QFETCH(qint64, sizeAfter);
    ApplicationPackageDescriptor d = descriptor(1000);
    const QString partial = cache_->partialPath(d.sha256);
    const QString outside = dir_->filePath("outside.bin");
    QVERIFY(tf::write(outside, "target"));
    if (present == "300 bytes")
        QVERIFY(tf::write(partial, QByteArray(300, 'p')));
    else if (present == "link")
        QVERIFY(tf::symlinkTo(outside, partial));
    else if (present == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(partial).constData(), 0600), 0);
    else if (present == "invalid")
        d.compressedBytes = 0;

    const std::shared_ptr<PartialDownload> download = cache_->openPartial(d);
    QCOMPARE(download->append(QByteArray(appended, 'n')), code.isEmpty());
    QCOMPARE(download->error(), code);
    QCOMPARE(tf::read(outside), QByteArray("target"));
    if (sizeAfter < 0) {
        QVERIFY(!tf::exists(partial));
        return;
    }
    QCOMPARE(QFileInfo(partial).size(), sizeAfter);
    QCOMPARE(tf::modeOf(partial), 0600);
    QCOMPARE(tf::modeOf(root() + "/partials"), 0700);
}

void TestApplicationPackageCache::discardExpiredPartials()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString partials = root() + "/partials/";
    const QString old = partials + tf::sha("old") + ".partial";
    const QString fresh = partials + tf::sha("fresh") + ".partial";
    const QString link = partials + tf::sha("link") + ".partial";
    const QString otherName = partials + "notes.partial";
    const QString directory = partials + tf::sha("dir") + ".partial";
    for (const QString& path : {old, fresh, otherName})
        QVERIFY(tf::write(path, "x"));
    QVERIFY(tf::symlinkTo(root() + "/objects", link));
    QVERIFY(QDir().mkpath(directory));
    for (const QString& path : {old, otherName, directory})
        QVERIFY(tf::setMtimeMs(path, now - 2 * 3600 * 1000));
    // Staging trees of a stopped installation, read-only like an installed tree; a recent one
    // may belong to an installation still running.
    const QString abandoned = root() + "/staging/package-Ab12Cd";
    const QString running = root() + "/staging/package-Xy34Zw";
    QVERIFY(QDir().mkpath(abandoned + "/a"));
    QVERIFY(tf::write(abandoned + "/a/b.js", "x"));
    QVERIFY(QDir().mkpath(running));
    chmodTree(abandoned, 0555);
    QVERIFY(tf::setMtimeMs(abandoned, now - 3600 * 1000));

    cache_->discardExpiredPartials(-1);
    QVERIFY(tf::exists(old) && !tf::exists(abandoned));
    cache_->discardExpiredPartials(3600 * 1000);
    QVERIFY(!tf::exists(old));
    QVERIFY(!tf::exists(link));
    QVERIFY(tf::exists(fresh));
    QVERIFY(tf::exists(otherName));
    QVERIFY(tf::exists(directory));
    QVERIFY(tf::exists(running));
    QVERIFY(tf::exists(root() + "/objects"));
}

void TestApplicationPackageCache::prune_data()
{
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<qint64>("minFreeBytes");
    QTest::addColumn<QStringList>("keep");
    QTest::addColumn<QStringList>("exempt");
    QTest::addColumn<bool>("partialIsOldest");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QStringList>("evicted");
    // Packages a (1000 bytes, oldest), b (2000), c (3000, newest) and one partial p (500).
    const QStringList none;
    QTest::newRow("limits met") << int64Max << qint64(0) << none << none << true << false
                                << QString() << none;
    QTest::newRow("negative budget") << qint64(-1) << qint64(0) << none << none << true << false
                                     << "package_cache_limits_invalid" << none;
    QTest::newRow("negative free space") << int64Max << qint64(-1) << none << none << true
                                         << false << "package_cache_limits_invalid" << none;
    QTest::newRow("oldest first, the partial before the packages")
        << qint64(6500 - 600) << qint64(0) << none << none << true << false << QString()
        << QStringList{"p", "a"};
    QTest::newRow("a new partial after the packages")
        << qint64(6500 - 600) << qint64(0) << none << none << false << false << QString()
        << QStringList{"a"};
    QTest::newRow("kept packages stay, the rest cannot make room")
        << int64Max << int64Max << QStringList{"b"} << none << true << false
        << "content_storage_insufficient" << QStringList{"p", "a", "c"};
    QTest::newRow("kept and exempt bytes widen the budget")
        << qint64(3500) << qint64(0) << QStringList{"c"} << QStringList{"c"} << true << false
        << QString() << none;
    QTest::newRow("kept but not exempt bytes still count")
        << qint64(3500) << qint64(0) << QStringList{"c"} << none << true << false << QString()
        << QStringList{"p", "a", "b"};
    QTest::newRow("exempt without keep is no protection")
        << qint64(3500) << qint64(0) << none << QStringList{"c"} << true << false << QString()
        << QStringList{"p", "a", "b"};
    QTest::newRow("cancelled") << qint64(0) << qint64(0) << none << none << true << true
                               << QString() << none;
}

void TestApplicationPackageCache::prune()
{
    QFETCH(qint64, maxBytes);
    QFETCH(qint64, minFreeBytes);
    QFETCH(QStringList, keep);
    QFETCH(QStringList, exempt);
    QFETCH(bool, partialIsOldest);
    QFETCH(bool, cancelled);
    QFETCH(QString, code);
    QFETCH(QStringList, evicted);

    QHash<QString, QString> digests;
    const QList<std::pair<QString, int>> packages{{"a", 1000}, {"b", 2000}, {"c", 3000}};
    for (const auto& [name, size] : packages) {
        const QByteArray package =
            test::WebPackageBuilder().file("index.html", QByteArray(size, name[0].toLatin1())).package();
        const ApplicationPackageDescriptor d = test::descriptorOf(package);
        QVERIFY(test::installPackage(*cache_, package, d));
        digests[name] = d.sha256;
        // Access stamps order the packages, whatever their installation times.
        QVERIFY(tf::write(root() + "/access/" + d.sha256, QByteArray::number(size * 1000)));
    }
    digests["p"] = tf::sha("partial");
    const QString partial = cache_->partialPath(digests["p"]);
    QVERIFY(tf::write(partial, QByteArray(500, 'p')));
    QVERIFY(tf::setMtimeMs(partial, partialIsOldest ? 500000 : QDateTime::currentMSecsSinceEpoch()));
    // A directory without valid metadata is neither counted nor evicted.
    const QString stray = cache_->objectDirectory(tf::sha("stray"));
    QVERIFY(QDir().mkpath(stray));

    QSet<QString> keepSet;
    QSet<QString> exemptSet;
    for (const QString& name : keep)
        keepSet.insert(digests[name]);
    for (const QString& name : exempt)
        exemptSet.insert(digests[name]);
    std::atomic<bool> flag = cancelled;
    QString error;
    QCOMPARE(cache_->prune(maxBytes, minFreeBytes, keepSet, &error, &flag, exemptSet),
             code.isEmpty() && !cancelled);
    QCOMPARE(error, code);
    for (const char* name : {"a", "b", "c"}) {
        QCOMPARE(tf::exists(cache_->objectDirectory(digests[name])), !evicted.contains(name));
        QCOMPARE(tf::exists(root() + "/access/" + digests[name]), !evicted.contains(name));
    }
    QCOMPARE(tf::exists(partial), !evicted.contains("p"));
    QVERIFY(tf::exists(stray));
}

void TestApplicationPackageCache::remove_data()
{
    QTest::addColumn<QString>("digest"); // "installed", "absent", "link" or a literal digest
    QTest::addColumn<bool>("result");
    QTest::newRow("installed read-only tree") << "installed" << true;
    QTest::newRow("nothing installed") << "absent" << true;
    QTest::newRow("a link in place of the tree") << "link" << true;
    QTest::newRow("uppercase digest") << "upper" << false;
    QTest::newRow("path as digest") << "../outside" << false;
}

void TestApplicationPackageCache::remove()
{
    QFETCH(QString, digest);
    QFETCH(bool, result);
    const ApplicationPackageDescriptor installed = installSample();
    QVERIFY(cache_->openPartial(installed)->append("abc"));
    const QString outside = dir_->filePath("outside");
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(tf::write(outside + "/keep.txt", "kept"));
    QString target = digest;
    if (digest == "installed")
        target = installed.sha256;
    else if (digest == "absent")
        target = tf::sha("absent");
    else if (digest == "link") {
        target = tf::sha("link");
        QVERIFY(tf::symlinkTo(outside, cache_->objectDirectory(target)));
    } else if (digest == "upper")
        target = installed.sha256.toUpper();

    QCOMPARE(cache_->remove(target), result);
    const bool removedInstalled = digest == "installed";
    QCOMPARE(tf::exists(cache_->objectDirectory(installed.sha256)), !removedInstalled);
    QCOMPARE(tf::exists(cache_->partialPath(installed.sha256)), !removedInstalled);
    QCOMPARE(tf::exists(root() + "/access/" + installed.sha256), !removedInstalled);
    QCOMPARE(cache_->isReady(installed), !removedInstalled);
    QVERIFY(!tf::exists(cache_->objectDirectory(tf::sha("link"))));
    QCOMPARE(tf::read(outside + "/keep.txt"), QByteArray("kept"));
}

// A removal (as a storage plan's eviction runs it) killed before any one of its unlinks: the
// package is whole or gone, never a tree that lost files, and after the next start's sweep it
// installs again and verifies.
void TestApplicationPackageCache::removalKilledAtEachUnlink()
{
    const QByteArray package = samplePackage();
    int killPoints = 0;
    for (bool killed = true; killed; ++killPoints) {
        const ApplicationPackageDescriptor installed = installSample();
        QVERIFY(cache_->isReady(installed));
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            removalsBeforeKill = killPoints + 1;
            Cache(root()).remove(installed.sha256);
            ::_exit(0);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        killed = WEXITSTATUS(status) == killedExit;

        cache_ = std::make_unique<Cache>(root());
        QVERIFY2(cache_->isReady(installed) || !tf::exists(cache_->objectDirectory(installed.sha256)),
                 qPrintable(QStringLiteral("killed before unlink %1").arg(killPoints + 1)));
        cache_->discardExpiredPartials(Cache::partialMaxAgeMs);
        QCOMPARE(QDir(root() + "/staging").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
        QString error;
        QVERIFY2(test::installPackage(*cache_, package, installed, &error), qPrintable(error));
        QVERIFY(cache_->readyEntrypoint(installed, true).has_value());
    }
    // The tree, its three files, its directory and its metadata.
    QVERIFY2(killPoints >= 6, qPrintable(QString::number(killPoints)));
}

void TestApplicationPackageCache::metadataRoundTrip()
{
    const QString digest = tf::sha("package");
    Cache::Metadata metadata;
    metadata.descriptor = {"rel_9", digest, 4242, 6, 3, "index.html"};
    metadata.lastAccessMs = 1700000000123;
    // UTF-16 order puts a character beyond the BMP (a surrogate pair) before U+FF21.
    const QString emoji = QString::fromUcs4(U"\U0001F600.png");
    const QString fullwidth = QString(QChar(0xff21)) + ".png";
    metadata.files.insert("index.html", {1, tf::sha("1")});
    metadata.files.insert(fullwidth, {2, tf::sha("22")});
    metadata.files.insert(emoji, {3, tf::sha("333")});
    const QString tree = cache_->objectDirectory(digest);
    QVERIFY(QDir().mkpath(tree));
    QString error;
    QVERIFY(cache_->writeMetadata(tree, metadata, &error));

    const QByteArray written = tf::read(tree + "/.talvorine-package.json");
    QVERIFY(!written.contains(' ') && !written.contains('\n'));
    QStringList order;
    for (const QJsonValue& file : QJsonDocument::fromJson(written).object().value("files").toArray())
        order.append(file.toObject().value("path").toString());
    QCOMPARE(order, QStringList({"index.html", emoji, fullwidth}));

    const std::optional<Cache::Metadata> read = cache_->readMetadata(digest);
    QVERIFY(read);
    QCOMPARE(read->descriptor.releaseId, QString("rel_9"));
    QCOMPARE(read->descriptor.compressedBytes, qint64(4242));
    QCOMPARE(read->descriptor.expandedBytes, qint64(6));
    QCOMPARE(read->descriptor.fileCount, 3);
    QCOMPARE(read->lastAccessMs, qint64(1700000000123));
    QCOMPARE(read->files.size(), 3);
    QCOMPARE(read->files.value(emoji).sha256, tf::sha("333"));
    QCOMPARE(read->files.value(fullwidth).bytes, qint64(2));

    // A directory that cannot take the file.
    QVERIFY(!cache_->writeMetadata(dir_->filePath("missing/dir"), metadata, &error));
    QCOMPARE(error, QString("package_metadata_write_failed"));
}

void TestApplicationPackageCache::readMetadataRefuses_data()
{
    // Each row changes members of a valid file (dotted paths) or the file itself.
    QTest::addColumn<QJsonObject>("changes");
    QTest::addColumn<QString>("file"); // "link", "not JSON", "4 MiB and a byte"
    const auto row = [](const char* name, const QJsonObject& changes, const char* file = "") {
        QTest::newRow(name) << changes << QString(file);
    };
    row("none", {});
    row("version 1", {{"version", 1}});
    row("not JSON", {}, "not JSON");
    row("4 MiB and a byte", {}, "4 MiB and a byte");
    row("through a link", {}, "link");
    row("NFD path", {{"files.1.path", nfdName}});
    row("repeated path", {{"files.1.path", "index.html"}});
    row("negative bytes", {{"files.1.bytes", -5}, {"expandedBytes", 5}});
    row("bytes above 32 MiB", {{"files.1.bytes", 33554433}, {"expandedBytes", 33554443}});
    row("uppercase file digest", {{"files.1.sha256", tf::sha("file").toUpper()}});
    row("traversal path", {{"files.1.path", "../x"}});
    row("element not an object", {{"files.1", "index.html"}});
    row("file count differs", {{"fileCount", 3}});
    row("expanded size differs", {{"expandedBytes", 16}});
    row("entry point not listed", {{"entrypoint", "main.html"}});
    row("digest of another package", {{"sha256", tf::sha("other")}});
}

void TestApplicationPackageCache::readMetadataRefuses()
{
    QFETCH(QJsonObject, changes);
    QFETCH(QString, file);
    const QString digest = tf::sha("package");
    const QString sha = tf::sha("file");
    QJsonValue object = metadataJson(
        digest, {fileJson("index.html", 10, sha), fileJson(nfcName, 5, sha)}, 15, 2);
    for (auto it = changes.begin(); it != changes.end(); ++it)
        object = test::withMember(object, it.key(), it.value());
    QByteArray bytes = QJsonDocument(object.toObject()).toJson(QJsonDocument::Compact);
    if (file == "not JSON")
        bytes.chop(1);
    else if (file == "4 MiB and a byte")
        bytes.append(QByteArray(Cache::maxMetadataBytes + 1 - bytes.size(), ' '));

    const QString tree = cache_->objectDirectory(digest);
    QVERIFY(QDir().mkpath(tree));
    const QString path = tree + "/.talvorine-package.json";
    if (file == "link") {
        QVERIFY(tf::write(dir_->filePath("elsewhere.json"), bytes));
        QVERIFY(tf::symlinkTo(dir_->filePath("elsewhere.json"), path));
    } else {
        QVERIFY(tf::write(path, bytes));
    }
    QCOMPARE(cache_->readMetadata(digest).has_value(), QTest::currentDataTag() == QByteArray("none"));
    if (file == "4 MiB and a byte") {
        // One byte less is still read.
        QVERIFY(tf::write(path, bytes.chopped(1)));
        QVERIFY(cache_->readMetadata(digest));
    }
}

void TestApplicationPackageCache::metadataMemo()
{
    QList<QString> digests;
    for (int i = 0; i < 9; ++i) {
        const QString digest = tf::sha(QByteArray::number(i));
        const QString tree = cache_->objectDirectory(digest);
        QVERIFY(QDir().mkpath(tree));
        const QJsonObject object =
            metadataJson(digest, {fileJson("index.html", 3, tf::sha("abc"))}, 3, 1);
        // Padded, so that a read of the file stands out from the probe's own reads.
        QVERIFY(tf::write(tree + "/.talvorine-package.json",
                          QJsonDocument(object).toJson(QJsonDocument::Compact)
                              + QByteArray(2 * noContent, ' ')));
        digests.append(digest);
    }
    const auto readCost = [&](const QString& digest) {
        const qint64 before = bytesRead();
        const bool read = cache_->readMetadata(digest).has_value();
        return read ? bytesRead() - before : -1;
    };
    for (int i = 0; i < 8; ++i)
        QVERIFY(readCost(digests[i]) > noContent);
    QVERIFY(readCost(digests[0]) < noContent);
    // The ninth package drops the least recently used entry, package 1, and only that one.
    QVERIFY(readCost(digests[8]) > noContent);
    QVERIFY(readCost(digests[0]) < noContent);
    QVERIFY(readCost(digests[2]) < noContent);
    QVERIFY(readCost(digests[1]) > noContent);

    // A rewritten file is read again, and what it says now counts.
    const QString path = cache_->objectDirectory(digests[0]) + "/.talvorine-package.json";
    QJsonObject object = metadataJson(digests[0], {fileJson("index.html", 3, tf::sha("abc"))}, 3, 1);
    object["lastAccessMs"] = 5;
    QVERIFY(tf::write(path, QJsonDocument(object).toJson(QJsonDocument::Compact)));
    QCOMPARE(cache_->readMetadata(digests[0])->lastAccessMs, qint64(5));
    QVERIFY(tf::write(path, "{}"));
    QVERIFY(!cache_->readMetadata(digests[0]));
}

void TestApplicationPackageCache::tamperedFilesAreRefused_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<QString>("path");
    const char* tampers[] = {"content changed", "size changed", "link to a package file",
                             "link out of the package", "moved out", "hard link to other content",
                             "directory linked out of the package", "metadata removed"};
    for (const char* tamper : tampers)
        QTest::newRow(tamper) << QString(tamper) << "assets/app.js";
    QTest::newRow("not in the metadata") << "none" << "assets/other.js";
    QTest::newRow("NFD spelling of an NFC file") << "none" << nfdName;
    QTest::newRow("traversal") << "none" << "assets/../index.html";
    QTest::newRow("the metadata file itself") << "none" << ".talvorine-package.json";
}

void TestApplicationPackageCache::tamperedFilesAreRefused()
{
    QFETCH(QString, tamper);
    QFETCH(QString, path);
    const ApplicationPackageDescriptor d = installSample();
    const QString tree = cache_->objectDirectory(d.sha256);
    const QString file = tree + "/assets/app.js";
    // Remembered once, so that the memo must not vouch for the changed file.
    QVERIFY(cache_->resolveFile(d.sha256, "assets/app.js", false));
    QVERIFY(cache_->resolveFile(d.sha256, nfcName, false));
    chmodTree(tree, 0755);
    const QByteArray original = tf::read(file);
    const QString outside = dir_->filePath("outside");
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(tf::write(outside + "/app.js", original));
    QVERIFY(tf::write(dir_->filePath("same-size.js"), QByteArray(original.size(), 'z')));
    if (tamper == "content changed") {
        QByteArray changed = original;
        changed[100] = '!';
        QVERIFY(tf::write(file, changed, 0444));
    } else if (tamper == "size changed") {
        QVERIFY(tf::write(file, original + "x", 0444));
    } else if (tamper == "link to a package file") {
        QVERIFY(tf::write(tree + "/assets/copy.js", original, 0444));
        QVERIFY(QFile::remove(file) && tf::symlinkTo(tree + "/assets/copy.js", file));
    } else if (tamper == "link out of the package") {
        QVERIFY(QFile::remove(file) && tf::symlinkTo(outside + "/app.js", file));
    } else if (tamper == "moved out") {
        QVERIFY(QFile::rename(file, outside + "/moved.js"));
    } else if (tamper == "hard link to other content") {
        QVERIFY(QFile::remove(file));
        QCOMPARE(::link(QFile::encodeName(dir_->filePath("same-size.js")).constData(),
                        QFile::encodeName(file).constData()),
                 0);
    } else if (tamper == "directory linked out of the package") {
        QVERIFY(QDir(tree + "/assets").removeRecursively());
        QVERIFY(tf::symlinkTo(outside, tree + "/assets"));
    } else if (tamper == "metadata removed") {
        QVERIFY(QFile::remove(tree + "/.talvorine-package.json"));
    }
    QVERIFY(!cache_->resolveFile(d.sha256, path, true));
    QCOMPARE(cache_->isReady(d), tamper == "none");
    // Untouched files of the package are still served, unless the package lost its metadata.
    QCOMPARE(cache_->resolveFile(d.sha256, nfcName, false).has_value(),
             tamper != "metadata removed");
}

void TestApplicationPackageCache::verifiedFileMemo()
{
    const ApplicationPackageDescriptor d = installSample();
    // The installer's own object verified every file; this one starts with an empty memo.
    cache_ = std::make_unique<Cache>(root());
    VerifiedFileIdentity first;
    qint64 before = bytesRead();
    const std::optional<QString> path = cache_->resolveFile(d.sha256, "assets/app.js", false, &first);
    QCOMPARE(path, std::optional(cache_->objectDirectory(d.sha256) + "/assets/app.js"));
    QVERIFY(bytesRead() - before >= 80000);
    QVERIFY(first.valid);
    QCOMPARE(first.size, qint64(80000));

    VerifiedFileIdentity again;
    before = bytesRead();
    QVERIFY(cache_->resolveFile(d.sha256, "assets/app.js", false, &again));
    QVERIFY(bytesRead() - before < noContent);
    QVERIFY(again == first);

    // Changed in place with the same content: hashed again, served, remembered anew.
    const QString file = *path;
    QVERIFY(tf::setMtimeMs(file, QDateTime::currentMSecsSinceEpoch() - 5000));
    before = bytesRead();
    QVERIFY(cache_->resolveFile(d.sha256, "assets/app.js", false, &again));
    QVERIFY(bytesRead() - before >= 80000);
    QVERIFY(!(again == first));
    before = bytesRead();
    QVERIFY(cache_->resolveFile(d.sha256, "assets/app.js", false));
    QVERIFY(bytesRead() - before < noContent);

    // Another cache object over the same root remembers nothing of this one.
    Cache other(root());
    before = bytesRead();
    QVERIFY(other.resolveFile(d.sha256, "assets/app.js", false));
    QVERIFY(bytesRead() - before >= 80000);
}

void TestApplicationPackageCache::verifiedFileMemoEvictsLeastRecentlyUsed()
{
    const int count = Cache::verifiedFilesLimit + 1;
    test::WebPackageBuilder builder;
    builder.file("index.html", "x");
    for (int i = 0; i < count; ++i)
        builder.file(QString("f/%1.txt").arg(i), content(4096, char('a' + i % 20)));
    const QByteArray package = builder.package();
    const ApplicationPackageDescriptor d = test::descriptorOf(package);
    QVERIFY(test::installPackage(*cache_, package, d));
    Cache fresh(root());
    const auto cost = [&](int i) {
        const qint64 before = bytesRead();
        return fresh.resolveFile(d.sha256, QString("f/%1.txt").arg(i), false)
            ? bytesRead() - before
            : -1;
    };
    for (int i = 0; i < count; ++i)
        QVERIFY(cost(i) >= 4096);
    QVERIFY(cost(1) < noContent);
    QVERIFY(cost(count - 1) < noContent);
    QVERIFY(cost(0) >= 4096);
}

void TestApplicationPackageCache::readyEntrypoint_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("ready");
    QTest::newRow("as installed") << "none" << true;
    QTest::newRow("sizes undeclared") << "undeclared" << true;
    QTest::newRow("release differs") << "release" << true;
    QTest::newRow("compressed size differs") << "compressed" << false;
    QTest::newRow("entry point differs") << "entry" << false;
    QTest::newRow("declared expanded size differs") << "expanded" << false;
    QTest::newRow("declared file count differs") << "count" << false;
    QTest::newRow("a file other than the entry point changed") << "other file" << false;
    QTest::newRow("descriptor invalid") << "invalid" << false;
}

void TestApplicationPackageCache::readyEntrypoint()
{
    QFETCH(QString, change);
    QFETCH(bool, ready);
    ApplicationPackageDescriptor d = installSample();
    d.expandedBytes = 240000;
    d.fileCount = 3;
    const QString tree = cache_->objectDirectory(d.sha256);
    if (change == "undeclared")
        d.expandedBytes = 0, d.fileCount = 0;
    else if (change == "release")
        d.releaseId = "rel_other";
    else if (change == "compressed")
        d.compressedBytes += 1;
    else if (change == "entry")
        d.entrypoint = "assets/app.js";
    else if (change == "expanded")
        d.expandedBytes += 1;
    else if (change == "count")
        d.fileCount = 4;
    else if (change == "invalid")
        d.entrypoint = "";
    else if (change == "other file") {
        chmodTree(tree, 0755);
        QVERIFY(tf::write(tree + "/" + nfcName, content(90000, 'd'), 0444));
    }
    QCOMPARE(cache_->readyEntrypoint(d, false),
             ready ? std::optional(tree + "/index.html") : std::nullopt);
    QCOMPARE(cache_->isReady(d), ready);

    // A set cancel flag returns before anything is read.
    Cache fresh(root());
    std::atomic<bool> cancelled = true;
    const qint64 before = bytesRead();
    QVERIFY(!fresh.readyEntrypoint(d, true, &cancelled));
    Cache::Metadata metadata;
    metadata.files.insert("index.html", {70000, tf::sha("x")});
    QVERIFY(!fresh.verifyFile(d.sha256, "index.html", metadata, nullptr, &cancelled));
    QVERIFY(bytesRead() - before < noContent);
}

void TestApplicationPackageCache::stampFresh_data()
{
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<bool>("fresh");
    QTest::newRow("59999 ms later") << qint64(1000000) << qint64(1059999) << true;
    QTest::newRow("60000 ms later") << qint64(1000000) << qint64(1060000) << false;
    QTest::newRow("clock went back") << qint64(1000000) << qint64(999999) << false;
}

void TestApplicationPackageCache::stampFresh()
{
    QFETCH(qint64, last);
    QFETCH(qint64, now);
    QFETCH(bool, fresh);
    QCOMPARE(Cache::stampFresh(last, now), fresh);
}

void TestApplicationPackageCache::accessStampAtMostOncePerMinute()
{
    const ApplicationPackageDescriptor d = installSample();
    const QString stamp = root() + "/access/" + d.sha256;
    bool ok = false;
    const qint64 written = tf::read(stamp).toLongLong(&ok);
    QVERIFY(ok);
    QVERIFY(qAbs(written - QDateTime::currentMSecsSinceEpoch()) < 60000);
    QCOMPARE(tf::modeOf(stamp), 0600);

    QVERIFY(tf::write(stamp, "12345"));
    QVERIFY(cache_->resolveFile(d.sha256, "index.html", true));
    QVERIFY(cache_->readyEntrypoint(d, true));
    QVERIFY(cache_->touch(d.sha256));
    QCOMPARE(tf::read(stamp), QByteArray("12345"));
    // Without touch nothing is written; another cache object keeps its own times.
    Cache other(root());
    QVERIFY(other.readyEntrypoint(d, false));
    QCOMPARE(tf::read(stamp), QByteArray("12345"));
    QVERIFY(other.resolveFile(d.sha256, "index.html", true));
    QVERIFY(tf::read(stamp) != QByteArray("12345"));
    QVERIFY(!cache_->touch("../escape"));
}

QTEST_GUILESS_MAIN(TestApplicationPackageCache)
#include "tst_applicationpackagecache.moc"
