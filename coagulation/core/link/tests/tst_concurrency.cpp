// The library's shared objects used from several threads at once, as the
// application does: the settings cache from workers while the GUI thread runs
// the queued writes, and one transport shared by clients on several threads,
// one of them holding it across a run of exchanges. Run under ThreadSanitizer
// by ./qv test --tsan.
#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include <devicedriver.h>
#include <messagebuilder.h>
#include <messageboxrecorder.h>
#include <modbusclient.h>
#include <profile.h>
#include <socketdriver.h>

#include <simulatedmodule.h>
#include <simulatorthread.h>

namespace {

bool execOn(const QString &path, const QString &sql)
{
    const QString name = QStringLiteral("tst_concurrency_setup");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        ok = db.open() && QSqlQuery(db).exec(sql);
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

QHash<QString, QString> storedRows(const QString &path)
{
    const QString name = QStringLiteral("tst_concurrency_rows");
    QHash<QString, QString> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("select name, value from profile")))
                while (query.next())
                    rows.insert(query.value(0).toString(), query.value(1).toString());
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

// Runs body on each of n threads while the calling (store) thread keeps its
// event loop turning, so that queued writes run while the workers go on.
void runOnThreads(int n, const std::function<void(int)> &body)
{
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i]() {
            body(i);
            ++done;
        });
    while (done.load() < n)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    for (std::thread &t : threads)
        t.join();
    QCoreApplication::processEvents();
}

} // namespace

class tst_Concurrency : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void profileCacheFromSeveralThreads();
    void heldTransportKeepsRunTogether();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_started;
};

void tst_Concurrency::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_started = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    QVERIFY(execOn(QStringLiteral("profile.db"), QStringLiteral("create table profile (name text primary key, value)")));
    for (const char *file : {"data.db", "qc.db", "syslog.db"})
        QVERIFY(execOn(QLatin1String(file), QStringLiteral("create table t (x)")));
}

void tst_Concurrency::cleanup()
{
    QDir::setCurrent(m_started);
}

void tst_Concurrency::profileCacheFromSeveralThreads()
{
    MessageBoxRecorder boxes;
    Profile profile(QStringLiteral("profile.db"), nullptr);
    QCOMPARE(boxes.count(), 0);

    // Each worker saves keys of its own (queued to this thread), overwrites a
    // few shared keys in the cache only, reads everything back, removes some of
    // its keys again and asks for keys nobody set.
    const int threads = 4;
    const int rounds = 400;
    std::atomic<int> wrongReads{0};
    runOnThreads(threads, [&](int id) {
        const QString own = QStringLiteral("w%1-").arg(id);
        for (int i = 0; i < rounds; ++i) {
            profile.setValue(own + QString::number(i), i, true);
            profile.setValue(QStringLiteral("shared%1").arg(i % 8), id * rounds + i, false);
            if (profile.value(own + QString::number(i)).toInt() != i)
                ++wrongReads;
            const int shared = profile.value(QStringLiteral("shared%1").arg((i + id) % 8), -1).toInt();
            if (shared < -1 || shared >= threads * rounds)
                ++wrongReads;
            profile.value2(QStringLiteral("missing%1").arg(i % 16), own + QString::number(i / 2), -1);
            if (i % 10 == 9)
                profile.remove(own + QString::number(i));
            if (i % 100 == 0)
                (void)profile.keys();
        }
    });
    QCOMPARE(wrongReads.load(), 0);

    // Every queued write and delete has run on this thread, in order.
    const QHash<QString, QString> rows = storedRows(QStringLiteral("profile.db"));
    for (int id = 0; id < threads; ++id) {
        for (int i = 0; i < rounds; ++i) {
            const QString key = QStringLiteral("w%1-%2").arg(id).arg(i);
            if (i % 10 == 9) {
                QVERIFY2(!rows.contains(key), qPrintable(key));
                QVERIFY(!profile.value(key).isValid());
            } else {
                QCOMPARE(rows.value(key), QString::number(i));
                QCOMPARE(profile.value(key).toInt(), i);
            }
        }
    }
    QCOMPARE(rows.size(), threads * (rounds - rounds / 10));
    const QStringList keys = profile.keys();
    for (int i = 0; i < 16; ++i)
        QVERIFY(keys.contains(QStringLiteral("missing%1").arg(i)));
}

void tst_Concurrency::heldTransportKeepsRunTogether()
{
    // A multi-exchange operation that must not be interleaved (a file written
    // in chunks) holds the driver's lock across its exchanges; readers on other
    // threads sharing the driver wait between their own exchanges, never inside
    // the run.
    SimulatorThread sim;
    SimulatedModule *module = sim.link().addModule(2);
    QVector<quint16> values(64);
    for (int i = 0; i < values.size(); ++i)
        values[i] = quint16(0x5000 + 7 * i);
    module->setHoldingRegisters(0, values);
    QVERIFY2(sim.start(SimulatorThread::Tcp), qPrintable(sim.errorString()));
    SocketDriver driver;
    driver.setPortName(sim.url());
    QVERIFY(driver.open());

    const int runs = 6;
    const int runLength = 8;
    std::atomic<int> wrong{0};
    std::atomic<bool> writing{true};
    auto reader = [&](int offset) {
        ModbusClient client;
        client.setDriver(&driver);
        for (int i = 0; writing.load() || i < 10; ++i) {
            const int address = (offset + i) % 60;
            MessageBuilder builder(2);
            builder.readWord(quint16(address), 2);
            quint8 count = 0;
            quint16 first = 0, second = 0;
            const int result = client.talk(builder);
            builder.seekToData();
            builder >> count >> first >> second;
            if (result != 7 || first != values[address] || second != values[address + 1])
                ++wrong;
        }
    };
    auto writer = [&]() {
        ModbusClient client;
        client.setDriver(&driver);
        for (int run = 0; run < runs; ++run) {
            DeviceDriver::DeviceLocker hold(&driver);
            for (int i = 0; i < runLength; ++i) {
                // Writes to registers nobody reads, each naming its run and place.
                MessageBuilder builder(2);
                builder.writeWord(quint16(0x200 + run * runLength + i), quint16(run));
                if (client.talk(builder) != 6)
                    ++wrong;
            }
        }
        writing = false;
    };
    std::thread a(reader, 0), b(reader, 29), w(writer);
    a.join();
    b.join();
    w.join();
    QCOMPARE(wrong.load(), 0);

    // In the simulator's log the writes of each run follow one another.
    int expected = 0;
    int inRun = 0;
    for (const QByteArray &frame : sim.link().requests()) {
        const bool isWrite = quint8(frame.at(1)) == 0x06;
        if (inRun > 0 && inRun < runLength)
            QVERIFY2(isWrite, "a read fell inside a held run of writes");
        if (!isWrite)
            continue;
        const int reg = quint8(frame.at(2)) << 8 | quint8(frame.at(3));
        QCOMPARE(reg, 0x200 + expected);
        ++expected;
        inRun = (inRun + 1) % runLength;
    }
    QCOMPARE(expected, runs * runLength);
}

QTEST_MAIN(tst_Concurrency)
#include "tst_concurrency.moc"
