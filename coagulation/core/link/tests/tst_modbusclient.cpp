#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>
#include <modulestatus.h>
#include <serialportdriver.h>
#include <socketdriver.h>

#include <clientsignalrecorder.h>
#include <linkrig.h>
#include <virtualline.h>
#include <warningcatcher.h>

#include <simulatedgateway.h>
#include <simulatedmodule.h>
#include <simulatorthread.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>
#include <QtSerialPort/QSerialPort>
#include <QtTest/QtTest>

#include <atomic>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using Modbus::ModuleStatus;

namespace {

constexpr int ReadTimeout = LinkTimeouts().read;

QByteArray withCrc(const QByteArray &frame)
{
    const unsigned short crc = crc16(frame.constData(), frame.size());
    return frame + char(crc >> 8) + char(crc & 0xFF);
}

// A device that opens every time but never takes a byte.
class RefusingDevice : public QIODevice
{
protected:
    qint64 readData(char *, qint64) override { return 0; }
    qint64 writeData(const char *, qint64) override { return -1; }
};

class RefusingDriver : public DeviceDriver
{
public:
    RefusingDriver()
        : m_device(new RefusingDevice)
    {
        adoptDevice(m_device);
    }
    bool open() override
    {
        ++opens;
        return m_device->open(QIODevice::ReadWrite);
    }
    bool isOpen() const override { return m_device->isOpen(); }
    void close() override { m_device->close(); }
    QStringList avaliablePorts() const override { return {}; }
    QString portName() const override { return {}; }
    void setPortName(const QString &) override {}
    void clear() override {}
    QIODevice *device() const override { return m_device; }

    int opens = 0;

private:
    RefusingDevice *m_device;
};

} // namespace

// Every function runs on a TCP connection and on a pseudo-terminal (initTestCase_data).
class tst_ModbusClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void initTestCase();
    void init();

    void newClientDefaults();
    void noDriver();
    void closedDriverWritesNothing();

    void readsAndWritesRegisters_data();
    void readsAndWritesRegisters();
    void failureTable_data();
    void failureTable();
    void builderHoldsReplyOrNothing();
    void replyFillingTheStorage();
    void firstWaitDoubledForRoutedRequests_data();
    void firstWaitDoubledForRoutedRequests();
    void staleBytesDoNotStartTheNextReply();
    void failedWriteReopens_data();
    void failedWriteReopens();
    void repeatedWritesAreBounded();

    void lateRepliesNeverAnswerLaterRequests_data();
    void lateRepliesNeverAnswerLaterRequests();
    void hangUpEndsTheExchange_data();
    void hangUpEndsTheExchange();
    void displayAnswersDuringAnExchange();
    void destroyingTheDriverUnderAClient_data();
    void destroyingTheDriverUnderAClient();

    void exchangesFromTwoThreads();
    void directReceiverTalksThroughAnotherDriver();
    void standaloneSimulatorAnswers();
    void timingOnALineWithItsOwnClock_data();
    void timingOnALineWithItsOwnClock();

private:
    std::unique_ptr<DeviceDriver> openDriver(Transport transport, SimulatorThread *sim = nullptr);
    SimulatorThread m_sim;
};

void tst_ModbusClient::initTestCase_data()
{
    addTransportRows();
}

void tst_ModbusClient::initTestCase()
{
    // 1 is a gateway with 5 (a gateway with 3 behind it) and 6 behind it; 2 a plain module.
    SimulatedGateway *g1 = m_sim.link().addGateway(1);
    SimulatedGateway *g5 = g1->addGateway(5);
    g5->addModule(3);
    g1->addModule(6);
    m_sim.link().addModule(2);
    QVERIFY2(m_sim.start(SimulatorThread::Tcp | SimulatorThread::Pty), qPrintable(m_sim.errorString()));
}

void tst_ModbusClient::init()
{
    const QStringList paths = { QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("1/5"),
                                QStringLiteral("1/5/3"), QStringLiteral("1/6") };
    for (const QString &path : paths) {
        SimulatedModule *module = m_sim.link().module(path);
        QVERIFY(module);
        module->faults().clear();
        module->setHoldingRegisters(0x10, { quint16(module->address() * 0x100 + 1), quint16(module->address() * 0x100 + 2) });
    }
    m_sim.link().faults().clear();
    m_sim.link().clearRequests();
}

std::unique_ptr<DeviceDriver> tst_ModbusClient::openDriver(Transport transport, SimulatorThread *sim)
{
    return openLinkDriver(transport, sim ? *sim : m_sim);
}

void tst_ModbusClient::newClientDefaults()
{
    ModbusClient client;
    QCOMPARE(client.driver(), static_cast<DeviceDriver *>(nullptr));
    QCOMPARE(client.statusCodeChannel(), 0x10000003);
    QCOMPARE(client.metaObject()->className(), "ModbusClient");
}

void tst_ModbusClient::noDriver()
{
    ModbusClient client;
    client.setStatusCodeChannel(42);
    ClientSignalRecorder recorder(&client);
    MessageBuilder builder(1);
    builder.readWord(0x10, 2);
    QCOMPARE(client.talk(builder), int(ModuleStatus::NotOpenError));
    QCOMPARE(quint32(client.talk(builder)), 0x80000003u);
    QCOMPARE(recorder.trace(), QStringLiteral("S:80000003 S:80000003"));
    const ClientSignalRecorder::Event event = recorder.events().first();
    QCOMPARE(event.channel, 42);
    QVERIFY(event.detail.isEmpty());
    QCOMPARE(builder.size(), 0);
}

