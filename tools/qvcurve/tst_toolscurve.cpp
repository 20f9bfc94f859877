#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QTemporaryDir>
#include <QtGui/QImage>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

#include <clotcurve.h>
#include <toolrunner.h>

// qvcurve as a process against a working directory made by qvprofile: stored
// curves listed, exported as CSV (checked against the library's conversion) and
// as a PNG whose size and drawn pixels are checked.
class tst_ToolsCurve : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listsStoredCurves();
    void exportsCsv();
    void exportsPng_data();
    void exportsPng();
    void failures_data();
    void failures();
    void concurrentDemosSayWhatTheyStored();

private:
    ToolResult curve(const QStringList &args) { return runTool("qvcurve", QStringList{"-C", m_work} + args); }
    void insert(const QByteArray &blob, qint64 patient, const QString &item);

    QTemporaryDir m_dir;
    QString m_work;
    ClotCurve m_od;
};

void tst_ToolsCurve::insert(const QByteArray &blob, qint64 patient, const QString &item)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "insert");
        db.setDatabaseName(QDir(m_work).filePath("data.db"));
        QVERIFY(db.open());
        QSqlQuery q(db);
        q.prepare("insert into curve (patientId, item, version, curve) values (?, ?, 2, ?)");
        q.addBindValue(patient);
        q.addBindValue(item);
        q.addBindValue(blob);
        QVERIFY(q.exec());
    }
    QSqlDatabase::removeDatabase("insert");
}

void tst_ToolsCurve::initTestCase()
{
    QVERIFY(QFile::exists(toolPath("qvcurve")));
    m_work = m_dir.filePath("work");
    QCOMPARE(runTool("qvprofile", {"init", m_work}).exitCode, 0);

    const ToolResult r = curve({"demo", "--patient", "12", "--item", "APTT"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.text().startsWith("stored curve 1: patient 12, APTT, version 1, 600 points"));

    m_od.setType(ClotCurve::OpticalDensity);
    m_od.append(0.0, 0.5, {0.0, 0.1, 0.4});
    m_od.append(10.0, 1.0, {0.5});
    insert(m_od.toBuffer(), 13, "FIB");
    insert(m_od.toBuffer().left(30), 14, "TT");  // cut short
}

void tst_ToolsCurve::listsStoredCurves()
{
    const ToolResult r = curve({"list"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.lines(), QStringList({"id\tpatient\titem\tversion\ttype\tpoints",
                                     "1\t12\tAPTT\t1\traw\t600",
                                     "2\t13\tFIB\t2\tod\t4",
                                     "3\t14\tTT\t2\tod\t0 (damaged)"}));
    // --db names the file directly
    QCOMPARE(runTool("qvcurve", {"--db", QDir(m_work).filePath("data.db"), "list"}).lines(), r.lines());

    const ToolResult json = curve({"list", "--json"});
    QCOMPARE(json.exitCode, 0);
    const QJsonObject o = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(o.value("curves").toArray().size(), 3);
    QCOMPARE(o.value("curves").toArray().at(2).toObject(),
             QJsonObject({{"id", 3}, {"patient", 14}, {"item", "TT"}, {"version", 2}, {"type", "od"}, {"points", 0},
                          {"damaged", true}}));
}

void tst_ToolsCurve::exportsCsv()
{
    ToolResult r = curve({"export", "1"});
    QCOMPARE(r.exitCode, 0);
    QStringList rows = r.lines();
    QCOMPARE(rows.size(), 601);
    QCOMPARE(rows.first(), QString("point,x,raw,od"));

    // the od column is the library's conversion of the raw column
    ClotCurve raw;
    QVector<double> y;
    for (int i = 1; i < rows.size(); ++i) {
        const QStringList f = rows.at(i).split(',');
        QCOMPARE(f.size(), 4);
        QCOMPARE(f.at(0).toInt(), i - 1);
        QVERIFY(qAbs(f.at(1).toDouble() - (i - 1) * 0.1) < 1e-9);
        y.append(f.at(2).toDouble());
    }
    raw.append(0.0, 0.1, y);
    const ClotCurve od = raw.toType(ClotCurve::OpticalDensity);
    for (int i : {0, 34, 35, 200, 599})
        QVERIFY2(qAbs(rows.at(i + 1).split(',').at(3).toDouble() - od.y(i)) < 1e-6, qPrintable(rows.at(i + 1)));
    QVERIFY(od.y(599) > 0.3);

    // a curve stored as optical density has no raw column
    const QString file = m_dir.filePath("od.csv");
    r = curve({"export", "2", "--csv", file});
    QCOMPARE(r.exitCode, 0);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("point,x,raw,od\n0,0,,0\n1,0.5,,0.1\n2,1,,0.4\n3,10,,0.5\n"));

    // A relative path is the user's, not the working directory's; the full path is said.
    r = runTool("qvcurve", {"-C", "work", "export", "2", "--csv", "relative.csv"}, m_dir.path());
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.text(), "wrote " + m_dir.filePath("relative.csv") + " (4 points)\n");
    QVERIFY(QFile::exists(m_dir.filePath("relative.csv")));
}

