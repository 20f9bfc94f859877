#include <QtCore/QDate>
#include <QtCore/QDir>
#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlDriver>
#include <QtSql/QSqlError>
#include <QtSql/QSqlField>
#include <QtSql/QSqlQuery>
#include <QtSql/QSqlRecord>
#include <QtTest/QtTest>

#include <cstdio>
#include <cstring>
#include <thread>

#include <messageboxrecorder.h>
#include <profile.h>
#include <qvglobal.h>
#include <sqlitefile.h>
#include <warningcatcher.h>

Q_DECLARE_METATYPE(qv::SampleType)

namespace {

const QString PatientTable = QStringLiteral("create table patient (sampleNo text, date)");

// Rows of the patient table as the application writes them: the day bound as
// a QDate through the profile's data connection.
bool insertPatients(const QStringList &numbers, const QDate &date)
{
    QSqlQuery query(Profile::instance().dataDatabase());
    if (!query.prepare(QStringLiteral("insert into patient (sampleNo, date) values (?, ?)")))
        return false;
    for (const QString &number : numbers) {
        query.addBindValue(number);
        query.addBindValue(date);
        if (!query.exec()) {
            qWarning() << query.lastError().text();
            return false;
        }
    }
    return true;
}

bool execData(const QString &statement)
{
    QSqlQuery query(Profile::instance().dataDatabase());
    if (!query.exec(statement)) {
        qWarning() << statement << query.lastError().text();
        return false;
    }
    return true;
}

QString storedValue(const QString &key)
{
    QSqlQuery query(Profile::instance().database());
    query.prepare(QStringLiteral("select value from profile where name = ?"));
    query.addBindValue(key);
    return query.exec() && query.next() ? query.value(0).toString() : QString();
}

// Child mode of this program, one station: in the current directory's profile,
// takes COUNT numbers of the day DATE, printing each. It starts taking when a
// line arrives on stdin, so that both stations take at the same time.
int takeNumbers(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 4)
        return 2;
    const QDate day = QDate::fromString(QString::fromLatin1(argv[2]), Qt::ISODate);
    const int count = QByteArray(argv[3]).toInt();
    MessageBoxRecorder boxes;
    Profile::instance();
    if (boxes.count())
        return 3;
    std::printf("ready\n");
    std::fflush(stdout);
    char go[8];
    if (!std::fgets(go, sizeof go, stdin))
        return 4;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const int number = takeSampleNo(day, QSqlRecord());
        failed += number == 0;
        std::printf("%d\n", number);
    }
    return failed ? 1 : 0;
}

} // namespace

class tst_SampleNumbering : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void dateIsStoredAsIsoText();
    void nextNumberOfTheDay_data();
    void nextNumberOfTheDay();
    void failedQueryGivesNoNumber_data();
    void failedQueryGivesNoNumber();
    void stationsNeverShareANumber();

    void prefixesFollowSettings_data();
    void prefixesFollowSettings();

    void generatedValueIsWritten_data();
    void generatedValueIsWritten();

private:
    QString m_startDir;
    // On a memory file system where there is one: stations then take numbers
    // faster than a disk syncs them, so they meet more often.
    QTemporaryDir m_tmp{QDir(QStringLiteral("/dev/shm")).exists()
                            ? QStringLiteral("/dev/shm/tst_samplenumbering-XXXXXX")
                            : QDir::temp().filePath(QStringLiteral("tst_samplenumbering-XXXXXX"))};
};

void tst_SampleNumbering::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("SampleNumberingTest"));
    m_startDir = QDir::currentPath();
    QVERIFY(m_tmp.isValid());
    const QDir dir(m_tmp.path());
    QVERIFY(execSqlite(dir.filePath(QStringLiteral("profile.db")),
                       {QStringLiteral("create table profile (name text unique, value)")}));
    QVERIFY(execSqlite(dir.filePath(QStringLiteral("data.db")), {PatientTable}));
    QVERIFY(execSqlite(dir.filePath(QStringLiteral("qc.db")), {QStringLiteral("create table t (x)")}));
    QVERIFY(execSqlite(dir.filePath(QStringLiteral("syslog.db")), {QStringLiteral("create table t (x)")}));

    // The store reads the current directory once, on first use.
    QVERIFY(QDir::setCurrent(m_tmp.path()));
    MessageBoxRecorder boxes;
    Profile::instance();
    QCOMPARE(boxes.texts(), QStringList());
    QVERIFY(Profile::instance().dataDatabase().isOpen());
}

