#include <abstractdevicemodule.h>
#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>
#include <modulestatus.h>

#include <linkrig.h>
#include <warningcatcher.h>

#include <simulatedgateway.h>
#include <simulatedmodule.h>
#include <simulatorthread.h>

#include <QtCore/QTimer>
#include <QtTest/QtTest>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using Modbus::AbstractDeviceModule;
using Modbus::ModuleStatus;

namespace {

// Paths of 0 to 4 hops: 2 is a plain module; 1/5/3/7/9 a chain of gateways.
const char *const PathOfHops[] = { "2", "1/5", "1/5/3", "1/5/3/7", "1/5/3/7/9" };

// A request as its target module sees it: route triplets and CRC removed.
QByteArray inner(const QByteArray &frame)
{
    QByteArray f = frame.left(frame.size() - 2);
    while (f.size() >= 4 && quint8(f.at(1)) == 0x2B && quint8(f.at(2)) == 0x0C)
        f = f.mid(3);
    return f;
}

// The count field (bytes 4-5) of the requests with the given function, in order.
QList<int> countsOf(const QList<QByteArray> &requests, quint8 function)
{
    QList<int> counts;
    for (const QByteArray &frame : requests) {
        const QByteArray f = inner(frame);
        if (f.size() >= 6 && quint8(f.at(1)) == function)
            counts << (function == 0x14 || function == 0x15 ? quint8(f.at(8)) * 256 + quint8(f.at(9)) // record length
                                                            : quint8(f.at(4)) * 256 + quint8(f.at(5)));
    }
    return counts;
}

QByteArray bigEndian(const QVector<quint16> &values)
{
    QByteArray bytes;
    for (quint16 v : values)
        bytes.append(char(v >> 8)).append(char(v & 0xFF));
    return bytes;
}

// Replays scripted replies (without CRC) and records the requests; for cases the
// simulated analyser cannot be made to produce.
class ScriptedClient : public ModbusClient
{
public:
    QList<QByteArray> replies;
    QList<QByteArray> requests;
    int talk(char *reply, int capacity, const char *request, int length) override
    {
        requests << QByteArray(request, length);
        if (replies.isEmpty())
            return ModuleStatus::TimeoutError;
        const QByteArray next = replies.size() > 1 ? replies.takeFirst() : replies.first();
        const int size = qMin(int(next.size()), capacity);
        memcpy(reply, next.constData(), size_t(size));
        return size;
    }
};

// Runs a hook before its second exchange, outside the driver's lock unless the caller holds it.
class GateClient : public ModbusClient
{
public:
    std::function<void()> beforeSecond;
    int calls = 0;
    int talk(char *reply, int capacity, const char *request, int length) override
    {
        if (++calls == 2 && beforeSecond)
            beforeSecond();
        return ModbusClient::talk(reply, capacity, request, length);
    }
};

} // namespace

class tst_AbstractDeviceModule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void chunksPerHopCount_data();
    void chunksPerHopCount();
    void registerBytesHighByteFirst();
    void exceptionOnLaterChunk_data();
    void exceptionOnLaterChunk();
    void gatewayAnsweringInPlaceOfTarget_data();
    void gatewayAnsweringInPlaceOfTarget();
    void countZeroLeavesStatus();
    void runsPastTheLastAddressAreRefused_data();
    void runsPastTheLastAddressAreRefused();
    void faultsGiveStatus_data();
    void faultsGiveStatus();
    void longBitRepliesAreBounded();
    void singleBits();
    void talkForms();
    void globalStatus_data();
    void globalStatus();

    void fileReadEndsEarly();
    void fileReadWithTooManyRecordsIsBounded();
    void trunks_data();
    void trunks();
    void objects_data();
    void objects();
    void objectPagesMatchTheCallersId();
    void objectContinuationsAreBounded();
    void eventCountAndWait_data();
    void eventCountAndWait();
    void waitPumpsEventsOnlyWhenAllowed();
    void restartAndBootloaderRequests_data();
    void restartAndBootloaderRequests();
    void transmit_data();
    void transmit();
    void writeFileKeepsTheTransportBetweenChunks_data();
    void writeFileKeepsTheTransportBetweenChunks();
    void noClient();

private:
    std::unique_ptr<DeviceDriver> openDriver(Transport transport);
    SimulatedModule *module(const QString &path) { return m_sim.link().module(path); }
    SimulatorThread m_sim;
    std::unique_ptr<DeviceDriver> m_tcp;
    std::unique_ptr<DeviceDriver> m_pty;
    ModbusClient m_tcpClient;
    ModbusClient m_ptyClient;
};

void tst_AbstractDeviceModule::initTestCase()
{
    qRegisterMetaType<Transport>();
    SimulatedGateway *g1 = m_sim.link().addGateway(1);
    SimulatedGateway *g5 = g1->addGateway(5);
    SimulatedGateway *g3 = g5->addGateway(3);
    SimulatedGateway *g7 = g3->addGateway(7);
    g7->addModule(9);
    m_sim.link().addModule(2);
    QVERIFY2(m_sim.start(SimulatorThread::Tcp | SimulatorThread::Pty), qPrintable(m_sim.errorString()));
    m_tcp = openDriver(Tcp);
    m_pty = openDriver(Pty);
    QVERIFY(m_tcp->isOpen());
    QVERIFY(m_pty->isOpen());
    m_tcpClient.setDriver(m_tcp.get());
    m_ptyClient.setDriver(m_pty.get());
}

void tst_AbstractDeviceModule::init()
{
    for (const char *path : PathOfHops) {
        SimulatedModule *m = module(QLatin1String(path));
        QVERIFY(m);
        m->faults().clear();
        m->setResponding(true);
        m->setHoldingRegisterCount(4096);
        m->setCoilCount(4096);
        m->setInputRegisterCount(4096);
        m->setDiscreteInputCount(4096);
    }
    m_sim.link().faults().clear();
    m_sim.link().clearRequests();
}

std::unique_ptr<DeviceDriver> tst_AbstractDeviceModule::openDriver(Transport transport)
{
    return openLinkDriver(transport, m_sim);
}

// ---------------------------------------------------------------- runs

