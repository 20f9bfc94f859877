#include "sqlitefile.h"

#include <QtCore/QDebug>
#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

bool execSqlite(const QString &path, const QStringList &statements)
{
    const QString name = QStringLiteral("qvtestsupport_sqlite");
    QDir().mkpath(QFileInfo(path).absolutePath());
    bool ok;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        ok = db.open();
        if (!ok)
            qWarning() << path << db.lastError().text();
        QSqlQuery query(db);
        for (const QString &statement : statements) {
            if (ok && !query.exec(statement)) {
                qWarning() << statement << query.lastError().text();
                ok = false;
            }
        }
        query.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}