void tst_SampleNumbering::cleanupTestCase()
{
    QDir::setCurrent(m_startDir);
}

void tst_SampleNumbering::init()
{
    QVERIFY(execData(QStringLiteral("delete from patient")));
}

void tst_SampleNumbering::dateIsStoredAsIsoText()
{
    QVERIFY(insertPatients({QStringLiteral("1")}, QDate(2026, 3, 4)));
    QSqlQuery query(Profile::instance().dataDatabase());
    QVERIFY(query.exec(QStringLiteral("select typeof(date), date from patient")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), QStringLiteral("text"));
    QCOMPARE(query.value(1).toString(), QStringLiteral("2026-03-04"));
}

void tst_SampleNumbering::nextNumberOfTheDay_data()
{
    QTest::addColumn<QStringList>("today");     // sample numbers stored for the day asked
    QTest::addColumn<QStringList>("otherDays"); // stored the day before and the day after
    QTest::addColumn<int>("next");

    QTest::newRow("no rows at all") << QStringList() << QStringList() << 1;
    QTest::newRow("only other days") << QStringList() << QStringList{QStringLiteral("40")} << 1;
    QTest::newRow("numeric, not text, order")
        << QStringList{QStringLiteral("7"), QStringLiteral("12"), QStringLiteral("9")} << QStringList() << 13;
    QTest::newRow("leading zeros")
        << QStringList{QStringLiteral("007"), QStringLiteral("0012"), QStringLiteral("09")} << QStringList() << 13;
    QTest::newRow("text numbers count as 0")
        << QStringList{QStringLiteral("abc"), QStringLiteral("5"), QStringLiteral("")} << QStringList() << 6;
    QTest::newRow("only text numbers") << QStringList{QStringLiteral("S-3")} << QStringList() << 1;
    QTest::newRow("negative numbers count as 0")
        << QStringList{QStringLiteral("-5"), QStringLiteral("-2")} << QStringList() << 1;
    QTest::newRow("other days' larger numbers ignored")
        << QStringList{QStringLiteral("3")} << QStringList{QStringLiteral("99"), QStringLiteral("100")} << 4;
}

void tst_SampleNumbering::nextNumberOfTheDay()
{
    QFETCH(QStringList, today);
    QFETCH(QStringList, otherDays);
    QFETCH(int, next);

    const QDate day(2026, 12, 8);
    QVERIFY(insertPatients(today, day));
    QVERIFY(insertPatients(otherDays, day.addDays(-1)));
    QVERIFY(insertPatients(otherDays, day.addDays(1)));
    bool ok = false;
    QCOMPARE(nextSampleNo(day, &ok), next);
    QVERIFY(ok);
}

void tst_SampleNumbering::failedQueryGivesNoNumber_data()
{
    // A failure must never hand out a number that may already be taken.
    QTest::addColumn<QStringList>("stored");  // numbers of the day
    QTest::addColumn<QString>("breakSql");    // run before the query, undone after
    QTest::addColumn<QString>("restoreSql");
    QTest::addColumn<bool>("onWorker");       // asked from a thread the connection does not belong to
    QTest::addColumn<int>("warnings");        // lines naming qvglobal.cpp and a line

    QTest::newRow("no table patient: prepare and execution fail")
        << QStringList{QStringLiteral("5")} << QStringLiteral("alter table patient rename to patient_away")
        << QStringLiteral("alter table patient_away rename to patient") << false << 2;
    QTest::newRow("no column sampleNo")
        << QStringList{QStringLiteral("5")} << QStringLiteral("alter table patient rename column sampleNo to number")
        << QStringLiteral("alter table patient rename column number to sampleNo") << false << 2;
    QTest::newRow("connection of another thread") << QStringList{QStringLiteral("5")} << QString() << QString()
                                                  << true << 2;
    QTest::newRow("greatest number is int's maximum")
        << QStringList{QStringLiteral("3"), QStringLiteral("2147483647")} << QString() << QString() << false << 1;
    QTest::newRow("number beyond int")
        << QStringList{QStringLiteral("99999999999")} << QString() << QString() << false << 1;
}

