#include "workdir.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

namespace {

struct DatabaseFile {
    const char *key;
    const char *file;
    QStringList statements;
};

QList<DatabaseFile> schema()
{
    return {
        {"db/profile", "profile.db",
         {"create table profile (name text not null unique, value)"}},
        {"db/data", "data.db",
         {"create table patient (id integer primary key autoincrement, sampleNo text, date text,"
          " name text, sex text, age integer, item text)",
          "create index patient_date on patient (date)",
          "create table curve (id integer primary key autoincrement, patientId integer, item text,"
          " version integer, curve blob)",
          "create index curve_patient on curve (patientId)"}},
        {"db/qc", "qc.db",
         {"create table qc (id integer primary key autoincrement, item text, lot text, date text,"
          " value real)"}},
        {"db/syslog", "syslog.db",
         {"create table syslog (id integer primary key autoincrement, time text, level integer,"
          " message text)"}},
    };
}

bool runStatements(const QString &path, const QStringList &statements, QString *error)
{
    const QString name = QStringLiteral("qvprofile:") + path;
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (!db.open()) {
            *error = QStringLiteral("%1: %2").arg(path, db.lastError().text());
            ok = false;
        }
        QSqlQuery query(db);
        for (int i = 0; ok && i < statements.size(); ++i) {
            if (!query.exec(statements.at(i))) {
                *error = QStringLiteral("%1: %2").arg(path, query.lastError().text());
                ok = false;
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace

bool createWorkDirectory(const QString &path, QString *error)
{
    QDir dir(path);
    if (!dir.mkpath(QStringLiteral("."))) {
        *error = QStringLiteral("cannot create the directory %1").arg(path);
        return false;
    }
    const QList<DatabaseFile> files = schema();
    for (const DatabaseFile &f : files) {
        if (QFileInfo::exists(dir.filePath(f.file))) {
            *error = QStringLiteral("%1 already exists; nothing was changed").arg(dir.filePath(f.file));
            return false;
        }
    }
    if (QFileInfo::exists(dir.filePath(QStringLiteral("settings.ini")))) {
        *error = QStringLiteral("%1 already exists; nothing was changed").arg(dir.filePath("settings.ini"));
        return false;
    }
    for (const DatabaseFile &f : files) {
        if (!runStatements(dir.filePath(f.file), f.statements, error))
            return false;
    }
    QSettings ini(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    for (const DatabaseFile &f : files)
        ini.setValue(QLatin1String(f.key), QLatin1String(f.file));
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot write %1").arg(ini.fileName());
        return false;
    }
    return true;
}
