#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

#include <toolrunner.h>

#include <csignal>
#include <sys/resource.h>

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
    void pollReconnects();
    void serialSession();
    void embeddedSimulator();
    void usageErrors_data();
    void usageErrors();
    void simulatorFaults_data();
    void simulatorFaults();
    void interruptReportsWhatWasDone_data();
    void interruptReportsWhatWasDone();

private:
    ToolResult link(const QStringList &args, const QString &url = QString())
    {
        return runTool("qvlink", QStringList{"--url", url.isEmpty() ? m_url : url} + args, QString(), 60000);
    }

    QProcess m_sim;
    QString m_url;
    QString m_pty;
    QTemporaryDir m_dir;
    QString m_shortTrunk;  // a file whose length word announces more than it holds
};

namespace {

// qvsim with extra options on a port of its own; its url once it listens.
QString startSimulator(QProcess &sim, const QStringList &args)
{
    sim.start(QV_BINARY_DIR "/simulator/qvsim", args);
    if (!sim.waitForStarted())
        return QString();
    QByteArray banner;
    while (!banner.contains('\n') && sim.waitForReadyRead(5000))
        banner += sim.readAllStandardOutput();
    return banner.startsWith("listening on ") ? QString::fromLatin1(banner.mid(13).trimmed()) : QString();
}

} // namespace

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

    m_shortTrunk = m_dir.filePath("short-trunk.bin");
    QFile f(m_shortTrunk);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray::fromHex("0040 0102"));
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
    QTest::addColumn<QByteArray>("error");   // expected in stderr

    QTest::newRow("holding, hex") << QStringList({"--path", "1", "read-holding", "0", "2"}) << 0
                                  << QStringList({"0: 0x0001", "1: 0x0101"}) << QByteArray();
    QTest::newRow("holding behind a gateway, dec") << QStringList({"--path", "1/5", "--dec", "read-holding", "0x20"})
                                                   << 0 << QStringList({"32: 370"}) << QByteArray();
    QTest::newRow("input registers") << QStringList({"--path", "2", "read-input-registers", "0", "2"}) << 0
                                     << QStringList({"0: 0x03fc", "1: 0x03fd"}) << QByteArray();
    QTest::newRow("coils") << QStringList({"--path", "2", "read-coils", "0", "4"}) << 0
                           << QStringList({"0: 1", "1: 0", "2: 0", "3: 1"}) << QByteArray();
    QTest::newRow("discrete inputs") << QStringList({"--path", "2", "read-inputs", "0", "3"}) << 0
                                     << QStringList({"0: 1", "1: 0", "2: 1"}) << QByteArray();
    QTest::newRow("write holding") << QStringList({"--path", "2", "write-holding", "0x30", "-1", "0x7fff"}) << 0
                                   << QStringList({"wrote 2 registers from 48"}) << QByteArray();
    QTest::newRow("write coils") << QStringList({"--path", "2", "write-coils", "100", "1", "1", "0"}) << 0
                                 << QStringList({"wrote 3 coils from 100"}) << QByteArray();
    QTest::newRow("trunk two hops away") << QStringList({"--path", "1/5/3", "read-trunk", "1"}) << 0
                                         << QStringList({"trunk of file 1: 34 data bytes, checksum 8ddd ok", "     0: 6d 6f",
                                                        "    16: 74 65", "    32: 6e 2e"}) << QByteArray();
    QTest::newRow("events") << QStringList({"--path", "1/6", "events"}) << 0
                            << QStringList({"status word 0x0000 (idle), event count"}) << QByteArray();
    QTest::newRow("raw pass-through") << QStringList({"--path", "2", "raw", "de ad be ef"}) << 0
                                      << QStringList({"sent 4 bytes, the module answered 4 bytes: de ad be ef"}) << QByteArray();
    QTest::newRow("scan the link") << QStringList({"scan", "1", "3"}) << 0
                                   << QStringList({"1: answers", "2: answers", "2 modules found at addresses 1-3"}) << QByteArray();
    QTest::newRow("scan behind a gateway") << QStringList({"--path", "1/", "scan", "4", "6"}) << 0
                                           << QStringList({"1/5: answers", "1/6: answers", "2 modules found at 1/4-6"}) << QByteArray();
    QTest::newRow("exception: address") << QStringList({"--path", "2", "read-holding", "0x1000", "2"}) << 5
                                        << QStringList() << QByteArray("exception from module 2");
    QTest::newRow("exception: gateway") << QStringList({"--path", "1/9", "read-holding", "0"}) << 5 << QStringList()
                                        << QByteArray("exception from module 1");
    QTest::newRow("time-out") << QStringList({"--path", "7", "--timeout", "20", "read-holding", "0"}) << 3
                              << QStringList() << QByteArray("time-out");
    QTest::newRow("trunk missing file") << QStringList({"--path", "2", "read-trunk", "9"}) << 5 << QStringList()
                                        << QByteArray("exception from module 2");

    // Paths in hex and options written as --name=value.
    QTest::newRow("path in hex") << QStringList({"--path", "0x02", "read-holding", "0"}) << 0
                                 << QStringList({"0: 0x0002"}) << QByteArray();
    QTest::newRow("option=value") << QStringList({"--path=1/5", "read-holding", "0"}) << 0 << QStringList({"0: 0x0005"})
                                  << QByteArray();
    // Register pairs: module 2 holds 0x0002 0x0102 at 0.
    QTest::newRow("uint32, high word first") << QStringList({"--path", "2", "--type", "uint32", "read-holding", "0"})
                                             << 0 << QStringList({"0: 131330"}) << QByteArray();
    QTest::newRow("int32, low word first")
        << QStringList({"--path", "2", "--type=int32", "--word-order=low-first", "read-holding", "0"}) << 0
        << QStringList({"0: 16908290"}) << QByteArray();
    QTest::newRow("float32 written")
        << QStringList({"--path", "2", "--type", "float32", "write-holding", "0x40", "-2.5"}) << 0 << QStringList({"wrote 2 registers from 64 (function 16)"}) << QByteArray();
    QTest::newRow("float32 read back") << QStringList({"--path", "2", "--type", "float32", "read-holding", "0x40"}) << 0
                                       << QStringList({"64: -2.5"}) << QByteArray();
    // One item goes with the single-write functions unless told otherwise.
    QTest::newRow("one register: function 6") << QStringList({"--path", "2", "write-holding", "0x31", "7"}) << 0
                                              << QStringList({"wrote 1 register from 49 (function 6)"}) << QByteArray();
    QTest::newRow("one coil: function 5") << QStringList({"--path", "2", "write-coils", "0x31", "1"}) << 0
                                          << QStringList({"wrote 1 coil from 49 (function 5)"}) << QByteArray();
    QTest::newRow("one coil, forced 15") << QStringList({"--path", "2", "--multiple", "write-coils", "0x31", "1"}) << 0
                                         << QStringList({"wrote 1 coil from 49 (function 15)"}) << QByteArray();
    // A restart leaves module 5 busy for two polls.
    QTest::newRow("restart for wait") << QStringList({"--path", "1/5", "restart"}) << 0
                                      << QStringList({"module 1/5 restarts"}) << QByteArray();
    QTest::newRow("wait: still busy") << QStringList({"--path", "1/5", "--polls", "1", "wait"}) << 10 << QStringList()
                                      << QByteArray("module 1/5 is still busy after 1 poll");
    QTest::newRow("wait with a period") << QStringList({"--path", "1/5", "--period", "20", "wait"}) << 0
                                        << QStringList({"module 1/5 is idle after 2 polls"}) << QByteArray();
    // A file too short for the block its length word announces is bad data.
    QTest::newRow("short trunk file written")
        << QStringList({"--path", "2", "write-file", "11", "0", "--in", m_shortTrunk}) << 0 << QStringList({"wrote 2 records"}) << QByteArray();
    QTest::newRow("trunk: the file ends before the block") << QStringList({"--path", "2", "read-trunk", "11"}) << 8
                                                           << QStringList() << QByteArray("ends before the block");
    QTest::newRow("output file full") << QStringList({"--path", "2", "read-file", "2", "0", "3", "--out", "/dev/full"})
                                      << 11 << QStringList() << QByteArray("cannot write /dev/full");
    QTest::newRow("serial query checked") << QStringList({"--url", m_pty + "?baudrate=9600&parity=none&databits=8"
                                                                            "&stopbits=1&flowcontrol=none&speed=1",
                                                          "--path", "2", "read-holding", "0"})
                                          << 0 << QStringList({"0: 0x0002"})
                                          << QByteArray("unknown query key \"speed\"");
}

