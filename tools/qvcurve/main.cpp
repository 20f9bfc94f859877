// qvcurve: lists the curves of a data database and exports one as CSV and PNG.

#include "curveplot.h"

#include <clotcurve.h>
#include <profile.h>
#include <qvglobal.h>

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

#include <cmath>

namespace {

enum ExitCode {
    Ok = 0,
    UsageError = 1,
    DatabaseError = 2,
    NotFound = 3,
    WriteFailed = 5
};

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

int usage()
{
    err() << "usage: qvcurve [-C DIR | --db FILE] COMMAND\n"
             "  list                          the stored curves: id, patient, item, version,\n"
             "                                type, points\n"
             "  export ID [--csv FILE] [--png FILE] [--size WxH]\n"
             "                                one curve as CSV (point, x, raw, od) and as a plot\n"
             "                                of raw signal and optical density (800x600)\n"
             "  demo [--patient N] [--item NAME] [--version N]\n"
             "                                store a simulated clotting curve\n"
             "  -C DIR      the data database of the working directory DIR (settings.ini)\n"
             "  --db FILE   a data database file\n";
    err().flush();
    return UsageError;
}

const char *const DirectConnection = "qvcurve";

int openDatabase(const QString &dir, const QString &file, QSqlDatabase *db)
{
    if (!file.isEmpty()) {
        if (!QFile::exists(file)) {
            err() << "qvcurve: " << file << " does not exist\n";
            return DatabaseError;
        }
        *db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(DirectConnection));
        db->setDatabaseName(file);
        if (!db->open()) {
            err() << "qvcurve: " << file << ": " << db->lastError().text() << "\n";
            return DatabaseError;
        }
        return Ok;
    }
    if (!dir.isEmpty() && !QDir::setCurrent(dir)) {
        err() << "qvcurve: cannot enter " << dir << "\n";
        return DatabaseError;
    }
    int problems = 0;
    setMessageBoxHandler([&problems](QMessageBox::Icon, const QString &, const QString &text,
                                     QMessageBox::StandardButtons, QMessageBox::StandardButton) {
        err() << "qvcurve: " << text << "\n";
        ++problems;
        return QMessageBox::Ok;
    });
    *db = Profile::instance().dataDatabase();
    setMessageBoxHandler(MessageBoxHandler());
    if (problems || !db->isOpen()) {
        err() << "qvcurve: no data database in " << QDir::currentPath()
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

int listCurves(QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("select rowid, patientId, item, version, curve from curve order by rowid"))) {
        err() << "qvcurve: " << query.lastError().text() << "\n";
        return DatabaseError;
    }
    out() << "id\tpatient\titem\tversion\ttype\tpoints\n";
    while (query.next()) {
        bool ok = false;
        const ClotCurve c = ClotCurve::fromBuffer(query.value(4).toByteArray(), &ok);
        out() << query.value(0).toLongLong() << '\t' << query.value(1).toLongLong() << '\t'
              << query.value(2).toString() << '\t' << query.value(3).toInt() << '\t'
              << typeText(c.type()) << '\t' << c.size() << (ok ? "" : " (damaged)") << '\n';
    }
    return Ok;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        err() << "qvcurve: cannot write " << path << ": " << f.errorString() << "\n";
        return false;
    }
    return true;
}

int exportCurve(QSqlDatabase &db, const QStringList &args)
{
    if (args.isEmpty())
        return usage();
    bool ok = false;
    const qint64 id = args.first().toLongLong(&ok);
    if (!ok)
        return usage();
    QString csv, png;
    int width = 800, height = 600;
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (i + 1 >= args.size())
            return usage();
        const QString v = args.at(++i);
        if (a == "--csv") {
            csv = v;
        } else if (a == "--png") {
            png = v;
        } else if (a == "--size") {
            const QStringList wh = v.split('x');
            bool okw = false, okh = false;
            if (wh.size() == 2) {
                width = wh.at(0).toInt(&okw);
                height = wh.at(1).toInt(&okh);
            }
            if (!okw || !okh || width < 200 || height < 200 || width > 8000 || height > 8000) {
                err() << "qvcurve: --size takes WxH between 200x200 and 8000x8000\n";
                return UsageError;
            }
        } else {
            return usage();
        }
    }
    if (csv.isEmpty() && png.isEmpty())
        csv = QStringLiteral("-");

    QSqlQuery query(db);
    query.prepare(QStringLiteral("select patientId, item, version, curve from curve where rowid = ?"));
    query.addBindValue(id);
    if (!query.exec()) {
        err() << "qvcurve: " << query.lastError().text() << "\n";
        return DatabaseError;
    }
    if (!query.next()) {
        err() << "qvcurve: no curve with id " << id << "\n";
        return NotFound;
    }
    bool intact = false;
    const ClotCurve curve = ClotCurve::fromBuffer(query.value(3).toByteArray(), &intact);
    if (!intact)
        err() << "qvcurve: curve " << id << " is damaged; exporting what could be read\n";
    const QString title = QStringLiteral("curve %1: patient %2, %3, version %4")
                              .arg(id).arg(query.value(0).toLongLong())
                              .arg(query.value(1).toString()).arg(query.value(2).toInt());
    if (csv == "-") {
        out() << curveCsv(curve);
    } else if (!csv.isEmpty()) {
        if (!writeFile(csv, curveCsv(curve)))
            return WriteFailed;
        out() << "wrote " << csv << " (" << curve.size() << " points)\n";
    }
    if (!png.isEmpty()) {
        const QImage image = plotCurve(curve, title, width, height);
        if (!image.save(png, "PNG")) {
            err() << "qvcurve: cannot write " << png << "\n";
            return WriteFailed;
        }
        out() << "wrote " << png << " (" << width << "x" << height << ")\n";
    }
    return Ok;
}

