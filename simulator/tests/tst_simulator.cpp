// The simulated analyser that every link test runs against: its replies, byte for
// byte, through the pure dispatcher, a raw TCP socket and a raw pseudo-terminal.

#include <defaultanalyser.h>
#include <simulatedframer.h>
#include <simulatedgateway.h>
#include <simulatedlink.h>
#include <simulatorprotocol.h>
#include <simulatorthread.h>

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTcpSocket>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace SimulatorProtocol;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// A frame with its checksum appended (the checksum itself is checked against
// independent values in crc()).
QByteArray framed(const QByteArray &body)
{
    QByteArray f = body;
    appendCrc(f);
    return f;
}

QByteArray framed(const char *text)
{
    return framed(hex(text));
}

// Module 1 a gateway with 5 (a gateway with 3) and 6 (silent) behind it; module 2 plain.
void buildFixture(SimulatedLink &link)
{
    SimulatedGateway *g1 = link.addGateway(1);
    g1->setHoldingRegisters(0x10, {0x1234, 0xABCD});
    SimulatedGateway *g5 = g1->addGateway(5);
    g5->setHoldingRegisters(0x10, {0x0500, 0x0501});
    SimulatedModule *m3 = g5->addModule(3);
    m3->setHoldingRegisters(0x10, {0x0300, 0x0301});
    g1->addModule(6)->setResponding(false);

    SimulatedModule *m2 = link.addModule(2);
    const bool coils[] = {1, 0, 1, 1, 0, 0, 0, 0, 1, 1};
    for (int i = 0; i < 10; ++i)
        m2->setCoil(i, coils[i]);
    m2->setDiscreteInput(1, true);
    m2->setDiscreteInput(2, true);
    m2->setHoldingRegisterCount(0x100);
    m2->setHoldingRegisters(0x10, {0x1111, 0x2222});
    m2->setInputRegisters(0, {0x0102, 0x0304});
    m2->setExceptionStatus(0x5A);
    m2->setFile(7, {0x0A00, 0x0A01, 0x0A02, 0x0A03, 0x0A04});
    m2->setObject(0, "AB");
    m2->setObject(1, "CDE");
    m2->setObject(2, "F");
    m2->setObjectPageSize(9);  // objects 0 and 1 fill a page
    m2->setServerId(hex("53ff"));
    m2->setBootloaderInfo("BL");
    m2->setFlashPageSize(4);
    m2->setFlashPageCount(8);
}

// Reads from the socket until `size` bytes came or the deadline passed.
QByteArray readBytes(QTcpSocket &socket, int size, int timeoutMs = 2000)
{
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (data.size() < size && timer.elapsed() < timeoutMs) {
        if (socket.bytesAvailable() == 0)
            socket.waitForReadyRead(int(qMax<qint64>(1, timeoutMs - timer.elapsed())));
        data += socket.readAll();
    }
    return data;
}

QByteArray readFd(int fd, int size, int timeoutMs = 2000)
{
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (data.size() < size && timer.elapsed() < timeoutMs) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, int(qMax<qint64>(1, timeoutMs - timer.elapsed()))) <= 0)
            continue;
        char chunk[256];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0)
            data.append(chunk, int(n));
    }
    return data;
}

} // namespace

class tst_Simulator : public QObject
{
    Q_OBJECT

private slots:
    void crc_data();
    void crc();
    void requestLength_data();
    void requestLength();
    void dispatch_data();
    void dispatch();
    void writesReachTheModel();
    void eventCounterAndRestart();
    void trunk();
    void faults_data();
    void faults();
    void faultsCountDownInOrder();
    void extraData_data();
    void extraData();
    void requestLog();
    void randomFramesAreAnsweredSafely();
    void framer_data();
    void framer();
    void defaultAnalyser();
    void tcpExchanges();
    void tcpTimingFaults();
    void ptyExchange();
    void serialPortClient();
};

void tst_Simulator::crc_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("expected");
    QTest::newRow("nothing") << QByteArray() << 0xFFFF;
    QTest::newRow("check value") << QByteArray("123456789") << 0x29B1;
    QTest::newRow("abc") << QByteArray("abc") << 0x514A;
    QTest::newRow("worked example") << hex("01 03 00 10 00 02") << 0xC643;
    QTest::newRow("routed example") << hex("01 2B 0C 05 03 00 10 00 02") << 0xC20F;
    QTest::newRow("frame with its checksum") << hex("01 03 00 10 00 02 C6 43") << 0;
}

void tst_Simulator::crc()
{
    QFETCH(QByteArray, data);
    QFETCH(int, expected);
    QCOMPARE(int(crc16(data.constData(), data.size())), expected);
}