void tst_ToolsLink::commands()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, error);
    const ToolResult r = link(args);
    QVERIFY2(r.exitCode == exitCode, (r.out + r.err).constData());
    const QStringList got = r.lines();
    QCOMPARE(got.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(got.at(i).startsWith(lines.at(i)), qPrintable(got.at(i)));
    QVERIFY2(r.err.contains(error), r.err.constData());
}

void tst_ToolsLink::json_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("fileLimit");  // bytes a file qvlink writes may grow to; 0: no limit
    QTest::newRow("registers") << QStringList({"--path", "1/5", "--signed", "read-holding", "0", "2"}) << "ok" << 0;
    QTest::newRow("identify") << QStringList({"--path", "1/6", "identify"}) << "ok" << 0;
    QTest::newRow("exception") << QStringList({"--path", "1/9", "read-holding", "0"}) << "exception" << 0;
    // Failures before any exchange are one object too.
    QTest::newRow("usage error") << QStringList({"--path", "1/300", "read-holding", "0"}) << "usage" << 0;
    QTest::newRow("cannot connect") << QStringList({"--path", "2", "--url", "socks://127.0.0.1:1", "read-holding", "0"})
                                    << "cannot-connect" << 0;
    QTest::newRow("output file full") << QStringList({"--path", "2", "--out=/dev/full", "read-file", "2", "0", "3"})
                                      << "file-error" << 0;
    // The capture file takes its header, then no frame: the read goes through, the run fails.
    QTest::newRow("capture cut short") << QStringList({"--path", "2", "--pcap", m_dir.filePath("cut.pcap"),
                                                       "read-holding", "0"}) << "file-error" << 40;
}

