#include "web/ApplicationPackageCache.h"

#include "tests/support/TestFiles.h"
#include "tests/support/WebPackageBuilder.h"

#include <QBuffer>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <clocale>
#include <cstring>
#include <cstdlib>

using namespace talvorine;
namespace tf = talvorine::testfiles;
using test::TarEntry;
using test::WebPackageBuilder;

namespace {

const QByteArray page = "<!doctype html><p>hello</p>";

WebPackageBuilder basicPackage()
{
    return WebPackageBuilder()
        .file("index.html", page)
        .directory("assets")
        .file("assets/app.js", "start();")
        .file("assets/deep/style.css", "p{}");
}

TarEntry hand(const QByteArray& name, char type = '0', int mode = 0644,
              const QByteArray& data = {})
{
    TarEntry entry;
    entry.name = name;
    entry.type = type;
    entry.mode = mode;
    entry.data = data;
    return entry;
}

// Every path below the directory, links not followed, directories marked with a trailing "/".
QStringList listing(const QString& directory)
{
    QStringList paths;
    QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::System
                                   | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        paths.append(QDir(directory).relativeFilePath(path)
                     + (info.isDir() && !info.isSymLink() ? "/" : ""));
    }
    paths.sort();
    return paths;
}

// Every code an installation may end with.
const QSet<QString> installCodes{
    "package_partial_incomplete", "package_descriptor_invalid", "package_archive_open_failed",
    "package_archive_size_mismatch", "package_archive_integrity_mismatch",
    "package_gzip_init_failed", "package_gzip_invalid_or_concatenated",
    "package_extract_stage_failed", "package_cancelled", "package_archive_format_rejected",
    "package_path_invalid", "package_path_duplicate", "package_extract_limit_exceeded",
    "package_path_conflict", "package_entry_mode_rejected", "package_directory_create_failed",
    "package_entry_type_rejected", "package_nested_archive_rejected",
    "package_file_create_failed", "package_archive_truncated", "package_file_size_mismatch",
    "package_file_commit_failed", "package_archive_invalid", "package_extract_identity_mismatch",
    "package_entrypoint_missing", "package_metadata_write_failed",
    "package_immutable_promotion_failed", "package_existing_cache_invalid",
    "package_atomic_promotion_failed"};

// A source that counts its reads and raises a cancel flag after a number of reads of one pass
// (a pass begins at each seek to the start: integrity, gzip check, extraction).
class WatchedSource : public QBuffer {
public:
    WatchedSource(const QByteArray& bytes, int cancelPass = 0, int cancelAfterReads = 0,
                  std::atomic<bool>* flag = nullptr)
        : cancelPass_(cancelPass), cancelAfter_(cancelAfterReads), flag_(flag)
    {
        setData(bytes);
    }
    int reads = 0;

    bool seek(qint64 position) override
    {
        if (position == 0) {
            ++pass_;
            passReads_ = 0;
        }
        return QBuffer::seek(position);
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        ++reads;
        if (pass_ == cancelPass_ && ++passReads_ > cancelAfter_ && flag_)
            flag_->store(true);
        return QBuffer::readData(data, maxSize);
    }

private:
    int cancelPass_;
    int cancelAfter_;
    std::atomic<bool>* flag_;
    int pass_ = 0;
    int passReads_ = 0;
};

// Gives every block that looks like a ustar header its right checksum again, so that a damaged
// field reaches the installer's own checks instead of the reader's checksum test.
void resealHeaders(QByteArray& tar)
{
    for (qsizetype at = 0; at + 512 <= tar.size(); at += 512) {
        if (tar.mid(at + 257, 5) != "ustar")
            continue;
        std::memset(tar.data() + at + 148, ' ', 8);
        unsigned sum = 0;
        for (qsizetype i = at; i < at + 512; ++i)
            sum += static_cast<unsigned char>(tar[i]);
        const QByteArray field = QByteArray::number(sum, 8).rightJustified(6, '0') + '\0';
        std::memcpy(tar.data() + at + 148, field.constData(), 7);
    }
}

} // namespace