void tst_AbstractDeviceModule::chunksPerHopCount_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<int>("hops");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("chunks");

    const QList<QList<int>> words = { { 50, 50, 20 }, { 48, 48, 24 }, { 47, 47, 26 }, { 45, 45, 30 }, { 44, 44, 32 } };
    const QList<QList<int>> bits = { { 800, 200 }, { 776, 224 }, { 752, 248 }, { 728, 272 }, { 704, 296 } };
    for (int h = 0; h <= 4; ++h) {
        for (const char *op : { "readWord", "readRoWord", "writeWord", "readFile", "writeFile" })
            QTest::addRow("tcp %d hops %s", h, op) << Tcp << h << QString::fromLatin1(op) << 120 << words[h];
        for (const char *op : { "readBit", "readRoBit", "writeBit" })
            QTest::addRow("tcp %d hops %s", h, op) << Tcp << h << QString::fromLatin1(op) << 1000 << bits[h];
    }
    for (int h : { 0, 2 }) {
        QTest::addRow("pty %d hops readWord", h) << Pty << h << QStringLiteral("readWord") << 120 << words[h];
        QTest::addRow("pty %d hops writeBit", h) << Pty << h << QStringLiteral("writeBit") << 1000 << bits[h];
        QTest::addRow("pty %d hops writeFile", h) << Pty << h << QStringLiteral("writeFile") << 120 << words[h];
    }
}

void tst_AbstractDeviceModule::chunksPerHopCount()
{
    QFETCH(Transport, transport);
    QFETCH(int, hops);
    QFETCH(QString, operation);
    QFETCH(int, count);
    QFETCH(QList<int>, chunks);

    const QString path = QLatin1String(PathOfHops[hops]);
    SimulatedModule *m = module(path);
    AbstractDeviceModule dev(path, transport == Tcp ? &m_tcpClient : &m_ptyClient);
    const unsigned short start = 0x40;
    QVector<quint16> values(count);
    for (int i = 0; i < count; ++i)
        values[i] = quint16(0x1000 * hops + i * 7 + 0x0101);
    // Bits: item i is set when i % 3 == 0 or i % 7 == 1; packed, item k in bit k % 8 of byte k / 8.
    QByteArray packed((count + 7) / 8, '\0');
    for (int i = 0; i < count; ++i) {
        const bool on = i % 3 == 0 || i % 7 == 1;
        m->setCoil(start + i, on);
        m->setDiscreteInput(start + i, on);
        if (on)
            packed[i / 8] = char(packed[i / 8] | (1 << (i % 8)));
    }
    m->setHoldingRegisters(start, values);
    m->setInputRegisters(start, values);
    m->setFile(4, values);
    m_sim.link().clearRequests();

    ModuleStatus status(0x1234);
    QByteArray buffer(2 * count, '\0');
    int done = -1;
    quint8 function = 0;
    QByteArray expected;
    if (operation == QLatin1String("readWord")) {
        done = dev.readWord(start, count, buffer.data(), &status), function = 3, expected = bigEndian(values);
    } else if (operation == QLatin1String("readRoWord")) {
        done = dev.readRoWord(start, count, buffer.data(), &status), function = 4, expected = bigEndian(values);
    } else if (operation == QLatin1String("readFile")) {
        done = dev.readFile(4, 0, count, buffer.data(), &status), function = 0x14, expected = bigEndian(values);
    } else if (operation == QLatin1String("readBit")) {
        buffer.resize(packed.size());
        done = dev.readBit(start, count, buffer.data(), &status), function = 1, expected = packed;
    } else if (operation == QLatin1String("readRoBit")) {
        buffer.resize(packed.size());
        done = dev.readRoBit(start, count, buffer.data(), &status), function = 2, expected = packed;
    } else if (operation == QLatin1String("writeWord")) {
        QVector<quint16> written(count);
        for (int i = 0; i < count; ++i)
            written[i] = quint16(0xA000 + i);
        done = dev.writeWord(start, count, bigEndian(written).constData(), &status), function = 0x10;
        QCOMPARE(m->holdingRegisters(start, count), written);
    } else if (operation == QLatin1String("writeFile")) {
        QVector<quint16> written(count);
        for (int i = 0; i < count; ++i)
            written[i] = quint16(0xB000 + i);
        m->removeFile(6);
        done = dev.writeFile(6, 0, count, bigEndian(written).constData(), &status), function = 0x15;
        QCOMPARE(m->file(6), written);
    } else if (operation == QLatin1String("writeBit")) {
        QByteArray inverted = packed;
        for (char &c : inverted)
            c = char(~c);
        done = dev.writeBit(start, count, inverted.constData(), &status), function = 0x0F;
        for (int i = 0; i < count; ++i)
            QVERIFY2(m->coil(start + i) == !(i % 3 == 0 || i % 7 == 1), qPrintable(QString::number(i)));
    }
    QCOMPARE(done, count);
    QCOMPARE(status.data(), 0);
    QCOMPARE(countsOf(m_sim.link().requests(), function), chunks);
    if (!expected.isEmpty())
        QCOMPARE(buffer.toHex(' '), expected.toHex(' '));
}

void tst_AbstractDeviceModule::registerBytesHighByteFirst()
{
    SimulatedModule *m = module(QStringLiteral("1/5"));
    AbstractDeviceModule dev(QStringLiteral("1/5"), &m_tcpClient);
    m->setHoldingRegisters(0x10, { 0x1234, 0xABCD });
    unsigned char read[4] = {};
    QCOMPARE(dev.readWord(0x10, 2, read), 2);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(read), 4), QByteArray::fromHex("12 34 ab cd"));

    m_sim.link().clearRequests();
    const unsigned char write[4] = { 0xBE, 0xEF, 0x00, 0x01 };
    ModuleStatus status;
    QCOMPARE(dev.writeWord(0x30, 2, write, &status), 2);
    QVERIFY(status);
    QCOMPARE(m->holdingRegisters(0x30, 2), QVector<quint16>({ 0xBEEF, 0x0001 }));
    QCOMPARE(m_sim.link().lastRequest().left(14), QByteArray::fromHex("01 2b 0c 05 10 00 30 00 02 04 be ef 00 01"));
}

