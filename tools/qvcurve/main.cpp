// qvcurve: lists the curves of a data database and exports one as CSV and PNG.

#include "curveplot.h"

#include <clotcurve.h>
#include <commandline.h>
#include <profile.h>
#include <qvglobal.h>
#include <toolmessages.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QGuiApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

#include <cmath>

namespace {

enum ExitCode { Ok = CommandLine::OkExit, DatabaseError = 2, NotFound = 3, Damaged = 4, WriteFailed = 5 };

CommandLine curveCommandLine()
{
    CommandLine line(QStringLiteral("qvcurve"), QStringLiteral("[options] COMMAND [ARGS]"));
    line.setDescription(QStringLiteral("Lists the clotting curves of a data database, exports one as CSV and PNG, and\n"
                                       "stores simulated ones."));
    line.addOptions({
        {"dir", "DIR", "the data database of the working directory DIR (its settings.ini)", QLatin1Char('C')},
        {"db", "FILE", "a data database file"},
        {"json", "", "list: one JSON object on stdout"},
        {"", "", "export:"},
        {"csv", "FILE", "the curve as CSV (point, x, raw, od); - for stdout, the default"},
        {"png", "FILE", "a plot of raw signal and optical density over time"},
        {"size", "WxH", "the plot's size (800x600; 200x200 to 8000x8000)"},
        {"clotting-time", "S", "the clotting time the curve's result gives, in seconds: marked on the plot"},
        {"", "", "demo:"},
        {"patient", "N", "the patient id (1)"},
        {"item", "NAME", "the test item (PT); each item clots at its own time"},
        {"curve-version", "N", "the curve's version (1)"},
    });
    line.setCommands({
        {"list", "", "the stored curves: id, patient, item, version, type, points"},
        {"export", "ID", "one curve; file names are taken relative to the directory\n"
                         "qvcurve was started in, also with -C"},
        {"demo", "", "store a simulated clotting curve of 60 s"},
    });
    line.setOptionScopes({
        {{"csv", "png", "size", "clotting-time"}, {"export"}},
        {{"patient", "item", "curve-version"}, {"demo"}},
        {{"json"}, {"list"}},
    });
    line.setExitCodes({{DatabaseError, "no data database, or the curve could not be stored (nothing was)"},
                       {NotFound, "no curve with that id"},
                       {Damaged, "export: the curve is damaged (what could be read was exported)"},
                       {WriteFailed, "an export file could not be written"}});
    return line;
}

int usage(const QString &message)
{
    return curveCommandLine().usageError(message);
}

const char *const DirectConnection = "qvcurve";

int openDatabase(const QString &dir, const QString &file, QSqlDatabase *db)
{
    if (!file.isEmpty()) {
        if (!QFile::exists(file)) {
            toolErr() << "qvcurve: " << file << " does not exist\n";
            return DatabaseError;
        }
        *db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(DirectConnection));
        db->setDatabaseName(file);
        // Other programs may be writing the same file: wait for their locks.
        db->setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
        if (!db->open()) {
            toolErr() << "qvcurve: " << file << ": " << db->lastError().text() << "\n";
            return DatabaseError;
        }
        return Ok;
    }
    if (!dir.isEmpty() && !QDir::setCurrent(dir)) {
        toolErr() << "qvcurve: cannot enter " << dir << "\n";
        return DatabaseError;
    }
    // settings.ini of the working directory chooses the language of the store's texts.
    installTranslators(QStringLiteral("en"));
    int problems = 0;
    setMessageBoxHandler([&problems](QMessageBox::Icon, const QString &, const QString &text,
                                     QMessageBox::StandardButtons, QMessageBox::StandardButton) {
        toolErr() << "qvcurve: " << text << "\n";
        ++problems;
        return QMessageBox::Ok;
    });
    *db = Profile::instance().dataDatabase();
    setMessageBoxHandler(MessageBoxHandler());
    if (problems || !db->isOpen()) {
        toolErr() << "qvcurve: no data database in " << QDir::currentPath()
              << " (make a working directory with: qvprofile init DIR, or name a file with --db)\n";
        return DatabaseError;
    }
    return Ok;
}

QString typeText(int type)
{
    return type == ClotCurve::RawSignal ? QStringLiteral("raw")
         : type == ClotCurve::OpticalDensity ? QStringLiteral("od")
         : QString::number(type);
}

QString databaseFile(const QSqlDatabase &db)
{
    return QFileInfo(db.databaseName()).absoluteFilePath();
}

