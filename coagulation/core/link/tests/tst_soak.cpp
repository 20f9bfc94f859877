// Random module operations through 0, 1 and 2 gateway hops against the
// simulated analyser, with faults injected into its replies: dropped,
// corrupted, shortened, split, preceded by stale bytes, naming another module,
// delayed past the client's time-out (taken as they come, they would answer a
// later request: nothing waits them out here), cut off by a hang-up, and
// targets that stop answering behind their gateway. Every read that reports
// success must have returned exactly the simulator's data, never another
// request's; every failure must carry the status its fault calls for, and no
// operation may run past its bound.
//
// Runs for QV_SOAK_SECONDS (3 s when unset); QV_SOAK_SEED repeats a run.
#include <QtCore/QElapsedTimer>
#include <QtCore/QRandomGenerator>
#include <QtTest/QtTest>

#include <abstractdevicemodule.h>
#include <modbusclient.h>
#include <modulestatus.h>
#include <socketdriver.h>

#include <simulatedgateway.h>
#include <simulatedmodule.h>
#include <simulatorthread.h>

using Modbus::AbstractDeviceModule;
using Modbus::ModuleStatus;

namespace {

// What an injected fault allows an operation to end with.
enum class Expect {
    Success,        // one bad reply: the client's retries carry the exchange through
    Timeout,        // the module stays silent for every attempt
    Invalid,        // every attempt gets a corrupt reply
    GatewayNoReply, // the target is silent behind its gateway
    HangUp          // the line closes during the first reply
};

struct Target
{
    QString path;
    SimulatedModule *module;
    quint8 gateway;  // address of the last gateway on the path (0 for none)
    int hops;
};

constexpr int ReadTimeout = 40;

// Largest chunk of one request, as the module operations cut runs.
int wordLimit(int hops) { return 50 - (3 * hops + 1) / 2; }
int bitLimit(int hops) { return 800 - 24 * hops; }

QByteArray wordsToBytes(const QVector<quint16> &words)
{
    QByteArray bytes;
    for (quint16 w : words) {
        bytes.append(char(w >> 8));
        bytes.append(char(w & 0xFF));
    }
    return bytes;
}

struct Figures
{
    int operations = 0;
    int successes = 0;
    int failures = 0;
    int faults = 0;
    qint64 slowestMs = 0;
};

int expectedWarnings = 0;
QtMessageHandler previousHandler = nullptr;

// The retries of the faults are logged as warnings; they are expected here.
void countRetryWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg
        && (message.contains(QLatin1String("Reply doesn't match request"))
            || message.startsWith(QLatin1String("Could not write")))) {
        ++expectedWarnings;
        return;
    }
    previousHandler(type, context, message);
}

} // namespace

class tst_Soak : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void randomOperationsUnderFaults();

private:
    bool injectFault(const Target &t, int kind, Expect *expect);
    bool runOne(const Target &t);

    QRandomGenerator m_random;
    SimulatorThread m_sim;
    QScopedPointer<SocketDriver> m_driver;
    ModbusClient m_client;
    QList<Target> m_targets;
    Figures m_figures;
    QString m_failure;
};