void tst_Simulator::requestLength_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("length");
    const int fixed = RequestLength::Fixed, open = RequestLength::Open;
    const int more = RequestLength::NeedMore, invalid = RequestLength::Invalid;
    QTest::newRow("one byte") << hex("01") << more << 0;
    QTest::newRow("read registers") << hex("01 03") << fixed << 8;
    QTest::newRow("write coil") << hex("01 05") << fixed << 8;
    QTest::newRow("exception status") << hex("01 07") << fixed << 4;
    QTest::newRow("restart") << hex("01 08 00 01") << fixed << 8;
    QTest::newRow("diagnostics header short") << hex("01 08 00") << more << 0;
    QTest::newRow("echo test") << hex("01 08 00 00") << open << 6;
    QTest::newRow("event counter") << hex("01 0B") << fixed << 4;
    QTest::newRow("write coils counted") << hex("01 0F 00 00 00 0A 02") << fixed << 11;
    QTest::newRow("write registers counted") << hex("01 10 00 00 00 02 04") << fixed << 13;
    QTest::newRow("write registers header short") << hex("01 10 00 00 00 02") << more << 0;
    QTest::newRow("read file") << hex("01 14 0E") << fixed << 19;
    QTest::newRow("write file") << hex("01 15 09") << fixed << 14;
    QTest::newRow("object") << hex("01 2B 0E") << fixed << 7;
    QTest::newRow("pass-through") << hex("01 2B 0D") << open << 5;
    QTest::newRow("routed read") << hex("01 2B 0C 05 03") << fixed << 11;
    QTest::newRow("routed twice") << hex("01 2B 0C 05 2B 0C 03 10 00 00 00 01 02") << fixed << 17;
    QTest::newRow("routed pass-through") << hex("01 2B 0C 05 2B 0D") << open << 8;
    QTest::newRow("routed header short") << hex("01 2B 0C 05") << more << 0;
    QTest::newRow("boot-loader info") << hex("01 41") << fixed << 4;
    QTest::newRow("erase page") << hex("01 42") << fixed << 10;
    QTest::newRow("page checksum") << hex("01 43") << fixed << 4;
    QTest::newRow("write page") << hex("01 44") << fixed << 10;
    QTest::newRow("unknown function") << hex("01 63") << open << 4;
    QTest::newRow("function 0") << hex("01 00") << invalid << 0;
    QTest::newRow("exception code") << hex("01 83") << invalid << 0;
}

void tst_Simulator::requestLength()
{
    QFETCH(QByteArray, header);
    QFETCH(int, kind);
    QFETCH(int, length);
    const RequestLength r =
        SimulatorProtocol::requestLength(reinterpret_cast<const quint8 *>(header.constData()),
                                         header.size());
    QCOMPARE(int(r.kind), kind);
    if (kind == RequestLength::Fixed || kind == RequestLength::Open)
        QCOMPARE(r.length, length);
}

