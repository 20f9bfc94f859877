// The asynchronous module operations: each twin sends what its blocking operation sends
// and gives what it gives; replies finish in the thread that asked; closing, destroying,
// cancelling and deadlines end pending replies; a blocking call takes its turn on a line
// that another thread keeps busy.
#include <abstractdevicemodule.h>
#include <devicedriver.h>
#include <modbusclient.h>
#include <modulereply.h>
#include <modulestatus.h>
#include <linkrig.h>

#include <simulatedgateway.h>
#include <simulatedmodule.h>
#include <simulatorthread.h>

#include <QtCore/QThread>
#include <QtTest/QtTest>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

using Modbus::AbstractDeviceModule;
using Modbus::ModuleReply;
using Modbus::ModuleStatus;

namespace {

struct Outcome
{
    ModuleStatus status;
    QByteArray data;
    int count = 0;
};

// One operation both ways: the blocking call's outcome, and the twin's reply.
struct Twin
{
    std::function<Outcome(const AbstractDeviceModule &)> blocking;
    std::function<ModuleReply *(const AbstractDeviceModule &)> async;
};

QByteArray word(quint16 value)
{
    return QByteArray(1, char(value >> 8)) + char(value & 0xFF);
}

QMap<QString, Twin> twins()
{
    const QByteArray words = QByteArray::fromHex("1234 5678 9abc");
    const QByteArray bits = QByteArray::fromHex("a5 01");
    const QByteArray payload = QByteArray::fromHex("01 02 03");
    QMap<QString, Twin> t;
    t[QStringLiteral("readBit")] = { [](const AbstractDeviceModule &m) {
                                        Outcome o;
                                        o.data.resize(2);
                                        o.count = m.readBit(3, 12, o.data.data(), &o.status);
                                        o.data.resize((o.count + 7) / 8);
                                        return o;
                                    },
                                     [](const AbstractDeviceModule &m) { return m.readBitAsync(3, 12); } };
    t[QStringLiteral("readRoBit")] = { [](const AbstractDeviceModule &m) {
                                          Outcome o;
                                          o.data.resize(1);
                                          o.count = m.readRoBit(0, 5, o.data.data(), &o.status);
                                          o.data.resize((o.count + 7) / 8);
                                          return o;
                                      },
                                       [](const AbstractDeviceModule &m) { return m.readRoBitAsync(0, 5); } };
    t[QStringLiteral("readWord, three chunks")] = { [](const AbstractDeviceModule &m) {
                                                       Outcome o;
                                                       o.data.resize(240);
                                                       o.count = m.readWord(0x10, 120, o.data.data(), &o.status);
                                                       o.data.resize(2 * o.count);
                                                       return o;
                                                   },
                                                    [](const AbstractDeviceModule &m) { return m.readWordAsync(0x10, 120); } };
    t[QStringLiteral("readRoWord")] = { [](const AbstractDeviceModule &m) {
                                           Outcome o;
                                           o.data.resize(4);
                                           o.count = m.readRoWord(7, 2, o.data.data(), &o.status);
                                           o.data.resize(2 * o.count);
                                           return o;
                                       },
                                        [](const AbstractDeviceModule &m) { return m.readRoWordAsync(7, 2); } };
    t[QStringLiteral("writeBit")] = { [bits](const AbstractDeviceModule &m) {
                                         Outcome o;
                                         o.count = m.writeBit(40, 9, bits.constData(), &o.status);
                                         return o;
                                     },
                                      [bits](const AbstractDeviceModule &m) { return m.writeBitAsync(40, 9, bits); } };
    t[QStringLiteral("writeWord")] = { [words](const AbstractDeviceModule &m) {
                                          Outcome o;
                                          o.count = m.writeWord(0x30, 3, words.constData(), &o.status);
                                          return o;
                                      },
                                       [words](const AbstractDeviceModule &m) { return m.writeWordAsync(0x30, words); } };
    t[QStringLiteral("readFile")] = { [](const AbstractDeviceModule &m) {
                                         Outcome o;
                                         o.data.resize(8);
                                         o.count = m.readFile(4, 1, 4, o.data.data(), &o.status);
                                         o.data.resize(2 * o.count);
                                         return o;
                                     },
                                      [](const AbstractDeviceModule &m) { return m.readFileAsync(4, 1, 4); } };
    t[QStringLiteral("writeFile")] = { [words](const AbstractDeviceModule &m) {
                                          Outcome o;
                                          o.count = m.writeFile(5, 0, 3, words.constData(), &o.status);
                                          return o;
                                      },
                                       [words](const AbstractDeviceModule &m) { return m.writeFileAsync(5, 0, words); } };
    t[QStringLiteral("readTrunk")] = { [](const AbstractDeviceModule &m) {
                                          Outcome o;
                                          o.data = m.readTrunk(6, &o.status);
                                          o.count = o.data.size();
                                          return o;
                                      },
                                       [](const AbstractDeviceModule &m) { return m.readTrunkAsync(6); } };
    t[QStringLiteral("readObject")] = { [](const AbstractDeviceModule &m) {
                                           Outcome o;
                                           o.status = m.readObject(1, o.data);
                                           o.count = o.data.size();
                                           return o;
                                       },
                                        [](const AbstractDeviceModule &m) { return m.readObjectAsync(1); } };
    t[QStringLiteral("readEventCount")] = { [](const AbstractDeviceModule &m) {
                                               Outcome o;
                                               quint16 status = 0, events = 0;
                                               o.status = m.readEventCount(&status, &events);
                                               if (o.status)
                                                   o.data = word(status) + word(events);
                                               o.count = o.status ? 1 : 0;
                                               return o;
                                           },
                                            [](const AbstractDeviceModule &m) { return m.readEventCountAsync(); } };
    t[QStringLiteral("wait")] = { [](const AbstractDeviceModule &m) {
                                     Outcome o;
                                     quint16 status = 0;
                                     o.status = m.wait(&status);
                                     o.data = word(status);
                                     o.count = o.status ? 1 : 0;
                                     return o;
                                 },
                                  [](const AbstractDeviceModule &m) { return m.waitAsync(); } };
    t[QStringLiteral("restart")] = { [](const AbstractDeviceModule &m) {
                                        Outcome o;
                                        o.status = m.restart(true);
                                        o.count = o.status ? 1 : 0;
                                        return o;
                                    },
                                     [](const AbstractDeviceModule &m) { return m.restartAsync(true); } };
    t[QStringLiteral("enterBootloaderMode")] = { [](const AbstractDeviceModule &m) {
                                                    Outcome o;
                                                    o.status = m.enterBootloaderMode();
                                                    o.count = o.status ? 1 : 0;
                                                    return o;
                                                },
                                                 [](const AbstractDeviceModule &m) { return m.enterBootloaderModeAsync(); } };
    t[QStringLiteral("transmit")] = { [payload](const AbstractDeviceModule &m) {
                                         Outcome o;
                                         o.data = m.transmit(payload.constData(), payload.size(), &o.status);
                                         o.count = o.data.size();
                                         return o;
                                     },
                                      [payload](const AbstractDeviceModule &m) { return m.transmitAsync(payload); } };
    return t;
}

// Waits in this thread's event loop for the reply; false when it did not finish.
bool finishes(ModuleReply *reply, int msecs = 5000)
{
    if (reply->isFinished())
        return true;
    QSignalSpy spy(reply, &ModuleReply::finished);
    return spy.wait(msecs);
}

} // namespace

