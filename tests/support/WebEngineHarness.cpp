#include "tests/support/WebEngineHarness.h"

#include "app/DevFileLog.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WebPackageBuilder.h"
#include "web/WebPackageScheme.h"

#include <QBuffer>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWebEngineProfile>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTest>

namespace talvorine::test {

namespace {

constexpr int waitLimitMs = 30000;

// One second of 8-bit mono silence at 8 kHz in a RIFF wave file.
QByteArray silentWave()
{
    const QByteArray samples(8000, '\x80');
    QByteArray wave;
    const auto le = [&wave](quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            wave.append(char(value >> (8 * i)));
    };
    wave += "RIFF";
    le(quint32(36 + samples.size()), 4);
    wave += "WAVEfmt ";
    le(16, 4);
    le(1, 2); // PCM
    le(1, 2); // one channel
    le(8000, 4);
    le(8000, 4);
    le(1, 2);
    le(8, 2);
    wave += "data";
    le(quint32(samples.size()), 4);
    return wave + samples;
}

QByteArray onePixelPng()
{
    QImage image(1, 1, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return buffer.data();
}

// A module whose one function, "answer", returns 42: header, type () -> i32, one function of
// that type, its export, its body (i32.const 42).
QByteArray answerModule()
{
    return QByteArray::fromHex("0061736d01000000" "0105016000017f" "03020100"
                               "070a0106616e737765720000" "0a06010400412a0b");
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

EngineView::EngineView()
    : profile_(new QQuickWebEngineProfile), window_(std::make_unique<QQuickView>())
{
    window_->setInitialProperties({{QStringLiteral("engineProfile"),
                                    QVariant::fromValue(static_cast<QObject*>(profile_))}});
    window_->setSource(QUrl(QStringLiteral("qrc:/test/EngineView.qml")));
    window_->show();
}

EngineView::~EngineView()
{
    // The view goes before its profile.
    window_.reset();
    delete profile_;
}

// Every wait runs an event loop on a signal: the polling waits of the test library sleep between
// rounds, and the engine reads a reply's device on this thread, so they would hold every
// transfer up.
bool EngineView::load(const QUrl& url)
{
    QObject* root = window_->rootObject();
    QSignalSpy finished(root, SIGNAL(loadSerialChanged()));
    root->property("view").value<QObject*>()->setProperty("url", url);
    if (!finished.wait(waitLimitMs))
        return false;
    // WebEngineView.LoadSucceededStatus
    return root->property("lastLoadStatus").toInt() == 2;
}

QVariant EngineView::evaluate(const QString& script)
{
    QObject* root = window_->rootObject();
    QSignalSpy answered(root, SIGNAL(resultSerialChanged()));
    QMetaObject::invokeMethod(root, "evaluate", Q_ARG(QVariant, script));
    if (!answered.wait(waitLimitMs))
        return {};
    return root->property("lastResult");
}

QJsonObject EngineView::result(const QString& id)
{
    // A JSON array of one string is a JavaScript literal of it.
    const QString literal =
        QString::fromUtf8(QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact));
    const QString text = evaluate(QStringLiteral("result(%1[0])").arg(literal)).toString();
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

QJsonObject EngineView::waitForResult(const QString& id)
{
    QObject* view = window_->rootObject()->property("view").value<QObject*>();
    const QDeadlineTimer deadline(waitLimitMs);
    for (;;) {
        QSignalSpy titled(view, SIGNAL(titleChanged()));
        const QJsonObject found = result(id);
        if (!found.isEmpty())
            return found;
        if (!titled.wait(int(deadline.remainingTime())) && deadline.hasExpired())
            return {};
    }
}

QMap<QString, QByteArray> probePackageFiles()
{
    QMap<QString, QByteArray> files;
    QDirIterator it(QStringLiteral(":/test/package"), QDir::Files);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path.mid(QStringLiteral(":/test/package/").size()), readAll(path));
    }
    files.insert(QStringLiteral("pixel.png"), onePixelPng());
    files.insert(QStringLiteral("tone.wav"), silentWave());
    files.insert(QStringLiteral("answer.wasm"), answerModule());
    files.insert(QStringLiteral("font.ttf"), readAll(QStringLiteral(TALVORINE_TEST_FONT)));
    return files;
}

std::optional<InstalledProbePackage> installProbePackage(ApplicationPackageCache& cache,
                                                         const QMap<QString, QByteArray>& files)
{
    WebPackageBuilder builder;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        builder.file(it.key(), it.value());
    const QByteArray package = builder.package();
    const ApplicationPackageDescriptor descriptor = descriptorOf(package);
    if (!installPackage(cache, package, descriptor))
        return std::nullopt;
    return InstalledProbePackage{descriptor, cache.objectDirectory(descriptor.sha256)};
}

QUrl standInWrapperUrl()
{
    return QUrl(QStringLiteral("qrc:/web/trusted-wrapper.html"));
}

packagescheme::Handler::Resolve HeldFileWork::resolve()
{
    return [this](const QString& root, const QString& sha256, const QUrl& url,
                  const QByteArray& method, ApplicationPackageCache* cache,
                  const std::atomic<bool>* cancelled) {
        ++entered;
        if (holding)
            gate.acquire();
        std::optional<ResolvedPackageFile> file =
            WebPackageScheme::resolveRequest(root, sha256, url, method, cache, cancelled);
        if (file && afterResolve)
            afterResolve(*file);
        return file;
    };
}

WatchedHandler::WatchedHandler(QObject* parent, HeldFileWork& work)
    : Handler(parent, work.resolve()), work_(work)
{
}

void WatchedHandler::requestStarted(QWebEngineUrlRequestJob* job)
{
    ++work_.started;
    Handler::requestStarted(job);
}

QList<QJsonObject> devLogRecords(const QString& event)
{
    return recordsOf(readJsonLines(DevFileLog::path()), event);
}

QJsonObject recordFields(QJsonObject record)
{
    for (const char* key : {"ts", "event", "pid"})
        record.remove(QLatin1String(key));
    return record;
}

QString askScript(int frame, const QJsonObject& message)
{
    return QStringLiteral("ask(%1, %2)")
        .arg(frame)
        .arg(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

} // namespace talvorine::test