void tst_Simulator::dispatch_data()
{
    QTest::addColumn<QByteArray>("request");  // without checksum
    QTest::addColumn<QByteArray>("reply");    // without checksum; empty: no reply

    // Bits and registers of module 2.
    QTest::newRow("read coils") << hex("02 01 00 00 00 0A") << hex("02 01 02 0D 03");
    QTest::newRow("read discrete inputs") << hex("02 02 00 00 00 03") << hex("02 02 01 06");
    QTest::newRow("read holding registers") << hex("02 03 00 10 00 02") << hex("02 03 04 11 11 22 22");
    QTest::newRow("read input registers") << hex("02 04 00 00 00 02") << hex("02 04 04 01 02 03 04");
    QTest::newRow("write coil") << hex("02 05 00 05 FF 00") << hex("02 05 00 05 FF 00");
    QTest::newRow("write coil bad value") << hex("02 05 00 05 12 34") << hex("02 85 03");
    QTest::newRow("write register") << hex("02 06 00 20 BE EF") << hex("02 06 00 20 BE EF");
    QTest::newRow("write coils") << hex("02 0F 00 00 00 0A 02 FF 03") << hex("02 0F 00 00 00 0A");
    QTest::newRow("write registers") << hex("02 10 00 00 00 02 04 00 01 00 02") << hex("02 10 00 00 00 02");
    QTest::newRow("exception status") << hex("02 07") << hex("02 07 5A");
    QTest::newRow("server id") << hex("02 11") << hex("02 11 02 53 FF");

    // Exceptions: unknown function, address out of range, bad value.
    QTest::newRow("unknown function") << hex("02 63") << hex("02 E3 01");
    QTest::newRow("registers past the end") << hex("02 03 00 FF 00 02") << hex("02 83 02");
    QTest::newRow("register count 0") << hex("02 03 00 00 00 00") << hex("02 83 03");
    QTest::newRow("register count above 125") << hex("02 03 00 00 00 7E") << hex("02 83 03");
    QTest::newRow("bit count above 2000") << hex("02 01 00 00 07 D1") << hex("02 81 03");
    QTest::newRow("write register past the end") << hex("02 06 01 00 00 01") << hex("02 86 02");
    QTest::newRow("byte count inconsistent") << hex("02 10 00 00 00 02 03 00 01 00") << hex("02 90 03");
    QTest::newRow("coil byte count inconsistent") << hex("02 0F 00 00 00 0A 01 FF") << hex("02 8F 03");

    // Diagnostics.
    QTest::newRow("echo") << hex("02 08 00 00 CA FE 01") << hex("02 08 00 00 CA FE 01");
    QTest::newRow("restart clearing the log") << hex("02 08 00 01 FF 00") << hex("02 08 00 01 FF 00");
    QTest::newRow("restart keeping the log") << hex("02 08 00 01 00 00") << hex("02 08 00 01 00 00");
    QTest::newRow("boot loader") << hex("02 08 00 01 FF FF") << hex("02 08 00 01 FF FF");
    QTest::newRow("restart bad value") << hex("02 08 00 01 12 34") << hex("02 88 03");
    QTest::newRow("unknown sub-function") << hex("02 08 00 63 00 00") << hex("02 88 01");
    QTest::newRow("event counter") << hex("02 0B") << hex("02 0B 00 00 00 00");

    // Files.
    QTest::newRow("read file, two sub-requests, the second past the end")
        << hex("02 14 0E 06 00 07 00 00 00 02 06 00 07 00 03 00 05")
        << hex("02 14 0C 05 06 0A 00 0A 01 05 06 0A 03 0A 04");
    QTest::newRow("read file from its end") << hex("02 14 07 06 00 07 00 05 00 01") << hex("02 14 02 01 06");
    QTest::newRow("read missing file") << hex("02 14 07 06 00 09 00 00 00 01") << hex("02 94 02");
    QTest::newRow("read file wrong reference type") << hex("02 14 07 05 00 07 00 00 00 01") << hex("02 94 02");
    QTest::newRow("read file byte count not whole") << hex("02 14 08 06 00 07 00 00 00 01 00") << hex("02 94 03");
    QTest::newRow("read file too much") << hex("02 14 07 06 00 07 00 00 00 7A") << hex("02 94 03");
    QTest::newRow("write file") << hex("02 15 09 06 00 07 00 01 00 01 BE EF") << hex("02 15 09 06 00 07 00 01 00 01 BE EF");
    QTest::newRow("write file data short") << hex("02 15 0B 06 00 07 00 01 00 02 BE EF 00 00") << hex("02 15 0B 06 00 07 00 01 00 02 BE EF 00 00");
    QTest::newRow("write file record count too high") << hex("02 15 09 06 00 07 00 01 00 02 BE EF") << hex("02 95 03");

    // Identification objects with paging.
    QTest::newRow("objects, first page") << hex("02 2B 0E 01 00") << hex("02 2B 0E 01 83 FF 02 02 00 02 41 42 01 03 43 44 45");
    QTest::newRow("objects, next page") << hex("02 2B 0E 01 02") << hex("02 2B 0E 01 83 00 00 01 02 01 46");
    QTest::newRow("objects past the last") << hex("02 2B 0E 01 05") << hex("02 2B 0E 01 83 00 00 00");
    QTest::newRow("one object") << hex("02 2B 0E 04 01") << hex("02 2B 0E 04 83 00 00 01 01 03 43 44 45");
    QTest::newRow("one missing object") << hex("02 2B 0E 04 09") << hex("02 AB 02");
    QTest::newRow("bad read code") << hex("02 2B 0E 05 00") << hex("02 AB 03");

    // Pass-through and the boot loader.
    QTest::newRow("pass-through echo") << hex("02 2B 0D 01 02 03") << hex("02 2B 0D 01 02 03");
    QTest::newRow("pass-through empty") << hex("02 2B 0D") << hex("02 2B 0D");
    QTest::newRow("boot-loader info") << hex("02 41") << hex("02 41 02 42 4C");
    QTest::newRow("erase page") << hex("02 42 00 00 00 03 A5 F1") << hex("02 42 00 00 00 03");
    QTest::newRow("erase page wrong key") << hex("02 42 00 00 00 03 A5 F0") << hex("02 C2 03");
    QTest::newRow("erase page out of range") << hex("02 42 00 00 00 08 A5 F1") << hex("02 C2 02");
    QTest::newRow("write page") << hex("02 44 00 00 00 01 12 34") << hex("02 44 00 00 00 01");
    QTest::newRow("page checksum of an erased page") << hex("02 43") << hex("02 43 1D 0F");

    // Routing through one and two gateways, and what gateways answer when they cannot.
    QTest::newRow("gateway itself") << hex("01 03 00 10 00 02") << hex("01 03 04 12 34 AB CD");
    QTest::newRow("one hop") << hex("01 2B 0C 05 03 00 10 00 02") << hex("01 2B 0C 05 03 04 05 00 05 01");
    QTest::newRow("two hops") << hex("01 2B 0C 05 2B 0C 03 03 00 10 00 02")
                              << hex("01 2B 0C 05 2B 0C 03 03 04 03 00 03 01");
    QTest::newRow("exception behind two hops") << hex("01 2B 0C 05 2B 0C 03 03 00 00 00 00")
                                               << hex("01 2B 0C 05 2B 0C 03 83 03");
    QTest::newRow("no such module behind the gateway") << hex("01 2B 0C 09 03 00 10 00 02") << hex("01 AB 0A");
    QTest::newRow("module behind the gateway silent") << hex("01 2B 0C 06 03 00 10 00 02") << hex("01 AB 0B");
    QTest::newRow("inner gateway cannot deliver") << hex("01 2B 0C 05 2B 0C 04 03 00 10 00 02")
                                                  << hex("01 2B 0C 05 AB 0A");
    QTest::newRow("plain module asked to route") << hex("02 2B 0C 05 03 00 00 00 01") << hex("02 AB 01");
    QTest::newRow("no module at the address") << hex("07 03 00 00 00 01") << QByteArray();
}

