#include <QtCore/QElapsedTimer>
#include <QtCore/QProcess>
#include <QtCore/QStandardPaths>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>
#include <QtCore/QtEndian>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>
#include <QtTest/QtTest>

#include <functional>
#include <signal.h>
#include <unistd.h>

#include <messagebuilder.h>
#include <pcapwriter.h>
#include <simulatedlink.h>
#include <simulatedmodule.h>
#include <defaultanalyser.h>
#include <simulatorthread.h>
#include <toolrunner.h>

namespace {

const QString Dissector = QStringLiteral(QV_SOURCE_DIR "/tools/wireshark/qvlink.lua");

struct Packet {
    qint64 usec = 0;
    QByteArray data;
};

// Reads a capture file back, refusing anything but a whole, well-formed file: a file
// header, then records whose lengths add up to the file's size exactly.
bool readCapture(const QString &fileName, quint32 *linkType, QList<Packet> *packets, QString *why)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    const QByteArray bytes = file.readAll();
    const char *p = bytes.constData();
    if (bytes.size() < 24 || qFromLittleEndian<quint32>(p) != 0xA1B2C3D4 || qFromLittleEndian<quint16>(p + 4) != 2) {
        *why = QStringLiteral("no capture file header");
        return false;
    }
    *linkType = qFromLittleEndian<quint32>(p + 20);
    for (int at = 24; at < bytes.size();) {
        if (bytes.size() - at < 16) {
            *why = QStringLiteral("a cut packet header at %1").arg(at);
            return false;
        }
        const quint32 kept = qFromLittleEndian<quint32>(p + at + 8);
        if (kept != qFromLittleEndian<quint32>(p + at + 12) || kept > quint32(bytes.size() - at - 16)) {
            *why = QStringLiteral("a cut packet at %1").arg(at);
            return false;
        }
        Packet packet;
        packet.usec = qint64(qFromLittleEndian<quint32>(p + at)) * 1000000 + qFromLittleEndian<quint32>(p + at + 4);
        packet.data = bytes.mid(at + 16, int(kept));
        packets->append(packet);
        at += 16 + int(kept);
    }
    return true;
}

QByteArray withCrc(const QByteArray &frame)
{
    const quint16 crc = crc16(frame.constData(), frame.size());
    return frame + char(crc >> 8) + char(crc & 0xFF);
}