class TestPackageInstall : public QObject {
    Q_OBJECT

private slots:
    void init();

    void installsReadOnlyVerifiedTreeWithoutUtf8Locale();
    void refusals_data();
    void refusals();
    void sourceChecks_data();
    void sourceChecks();
    void accepted_data();
    void accepted();
    void cancellation_data();
    void cancellation();
    void existingTreeIsReplacedOnlyWhenItFails();
    void mutatedPackages();

private:
    QString root() const { return dir_->filePath("application-cache"); }
    // Installs through the partial as the pipeline does; the code, empty on success.
    QString install(const QByteArray& package, const ApplicationPackageDescriptor& descriptor);
    // Nothing of a refused installation may remain but its partial.
    void verifyNothingLeft(const ApplicationPackageDescriptor& descriptor, bool partialKept);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<ApplicationPackageCache> cache_;
};

void TestPackageInstall::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    QVERIFY(tf::write(dir_->filePath("outside.txt"), "sentinel"));
    cache_ = std::make_unique<ApplicationPackageCache>(root());
}

QString TestPackageInstall::install(const QByteArray& package,
                                    const ApplicationPackageDescriptor& descriptor)
{
    QString error;
    if (!test::installPackage(*cache_, package, descriptor, &error))
        return error.isEmpty() ? QStringLiteral("(no code)") : error;
    return {};
}

void TestPackageInstall::verifyNothingLeft(const ApplicationPackageDescriptor& descriptor,
                                           bool partialKept)
{
    QStringList expected{"application-cache/", "application-cache/access/",
                         "application-cache/objects/", "application-cache/partials/",
                         "application-cache/staging/", "outside.txt"};
    if (partialKept)
        expected << "application-cache/partials/" + descriptor.sha256 + ".partial";
    expected.sort();
    QCOMPARE(listing(dir_->path()), expected);
    QCOMPARE(tf::read(dir_->filePath("outside.txt")), QByteArray("sentinel"));
}

void TestPackageInstall::installsReadOnlyVerifiedTreeWithoutUtf8Locale()
{
    // A player started by a service manager without LANG runs under the C locale: names that
    // are not ASCII, composed or not, still install from the archive's own bytes.
    const QByteArray savedLocale = std::setlocale(LC_ALL, nullptr);
    const QByteArray lang = qgetenv("LANG");
    const QByteArray all = qgetenv("LC_ALL");
    const QByteArray ctype = qgetenv("LC_CTYPE");
    qunsetenv("LANG");
    qunsetenv("LC_ALL");
    qunsetenv("LC_CTYPE");
    std::setlocale(LC_ALL, "");
    const auto restore = qScopeGuard([&] {
        qputenv("LANG", lang);
        qputenv("LC_ALL", all);
        qputenv("LC_CTYPE", ctype);
        std::setlocale(LC_ALL, savedLocale.constData());
    });
    QCOMPARE(QByteArray(std::setlocale(LC_CTYPE, nullptr)), QByteArray("C"));

    const QString nfd = QString("caf") + QChar(u'e') + QChar(0x0301) + ".html";
    const QString nfc = nfd.normalized(QString::NormalizationForm_C);
    const QString composed = QString("men") + QChar(0xfc) + "/" + QChar(0x65e5) + ".html";
    const QByteArray package = basicPackage().file(nfd, "menu").file(composed, "m").package();
    const ApplicationPackageDescriptor descriptor = test::descriptorOf(package, "index.html", 0, 0);
    QCOMPARE(install(package, descriptor), QString());

    const QString tree = cache_->objectDirectory(descriptor.sha256);
    QCOMPARE(listing(tree),
             QStringList({".talvorine-package.json", "assets/", "assets/app.js", "assets/deep/",
                          "assets/deep/style.css", nfc, "index.html", QString("men") + QChar(0xfc) + "/",
                          composed}));
    QCOMPARE(tf::modeOf(tree), 0555);
    QCOMPARE(tf::modeOf(tree + "/assets/deep"), 0555);
    QCOMPARE(tf::modeOf(tree + "/index.html"), 0444);
    QCOMPARE(tf::modeOf(tree + "/.talvorine-package.json"), 0444);
    QCOMPARE(tf::modeOf(root()), 0700);
    QCOMPARE(tf::modeOf(root() + "/objects"), 0700);
    QVERIFY(!tf::exists(cache_->partialPath(descriptor.sha256)));
    QVERIFY(tf::exists(root() + "/access/" + descriptor.sha256));
    QCOMPARE(listing(root() + "/staging"), QStringList());

    // The metadata records what was extracted, the undeclared sizes included.
    const QJsonObject metadata =
        QJsonDocument::fromJson(tf::read(tree + "/.talvorine-package.json")).object();
    QCOMPARE(metadata.value("fileCount").toInt(), 5);
    QCOMPARE(metadata.value("expandedBytes").toInteger(), qint64(page.size() + 8 + 3 + 4 + 1));
    QCOMPARE(metadata.value("files").toArray().at(0).toObject().value("sha256").toString(),
             tf::sha("start();"));
    QCOMPARE(cache_->readyEntrypoint(descriptor, false), std::optional(tree + "/index.html"));
    QCOMPARE(cache_->resolveFile(descriptor.sha256, nfc, false), std::optional(tree + "/" + nfc));
    QVERIFY(cache_->resolveFile(descriptor.sha256, composed, false));

    // An installed package is not read again, and a second finalize of the same download is
    // as good as done.
    WatchedSource source(package);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QVERIFY(cache_->installArchive(source, descriptor));
    QCOMPARE(source.reads, 0);
    const std::shared_ptr<PartialDownload> partial = cache_->openPartial(descriptor);
    QVERIFY(partial->append(package));
    QVERIFY(cache_->finalizePartial(*partial, descriptor));
    QVERIFY(!tf::exists(cache_->partialPath(descriptor.sha256)));
}