void tst_AbstractDeviceModule::exceptionOnLaterChunk_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("done");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("command");

    QTest::newRow("readWord 1/5") << "1/5" << "readWord" << 48 << 5 << 0x83;
    QTest::newRow("readRoWord 2") << "2" << "readRoWord" << 50 << 2 << 0x84;
    QTest::newRow("writeWord 1/5/3") << "1/5/3" << "writeWord" << 47 << 3 << 0x90;
    QTest::newRow("readBit 2") << "2" << "readBit" << 800 << 2 << 0x81;
    QTest::newRow("writeBit 1/5") << "1/5" << "writeBit" << 776 << 5 << 0x8F;
}

void tst_AbstractDeviceModule::exceptionOnLaterChunk()
{
    QFETCH(QString, path);
    QFETCH(QString, operation);
    QFETCH(int, done);
    QFETCH(int, address);
    QFETCH(int, command);

    SimulatedModule *m = module(path);
    AbstractDeviceModule dev(path, &m_tcpClient);
    // Exactly one chunk fits below the end of the module's table.
    m->setHoldingRegisterCount(done + 10);
    m->setInputRegisterCount(done + 10);
    m->setCoilCount(done + 10);
    QByteArray buffer(2000, '\0');
    ModuleStatus status;
    int result = -1;
    if (operation == QLatin1String("readWord"))
        result = dev.readWord(0, 120, buffer.data(), &status);
    else if (operation == QLatin1String("readRoWord"))
        result = dev.readRoWord(0, 120, buffer.data(), &status);
    else if (operation == QLatin1String("writeWord"))
        result = dev.writeWord(0, 120, buffer.constData(), &status);
    else if (operation == QLatin1String("readBit"))
        result = dev.readBit(0, 1000, buffer.data(), &status);
    else if (operation == QLatin1String("writeBit"))
        result = dev.writeBit(0, 1000, buffer.constData(), &status);
    QCOMPARE(result, done);
    QVERIFY(status.isException());
    QCOMPARE(int(status.exceptionAddress()), address);
    QCOMPARE(int(status.exceptionCommand()), command);
    QCOMPARE(int(status.exceptionCode()), 2);
    QVERIFY(!status);
}

void tst_AbstractDeviceModule::gatewayAnsweringInPlaceOfTarget_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("gateway");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("silentTarget");

    QTest::newRow("target silent behind 1") << "1/5" << 1 << 0x0B << true;
    QTest::newRow("target silent behind 1/5/3") << "1/5/3/7" << 3 << 0x0B << true;
    QTest::newRow("no such module behind 5") << "1/5/4" << 5 << 0x0A << false;
}

void tst_AbstractDeviceModule::gatewayAnsweringInPlaceOfTarget()
{
    QFETCH(QString, path);
    QFETCH(int, gateway);
    QFETCH(int, code);
    QFETCH(bool, silentTarget);

    if (silentTarget)
        module(path)->setResponding(false);
    AbstractDeviceModule dev(path, &m_tcpClient);
    char buffer[8] = {};
    ModuleStatus status;
    QCOMPARE(dev.readWord(0, 4, buffer, &status), 0);
    QVERIFY(status.isException());
    QCOMPARE(int(status.exceptionAddress()), gateway);
    QCOMPARE(int(status.exceptionCommand()), 0xAB);
    QCOMPARE(int(status.exceptionCode()), code);

    // The same classification for every other operation.
    QCOMPARE(dev.restart(false).exceptionAddress(), quint8(gateway));
    QByteArray value("kept");
    QCOMPARE(dev.readObject(1, value).exceptionCommand(), quint8(0xAB));
    QCOMPARE(value, QByteArray("kept"));
    QCOMPARE(dev.readEventCount(nullptr).exceptionCode(), quint8(code));
    QVERIFY(dev.transmit("x", 1, &status).isEmpty());
    QCOMPARE(int(status.exceptionAddress()), gateway);
}

void tst_AbstractDeviceModule::countZeroLeavesStatus()
{
    AbstractDeviceModule dev(QStringLiteral("1/5"), &m_tcpClient);
    const ModuleStatus sentinel(0x0102);
    ModuleStatus status = sentinel;
    char buffer[2] = {};
    QCOMPARE(dev.readBit(0, 0, buffer, &status), 0);
    QCOMPARE(dev.readRoBit(0, 0, buffer, &status), 0);
    QCOMPARE(dev.readWord(0, 0, buffer, &status), 0);
    QCOMPARE(dev.readRoWord(0, 0, buffer, &status), 0);
    QCOMPARE(dev.writeBit(0, 0, buffer, &status), 0);
    QCOMPARE(dev.writeWord(0, 0, buffer, &status), 0);
    QCOMPARE(dev.readFile(1, 0, 0, buffer, &status), 0);
    QCOMPARE(dev.writeFile(1, 0, 0, buffer, &status), 0);
    QCOMPARE(status.data(), sentinel.data());
    QThread::msleep(10);
    QCOMPARE(m_sim.link().requestCount(), 0);
}

void tst_AbstractDeviceModule::runsPastTheLastAddressAreRefused_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("refused");

    QTest::newRow("readWord 17 from 0xfff0") << "readWord" << 0xFFF0 << 17 << true;
    QTest::newRow("readRoWord 2 from 0xffff") << "readRoWord" << 0xFFFF << 2 << true;
    QTest::newRow("writeWord 60 from 0xffe0") << "writeWord" << 0xFFE0 << 60 << true;
    QTest::newRow("readBit 2 from 0xffff") << "readBit" << 0xFFFF << 2 << true;
    QTest::newRow("readRoBit 900 from 0xfd00") << "readRoBit" << 0xFD00 << 900 << true;
    QTest::newRow("writeBit 9 from 0xfff8") << "writeBit" << 0xFFF8 << 9 << true;
    QTest::newRow("readFile 2 from record 0xffff") << "readFile" << 0xFFFF << 2 << true;
    QTest::newRow("writeFile 3 from record 0xfffe") << "writeFile" << 0xFFFE << 3 << true;
    // Ending on the last address is allowed: the module answers for itself.
    QTest::newRow("readWord 16 from 0xfff0") << "readWord" << 0xFFF0 << 16 << false;
    QTest::newRow("writeBit 8 from 0xfff8") << "writeBit" << 0xFFF8 << 8 << false;
}