// tshark's decoding: one line per packet, the fields tab-separated, repeated fields
// joined by '|'. Empty with a failure message when tshark fails.
QStringList tshark(const QStringList &args, QString *failure)
{
    const ToolResult r = runProgram(QStandardPaths::findExecutable("tshark"),
                                    QStringList{"-X", "lua_script:" + Dissector, "-E", "occurrence=a",
                                                "-E", "aggregator=|"} + args, QString(), 60000);
    if (r.exitCode != 0 || r.err.contains("Lua"))
        *failure = QString::fromUtf8(r.err);
    QStringList lines = QString::fromUtf8(r.out).split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QVariantList decodeFields(const QStringList &lines, const QStringList &fields)
{
    QVariantList decoded;
    for (const QString &line : lines) {
        const QStringList values = line.split('\t');
        QVariantMap map;
        for (int i = 0; i < fields.size() && i < values.size(); ++i)
            map.insert(fields.at(i), values.at(i));
        decoded.append(map);
    }
    return decoded;
}

// One session recorded through the console (args) or answered by the simulator
// directly (requests, in hex without checksum, for functions the console has no command
// for). Expectations are "PACKET FIELD=VALUE", PACKET counted from 0 in the session,
// values of repeated fields joined by '|', "*" for any value, "@N" for the frame of the
// session's packet N.
struct Session {
    const char *name;
    QStringList args;
    QStringList requests;
    int exitCode;
    QStringList expect;
    std::function<void(SimulatedLink &)> prepare = {};
    bool interrupt = false;  // SIGINT as soon as the first packet is in the file
    // Options of a qvsim of the session's own, whose capture says what it received and sent.
    QStringList qvsim = {};
};

QVector<Session> sessionTable()
{
    return {
        {"plain read", {"--path", "2", "read-holding", "0x10", "2"}, {}, 0,
         {"0 qvlink.path=2", "0 qvlink.function=3", "0 qvlink.start=16", "0 qvlink.count=2",
          "1 qvlink.byte_count=4", "1 qvlink.register=512|513"}},
        {"routed read, two hops", {"--path", "1/5/3", "read-input-registers", "0", "3"}, {}, 0,
         {"0 qvlink.address=1", "0 qvlink.route=5|3", "0 qvlink.function=4", "1 qvlink.route=5|3",
          "1 qvlink.register=1030|1031|1032"}},
        {"routed write", {"--path", "1/6", "write-holding", "0x30", "7", "0xbeef"}, {}, 0,
         {"0 qvlink.route=6", "0 qvlink.function=16", "0 qvlink.byte_count=4", "0 qvlink.register=7|48879",
          "1 qvlink.start=48", "1 qvlink.count=2"}},
        {"read coils", {"--path", "2", "read-coils", "0", "5"}, {}, 0,
         {"0 qvlink.function=1", "0 qvlink.count=5", "1 qvlink.bit=1|0|0|1|0"}},
        {"write coils", {"--path", "2", "write-coils", "100", "1", "0", "1"}, {}, 0,
         {"0 qvlink.function=15", "0 qvlink.byte_count=1", "0 qvlink.bit=1|0|1", "1 qvlink.count=3"}},
        {"read file, routed", {"--path", "1/5", "read-file", "2", "10", "3"}, {}, 0,
         {"0 qvlink.function=20", "0 qvlink.file.reftype=6", "0 qvlink.file.number=2", "0 qvlink.file.record=10",
          "0 qvlink.file.length=3", "1 qvlink.file.response_length=7", "1 qvlink.file.data=5010|5011|5012"}},
        {"write file", {"--path", "2", "write-file", "5", "0", "--in", "@IN"}, {}, 0,
         {"0 qvlink.function=21", "0 qvlink.file.number=5", "0 qvlink.file.length=2",
          "0 qvlink.file.data=4660|22136", "1 qvlink.file.data=4660|22136"}},
        {"trunk two hops away", {"--path", "1/5/3", "read-trunk", "1"}, {}, 0,
         {"1 qvlink.file.data=36", "2 qvlink.file.record=1", "2 qvlink.file.length=18", "3 qvlink.route=5|3"}},
        {"identification objects in pages", {"--path", "2", "identify"}, {}, 0,
         {"0 qvlink.object.read_code=1", "0 qvlink.object.id=0", "1 qvlink.object.id=0|1|2",
          "1 qvlink.object.value=QvCore simulation|QV-M2|1.2.0", "1 qvlink.object.more_follows=0xff",
          "1 qvlink.object.next_id=3", "13 qvlink.object.value=simulated analyser",
          "13 qvlink.object.more_follows=0x00"}},
        {"event counter", {"--path", "2", "events"}, {}, 0,
         {"0 qvlink.function=11", "1 qvlink.status_word=0x0000", "1 qvlink.event_count=*"}},
        {"restart, then busy", {"--path", "2", "restart", "--clear-log"}, {}, 0,
         {"0 qvlink.diag.sub=1", "0 qvlink.restart=0xff00", "1 qvlink.restart=0xff00"}},
        {"wait while busy", {"--path", "2", "wait"}, {}, 0,
         {"1 qvlink.status_word=0xffff", "3 qvlink.status_word=0xffff", "5 qvlink.status_word=0x0000"}},
        {"boot loader", {"--path", "1/6", "bootloader"}, {}, 0, {"0 qvlink.route=6", "0 qvlink.restart=0xffff"}},
        {"pass-through", {"--path", "2", "raw", "de ad be ef"}, {}, 0,
         {"0 qvlink.mei=0x0d", "0 qvlink.passthrough=deadbeef", "1 qvlink.passthrough=deadbeef"}},
        {"exception", {"--path", "2", "read-holding", "0x1000", "2"}, {}, 5,
         {"1 qvlink.function=3", "1 qvlink.function.exception=1", "1 qvlink.exception=2",
          "1 _ws.expert.message=Exception reply"}},
        {"gateway exception", {"--path", "1/9", "read-holding", "0"}, {}, 5,
         {"0 qvlink.route=9", "1 qvlink.path=1", "1 qvlink.function=43", "1 qvlink.exception=10"}},
        {"bad CRC, then the retry", {"--path", "2", "read-holding", "0", "1"}, {}, 0,
         {"1 qvlink.crc.status=0", "1 qvlink.mark=5",
          "1 _ws.expert.message=Not an answer: damaged, or not the reply to its request|Bad CRC",
          "1 qvlink.register=2", "3 qvlink.crc.status=1", "3 qvlink.register=2"},
         [](SimulatedLink &link) { link.faults().corruptCrc(1); }},
        // Three attempts at the first 50 registers, the third answered at once; the next
        // request could be answered by the same frame, so it waits for the two late replies.
        {"late replies, marked and paired", {"--path", "2", "read-holding", "0x10", "120"}, {}, 0,
         {"3 qvlink.request_in=@2", "4 qvlink.mark=1", "4 _ws.expert.message=Late reply: answers an earlier request",
          "4 qvlink.request_in=@1", "4 qvlink.time=*", "5 qvlink.mark=1", "5 qvlink.request_in=@0",
          "0 qvlink.response_in=@5", "1 qvlink.response_in=@4", "6 qvlink.start=66", "7 qvlink.request_in=@6"},
         {}, false, {"--delay", "2,1000"}},
        {"time-out: an error exit keeps the file", {"--path", "7", "--timeout", "20", "read-holding", "0"}, {}, 3,
         {"0 qvlink.path=7", "4 qvlink.path=7"},
         [](SimulatedLink &link) { link.addModule(7)->setResponding(false); }},
        {"interrupted by Ctrl-C", {"--path", "7", "--timeout", "5000", "read-holding", "0x20"}, {}, -1,
         {"0 qvlink.start=32"}, {}, true},
        {"functions without a console command", {},
         {"02 41", "02 42 00000003 a5f1", "02 44 00000003 1234", "02 43", "02 0c", "02 11", "02 07",
          "02 05 0064 ff00", "02 06 0031 0007", "02 08 0000 cafe"},
         0,
         {"1 qvlink.bootloader_info=boot loader 1.2.0", "2 qvlink.flash.key=0xa5f1", "3 qvlink.flash.page=3",
          "4 qvlink.flash.value=0x1234", "5 qvlink.flash.page=3", "7 qvlink.flash.crc=*",
          "9 qvlink.message_count=*", "11 qvlink.server_id=02ff72656167656e7420636f6f6c6572",
          "13 qvlink.exception_status=*", "15 qvlink.coil_value=0xff00", "14 qvlink.start=100",
          "17 qvlink.value=7", "18 qvlink.diag.sub=0", "19 qvlink.diag.echo=cafe"}},
    };
}

// Sits between qvlink and the simulator on loopback and writes what it forwards as an
// Ethernet/IPv4/TCP capture. It shapes the traffic on purpose: the client's first
// request is held until its retry comes, and both go on in one segment; the first
// reply goes back in two segments. The answer to the retry is not passed on (the client
// has its reply by then), so that the client's session stays deterministic.
class CaptureRelay : public QObject
{
public:
    CaptureRelay(quint16 upstream, int requestLength, int replyLength, int splitAt)
        : m_upstreamPort(upstream), m_requestLength(requestLength), m_replyLength(replyLength), m_splitAt(splitAt)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &CaptureRelay::accept);
    }

    bool start(const QString &captureFile)
    {
        return m_capture.open(captureFile, PcapWriter::Ethernet) && m_server.listen(QHostAddress::LocalHost);
    }
    quint16 port() const { return m_server.serverPort(); }
    void finish() { m_capture.close(); }