class tst_ModuleReply : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void asyncTwinSendsAndGivesWhatTheBlockingCallDoes_data();
    void asyncTwinSendsAndGivesWhatTheBlockingCallDoes();
    void pendingRepliesEnd_data();
    void pendingRepliesEnd();
    void blockingCallTakesItsTurn_data();
    void blockingCallTakesItsTurn();

private:
    std::unique_ptr<DeviceDriver> openDriver();
    SimulatorThread m_sim;
};

void tst_ModuleReply::initTestCase()
{
    SimulatedGateway *g1 = m_sim.link().addGateway(1);
    g1->addModule(5);
    m_sim.link().addModule(2);
    m_sim.link().addModule(3)->setResponding(false);
    for (const char *path : { "2", "1/5" }) {
        SimulatedModule *module = m_sim.link().module(QLatin1String(path));
        for (int i = 0; i < 200; ++i)
            module->setHoldingRegister(i, quint16(module->address() * 1000 + i));
        module->setFile(4, { 0x0401, 0x0402, 0x0403, 0x0404, 0x0405 });
        module->storeTrunk(6, QByteArray("trunk of six"));
    }
    QVERIFY2(m_sim.start(SimulatorThread::Tcp), qPrintable(m_sim.errorString()));
}

std::unique_ptr<DeviceDriver> tst_ModuleReply::openDriver()
{
    return openLinkDriver(Tcp, m_sim, { 40, 20, 100 });
}

void tst_ModuleReply::asyncTwinSendsAndGivesWhatTheBlockingCallDoes_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("path");
    const QStringList operations = twins().keys();
    for (const QString &operation : operations) {
        QTest::newRow(qPrintable(operation + QStringLiteral(", 1/5"))) << operation << "1/5";
        if (operation.startsWith(QLatin1String("read")))
            QTest::newRow(qPrintable(operation + QStringLiteral(", silent module"))) << operation << "3";
    }
}