void tst_ModbusClient::closedDriverWritesNothing()
{
    QFETCH_GLOBAL(Transport, transport);
    auto &&[driver, client, recorder] = LinkRig(transport, m_sim);
    QVERIFY(driver->isOpen());
    driver->close();
    m_sim.link().clearRequests();

    MessageBuilder builder(2);
    builder.readWord(0x10, 2);
    QCOMPARE(client.talk(builder), int(ModuleStatus::NotOpenError));
    QCOMPARE(recorder.trace(), QStringLiteral("S:80000003"));
    QCOMPARE(recorder.events().first().detail, driver->errorString());
    QCOMPARE(recorder.events().first().channel, 0x10000003);
    QThread::msleep(20);
    QCOMPARE(m_sim.link().requestCount(), 0);
}

void tst_ModbusClient::readsAndWritesRegisters_data()
{
    QTest::addColumn<QString>("path");

    const QStringList paths = { QStringLiteral("2"), QStringLiteral("1/5"), QStringLiteral("1/5/3") };
    for (const QString &path : paths)
        QTest::newRow(qPrintable(path)) << path;
}

void tst_ModbusClient::readsAndWritesRegisters()
{
    QFETCH_GLOBAL(Transport, transport);
    QFETCH(QString, path);
    auto &&[driver, client, recorder] = LinkRig(transport, m_sim);
    QVERIFY(driver->isOpen());
    SimulatedModule *module = m_sim.link().module(path);

    MessageBuilder builder(path);
    const int hops = builder.gateCount();
    const quint16 values[2] = { 0xBEEF, 0x1234 };
    builder.writeWord(0x20, 2, values);
    // Reply: route triplets, then address, 0x10, start and count.
    QCOMPARE(client.talk(builder), 6 + 3 * hops);
    QCOMPARE(builder.discardRoute(), hops);
    QVERIFY(!builder.isExceptionResponse());
    QCOMPARE(module->holdingRegisters(0x20, 2), QVector<quint16>({ 0xBEEF, 0x1234 }));

    builder.reset();
    builder.writeWord(0x22, 0x0A0B);
    QCOMPARE(client.talk(builder), 6 + 3 * hops);
    QCOMPARE(module->holdingRegister(0x22), quint16(0x0A0B));

    builder.reset();
    builder.readWord(0x20, 3);
    QCOMPARE(client.talk(builder), 3 + 6 + 3 * hops);
    QCOMPARE(builder.pos(), 0);
    QCOMPARE(builder.discardRoute(), hops);
    QVERIFY(builder.seekToData());
    QVERIFY(builder.checkDataSize());
    QVERIFY(builder.seekToData());
    quint8 count = 0;
    quint16 first = 0, second = 0, third = 0;
    builder >> count >> first >> second >> third;
    QCOMPARE(count, quint8(6));
    QCOMPARE(first, quint16(0xBEEF));
    QCOMPARE(second, quint16(0x1234));
    QCOMPARE(third, quint16(0x0A0B));
}

void tst_ModbusClient::failureTable_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("trace");

    const QString good = QStringLiteral("W S:0 R:0");
    const QString timeout = QStringLiteral("W S:80000001 R:80000001");
    const QString invalid = QStringLiteral("W S:80000000 R:80000000");
    const auto five = [](const QString &attempt) { return QStringList(QVector<QString>(5, attempt).toList()).join(QLatin1Char(' ')); };

    QTest::newRow("good reply") << "2" << "" << 7 << good;
    QTest::newRow("silent module") << "9" << "" << int(ModuleStatus::TimeoutError) << five(timeout);
    QTest::newRow("3-byte reply") << "2" << "short" << int(ModuleStatus::TimeoutError) << five(timeout);
    QTest::newRow("bad CRC on every attempt") << "2" << "crc5" << int(ModuleStatus::InvalidReplyError) << five(invalid);
    QTest::newRow("bad CRC on the first attempt") << "2" << "crc1" << 7 << invalid + ' ' + good;
    QTest::newRow("reply split in pieces") << "1/5" << "split" << 10 << good;
    QTest::newRow("gateway exception to a routed request") << "1/7" << "" << 3 << good;
    QTest::newRow("longer reply taken whole") << "2" << "longer" << 9 << good;
    QTest::newRow("stray byte before every reply") << "2" << "stray" << int(ModuleStatus::InvalidReplyError) << five(invalid);
    QTest::newRow("silent module, two attempts set") << "9" << "attempts2" << int(ModuleStatus::TimeoutError) << timeout + ' ' + timeout;
    QTest::newRow("reply naming another module behind the gateway") << "1/5/3" << "misroute5" << int(ModuleStatus::InvalidReplyError) << five(invalid);
    QTest::newRow("another module named once") << "1/5" << "misroute1" << 10 << invalid + ' ' + good;
}