private:
    enum Flags : quint8 { Fin = 0x01, Syn = 0x02, Psh = 0x08, Ack = 0x10 };

    void accept()
    {
        m_client = m_server.nextPendingConnection();
        m_clientPort = m_client->peerPort();
        m_upstream.connectToHost(QHostAddress::LocalHost, m_upstreamPort);
        m_upstream.waitForConnected(5000);
        record(true, Syn, {});
        record(false, Syn | Ack, {});
        record(true, Ack, {});
        connect(m_client, &QTcpSocket::readyRead, this, &CaptureRelay::fromClient);
        connect(&m_upstream, &QTcpSocket::readyRead, this, &CaptureRelay::fromServer);
        fromClient();
    }

    void fromClient()
    {
        m_held += m_client->readAll();
        if (m_passRequests || m_held.size() < 2 * m_requestLength)
            return forwardHeldRequests();
        m_passRequests = true;
        forwardHeldRequests();
    }

    void forwardHeldRequests()
    {
        if (!m_passRequests || m_held.isEmpty())
            return;
        record(true, Psh | Ack, m_held);
        m_upstream.write(m_held);
        m_held.clear();
    }

    void fromServer()
    {
        m_replies += m_upstream.readAll();
        if (!m_replySplit) {
            if (m_replies.size() < m_replyLength)
                return;
            m_replySplit = true;
            m_dropLeft = m_replyLength;  // the answer to the retry
            toClient(m_replies.left(m_splitAt));
            const QByteArray rest = m_replies.mid(m_splitAt, m_replyLength - m_splitAt);
            QTimer::singleShot(20, this, [this, rest] { toClient(rest); });
            m_replies.remove(0, m_replyLength);
        }
        const int dropped = qMin(m_dropLeft, m_replies.size());
        m_replies.remove(0, dropped);
        m_dropLeft -= dropped;
        if (!m_replies.isEmpty() && m_dropLeft == 0) {
            toClient(m_replies);
            m_replies.clear();
        }
    }

    void toClient(const QByteArray &bytes)
    {
        if (m_client->state() != QAbstractSocket::ConnectedState)
            return;
        record(false, Psh | Ack, bytes);
        m_client->write(bytes);
    }

    // One segment of the connection, headers built here; loopback addresses.
    void record(bool fromClient, quint8 flags, const QByteArray &payload)
    {
        quint32 &seq = fromClient ? m_clientSeq : m_serverSeq;
        const quint32 ack = fromClient ? m_serverSeq : m_clientSeq;
        QByteArray tcp(20, '\0');
        qToBigEndian<quint16>(fromClient ? m_clientPort : port(), tcp.data());
        qToBigEndian<quint16>(fromClient ? port() : m_clientPort, tcp.data() + 2);
        qToBigEndian<quint32>(seq, tcp.data() + 4);
        qToBigEndian<quint32>(flags & Ack ? ack : 0, tcp.data() + 8);
        tcp[12] = char(5 << 4);
        tcp[13] = char(flags);
        qToBigEndian<quint16>(65535, tcp.data() + 14);
        tcp += payload;
        seq += quint32(payload.size()) + ((flags & (Syn | Fin)) ? 1 : 0);

        QByteArray ip = QByteArray::fromHex("4500 0000 0000 4000 4006 0000 7f000001 7f000001");
        qToBigEndian<quint16>(quint16(20 + tcp.size()), ip.data() + 2);
        quint32 sum = 0;
        for (int i = 0; i < 20; i += 2)
            sum += qFromBigEndian<quint16>(ip.constData() + i);
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        qToBigEndian<quint16>(quint16(~sum), ip.data() + 10);
        const QByteArray ethernet = QByteArray::fromHex("020000000002 020000000001 0800");
        m_capture.writePacket(ethernet + ip + tcp);
    }

    QTcpServer m_server;
    QTcpSocket *m_client = nullptr;
    QTcpSocket m_upstream;
    PcapWriter m_capture;
    quint16 m_upstreamPort, m_clientPort = 0;
    int m_requestLength, m_replyLength, m_splitAt;
    quint32 m_clientSeq = 1000, m_serverSeq = 5000;
    QByteArray m_held, m_replies;
    bool m_passRequests = false, m_replySplit = false;
    int m_dropLeft = 0;
};

} // namespace