void TestPackageInstall::refusals_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<qint64>("expandedBytes");
    QTest::addColumn<int>("fileCount");
    QTest::addColumn<QString>("code");

    const auto row = [](const char* name, const WebPackageBuilder& builder, const char* code,
                        qint64 expanded = 0, int count = 0) {
        QTest::newRow(name) << builder.package() << expanded << count << QString(code);
    };
    const auto withIndex = [] { return WebPackageBuilder().file("index.html", page); };

    // The archive format: plain ustar only.
    TarEntry gnu = hand("index.html", '0', 0644, page);
    gnu.magic = TarEntry::Magic::Gnu;
    row("GNU tar header", WebPackageBuilder().entry(gnu), "package_archive_format_rejected");
    TarEntry old = hand("index.html", '0', 0644, page);
    old.magic = TarEntry::Magic::OldTar;
    row("pre-POSIX tar header", WebPackageBuilder().entry(old), "package_archive_format_rejected");
    row("pax extended header",
        WebPackageBuilder()
            .entry(hand("PaxHeader/index.html", 'x', 0644, test::paxRecord("path", "index.html")))
            .entry(hand("index.html", '0', 0644, page)),
        "package_archive_format_rejected");
    row("pax global header after a good entry",
        withIndex().entry(hand("pax_global_header", 'g', 0644, test::paxRecord("comment", "x")))
            .file("b.js", "b"),
        "package_archive_format_rejected");
    TarEntry longName = hand("././@LongLink", 'L', 0644, "index.html");
    longName.magic = TarEntry::Magic::Gnu;
    row("GNU long name", WebPackageBuilder().entry(longName).entry(hand("index.html", '0', 0644, page)),
        "package_archive_format_rejected");

    // Names.
    for (const char* name : {"../escape.html", "/etc/passwd", "a//b.html", "./index.html",
                             "dir/../index.html", "a\\b.html", "C:evil.html", "tab\there.html",
                             "line\n", "\x7f.html"})
        row(("name " + QByteArray(name).toPercentEncoding("/.:\\")).constData(),
            withIndex().file(QString::fromUtf8(name), "x"), "package_path_invalid");
    row("seventeen parts", withIndex().file(QString("a/").repeated(16) + "b", "x"),
        "package_path_invalid");
    row("256 bytes", withIndex().file(QString("a").repeated(155) + "/" + QString("b").repeated(100), "x"),
        "package_path_invalid");
    for (const auto& [label, bytes] :
         {std::pair{"invalid UTF-8", QByteArray("\xff\xfe.html")},
          std::pair{"overlong slash", QByteArray("a\xc0\xaf..\xc0\xafx.html")},
          std::pair{"encoded surrogate", QByteArray("\xed\xa0\x80.html")},
          std::pair{"literal replacement character", QByteArray("\xef\xbf\xbd.html")}})
        row(label, withIndex().entry(hand(bytes, '0', 0644, "x")), "package_path_invalid");
    row("the metadata file's name", withIndex().file(".talvorine-package.json", "{}"),
        "package_path_invalid");
    row("the metadata file's name in other case",
        withIndex().file(".Talvorine-Package.JSON", "{}"), "package_path_invalid");
    row("the metadata file's name as a directory",
        withIndex().directory(".talvorine-package.json"), "package_path_invalid");

    // Duplicates and conflicts.
    row("same name twice", withIndex().file("a.js", "1").file("a.js", "2"),
        "package_path_duplicate");
    row("names differing in case", withIndex().file("App.js", "1").file("app.js", "2"),
        "package_path_duplicate");
    row("NFC and NFD spellings",
        withIndex().file(QString("caf") + QChar(0xe9), "1")
            .file(QString("cafe") + QChar(0x0301), "2"),
        "package_path_duplicate");
    row("directory and file of one name", withIndex().directory("Assets").file("assets", "x"),
        "package_path_duplicate");
    row("directory after its contents",
        withIndex().file("assets/a.png", "x").directory("assets"), "package_path_conflict");
    row("file beneath a file", withIndex().file("a", "x").file("a/b.txt", "y"),
        "package_path_conflict");
    row("file beneath a file in other case", withIndex().file("A", "x").file("a/b.txt", "y"),
        "package_path_conflict");

    // Types and modes.
    row("directory 0700", withIndex().directory("assets", 0700), "package_entry_mode_rejected");
    row("file 0600", withIndex().file("a.js", "x", 0600), "package_entry_type_rejected");
    row("setuid file", withIndex().file("a.js", "x", 04644), "package_entry_type_rejected");
    TarEntry symlink = hand("link.html", '2');
    symlink.linkName = "/etc/passwd";
    row("symbolic link", withIndex().entry(symlink), "package_entry_type_rejected");
    TarEntry hardlink = hand("copy.html", '1');
    hardlink.linkName = "index.html";
    row("hard link", withIndex().entry(hardlink), "package_entry_type_rejected");
    row("character device", withIndex().entry(hand("tty", '3', 0644)),
        "package_entry_type_rejected");
    row("FIFO", withIndex().entry(hand("pipe", '6', 0644)), "package_entry_type_rejected");
    row("nested tar.gz", withIndex().file("lib/vendor.tar.gz", "x"),
        "package_nested_archive_rejected");
    row("nested ZIP in capitals", withIndex().file("data.ZIP", "x"),
        "package_nested_archive_rejected");

    // Sizes: a declared size is refused before its data is read.
    TarEntry huge = hand("big.bin");
    huge.declaredSize = ApplicationPackageCache::maxFileBytes + 1;
    row("entry above 32 MiB", withIndex().entry(huge), "package_extract_limit_exceeded");
    row("total above the declared expanded size", withIndex().file("a.js", "12345"),
        "package_extract_limit_exceeded", page.size() + 4);
    row("declared file count differs", withIndex().file("a.js", "1"),
        "package_extract_identity_mismatch", 0, 3);
    row("declared expanded size differs", withIndex().file("a.js", "1"),
        "package_extract_identity_mismatch", page.size() + 2);
    // Undeclared sizes are still held to 250 MiB: seven full 32 MiB files fit, the eighth's
    // header is refused before its data.
    WebPackageBuilder eightFull = withIndex();
    for (int i = 0; i < 8; ++i)
        eightFull.zeroFile(QString("blob%1.bin").arg(i), ApplicationPackageCache::maxFileBytes);
    row("undeclared total above 250 MiB", eightFull, "package_extract_limit_exceeded");
    // Directories and files count alike; empty files are the cheapest entries to make.
    WebPackageBuilder entries = withIndex();
    for (int i = 1; i < ApplicationPackageCache::maxEntries; ++i)
        entries.file(QString("f%1").arg(i), {});
    row("5001 entries, the last a directory", WebPackageBuilder(entries).directory("last"),
        "package_extract_limit_exceeded");
    row("5001 files", entries.file("last", {}), "package_extract_limit_exceeded");

    // Broken archives inside a good gzip layer.
    QByteArray cut = withIndex().file("b.js", QByteArray(3000, 'b')).tar();
    cut.truncate(512 + 512 + 512 + 1000);
    QTest::newRow("entry data cut short") << test::gzip(cut) << qint64(0) << 0
                                          << "package_archive_truncated";
    QByteArray damaged = withIndex().file("b.js", "b").tar();
    damaged[1024 + 148] = '7'; // checksum of the second header
    QTest::newRow("damaged header") << test::gzip(damaged) << qint64(0) << 0
                                    << "package_archive_invalid";
    QTest::newRow("not an archive") << test::gzip(QByteArray(700, 'z')) << qint64(0) << 0
                                    << "package_archive_open_failed";
    row("no entry point", WebPackageBuilder().file("main.html", page), "package_entrypoint_missing");
    row("entry point is a directory", WebPackageBuilder().directory("index.html"),
        "package_entrypoint_missing");

    // The gzip layer.
    const QByteArray good = withIndex().package();
    QTest::newRow("second gzip member") << good + test::gzip("more") << qint64(0) << 0
                                        << "package_gzip_invalid_or_concatenated";
    QTest::newRow("one trailing zero byte") << good + QByteArray(1, '\0') << qint64(0) << 0
                                            << "package_gzip_invalid_or_concatenated";
    QTest::newRow("gzip cut short") << good.left(good.size() - 5) << qint64(0) << 0
                                    << "package_gzip_invalid_or_concatenated";
    QByteArray badCrc = good;
    badCrc[badCrc.size() - 6] = char(badCrc[badCrc.size() - 6] ^ 0x01);
    QTest::newRow("wrong CRC") << badCrc << qint64(0) << 0
                               << "package_gzip_invalid_or_concatenated";
    QTest::newRow("plain tar") << withIndex().tar() << qint64(0) << 0
                               << "package_gzip_invalid_or_concatenated";
    // A stream of zeros inflating to exactly the cap passes the gzip check (and then holds no
    // entry point); one byte more does not.
    QTest::newRow("inflates to the cap") << test::gzip({}, ApplicationPackageCache::maxInflatedBytes)
                                         << qint64(0) << 0 << "package_entrypoint_missing";
    QTest::newRow("inflates past the cap")
        << test::gzip({}, ApplicationPackageCache::maxInflatedBytes + 1) << qint64(0) << 0
        << "package_gzip_invalid_or_concatenated";
}