namespace {

// Files the processes started meanwhile write may grow to bytes only; past that a write
// fails (EFBIG) instead of ending the process.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(int bytes)
    {
        if (bytes <= 0)
            return;
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limited = m_saved;
        limited.rlim_cur = rlim_t(bytes);
        m_active = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
        m_signal = std::signal(SIGXFSZ, SIG_IGN);
    }
    ~FileSizeLimit()
    {
        if (!m_active)
            return;
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_signal);
    }

private:
    rlimit m_saved = {};
    bool m_active = false;
    void (*m_signal)(int) = SIG_DFL;
};

} // namespace

void tst_ToolsLink::json()
{
    QFETCH(QStringList, args);
    QFETCH(QString, status);
    QFETCH(int, fileLimit);
    ToolResult r;
    {
        const FileSizeLimit limit(fileLimit);
        r = link(QStringList{"--json"} + args);
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(r.out, &error);
    QVERIFY2(error.error == QJsonParseError::NoError, r.out.constData());
    const QJsonObject o = doc.object();
    QCOMPARE(o.value("status").toString(), status);
    QVERIFY2(!o.value("error").toString().isEmpty() || status == "ok", r.out.constData());
    if (status != "usage")
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

    // A poll answered with an exception is lost too, although its frame was answered.
    const ToolResult refused = link({"--path", "2", "poll", "--count", "2", "--period", "0", "read-holding", "0x1000"});
    QCOMPARE(refused.exitCode, 9);
    QVERIFY2(refused.lines().contains(
                 "2 polls, 2 frames sent, 2 replies received, 2 errors (2 exception), 100.0% loss"),
             refused.out.constData());

    // --retries sets the attempts per exchange.
    const ToolResult once = link({"--path", "7", "--timeout", "10", "--retries", "1", "poll", "--count", "2",
                                  "--period", "0", "read-holding", "0"});
    QVERIFY2(once.lines().filter("2 polls, 4 frames sent").size() == 1, once.out.constData());

    // Each poll's line has its time; --csv makes the lines CSV and sends the summary to stderr.
    const QRegularExpression stamped("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}  0: 0x0002$");
    QCOMPARE(lines.filter(stamped).size(), 3);
    const ToolResult csv = link({"--path", "2", "--csv", "poll", "--count", "2", "--period", "0",
                                 "read-holding", "0", "2"});
    QCOMPARE(csv.exitCode, 0);
    QCOMPARE(csv.lines().size(), 3);
    QCOMPARE(csv.lines().first(), QString("time,status,0,1"));
    const QRegularExpression row("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3},ok,0x0002,0x0102$");
    QCOMPARE(csv.lines().filter(row).size(), 2);
    QVERIFY(csv.err.contains("2 polls, 2 frames sent, 2 replies received, 0 errors, 0.0% loss"));
}

// The simulator goes away after the first poll and comes back on its port: poll
// says that the link dropped, reopens it with a growing pause, counts the polls
// lost meanwhile and goes on.
void tst_ToolsLink::pollReconnects()
{
    QProcess sim;
    const QString url = startSimulator(sim, {});
    QVERIFY(!url.isEmpty());
    QProcess tool;
    tool.start(toolPath("qvlink"), {"--url", url, "--path", "2", "poll", "--count", "6", "--period", "1000",
                                    "read-holding", "0"});
    QByteArray out;
    auto waitFor = [&](const char *text) {
        while (!out.contains(text) && tool.waitForReadyRead(15000))
            out += tool.readAllStandardOutput();
        return out.contains(text);
    };
    QVERIFY2(waitFor("0: 0x0002"), out.constData());
    sim.kill();
    QVERIFY(sim.waitForFinished(5000));
    QVERIFY2(waitFor("dropped; reconnecting in 0.5 s"), out.constData());
    QProcess again;
    QCOMPARE(startSimulator(again, {"--port", url.section(':', -1)}), url);
    QVERIFY(tool.waitForFinished(30000));
    out += tool.readAllStandardOutput();
    again.terminate();
    again.waitForFinished(5000);
    QCOMPARE(tool.exitCode(), 9);
    const QStringList lines = QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.filter("reconnected to " + url).size(), 1);
    const QRegularExpressionMatch summary = QRegularExpression("^6 polls, .* ([1-5]) errors? .*, 1 reconnected$")
                                                .match(lines.at(lines.size() - 2));
    QVERIFY2(summary.hasMatch(), out.constData());
    // The polls after the reconnection are answered again.
    QVERIFY2(lines.at(lines.size() - 4).endsWith("  0: 0x0002"), out.constData());
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
    QVERIFY(tour.text().contains("1/5: answers\n1/6: answers\n2 modules found at 1/1-8"));
}