// Captures from qvlink --pcap and qvsim --pcap, read back by tshark with our dissector:
// every packet of every session decodes with its function, route, data fields and CRC
// status, against the frames the simulator received; over TCP a split frame is
// reassembled and two frames in one segment are both dissected.
class tst_ToolsCapture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sessions_data();
    void sessions();
    void tcpStream();
    void liveCapture_data();
    void liveCapture();
    void everyFunctionCodeHasARow();

private:
    struct Recorded {
        QList<Packet> packets;
        QByteArrayList logged;
        QByteArrayList sent;  // the replies a qvsim of the session's own sent
        int exitCode = 0;
        QString failure;
    };
    Recorded record(const Session &session, const QString &file);
    // tshark as a process that finds our extcap program and no other; empty with the
    // reason where that cannot be arranged.
    QString startTsharkWithExtcap(QProcess &tshark, const QStringList &args);

    SimulatorThread m_sim;
    QTemporaryDir m_dir;
};

void tst_ToolsCapture::initTestCase()
{
    if (QStandardPaths::findExecutable("tshark").isEmpty())
        QSKIP("tshark is not installed (./qv test installs it with apt-get): the captures cannot be decoded here");
    QVERIFY(QFile::exists(toolPath("qvlink")));
    qRegisterMetaType<QProcess::ExitStatus>();
    buildDefaultAnalyser(m_sim.link());
    QVERIFY(m_sim.start(SimulatorThread::Tcp | SimulatorThread::Pty));
    QFile in(m_dir.filePath("in.bin"));
    QVERIFY(in.open(QIODevice::WriteOnly));
    in.write(QByteArray::fromHex("12345678"));
}

tst_ToolsCapture::Recorded tst_ToolsCapture::record(const Session &session, const QString &file)
{
    Recorded r;
    if (session.args.isEmpty()) {
        PcapWriter writer;
        writer.open(file);
        for (const QString &hex : session.requests) {
            const QByteArray request = withCrc(QByteArray::fromHex(hex.toLatin1()));
            writer.writeFrame(PcapWriter::Request, request);
            writer.writeFrame(PcapWriter::Reply, m_sim.link().reply(request));
        }
    } else {
        QProcess sim;
        const QString simFile = file + ".qvsim";
        QString url = m_sim.url();
        if (!session.qvsim.isEmpty()) {
            sim.start(QV_BINARY_DIR "/simulator/qvsim", QStringList{"--pcap", simFile} + session.qvsim);
            sim.waitForReadyRead(10000);
            const QByteArray banner = sim.readAllStandardOutput();
            if (!banner.startsWith("listening on ")) {
                r.failure = QStringLiteral("qvsim did not start: ") + QString::fromUtf8(sim.readAllStandardError());
                return r;
            }
            url = QString::fromLatin1(banner.mid(13).trimmed());
        }
        QStringList args = QStringList{"--url", url, "--pcap", file} + session.args;
        args.replaceInStrings("@IN", m_dir.filePath("in.bin"));
        QProcess console;
        console.start(toolPath("qvlink"), args);
        if (session.interrupt) {
            QElapsedTimer waited;
            waited.start();
            // The first request in the file and on its way, then Ctrl-C.
            while ((QFileInfo(file).size() <= 24 || m_sim.link().requestCount() == 0) && waited.elapsed() < 20000)
                QThread::msleep(5);
            ::kill(pid_t(console.processId()), SIGINT);
        }
        if (!console.waitForFinished(60000))
            console.kill();
        r.exitCode = console.exitStatus() == QProcess::NormalExit ? console.exitCode() : -1;
        if (!session.qvsim.isEmpty()) {
            sim.terminate();
            sim.waitForFinished(10000);
            QList<Packet> simSide;
            quint32 linkType = 0;
            if (!readCapture(simFile, &linkType, &simSide, &r.failure))
                return r;
            for (const Packet &p : qAsConst(simSide))
                (p.data.at(0) == PcapWriter::Request ? r.logged : r.sent).append(p.data.mid(1));
        }
    }
    quint32 linkType = 0;
    if (!readCapture(file, &linkType, &r.packets, &r.failure))
        return r;
    if (linkType != PcapWriter::User0)
        r.failure = QStringLiteral("link type %1").arg(linkType);
    if (session.qvsim.isEmpty())
        r.logged = m_sim.link().requests();
    return r;
}

