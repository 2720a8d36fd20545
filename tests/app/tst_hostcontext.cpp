#include "app/HostContext.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;

namespace {

HostInterfaceCandidate nic(const QString& name, const QString& mac, bool up, bool running,
                           bool routable, bool loopback = false, bool p2p = false)
{
    return {name, mac, up, running, loopback, p2p, routable};
}

} // namespace

Q_DECLARE_METATYPE(QList<talvorine::HostInterfaceCandidate>)

class TestHostContext : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dmi_;

    HostContext buildWithDmi(const QString& file, const QByteArray& contents)
    {
        QDir(dmi_.path()).removeRecursively();
        QDir().mkpath(dmi_.path());
        QFile f(QDir(dmi_.path()).filePath(file));
        if (f.open(QIODevice::WriteOnly))
            f.write(contents);
        f.close();
        HostContextSources sources;
        sources.hostVersion = QStringLiteral("26.09.229");
        sources.dmiDirectory = dmi_.path();
        return buildHostContext(sources);
    }

private slots:
    void dmiValues_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");

        QTest::newRow("placeholder serial any case") << "product_serial"
                                                     << QByteArray("To Be Filled By O.E.M.\n")
                                                     << "serial" << "";
        QTest::newRow("serial zero") << "product_serial" << QByteArray("0\n") << "serial" << "";
        QTest::newRow("serial with a space") << "product_serial" << QByteArray("AB 12\n")
                                             << "serial" << "";
        QTest::newRow("serial of 3") << "product_serial" << QByteArray("ABC") << "serial" << "";
        QTest::newRow("serial of 4") << "product_serial" << QByteArray("AB12\n") << "serial"
                                     << "AB12";
        QTest::newRow("serial of 129") << "product_serial" << QByteArray(129, 'S') << "serial"
                                       << "";
        QTest::newRow("model with tab collapsed") << "product_name"
                                                  << QByteArray("Board\t 4  Model B\n")
                                                  << "model" << "Board 4 Model B";
        QTest::newRow("model with control char") << "product_name" << QByteArray("Board\x01")
                                                 << "model" << "";
        QTest::newRow("model above tilde") << "product_name" << QByteArray("Board\xe9") << "model"
                                           << "";
        QTest::newRow("model with no-break space") << "product_name" << QByteArray("Board\xa0X")
                                                   << "model" << "";
        QTest::newRow("model of 81") << "product_name" << QByteArray(81, 'm') << "model" << "";
        QTest::newRow("vendor kept case") << "sys_vendor" << QByteArray("  Acme Boards Ltd \n")
                                          << "manufacturer" << "Acme Boards Ltd";
        QTest::newRow("vendor placeholder") << "sys_vendor" << QByteArray("System manufacturer")
                                            << "manufacturer" << "";
        QTest::newRow("missing file") << "other" << QByteArray("x") << "model" << "";
    }
    void dmiValues()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, contents);
        QFETCH(QString, field);
        QFETCH(QString, expected);
        const HostContext context = buildWithDmi(file, contents);
        const QString value = field == QLatin1String("serial") ? context.serial
            : field == QLatin1String("model")                  ? context.model
                                                               : context.manufacturer;
        QCOMPARE(value, expected);
    }

    void primaryAddress_data()
    {
        QTest::addColumn<QList<HostInterfaceCandidate>>("candidates");
        QTest::addColumn<QString>("expected");
        const auto lo = nic("lo", "00:00:00:00:00:00", true, true, false, true);
        const auto docker = nic("docker0", "02:42:ac:11:00:02", true, true, true);
        const auto eth = nic("eth0", "dc:a6:32:00:00:01", true, false, false);
        const auto wlan = nic("wlan0", "dc:a6:32:00:00:02", true, true, true);
        QTest::newRow("running routable wins") << QList{lo, docker, eth, wlan}
                                               << "dc:a6:32:00:00:02";
        QTest::newRow("not running as last resort") << QList{lo, docker, eth} << "dc:a6:32:00:00:01";
        QTest::newRow("first of two equals") << QList{wlan, nic("eth1", "aa:bb:cc:dd:ee:ff", true, true, true)}
                                             << "dc:a6:32:00:00:02";
        QTest::newRow("running without address beats not running")
            << QList{eth, nic("eth1", "aa:bb:cc:dd:ee:ff", true, true, false)} << "aa:bb:cc:dd:ee:ff";
        QTest::newRow("zeros never win")
            << QList{nic("eth0", "00-00-00-00-00-00", true, true, true),
                     nic("eth1", "", true, true, true), nic("eth2", "0000", true, true, true)}
            << "";
        QTest::newRow("down, point-to-point, virtual skipped")
            << QList{nic("eth0", "aa:aa:aa:aa:aa:aa", false, true, true),
                     nic("ppp0", "bb:bb:bb:bb:bb:bb", true, true, true, false, true),
                     nic("wg0", "cc:cc:cc:cc:cc:cc", true, true, true),
                     nic("veth12", "dd:dd:dd:dd:dd:dd", true, true, true)}
            << "";
        QTest::newRow("surrounding blanks trimmed") << QList{nic("eth0", " aa:bb:cc:00:11:22 ", true, true, true)}
                                                    << "aa:bb:cc:00:11:22";
    }
    void primaryAddress()
    {
        QFETCH(QList<HostInterfaceCandidate>, candidates);
        QFETCH(QString, expected);
        QCOMPARE(primaryHardwareAddress(candidates), expected);
    }

    void capabilities_data()
    {
        QTest::addColumn<QStringList>("offered");
        QTest::addColumn<QStringList>("taken");
        QTest::newRow("trim, dedupe, reject")
            << QStringList{" gpu_video_sink ", "gpu_video_sink", "HLS", QString(41, u'a'),
                           "multi-cast", "line\n"}
            << QStringList{"gpu_video_sink", "line"};
        QStringList forty;
        for (int i = 0; i < 40; ++i)
            forty.append(QStringLiteral("cap_%1").arg(i));
        QTest::newRow("first 32 of 40") << forty << forty.mid(0, 32);
        QTest::newRow("trailing line feed inside a name")
            << QStringList{QStringLiteral("webengine\nx")} << QStringList{};
    }
    void capabilities()
    {
        QFETCH(QStringList, offered);
        QFETCH(QStringList, taken);
        HostContextSources sources;
        sources.capabilities = offered;
        QCOMPARE(buildHostContext(sources).capabilities, taken);
    }

    void outputForms()
    {
        HostContextSources sources;
        sources.hostVersion = QStringLiteral("26.09.229");
        sources.kernelVersion = QStringLiteral("6.1.0-rpi7");
        sources.capabilities = {QStringLiteral("webengine")};
        const HostContext context = buildHostContext(sources);

        const QJsonObject expected{
            {"platform", "qt"},
            {"host_version", "26.09.229"},
            {"device", QJsonObject{{"firmware", "6.1.0-rpi7"}}},
            {"capabilities", QJsonArray{"webengine"}},
        };
        QCOMPARE(context.toJson(), expected);
        QCOMPARE(context.presence(),
                 (QJsonObject{{"platform", "qt"}, {"host_version", true}, {"duid", false},
                              {"serial", false}, {"mac", false}, {"model", false},
                              {"firmware", true}, {"manufacturer", false}, {"capabilities", 1}}));
        QCOMPARE(hostIdentifyLines(context), QStringList{"Firmware 6.1.0-rpi7"});

        HostContext full = context;
        full.model = QStringLiteral("Board 4");
        full.serial = QStringLiteral("AB12");
        full.duid = QStringLiteral("duid-1");
        full.mac = QStringLiteral("aa:bb:cc:dd:ee:ff");
        QCOMPARE(hostIdentifyLines(full),
                 (QStringList{"Model Board 4", "Firmware 6.1.0-rpi7", "Serial AB12", "DUID duid-1"}));

        QVERIFY(HostContext().toJson().isEmpty());
        QCOMPARE(HostContext().presence().size(), 9);
    }

    void readsThisMachine()
    {
        const HostContext context = readHostContext(QStringLiteral("26.09.229"), {"webengine"});
        QCOMPARE(context.platform, QStringLiteral("qt"));
        QCOMPARE(context.hostVersion, QStringLiteral("26.09.229"));
        QVERIFY(context.duid.isEmpty());
        QVERIFY(!context.firmware.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHostContext)
#include "tst_hostcontext.moc"