// A recording of 60 s at 10 points per second: a steady signal that falls as the
// clot forms around 20 s, with a little ripple.
ClotCurve demoCurve()
{
    QVector<double> y;
    for (int i = 0; i < 600; ++i) {
        const double t = i * 0.1;
        y.append(1000.0 - 550.0 / (1.0 + std::exp(-(t - 20.0) / 1.8)) + 4.0 * std::sin(t * 3.0));
    }
    ClotCurve c;
    c.append(0.0, 0.1, y);
    return c;
}

int storeDemo(QSqlDatabase &db, bool direct, const QStringList &args)
{
    qint64 patient = 1;
    QString item = QStringLiteral("PT");
    int version = 1;
    for (int i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size())
            return usage();
        bool ok = true;
        if (args.at(i) == "--patient")
            patient = args.at(i + 1).toLongLong(&ok);
        else if (args.at(i) == "--item")
            item = args.at(i + 1);
        else if (args.at(i) == "--version")
            version = args.at(i + 1).toInt(&ok);
        else
            return usage();
        if (!ok)
            return usage();
    }
    const ClotCurve c = demoCurve();
    QSqlQuery query(db);
    if (direct) {
        query.prepare(QStringLiteral("insert into curve (patientId, item, version, curve) values(?, ?, ?, ?)"));
        query.addBindValue(patient);
        query.addBindValue(item);
        query.addBindValue(version);
        query.addBindValue(c.toBuffer());
        if (!query.exec()) {
            err() << "qvcurve: " << query.lastError().text() << "\n";
            return DatabaseError;
        }
    } else {
        // The library's own insert; it reports failures only as warnings, so the
        // row count tells whether it went in.
        auto count = [&db] {
            QSqlQuery q(db);
            return q.exec(QStringLiteral("select count(*) from curve")) && q.next() ? q.value(0).toLongLong() : -1;
        };
        const qint64 before = count();
        c.save(patient, item, version);
        if (before < 0 || count() != before + 1) {
            err() << "qvcurve: the curve could not be stored\n";
            return DatabaseError;
        }
    }
    query.exec(QStringLiteral("select max(rowid) from curve"));
    out() << "stored curve " << (query.next() ? query.value(0).toLongLong() : 0) << ": patient " << patient
          << ", " << item << ", version " << version << ", " << c.size() << " points\n";
    return Ok;
}

int run(QStringList args)
{
    QString dir, file;
    while (args.size() >= 2 && (args.first() == "-C" || args.first() == "--dir" || args.first() == "--db")) {
        (args.first() == "--db" ? file : dir) = args.at(1);
        args = args.mid(2);
    }
    if (args.isEmpty() || args.first() == "-h" || args.first() == "--help" || args.first() == "help")
        return usage();
    const QString command = args.takeFirst();
    if (command != "list" && command != "export" && command != "demo")
        return usage();
    QSqlDatabase db;
    if (const int rc = openDatabase(dir, file, &db))
        return rc;
    if (command == "list")
        return args.isEmpty() ? listCurves(db) : usage();
    if (command == "export")
        return exportCurve(db, args);
    return storeDemo(db, !file.isEmpty(), args);
}

} // namespace

int main(int argc, char **argv)
{
    // The plot is drawn offscreen; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qvcurve"));
    setDefaultCodec();
    const int rc = run(app.arguments().mid(1));
    out().flush();
    err().flush();
    return rc;
}