void tst_Simulator::dispatch()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    SimulatedLink link;
    buildFixture(link);
    const QByteArray answer = link.reply(framed(request));
    if (reply.isEmpty()) {
        QVERIFY(answer.isEmpty());
        return;
    }
    QCOMPARE(answer.toHex(' '), framed(reply).toHex(' '));
}

void tst_Simulator::writesReachTheModel()
{
    SimulatedLink link;
    buildFixture(link);
    SimulatedModule *m2 = link.module(2);
    SimulatedModule *m3 = link.module("1/5/3");
    QVERIFY(m3);
    QCOMPARE(link.module("/1//5/3"), m3);
    QVERIFY(!link.module("2/5"));
    QVERIFY(!link.module("1/9"));

    QVERIFY(!link.reply(framed("02 05 00 05 FF 00")).isEmpty());
    QVERIFY(m2->coil(5));
    QVERIFY(!link.reply(framed("02 0F 00 10 00 0A 02 05 02")).isEmpty());
    QCOMPARE(m2->coil(0x10), true);
    QCOMPARE(m2->coil(0x11), false);
    QCOMPARE(m2->coil(0x12), true);
    QCOMPARE(m2->coil(0x19), true);
    QVERIFY(!link.reply(framed("01 2B 0C 05 2B 0C 03 10 00 40 00 02 04 12 34 56 78")).isEmpty());
    QCOMPARE(m3->holdingRegisters(0x40, 2), (QVector<quint16>{0x1234, 0x5678}));
    // A write file reply is an echo; the records land in the file, which grows.
    QVERIFY(!link.reply(framed("02 15 0B 06 00 08 00 02 00 02 BE EF CA FE")).isEmpty());
    QCOMPARE(m2->file(8), (QVector<quint16>{0, 0, 0xBEEF, 0xCAFE}));
    // A rejected write changes nothing.
    QCOMPARE(link.reply(framed("02 10 00 FF 00 02 04 00 01 00 02")), framed("02 90 02"));
    QCOMPARE(m2->holdingRegister(0xFF), quint16(0));
    // Flash: a written word shows in the page and in its checksum.
    link.reply(framed("02 42 00 00 00 02 A5 F1"));
    link.reply(framed("02 44 00 00 00 02 12 34"));
    QCOMPARE(m2->flashPage(2), hex("12 34 FF FF"));
    const QByteArray crcReply = link.reply(framed("02 43"));
    const quint16 pageCrc = crc16("\x12\x34\xFF\xFF", 4);
    QCOMPARE(crcReply, framed(hex("02 43") + char(pageCrc >> 8) + char(pageCrc & 0xFF)));
}

void tst_Simulator::eventCounterAndRestart()
{
    SimulatedLink link;
    buildFixture(link);
    SimulatedModule *m2 = link.module(2);
    m2->setBusyPolls(2);

    // Successful requests count as events; polls of the counter do not.
    link.reply(framed("02 03 00 10 00 01"));
    QCOMPARE(link.reply(framed("02 0B")), framed("02 0B 00 00 00 01"));
    QCOMPARE(link.reply(framed("02 0B")), framed("02 0B 00 00 00 01"));
    link.reply(framed("02 03 00 00 00 00"));  // an exception is no event
    QCOMPARE(link.reply(framed("02 0B")), framed("02 0B 00 00 00 01"));

    // Restart keeping the log: busy for two polls, counter cleared, the old events stay.
    QCOMPARE(link.reply(framed("02 08 00 01 00 00")), framed("02 08 00 01 00 00"));
    QCOMPARE(m2->restartCount(), 1);
    QCOMPARE(link.reply(framed("02 0B")), framed("02 0B FF FF 00 00"));
    QCOMPARE(link.reply(framed("02 0B")), framed("02 0B FF FF 00 00"));
    QCOMPARE(link.reply(framed("02 0B")), framed("02 0B 00 00 00 00"));
    // Log, newest first: three polls, the restart, its request, then the earlier five.
    QCOMPARE(m2->eventLog().toHex(' '), QByteArray("80 80 80 00 80 80 80 80 80 80"));

    // Restart clearing the log, finishing with an error status.
    m2->setFinalStatusWord(3);
    link.reply(framed("02 08 00 01 FF 00"));
    QCOMPARE(link.reply(framed("02 0C")), framed("02 0C 08 FF FF 00 00 00 01 80 00"));
    QCOMPARE(link.reply(framed("02 0B")), framed("02 0B FF FF 00 00"));  // the log read is no poll
    QCOMPARE(link.reply(framed("02 0B")), framed("02 0B FF FF 00 00"));
    QCOMPARE(link.reply(framed("02 0B")), framed("02 0B 00 03 00 00"));
    QVERIFY(!m2->isInBootloader());

    // Boot loader entry, and back out with an ordinary restart.
    link.reply(framed("02 08 00 01 FF FF"));
    QVERIFY(m2->isInBootloader());
    link.reply(framed("02 08 00 01 00 00"));
    QVERIFY(!m2->isInBootloader());

    // A write to the trigger register starts a busy phase; so does startBusy().
    m2->setFinalStatusWord(0);
    m2->setBusyPolls(1);
    m2->setBusyTriggerRegister(0x80);
    while (m2->isBusy())
        link.reply(framed("02 0B"));
    link.reply(framed("02 06 00 80 00 01"));
    QVERIFY(m2->isBusy());
    QCOMPARE(link.reply(framed("02 0B")).mid(2, 2), hex("FF FF"));
    QCOMPARE(link.reply(framed("02 0B")).mid(2, 2), hex("00 00"));
    m2->startBusy();
    QCOMPARE(link.reply(framed("02 0B")).mid(2, 2), hex("FF FF"));
}