int listCurves(QSqlDatabase &db, bool json)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("select rowid, patientId, item, version, curve from curve order by rowid"))) {
        toolErr() << "qvcurve: " << databaseFile(db) << ": " << query.lastError().text() << "\n";
        return DatabaseError;
    }
    QJsonArray curves;
    if (!json)
        toolOut() << "id\tpatient\titem\tversion\ttype\tpoints\n";
    while (query.next()) {
        bool ok = false;
        const ClotCurve c = ClotCurve::fromBuffer(query.value(4).toByteArray(), &ok);
        if (json) {
            curves.append(QJsonObject{{"id", query.value(0).toLongLong()}, {"patient", query.value(1).toLongLong()},
                                      {"item", query.value(2).toString()}, {"version", query.value(3).toInt()},
                                      {"type", typeText(c.type())}, {"points", c.size()}, {"damaged", !ok}});
            continue;
        }
        toolOut() << query.value(0).toLongLong() << '\t' << query.value(1).toLongLong() << '\t'
              << query.value(2).toString() << '\t' << query.value(3).toInt() << '\t'
              << typeText(c.type()) << '\t' << c.size() << (ok ? "" : " (damaged)") << '\n';
    }
    if (json)
        toolOut() << QJsonDocument(QJsonObject{{"command", "list"}, {"file", databaseFile(db)}, {"curves", curves}})
                     .toJson(QJsonDocument::Compact)
              << '\n';
    return Ok;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    // A full disk shows at the flush, not at the write into the buffer.
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size() || !f.flush()) {
        toolErr() << "qvcurve: cannot write " << path << ": " << f.errorString() << "\n";
        return false;
    }
    return true;
}

struct ExportRequest {
    qint64 id = 0;
    QString csv, png;  // absolute paths, or "-" for stdout
    int width = 800, height = 600;
    AnalysisResult result;  // the curve's result, when given: its clotting time is marked
};

// Export file names are the user's: relative to where qvcurve was started, not
// to the working directory -C chose.
QString userPath(const QDir &startDir, const QString &name)
{
    return name == QLatin1String("-") ? name : QDir::cleanPath(startDir.absoluteFilePath(name));
}

int parseExport(const CommandLine &line, const QStringList &args, const QDir &startDir, ExportRequest *r)
{
    bool ok = false;
    r->id = args.value(0).toLongLong(&ok);
    if (!ok)
        return usage(QStringLiteral("export takes the id of a curve"));
    if (line.isSet("size")) {
        const QStringList wh = line.value("size").split('x');
        bool okw = false, okh = false;
        if (wh.size() == 2) {
            r->width = wh.at(0).toInt(&okw);
            r->height = wh.at(1).toInt(&okh);
        }
        if (!okw || !okh || r->width < 200 || r->height < 200 || r->width > 8000 || r->height > 8000)
            return usage(QStringLiteral("--size takes WxH between 200x200 and 8000x8000"));
    }
    if (line.isSet("clotting-time")) {
        bool ok = false;
        const double seconds = line.value("clotting-time").toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds < 0)
            return usage(QStringLiteral("--clotting-time takes the time in seconds, such as 31.5"));
        r->result = AnalysisResult(seconds);
    }
    if ((line.isSet("csv") && line.value("csv").isEmpty()) || (line.isSet("png") && line.value("png").isEmpty()))
        return usage(QStringLiteral("--csv and --png need a file name"));
    r->csv = line.isSet("csv") ? userPath(startDir, line.value("csv")) : QString();
    r->png = line.isSet("png") ? userPath(startDir, line.value("png")) : QString();
    if (r->png == QLatin1String("-"))
        return usage(QStringLiteral("--png needs a file name"));
    if (r->csv.isEmpty() && r->png.isEmpty())
        r->csv = QStringLiteral("-");
    return Ok;
}

int exportCurve(QSqlDatabase &db, const ExportRequest &r)
{
    QSqlQuery query(db);
    // A statement that did not prepare is not executed: its error is the reason.
    const bool prepared =
        query.prepare(QStringLiteral("select patientId, item, version, curve from curve where rowid = ?"));
    query.addBindValue(r.id);
    if (!prepared || !query.exec()) {
        toolErr() << "qvcurve: " << databaseFile(db) << ": " << query.lastError().text() << "\n";
        return DatabaseError;
    }
    if (!query.next()) {
        toolErr() << "qvcurve: no curve with id " << r.id << " in " << databaseFile(db) << "\n";
        return NotFound;
    }
    bool intact = false;
    const ClotCurve curve = ClotCurve::fromBuffer(query.value(3).toByteArray(), &intact);
    if (!intact)
        toolErr() << "qvcurve: curve " << r.id << " is damaged; exporting what could be read\n";
    const QString title = QStringLiteral("curve %1: patient %2, %3, version %4")
                              .arg(r.id).arg(query.value(0).toLongLong())
                              .arg(query.value(1).toString()).arg(query.value(2).toInt());
    if (r.csv == "-") {
        toolOut() << curveCsv(curve);
    } else if (!r.csv.isEmpty()) {
        if (!writeFile(r.csv, curveCsv(curve)))
            return WriteFailed;
        toolOut() << "wrote " << r.csv << " (" << curve.size() << " points)\n";
    }
    if (!r.png.isEmpty()) {
        const QImage image = plotCurve(curve, title, r.width, r.height, r.result);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG") || !writeFile(r.png, png))
            return WriteFailed;
        toolOut() << "wrote " << r.png << " (" << r.width << "x" << r.height << ")\n";
    }
    // What was exported is only the part that could be read: not a success.
    return intact ? Ok : Damaged;
}