void tst_ToolsLink::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("unknown command") << QStringList{"frobnicate"} << QByteArray("unknown command");
    QTest::newRow("no address") << QStringList{"read-holding"} << QByteArray("takes ADDR");
    QTest::newRow("address above 0xffff") << QStringList{"read-holding", "0x10000"} << QByteArray("takes ADDR");
    QTest::newRow("option without its value") << QStringList{"--timeout"} << QByteArray("--timeout needs a value");
    QTest::newRow("coil value 2") << QStringList{"write-coils", "0", "2"} << QByteArray("not a coil value");
    QTest::newRow("raw not hex") << QStringList{"raw", "xyz"} << QByteArray("hex bytes");
    // Paths: every element an address 1-247; nothing else reaches address 0 or another module.
    for (const char *path : {"abc", "2.0", "/", "", "258", "1/261", "-254", "1//5", "0"})
        QTest::newRow(qPrintable(QString("path \"%1\"").arg(path))) << QStringList{"--path", path, "read-holding", "0"}
                                                                     << QByteArray("--path");
    QTest::newRow("path behind a gateway, not scan") << QStringList{"--path", "1/", "read-holding", "0"}
                                                     << QByteArray("for scan only");
    // Counts, and runs that would pass address 0xffff.
    QTest::newRow("count 65536") << QStringList{"read-holding", "0", "65536"} << QByteArray("count 1-65535");
    QTest::newRow("run past 0xffff") << QStringList{"read-coils", "0xfff0", "17"}
                                     << QByteArray("would pass address 65535");
    QTest::newRow("pairs past 0xffff") << QStringList{"--type", "int32", "read-holding", "0xfffe", "2"}
                                       << QByteArray("would pass address 65535");
    QTest::newRow("write past 0xffff") << QStringList{"write-holding", "0xffff", "1", "2"}
                                       << QByteArray("would pass address 65535");
    QTest::newRow("records past 0xffff") << QStringList{"read-file", "2", "0xfff0", "17"}
                                         << QByteArray("would pass record 65535");
    QTest::newRow("scan address 0") << QStringList{"scan", "0", "3"} << QByteArray("1-247");
    QTest::newRow("value not of the type") << QStringList{"--type", "float32", "write-holding", "0", "abc"}
                                           << QByteArray("not a float32 value");
    QTest::newRow("int32 out of range") << QStringList{"--type", "int32", "write-holding", "0", "2147483648"}
                                        << QByteArray("not an int32 value");
    QTest::newRow("type for coils") << QStringList{"--type", "int32", "read-coils", "0"} << QByteArray("not for read-coils");
    QTest::newRow("an option of another command") << QStringList{"--csv", "read-holding", "0"}
                                                  << QByteArray("--csv is for poll");
    QTest::newRow("stdout for the capture and the records") << QStringList{"--pcap", "-", "--out", "-", "read-file",
                                                                           "2", "0", "1"}
                                                            << QByteArray("where --pcap - writes the capture");
    // URLs are checked before anything opens.
    QTest::newRow("url empty") << QStringList{"--url", "", "read-holding", "0"} << QByteArray("--url is empty");
    QTest::newRow("url scheme") << QStringList{"--url", "tcp://127.0.0.1:502", "read-holding", "0"}
                                << QByteArray("use socks://HOST:PORT or a serial port");
    QTest::newRow("url port 0") << QStringList{"--url", "socks://127.0.0.1:0", "read-holding", "0"}
                                << QByteArray("1 to 65535");
    QTest::newRow("url port too high") << QStringList{"--url=socks://127.0.0.1:65536", "read-holding", "0"}
                                       << QByteArray("not a valid URL");
    QTest::newRow("serial parity") << QStringList{"--url", "/dev/null?parity=mark", "read-holding", "0"}
                                   << QByteArray("parity is one of none, even, odd");
    QTest::newRow("serial data bits") << QStringList{"--url", "/dev/null?databits=9", "read-holding", "0"}
                                      << QByteArray("data bits");
    QTest::newRow("unknown option") << QStringList{"--verbos", "read-holding", "0"}
                                    << QByteArray("unknown option --verbos");
    QTest::newRow("bad --name=value") << QStringList{"--timeout=abc", "read-holding", "0"}
                                      << QByteArray("--timeout needs a number");
}