void tst_ToolsCapture::sessions_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("expectedExitCode");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QByteArrayList>("packets");  // direction byte, then the frame
    QTest::addColumn<QByteArrayList>("logged");   // what the simulator received meanwhile
    QTest::addColumn<QByteArrayList>("sent");     // the replies a qvsim of the session's own sent
    QTest::addColumn<int>("firstFrame");          // of the session in the file tshark read
    QTest::addColumn<QVariantList>("decoded");    // per packet, field -> value
    QTest::addColumn<QStringList>("expect");

    // Every session into its own file, then all of them into one file for one tshark run.
    const QVector<Session> table = sessionTable();
    QVector<Recorded> recorded;
    QStringList fields{"qvlink.direction", "qvlink.crc", "qvlink.crc.status", "qvlink.request_in",
                       "qvlink.response_in", "qvlink.time", "_ws.expert.message"};
    PcapWriter all;
    all.open(m_dir.filePath("all.pcap"));
    for (const Session &session : table) {
        m_sim.link().clearRequests();
        m_sim.link().faults().clear();
        if (session.prepare)
            session.prepare(m_sim.link());
        recorded.append(record(session, m_dir.filePath(QString("session%1.pcap").arg(recorded.size()))));
        for (const Packet &packet : recorded.last().packets)
            all.writePacket(packet.data, packet.usec);
        for (const QString &e : session.expect) {
            const QString field = e.section(' ', 1).section('=', 0, 0);
            if (!fields.contains(field))
                fields.append(field);
        }
    }
    all.close();
    m_sim.link().removeModule(7);

    QStringList args{"-r", m_dir.filePath("all.pcap"), "-T", "fields"};
    for (const QString &field : fields)
        args << "-e" << field;
    QString failure;
    const QVariantList decoded = decodeFields(tshark(QStringList{"-2"} + args, &failure), fields);

    int firstFrame = 1;
    for (int i = 0; i < table.size(); ++i) {
        const Recorded &r = recorded.at(i);
        QByteArrayList packets;
        for (const Packet &packet : r.packets)
            packets.append(packet.data);
        QTest::newRow(table.at(i).name) << r.exitCode << table.at(i).exitCode
                                        << (failure.isEmpty() ? r.failure : "tshark: " + failure) << packets
                                        << r.logged << r.sent << firstFrame
                                        << decoded.mid(firstFrame - 1, packets.size()) << table.at(i).expect;
        firstFrame += packets.size();
    }
}

void tst_ToolsCapture::sessions()
{
    QFETCH(int, exitCode);
    QFETCH(int, expectedExitCode);
    QFETCH(QString, failure);
    QFETCH(QByteArrayList, packets);
    QFETCH(QByteArrayList, logged);
    QFETCH(QByteArrayList, sent);
    QFETCH(int, firstFrame);
    QFETCH(QVariantList, decoded);
    QFETCH(QStringList, expect);

    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(exitCode, expectedExitCode);
    QVERIFY(!packets.isEmpty());
    QCOMPARE(decoded.size(), packets.size());

    // The file holds exactly the requests the simulator received, in order, and every
    // reply a simulator of the session's own sent, taken or marked.
    QByteArrayList requests, replies;
    QSet<int> lateFrames;
    for (int i = 0; i < packets.size(); ++i) {
        (packets.at(i).at(0) == PcapWriter::Request ? requests : replies).append(packets.at(i).mid(1));
        if (packets.at(i).at(0) >> 1 == PcapWriter::LateReply)
            lateFrames.insert(firstFrame + i);
    }
    QCOMPARE(requests, logged);
    if (!sent.isEmpty())
        QCOMPARE(replies, sent);

    // Every packet decodes: its direction, its CRC and whether it holds, and the pairs
    // (a reply answers the latest request before it: sessions here send one at a time;
    // a late reply, and the request it answers, as the session says).
    int lastRequest = 0;
    for (int i = 0; i < packets.size(); ++i) {
        const QByteArray frame = packets.at(i).mid(1);
        const QVariantMap fields = decoded.at(i).toMap();
        const QString where = QStringLiteral("packet %1").arg(i);
        QVERIFY2(fields.value("qvlink.direction") == QString::number(packets.at(i).at(0) & 1), qPrintable(where));
        const quint16 crc = qFromBigEndian<quint16>(frame.constData() + frame.size() - 2);
        QCOMPARE(fields.value("qvlink.crc").toString(), QString::asprintf("0x%04x", crc));
        const bool good = crc16(frame.constData(), frame.size() - 2) == crc;
        QCOMPARE(fields.value("qvlink.crc.status").toString(), QString(good ? "1" : "0"));
        if (packets.at(i).at(0) == PcapWriter::Request) {
            lastRequest = firstFrame + i;
            const bool answered = i + 1 < packets.size() && (packets.at(i + 1).at(0) & 1) == PcapWriter::Reply;
            const QString replyIn = fields.value("qvlink.response_in").toString();
            QVERIFY2(replyIn == (answered ? QString::number(firstFrame + i + 1) : QString())
                         || lateFrames.contains(replyIn.toInt()), qPrintable(where));
        } else if (!lateFrames.contains(firstFrame + i)) {
            QVERIFY2(fields.value("qvlink.request_in") == QString::number(lastRequest), qPrintable(where));
            QVERIFY2(!fields.value("qvlink.time").toString().isEmpty(), qPrintable(where));
        }
    }

    for (const QString &e : expect) {
        const int packet = e.section(' ', 0, 0).toInt();
        const QString field = e.section(' ', 1).section('=', 0, 0);
        QString value = e.section('=', 1);
        if (value.startsWith('@'))
            value = QString::number(firstFrame + value.mid(1).toInt());
        QVERIFY2(packet < decoded.size(), qPrintable(e));
        const QString got = decoded.at(packet).toMap().value(field).toString();
        QVERIFY2(value == "*" ? !got.isEmpty() : got == value, qPrintable(e + " but got " + got));
    }
}

