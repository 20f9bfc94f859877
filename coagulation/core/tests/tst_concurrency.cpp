// The library's shared objects used from several threads at once, as the
// application does: the settings cache from workers while the GUI thread runs
// the queued writes. Run under ThreadSanitizer by ./qv test --tsan.
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

#include <messageboxrecorder.h>
#include <profile.h>

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

QTEST_MAIN(tst_Concurrency)
#include "tst_concurrency.moc"