void tst_Simulator::trunk()
{
    QCOMPARE(SimulatedModule::makeTrunk("hello!").toHex(' '), QByteArray("00 08 68 65 6c 6c 6f 21 1d ff"));
    // An odd length is padded to whole records after the checksum.
    QCOMPARE(SimulatedModule::makeTrunk("odd").toHex(' '), QByteArray("00 05 6f 64 64 f1 df 00"));

    SimulatedLink link;
    buildFixture(link);
    link.module(2)->storeTrunk(4, "hello!");
    QCOMPARE(link.reply(framed("02 14 07 06 00 04 00 00 00 01")), framed("02 14 04 03 06 00 08"));
    // L = 8: records 1 to 4 hold the data and the checksum.
    QCOMPARE(link.reply(framed("02 14 07 06 00 04 00 01 00 04")),
             framed("02 14 0A 09 06 68 65 6C 6C 6F 21 1D FF"));
}

void tst_Simulator::faults_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("onModule");  // the target module's plan, else the link's
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("pieces");

    const QByteArray good = framed("01 2B 0C 05 03 04 05 00 05 01");
    QByteArray corrupt = good;
    corrupt[corrupt.size() - 1] = char(~corrupt.at(corrupt.size() - 1));
    corrupt[corrupt.size() - 2] = char(~corrupt.at(corrupt.size() - 2));
    for (bool onModule : {false, true}) {
        const char *level = onModule ? "module" : "link";
        QTest::addRow("drop, %s", level) << "drop" << onModule << QByteArray() << 0 << 1;
        QTest::addRow("corrupt, %s", level) << "corrupt" << onModule << corrupt << 0 << 1;
        QTest::addRow("short, %s", level) << "short" << onModule << good.left(3) << 0 << 1;
        QTest::addRow("stale, %s", level) << "stale" << onModule << hex("AA BB") + good << 0 << 1;
        QTest::addRow("delay, %s", level) << "delay" << onModule << good << 300 << 1;
        QTest::addRow("split, %s", level) << "split" << onModule << good << 0 << 3;
        QTest::addRow("extend, %s", level) << "extend" << onModule
                                           << framed("01 2B 0C 05 03 06 05 00 05 01 00 00") << 0 << 1;
    }
}

void tst_Simulator::faults()
{
    QFETCH(QString, kind);
    QFETCH(bool, onModule);
    QFETCH(QByteArray, bytes);
    QFETCH(int, delayMs);
    QFETCH(int, pieces);

    SimulatedLink link;
    buildFixture(link);
    SimulatedFaultPlan &plan = onModule ? link.module("1/5")->faults() : link.faults();
    if (kind == "drop")
        plan.dropReplies(1);
    else if (kind == "corrupt")
        plan.corruptCrc(1);
    else if (kind == "short")
        plan.shortenReplies(1, 3);
    else if (kind == "stale")
        plan.sendStaleBytes(1, hex("AA BB"));
    else if (kind == "delay")
        plan.delayReplies(1, 300);
    else if (kind == "split")
        plan.splitReplies(1, 3, 10);
    else if (kind == "extend")
        plan.extendReplies(1, 1);
    QCOMPARE(plan.pending(), 1);

    // A module's faults leave the other modules' replies alone.
    if (onModule) {
        QCOMPARE(link.reply(framed("02 03 00 10 00 01")), framed("02 03 02 11 11"));
        QCOMPARE(link.reply(framed("01 03 00 10 00 01")), framed("01 03 02 12 34"));
    }
    const QByteArray request = framed("01 2B 0C 05 03 00 10 00 02");
    SimulatedReply reply;
    QCOMPARE(link.handleFrame(request.constData(), request.size(), &reply), !bytes.isEmpty());
    QCOMPARE(reply.bytes.toHex(' '), bytes.toHex(' '));
    QCOMPARE(reply.delayMs, delayMs);
    QCOMPARE(reply.pieces, pieces);
    if (pieces > 1)
        QCOMPARE(reply.pieceDelayMs, 10);
    // One reply used the fault up; the next is good.
    QCOMPARE(plan.pending(), 0);
    QVERIFY(link.handleFrame(request.constData(), request.size(), &reply));
    QCOMPARE(reply.bytes, framed("01 2B 0C 05 03 04 05 00 05 01"));
    QCOMPARE(reply.delayMs, 0);
    QCOMPARE(reply.pieces, 1);
}