// Real TCP through a relay that splits a reply across two segments and puts two requests
// in one; qvsim records its end of the same session.
void tst_ToolsCapture::tcpStream()
{
    QProcess sim;
    const QString simCapture = m_dir.filePath("qvsim.pcap");
    sim.start(QV_BINARY_DIR "/simulator/qvsim", {"--pcap", simCapture});
    QVERIFY(sim.waitForReadyRead(10000));
    const QByteArray banner = sim.readAllStandardOutput();
    QVERIFY2(banner.startsWith("listening on socks://127.0.0.1:"), banner.constData());
    const quint16 simPort = quint16(banner.mid(banner.lastIndexOf(':') + 1).trimmed().toUInt());

    // A routed read of 4 registers: 11 request bytes, 16 reply bytes.
    CaptureRelay relay(simPort, 11, 16, 5);
    QVERIFY(relay.start(m_dir.filePath("tcp.pcap")));
    QProcess console;
    QSignalSpy finished(&console, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    const QString consoleCapture = m_dir.filePath("console.pcap");
    console.start(toolPath("qvlink"), {"--url", QString("socks://127.0.0.1:%1").arg(relay.port()), "--pcap",
                                       consoleCapture, "--timeout", "200", "--interval", "500", "--path", "1/5",
                                       "read-holding", "0x10", "4"});
    QVERIFY(finished.wait(30000));
    QVERIFY2(console.exitCode() == 0, console.readAllStandardError().constData());
    QCOMPARE(console.readAllStandardOutput(), QByteArray("16: 0x0500\n17: 0x0501\n18: 0x0502\n19: 0x0503\n"));
    relay.finish();
    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));

    // Both ends recorded the same requests (the first and its retry), and the reply.
    quint32 linkType = 0;
    QString why;
    QList<Packet> consoleSide, simSide;
    QVERIFY2(readCapture(consoleCapture, &linkType, &consoleSide, &why), qPrintable(why));
    QVERIFY2(readCapture(simCapture, &linkType, &simSide, &why), qPrintable(why));
    auto frames = [](const QList<Packet> &packets, char direction) {
        QByteArrayList out;
        for (const Packet &p : packets) {
            if (p.data.at(0) == direction)
                out.append(p.data.mid(1));
        }
        return out;
    };
    QCOMPARE(frames(consoleSide, PcapWriter::Request), frames(simSide, PcapWriter::Request));
    QVERIFY(frames(consoleSide, PcapWriter::Request).size() >= 2);
    QCOMPARE(frames(consoleSide, PcapWriter::Reply).value(0), frames(simSide, PcapWriter::Reply).value(0));

    const QStringList fields{"frame.number", "tcp.len", "tcp.reassembled_in", "qvlink.direction", "qvlink.route",
                             "qvlink.start", "qvlink.count", "qvlink.register", "qvlink.crc.status",
                             "qvlink.request_in", "qvlink.time"};
    QStringList args{"-2", "-r", m_dir.filePath("tcp.pcap"), "-T", "fields"};
    for (const QString &field : fields)
        args << "-e" << field;
    QString failure;
    const QVariantList decoded = decodeFields(
        tshark(QStringList{"-o", QString("qvlink.tcp_port:%1").arg(relay.port())} + args, &failure), fields);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    // The segment with both requests shows two requests; the reply's first segment is
    // reassembled into its second, which answers that segment.
    QVariantMap both, firstPart;
    for (const QVariant &v : decoded) {
        const QVariantMap m = v.toMap();
        if (both.isEmpty() && m.value("qvlink.direction") == "0|0")
            both = m;
        if (firstPart.isEmpty() && m.value("tcp.len") == "5")
            firstPart = m;
    }
    QVERIFY2(!both.isEmpty(), "no segment with two requests decoded");
    QCOMPARE(both.value("qvlink.route").toString(), QString("5|5"));
    QCOMPARE(both.value("qvlink.start").toString(), QString("16|16"));
    QCOMPARE(both.value("qvlink.count").toString(), QString("4|4"));
    QVERIFY2(!firstPart.isEmpty(), "no first part of the reply");
    QVERIFY(firstPart.value("qvlink.direction").toString().isEmpty());
    const int reassembledIn = firstPart.value("tcp.reassembled_in").toInt();
    QVERIFY(reassembledIn > firstPart.value("frame.number").toInt());
    const QVariantMap reply = decoded.value(reassembledIn - 1).toMap();
    QCOMPARE(reply.value("tcp.len").toString(), QString("11"));
    QCOMPARE(reply.value("qvlink.direction").toString(), QString("1"));
    QCOMPARE(reply.value("qvlink.register").toString(), QString("1280|1281|1282|1283"));
    QCOMPARE(reply.value("qvlink.crc.status").toString(), QString("1"));
    QCOMPARE(reply.value("qvlink.request_in").toString(), both.value("frame.number").toString());
    QVERIFY(!reply.value("qvlink.time").toString().isEmpty());

    // Decode As finds the same frames as the port preference.
    const QStringList decodeAs = tshark({"-d", QString("tcp.port==%1,qvlink").arg(relay.port()), "-r",
                                         m_dir.filePath("tcp.pcap"), "-T", "fields", "-e", "frame.number", "-e", "qvlink.direction"},
                                        &failure);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QStringList expected;
    for (const QVariant &v : decoded)
        expected << v.toMap().value("frame.number").toString() + '\t' + v.toMap().value("qvlink.direction").toString();
    QCOMPARE(decodeAs, expected);
}