void TestPackageInstall::refusals()
{
    QFETCH(QByteArray, package);
    QFETCH(qint64, expandedBytes);
    QFETCH(int, fileCount);
    QFETCH(QString, code);
    const ApplicationPackageDescriptor descriptor =
        test::descriptorOf(package, "index.html", expandedBytes, fileCount);
    QCOMPARE(install(package, descriptor), code);
    verifyNothingLeft(descriptor, true);
    QVERIFY(!cache_->isReady(descriptor));
}

void TestPackageInstall::sourceChecks_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("code");
    QTest::newRow("source longer than declared") << "longer" << "package_archive_size_mismatch";
    QTest::newRow("source shorter than declared") << "shorter"
                                                  << "package_archive_integrity_mismatch";
    QTest::newRow("other digest") << "digest" << "package_archive_integrity_mismatch";
    QTest::newRow("source not open") << "closed" << "package_descriptor_invalid";
    QTest::newRow("descriptor invalid") << "descriptor" << "package_descriptor_invalid";
}

void TestPackageInstall::sourceChecks()
{
    QFETCH(QString, change);
    QFETCH(QString, code);
    QByteArray package = basicPackage().package();
    ApplicationPackageDescriptor descriptor = test::descriptorOf(package);
    if (change == "longer")
        package.append('\0');
    else if (change == "shorter")
        package.chop(1);
    else if (change == "digest")
        descriptor.sha256 = tf::sha("other");
    else if (change == "descriptor")
        descriptor.entrypoint = "./index.html";
    QBuffer source(&package);
    if (change != "closed")
        QVERIFY(source.open(QIODevice::ReadOnly));
    QString error;
    QVERIFY(!cache_->installArchive(source, descriptor, &error));
    QCOMPARE(error, code);
    verifyNothingLeft(descriptor, false);

    // finalizePartial never installs a download of the wrong size, nor one whose write failed.
    if (change == "shorter" || change == "longer") {
        const std::shared_ptr<PartialDownload> partial = cache_->openPartial(descriptor);
        QVERIFY(partial->append(package.left(descriptor.compressedBytes)));
        QCOMPARE(partial->append(package.mid(descriptor.compressedBytes)), change == "shorter");
        QVERIFY(!cache_->finalizePartial(*partial, descriptor, &error));
        QCOMPARE(error, QString("package_partial_incomplete"));
        verifyNothingLeft(descriptor, true);
    }
}

