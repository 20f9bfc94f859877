#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

#include <sqlitefile.h>
#include <toolrunner.h>

// qvprofile as a process: a fresh working directory, then typed settings written,
// read back by a second process (so through the file), listed and removed.
class tst_ToolsProfile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void createsWorkingDirectory();
    void refusesToOverwrite();
    void roundTrip_data();
    void roundTrip();
    void refusedSetKeepsTheValue_data();
    void refusedSetKeepsTheValue();
    void listAndRemove();
    void outsideAWorkingDirectory();

private:
    ToolResult profile(const QStringList &args) { return runTool("qvprofile", QStringList{"-C", m_work} + args); }

    QTemporaryDir m_dir;
    QString m_work;
};

void tst_ToolsProfile::initTestCase()
{
    QVERIFY(QFile::exists(toolPath("qvprofile")));
    QVERIFY(m_dir.isValid());
    m_work = m_dir.filePath("work");
    const ToolResult r = runTool("qvprofile", {"init", m_work});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.text().startsWith("created "));
}

void tst_ToolsProfile::createsWorkingDirectory()
{
    QSettings ini(QDir(m_work).filePath("settings.ini"), QSettings::IniFormat);
    QCOMPARE(ini.value("db/profile").toString(), QString("profile.db"));
    QCOMPARE(ini.value("db/data").toString(), QString("data.db"));
    QCOMPARE(ini.value("db/qc").toString(), QString("qc.db"));
    QCOMPARE(ini.value("db/syslog").toString(), QString("syslog.db"));

    struct Expect { const char *file; QStringList tables; };
    const QList<Expect> expected = {{"profile.db", {"profile"}}, {"data.db", {"curve", "patient"}},
                                    {"qc.db", {"qc"}}, {"syslog.db", {"syslog"}}};
    for (const Expect &e : expected) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(QDir(m_work).filePath(e.file));
        QVERIFY(db.open());
        QStringList tables = db.tables(QSql::Tables);
        tables.removeAll("sqlite_sequence");
        tables.sort();
        QCOMPARE(tables, e.tables);
        if (QString(e.file) == "profile.db") {
            // name is unique: a second row of the same name is refused
            QSqlQuery q(db);
            QVERIFY(q.exec("insert into profile (name, value) values ('x', 1)"));
            QVERIFY(!q.exec("insert into profile (name, value) values ('x', 2)"));
            QVERIFY(q.exec("delete from profile where name = 'x'"));
        }
        if (QString(e.file) == "data.db") {
            QSqlQuery q(db);
            QVERIFY(q.exec("select patientId, item, version, curve from curve"));
            QVERIFY(q.exec("select sampleNo, date from patient"));
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("check");
    }
}

void tst_ToolsProfile::refusesToOverwrite()
{
    const QByteArray before = [this] { QFile f(QDir(m_work).filePath("profile.db")); f.open(QIODevice::ReadOnly); return f.readAll(); }();
    const ToolResult r = runTool("qvprofile", {"init", m_work});
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("already exists"));
    QFile f(QDir(m_work).filePath("profile.db"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), before);
}

void tst_ToolsProfile::roundTrip_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("shown");    // what get prints (typed accessor)
    QTest::addColumn<QString>("stored");   // the row's value text

    QTest::newRow("text") << "hospital" << "City Hospital" << "City Hospital" << "City Hospital";
    QTest::newRow("text, UTF-8") << "result_not_clotted" << "不凝" << "不凝" << "不凝";
    QTest::newRow("text, empty") << "replication_diff_flag" << "" << "" << "";
    QTest::newRow("colour by hex") << "color_of_lower_mark" << "#ffaa00" << "#ffaa00" << "#ffaa00";
    QTest::newRow("colour by name") << "color_of_waiting" << "red" << "#ff0000" << "#ff0000";
    QTest::newRow("int") << "max_qc_file" << "42" << "42" << "42";
    QTest::newRow("int, hex") << "qc_method" << "0x10" << "16" << "16";
    QTest::newRow("int, leading zero is decimal") << "qc_method" << "010" << "10" << "10";
    QTest::newRow("int, negative") << "qc_method" << "-3" << "-3" << "-3";
    QTest::newRow("bool true") << "is_touch_screen" << "yes" << "true" << "true";
    QTest::newRow("bool false") << "is_touch_screen" << "FALSE" << "false" << "false";
    QTest::newRow("other key") << "my/own key" << "0042" << "0042" << "0042";
}

void tst_ToolsProfile::roundTrip()
{
    QFETCH(QString, key);
    QFETCH(QString, input);
    QFETCH(QString, shown);
    QFETCH(QString, stored);

    ToolResult r = profile({"set", key, input});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.text(), key + " = " + stored + "\n");

    r = profile({"get", key});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.text(), shown + "\n");
}