void tst_ModbusClient::failureTable()
{
    QFETCH_GLOBAL(Transport, transport);
    QFETCH(QString, path);
    QFETCH(QString, fault);
    QFETCH(int, result);
    QFETCH(QString, trace);

    auto &&[driver, client, recorder] = LinkRig(transport, m_sim);
    QVERIFY(driver->isOpen());
    client.setStatusCodeChannel(7);

    SimulatedFaultPlan &faults = m_sim.link().faults();
    if (fault == QLatin1String("short"))
        faults.shortenReplies(5, 3);
    else if (fault == QLatin1String("crc5"))
        faults.corruptCrc(5);
    else if (fault == QLatin1String("crc1"))
        faults.corruptCrc(1);
    else if (fault == QLatin1String("split"))
        faults.splitReplies(1, 3, 5);
    else if (fault == QLatin1String("longer"))
        // One register more than asked, in one piece: a well-formed frame the client
        // passes on whole (the caller's byte count check rejects it).
        faults.extendReplies(1, 1);
    else if (fault == QLatin1String("stray"))
        faults.sendStaleBytes(5, QByteArray::fromHex("02"));
    else if (fault == QLatin1String("attempts2"))
        client.setAttempts(2);
    else if (fault == QLatin1String("misroute5"))
        faults.misrouteReplies(5);
    else if (fault == QLatin1String("misroute1"))
        faults.misrouteReplies(1);

    MessageBuilder builder(path);
    builder.readWord(0x10, 2);
    const QByteArray frame = withCrc(builder.buffer());
    QCOMPARE(client.talk(builder), result);
    QCOMPARE(recorder.trace(), trace);

    const QList<ClientSignalRecorder::Event> events = recorder.events();
    for (const ClientSignalRecorder::Event &event : events) {
        switch (event.kind) {
        case ClientSignalRecorder::Written:
            QCOMPARE(event.bytes, frame);
            break;
        case ClientSignalRecorder::Status:
            QCOMPARE(event.channel, 7);
            // Only a time-out carries the transport's text.
            QCOMPARE(event.detail.isEmpty(), event.code != ModuleStatus::TimeoutError);
            break;
        case ClientSignalRecorder::Read:
            if (event.code == ModuleStatus::TimeoutError)
                QVERIFY(event.bytes.size() < 4);
            if (event.code == ModuleStatus::NoError)
                QCOMPARE(event.bytes.size(), result + 2);
            break;
        }
    }
    if (fault == QLatin1String("short"))
        QCOMPARE(events.at(2).bytes.size(), 3);
    if (path == QLatin1String("1/7")) {
        // The gateway answered for the absent module: address, 0xAB, code.
        QVERIFY(builder.isExceptionResponse());
        QCOMPARE(builder.buffer(), QByteArray::fromHex("01 ab 0a"));
        QCOMPARE(builder.discardRoute(), 0);
    }
    if (result < 0)
        QCOMPARE(builder.size(), 0);
    QCOMPARE(builder.pos(), 0);
}

void tst_ModbusClient::builderHoldsReplyOrNothing()
{
    QFETCH_GLOBAL(Transport, transport);
    auto &&[driver, client, recorder] = LinkRig(transport, m_sim);

    // Good 8-byte frame (a single register write echoed): 6 bytes at position 0.
    MessageBuilder builder(2);
    builder.writeWord(0x30, 0x5566);
    const QByteArray request = builder.buffer();
    QCOMPARE(client.talk(builder), 6);
    QCOMPARE(recorder.count(ClientSignalRecorder::Written), 1);
    QCOMPARE(builder.buffer(), request);
    QCOMPARE(builder.pos(), 0);

    // A copy shares the buffer: the reply must land in the builder alone, in full.
    builder.reset();
    builder.readWord(0x10, 2);
    const QByteArray copy = builder.buffer();
    QCOMPARE(client.talk(builder), 7);
    QCOMPARE(builder.buffer(), QByteArray::fromHex("02 03 04 02 01 02 02"));
    QCOMPARE(copy, QByteArray::fromHex("02 03 00 10 00 02"));

    // After a failure the builder is empty.
    m_sim.link().faults().dropReplies(5);
    builder.reset();
    builder.readWord(0x10, 2);
    QCOMPARE(client.talk(builder), int(ModuleStatus::TimeoutError));
    QCOMPARE(builder.size(), 0);
    QCOMPARE(builder.pos(), 0);
}

void tst_ModbusClient::replyFillingTheStorage()
{
    QFETCH_GLOBAL(Transport, transport);
    auto &&[driver, client, recorder] = LinkRig(transport, m_sim);

    // 100 registers answer with 205 bytes: more than the builder's storage holds.
    MessageBuilder builder(2);
    builder.readWord(0, 100);
    const int capacity = builder.buffer().capacity();
    QVERIFY(capacity < 205);
    QCOMPARE(client.talk(builder), int(ModuleStatus::InvalidReplyError));
    QCOMPARE(builder.size(), 0);
    QCOMPARE(recorder.count(ClientSignalRecorder::Written), 5);
    for (const ClientSignalRecorder::Event &event : recorder.events()) {
        if (event.kind == ClientSignalRecorder::Read)
            QCOMPARE(event.bytes.size(), capacity);
    }

    // Raw storage: nothing is written past the capacity given.
    QByteArray storage(64, char(0xEE));
    const QByteArray request = QByteArray::fromHex("02 03 00 00 00 64");
    QCOMPARE(client.talk(storage.data(), 16, request.constData(), request.size()),
             int(ModuleStatus::InvalidReplyError));
    QCOMPARE(storage.mid(16), QByteArray(48, char(0xEE)));
    QCOMPARE(storage.left(3), QByteArray::fromHex("02 03 c8"));

    // The line is clean for the next exchange.
    recorder.clear();
    builder.reset();
    builder.readWord(0x10, 1);
    QCOMPARE(client.talk(builder), 5);
    QCOMPARE(recorder.count(ClientSignalRecorder::Written), 1);
}