void TestPackageInstall::accepted_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QString>("probe");
    const auto withIndex = [] { return WebPackageBuilder().file("index.html", page); };
    QTest::newRow("archive-like word inside a name")
        << withIndex().file("archive.tar.txt", "x").package() << "archive.tar.txt";
    QTest::newRow("directory before its file")
        << withIndex().directory("assets").file("assets/a.png", "x").package() << "assets/a.png";
    const QString sixteen = QString("a/").repeated(15) + "b";
    QTest::newRow("sixteen parts") << withIndex().file(sixteen, "x").package() << sixteen;
    const QString longest = QString("a").repeated(155) + "/" + QString("b").repeated(99);
    QTest::newRow("255 bytes through the prefix field")
        << withIndex().file(longest, "x").package() << longest;
    WebPackageBuilder entries = withIndex();
    for (int i = 1; i < ApplicationPackageCache::maxEntries; ++i)
        entries.file(QString("f%1").arg(i), {});
    QTest::newRow("5000 entries") << entries.package() << "f4999";
    QTest::newRow("entry point only in a directory")
        << WebPackageBuilder().file("app/index.html", page).file("index.html", page).package()
        << "app/index.html";
}

void TestPackageInstall::accepted()
{
    QFETCH(QByteArray, package);
    QFETCH(QString, probe);
    const ApplicationPackageDescriptor descriptor = test::descriptorOf(package);
    QCOMPARE(install(package, descriptor), QString());
    QVERIFY(cache_->resolveFile(descriptor.sha256, probe, false));
}

