// The link under a schedule of faults drawn at random from every class the simulator
// knows (late, doubled, dripped, endless, cut short and corrupt replies, frames nobody
// asked for, noise, a gateway's late exception, hang-ups), over TCP and the pty, direct
// and routed, with four threads on one client. Each thread reads and writes an area of
// its own whose contents it can tell: no operation may ever succeed with data that is not
// its own, and no attempt may outlast its bound.
//
// QV_CHAOS_SEED repeats a run with another seed; QV_CHAOS_OPERATIONS sets the operations
// per thread.
#include <abstractdevicemodule.h>
#include <devicedriver.h>
#include <modbusclient.h>
#include <modulestatus.h>

#include <linkrig.h>
#include <simulatedgateway.h>
#include <simulatedmodule.h>
#include <simulatorthread.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QRandomGenerator>
#include <QtTest/QtTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

using Modbus::AbstractDeviceModule;
using Modbus::ModuleStatus;

namespace {

constexpr int Threads = 4;
constexpr int ReadTimeout = 20;
constexpr int IntervalTimeout = 10;
constexpr int WriteTimeout = 100;
constexpr int AreaWords = 160;
constexpr int AreaBits = 400;
// What the automatic late-reply bound may grow to: an attempt settles for at most this.
constexpr int LateReplyCap = 10000;
// Scheduling on a loaded machine, and the sanitizers' slowness.
constexpr int Slack = 1000;

// Input registers hold a pattern that names module and address.
quint16 inputPattern(quint8 module, int address)
{
    return quint16(module << 11 ^ address * 37);
}

QByteArray wordBytes(quint16 value)
{
    return QByteArray(1, char(value >> 8)) + char(value & 0xFF);
}

// What one thread knows of its own area: the values each register may hold (several
// after a write that failed, which may or may not have landed), and likewise its coils.
struct Area
{
    QString path;
    SimulatedModule *module = nullptr;
    int firstWord = 0;
    int firstBit = 0;
    QVector<QVector<quint16>> words; // possible values per register
    QVector<quint8> bits;            // per coil: bit 0 may be clear, bit 1 may be set
};

// The longest an attempt may take: settling for the late-reply bound at most, the write,
// the first wait, an interval wait, the time for the longest frame on the line, and an
// interval wait for the rest of an owed reply before the write.
qint64 attemptBound(const Area &area, int transferMs)
{
    const int firstWait = area.path.contains(QLatin1Char('/')) ? 2 * ReadTimeout : ReadTimeout;
    return LateReplyCap + WriteTimeout + firstWait + 2 * (IntervalTimeout + transferMs) + Slack;
}

} // namespace

class tst_Chaos : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase_data();
    void initTestCase();
    void noWrongDataUnderAnyFault_data();
    void noWrongDataUnderAnyFault();

private:
    bool reopen(Transport transport, DeviceDriver *driver);
    QString runThread(int index, Area &area, AbstractDeviceModule &module, quint32 seed, int operations);

    SimulatorThread m_sim;
    std::mutex m_reopenMutex;
    std::atomic<int> m_reopens{ 0 };
};

void tst_Chaos::initTestCase_data()
{
    addTransportRows();
}

void tst_Chaos::initTestCase()
{
    // 2 and 4 plain modules; 1 a gateway with 5 behind it, a gateway with 3 behind it.
    SimulatedLink &link = m_sim.link();
    link.addModule(2);
    link.addModule(4);
    SimulatedGateway *g1 = link.addGateway(1);
    SimulatedGateway *g5 = g1->addGateway(5);
    g5->addModule(3);
    for (const char *path : { "2", "4", "1/5", "1/5/3" }) {
        SimulatedModule *module = link.module(QString::fromLatin1(path));
        QVERIFY(module);
        for (int address = 0; address < 1024; ++address)
            module->setInputRegister(address, inputPattern(module->address(), address));
    }
    link.setRequestLogLimit(0);
    // The retries are warned about; they are expected here.
    QLoggingCategory::setFilterRules(QStringLiteral("qv.link.warning=false\nqv.transport.warning=false"));
}

void tst_Chaos::noWrongDataUnderAnyFault_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<quint32>("seed"); // on the pty, 2 more
    QTest::newRow("direct") << QStringList{ "2", "4" } << 11u;
    QTest::newRow("routed") << QStringList{ "1/5", "1/5/3" } << 12u;
}