void tst_ToolsCurve::exportsPng_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QStringList>("size");
    QTest::addColumn<QSize>("expected");
    QTest::addColumn<bool>("rawPlot");   // whether the upper panel holds a line
    QTest::addColumn<bool>("marked");    // whether both panels mark the clotting time
    QTest::newRow("raw, default size") << "1" << QStringList() << QSize(800, 600) << true << false;
    QTest::newRow("raw, 400x300") << "1" << QStringList({"--size", "400x300"}) << QSize(400, 300) << true << false;
    QTest::newRow("optical density") << "2" << QStringList() << QSize(800, 600) << false << false;
    QTest::newRow("clotting time, 1200x500") << "1" << QStringList({"--size", "1200x500", "--clotting-time", "12.5"})
                                             << QSize(1200, 500) << true << true;
    QTest::newRow("clotting time, 3200x2400")
        << "1" << QStringList({"--size", "3200x2400", "--clotting-time", "30"}) << QSize(3200, 2400) << true << true;
    QTest::newRow("not clotted: nothing to mark")
        << "1" << QStringList({"--clotting-time", "999.9"}) << QSize(800, 600) << true << false;
}

void tst_ToolsCurve::exportsPng()
{
    QFETCH(QString, id);
    QFETCH(QStringList, size);
    QFETCH(QSize, expected);
    QFETCH(bool, rawPlot);
    QFETCH(bool, marked);
    const QString file = m_dir.filePath(QString("curve%1-%2.png").arg(id, QTest::currentDataTag()).replace(' ', '_'));
    const ToolResult r = curve(QStringList{"export", id, "--png", file} + size);
    QCOMPARE(r.exitCode, 0);
    QImage image(file);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), expected);

    // The line colour appears in the panel that has values, the mark's red-brown where the
    // clotting time is marked; text and axes are black.
    auto lineAndInk = [&image](int top, int bottom, int *line, int *mark, int *ink) {
        *line = *mark = *ink = 0;
        for (int y = top; y < bottom; ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.blue() > 150 && c.red() < 100)
                    ++*line;
                else if (c.red() > 150 && c.green() < 90 && c.blue() < 60)
                    ++*mark;
                else if (c != Qt::white)
                    ++*ink;
            }
        }
    };
    int line = 0, mark = 0, ink = 0;
    const int half = image.height() / 2;
    lineAndInk(0, half, &line, &mark, &ink);
    QVERIFY(ink > 500);
    QCOMPARE(line > 100, rawPlot);
    QCOMPARE(mark > 100, marked);
    lineAndInk(half, image.height(), &line, &mark, &ink);
    QVERIFY(ink > 500);
    QVERIFY(line > 100);
    QCOMPARE(mark > 100, marked);
}