void tst_ModuleReply::asyncTwinSendsAndGivesWhatTheBlockingCallDoes()
{
    QFETCH(QString, operation);
    QFETCH(QString, path);
    std::unique_ptr<DeviceDriver> driver = openDriver();
    ModbusClient client;
    client.setDriver(driver.get());
    const AbstractDeviceModule module(path, &client);
    const Twin twin = twins().value(operation);
    QThread *asked = nullptr;

    m_sim.link().clearRequests();
    const Outcome blocking = twin.blocking(module);
    const QList<QByteArray> blockingFrames = m_sim.link().requests();

    m_sim.link().clearRequests();
    QThread *finishedIn = nullptr;
    std::unique_ptr<ModuleReply> reply(twin.async(module));
    asked = QThread::currentThread();
    connect(reply.get(), &ModuleReply::finished, this, [&] { finishedIn = QThread::currentThread(); });
    QVERIFY(finishes(reply.get()));
    QVERIFY(reply->isFinished());
    QCOMPARE(finishedIn, asked);
    QCOMPARE(m_sim.link().requests(), blockingFrames);
    QCOMPARE(reply->status().data(), blocking.status.data());
    QCOMPARE(reply->data(), blocking.data);
    QCOMPARE(reply->count(), blocking.count);
}

void tst_ModuleReply::pendingRepliesEnd_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("status");
    QTest::newRow("driver closed") << "close" << int(ModuleStatus::NotOpenError);
    QTest::newRow("driver destroyed") << "destroy" << int(ModuleStatus::NotOpenError);
    QTest::newRow("replies cancelled") << "cancel" << int(ModuleStatus::CanceledError);
    QTest::newRow("deadline passed") << "deadline" << int(ModuleStatus::TimeoutError);
    // Reads of the silent module wait before their write for replies it still owes.
    QTest::newRow("cancelled while waiting for owed replies") << "cancel settling" << int(ModuleStatus::CanceledError);
    QTest::newRow("deadline while waiting for owed replies") << "deadline settling" << int(ModuleStatus::TimeoutError);
    // This thread keeps the line: the first read waits for its turn.
    QTest::newRow("cancelled while waiting for the line") << "cancel turn" << int(ModuleStatus::CanceledError);
    QTest::newRow("deadline while waiting for the line") << "deadline turn" << int(ModuleStatus::TimeoutError);
}

// Three reads queued behind one on a silent module, which waits a minute for each of its
// attempts: whatever ends them ends all four at once, and the line is free again.
void tst_ModuleReply::pendingRepliesEnd()
{
    QFETCH(QString, how);
    QFETCH(int, status);
    std::unique_ptr<DeviceDriver> driver = openDriver();
    // Closing and destroying interrupt a wait however long; cancel and deadline end the
    // request before its next attempt.
    const bool interrupts = how == QLatin1String("close") || how == QLatin1String("destroy");
    const bool settling = how.endsWith(QLatin1String(" settling"));
    driver->setReadTimeouts(interrupts ? 60000 : 100);
    driver->setLateReplyTimeouts(600000); // waiting for owed replies lasts ten minutes
    ModbusClient client;
    client.setDriver(driver.get());
    if (settling)
        client.setAttempts(1);
    std::atomic<int> written{ 0 };
    connect(&client, &ModbusClient::messageWritten, this, [&] { ++written; }, Qt::DirectConnection);
    const AbstractDeviceModule silent(QStringLiteral("3"), &client);
    std::optional<ModbusClient::TransportLock> keep;
    if (how.endsWith(QLatin1String(" turn")))
        keep.emplace(&client);
    std::vector<std::unique_ptr<ModuleReply>> replies;
    replies.emplace_back(silent.readWordAsync(0, 2));
    if (settling) {
        QVERIFY(finishes(replies.front().get()));
        replies.clear();
        for (int i = 1; i <= 3; ++i)
            replies.emplace_back(silent.readWordAsync(quint16(2 * i), 2));
    } else {
        for (int i = 0; i < 3; ++i)
            replies.emplace_back(AbstractDeviceModule(QStringLiteral("2"), &client).readWordAsync(0, 2));
    }
    if (keep)
        QTest::qWait(100); // the first waits for the line by now
    else
        QTRY_COMPARE(written.load(), 1); // the first is on the line, or was

    if (how == QLatin1String("close")) {
        driver->close();
    } else if (how == QLatin1String("destroy")) {
        driver.reset();
    } else {
        for (const std::unique_ptr<ModuleReply> &reply : replies) {
            if (how.startsWith(QLatin1String("cancel")))
                reply->cancel();
            else
                reply->setDeadline(50);
        }
    }
    for (const std::unique_ptr<ModuleReply> &reply : replies) {
        QVERIFY(finishes(reply.get()));
        QCOMPARE(reply->status().data(), status);
    }
    QCOMPARE(written.load() <= (keep ? 0 : settling ? 1 : 2), true);
    keep.reset();
    if (driver && driver->isOpen()) {
        // Deleting a reply before it finished drops its request; the line goes on.
        delete AbstractDeviceModule(QStringLiteral("2"), &client).readWordAsync(0, 2);
        std::unique_ptr<ModuleReply> next(AbstractDeviceModule(QStringLiteral("2"), &client).readWordAsync(0, 2));
        QVERIFY(finishes(next.get()));
        QVERIFY(next->status());
        QCOMPARE(next->data(), word(2000) + word(2001));
    }
}