void TestPackageInstall::cancellation_data()
{
    QTest::addColumn<int>("pass");
    QTest::addColumn<QString>("code");
    QTest::newRow("before the call") << 0 << QString();
    QTest::newRow("during the integrity pass") << 1 << QString();
    QTest::newRow("during the gzip check") << 2 << QString();
    // Seen between entries or inside the reader, the extraction stops with its code.
    QTest::newRow("during extraction") << 3 << "package_cancelled";
}

void TestPackageInstall::cancellation()
{
    QFETCH(int, pass);
    QFETCH(QString, code);
    WebPackageBuilder builder;
    builder.file("index.html", page);
    // Incompressible content, so that every pass takes several reads.
    QRandomGenerator random(7);
    for (int i = 0; i < 6; ++i) {
        QByteArray noise(200000, Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        builder.file(QString("noise%1.bin").arg(i), noise);
    }
    const QByteArray package = builder.package();
    const ApplicationPackageDescriptor descriptor = test::descriptorOf(package);
    std::atomic<bool> cancelled = pass == 0;
    WatchedSource source(package, pass, 2, &cancelled);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QString error;
    QVERIFY(!cache_->installArchive(source, descriptor, &error, &cancelled));
    QCOMPARE(error, code);
    QCOMPARE(source.reads == 0, pass == 0);
    verifyNothingLeft(descriptor, false);
}

// A tree in the package's place that does not verify (a removal cut short, a damaged disk)
// gives way to the fresh installation; one that verifies is kept as it is.
void TestPackageInstall::existingTreeIsReplacedOnlyWhenItFails()
{
    const QByteArray package = basicPackage().package();
    const ApplicationPackageDescriptor descriptor = test::descriptorOf(package);
    QVERIFY(QDir().mkpath(cache_->objectDirectory(descriptor.sha256) + "/junk"));
    QCOMPARE(install(package, descriptor), QString());
    QVERIFY(!tf::exists(cache_->objectDirectory(descriptor.sha256) + "/junk"));
    QCOMPARE(listing(root() + "/staging"), QStringList());
    QVERIFY(cache_->readyEntrypoint(descriptor, true).has_value());
    const QByteArray metadata = QFile::encodeName(cache_->objectDirectory(descriptor.sha256) + '/'
                                                  + ApplicationPackageCache::metadataFileName());
    struct stat before {}, after {};
    QCOMPARE(::stat(metadata.constData(), &before), 0);
    QCOMPARE(install(package, descriptor), QString());
    QCOMPARE(::stat(metadata.constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
}

void TestPackageInstall::mutatedPackages()
{
    // Damaged packages of every kind: each ends installed and verifying, or refused with one of
    // the installer's codes; nothing is ever written outside the cache.
    const QList<QByteArray> bases{
        basicPackage().tar(),
        WebPackageBuilder()
            .directory("a")
            .directory("a/b")
            .file("a/b/c.js", QByteArray(1500, 'c'))
            .file("index.html", page)
            .file(QString("caf") + QChar(0xe9) + ".css", "x")
            .tar()};
    QRandomGenerator random(20240917);
    int installed = 0;
    QSet<QString> seen;
    for (int round = 0; round < 400; ++round) {
        const bool gzipLayer = random.bounded(3) == 0;
        QByteArray bytes = bases[random.bounded(bases.size())];
        if (gzipLayer)
            bytes = test::gzip(bytes);
        switch (random.bounded(3)) {
        case 0: // flip bytes
            for (int flips = 1 + random.bounded(4); flips > 0; --flips) {
                const int at = random.bounded(bytes.size());
                bytes[at] = char(bytes[at] ^ (1 << random.bounded(8)));
            }
            break;
        case 1: // cut
            bytes.truncate(random.bounded(bytes.size()));
            break;
        default: { // splice a piece of the stream over another place
            const int from = random.bounded(bytes.size());
            const int length = 1 + random.bounded(std::min<int>(600, bytes.size() - from));
            bytes.replace(random.bounded(bytes.size()), length, bytes.mid(from, length));
        }
        }
        if (!gzipLayer) {
            if (random.bounded(2) == 0)
                resealHeaders(bytes);
            bytes = test::gzip(bytes);
        }
        if (bytes.isEmpty())
            continue;
        const ApplicationPackageDescriptor descriptor = test::descriptorOf(bytes);
        const QString code = install(bytes, descriptor);
        if (code.isEmpty()) {
            ++installed;
            QVERIFY(cache_->readyEntrypoint(descriptor, false));
            QVERIFY(cache_->remove(descriptor.sha256));
        } else {
            QVERIFY2(installCodes.contains(code), qPrintable(code));
            seen.insert(code);
            QVERIFY(cache_->resetPartial(descriptor));
        }
        verifyNothingLeft(descriptor, false);
    }
    qInfo() << "installed" << installed << "codes" << seen.values();
    QVERIFY(installed > 0);
    QVERIFY(seen.size() > 4);
}

QTEST_GUILESS_MAIN(TestPackageInstall)
#include "tst_packageinstall.moc"