void tst_ToolsCurve::failures_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("no such curve") << QStringList({"export", "99"}) << 3 << QByteArray("no curve with id 99");
    // What could be read is exported, but a damaged curve is no success.
    QTest::newRow("damaged curve") << QStringList({"export", "3"}) << 4 << QByteArray("curve 3 is damaged");
    QTest::newRow("id not a number") << QStringList({"export", "one"}) << 1 << QByteArray("export takes the id");
    QTest::newRow("bad size") << QStringList({"export", "1", "--size", "10x10", "--png", "x.png"}) << 1
                              << QByteArray("--size");
    QTest::newRow("clotting time not a time") << QStringList({"export", "1", "--png", "x.png", "--clotting-time", "nan"})
                                              << 1 << QByteArray("--clotting-time takes the time in seconds");
    QTest::newRow("unwritable file") << QStringList({"export", "1", "--csv", "/nonexistent/dir/c.csv"}) << 5
                                     << QByteArray("cannot write");
    QTest::newRow("unknown command") << QStringList({"plot"}) << 1 << QByteArray("unknown command plot");
    QTest::newRow("unknown option") << QStringList({"export", "1", "--svg", "x.svg"}) << 1
                                    << QByteArray("unknown option --svg");
    QTest::newRow("--name=value") << QStringList({"export", "1", "--csv=/nonexistent/dir/c.csv"}) << 5
                                  << QByteArray("cannot write /nonexistent/dir/c.csv");
    QTest::newRow("disk full") << QStringList({"export", "1", "--csv", "/dev/full"}) << 5
                               << QByteArray("cannot write /dev/full: No space left on device");
    QTest::newRow("an option of another command") << QStringList({"list", "--patient", "3"}) << 1
                                                  << QByteArray("are for demo");
}

void tst_ToolsCurve::failures()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    const ToolResult r = curve(args);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(message), r.err.constData());

    QTemporaryDir empty;
    const ToolResult none = runTool("qvcurve", {"-C", empty.path(), "list"});
    QCOMPARE(none.exitCode, 2);
    QVERIFY(none.err.contains("no data database"));
    QCOMPARE(runTool("qvcurve", {"--db", empty.filePath("missing.db"), "list"}).exitCode, 2);
    QVERIFY(!QFile::exists(empty.filePath("missing.db")));
}

// Started at once, each demo either stores its own row and names it, or stores
// nothing and says so; the curve follows the test item.
void tst_ToolsCurve::concurrentDemosSayWhatTheyStored()
{
    QTemporaryDir dir;
    QCOMPARE(runTool("qvprofile", {"init", dir.filePath("work")}).exitCode, 0);
    const QStringList items = {"PT", "APTT", "TT", "FIB"};
    QList<QProcess *> demos;
    for (int i = 0; i < 8; ++i) {
        auto *p = new QProcess(this);
        p->start(toolPath("qvcurve"), {"-C", dir.filePath("work"), "demo", "--patient", QString::number(100 + i),
                                       "--item", items.at(i % 4)});
        demos.append(p);
    }
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "demos");
    db.setDatabaseName(dir.filePath("work/data.db"));
    QVERIFY(db.open());
    QSet<qint64> ids;
    QMap<QString, QByteArray> curveOfItem;
    for (int i = 0; i < demos.size(); ++i) {
        QProcess *p = demos.at(i);
        QVERIFY(p->waitForFinished(30000));
        const QString said = QString::fromUtf8(p->readAllStandardOutput());
        if (p->exitCode() != 0) {
            QVERIFY(said.isEmpty());
            QVERIFY(p->readAllStandardError().contains("nothing was stored"));
            continue;
        }
        const QRegularExpressionMatch m =
            QRegularExpression("^stored curve (\\d+): patient (\\d+), (\\w+),").match(said);
        QVERIFY2(m.hasMatch(), qPrintable(said));
        QSqlQuery q(db);
        q.prepare("select patientId, item, curve from curve where rowid = ?");
        q.addBindValue(m.captured(1).toLongLong());
        QVERIFY(q.exec() && q.next());
        QCOMPARE(q.value(0).toInt(), 100 + i);
        QCOMPARE(q.value(1).toString(), items.at(i % 4));
        ids.insert(m.captured(1).toLongLong());
        const QByteArray blob = q.value(2).toByteArray();
        QCOMPARE(curveOfItem.value(items.at(i % 4), blob), blob);
        curveOfItem.insert(items.at(i % 4), blob);
    }
    QSqlQuery count(db);
    QVERIFY(count.exec("select count(*) from curve") && count.next());
    QCOMPARE(count.value(0).toInt(), ids.size());
    QCOMPARE(QSet<QByteArray>(curveOfItem.cbegin(), curveOfItem.cend()).size(), curveOfItem.size());
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase("demos");
    qDeleteAll(demos);
}

QTEST_MAIN(tst_ToolsCurve)
#include "tst_toolscurve.moc"