void tst_ModuleReply::blockingCallTakesItsTurn_data()
{
    QTest::addColumn<QString>("poll");
    // A worker polls a silent module back to back: a write of this thread waits for at most
    // the exchange in progress, not for the worker's next ones.
    QTest::newRow("a poller on a silent module") << "event counter";
    // A worker's read waits out replies owed by its silent module before it is written: a
    // write to another module goes meanwhile.
    QTest::newRow("a read waiting for owed replies") << "other registers";
    // This thread's read of the silent module could take a reply the worker's polls are
    // owed: it waits for them, and the worker's polls, retries of one request, wait
    // behind it instead of keeping it waiting for as long as they go on.
    QTest::newRow("a read that the poller's replies could answer") << "one register";
    // This thread keeps the line for a run while the worker's read waits for owed
    // replies: its own read of the module cannot wait for the worker's, which cannot go
    // before the run ends, and waits out the owed replies instead.
    QTest::newRow("a run keeping the line from a waiting read") << "other registers, line kept";
}

void tst_ModuleReply::blockingCallTakesItsTurn()
{
    QFETCH(QString, poll);
    const bool kept = poll.endsWith(QLatin1String("line kept"));
    const bool settling = poll.startsWith(QLatin1String("other registers"));
    const bool sameKind = poll == QLatin1String("one register");
    std::unique_ptr<DeviceDriver> driver = openDriver();
    driver->setReadTimeouts(30);
    driver->setLateReplyTimeouts(1000);
    ModbusClient client;
    client.setDriver(driver.get());
    client.setAttempts(sameKind ? 3 : 1);
    // The worker's writes between this thread's first write and its call's end.
    std::atomic<bool> mine{ false };
    std::atomic<int> between{ 0 };
    QThread *const self = QThread::currentThread();
    connect(&client, &ModbusClient::messageWritten, this, [&] {
        if (QThread::currentThread() == self)
            mine = true;
        else if (mine)
            ++between;
    }, Qt::DirectConnection);
    std::atomic<bool> stop{ false };
    std::atomic<int> polls{ 0 };
    std::thread poller([&] {
        const AbstractDeviceModule silent(QStringLiteral("3"), &client);
        quint16 word = 0;
        QByteArray words(4, '\0');
        silent.readWord(0, 2, words.data());
        ++polls;
        // Stops on its own in the end, so that a read kept waiting fails the test rather
        // than hang it.
        for (int i = 0; !stop && i < 300; ++i) {
            if (settling)
                silent.readWord(quint16(polls), 2, words.data()); // waits for the owed reply first
            else if (sameKind)
                silent.readWord(0, 2, words.data());
            else
                silent.readEventCount(&word);
            ++polls;
        }
    });
    QTRY_VERIFY(polls > (settling ? 0 : 2));
    const int before = polls;
    if (kept) {
        // Were the read to wait for the worker's, only close() would end it.
        std::atomic<bool> done{ false };
        std::thread watchdog([&] {
            for (int i = 0; i < 200 && !done; ++i)
                QThread::msleep(100);
            if (!done)
                driver->close();
        });
        ModuleStatus status;
        {
            const ModbusClient::TransportLock run(&client);
            QByteArray words(4, '\0');
            AbstractDeviceModule(QStringLiteral("3"), &client).readWord(0x20, 2, words.data(), &status);
        }
        done = true;
        watchdog.join();
        QCOMPARE(status.data(), int(ModuleStatus::TimeoutError));
    } else if (sameKind) {
        QByteArray words(4, '\0');
        ModuleStatus status;
        QCOMPARE(AbstractDeviceModule(QStringLiteral("3"), &client).readWord(0x20, 2, words.data(), &status), 0);
        QCOMPARE(status.data(), int(ModuleStatus::TimeoutError));
    } else {
        QVERIFY(AbstractDeviceModule(QStringLiteral("2"), &client).setBit(7, true));
    }
    const int pollsMeanwhile = polls - before;
    const int writesBetween = mine.exchange(false) ? between.load() : -1;
    stop = true;
    poller.join();
    QVERIFY2(pollsMeanwhile <= (settling ? 0 : 2), qPrintable(QString::number(pollsMeanwhile)));
    // Nothing the poller writes comes between this thread's attempts.
    if (sameKind)
        QCOMPARE(writesBetween, 0);
}

QTEST_GUILESS_MAIN(tst_ModuleReply)

#include "tst_modulereply.moc"