void tst_AbstractDeviceModule::runsPastTheLastAddressAreRefused()
{
    QFETCH(QString, operation);
    QFETCH(int, address);
    QFETCH(int, count);
    QFETCH(bool, refused);

    AbstractDeviceModule dev(QStringLiteral("2"), &m_tcpClient);
    QByteArray buffer(2 * count, '\0');
    ModuleStatus status;
    const auto a = (unsigned short)address;
    const auto n = (unsigned short)count;
    WarningCatcher catcher;
    int done = -1;
    if (operation == QLatin1String("readWord"))
        done = dev.readWord(a, n, buffer.data(), &status);
    else if (operation == QLatin1String("readRoWord"))
        done = dev.readRoWord(a, n, buffer.data(), &status);
    else if (operation == QLatin1String("writeWord"))
        done = dev.writeWord(a, n, buffer.constData(), &status);
    else if (operation == QLatin1String("readBit"))
        done = dev.readBit(a, n, buffer.data(), &status);
    else if (operation == QLatin1String("readRoBit"))
        done = dev.readRoBit(a, n, buffer.data(), &status);
    else if (operation == QLatin1String("writeBit"))
        done = dev.writeBit(a, n, buffer.constData(), &status);
    else if (operation == QLatin1String("readFile"))
        done = dev.readFile(1, a, n, buffer.data(), &status);
    else if (operation == QLatin1String("writeFile"))
        done = dev.writeFile(1, a, n, buffer.constData(), &status);
    QThread::msleep(10);
    if (refused) {
        QCOMPARE(done, 0);
        QCOMPARE(status.data(), int(ModuleStatus::WriteError));
        QCOMPARE(m_sim.link().requestCount(), 0);
        QCOMPARE(catcher.messages(),
                 QStringList(QStringLiteral("(AbstractDeviceModule::%1) %2 items from %3 would go past 65535")
                                 .arg(operation).arg(count).arg(address)));
    } else {
        QCOMPARE(m_sim.link().requestCount(), 1);
        QVERIFY(catcher.messages().isEmpty());
    }
}

void tst_AbstractDeviceModule::faultsGiveStatus_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("expectedStatus");
    QTest::addColumn<int>("done");
    QTest::addColumn<int>("warnings");

    for (Transport t : { Tcp, Pty }) {
        const char *name = t == Tcp ? "tcp" : "pty";
        QTest::addRow("%s silent", name) << t << "drop" << int(ModuleStatus::TimeoutError) << 50 << 0;
        QTest::addRow("%s corrupt", name) << t << "corrupt" << int(ModuleStatus::InvalidReplyError) << 50 << 0;
        QTest::addRow("%s 3 bytes", name) << t << "short" << int(ModuleStatus::TimeoutError) << 50 << 0;
        QTest::addRow("%s one corrupt, then good", name) << t << "corrupt once" << 0 << 120 << 0;
        QTest::addRow("%s one split reply", name) << t << "split" << 0 << 120 << 0;
        QTest::addRow("%s stale bytes before one reply", name) << t << "stale" << 0 << 120 << 0;
        QTest::addRow("%s one long reply, then good", name) << t << "extend once" << 0 << 120 << 1;
    }
    QTest::newRow("tcp long replies for ever") << Tcp << "extend" << int(ModuleStatus::InvalidReplyError) << 50 << 3;
}

void tst_AbstractDeviceModule::faultsGiveStatus()
{
    QFETCH(Transport, transport);
    QFETCH(QString, fault);
    QFETCH(int, expectedStatus);
    QFETCH(int, done);
    QFETCH(int, warnings);

    SimulatedModule *m = module(QStringLiteral("2"));
    AbstractDeviceModule dev(QStringLiteral("2"), transport == Tcp ? &m_tcpClient : &m_ptyClient);
    // The first chunk goes through; the fault hits the second one from then on.
    SimulatedFaultPlan &plan = m->faults();
    plan.add(SimulatedFault(), 1);
    if (fault == QLatin1String("drop"))
        plan.dropReplies(5);
    else if (fault == QLatin1String("corrupt"))
        plan.corruptCrc(5);
    else if (fault == QLatin1String("short"))
        plan.shortenReplies(5, 3);
    else if (fault == QLatin1String("corrupt once"))
        plan.corruptCrc(1);
    else if (fault == QLatin1String("split"))
        plan.splitReplies(1, 3, 5);
    else if (fault == QLatin1String("stale"))
        plan.sendStaleBytes(1, QByteArray::fromHex("02 03"));
    else if (fault == QLatin1String("extend once"))
        plan.extendReplies(1);
    else if (fault == QLatin1String("extend"))
        plan.extendReplies(100);

    WarningCatcher catcher;
    QByteArray buffer(240, '\0');
    ModuleStatus status;
    QCOMPARE(dev.readWord(0, 120, buffer.data(), &status), done);
    QCOMPARE(status.data(), expectedStatus);
    QCOMPARE(catcher.messages().size(), warnings);
    if (warnings)
        QCOMPARE(catcher.messages().first(),
                 QStringLiteral("(AbstractDeviceModule::readWord) Reply doesn't match request, expect 50 records, actual: 51"));
    plan.clear();
}

