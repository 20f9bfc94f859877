#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

#include <profile.h>
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
    void commandLine_data();
    void commandLine();
    void everyToolFollowsTheConventions_data();
    void everyToolFollowsTheConventions();

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
    // The same bytes from a build on either Qt: programs of both read this file.
    QFile file(QDir(m_work).filePath("settings.ini"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[db]\ndata=data.db\nprofile=profile.db\nqc=qc.db\nsyslog=syslog.db\n"));
    QSettings ini(file.fileName(), QSettings::IniFormat);
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
    QTest::addColumn<QStringList>("options");

    QTest::newRow("text") << "hospital" << "City Hospital" << "City Hospital" << "City Hospital" << QStringList();
    QTest::newRow("text, UTF-8") << "result_not_clotted" << "不凝" << "不凝" << "不凝" << QStringList();
    QTest::newRow("text, empty") << "replication_diff_flag" << "" << "" << "" << QStringList();
    QTest::newRow("colour by hex") << "color_of_lower_mark" << "#ffaa00" << "#ffaa00" << "#ffaa00" << QStringList();
    QTest::newRow("colour by name") << "color_of_waiting" << "red" << "#ff0000" << "#ff0000" << QStringList();
    QTest::newRow("int") << "max_qc_file" << "42" << "42" << "42" << QStringList();
    QTest::newRow("int, hex") << "qc_method" << "0x10" << "16" << "16" << QStringList();
    QTest::newRow("int, leading zero is decimal") << "qc_method" << "010" << "10" << "10" << QStringList();
    QTest::newRow("int, negative") << "qc_method" << "-3" << "-3" << "-3" << QStringList();
    QTest::newRow("bool true") << "is_touch_screen" << "yes" << "true" << "true" << QStringList();
    QTest::newRow("bool false") << "is_touch_screen" << "FALSE" << "false" << "false" << QStringList();
    QTest::newRow("bool 1") << "is_touch_screen" << "1" << "true" << "true" << QStringList();
    // A name that is no named setting is stored only with --force.
    QTest::newRow("other key, forced") << "my/own key" << "0042" << "0042" << "0042" << QStringList{"--force"};
}

void tst_ToolsProfile::roundTrip()
{
    QFETCH(QString, key);
    QFETCH(QString, input);
    QFETCH(QString, shown);
    QFETCH(QString, stored);
    QFETCH(QStringList, options);

    ToolResult r = profile(QStringList{"set", key, input} + options);
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
    // Among the names is one that is no named setting, stored with --force.
    QCOMPARE(profile({"set", key, good, "--force"}).exitCode, 0);
    const QString before = profile({"get", key}).text();

    // Root ignores file modes, so the refusal is the database's own.
    const QString profileDb = QDir(m_work).filePath("profile.db");
    const QStringList refuse = {"insert", "update", "delete"};
    if (refusesWrites) {
        for (const QString &what : refuse)
            QVERIFY(execSqlite(profileDb, {QStringLiteral("create trigger refuse_%1 before %1 on profile "
                                                          "begin select raise(abort, 'read-only'); end").arg(what)}));
    }
    const ToolResult r = profile({"set", key, input, "--force"});
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

    // One line per setting whatever the value holds; --json as one object.
    QCOMPARE(profile({"set", "result_is_preparing", "a\tb\nc\\d"}).exitCode, 0);
    r = profile({"list"});
    QVERIFY2(r.lines().contains("result_is_preparing\ttext\ta\\tb\\nc\\\\d"), qPrintable(r.text()));
    r = profile({"list", "--json"});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject json = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(json.value("file").toString(), QDir(m_work).filePath("profile.db"));
    QVERIFY(json.value("settings").toArray().contains(
        QJsonObject{{"key", "result_is_preparing"}, {"type", "text"}, {"value", "a\tb\nc\\d"}}));

    QCOMPARE(profile({"remove", "hospital"}).exitCode, 0);
    // A named setting not stored shows the default programs get, and says so.
    r = profile({"get", "hospital"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.text(), QString("\n"));
    QVERIFY2(r.err.contains("hospital is not set in ") && r.err.contains("this is its default"), r.err.constData());
    r = profile({"get", "statim_sample_prefix"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.text(), QString("S\n"));
    QVERIFY(!profile({"list"}).lines().contains("hospital\ttext\tWard 9"));
    QCOMPARE(profile({"remove", "hospital"}).exitCode, 3);

    r = runTool("qvprofile", {"keys"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.lines().size(), Profile::items().size());
    QVERIFY(r.lines().contains("is_touch_screen\tbool"));
    QVERIFY(r.lines().contains("color_of_upper_mark\tcolor"));
    r = runTool("qvprofile", {"keys", "--json"});
    QCOMPARE(r.exitCode, 0);
    const QJsonArray keys = QJsonDocument::fromJson(r.out).object().value("settings").toArray();
    QCOMPARE(keys.size(), Profile::items().size());
    QVERIFY2(keys.contains(QJsonObject{{"key", "result_not_clotted"}, {"type", "text"}, {"default", "No clot"},
                                       {"group", "Result texts"}, {"label", "Not clotted"}}),
             r.out.constData());
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

    // A profile without its table: the store's warnings reach people without
    // source file paths, and the failure names the file.
    const QString broken = empty.filePath("broken");
    QCOMPARE(runTool("qvprofile", {"init", broken}).exitCode, 0);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "break");
        db.setDatabaseName(QDir(broken).filePath("profile.db"));
        QVERIFY(db.open());
        QVERIFY(QSqlQuery(db).exec("drop table profile"));
        QVERIFY(QSqlQuery(db).exec("create table other (x)"));
        db.close();
    }
    QSqlDatabase::removeDatabase("break");
    // Start-up tells it, with the database's reason, and nothing is written.
    const ToolResult failed = runTool("qvprofile", {"-C", broken, "set", "hospital", "x"});
    QCOMPARE(failed.exitCode, 2);
    QVERIFY2(!failed.err.contains(".cpp:"), failed.err.constData());
    QVERIFY2(failed.err.contains("Cannot load the profile ./profile.db\nno such table: profile"), failed.err.constData());
    QVERIFY2(failed.err.contains("nothing was read or written in " + QDir(broken).absolutePath().toUtf8()),
             failed.err.constData());
}

void tst_ToolsProfile::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");  // in stdout or stderr

    QTest::newRow("mistyped name, set") << QStringList{"set", "hospitl", "x"} << 6
                                        << QByteArray("\"hospitl\" is not a named setting; the closest is hospital");
    QTest::newRow("mistyped name, get") << QStringList{"get", "colour_of_waiting"} << 6
                                        << QByteArray("the closest is color_of_waiting");
    QTest::newRow("mistyped name, remove") << QStringList{"remove", "qc_metod"} << 6 << QByteArray("closest is qc_method");
    QTest::newRow("unknown option") << QStringList{"--forse", "set", "hospital", "x"} << 1
                                    << QByteArray("unknown option --forse (did you mean --force?)");
    QTest::newRow("--json for get") << QStringList{"--json", "get", "hospital"} << 1 << QByteArray("--json is for");
    QTest::newRow("not a boolean: the words taken are named")
        << QStringList{"set", "is_touch_screen", "maybe"} << 4
        << QByteArray("maybe is not a boolean (true/false, yes/no, on/off or 1/0)");
}

void tst_ToolsProfile::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    const ToolResult r = runTool("qvprofile", QStringList{"--dir=" + m_work} + args);
    QVERIFY2(r.exitCode == exitCode, r.err.constData());
    QVERIFY2((r.out + r.err).contains(message), (r.out + r.err).constData());
}

void tst_ToolsProfile::everyToolFollowsTheConventions_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("name");
    const QString bin = QStringLiteral(QV_BINARY_DIR);
    for (const char *tool : {"qvlink", "qvprofile", "qvcurve"})
        QTest::newRow(tool) << toolPath(tool) << tool;
    QTest::newRow("qvsim") << bin + "/simulator/qvsim" << "qvsim";
    QTest::newRow("profileeditor") << bin + "/examples/profileeditor/profileeditor" << "profileeditor";
}

// --help on stdout with exit 0 and the exit codes, --version, unknown options refused.
void tst_ToolsProfile::everyToolFollowsTheConventions()
{
    QFETCH(QString, program);
    QFETCH(QString, name);
    ToolResult r = runProgram(program, {"--help"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.startsWith("usage: " + name.toUtf8() + " "));
    QVERIFY(r.out.contains("\nExit codes:\n    0  "));
    QVERIFY(r.err.isEmpty());
    r = runProgram(program, {"--version"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.text(), name + " 1.0.0\n");
    r = runProgram(program, {"--no-such-option"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.contains("unknown option --no-such-option"), r.err.constData());
}

QTEST_GUILESS_MAIN(tst_ToolsProfile)
#include "tst_toolsprofile.moc"