void tst_ToolsLink::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, message);
    // --trace shows any frame that would leave.
    const ToolResult r = link(QStringList{"--trace"} + args);
    QVERIFY2(r.exitCode == 1, r.err.constData());
    QVERIFY2(r.err.contains(message), r.err.constData());
    QVERIFY2(!r.err.contains(" -> "), r.err.constData());
    QVERIFY(r.out.isEmpty());

    const ToolResult refused = link({"read-holding", "0"}, "socks://127.0.0.1:1");
    QCOMPARE(refused.exitCode, 2);
    QVERIFY(refused.err.contains("cannot open"));
}

void tst_ToolsLink::simulatorFaults_data()
{
    QTest::addColumn<QStringList>("faults");  // qvsim's options
    QTest::addColumn<QStringList>("args");    // qvlink's
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("frames");          // requests written, and logged by qvsim --verbose
    QTest::addColumn<QByteArray>("error");    // expected in qvlink's stderr

    const QStringList read{"--path", "2", "read-holding", "0", "2"};
    QTest::newRow("a reply dropped") << QStringList{"--drop", "1"} << read << 0 << 2 << QByteArray();
    QTest::newRow("every checksum wrong") << QStringList{"--corrupt-crc", "all"} << read << 4 << 5 << QByteArray();
    QTest::newRow("replies cut short") << QStringList{"--short=5,3"} << read << 3 << 5 << QByteArray();
    QTest::newRow("stale bytes first") << QStringList{"--stale", "1,dead"} << read << 0 << 2 << QByteArray();
    QTest::newRow("a reply in pieces") << QStringList{"--split", "1,3,10"} << read << 0 << 1 << QByteArray();
    QTest::newRow("a read answering more") << QStringList{"--extend", "1"} << read << 0 << 2 << QByteArray();
    QTest::newRow("a reply late, in time") << QStringList{"--delay", "1,30"}
                                           << QStringList({"--timeout", "2000"}) + read << 0 << 1 << QByteArray();
    QTest::newRow("faults in their order") << QStringList{"--corrupt-crc", "1", "--drop", "1"} << read << 0 << 3
                                           << QByteArray();
    // A hang-up is told with the driver's reason, not as a link that was never open.
    QTest::newRow("the peer hangs up") << QStringList{"--hang-up", "1,3"} << read << 2 << 1
                                       << QByteArray("not open: no connection to the module: The remote host closed");
}