bool tst_Chaos::reopen(Transport transport, DeviceDriver *driver)
{
    std::lock_guard<std::mutex> lock(m_reopenMutex);
    if (driver->isOpen())
        return true;
    ++m_reopens;
    // A pty hung up is gone: the simulator serves a new one, with the same modules.
    if (transport == Pty && !QFile::exists(m_sim.ptyName())) {
        m_sim.stop();
        if (!m_sim.start(SimulatorThread::Pty))
            return false;
        driver->setPortName(m_sim.serialPortName(115200));
    }
    return driver->open();
}

void tst_Chaos::noWrongDataUnderAnyFault()
{
    QFETCH_GLOBAL(Transport, transport);
    QFETCH(QStringList, paths);
    QFETCH(quint32, seed);
    seed += transport == Pty ? 2 : 0;
    if (qEnvironmentVariableIsSet("QV_CHAOS_SEED"))
        seed = quint32(qEnvironmentVariableIntValue("QV_CHAOS_SEED"));
    const int operations = qEnvironmentVariableIsSet("QV_CHAOS_OPERATIONS")
        ? qEnvironmentVariableIntValue("QV_CHAOS_OPERATIONS") : 150;
    qInfo("chaos seed %u (QV_CHAOS_SEED repeats it)", seed);

    m_sim.stop();
    m_sim.link().setChaos(seed, 0.15, ReadTimeout);
    QVERIFY(m_sim.start(transport == Tcp ? SimulatorThread::Tcp : SimulatorThread::Pty));
    std::unique_ptr<DeviceDriver> driver = openLinkDriver(transport, m_sim, { ReadTimeout, IntervalTimeout, WriteTimeout });
    QVERIFY(driver->isOpen());
    ModbusClient client;
    client.setDriver(driver.get());

    // Every attempt, timed in the thread that makes it, inside the exchange.
    static thread_local QElapsedTimer attempt;
    static thread_local qint64 slowestAttempt = 0;
    connect(&client, &ModbusClient::messageWritten, this, [] { attempt.start(); }, Qt::DirectConnection);
    connect(&client, &ModbusClient::messageRead, this,
            [] { slowestAttempt = qMax(slowestAttempt, attempt.isValid() ? attempt.elapsed() : 0); },
            Qt::DirectConnection);
    std::atomic<int> discarded{ 0 };
    connect(&client, &ModbusClient::frameDiscarded, this, [&] { ++discarded; }, Qt::DirectConnection);

    QVector<Area> areas(Threads);
    QRandomGenerator random(seed);
    for (int i = 0; i < Threads; ++i) {
        Area &area = areas[i];
        area.path = paths.at(i % paths.size());
        area.module = m_sim.link().module(area.path);
        area.firstWord = 200 * i;
        area.firstBit = AreaBits * i;
        for (int w = 0; w < AreaWords; ++w) {
            const quint16 value = quint16(random.generate());
            area.module->setHoldingRegister(area.firstWord + w, value);
            area.words.append(QVector<quint16>{ value });
        }
        for (int b = 0; b < AreaBits; ++b) {
            const bool value = random.generate() & 1;
            area.module->setCoil(area.firstBit + b, value);
            area.bits.append(value ? 2 : 1);
        }
    }

    m_reopens = 0;
    QVector<QString> failures(Threads);
    QVector<qint64> slowest(Threads);
    std::vector<std::thread> workers;
    for (int i = 0; i < Threads; ++i) {
        workers.emplace_back([&, i] {
            AbstractDeviceModule module(areas[i].path, &client);
            slowestAttempt = 0;
            QString failure;
            for (int op = 0; op < operations && failure.isEmpty(); ++op) {
                failure = runThread(i, areas[i], module, seed * 31 + quint32(i * 1000 + op), op);
                if (failure.isEmpty() && !driver->isOpen() && !reopen(transport, driver.get()))
                    failure = QStringLiteral("cannot reopen: %1").arg(driver->errorString());
            }
            failures[i] = failure;
            slowest[i] = slowestAttempt;
        });
    }
    for (std::thread &worker : workers)
        worker.join();

    const int transferMs = transport == Pty ? 256 * 11 * 1000 / 115200 + 1 : 0;
    for (int i = 0; i < Threads; ++i) {
        QVERIFY2(failures.at(i).isEmpty(), qPrintable(QStringLiteral("thread %1: %2").arg(i).arg(failures.at(i))));
        QVERIFY2(slowest.at(i) <= attemptBound(areas.at(i), transferMs),
                 qPrintable(QStringLiteral("thread %1: an attempt took %2 ms").arg(i).arg(slowest.at(i))));
    }
    const SimulatedChaos *chaos = m_sim.link().chaos();
    QString drawn;
    quint64 faults = 0;
    for (int kind = SimulatedChaos::Delay; kind < SimulatedChaos::KindCount; ++kind) {
        const quint64 count = chaos->count(SimulatedChaos::Kind(kind));
        faults += count;
        drawn += QStringLiteral(" %1 %2").arg(QLatin1String(SimulatedChaos::name(SimulatedChaos::Kind(kind)))).arg(count);
    }
    qInfo("%d operations, %llu faults:%s; %d frames not taken, %d reopens, slowest attempt %lld ms",
          Threads * operations, faults, qPrintable(drawn), discarded.load(), m_reopens.load(),
          *std::max_element(slowest.begin(), slowest.end()));
    QVERIFY(faults > 0);
    m_sim.link().setChaos(0, 0);
}