void tst_AbstractDeviceModule::longBitRepliesAreBounded()
{
    SimulatedModule *m = module(QStringLiteral("2"));
    AbstractDeviceModule dev(QStringLiteral("2"), &m_tcpClient);
    WarningCatcher catcher;
    QByteArray bits(125, '\0');
    ModuleStatus status;
    m->faults().extendReplies(100, 1);
    QCOMPARE(dev.readRoBit(0, 1000, bits.data(), &status), 0);
    QCOMPARE(status.data(), int(ModuleStatus::InvalidReplyError));
    QCOMPARE(catcher.messages().size(), int(AbstractDeviceModule::ChunkAttempts));
    QCOMPARE(catcher.messages().first(),
             QStringLiteral("(AbstractDeviceModule::readRoBit) Reply doesn't match request, expect 100 bytes, actual: 101"));
    m->faults().clear();
    catcher.clear();
    // One more bit within the same last byte still fits: 3 bits asked, 4 answered.
    m->faults().extendReplies(1, 1);
    QCOMPARE(dev.readBit(0, 3, bits.data(), &status), 3);
    QVERIFY(status);
    QVERIFY(catcher.messages().isEmpty());
    m->faults().clear();

    // The warnings go through the link's logging category: switched off there, the run
    // fails the same and says nothing.
    QLoggingCategory::setFilterRules(QStringLiteral("qv.link.warning=false"));
    m->faults().extendReplies(100, 1);
    QCOMPARE(dev.readRoBit(0, 1000, bits.data(), &status), 0);
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(status.data(), int(ModuleStatus::InvalidReplyError));
    QVERIFY(catcher.messages().isEmpty());
    m->faults().clear();
}

void tst_AbstractDeviceModule::singleBits()
{
    SimulatedModule *m = module(QStringLiteral("2"));
    AbstractDeviceModule dev(QStringLiteral("2"), &m_tcpClient);
    m->setCoil(5, false);
    QVERIFY(dev.setBit(5, true));
    QCOMPARE(inner(m_sim.link().lastRequest()), QByteArray::fromHex("02 0f 00 05 00 01 01 01"));
    QVERIFY(m->coil(5));
    ModuleStatus status(0x77);
    QVERIFY(dev.getBit(5, &status));
    QVERIFY(status);
    QVERIFY(dev.setBit(5, false));
    QCOMPARE(inner(m_sim.link().lastRequest()), QByteArray::fromHex("02 0f 00 05 00 01 01 00"));
    QVERIFY(!dev.getBit(5, &status));
    QVERIFY(status);

    m->setDiscreteInput(9, true);
    QVERIFY(dev.getRoBit(9, &status));
    QCOMPARE(inner(m_sim.link().lastRequest()), QByteArray::fromHex("02 02 00 09 00 01"));

    // A failed read is false too; only the status tells.
    m->setCoil(6, true);
    m->faults().dropReplies(5);
    QVERIFY(!dev.getBit(6, &status));
    QCOMPARE(status.data(), int(ModuleStatus::TimeoutError));
    m->setCoilCount(10);
    QVERIFY(!dev.setBit(20, true).isCommunicationError());
    QCOMPARE(dev.setBit(20, true).exceptionCommand(), quint8(0x8F));
}

void tst_AbstractDeviceModule::talkForms()
{
    SimulatedModule *m = module(QStringLiteral("1/5"));
    m->setHoldingRegisters(0x10, { 0x0A0B });
    AbstractDeviceModule dev(QStringLiteral("1/5"), &m_tcpClient);

    MessageBuilder builder(dev.path());
    builder.readWord(0x10, 1);
    QVERIFY(dev.talk(builder));
    // The route is gone: the reply starts with the target's address.
    QCOMPARE(builder.buffer(), QByteArray::fromHex("05 03 02 0a 0b"));

    MessageBuilder bad(dev.path());
    bad.readWord(0xF000, 1);
    const ModuleStatus status = dev.talk(bad);
    QCOMPARE(quint32(status.data()), 0x7F058302u);

    // The raw form adds and removes nothing.
    const QByteArray request = QByteArray::fromHex("02 03 00 10 00 01");
    module(QStringLiteral("2"))->setHoldingRegisters(0x10, { 0x1122 });
    char reply[64];
    QCOMPARE(dev.talk(reply, sizeof reply, request.constData(), request.size()), 5);
    QCOMPARE(QByteArray(reply, 5), QByteArray::fromHex("02 03 02 11 22"));
}

void tst_AbstractDeviceModule::globalStatus_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("expected");

    QTest::newRow("no hops") << "7" << 0x10000 << 0x10000;
    QTest::newRow("two hops") << "1/2/3" << 0x1 << 0x2301;
    QTest::newRow("four hops") << "1/2/3/4/5" << 0 << 0x2345;
    QTest::newRow("fifth hop has no place") << "1/2/3/4/5/6" << 0 << 0x2345;
    QTest::newRow("empty parts dropped") << "/1//2/" << 0 << 0x2000;
    QTest::newRow("not a number") << "1/x/3" << 0 << 0x300;
    QTest::newRow("not masked") << "1/20" << 0 << (20 << 12);
}

void tst_AbstractDeviceModule::globalStatus()
{
    QFETCH(QString, path);
    QFETCH(int, code);
    QFETCH(int, expected);
    QCOMPARE(AbstractDeviceModule(path, nullptr).globalStatus(code), expected);
}

// ---------------------------------------------------------------- files and services

void tst_AbstractDeviceModule::fileReadEndsEarly()
{
    SimulatedModule *m = module(QStringLiteral("2"));
    QVector<quint16> records(30);
    for (int i = 0; i < 30; ++i)
        records[i] = quint16(0x0100 * i + 0x0F);
    m->setFile(3, records);
    AbstractDeviceModule dev(QStringLiteral("2"), &m_ptyClient);
    QByteArray buffer(200, '\0');
    ModuleStatus status(0x55);
    QCOMPARE(dev.readFile(3, 0, 100, buffer.data(), &status), 30);
    QVERIFY(status);
    QCOMPARE(m_sim.link().requestCount(), 1);
    QCOMPARE(buffer.left(60), bigEndian(records));
    QCOMPARE(inner(m_sim.link().lastRequest()), QByteArray::fromHex("02 14 07 06 00 03 00 00 00 32"));

    // From the middle, ending exactly at a chunk's end.
    m_sim.link().clearRequests();
    QCOMPARE(dev.readFile(3, 10, 20, buffer.data(), &status), 20);
    QCOMPARE(buffer.left(40), bigEndian(records.mid(10)));
    QCOMPARE(dev.readFile(3, 30, 5, buffer.data(), &status), 0);
    QVERIFY(status);
}