void tst_Soak::initTestCase()
{
    const QByteArray seed = qgetenv("QV_SOAK_SEED");
    const quint32 s = seed.isEmpty() ? QRandomGenerator::global()->generate() : seed.toUInt();
    qInfo("soak seed %u (set QV_SOAK_SEED to repeat)", s);
    // After QtTest's own handler is in place, which gets everything else.
    previousHandler = qInstallMessageHandler(countRetryWarnings);
    m_random.seed(s);

    SimulatedLink &link = m_sim.link();
    SimulatedModule *m2 = link.addModule(2);
    SimulatedGateway *g1 = link.addGateway(1);
    SimulatedModule *m6 = g1->addModule(6);
    SimulatedGateway *g5 = g1->addGateway(5);
    SimulatedModule *m3 = g5->addModule(3);
    m_targets = {{QStringLiteral("2"), m2, 0, 0},
                 {QStringLiteral("1/6"), m6, 1, 1},
                 {QStringLiteral("1/5/3"), m3, 5, 2}};
    // Distinct data everywhere, so that a reply of the wrong request shows.
    for (const Target &t : qAsConst(m_targets)) {
        QVector<quint16> words(1024);
        for (quint16 &w : words)
            w = quint16(m_random.generate());
        t.module->setHoldingRegisters(0, words);
        for (quint16 &w : words)
            w = quint16(m_random.generate());
        t.module->setInputRegisters(0, words);
        for (int i = 0; i < 2048; ++i) {
            t.module->setCoil(i, m_random.generate() & 1);
            t.module->setDiscreteInput(i, m_random.generate() & 1);
        }
        QVector<quint16> records(300);
        for (quint16 &r : records)
            r = quint16(m_random.generate());
        t.module->setFile(7, records);
    }
    link.setRequestLogLimit(0);
    QVERIFY2(m_sim.start(SimulatorThread::Tcp), qPrintable(m_sim.errorString()));

    m_driver.reset(new SocketDriver);
    m_driver->setPortName(m_sim.url());
    // Short waits keep the operations many: a silent module costs five first waits.
    m_driver->setReadTimeouts(ReadTimeout);
    m_driver->setReadIntervalTimeouts(25);
    QVERIFY(m_driver->open());
    m_client.setDriver(m_driver.data());
}

// Queues one fault for the next operation; returns whether one was queued.
bool tst_Soak::injectFault(const Target &t, int kind, Expect *expect)
{
    SimulatedFaultPlan &plan = m_sim.link().faults();
    *expect = Expect::Success;
    switch (m_random.bounded(16)) {
    case 0: plan.dropReplies(1); break;
    case 1: plan.corruptCrc(1); break;
    case 2: plan.shortenReplies(1, int(m_random.bounded(1, 6))); break;
    case 3: plan.splitReplies(1, int(m_random.bounded(2, 5)), int(m_random.bounded(1, 20))); break;
    case 4: {
        // After the client gave up on it, well before it stops waiting for it (twice
        // the first wait, which a route doubles).
        const int firstWait = t.hops > 0 ? 2 * ReadTimeout : ReadTimeout;
        plan.delayReplies(1, int(m_random.bounded(firstWait + 5, firstWait * 3 / 2)));
        break;
    }
    case 5: {
        QByteArray junk(int(m_random.bounded(1, 12)), Qt::Uninitialized);
        for (char &c : junk)
            c = char(m_random.generate());
        plan.sendStaleBytes(1, junk);
        break;
    }
    case 6:
        // Not for files: past a file's end the extra records would be made up.
        if (kind == 6)
            return false;
        plan.extendReplies(1, int(m_random.bounded(1, 3)));
        break;
    case 7:
        // Silent on every attempt of the first exchange.
        plan.dropReplies(5);
        *expect = Expect::Timeout;
        break;
    case 8:
        plan.corruptCrc(5);
        *expect = Expect::Invalid;
        break;
    case 9:
        if (t.hops == 0)
            return false;
        t.module->setResponding(false);
        *expect = Expect::GatewayNoReply;
        break;
    case 10:
        // Fewer bytes than any reply has.
        plan.hangUp(1, int(m_random.bounded(0, 4)));
        *expect = Expect::HangUp;
        break;
    case 11:
        plan.misrouteReplies(1);
        break;
    default:
        return false;  // a clean operation
    }
    return true;
}

#define SOAK_CHECK(cond, ...)                                                  \
    do {                                                                       \
        if (!(cond)) {                                                         \
            m_failure = QString::asprintf(__VA_ARGS__);                        \
            return false;                                                      \
        }                                                                      \
    } while (0)