// How a test item's sample clots in the demo: the time its signal falls, and by
// how much. Items not listed clot at a time of their own, derived from the name.
struct DemoItem {
    const char *item;
    double clotSeconds;
    double drop;
};

const DemoItem demoItems[] = {
    {"PT", 12.0, 480.0},
    {"APTT", 31.0, 520.0},
    {"TT", 16.0, 430.0},
    {"FIB", 8.0, 600.0},
};

DemoItem demoItem(const QString &item)
{
    for (const DemoItem &d : demoItems) {
        if (item.compare(QLatin1String(d.item), Qt::CaseInsensitive) == 0)
            return d;
    }
    const uint h = qHash(item.toUpper());
    return {nullptr, 10.0 + h % 300 / 10.0, 400.0 + h % 200};
}

// A recording of 60 s at 10 points per second: a steady signal that falls as the
// clot forms, with a little ripple.
ClotCurve demoCurve(const QString &item)
{
    const DemoItem d = demoItem(item);
    QVector<double> y;
    for (int i = 0; i < 600; ++i) {
        const double t = i * 0.1;
        y.append(1000.0 - d.drop / (1.0 + std::exp(-(t - d.clotSeconds) / 1.8)) + 4.0 * std::sin(t * 3.0));
    }
    ClotCurve c;
    c.append(0.0, 0.1, y);
    return c;
}

// The id SQLite gave the last row this connection inserted: 0 before any, and
// unchanged by a failed insert or by other processes' inserts.
qint64 lastInsertedRow(QSqlDatabase &db)
{
    QSqlQuery q(db);
    return q.exec(QStringLiteral("select last_insert_rowid()")) && q.next() ? q.value(0).toLongLong() : -1;
}

int storeDemo(QSqlDatabase &db, bool direct, const CommandLine &line)
{
    qint64 patient = 1;
    int version = 1;
    const QString item = line.isSet("item") ? line.value("item") : QStringLiteral("PT");
    bool ok = true;
    if (line.isSet("patient"))
        patient = line.value("patient").toLongLong(&ok);
    if (!ok)
        return usage(QStringLiteral("--patient takes a number"));
    if (line.isSet("curve-version"))
        version = line.value("curve-version").toInt(&ok);
    if (!ok)
        return usage(QStringLiteral("--curve-version takes a number"));
    if (item.isEmpty())
        return usage(QStringLiteral("--item needs a name"));

    const ClotCurve c = demoCurve(item);
    const qint64 before = lastInsertedRow(db);
    bool written = true;
    if (direct) {
        QSqlQuery query(db);
        written = query.prepare(
            QStringLiteral("insert into curve (patientId, item, version, curve) values(?, ?, ?, ?)"));
        query.addBindValue(patient);
        query.addBindValue(item);
        query.addBindValue(version);
        query.addBindValue(c.toBuffer());
        written = written && query.exec();
        if (!written)
            toolErr() << "qvcurve: " << databaseFile(db) << ": " << query.lastError().text() << "\n";
    } else {
        written = c.save(patient, item, version);
    }
    // The row id this connection inserted last names this insert's row, whatever
    // other programs write to the file meanwhile.
    const qint64 id = lastInsertedRow(db);
    if (!written || id <= 0 || id == before) {
        toolErr() << "qvcurve: the curve could not be stored in " << databaseFile(db) << "; nothing was stored\n";
        return DatabaseError;
    }
    toolOut() << "stored curve " << id << ": patient " << patient << ", " << item << ", version " << version << ", "
          << c.size() << " points, in " << databaseFile(db) << "\n";
    return Ok;
}

int run(const CommandLine &line)
{
    QStringList args;
    QString command, error;
    if (!line.takeCommand(&command, &args, &error))
        return usage(error);
    const QDir startDir = QDir::current();
    ExportRequest request;
    if (command == "export") {
        if (const int rc = parseExport(line, args, startDir, &request))
            return rc;
    }
    const QString file = line.isSet("db") ? userPath(startDir, line.value("db")) : QString();
    QSqlDatabase db;
    if (const int rc = openDatabase(line.value("dir"), file, &db))
        return rc;
    if (command == "list")
        return listCurves(db, line.isSet("json"));
    if (command == "export")
        return exportCurve(db, request);
    return storeDemo(db, !file.isEmpty(), line);
}

} // namespace

int main(int argc, char **argv)
{
    // The command line first, so that --help and --version start no GUI.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    CommandLine line = curveCommandLine();
    const int finished = line.finish(line.parse(arguments));
    if (finished >= 0)
        return finished;
    // The plot is drawn offscreen; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qvcurve"));
    installToolMessageHandler();
    setDefaultCodec();
    const int rc = run(line);
    toolOut().flush();
    toolErr().flush();
    return rc;
}
