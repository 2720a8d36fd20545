#include "tests/support/TestSupport.h"

#include "app/DescendantReaper.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

#include <openssl/evp.h>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace talvorine::test {

void startInOwnSession(QProcess& process, const QString& program, const QStringList& arguments)
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1L, 0L, 0L, 0L);
    process.setChildProcessModifier([] { ::setsid(); });
    process.start(program, arguments);
}

QStringList endSession(qint64 leader)
{
    QStringList left;
    for (const ListedProcess& process : listedProcesses()) {
        if (process.session != leader)
            continue;
        left.append(QStringLiteral("%1 (%2) %3").arg(process.pid).arg(process.name, process.state));
        ::kill(pid_t(process.pid), SIGKILL);
        ::waitpid(pid_t(process.pid), nullptr, 0);
    }
    return left;
}

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
    // A file still being written may end inside a record: a write that crosses a page is seen
    // in part. Only whole lines are read; the rest is there at the next read.
    QByteArray bytes = file.readAll();
    bytes.truncate(bytes.lastIndexOf('\n') + 1);
    const QList<QByteArray> lines = bytes.split('\n');
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

QByteArray base64Url(const QByteArray& bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QJsonValue withMember(const QJsonValue& node, const QString& path, const QJsonValue& value)
{
    const QString head = path.section(u'.', 0, 0);
    const QString rest = path.section(u'.', 1);
    if (node.isArray()) {
        QJsonArray array = node.toArray();
        const int index = head.toInt();
        const QJsonValue child = rest.isEmpty() ? value : withMember(array.at(index), rest, value);
        if (child.isUndefined())
            array.removeAt(index);
        else if (index == array.size())
            array.append(child);
        else
            array[index] = child;
        return array;
    }
    QJsonObject object = node.toObject();
    const QJsonValue child = rest.isEmpty() ? value : withMember(object.value(head), rest, value);
    if (child.isUndefined())
        object.remove(head);
    else
        object.insert(head, child);
    return object;
}

QByteArray fromBase64Url(const QByteArray& text)
{
    return QByteArray::fromBase64(text, QByteArray::Base64UrlEncoding);
}

bool verifyEd25519(const QByteArray& publicKey, const QByteArray& message,
                   const QByteArray& signature)
{
    if (publicKey.size() != 32 || signature.size() != 64)
        return false;
    EVP_PKEY* key = EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(publicKey.constData()),
        32);
    if (!key)
        return false;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1
              && EVP_DigestVerify(context,
                                  reinterpret_cast<const unsigned char*>(signature.constData()),
                                  size_t(signature.size()),
                                  reinterpret_cast<const unsigned char*>(message.constData()),
                                  size_t(message.size()))
                     == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return ok;
}

} // namespace talvorine::test