void tst_SampleNumbering::failedQueryGivesNoNumber()
{
    QFETCH(QStringList, stored);
    QFETCH(QString, breakSql);
    QFETCH(QString, restoreSql);
    QFETCH(bool, onWorker);
    QFETCH(int, warnings);

    const QDate day(2026, 1, 2);
    QVERIFY(insertPatients(stored, day));
    if (!breakSql.isEmpty())
        QVERIFY(execData(breakSql));
    int next = -1;
    bool ok = true;
    QStringList logged;
    {
        WarningCatcher catcher;
        if (onWorker)
            std::thread([&next, &ok, day]() { next = nextSampleNo(day, &ok); }).join();
        else
            next = nextSampleNo(day, &ok);
        logged = catcher.messages();
    }
    if (!restoreSql.isEmpty())
        QVERIFY(execData(restoreSql));
    QCOMPARE(next, 0);
    QVERIFY(!ok);
    // Every failed step is logged with where it happened.
    QCOMPARE(logged.filter(QRegularExpression(QStringLiteral("qvglobal\\.cpp:\\d+: .+"))).size(), warnings);
    // Once the database is sound again, numbering goes on.
    if (stored == QStringList{QStringLiteral("5")})
        QCOMPARE(nextSampleNo(day), 6);
}

void tst_SampleNumbering::stationsNeverShareANumber()
{
    // Two processes on one data database, each taking numbers of one day as
    // fast as it can: every number is taken once, and none is skipped.
    const QDate day(2026, 5, 6);
    const int takes = 100;
    QVERIFY(insertPatients({QStringLiteral("7")}, day.addDays(1)));
    QList<QProcess *> stations;
    for (int i = 0; i < 2; ++i) {
        auto *station = new QProcess(this);
        station->setWorkingDirectory(m_tmp.path());
        station->start(QCoreApplication::applicationFilePath(),
                       {QStringLiteral("--take"), day.toString(Qt::ISODate), QString::number(takes)});
        stations << station;
    }
    for (QProcess *station : qAsConst(stations)) {
        QVERIFY2(station->waitForReadyRead(30000), station->readAllStandardError().constData());
        QCOMPARE(station->readLine(), QByteArray("ready\n"));
    }
    for (QProcess *station : qAsConst(stations))
        station->write("go\n");
    for (QProcess *station : qAsConst(stations))
        QVERIFY(station->waitForBytesWritten(10000));
    QList<int> taken;
    for (QProcess *station : qAsConst(stations)) {
        QVERIFY(station->waitForFinished(90000));
        QCOMPARE(station->exitStatus(), QProcess::NormalExit);
        QVERIFY2(station->exitCode() == 0, station->readAllStandardError().constData());
        const QList<QByteArray> lines = station->readAllStandardOutput().split('\n');
        QCOMPARE(lines.size(), takes + 1);
        for (int i = 0; i < takes; ++i)
            taken << lines.at(i).toInt();
    }
    qDeleteAll(stations);
    std::sort(taken.begin(), taken.end());
    QList<int> expected;
    for (int n = 1; n <= 2 * takes; ++n)
        expected << n;
    QCOMPARE(taken, expected);

    QSqlQuery query(Profile::instance().dataDatabase());
    QVERIFY(query.prepare(QStringLiteral("select count(*), count(distinct sampleNo) from patient where date = ?")));
    query.addBindValue(day);
    QVERIFY(query.exec() && query.next());
    QCOMPARE(query.value(0).toInt(), 2 * takes);
    QCOMPARE(query.value(1).toInt(), 2 * takes);
    bool ok = false;
    QCOMPARE(nextSampleNo(day, &ok), 2 * takes + 1);
}