void tst_ToolsProfile::refusedSetKeepsTheValue_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("good");
    QTest::addColumn<bool>("refusesWrites");  // the profile file takes no writes
    QTest::addColumn<int>("exitCode");
    QTest::newRow("int") << "max_qc_file" << "twelve" << "7" << false << 4;
    QTest::newRow("int, empty") << "max_qc_file" << "" << "8" << false << 4;
    QTest::newRow("int, hex prefix twice") << "max_qc_file" << "0x0x10" << "9" << false << 4;
    QTest::newRow("int, beyond int") << "max_qc_file" << "2147483648" << "10" << false << 4;
    QTest::newRow("bool") << "is_touch_screen" << "maybe" << "true" << false << 4;
    QTest::newRow("colour") << "color_of_upper_mark" << "#12345" << "#123456" << false << 4;
    QTest::newRow("colour, no name") << "color_of_upper_mark" << "notacolour" << "blue" << false << 4;
    // Eight digits read as #aarrggbb would store another colour than #rrggbbaa
    // means; the profile keeps no alpha anyway.
    QTest::newRow("colour, #rrggbbaa") << "color_of_analysing" << "#ff000080" << "#102030" << false << 4;
    QTest::newRow("colour, #aarrggbb") << "color_of_analysing" << "#80102030" << "#102030" << false << 4;
    QTest::newRow("colour, transparent") << "color_of_analysing" << "transparent" << "#102030" << false << 4;
    QTest::newRow("profile refuses writes, named key stored") << "hospital" << "new" << "old" << true << 5;
    QTest::newRow("profile refuses writes, other key stored") << "my/own key" << "2" << "1" << true << 5;
}

void tst_ToolsProfile::refusedSetKeepsTheValue()
{
    QFETCH(QString, key);
    QFETCH(QString, input);
    QFETCH(QString, good);
    QFETCH(bool, refusesWrites);
    QFETCH(int, exitCode);
    QCOMPARE(profile({"set", key, good}).exitCode, 0);
    const QString before = profile({"get", key}).text();

    // Root ignores file modes, so the refusal is the database's own.
    const QString profileDb = QDir(m_work).filePath("profile.db");
    const QStringList refuse = {"insert", "update", "delete"};
    if (refusesWrites) {
        for (const QString &what : refuse)
            QVERIFY(execSqlite(profileDb, {QStringLiteral("create trigger refuse_%1 before %1 on profile "
                                                          "begin select raise(abort, 'read-only'); end").arg(what)}));
    }
    const ToolResult r = profile({"set", key, input});
    if (refusesWrites) {
        for (const QString &what : refuse)
            QVERIFY(execSqlite(profileDb, {QStringLiteral("drop trigger refuse_%1").arg(what)}));
    }
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY(r.out.isEmpty());
    QVERIFY(r.err.contains(key.toUtf8()));
    QCOMPARE(profile({"get", key}).text(), before);  // nothing written
}

void tst_ToolsProfile::listAndRemove()
{
    QCOMPARE(profile({"set", "hospital", "Ward 9"}).exitCode, 0);
    QCOMPARE(profile({"set", "color_of_dispensing", "#00ff00"}).exitCode, 0);
    ToolResult r = profile({"list"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.lines().contains("hospital\ttext\tWard 9"));
    QVERIFY(r.lines().contains("color_of_dispensing\tcolor\t#00ff00"));
    QStringList sorted = r.lines();
    sorted.sort();
    QCOMPARE(r.lines(), sorted);

    QCOMPARE(profile({"remove", "hospital"}).exitCode, 0);
    r = profile({"get", "hospital"});
    QCOMPARE(r.exitCode, 3);
    QVERIFY(r.out.isEmpty());
    QVERIFY(!profile({"list"}).lines().contains("hospital\ttext\tWard 9"));
    QCOMPARE(profile({"remove", "hospital"}).exitCode, 3);

    r = runTool("qvprofile", {"keys"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.lines().size(), 29);
    QVERIFY(r.lines().contains("is_touch_screen\tbool"));
    QVERIFY(r.lines().contains("color_of_upper_mark\tcolor"));
}

void tst_ToolsProfile::outsideAWorkingDirectory()
{
    QTemporaryDir empty;
    const ToolResult r = runTool("qvprofile", {"-C", empty.path(), "set", "hospital", "x"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("is not a working directory"));
    QVERIFY(QDir(empty.path()).entryList(QDir::Files).isEmpty());  // nothing created there

    QCOMPARE(runTool("qvprofile", {"frobnicate"}).exitCode, 1);
    QCOMPARE(runTool("qvprofile", {}).exitCode, 1);
}

QTEST_GUILESS_MAIN(tst_ToolsProfile)
#include "tst_toolsprofile.moc"