void tst_AbstractDeviceModule::fileReadWithTooManyRecordsIsBounded()
{
    SimulatedModule *m = module(QStringLiteral("1/5"));
    m->setFile(3, QVector<quint16>(100, 0x4242));
    AbstractDeviceModule dev(QStringLiteral("1/5"), &m_tcpClient);
    QByteArray buffer(400, '\0');
    ModuleStatus status;
    WarningCatcher catcher;

    m->faults().add(SimulatedFault(), 1);
    m->faults().extendReplies(1);
    QCOMPARE(dev.readFile(3, 0, 60, buffer.data(), &status), 60);
    QVERIFY(status);
    QCOMPARE(catcher.messages(),
             QStringList(QStringLiteral("(AbstractDeviceModule::readFile) Reply doesn't match request, expect 12 records, actual: 13")));

    catcher.clear();
    m_sim.link().clearRequests();
    m->faults().extendReplies(100);
    QCOMPARE(dev.readFile(3, 0, 60, buffer.data(), &status), 0);
    QCOMPARE(status.data(), int(ModuleStatus::InvalidReplyError));
    QCOMPARE(catcher.messages().size(), int(AbstractDeviceModule::ChunkAttempts));
    QCOMPARE(m_sim.link().requestCount(), int(AbstractDeviceModule::ChunkAttempts));
    m->faults().clear();
}

void tst_AbstractDeviceModule::trunks_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("expectedStatus");

    const QByteArray good = SimulatedModule::makeTrunk(QByteArray::fromHex("de ad be ef"));
    QTest::newRow("good, L = 6") << good << good.left(8) << 0;
    const QByteArray large = SimulatedModule::makeTrunk(QByteArray(3000, 'q'));
    QTest::newRow("good, 3000 bytes") << large << large.left(3004) << 0;
    QByteArray corrupt = good;
    corrupt[3] = char(corrupt[3] ^ 1);
    QTest::newRow("checksum wrong") << corrupt << QByteArray(2, '\0') << 0;
    QTest::newRow("L = 8191") << QByteArray::fromHex("1f ff 00 00") << QByteArray(2, '\0') << 0;
    QTest::newRow("L = 8190 fits") << SimulatedModule::makeTrunk(QByteArray(8188, 'z'))
                                   << SimulatedModule::makeTrunk(QByteArray(8188, 'z')) << 0;
    // Odd: its second checksum byte would lie beyond the records read, even when right.
    QByteArray odd = QByteArray::fromHex("00 07 01 02 03 04 05");
    const unsigned short crc = crc16(odd.constData(), odd.size());
    odd.append(char(crc >> 8)).append(char(crc & 0xFF));
    QTest::newRow("L odd") << odd << QByteArray(2, '\0') << 0;
    QTest::newRow("L = 0") << QByteArray::fromHex("00 00 ff ff") << QByteArray(2, '\0') << 0;
    QTest::newRow("L = 1") << QByteArray::fromHex("00 01 ff ff") << QByteArray(2, '\0') << 0;
    QTest::newRow("file shorter than L") << good.left(4) << QByteArray() << int(ModuleStatus::InvalidReplyError);
    QTest::newRow("empty file") << QByteArray() << QByteArray() << int(ModuleStatus::InvalidReplyError);
    QTest::newRow("no such file") << QByteArray("missing") << QByteArray() << int(0x7F059402);
}

void tst_AbstractDeviceModule::trunks()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, expected);
    QFETCH(int, expectedStatus);

    SimulatedModule *m = module(QStringLiteral("1/5"));
    if (file == "missing")
        m->removeFile(7);
    else
        m->setFileBytes(7, file);
    m_sim.link().clearRequests();
    AbstractDeviceModule dev(QStringLiteral("1/5"), &m_tcpClient);
    ModuleStatus status(0x99);
    const QByteArray trunk = dev.readTrunk(7, &status);
    QCOMPARE(trunk.toHex(' ').left(120), expected.toHex(' ').left(120));
    QCOMPARE(trunk, expected);
    QCOMPARE(status.data(), expectedStatus);
    // The length record alone first, then the rest from record 1.
    const QByteArray first = inner(m_sim.link().requests().first());
    QCOMPARE(first, QByteArray::fromHex("05 14 07 06 00 07 00 00 00 01"));
}

void tst_AbstractDeviceModule::objects_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<int>("id");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QList<int>>("requestedIds");

    QTest::newRow("first object") << "2" << 128 << 0 << QByteArray("Vendor") << QList<int>({ 0 });
    QTest::newRow("later object, routed") << "1/5/3" << 128 << 4 << QByteArray("Product name") << QList<int>({ 4 });
    QTest::newRow("not listed, one page") << "2" << 128 << 3 << QByteArray("kept") << QList<int>({ 3 });
    // Pages of 20 bytes: the module lists the ids after 3 and reports more; another
    // object's value must not be taken for the one asked.
    QTest::newRow("not listed, paged") << "2" << 20 << 3 << QByteArray("kept") << QList<int>({ 3, 5, 6 });
    QTest::newRow("high id bits dropped") << "2" << 128 << 0x101 << QByteArray("Code") << QList<int>({ 1 });
}

void tst_AbstractDeviceModule::objects()
{
    QFETCH(QString, path);
    QFETCH(int, pageSize);
    QFETCH(int, id);
    QFETCH(QByteArray, value);
    QFETCH(QList<int>, requestedIds);

    SimulatedModule *m = module(path);
    m->clearObjects();
    m->setObject(0, "Vendor");
    m->setObject(1, "Code");
    m->setObject(2, "1.0");
    m->setObject(4, "Product name");
    m->setObject(5, "Model 5 with a long name");
    m->setObject(6, "App");
    m->setObjectPageSize(pageSize);
    m_sim.link().clearRequests();

    AbstractDeviceModule dev(path, &m_tcpClient);
    QByteArray result("kept");
    QVERIFY(dev.readObject(id, result));
    QCOMPARE(result, value);
    QList<int> ids;
    for (const QByteArray &frame : m_sim.link().requests()) {
        const QByteArray f = inner(frame);
        QCOMPARE(f.mid(1, 3), QByteArray::fromHex("2b 0e 01"));
        ids << quint8(f.at(4));
    }
    QCOMPARE(ids, requestedIds);
}