void tst_SampleNumbering::prefixesFollowSettings_data()
{
    QTest::addColumn<QString>("statim"); // stored setting, null: absent
    QTest::addColumn<QString>("qc");
    QTest::addColumn<QStringList>("prefixes"); // Routine, Statim, QualityControl, 3, -1

    QTest::newRow("settings absent: defaults")
        << QString() << QString()
        << QStringList{QString(), QStringLiteral("S"), QStringLiteral("QC"), QString(), QString()};
    QTest::newRow("settings stored")
        << QStringLiteral("E") << QStringLiteral("QK")
        << QStringList{QString(), QStringLiteral("E"), QStringLiteral("QK"), QString(), QString()};
    QTest::newRow("empty prefix stored")
        << QStringLiteral("") << QStringLiteral("Q")
        << QStringList{QString(), QString(), QStringLiteral("Q"), QString(), QString()};
}

void tst_SampleNumbering::prefixesFollowSettings()
{
    QFETCH(QString, statim);
    QFETCH(QString, qc);
    QFETCH(QStringList, prefixes);

    Profile &profile = Profile::instance();
    profile.remove(QStringLiteral("statim_sample_prefix"));
    profile.remove(QStringLiteral("qc_sample_prefix"));
    if (!statim.isNull())
        profile.set_statim_sample_prefix(statim, true);
    if (!qc.isNull())
        profile.set_qc_sample_prefix(qc, true);

    const qv::SampleType types[] = {qv::Routine, qv::Statim, qv::QualityControl, qv::SampleType(3),
                                    qv::SampleType(-1)};
    QStringList actual;
    for (qv::SampleType type : types)
        actual << samplePrefix(type);
    QCOMPARE(actual, prefixes);
    QVERIFY(samplePrefix(qv::Routine).isEmpty());
    QCOMPARE(storedValue(QStringLiteral("statim_sample_prefix")), statim);
}

void tst_SampleNumbering::generatedValueIsWritten_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QStringList>("written"); // columns of the insert statement
    QTest::addColumn<QString>("sampleNo");

    QTest::newRow("field of the record")
        << QStringLiteral("sampleNo") << QStringList{QStringLiteral("sampleNo")} << QStringLiteral("17");
    QTest::newRow("missing field leaves the record") << QStringLiteral("noSuchField") << QStringList() << QString();
}

void tst_SampleNumbering::generatedValueIsWritten()
{
    QFETCH(QString, field);
    QFETCH(QStringList, written);
    QFETCH(QString, sampleNo);

    QSqlDatabase db = Profile::instance().dataDatabase();
    QSqlRecord record = db.record(QStringLiteral("patient"));
    QCOMPARE(record.count(), 2);
    for (int i = 0; i < record.count(); ++i)
        record.setGenerated(i, false);
    const QSqlRecord before = record;

    setGeneratedValue(record, field, QStringLiteral("17"));
    if (written.isEmpty())
        QVERIFY(record == before);
    else
        QCOMPARE(record.value(field).toString(), QStringLiteral("17"));

    // The driver writes only the generated fields of a record.
    const QString insert = db.driver()->sqlStatement(QSqlDriver::InsertStatement, QStringLiteral("patient"),
                                                     record, false);
    QStringList columns;
    for (int i = 0; i < record.count(); ++i) {
        if (record.isGenerated(i))
            columns << record.fieldName(i);
    }
    QCOMPARE(columns, written);
    if (written.isEmpty())
        return;
    QVERIFY2(insert.contains(QStringLiteral("17")), qPrintable(insert));
    QVERIFY(execData(insert));
    QSqlQuery query(db);
    QVERIFY(query.exec(QStringLiteral("select sampleNo, date from patient")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), sampleNo);
    QVERIFY(query.value(1).isNull());
}

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--take") == 0)
        return takeNumbers(argc, argv);
    QCoreApplication app(argc, argv);
    tst_SampleNumbering test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_samplenumbering.moc"