bool tst_Soak::runOne(const Target &t)
{
    AbstractDeviceModule module(t.path, &m_client);
    const int kind = int(m_random.bounded(8));
    Expect expect;
    if (injectFault(t, kind, &expect))
        ++m_figures.faults;
    const bool words = kind <= 1 || kind >= 4;
    const int limit = kind == 6 || kind == 7 ? wordLimit(t.hops)
                      : words                ? wordLimit(t.hops)
                                             : bitLimit(t.hops);
    const int count = int(m_random.bounded(1, words ? 130 : 1800));
    const int start = int(m_random.bounded(0, words ? 1024 - count : 2048 - count));
    const int chunks = (count + limit - 1) / limit;
    ModuleStatus status;
    QByteArray buffer(words ? 2 * count : (count + 7) / 8, '\0');
    QByteArray sent;
    QElapsedTimer timer;
    timer.start();
    int done = 0;
    const char *what = "";
    switch (kind) {
    case 0:
        what = "readWord";
        done = module.readWord(quint16(start), quint16(count), buffer.data(), &status);
        break;
    case 1:
        what = "readRoWord";
        done = module.readRoWord(quint16(start), quint16(count), buffer.data(), &status);
        break;
    case 2:
        what = "readBit";
        done = module.readBit(quint16(start), quint16(count), buffer.data(), &status);
        break;
    case 3:
        what = "readRoBit";
        done = module.readRoBit(quint16(start), quint16(count), buffer.data(), &status);
        break;
    case 4:
    case 5:
        what = "writeWord";
        for (char &c : buffer)
            c = char(m_random.generate());
        sent = buffer;
        done = module.writeWord(quint16(start), quint16(count), buffer.constData(), &status);
        break;
    case 6:
        what = "readFile";
        done = module.readFile(7, quint16(start % 300), quint16(count), buffer.data(), &status);
        break;
    default:
        what = "writeFile";
        for (char &c : buffer)
            c = char(m_random.generate());
        sent = buffer;
        done = module.writeFile(8, quint16(start), quint16(count), buffer.constData(), &status);
        break;
    }
    const qint64 elapsed = timer.elapsed();
    t.module->setResponding(true);
    m_sim.link().faults().clear();
    // The application opens a line that hung up again.
    if (expect == Expect::HangUp)
        SOAK_CHECK(m_driver->open(), "reopening after a hang-up: %s", qPrintable(m_driver->errorString()));
    m_figures.slowestMs = qMax(m_figures.slowestMs, elapsed);
    ++m_figures.operations;

    // Each exchange costs at most five attempts of a write wait, a doubled first
    // wait, a few interval waits and a wait for a reply still owed (the first wait
    // again, or as late as replies have come); a read chunk with a wrong length is
    // asked for again a bounded number of times.
    const qint64 bound = qint64(chunks + 4) * 5 * (100 + 80 + 4 * 25 + 80 + 2 * 80) + 1000;
    SOAK_CHECK(elapsed <= bound, "%s %s of %d took %lld ms (bound %lld)", what, qPrintable(t.path), count,
               elapsed, bound);
    SOAK_CHECK(done >= 0 && done <= count, "%s returned %d of %d", what, done, count);
    // A file may end inside a chunk; other runs stop only between chunks.
    SOAK_CHECK(done == count || done % limit == 0 || kind == 6, "%s stopped inside a chunk: %d (limit %d)", what, done, limit);

    const bool ok = status.data() == 0;
    if (ok) {
        ++m_figures.successes;
        SOAK_CHECK(expect == Expect::Success, "%s %s succeeded although its fault should fail it", what,
                   qPrintable(t.path));
    } else {
        ++m_figures.failures;
        SOAK_CHECK(done < count || kind == 6, "%s reported %08x with every item transferred", what, status.data());
        switch (expect) {
        case Expect::Success:
            SOAK_CHECK(false, "%s %s of %d at %d failed with %08x after one bad reply", what, qPrintable(t.path),
                       count, start, status.data());
            break;
        case Expect::Timeout:
            SOAK_CHECK(status.data() == int(ModuleStatus::TimeoutError), "%s: silence gave %08x", what, status.data());
            break;
        case Expect::Invalid:
            SOAK_CHECK(status.data() == int(ModuleStatus::InvalidReplyError), "%s: corruption gave %08x", what,
                       status.data());
            break;
        case Expect::GatewayNoReply:
            SOAK_CHECK(status.isException() && status.exceptionAddress() == t.gateway
                           && status.exceptionCode() == 0x0B,
                       "%s: silent target behind %d gave %08x", what, t.gateway, status.data());
            break;
        case Expect::HangUp:
            SOAK_CHECK(status.data() == int(ModuleStatus::NotOpenError), "%s: a hang-up gave %08x", what,
                       status.data());
            break;
        }
    }

    // What was transferred must be the simulator's data, item for item.
    switch (kind) {
    case 0:
    case 1: {
        const QVector<quint16> truth = kind == 0 ? t.module->holdingRegisters(start, done)
                                                 : t.module->inputRegisters(start, done);
        SOAK_CHECK(buffer.left(2 * done) == wordsToBytes(truth), "%s %s at %d: %d registers differ from the module",
                   what, qPrintable(t.path), start, done);
        break;
    }
    case 2:
    case 3:
        for (int i = 0; i < done; ++i) {
            const bool bit = (quint8(buffer.at(i / 8)) >> (i % 8)) & 1;
            const bool truth = kind == 2 ? t.module->coil(start + i) : t.module->discreteInput(start + i);
            SOAK_CHECK(bit == truth, "%s %s: bit %d of %d differs from the module", what, qPrintable(t.path),
                       start + i, done);
        }
        break;
    case 4:
    case 5:
        SOAK_CHECK(wordsToBytes(t.module->holdingRegisters(start, done)) == sent.left(2 * done),
                   "%s %s at %d: %d registers written differ", what, qPrintable(t.path), start, done);
        break;
    case 6: {
        const QVector<quint16> file = t.module->file(7);
        const int first = start % 300;
        const QVector<quint16> truth = file.mid(first, done);
        SOAK_CHECK(buffer.left(2 * done) == wordsToBytes(truth), "readFile %s at %d: %d records differ",
                   qPrintable(t.path), first, done);
        if (ok)
            SOAK_CHECK(done == qMin(count, file.size() - first), "readFile %s gave %d of %d records", qPrintable(t.path),
                       done, count);
        break;
    }
    default: {
        const QVector<quint16> file = t.module->file(8);
        SOAK_CHECK(wordsToBytes(file.mid(start, done)) == sent.left(2 * done), "writeFile %s: records differ",
                   qPrintable(t.path));
        break;
    }
    }
    return true;
}

void tst_Soak::randomOperationsUnderFaults()
{
    const int seconds = qEnvironmentVariableIsSet("QV_SOAK_SECONDS") ? qEnvironmentVariableIntValue("QV_SOAK_SECONDS") : 3;
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < qint64(seconds) * 1000) {
        const Target &t = m_targets.at(int(m_random.bounded(m_targets.size())));
        QVERIFY2(runOne(t), qPrintable(m_failure));
    }
    qInfo("soak: %d operations in %lld ms, %d with a fault, %d succeeded, %d failed as their fault called for, "
          "slowest %lld ms, %d retry warnings",
          m_figures.operations, run.elapsed(), m_figures.faults, m_figures.successes, m_figures.failures,
          m_figures.slowestMs, expectedWarnings);
    QVERIFY(m_figures.operations > 0);
}

int main(int argc, char **argv)
{
    // QtTest stops a test function after five minutes; a long soak needs longer.
    const int seconds = qEnvironmentVariableIntValue("QV_SOAK_SECONDS");
    if (seconds > 200 && !qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number((seconds + 300) * 1000));
    QCoreApplication app(argc, argv);
    tst_Soak test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_soak.moc"