void tst_ModbusClient::firstWaitDoubledForRoutedRequests_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("writes");

    // The reply comes after 1.5 read time-outs: in time only where the wait is doubled.
    QTest::newRow("direct request") << "2" << 2;
    QTest::newRow("routed request") << "1/5" << 1;
}

void tst_ModbusClient::firstWaitDoubledForRoutedRequests()
{
    QFETCH_GLOBAL(Transport, transport);
    QFETCH(QString, path);
    QFETCH(int, writes);

    auto &&[driver, client, recorder] = LinkRig(transport, m_sim);
    driver->setReadTimeouts(100);
    m_sim.link().faults().delayReplies(1, 150);

    MessageBuilder builder(path);
    builder.readWord(0x10, 2);
    QVERIFY(client.talk(builder) > 0);
    QCOMPARE(recorder.count(ClientSignalRecorder::Written), writes);
    // Let a late reply arrive before the driver goes.
    QThread::msleep(80);
    Q_UNUSED(transport)
}

void tst_ModbusClient::staleBytesDoNotStartTheNextReply()
{
    QFETCH_GLOBAL(Transport, transport);
    auto &&[driver, client, recorder] = LinkRig(transport, m_sim);

    // The first reply arrives after the client gave up on it and was answered again.
    m_sim.link().faults().delayReplies(1, 3 * ReadTimeout);
    MessageBuilder builder(2);
    builder.readWord(0x10, 2);
    QCOMPARE(client.talk(builder), 7);
    QThread::msleep(5 * ReadTimeout);

    // The late 9-byte reply waits on the line; the next exchange must not read it.
    recorder.clear();
    builder.reset();
    builder.readWord(0x11, 1);
    QCOMPARE(client.talk(builder), 5);
    QCOMPARE(recorder.trace(), QStringLiteral("W S:0 R:0"));
    QCOMPARE(builder.buffer(), QByteArray::fromHex("02 03 02 02 02"));
}

void tst_ModbusClient::failedWriteReopens_data()
{
    QTest::addColumn<bool>("reopens");
    QTest::newRow("reopen succeeds") << true;
    QTest::newRow("reopen fails") << false;
}

void tst_ModbusClient::failedWriteReopens()
{
    QFETCH_GLOBAL(Transport, transport);
    QFETCH(bool, reopens);

    auto &&[driver, client, recorder] = LinkRig(transport, m_sim);
    QVERIFY(driver->isOpen());

    if (!reopens) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 deadPort = closed.serverPort();
        closed.close();
        driver->setPortName(transport == Tcp ? QStringLiteral("socks://127.0.0.1:%1").arg(deadPort)
                                             : QStringLiteral("/dev/qv-no-such-port"));
    }
    {
        // Break the line under the driver: the connection is shut down, the serial
        // descriptor made read-only, so the next write fails.
        DeviceDriver::DeviceLocker locker(driver.get());
        if (transport == Tcp) {
            const qintptr fd = static_cast<QTcpSocket *>(driver->device())->socketDescriptor();
            QCOMPARE(::shutdown(int(fd), SHUT_RDWR), 0);
        } else {
            const int fd = int(static_cast<QSerialPort *>(driver->device())->handle());
            const int readOnly = ::open("/dev/null", O_RDONLY);
            QVERIFY(readOnly >= 0);
            QVERIFY(::dup2(readOnly, fd) == fd);
            ::close(readOnly);
        }
    }
    m_sim.link().clearRequests();

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Could not write to serial port: .* \\[ 020300100002[0-9a-f]{4}\\]$")));
    MessageBuilder builder(2);
    builder.readWord(0x10, 2);
    const int result = client.talk(builder);
    if (reopens) {
        QCOMPARE(result, 7);
        QCOMPARE(recorder.trace(), QStringLiteral("W S:0 R:0"));
        QVERIFY(driver->isOpen());
        QCOMPARE(m_sim.link().requestCount(), 1);
    } else {
        QCOMPARE(result, int(ModuleStatus::WriteError));
        QCOMPARE(recorder.trace(), QStringLiteral("W S:80000002 R:80000002"));
        const ClientSignalRecorder::Event status = recorder.events().at(1);
        QVERIFY(!status.detail.isEmpty());
        QCOMPARE(status.detail, driver->errorString());
        QVERIFY(recorder.events().at(2).bytes.isEmpty());
        QVERIFY(!driver->isOpen());
    }
}

