#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

#include <toolrunner.h>

// qvlink as a process against qvsim (the default analyser) over loopback TCP and
// over its pseudo-terminal: output, exit codes, --json parsed back, --trace lines.
class tst_ToolsLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void commands_data();
    void commands();
    void json_data();
    void json();
    void traceLines();
    void fileRoundTrip();
    void pollSummary();
    void serialSession();
    void embeddedSimulator();
    void usageErrors();

private:
    ToolResult link(const QStringList &args, const QString &url = QString())
    {
        return runTool("qvlink", QStringList{"--url", url.isEmpty() ? m_url : url} + args, QString(), 60000);
    }

    QProcess m_sim;
    QString m_url;
    QString m_pty;
    QTemporaryDir m_dir;
};

void tst_ToolsLink::initTestCase()
{
    QVERIFY(QFile::exists(toolPath("qvlink")));
    m_sim.start(QV_BINARY_DIR "/simulator/qvsim", {"--pty"});
    QVERIFY(m_sim.waitForStarted());
    QByteArray banner;
    while ((m_url.isEmpty() || m_pty.isEmpty()) && m_sim.waitForReadyRead(5000)) {
        banner += m_sim.readAllStandardOutput() + m_sim.readAllStandardError();
        for (const QByteArray &line : banner.split('\n')) {
            if (line.startsWith("listening on "))
                m_url = QString::fromLatin1(line.mid(13).trimmed());
            if (line.startsWith("serial port "))
                m_pty = QString::fromLatin1(line.mid(12).trimmed());
        }
    }
    QVERIFY2(m_url.startsWith("socks://127.0.0.1:"), banner.constData());
    QVERIFY2(!m_pty.isEmpty(), banner.constData());
}

void tst_ToolsLink::cleanupTestCase()
{
    m_sim.terminate();
    if (!m_sim.waitForFinished(3000))
        m_sim.kill();
}

void tst_ToolsLink::commands_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("lines");  // expected lines of stdout (prefix match on the last)

    QTest::newRow("holding, hex") << QStringList({"--path", "1", "read-holding", "0", "2"}) << 0
                                  << QStringList({"0: 0x0001", "1: 0x0101"});
    QTest::newRow("holding behind a gateway, dec") << QStringList({"--path", "1/5", "--dec", "read-holding", "0x20"})
                                                   << 0 << QStringList({"32: 370"});
    QTest::newRow("input registers") << QStringList({"--path", "2", "read-input-registers", "0", "2"}) << 0
                                     << QStringList({"0: 0x03fc", "1: 0x03fd"});
    QTest::newRow("coils") << QStringList({"--path", "2", "read-coils", "0", "4"}) << 0
                           << QStringList({"0: 1", "1: 0", "2: 0", "3: 1"});
    QTest::newRow("discrete inputs") << QStringList({"--path", "2", "read-inputs", "0", "3"}) << 0
                                     << QStringList({"0: 1", "1: 0", "2: 1"});
    QTest::newRow("write holding") << QStringList({"--path", "2", "write-holding", "0x30", "-1", "0x7fff"}) << 0
                                   << QStringList({"wrote 2 registers from 48"});
    QTest::newRow("write coils") << QStringList({"--path", "2", "write-coils", "100", "1", "1", "0"}) << 0
                                 << QStringList({"wrote 3 coils from 100"});
    QTest::newRow("trunk two hops away") << QStringList({"--path", "1/5/3", "read-trunk", "1"}) << 0
                                         << QStringList({"trunk of file 1: 34 data bytes, checksum 8ddd ok", "     0: 6d 6f",
                                                        "    16: 74 65", "    32: 6e 2e"});
    QTest::newRow("events") << QStringList({"--path", "1/6", "events"}) << 0
                            << QStringList({"status word 0x0000 (idle), event count"});
    QTest::newRow("raw pass-through") << QStringList({"--path", "2", "raw", "de ad be ef"}) << 0
                                      << QStringList({"sent 4 bytes, the module answered 4 bytes: de ad be ef"});
    QTest::newRow("scan the link") << QStringList({"scan", "1", "3"}) << 0
                                   << QStringList({"1: answers", "2: answers", "2 modules found at addresses 1-3"});
    QTest::newRow("scan behind a gateway") << QStringList({"--path", "1/", "scan", "4", "6"}) << 0
                                           << QStringList({"1/5: answers", "1/6: answers", "2 modules found at 1/4-6"});
    QTest::newRow("exception: address") << QStringList({"--path", "2", "read-holding", "0x1000", "2"}) << 5
                                        << QStringList();
    QTest::newRow("exception: gateway") << QStringList({"--path", "1/9", "read-holding", "0"}) << 5 << QStringList();
    QTest::newRow("time-out") << QStringList({"--path", "7", "--timeout", "20", "read-holding", "0"}) << 3
                              << QStringList();
    QTest::newRow("trunk missing file") << QStringList({"--path", "2", "read-trunk", "9"}) << 5 << QStringList();
}

void tst_ToolsLink::commands()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);
    const ToolResult r = link(args);
    QVERIFY2(r.exitCode == exitCode, (r.out + r.err).constData());
    const QStringList got = r.lines();
    QCOMPARE(got.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(got.at(i).startsWith(lines.at(i)), qPrintable(got.at(i)));
    if (exitCode == 5)
        QVERIFY2(r.err.contains("exception from module"), r.err.constData());
    if (exitCode == 3)
        QVERIFY(r.err.contains("time-out"));
}

void tst_ToolsLink::json_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("status");
    QTest::newRow("registers") << QStringList({"--path", "1/5", "--signed", "read-holding", "0", "2"}) << "ok";
    QTest::newRow("identify") << QStringList({"--path", "1/6", "identify"}) << "ok";
    QTest::newRow("exception") << QStringList({"--path", "1/9", "read-holding", "0"}) << "exception";
}