void tst_Simulator::faultsCountDownInOrder()
{
    SimulatedLink link;
    buildFixture(link);
    const QByteArray request = framed("02 03 00 10 00 01");
    const QByteArray good = framed("02 03 02 11 11");
    link.faults().corruptCrc(2);
    link.faults().dropReplies(1);
    SimulatedFault both;
    both.drop = false;
    both.truncateTo = 2;
    both.staleBytes = hex("00");
    link.faults().add(both);

    QCOMPARE(link.reply(request).left(5), good.left(5));
    QVERIFY(link.reply(request) != good);
    QVERIFY(link.reply(request).isEmpty());
    QCOMPARE(link.reply(request), hex("00") + good.left(2));
    QCOMPARE(link.reply(request), good);

    // Silence takes no fault: a request nobody answers leaves the plan as it was.
    link.faults().dropReplies(1);
    QVERIFY(link.reply(framed("01 2B 0C 06 03 00 10 00 02")).isEmpty());  // gateway answered, dropped
    link.faults().corruptCrc(1);
    QVERIFY(link.reply(framed("09 03 00 10 00 01")).isEmpty());
    QCOMPARE(link.faults().pending(), 1);
    link.faults().clear();
    QCOMPARE(link.reply(request), good);
}

void tst_Simulator::extraData_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("registers") << hex("02 03 00 10 00 01") << hex("02 03 04 11 11 22 22");
    QTest::newRow("bits into a new byte") << hex("02 01 00 00 00 08") << hex("02 01 02 0D 01");
    QTest::newRow("file records") << hex("02 14 07 06 00 07 00 00 00 02") << hex("02 14 08 07 06 0A 00 0A 01 0A 02");
    QTest::newRow("file records past the end") << hex("02 14 07 06 00 07 00 04 00 01") << hex("02 14 06 05 06 0A 04 00 00");
    QTest::newRow("a write is unaffected") << hex("02 06 00 01 00 01") << hex("02 06 00 01 00 01");
}

void tst_Simulator::extraData()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    SimulatedLink link;
    buildFixture(link);
    link.module(2)->faults().extendReplies(1, 1);
    QCOMPARE(link.reply(framed(request)).toHex(' '), framed(reply).toHex(' '));
}

void tst_Simulator::requestLog()
{
    SimulatedLink link;
    buildFixture(link);
    const QByteArray a = framed("02 03 00 10 00 01");
    const QByteArray b = hex("02 03 00 10 00 01 00 00");  // bad checksum: logged, not answered
    const QByteArray c = framed("09 07");                 // nobody there: logged too
    link.reply(a);
    QVERIFY(link.reply(b).isEmpty());
    link.reply(c);
    QCOMPARE(link.requests(), (QList<QByteArray>{a, b, c}));
    QCOMPARE(link.lastRequest(), c);
    QCOMPARE(link.requestCount(), 3);

    link.clearRequests();
    QVERIFY(link.requests().isEmpty());
    QCOMPARE(link.requestCount(), 0);

    link.setRequestLogLimit(2);
    link.reply(a);
    link.reply(b);
    link.reply(c);
    QCOMPARE(link.requests(), (QList<QByteArray>{b, c}));
    QCOMPARE(link.requestCount(), 3);
}

void tst_Simulator::randomFramesAreAnsweredSafely()
{
    // Well-framed requests with random fields: every reply must be a whole frame from
    // the addressed module, or nothing. Under the sanitizers this also checks bounds.
    SimulatedLink link;
    buildFixture(link);
    link.setRequestLogLimit(0);
    const quint8 functions[] = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 15, 16, 17, 20, 21, 43, 65, 66, 67, 68, 99};
    QRandomGenerator random(20261208);
    int answered = 0;
    for (int i = 0; i < 20000; ++i) {
        QByteArray body(2 + int(random.bounded(40)), '\0');
        for (char &c : body)
            c = char(random.bounded(256));
        body[0] = char(1 + random.bounded(2));
        body[1] = char(functions[random.bounded(int(sizeof functions))]);
        if (body.at(1) == 43 && body.size() > 2 && random.bounded(2))
            body[2] = char(0x0C + random.bounded(3));
        const QByteArray reply = link.reply(framed(body));
        if (reply.isEmpty())
            continue;
        ++answered;
        QVERIFY(reply.size() >= 5);
        QCOMPARE(crc16(reply.constData(), reply.size()), quint16(0));
        QCOMPARE(reply.at(0), body.at(0));
        QCOMPARE(reply.at(1) & 0x7F, body.at(1) & 0x7F);
    }
    QVERIFY(answered > 10000);
}

void tst_Simulator::framer_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QList<QByteArray>>("frames");

    const QByteArray read = framed("01 03 00 10 00 02");
    const QByteArray write = framed("02 10 00 00 00 02 04 00 01 00 02");
    const QByteArray pass = framed("01 2B 0D 41 42");
    const QByteArray routed = framed("01 2B 0C 05 2B 0C 03 03 00 10 00 02");
    QByteArray badCrc = read;
    badCrc[7] = char(badCrc.at(7) ^ 1);

    QTest::newRow("one frame") << read << QList<QByteArray>{read};
    QTest::newRow("back to back") << read + write << QList<QByteArray>{read, write};
    QTest::newRow("routed twice") << routed << QList<QByteArray>{routed};
    QTest::newRow("unknown addresses before") << hex("FF FE 00") + read << QList<QByteArray>{read};
    QTest::newRow("impossible function before") << hex("01 FF") + read << QList<QByteArray>{read};
    QTest::newRow("bad checksum, then good") << badCrc + write << QList<QByteArray>{write};
    QTest::newRow("cut-off frame, then good") << read.left(5) + read << QList<QByteArray>{read};
    QTest::newRow("pass-through") << pass << QList<QByteArray>{pass};
    QTest::newRow("pass-through, then fixed") << pass + read << QList<QByteArray>{pass, read};
    QTest::newRow("echo test") << framed("02 08 00 00 11 22 33") << QList<QByteArray>{framed("02 08 00 00 11 22 33")};
    QTest::newRow("unknown function") << framed("01 63") << QList<QByteArray>{framed("01 63")};
    QTest::newRow("unknown function garbage, then good") << hex("01 63 00") + read << QList<QByteArray>{read};
    QTest::newRow("junk of a known address") << QByteArray(600, '\x01') << QList<QByteArray>{};
    QTest::newRow("frame after junk") << QByteArray(300, '\x02') + read << QList<QByteArray>{read};
}