void tst_ModbusClient::repeatedWritesAreBounded()
{
    RefusingDriver driver;
    QVERIFY(driver.open());
    ModbusClient client;
    client.setDriver(&driver);
    ClientSignalRecorder recorder(&client);
    for (int i = 0; i < 5; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Could not write to serial port: ")));

    MessageBuilder builder(2);
    builder.readWord(0x10, 2);
    QCOMPARE(client.talk(builder), int(ModuleStatus::WriteError));
    // One announcement, five writes (each followed by a reopen), then the outcome.
    QCOMPARE(recorder.trace(), QStringLiteral("W S:80000002 R:80000002"));
    QCOMPARE(driver.opens, 1 + 5);
    QCOMPARE(builder.size(), 0);
}

void tst_ModbusClient::lateRepliesNeverAnswerLaterRequests_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::newRow("same module") << "2" << "2";
    QTest::newRow("two modules behind one gateway") << "1/5" << "1/6";
}

void tst_ModbusClient::lateRepliesNeverAnswerLaterRequests()
{
    QFETCH_GLOBAL(Transport, transport);
    QFETCH(QString, first);
    QFETCH(QString, second);

    auto &&[driver, client, recorder] = LinkRig(transport, m_sim);
    driver->setReadTimeouts(100);
    // Words that tell module and address apart, so that another request's reply shows.
    for (const QString &path : { first, second }) {
        SimulatedModule *module = m_sim.link().module(path);
        for (quint16 address : { 0x100, 0x200 })
            module->setHoldingRegisters(address, { quint16(module->address() << 12 | address | 1),
                                                   quint16(module->address() << 12 | address | 2) });
    }
    // Three replies come after the client gave up waiting for them (the first wait is
    // doubled on a route), each after a different delay; later requests are answered
    // meanwhile, as a line would carry them. Taken as they come, the second one would
    // be the answer to the second read.
    const int firstWait = MessageBuilder(first).gateCount() > 0 ? 200 : 100;
    SimulatedFaultPlan &faults = m_sim.link().faults();
    faults.delayReplies(1, firstWait * 3 / 2);
    faults.delayReplies(1, firstWait * 6 / 5);
    faults.delayReplies(1, firstWait * 3 / 2);

    const QList<QPair<QString, quint16>> reads = { { first, 0x100 }, { second, 0x200 } };
    for (const auto &read : reads) {
        MessageBuilder builder(read.first);
        builder.readWord(read.second, 2);
        QVERIFY2(client.talk(builder) > 0, qPrintable(read.first));
        QCOMPARE(builder.discardRoute(), builder.gateCount());
        QVERIFY(builder.seekToData() && builder.checkDataSize());
        quint16 one = 0, two = 0;
        builder >> one >> two;
        const QVector<quint16> truth = m_sim.link().module(read.first)->holdingRegisters(read.second, 2);
        QCOMPARE(QVector<quint16>({ one, two }), truth);
    }
}

void tst_ModbusClient::hangUpEndsTheExchange_data()
{
    QTest::addColumn<int>("afterBytes");
    QTest::newRow("before the reply") << 0;
    QTest::newRow("after 3 bytes of the reply") << 3;
}

void tst_ModbusClient::hangUpEndsTheExchange()
{
    QFETCH_GLOBAL(Transport, transport);
    QFETCH(int, afterBytes);

    // A simulator of its own: hanging up closes its pseudo-terminal for good.
    SimulatorThread sim;
    sim.link().addModule(2)->setHoldingRegisters(0x10, { 0x0201, 0x0202 });
    QVERIFY2(sim.start(SimulatorThread::Tcp | SimulatorThread::Pty), qPrintable(sim.errorString()));
    auto &&[driver, client, recorder] = LinkRig(transport, sim);
    QVERIFY(driver->isOpen());
    // The hang-up, not a wait that runs out, is to end the exchange: waits no loaded
    // machine outlasts between the simulator's last byte and its hang-up.
    driver->setReadTimeouts(1000);
    driver->setReadIntervalTimeouts(1000);
    sim.link().faults().hangUp(1, afterBytes);

    MessageBuilder builder(2);
    builder.readWord(0x10, 2);
    QCOMPARE(client.talk(builder), int(ModuleStatus::NotOpenError));
    // One attempt, ended by the line, with the bytes that came before it closed (a
    // pseudo-terminal may drop them as it hangs up).
    QCOMPARE(recorder.trace(), QStringLiteral("W S:80000003 R:80000003"));
    const QByteArray reply = withCrc(QByteArray::fromHex("02 03 04 02 01 02 02"));
    const QByteArray got = recorder.events().at(2).bytes;
    if (transport == Tcp)
        QCOMPARE(got, reply.left(afterBytes));
    else
        QVERIFY(reply.left(afterBytes).startsWith(got));
    QVERIFY(!driver->isOpen());
    QVERIFY(!driver->errorString().isEmpty());
    QCOMPARE(recorder.events().at(1).detail, driver->errorString());

    // Nothing is written while the driver stays closed; opened again, it works.
    recorder.clear();
    const int requests = sim.link().requestCount();
    builder.reset();
    builder.readWord(0x10, 2);
    QCOMPARE(client.talk(builder), int(ModuleStatus::NotOpenError));
    QCOMPARE(recorder.trace(), QStringLiteral("S:80000003"));
    QCOMPARE(sim.link().requestCount(), requests);
    if (transport == Tcp) {
        QVERIFY(driver->open());
        builder.reset();
        builder.readWord(0x10, 2);
        QCOMPARE(client.talk(builder), 7);
    }
}