// One operation of thread index on its area; an empty text, or what went wrong.
QString tst_Chaos::runThread(int index, Area &area, AbstractDeviceModule &module, quint32 seed, int op)
{
    QRandomGenerator random(seed);
    const int kind = int(random.bounded(5));
    const bool words = kind <= 2;
    const int span = words ? AreaWords : AreaBits;
    const int count = int(random.bounded(1, words ? 120 : 300));
    const int offset = int(random.bounded(span - count + 1));
    ModuleStatus status;
    QByteArray buffer(words ? 2 * count : (count + 7) / 8, '\0');
    int done = 0;
    const auto where = [&](const char *what) {
        return QStringLiteral("op %1, %2 of %3 at %4 on %5 (status %6)")
            .arg(op).arg(QLatin1String(what)).arg(count).arg(offset).arg(area.path)
            .arg(status.data(), 8, 16, QLatin1Char('0'));
    };
    switch (kind) {
    case 0: { // its own holding registers
        done = module.readWord(quint16(area.firstWord + offset), quint16(count), buffer.data(), &status);
        for (int i = 0; i < done; ++i) {
            const quint16 value = quint16(quint8(buffer.at(2 * i)) << 8 | quint8(buffer.at(2 * i + 1)));
            QVector<quint16> &possible = area.words[offset + i];
            if (!possible.contains(value))
                return where("readWord") + QStringLiteral(": register %1 read %2, another request's").arg(offset + i).arg(value);
            possible = { value };
        }
        break;
    }
    case 1: { // written over: a failed chunk may or may not have landed
        QVector<quint16> values(count);
        for (int i = 0; i < count; ++i) {
            values[i] = quint16(random.generate());
            buffer.replace(2 * i, 2, wordBytes(values[i]));
        }
        done = module.writeWord(quint16(area.firstWord + offset), quint16(count), buffer.constData(), &status);
        for (int i = 0; i < count; ++i) {
            QVector<quint16> &possible = area.words[offset + i];
            if (i < done)
                possible = { values[i] };
            else if (!possible.contains(values[i]))
                possible.append(values[i]);
        }
        break;
    }
    case 2: { // input registers, which every thread reads: each names its module and address
        const int address = 200 * index + offset;
        done = module.readRoWord(quint16(address), quint16(count), buffer.data(), &status);
        for (int i = 0; i < done; ++i) {
            if (buffer.mid(2 * i, 2) != wordBytes(inputPattern(area.module->address(), address + i)))
                return where("readRoWord") + QStringLiteral(": input %1 is another request's").arg(address + i);
        }
        break;
    }
    case 3: { // its own coils
        done = module.readBit(quint16(area.firstBit + offset), quint16(count), buffer.data(), &status);
        for (int i = 0; i < done; ++i) {
            const bool value = (quint8(buffer.at(i / 8)) >> (i % 8)) & 1;
            quint8 &possible = area.bits[offset + i];
            if (!(possible & (value ? 2 : 1)))
                return where("readBit") + QStringLiteral(": coil %1 is another request's").arg(offset + i);
            possible = value ? 2 : 1;
        }
        break;
    }
    default: {
        for (char &c : buffer)
            c = char(random.generate());
        done = module.writeBit(quint16(area.firstBit + offset), quint16(count), buffer.constData(), &status);
        for (int i = 0; i < count; ++i) {
            const quint8 value = (quint8(buffer.at(i / 8)) >> (i % 8)) & 1 ? 2 : 1;
            area.bits[offset + i] = i < done ? value : quint8(area.bits[offset + i] | value);
        }
        break;
    }
    }
    if (done < 0 || done > count || (status.data() == 0) != (done == count))
        return where("operation") + QStringLiteral(": %1 of %2 items with this status").arg(done).arg(count);
    return QString();
}

QTEST_GUILESS_MAIN(tst_Chaos)

#include "tst_chaos.moc"