void tst_ToolsLink::simulatorFaults()
{
    QFETCH(QStringList, faults);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(int, frames);
    QFETCH(QByteArray, error);
    QProcess sim;
    const QString url = startSimulator(sim, QStringList{"--verbose"} + faults);
    QVERIFY2(!url.isEmpty(), sim.readAllStandardError().constData());
    const ToolResult r = link(QStringList{"--trace"} + args, url);
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
    QVERIFY2(r.exitCode == exitCode, r.err.constData());
    QVERIFY2(r.err.contains(error), r.err.constData());
    QCOMPARE(QString::fromUtf8(r.err).count(" -> "), frames);
    const QString log = QString::fromUtf8(sim.readAllStandardError());
    QCOMPARE(log.count(" -> 02 03 00 00 00 02 4b c0"), frames);
    QCOMPARE(log.count(" <- ") + log.count("(no reply)"), frames);
}

void tst_ToolsLink::interruptReportsWhatWasDone_data()
{
    QTest::addColumn<QStringList>("faults");  // slow enough that Ctrl-C comes mid-way
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("report");      // the last line of stdout

    QTest::newRow("write-file") << QStringList{"--delay", "all,20"}
                                << QStringList{"--path", "2", "write-file", "7", "0", "--in", m_dir.filePath("big.bin")}
                                << "interrupted: \\d+ of 10000 records written";
    // File 2 holds 100 records: two replies, each a second in coming; Ctrl-C may
    // come after the second request has left.
    QTest::newRow("read-file") << QStringList{"--split", "all,40,25"}
                               << QStringList{"--path", "2", "--interval", "1000", "read-file", "2", "0", "60000"}
                               << "interrupted: (50|100) of 60000 records read";
    QTest::newRow("scan") << QStringList{"--delay", "all,20"} << QStringList{"--timeout", "200", "scan", "1", "247"}
                          << "interrupted: addresses 1-\\d+ of 1-247 scanned, \\d modules? found";
}

void tst_ToolsLink::interruptReportsWhatWasDone()
{
    QFETCH(QStringList, faults);
    QFETCH(QStringList, args);
    QFETCH(QString, report);
    QFile big(m_dir.filePath("big.bin"));
    QVERIFY(big.open(QIODevice::WriteOnly));
    big.write(QByteArray(20000, '\x5a'));
    big.close();
    QProcess sim;
    const QString url = startSimulator(sim, faults);
    QVERIFY(!url.isEmpty());
    QProcess tool;
    tool.setReadChannel(QProcess::StandardError);
    tool.start(toolPath("qvlink"), QStringList{"--url", url, "--trace"} + args);
    QVERIFY(tool.waitForStarted());
    // Ctrl-C once the first reply is in.
    QByteArray err;
    while (!err.contains(" <- ") && tool.waitForReadyRead(10000))
        err += tool.readAllStandardError();
    QVERIFY2(err.contains(" <- "), err.constData());
    ::kill(pid_t(tool.processId()), SIGINT);
    QVERIFY(tool.waitForFinished(20000));
    err += tool.readAllStandardError();
    sim.terminate();
    sim.waitForFinished(5000);
    QCOMPARE(tool.exitCode(), 130);
    const QStringList lines = QString::fromUtf8(tool.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(QRegularExpression("^" + report + "$").match(lines.last()).hasMatch(),
             qPrintable(lines.last() + "\n" + err));
}

QTEST_GUILESS_MAIN(tst_ToolsLink)
#include "tst_toolslink.moc"