void tst_AbstractDeviceModule::objectPagesMatchTheCallersId()
{
    ScriptedClient client;
    // Page 1: object 2, more follow from 7; page 2: objects 7 and 9, the last page.
    client.replies = { QByteArray::fromHex("04 2b 0e 01 83 ff 07 01 02 01 aa"),
                       QByteArray::fromHex("04 2b 0e 01 83 00 00 02 07 02 bb bb 09 03 cc cc cc") };
    AbstractDeviceModule dev(QStringLiteral("4"), &client);
    QByteArray value("kept");
    QVERIFY(dev.readObject(9, value));
    QCOMPARE(value, QByteArray::fromHex("cc cc cc"));
    QCOMPARE(client.requests, QList<QByteArray>({ QByteArray::fromHex("04 2b 0e 01 09"), QByteArray::fromHex("04 2b 0e 01 07") }));

    // A value cut short by the end of the reply is taken as far as it goes.
    client.requests.clear();
    client.replies = { QByteArray::fromHex("04 2b 0e 01 83 00 00 01 09 05 cc cc") };
    QVERIFY(dev.readObject(9, value));
    QCOMPARE(value, QByteArray::fromHex("cc cc"));

    // A reply without its header is not an answer.
    client.replies = { QByteArray::fromHex("04 2b 0e 01") };
    value = "kept";
    QCOMPARE(dev.readObject(9, value).data(), int(ModuleStatus::InvalidReplyError));
    QCOMPARE(value, QByteArray("kept"));
}

void tst_AbstractDeviceModule::objectContinuationsAreBounded()
{
    ScriptedClient client;
    // For ever "more follows", never the object asked for.
    client.replies = { QByteArray::fromHex("04 2b 0e 01 83 ff 02 01 02 01 aa") };
    AbstractDeviceModule dev(QStringLiteral("4"), &client);
    QByteArray value("kept");
    QCOMPARE(dev.readObject(9, value).data(), int(ModuleStatus::InvalidReplyError));
    QCOMPARE(value, QByteArray("kept"));
    QCOMPARE(client.requests.size(), int(AbstractDeviceModule::ObjectPageLimit));
}

void tst_AbstractDeviceModule::eventCountAndWait_data()
{
    QTest::addColumn<int>("busyPolls");
    QTest::addColumn<int>("finalWord");
    QTest::addColumn<int>("maxPolls");
    QTest::addColumn<int>("expectedStatus");
    QTest::addColumn<int>("exchanges");

    QTest::newRow("busy twice, then 0") << 2 << 0 << 0 << 0 << 3;
    QTest::newRow("busy twice, then 3") << 2 << 3 << 0 << 3 << 3;
    QTest::newRow("not busy") << 0 << 0 << 0 << 0 << 1;
    QTest::newRow("bounded, gives up") << 50 << 0 << 4 << 0xFFFF << 4;
    QTest::newRow("bounded, in time") << 3 << 0 << 4 << 0 << 4;
}

void tst_AbstractDeviceModule::eventCountAndWait()
{
    QFETCH(int, busyPolls);
    QFETCH(int, finalWord);
    QFETCH(int, maxPolls);
    QFETCH(int, expectedStatus);
    QFETCH(int, exchanges);

    SimulatedModule *m = module(QStringLiteral("1/5"));
    AbstractDeviceModule dev(QStringLiteral("1/5"), &m_tcpClient);
    while (m->isBusy())
        QVERIFY(dev.readEventCount(nullptr));
    m->setBusyPolls(busyPolls);
    m->setFinalStatusWord(quint16(finalWord));
    m->setEventCount(41);
    if (busyPolls)
        m->startBusy();
    m_sim.link().clearRequests();

    quint16 word = 0x1111;
    const ModuleStatus status = maxPolls ? dev.wait(&word, maxPolls) : dev.wait(&word);
    QCOMPARE(status.data(), expectedStatus);
    QCOMPARE(status.isDeviceError(), expectedStatus != 0);
    QCOMPARE(int(word), expectedStatus ? expectedStatus : 0);
    QCOMPARE(m_sim.link().requestCount(), exchanges);
    QCOMPARE(inner(m_sim.link().lastRequest()), QByteArray::fromHex("05 0b"));

    while (m->isBusy())
        QVERIFY(dev.readEventCount(nullptr));
    quint16 events = 0;
    QVERIFY(dev.readEventCount(&word, &events));
    QCOMPARE(int(word), finalWord);
    QCOMPARE(events, m->eventCount());
    m->setFinalStatusWord(0);
}

void tst_AbstractDeviceModule::waitPumpsEventsOnlyWhenAllowed()
{
    SimulatedModule *m = module(QStringLiteral("2"));
    AbstractDeviceModule dev(QStringLiteral("2"), &m_tcpClient);
    for (bool allowed : { false, true }) {
        m->setBusyPolls(20);
        m->setFinalStatusWord(0);
        m->startBusy();
        bool fired = false;
        QTimer::singleShot(0, this, [&fired] { fired = true; });
        dev.setProcessEvents(allowed);
        QVERIFY(dev.wait());
        QCOMPARE(fired, allowed);
        QCoreApplication::processEvents();
        QVERIFY(fired);
    }

    // Off the application's thread it never pumps, whatever the flag.
    m->setBusyPolls(5);
    m->startBusy();
    ModuleStatus status(0x42);
    std::thread worker([&] { status = dev.wait(); });
    worker.join();
    QVERIFY(status);

    // A failure during the wait ends it.
    m->setBusyPolls(50);
    m->startBusy();
    m->faults().add(SimulatedFault(), 2);
    m->faults().dropReplies(5);
    QCOMPARE(dev.wait().data(), int(ModuleStatus::TimeoutError));
    m->faults().clear();
    while (m->isBusy())
        dev.readEventCount(nullptr);
}

void tst_AbstractDeviceModule::restartAndBootloaderRequests_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("bootloader");

    QTest::newRow("restart, clear log") << "restart true" << QByteArray::fromHex("03 08 00 01 ff 00") << false;
    QTest::newRow("restart, keep log") << "restart false" << QByteArray::fromHex("03 08 00 01 00 00") << false;
    QTest::newRow("boot loader") << "boot" << QByteArray::fromHex("03 08 00 01 ff ff") << true;
}