void tst_ModbusClient::displayAnswersDuringAnExchange()
{
    QFETCH_GLOBAL(Transport, transport);
    std::unique_ptr<DeviceDriver> driver = openDriver(transport);
    // A worker waits a second on a module that never answers, holding the driver's lock.
    driver->setReadTimeouts(1000);
    ModbusClient client;
    client.setDriver(driver.get());
    client.setAttempts(1);
    std::atomic<bool> written{ false };
    std::atomic<bool> finished{ false };
    connect(&client, &ModbusClient::messageWritten, this, [&] { written = true; }, Qt::DirectConnection);
    std::thread worker([&] {
        MessageBuilder builder(9);
        builder.readWord(0x10, 2);
        client.talk(builder);
        finished = true;
    });
    for (int i = 0; i < 5000 && !written; ++i)
        QThread::msleep(1);

    QElapsedTimer timer;
    timer.start();
    const bool open = driver->isOpen();
    const QString error = driver->errorString();
    const QString name = driver->portName();
    const qint32 speed = transport == Pty ? static_cast<SerialPortDriver *>(driver.get())->baudRate() : 0;
    const qint64 elapsed = timer.elapsed();
    const bool duringTheExchange = written && !finished;
    worker.join();

    QVERIFY2(duringTheExchange, qPrintable(QStringLiteral("the accessors took %1 ms").arg(elapsed)));
    QVERIFY(open);
    QVERIFY(!name.isEmpty());
    // An open line shows no error until something fails.
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(speed, transport == Pty ? 115200 : 0);
}

void tst_ModbusClient::destroyingTheDriverUnderAClient_data()
{
    QTest::addColumn<bool>("duringAnExchange");
    QTest::addColumn<bool>("closeOnly");
    QTest::addColumn<bool>("bySlot"); // closed by a slot of the exchange's messageWritten()
    QTest::newRow("idle") << false << false << false;
    QTest::newRow("during an exchange") << true << false << false;
    QTest::newRow("closed during an exchange") << true << true << false;
    // The write never goes, and the line the application closed is not opened again.
    QTest::newRow("closed by a slot before the write") << true << true << true;
}

void tst_ModbusClient::destroyingTheDriverUnderAClient()
{
    QFETCH_GLOBAL(Transport, transport);
    QFETCH(bool, duringAnExchange);
    QFETCH(bool, closeOnly);
    QFETCH(bool, bySlot);

    std::unique_ptr<DeviceDriver> driver = openDriver(transport);
    // Only the destruction can end this wait in time.
    driver->setReadTimeouts(20000);
    ModbusClient client;
    client.setDriver(driver.get());
    client.setAttempts(1);
    std::atomic<bool> written{ false };
    std::atomic<bool> ended{ false };
    int first = 0;
    connect(&client, &ModbusClient::messageWritten, this, [&] { written = true; }, Qt::DirectConnection);
    connect(&client, &ModbusClient::messageRead, this, [&] { ended = true; }, Qt::DirectConnection);
    std::thread worker;
    if (bySlot) {
        connect(&client, &ModbusClient::messageWritten, driver.get(), &DeviceDriver::close, Qt::DirectConnection);
        MessageBuilder builder(2);
        builder.readWord(0x10, 2);
        QCOMPARE(client.talk(builder), int(ModuleStatus::NotOpenError));
        QVERIFY(!driver->isOpen());
        return;
    }
    if (duringAnExchange) {
        worker = std::thread([&] {
            MessageBuilder builder(9);
            builder.readWord(0x10, 2);
            first = client.talk(builder);
        });
        for (int i = 0; i < 5000 && !written; ++i)
            QThread::msleep(1);
    }
    if (closeOnly)
        driver->close();
    else
        driver.reset();
    // Closing or destroying ended the exchange in progress, and waited for it to end.
    const bool waited = ended;
    if (worker.joinable())
        worker.join();
    if (duringAnExchange) {
        QVERIFY(waited);
        QCOMPARE(first, int(ModuleStatus::NotOpenError));
    }
    if (closeOnly) {
        QVERIFY(!driver->isOpen());
        return;
    }

    QCOMPARE(client.driver(), static_cast<DeviceDriver *>(nullptr));
    ClientSignalRecorder recorder(&client);
    MessageBuilder builder(2);
    builder.readWord(0x10, 2);
    QCOMPARE(client.talk(builder), int(ModuleStatus::NotOpenError));
    QCOMPARE(recorder.trace(), QStringLiteral("S:80000003"));
    QVERIFY(recorder.events().first().detail.isEmpty());
}

