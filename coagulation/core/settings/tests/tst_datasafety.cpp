// Settings survive other programs and crashes: the profile file is shared with
// the application's other processes, and a process may die at any moment.
//
// The test program doubles as the writer process: started with "--writer" it
// opens the profile of its current directory and writes keys through Profile,
// printing each key once its write has returned.
#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <sys/types.h>
#include <signal.h>

#include <profile.h>

namespace {

// ---------------------------------------------------------------- the writer

int failedWrites = 0;

void countFailures(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // A failed write-through is logged as a warning with the SQL error.
    if (type == QtWarningMsg || type == QtCriticalMsg) {
        ++failedWrites;
        std::fprintf(stderr, "%s\n", qPrintable(message));
    }
}

// --writer PREFIX FIRST COUNT: writes PREFIX<i> = i for i from FIRST, COUNT
// times (for ever when COUNT is 0), each saved through to the file at once.
int runWriter(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 5)
        return 2;
    const QString prefix = QString::fromLocal8Bit(argv[2]);
    const int first = QByteArray(argv[3]).toInt();
    const int count = QByteArray(argv[4]).toInt();
    qInstallMessageHandler(countFailures);
    Profile profile(QStringLiteral("profile.db"), nullptr);
    if (failedWrites)
        return 3;  // start-up complained: the profile was not found or not usable
    for (int i = first; count == 0 || i < first + count; ++i) {
        const QString key = prefix + QString::number(i);
        const int before = failedWrites;
        profile.setValue(key, i, true);
        // Also a key that both writers share, replaced again and again.
        profile.setValue(QStringLiteral("shared"), key, true);
        std::printf("%s %s\n", failedWrites == before ? "ok" : "failed", qPrintable(key));
        std::fflush(stdout);
    }
    return failedWrites ? 1 : 0;
}

// ------------------------------------------------------------------ the test

bool execOn(const QString &path, const QString &sql)
{
    const QString name = QStringLiteral("tst_datasafety");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        ok = db.open() && QSqlQuery(db).exec(sql);
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

struct Stored
{
    QString integrity;
    QHash<QString, QString> rows;
};

Stored readBack(const QString &path)
{
    const QString name = QStringLiteral("tst_datasafety_check");
    Stored stored;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("pragma integrity_check")))
                while (query.next())
                    stored.integrity += query.value(0).toString();
            if (query.exec(QStringLiteral("select name, value from profile")))
                while (query.next())
                    stored.rows.insert(query.value(0).toString(), query.value(1).toString());
        } else {
            stored.integrity = db.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return stored;
}

} // namespace

class tst_DataSafety : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void twoProcessesWriteOneProfile();
    void killedWriterLeavesSoundProfile_data();
    void killedWriterLeavesSoundProfile();

private:
    QProcess *startWriter(const QString &prefix, int first, int count);
    QString profilePath() const { return m_dir->filePath(QStringLiteral("profile.db")); }

    QScopedPointer<QTemporaryDir> m_dir;
};

void tst_DataSafety::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    const QDir dir(m_dir->path());
    QVERIFY(execOn(dir.filePath(QStringLiteral("profile.db")),
                   QStringLiteral("create table profile (name text primary key, value)")));
    for (const char *file : {"data.db", "qc.db", "syslog.db"})
        QVERIFY(execOn(dir.filePath(QLatin1String(file)), QStringLiteral("create table t (x)")));
}

QProcess *tst_DataSafety::startWriter(const QString &prefix, int first, int count)
{
    auto *process = new QProcess(this);
    process->setWorkingDirectory(m_dir->path());
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->start(QCoreApplication::applicationFilePath(),
                   {QStringLiteral("--writer"), prefix, QString::number(first), QString::number(count)});
    return process;
}

void tst_DataSafety::twoProcessesWriteOneProfile()
{
    // Each write is its own transaction, so the two writers contend for the
    // file's lock on every key; the busy wait has to carry every one through.
    const int writes = 300;
    QProcess *a = startWriter(QStringLiteral("a"), 0, writes);
    QProcess *b = startWriter(QStringLiteral("b"), 0, writes);
    QVERIFY(a->waitForStarted() && b->waitForStarted());
    QVERIFY2(a->waitForFinished(120000), "first writer did not finish");
    QVERIFY2(b->waitForFinished(120000), "second writer did not finish");
    for (QProcess *p : {a, b}) {
        QCOMPARE(p->exitStatus(), QProcess::NormalExit);
        QVERIFY2(p->exitCode() == 0, p->readAllStandardError().constData());
        QCOMPARE(p->readAllStandardOutput().count("ok "), writes);
    }

    const Stored stored = readBack(profilePath());
    QCOMPARE(stored.integrity, QStringLiteral("ok"));
    QCOMPARE(stored.rows.size(), 2 * writes + 1);
    for (const QString &prefix : {QStringLiteral("a"), QStringLiteral("b")})
        for (int i = 0; i < writes; ++i)
            QCOMPARE(stored.rows.value(prefix + QString::number(i)), QString::number(i));
    const QString shared = stored.rows.value(QStringLiteral("shared"));
    QVERIFY2(shared == QStringLiteral("a%1").arg(writes - 1) || shared == QStringLiteral("b%1").arg(writes - 1),
             qPrintable(shared));
}

void tst_DataSafety::killedWriterLeavesSoundProfile_data()
{
    // After how many acknowledged writes of each run the writer is killed.
    QTest::addColumn<QList<int>>("killAfter");
    QTest::newRow("early") << QList<int>{1};
    QTest::newRow("mid-run, three times") << QList<int>{40, 75, 120};
}

void tst_DataSafety::killedWriterLeavesSoundProfile()
{
    QFETCH(QList<int>, killAfter);
    QStringList acknowledged;
    int next = 0;
    for (int round = 0; round < killAfter.size(); ++round) {
        QProcess *writer = startWriter(QStringLiteral("k"), next, 0);
        QVERIFY(writer->waitForStarted());
        QByteArray out;
        int seen = 0;
        QElapsedTimer timer;
        timer.start();
        while (seen < killAfter.at(round) && timer.elapsed() < 60000) {
            writer->waitForReadyRead(100);
            out += writer->readAllStandardOutput();
            seen = out.count('\n');
            QVERIFY2(writer->state() == QProcess::Running, writer->readAllStandardError().constData());
        }
        QVERIFY(seen >= killAfter.at(round));
        // SIGKILL: no handler, no flush, no clean-up of the library.
        ::kill(pid_t(writer->processId()), SIGKILL);
        QVERIFY(writer->waitForFinished(10000));
        QCOMPARE(writer->exitStatus(), QProcess::CrashExit);
        out += writer->readAllStandardOutput();
        for (const QByteArray &line : out.split('\n')) {
            if (line.isEmpty())
                continue;
            QVERIFY2(line.startsWith("ok "), line.constData());
            acknowledged << QString::fromLatin1(line.mid(3));
        }
        next += out.count('\n') + 1000;  // the next run writes fresh keys

        const Stored stored = readBack(profilePath());
        QCOMPARE(stored.integrity, QStringLiteral("ok"));
        for (const QString &key : qAsConst(acknowledged))
            QVERIFY2(stored.rows.value(key) == key.mid(1), qPrintable(key));
    }
}

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--writer") == 0)
        return runWriter(argc, argv);
    QCoreApplication app(argc, argv);
    tst_DataSafety test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_datasafety.moc"