void tst_Simulator::framer()
{
    QFETCH(QByteArray, input);
    QFETCH(QList<QByteArray>, frames);

    // The same frames must come out whether the bytes arrive at once or one by one.
    for (int step : {int(input.size()), 1}) {
        SimulatedFramer framer([](quint8 a) { return a == 1 || a == 2; });
        QList<QByteArray> found;
        int largest = 0;
        auto drain = [&](bool quiet) {
            for (int guard = 0; guard < 10000; ++guard) {
                int n = framer.next();
                if (n == SimulatedFramer::AwaitQuiet && quiet) {
                    n = framer.quiet();
                    if (n == SimulatedFramer::NeedMore)
                        continue;
                }
                if (n <= 0)
                    return;
                found.append(QByteArray(framer.data(), n));
                framer.consume(n);
            }
        };
        for (int i = 0; i < input.size(); i += step) {
            framer.append(input.constData() + i, qMin(step, int(input.size()) - i));
            drain(false);
            largest = qMax(largest, framer.size());
        }
        drain(true);
        QCOMPARE(found, frames);
        QVERIFY2(largest <= (step == 1 ? int(MaxFrameSize) : input.size()),
                 qPrintable(QString::number(largest)));
        if (step == 1)
            QVERIFY(framer.size() < MaxFrameSize);
    }
}

void tst_Simulator::defaultAnalyser()
{
    SimulatedLink link;
    buildDefaultAnalyser(link);
    QCOMPARE(link.moduleAddresses(), (QList<quint8>{1, 2}));
    QVERIFY(link.gateway("1"));
    QVERIFY(link.gateway("1/5"));
    QVERIFY(link.module("1/5/3"));
    QVERIFY(link.module("1/6"));
    QVERIFY(!link.module("2")->isGateway());

    // The worked examples: two holding registers at 0x0010 of module 1 and of 1/5.
    QCOMPARE(link.reply(hex("01 03 00 10 00 02 C6 43")), framed("01 03 04 01 00 01 01"));
    QCOMPARE(link.reply(hex("01 2B 0C 05 03 00 10 00 02 C2 0F")), framed("01 2B 0C 05 03 04 05 00 05 01"));

    // Each module's file 1 holds a trunk whose checksum is right.
    for (const char *path : {"1", "2", "1/5", "1/5/3", "1/6"}) {
        const QByteArray bytes = link.module(path)->fileBytes(1);
        const int length = (quint8(bytes.at(0)) << 8) | quint8(bytes.at(1));
        QVERIFY(length + 2 <= bytes.size());
        QCOMPARE(crc16(bytes.constData(), length + 2), quint16(0));
        QVERIFY(!link.module(path)->object(0).isEmpty());
    }
}

void tst_Simulator::tcpExchanges()
{
    SimulatorThread simulator;
    QVERIFY2(simulator.start(SimulatorThread::Tcp), qPrintable(simulator.errorString()));
    QVERIFY(simulator.tcpPort() != 0);
    QCOMPARE(simulator.url(), QStringLiteral("socks://127.0.0.1:%1").arg(simulator.tcpPort()));
    buildFixture(simulator.link());  // configured while it runs

    QTcpSocket a, b;
    a.connectToHost(QHostAddress::LocalHost, simulator.tcpPort());
    b.connectToHost(QHostAddress::LocalHost, simulator.tcpPort());
    QVERIFY(a.waitForConnected(2000));
    QVERIFY(b.waitForConnected(2000));

    const QByteArray routedReply = framed("01 2B 0C 05 03 04 05 00 05 01");
    a.write(hex("01 2B 0C 05 03 00 10 00 02 C2 0F"));
    QCOMPARE(readBytes(a, routedReply.size()), routedReply);
    b.write(framed("02 03 00 10 00 02"));
    QCOMPARE(readBytes(b, 9), framed("02 03 04 11 11 22 22"));

    // Garbage, then a request in two writes with a pause: the simulator lines up again.
    a.write(hex("FF 00 01 FF"));
    a.write(hex("01 2B 0C 05 03"));
    a.flush();
    QTest::qWait(20);
    a.write(hex("00 10 00 02 C2 0F"));
    QCOMPARE(readBytes(a, routedReply.size()), routedReply);

    // A pass-through request ends at its checksum once the line is quiet.
    a.write(framed("01 2B 0C 05 2B 0D 10 20 30"));
    const QByteArray passReply = framed("01 2B 0C 05 2B 0D 10 20 30");
    QCOMPARE(readBytes(a, passReply.size()), passReply);
    simulator.link().module("1/5")->setPassThroughResponder([](const QByteArray &p) {
        return p.isEmpty() ? QByteArray() : QByteArray(p).append('!');
    });
    a.write(framed("01 2B 0C 05 2B 0D 10"));
    QCOMPARE(readBytes(a, 11), framed("01 2B 0C 05 2B 0D 10 21"));

    // The log holds the frames as they were received, readable from this thread.
    const QList<QByteArray> log = simulator.link().requests();
    QCOMPARE(log.size(), 5);
    QCOMPARE(log.at(0), hex("01 2B 0C 05 03 00 10 00 02 C2 0F"));
    QCOMPARE(log.at(1), framed("02 03 00 10 00 02"));
    QCOMPARE(log.at(2), hex("01 2B 0C 05 03 00 10 00 02 C2 0F"));
    QCOMPARE(a.bytesAvailable(), 0);

    simulator.stop();
    QVERIFY(!simulator.isRunning());
    QVERIFY(simulator.start(SimulatorThread::Tcp));  // and again
}