void tst_ModbusClient::exchangesFromTwoThreads()
{
    QFETCH_GLOBAL(Transport, transport);
    WarningCatcher warnings;
    std::unique_ptr<DeviceDriver> driver = openDriver(transport);
    QVERIFY(driver->isOpen());
    SimulatedModule *module = m_sim.link().module(QStringLiteral("1/5"));
    QVector<quint16> values(64);
    for (int i = 0; i < values.size(); ++i)
        values[i] = quint16(0x4000 + i * 3);
    module->setHoldingRegisters(0x40, values);

    constexpr int Rounds = 60;
    std::atomic<int> wrong{ 0 };
    std::atomic<int> done{ 0 };
    const auto work = [&](int offset) {
        ModbusClient client;
        client.setDriver(driver.get());
        for (int i = 0; i < Rounds; ++i) {
            const int address = (offset + i) % 63;
            MessageBuilder builder(QStringLiteral("1/5"));
            builder.readWord(quint16(0x40 + address), 2);
            quint8 count = 0;
            quint16 first = 0, second = 0;
            const int result = client.talk(builder);
            builder.discardRoute();
            builder.seekToData();
            builder >> count >> first >> second;
            if (result != 10 || first != values[address] || second != values[address + 1])
                ++wrong;
        }
        ++done;
    };

    QThread *first = QThread::create(work, 0);
    QThread *second = QThread::create(work, 17);
    // A thread not started by QThread, which also closes and reopens the driver
    // while holding its lock.
    std::thread third([&] {
        {
            QMutexLocker locker(driver.get());
            driver->close();
            if (!driver->open())
                ++wrong;
        }
        work(31);
    });
    // The owner's event loop runs and makes exchanges of its own meanwhile.
    ModbusClient ownerClient;
    ownerClient.setDriver(driver.get());
    int ownerExchanges = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        MessageBuilder builder(2);
        builder.readWord(0x10, 2);
        if (ownerClient.talk(builder) != 7 || builder.buffer() != QByteArray::fromHex("02 03 04 02 01 02 02"))
            ++wrong;
        ++ownerExchanges;
    });
    ticker.start(5);
    first->start();
    second->start();
    QTRY_COMPARE_WITH_TIMEOUT(done.load(), 3, 60000);
    ticker.stop();
    third.join();
    QVERIFY(first->wait(5000));
    QVERIFY(second->wait(5000));
    delete first;
    delete second;
    QCoreApplication::processEvents();

    QCOMPARE(wrong.load(), 0);
    QVERIFY(ownerExchanges > 0);
    QCOMPARE(warnings.messages(), QStringList());
    QCOMPARE(driver->device()->thread(), static_cast<QThread *>(nullptr));
}

void tst_ModbusClient::directReceiverTalksThroughAnotherDriver()
{
    std::unique_ptr<DeviceDriver> tcp = openDriver(Tcp);
    std::unique_ptr<DeviceDriver> pty = openDriver(Pty);
    ModbusClient outer;
    outer.setDriver(tcp.get());
    ModbusClient inner;
    inner.setDriver(pty.get());

    int innerResult = 0;
    connect(&outer, &ModbusClient::messageRead, this, [&](int status, const QByteArray &) {
        if (status == 0) {
            MessageBuilder builder(QStringLiteral("1/5/3"));
            builder.readWord(0x10, 2);
            innerResult = inner.talk(builder);
        }
    }, Qt::DirectConnection);

    // From the test thread and from a worker, so the receiver runs on both.
    MessageBuilder builder(2);
    builder.readWord(0x10, 2);
    QCOMPARE(outer.talk(builder), 7);
    QCOMPARE(innerResult, 13);

    innerResult = 0;
    int workerResult = 0;
    QThread *worker = QThread::create([&] {
        MessageBuilder b(1);
        b.readWord(0x10, 2);
        workerResult = outer.talk(b);
    });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;
    QCOMPARE(workerResult, 7);
    QCOMPARE(innerResult, 13);
}

void tst_ModbusClient::standaloneSimulatorAnswers()
{
    const QString program = QStringLiteral(QV_BINARY_DIR "/simulator/qvsim");
    if (!QFileInfo::exists(program))
        QSKIP("qvsim is not built");
    QProcess sim;
    sim.start(program, { QStringLiteral("--port"), QStringLiteral("0") });
    QVERIFY(sim.waitForStarted(5000));
    QString url;
    while (url.isEmpty() && sim.waitForReadyRead(5000)) {
        while (sim.canReadLine()) {
            const QString line = QString::fromUtf8(sim.readLine()).trimmed();
            if (line.startsWith(QLatin1String("listening on ")))
                url = line.mid(13);
        }
    }
    QVERIFY2(url.startsWith(QLatin1String("socks://127.0.0.1:")), qPrintable(url));

    std::unique_ptr<DeviceDriver> driver(DeviceDriver::create(QUrl(url), nullptr));
    driver->setPortName(url);
    QVERIFY2(driver->open(), qPrintable(driver->errorString()));
    ModbusClient client;
    client.setDriver(driver.get());
    // Holding register 0 of each module holds its address.
    for (const QString &path : { QStringLiteral("2"), QStringLiteral("1/5/3") }) {
        MessageBuilder builder(path);
        builder.readWord(0, 1);
        QVERIFY(client.talk(builder) > 0);
        QCOMPARE(builder.discardRoute(), builder.gateCount());
        QVERIFY(builder.seekToData());
        quint8 count = 0;
        quint16 value = 0;
        builder >> count >> value;
        QCOMPARE(int(value), path.section(QLatin1Char('/'), -1).toInt());
    }
    driver.reset();
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
}