// Wireshark runs every program of its extcap folder; a folder with ours alone. As root
// it takes no folder from the environment, so there the folder is mounted over its own
// in a mount namespace of tshark's.
QString tst_ToolsCapture::startTsharkWithExtcap(QProcess &tshark, const QStringList &args)
{
    const QString folder = m_dir.filePath("extcap");
    QDir().mkpath(folder);
    QFile::link(QV_BINARY_DIR "/tools/wireshark/qvlink-extcap", folder + "/qvlink-extcap");
    const QStringList tsharkArgs = QStringList{"-X", "lua_script:" + Dissector} + args;
    if (::geteuid() != 0) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("WIRESHARK_EXTCAP_DIR", folder);
        tshark.setProcessEnvironment(env);
        tshark.start(QStandardPaths::findExecutable("tshark"), tsharkArgs);
        return QString();
    }
    const ToolResult folders = runProgram(QStandardPaths::findExecutable("tshark"), {"-G", "folders"});
    QString global;
    for (const QString &line : folders.lines()) {
        if (line.startsWith("Extcap path:"))
            global = line.section('\t', 1).trimmed();
    }
    if (global.isEmpty() || !QFileInfo(global).isDir())
        return "tshark names no extcap folder";
    const QString mount = "mount --bind \"$1\" \"$2\" && shift 2 && exec tshark \"$@\"";
    const ToolResult trial = runProgram("unshare", {"-m", "sh", "-c", "mount --bind \"$1\" \"$2\"", "sh", folder, global});
    if (trial.exitCode != 0)
        return "no mount namespace for tshark's extcap folder here: " + QString::fromUtf8(trial.err).trimmed();
    tshark.start("unshare", QStringList{"-m", "sh", "-c", mount, "sh", folder, global} + tsharkArgs);
    return QString();
}

void tst_ToolsCapture::liveCapture_data()
{
    QTest::addColumn<QString>("source");     // what tshark reads from
    QTest::addColumn<QStringList>("expect"); // as in sessions, over what tshark decoded

    // A read of registers 16 and 17 of module 5 behind gateway 1, request and reply.
    const QStringList read{"0 qvlink.direction=0", "0 qvlink.route=5", "0 qvlink.function=3", "0 qvlink.count=2",
                           "1 qvlink.direction=1", "1 qvlink.register=1280|1281", "1 qvlink.crc.status=1",
                           "1 qvlink.request_in=1"};
    QTest::newRow("qvlink --pcap - into tshark -i -") << "qvlink" << read;
    QTest::newRow("qvsim --pcap - into tshark -i -") << "qvsim" << read;
    QTest::newRow("extcap: the simulated analyser") << "extcap qvsim" << read;
    QTest::newRow("extcap: a module at a TCP URL") << "extcap tcp" << read;
    QTest::newRow("extcap: a module on a serial line") << "extcap serial" << read;
}