void tst_ToolsLink::json()
{
    QFETCH(QStringList, args);
    QFETCH(QString, status);
    const ToolResult r = link(QStringList{"--json"} + args);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(r.out, &error);
    QVERIFY2(error.error == QJsonParseError::NoError, r.out.constData());
    const QJsonObject o = doc.object();
    QCOMPARE(o.value("status").toString(), status);
    QCOMPARE(o.value("path").toString(), args.at(1));
    if (o.value("command") == "read-holding" && status == "ok")
        QCOMPARE(o.value("values").toArray(), QJsonArray({5, 0x105}));
    if (o.value("command") == "identify") {
        const QJsonArray objects = o.value("objects").toArray();
        QCOMPARE(objects.size(), 7);
        QCOMPARE(objects.at(1).toObject().value("value").toString(), QString("QV-M6"));
    }
    if (status == "exception")
        QCOMPARE(o.value("code").toString(), QString("7f01ab0a"));
}

void tst_ToolsLink::traceLines()
{
    const ToolResult r = link({"--trace", "--path", "1/5", "read-holding", "0", "2"});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = QString::fromUtf8(r.err).split('\n', Qt::SkipEmptyParts);
    QRegularExpression tx("^ *\\d+\\.\\d{3} -> 01 2b 0c 05 03 00 00 00 02 81 6c$");
    QRegularExpression rx("^ *\\d+\\.\\d{3} <- 01 2b 0c 05 03 04 00 05 01 05 8a a9$");
    QCOMPARE(lines.filter(tx).size(), 1);
    QCOMPARE(lines.filter(rx).size(), 1);
}

void tst_ToolsLink::fileRoundTrip()
{
    // 120 records through one hop: three frames each way
    QByteArray data;
    for (int i = 0; i < 240; ++i)
        data.append(char(i * 7));
    const QString in = m_dir.filePath("in.bin"), out = m_dir.filePath("out.bin");
    QFile f(in);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.close();
    ToolResult r = link({"--path", "1/6", "write-file", "5", "0", "--in", in});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.text(), QString("wrote 120 records to file 5 from record 0\n"));
    r = link({"--path", "1/6", "--trace", "read-file", "5", "0", "200", "--out", out});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.text().startsWith("read 120 records of file 5 from record 0 (the file ends there)"));
    QCOMPARE(QString::fromUtf8(r.err).count(" -> "), 3);
    QFile g(out);
    QVERIFY(g.open(QIODevice::ReadOnly));
    QCOMPARE(g.readAll(), data);
}

void tst_ToolsLink::pollSummary()
{
    const ToolResult r = link({"--path", "2", "poll", "--count", "3", "--period", "10", "read-holding", "0"});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.lines();
    QCOMPARE(lines.filter("0: 0x0002").size(), 3);
    QVERIFY(lines.contains("3 polls, 3 frames sent, 3 replies received, 0 errors, 0.0% loss"));
    QVERIFY(lines.last().startsWith("round-trip min/avg/max = "));

    const ToolResult bad = link({"--path", "7", "--timeout", "10", "poll", "--count", "2", "--period", "0",
                                 "read-holding", "0"});
    QCOMPARE(bad.exitCode, 9);
    QVERIFY2(bad.lines().contains("2 polls, 10 frames sent, 0 replies received, 2 errors (2 timeout), 100.0% loss"),
             bad.out.constData());
}

void tst_ToolsLink::serialSession()
{
    const QString port = m_pty + "?baudrate=9600";
    ToolResult r = link({"--path", "1/5", "read-holding", "0", "2"}, port);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(r.lines(), QStringList({"0: 0x0005", "1: 0x0105"}));
    r = link({"--path", "2", "restart", "--clear-log"}, port);
    QCOMPARE(r.text(), QString("module 2 restarts, its event log cleared\n"));
    r = link({"--path", "2", "wait"}, port);
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.text().startsWith("module 2 is idle after "));
    r = link({"--path", "1/6", "identify"}, port);
    QCOMPARE(r.lines().size(), 7);
    r = link({"--path", "2", "bootloader"}, port);
    QCOMPARE(r.text(), QString("module 2 restarts into its boot loader\n"));
}

void tst_ToolsLink::embeddedSimulator()
{
    const ToolResult r = runTool("qvlink", {"--path", "1/5/3", "read-holding", "0"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.text(), QString("0: 0x0003\n"));
    QCOMPARE(QString::fromUtf8(r.err).count('\n'), 1);
    QVERIFY(r.err.startsWith("qvlink: no --url given; using the embedded simulated analyser at socks://127.0.0.1:"));

    const ToolResult tour = runTool("qvlink", {"walkthrough"}, QString(), 60000);
    QCOMPARE(tour.exitCode, 0);
    QVERIFY(tour.text().contains("trunk of file 1: 34 data bytes, checksum 8ddd ok"));
    QVERIFY(tour.text().contains("3 polls, 3 frames sent, 3 replies received"));
}

void tst_ToolsLink::usageErrors()
{
    for (const QStringList &args : {QStringList{"frobnicate"}, QStringList{"read-holding"},
                                    QStringList{"read-holding", "0x10000"}, QStringList{"--timeout"},
                                    QStringList{"write-coils", "0", "2"}, QStringList{"raw", "xyz"}}) {
        const ToolResult r = link(args);
        QVERIFY2(r.exitCode == 1, qPrintable(args.join(' ')));
    }
    const ToolResult r = link({"read-holding", "0"}, "socks://127.0.0.1:1");
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("cannot open"));
}

QTEST_GUILESS_MAIN(tst_ToolsLink)
#include "tst_toolslink.moc"