void tst_AbstractDeviceModule::restartAndBootloaderRequests()
{
    QFETCH(QString, operation);
    QFETCH(QByteArray, request);
    QFETCH(bool, bootloader);

    SimulatedModule *m = module(QStringLiteral("1/5/3"));
    m->setInBootloader(false);
    const int restarts = m->restartCount();
    AbstractDeviceModule dev(QStringLiteral("1/5/3"), &m_ptyClient);
    ModuleStatus status;
    if (operation == QLatin1String("boot"))
        status = dev.enterBootloaderMode();
    else
        status = dev.restart(operation == QLatin1String("restart true"));
    QVERIFY(status);
    QCOMPARE(m_sim.link().lastRequest().left(7), QByteArray::fromHex("01 2b 0c 05 2b 0c 03"));
    QCOMPARE(inner(m_sim.link().lastRequest()), request);
    QCOMPARE(m->restartCount(), restarts + 1);
    QCOMPARE(m->isInBootloader(), bootloader);
    m->setInBootloader(false);
    while (m->isBusy())
        dev.readEventCount(nullptr);
}

void tst_AbstractDeviceModule::transmit_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("echo") << "2" << QByteArray("hello") << QByteArray("hello") << QByteArray("hello");
    QTest::newRow("routed, answered") << "1/5" << QByteArray::fromHex("01 02") << QByteArray::fromHex("aa bb cc")
                                      << QByteArray::fromHex("aa bb cc");
    QTest::newRow("reply of 3 bytes") << "1/5" << QByteArray("ping") << QByteArray() << QByteArray();
    QTest::newRow("nothing sent") << "2" << QByteArray() << QByteArray("pong") << QByteArray("pong");
}

void tst_AbstractDeviceModule::transmit()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, expected);

    SimulatedModule *m = module(path);
    QByteArray seen;
    m->setPassThroughResponder([&seen, answer](const QByteArray &p) {
        seen = p;
        return answer;
    });
    AbstractDeviceModule dev(path, &m_tcpClient);
    ModuleStatus status(0x31);
    QCOMPARE(dev.transmit(payload.constData(), payload.size(), &status), expected);
    QVERIFY(status);
    QCOMPARE(seen, payload);
    QCOMPARE(inner(m_sim.link().lastRequest()).mid(1), QByteArray::fromHex("2b 0d") + payload);
    m->setPassThroughResponder(SimulatedModule::PassThroughResponder());
}

void tst_AbstractDeviceModule::writeFileKeepsTheTransportBetweenChunks_data()
{
    QTest::addColumn<Transport>("transport");
    QTest::addColumn<bool>("write");

    QTest::newRow("tcp writeFile") << Tcp << true;
    QTest::newRow("tcp readFile") << Tcp << false;
    QTest::newRow("pty writeFile") << Pty << true;
    QTest::newRow("pty readFile") << Pty << false;
}

void tst_AbstractDeviceModule::writeFileKeepsTheTransportBetweenChunks()
{
    QFETCH(Transport, transport);
    QFETCH(bool, write);

    DeviceDriver *driver = transport == Tcp ? m_tcp.get() : m_pty.get();
    GateClient client;
    client.setDriver(driver);
    ModbusClient otherClient;
    otherClient.setDriver(driver);
    module(QStringLiteral("2"))->setFile(5, QVector<quint16>(150, 0x7777));

    // Before the file operation's second chunk, another thread makes one exchange on the
    // same transport; it is given up to 300 ms to get through.
    std::mutex mutex;
    std::condition_variable cv;
    bool otherDone = false;
    bool doneBeforeSecondChunk = false;
    std::thread other;
    client.beforeSecond = [&] {
        other = std::thread([&] {
            AbstractDeviceModule dev1(QStringLiteral("1"), &otherClient);
            char words[2];
            dev1.readWord(0, 1, words);
            std::lock_guard<std::mutex> lock(mutex);
            otherDone = true;
            cv.notify_all();
        });
        std::unique_lock<std::mutex> lock(mutex);
        doneBeforeSecondChunk = cv.wait_for(lock, std::chrono::milliseconds(300), [&] { return otherDone; });
    };

    AbstractDeviceModule dev(QStringLiteral("2"), &client);
    QByteArray buffer(300, '\x11');
    ModuleStatus status;
    const int done = write ? dev.writeFile(5, 0, 150, buffer.constData(), &status)
                           : dev.readFile(5, 0, 150, buffer.data(), &status);
    other.join();
    QCOMPARE(done, 150);
    QVERIFY(status);
    QCOMPARE(doneBeforeSecondChunk, !write);

    QString order;
    for (const QByteArray &frame : m_sim.link().requests())
        order += quint8(frame.at(0)) == 1 ? QLatin1Char('o') : QLatin1Char('f');
    QCOMPARE(order, write ? QStringLiteral("fffo") : QStringLiteral("foff"));
}

void tst_AbstractDeviceModule::noClient()
{
    AbstractDeviceModule dev(QStringLiteral("1/5"), nullptr);
    ModuleStatus status;
    char buffer[4];
    QCOMPARE(dev.readWord(0, 2, buffer, &status), 0);
    QCOMPARE(status.data(), int(ModuleStatus::NotOpenError));
    QCOMPARE(dev.writeFile(1, 0, 1, buffer, &status), 0);
    QCOMPARE(status.data(), int(ModuleStatus::NotOpenError));
    QCOMPARE(dev.wait().data(), int(ModuleStatus::NotOpenError));
    QCOMPARE(dev.talk(buffer, 4, buffer, 4), int(ModuleStatus::NotOpenError));
    QVERIFY(dev.readTrunk(1, &status).isEmpty());
    QCOMPARE(status.data(), int(ModuleStatus::NotOpenError));

    // A copy addresses the same module through the same client.
    AbstractDeviceModule copy(QStringLiteral("2"), &m_tcpClient);
    dev = copy;
    QCOMPARE(dev.path(), QStringLiteral("2"));
    QCOMPARE(dev.client(), &m_tcpClient);
    QVERIFY(!dev.processEvents());
}

QTEST_GUILESS_MAIN(tst_AbstractDeviceModule)
#include "tst_abstractdevicemodule.moc"