// Captures read live: from the console's and the simulator's stdout through a pipe, and
// through the extcap program, whose interfaces tshark captures from as Wireshark would.
void tst_ToolsCapture::liveCapture()
{
    QFETCH(QString, source);
    QFETCH(QStringList, expect);

    const QStringList fields{"qvlink.direction", "qvlink.route", "qvlink.function", "qvlink.count",
                             "qvlink.register", "qvlink.crc.status", "qvlink.request_in"};
    QStringList decodeArgs{"-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|", "-c", "2"};
    for (const QString &field : fields)
        decodeArgs << "-e" << field;
    const QStringList readArgs{"--path", "1/5", "read-holding", "0x10", "2"};
    const QString tsharkProgram = QStandardPaths::findExecutable("tshark");
    QProcess producer, tshark;
    QByteArray producerErr;

    if (source == "qvlink") {
        producer.setStandardOutputProcess(&tshark);
        tshark.start(tsharkProgram, QStringList{"-X", "lua_script:" + Dissector, "-i", "-"} + decodeArgs);
        producer.start(toolPath("qvlink"), QStringList{"--url", m_sim.url(), "--pcap", "-"} + readArgs);
        QVERIFY(producer.waitForFinished(30000));
        QCOMPARE(producer.exitCode(), 0);
        // The console's own text went to stderr, beside the capture.
        producerErr = producer.readAllStandardError();
        QVERIFY2(producerErr.contains("16: 0x0500\n17: 0x0501\n"), producerErr.constData());
    } else if (source == "qvsim") {
        producer.setStandardOutputProcess(&tshark);
        tshark.start(tsharkProgram, QStringList{"-X", "lua_script:" + Dissector, "-i", "-"} + decodeArgs);
        producer.start(QV_BINARY_DIR "/simulator/qvsim", {"--pcap", "-"});
        QElapsedTimer waited;
        waited.start();
        while (!producerErr.contains('\n') && waited.elapsed() < 10000 && producer.waitForReadyRead(100))
            producerErr += producer.readAllStandardError();
        producerErr += producer.readAllStandardError();
        // What qvsim says went to stderr.
        QVERIFY2(producerErr.startsWith("listening on socks://"), producerErr.constData());
        const QString url = QString::fromUtf8(producerErr.left(producerErr.indexOf('\n')).mid(13));
        const ToolResult r = runTool("qvlink", QStringList{"--url", url} + readArgs);
        QVERIFY2(r.exitCode == 0, r.err.constData());
    } else {
        QString interface = "qvlink", url;
        QStringList settings;
        if (source == "extcap qvsim") {
            interface = "qvsim";
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            const quint16 port = probe.serverPort();
            probe.close();
            settings << "-o" << QString("extcap.qvsim.port:%1").arg(port);
            url = QString("socks://127.0.0.1:%1").arg(port);
        } else {
            settings << "-o" << "extcap.qvlink.url:" + (source == "extcap tcp" ? m_sim.url() : m_sim.serialPortName())
                     << "-o" << "extcap.qvlink.path:1/5" << "-o" << "extcap.qvlink.address:16"
                     << "-o" << "extcap.qvlink.count:2"
                     << "-o" << "extcap.qvlink.period:50";
        }
        const QString why = startTsharkWithExtcap(tshark, settings + QStringList{"-i", interface} + decodeArgs);
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        if (interface == "qvsim") {
            // The simulator listens once Wireshark has started the extcap program.
            QElapsedTimer waited;
            waited.start();
            ToolResult r;
            do {
                r = runTool("qvlink", QStringList{"--url", url, "--timeout", "500"} + readArgs);
            } while (r.exitCode == 2 && waited.elapsed() < 20000 && !tshark.waitForFinished(100));
            QVERIFY2(r.exitCode == 0, r.err.constData());
        }
    }
    // tshark ends after two packets, the pipe's end or its extcap program's stop.
    if (!tshark.waitForFinished(30000))
        tshark.kill();
    if (producer.state() != QProcess::NotRunning) {
        producer.terminate();
        producer.waitForFinished(10000);
    }
    const QByteArray err = tshark.readAllStandardError();
    QVERIFY2(tshark.exitStatus() == QProcess::NormalExit && tshark.exitCode() == 0 && !err.contains("Lua"),
             err.constData());
    QStringList lines = QString::fromUtf8(tshark.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    const QVariantList decoded = decodeFields(lines, fields);
    QCOMPARE(decoded.size(), 2);
    for (const QString &e : expect) {
        const int packet = e.section(' ', 0, 0).toInt();
        const QString field = e.section(' ', 1).section('=', 0, 0);
        const QString value = e.section('=', 1);
        const QString got = decoded.at(packet).toMap().value(field).toString();
        QVERIFY2(got == value, qPrintable(e + " but got " + got));
    }
}

// The dissector has a row for every function code the library names and the same rows
// of marks as the capture writer, and loads without complaint (a row without all its
// parts stops it loading).
void tst_ToolsCapture::everyFunctionCodeHasARow()
{
    QFile header(QV_SOURCE_DIR "/coagulation/core/link/modbusprotocol.h");
    QVERIFY(header.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString text = QString::fromUtf8(header.readAll());
    const int start = text.indexOf("enum FunctionCode");
    QVERIFY(start >= 0);
    const QString body = text.mid(start, text.indexOf("};", start) - start);
    QMap<int, QString> named;
    static const QRegularExpression code("(\\w+)\\s*=\\s*(0x[0-9A-Fa-f]+|\\d+)");
    for (auto m = code.globalMatch(body); m.hasNext();) {
        const QRegularExpressionMatch match = m.next();
        named.insert(match.captured(2).toInt(nullptr, 0), match.captured(1));
    }
    QVERIFY(named.size() > 20);

    const ToolResult r = runProgram(QStandardPaths::findExecutable("tshark"),
                                    {"-G", "values", "-X", "lua_script:" + Dissector}, QString(), 60000);
    QVERIFY2(r.exitCode == 0 && !r.err.contains("Lua") && !r.err.contains("qvlink.lua"), r.err.constData());
    QSet<int> rows;
    QMap<int, QString> dissectorMarks, writerMarks;
    for (const QString &line : r.lines()) {
        const QStringList parts = line.split('\t');
        if (parts.size() == 4 && parts.at(0) == "V" && parts.at(1) == "qvlink.function")
            rows.insert(parts.at(2).toInt());
        if (parts.size() == 4 && parts.at(0) == "V" && parts.at(1) == "qvlink.mark")
            dissectorMarks.insert(parts.at(2).toInt(), parts.at(3));
    }
    for (auto it = named.cbegin(); it != named.cend(); ++it)
        QVERIFY2(rows.contains(it.key()), qPrintable(QString("%1 (%2) has no row").arg(it.value()).arg(it.key())));
    for (const PcapWriter::MarkRow &row : PcapWriter::marks())
        writerMarks.insert(row.mark, QString::fromLatin1(row.text));
    QCOMPARE(dissectorMarks, writerMarks);
}

QTEST_GUILESS_MAIN(tst_ToolsCapture)
#include "tst_toolscapture.moc"
