#include "tests/support/TestSupport.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

namespace talvorine::test {

ProcessResult runPlayer(const QStringList& arguments, const QProcessEnvironment& environment,
                        int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TALVORINE_PLAYER_PATH), arguments);
    ProcessResult result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QProcessEnvironment environmentWith(const QList<std::pair<QString, QString>>& changes)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : changes) {
        if (value.isEmpty())
            environment.remove(name);
        else
            environment.insert(name, value);
    }
    return environment;
}

QList<QJsonObject> readJsonLines(const QString& path)
{
    QList<QJsonObject> records;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return records;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            QTest::qFail(qPrintable(QStringLiteral("not a JSON object line: ")
                                    + QString::fromUtf8(line)),
                         __FILE__, __LINE__);
            return {};
        }
        records.append(doc.object());
    }
    return records;
}

QList<QJsonObject> recordsOf(const QList<QJsonObject>& records, const QString& event)
{
    QList<QJsonObject> out;
    for (const QJsonObject& record : records) {
        if (record.value(QStringLiteral("event")).toString() == event)
            out.append(record);
    }
    return out;
}

} // namespace talvorine::test