void tst_Simulator::tcpTimingFaults()
{
    SimulatorThread simulator;
    QVERIFY(simulator.start());
    buildFixture(simulator.link());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, simulator.tcpPort());
    QVERIFY(socket.waitForConnected(2000));
    const QByteArray request = framed("02 03 00 10 00 02");
    const QByteArray good = framed("02 03 04 11 11 22 22");

    // Delayed: nothing for a while, then the whole reply.
    simulator.link().faults().delayReplies(1, 250);
    socket.write(request);
    QVERIFY(!socket.waitForReadyRead(60));
    QCOMPARE(readBytes(socket, good.size()), good);

    // Split: the first piece comes alone, the rest after the pause.
    simulator.link().module(2)->faults().splitReplies(1, 2, 150);
    socket.write(request);
    QVERIFY(socket.waitForReadyRead(2000));
    QCOMPARE(socket.readAll(), good.left(good.size() / 2));
    QCOMPARE(readBytes(socket, good.size() - good.size() / 2), good.mid(good.size() / 2));

    // Dropped, then good; the client repeats the request.
    simulator.link().faults().dropReplies(1);
    socket.write(request);
    QVERIFY(!socket.waitForReadyRead(60));
    socket.write(request);
    QCOMPARE(readBytes(socket, good.size()), good);
}

void tst_Simulator::ptyExchange()
{
    SimulatorThread simulator;
    QVERIFY2(simulator.start(SimulatorThread::Pty), qPrintable(simulator.errorString()));
    QVERIFY(simulator.ptyName().startsWith("/dev/"));
    QCOMPARE(simulator.serialPortName(), simulator.ptyName() + "?baudrate=9600");
    QCOMPARE(simulator.tcpPort(), quint16(0));
    buildFixture(simulator.link());

    const int fd = ::open(simulator.ptyName().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios attributes;
    QCOMPARE(::tcgetattr(fd, &attributes), 0);
    ::cfmakeraw(&attributes);
    ::tcsetattr(fd, TCSANOW, &attributes);

    const QByteArray request = hex("01 03 00 10 00 02 C6 43");
    QCOMPARE(::write(fd, request.constData(), size_t(request.size())), ssize_t(request.size()));
    QCOMPARE(readFd(fd, 9), framed("01 03 04 12 34 AB CD"));

    // Garbage first, then a routed request and a corrupt reply on the first attempt.
    simulator.link().faults().corruptCrc(1);
    const QByteArray routed = hex("00 00 FE") + framed("01 2B 0C 05 2B 0C 03 03 00 10 00 02");
    QCOMPARE(::write(fd, routed.constData(), size_t(routed.size())), ssize_t(routed.size()));
    const QByteArray good = framed("01 2B 0C 05 2B 0C 03 03 04 03 00 03 01");
    const QByteArray first = readFd(fd, good.size());
    QCOMPARE(first.left(good.size() - 2), good.left(good.size() - 2));
    QVERIFY(first != good);
    const QByteArray again = routed.mid(3);
    QCOMPARE(::write(fd, again.constData(), size_t(again.size())), ssize_t(again.size()));
    QCOMPARE(readFd(fd, good.size()), good);
    ::close(fd);
}

void tst_Simulator::serialPortClient()
{
    // What the serial driver does: a real serial port opened on the pseudo-terminal.
    SimulatorThread simulator;
    QVERIFY(simulator.start(SimulatorThread::Pty));
    buildFixture(simulator.link());
    QSerialPort port;
    port.setPortName(simulator.ptyName());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QVERIFY(port.setBaudRate(9600));
    port.write(framed("01 2B 0C 05 03 00 10 00 02"));
    QVERIFY(port.waitForBytesWritten(1000));
    const QByteArray expected = framed("01 2B 0C 05 03 04 05 00 05 01");
    QByteArray reply;
    QElapsedTimer timer;
    timer.start();
    while (reply.size() < expected.size() && timer.elapsed() < 2000) {
        if (port.waitForReadyRead(100))
            reply += port.readAll();
    }
    QCOMPARE(reply, expected);
}

QTEST_GUILESS_MAIN(tst_Simulator)
#include "tst_simulator.moc"