// The link's timing rules, on a line whose clock moves only when the client waits: each
// row times two exchanges exactly, with the default time-outs (first wait 100 ms, interval
// 50 ms, five attempts).
void tst_ModbusClient::timingOnALineWithItsOwnClock_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("firstMs");
    QTest::addColumn<int>("secondMs");
    // A silent module costs its five first waits, once: the next request goes elsewhere.
    QTest::newRow("silent module, then another module") << "silent" << 500 << 0;
    // Noise long after a silent module's time-out is no late reply: the next silent
    // exchange costs what the first did.
    QTest::newRow("noise after a silent module") << "noise" << 500 << 500;
    // A reply that never ends (a byte every 10 ms) ends each attempt at its first wait (doubled
    // for an encapsulated request) and one interval: five of 250 ms.
    QTest::newRow("endless reply, 1 MiB storage") << "endless" << 1250 << 0;
    // Five replies 1 s late, then a read they could answer as well: it is written once they
    // have come (at 1000 + 4 x 100 ms) and takes its own reply.
    QTest::newRow("late replies, then a read they could answer") << "late-same" << 500 << 900;
    // ... a read of another module goes at once; the late replies are dropped as they come.
    QTest::newRow("late replies, then another module") << "late-other" << 500 << 0;
    // ... closing and opening the line in between changes nothing: they still come.
    QTest::newRow("late replies, a reopen, then a read they could answer") << "late-reopen" << 500 << 900;
    // With no first wait at all, replies 10 ms late are still held back from the next read.
    QTest::newRow("no first wait, then a read late replies could answer") << "no-wait" << 0 << 10;
}

void tst_ModbusClient::timingOnALineWithItsOwnClock()
{
    QFETCH(QString, scenario);
    QFETCH(int, firstMs);
    QFETCH(int, secondMs);

    SimulatedLink link;
    SimulatedModule *two = link.addModule(2);
    link.addModule(4)->setHoldingRegisters(0x10, { 0x0401, 0x0402 });
    two->setHoldingRegisters(0x10, { 0x0201, 0x0202, 0x0203 });
    VirtualLine line(&link);
    QVERIFY(line.open());
    ModbusClient client;
    client.setDriver(&line);
    int late = 0;
    connect(&client, &ModbusClient::frameDiscarded, this,
            [&](const QByteArray &, ModbusClient::DiscardReason reason) { late += reason == ModbusClient::LateReply; });

    const auto timed = [&](const QString &path, quint16 address, int *result) {
        const qint64 start = line.now();
        MessageBuilder builder(path);
        builder.readWord(address, 2);
        *result = client.talk(builder);
        return int(line.now() - start);
    };
    int first = 0, second = 0;
    int firstTook = 0, secondTook = 0;
    if (scenario == QLatin1String("endless")) {
        for (int at = 0; at < 60000; at += 10)
            line.inject(at, QByteArray(1, char(at)));
        QByteArray storage(1 << 20, '\0');
        const QByteArray request = QByteArray::fromHex("04 2b 0d 01 02");
        const qint64 start = line.now();
        first = client.talk(storage.data(), storage.size(), request.constData(), request.size());
        firstTook = int(line.now() - start);
        QCOMPARE(first, int(ModuleStatus::InvalidReplyError));
    } else if (scenario == QLatin1String("silent") || scenario == QLatin1String("noise")) {
        firstTook = timed(QStringLiteral("9"), 0x10, &first);
        QCOMPARE(first, int(ModuleStatus::TimeoutError));
        if (scenario == QLatin1String("noise")) {
            line.inject(3000, QByteArray::fromHex("ff 00 ff"));
            line.advance(4000); // the noise waits on the line
            secondTook = timed(QStringLiteral("9"), 0x11, &second);
            QCOMPARE(second, int(ModuleStatus::TimeoutError));
        } else {
            secondTook = timed(QStringLiteral("2"), 0x10, &second);
            QCOMPARE(second, 7);
        }
    } else {
        const bool noWait = scenario == QLatin1String("no-wait");
        if (noWait)
            line.setReadTimeouts(0);
        link.faults().delayReplies(5, noWait ? 10 : 1000);
        firstTook = timed(QStringLiteral("2"), 0x10, &first);
        QCOMPARE(first, int(ModuleStatus::TimeoutError));
        if (scenario == QLatin1String("late-reopen")) {
            line.close();
            QVERIFY(line.open());
        }
        const bool same = scenario != QLatin1String("late-other");
        MessageBuilder builder(same ? 2 : 4);
        builder.readWord(same ? 0x11 : 0x10, 2);
        const qint64 start = line.now();
        second = client.talk(builder);
        secondTook = int(line.now() - start);
        QCOMPARE(second, 7);
        QCOMPARE(builder.buffer().mid(3), same ? QByteArray::fromHex("0202 0203") : QByteArray::fromHex("0401 0402"));
        if (!same) {
            // The late replies still come; the next exchange drops them.
            line.advance(1000);
            QCOMPARE(timed(QStringLiteral("4"), 0x10, &second), 0);
        }
        QCOMPARE(late, 5);
    }
    QCOMPARE(firstTook, firstMs);
    QCOMPARE(secondTook, secondMs);
}

QTEST_GUILESS_MAIN(tst_ModbusClient)
#include "tst_modbusclient.moc"
