#include "profilesandbox.h"

#include <QtCore/QDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

#include <messageboxrecorder.h>
#include <profile.h>

ProfileSandbox::ProfileSandbox() : m_previous(QDir::currentPath())
{
    if (!m_dir.isValid() || !QDir::setCurrent(m_dir.path()))
        return;
    m_valid = exec("profile.db", "create table profile (name text primary key, value)")
              && exec("data.db", "create table curve (patientId integer, item text, version integer, curve blob)")
              && exec("qc.db", "create table qc (id integer)")
              && exec("syslog.db", "create table syslog (id integer)");
    MessageBoxRecorder boxes;
    Profile::instance();
    m_boxes = boxes.count();
}

ProfileSandbox::~ProfileSandbox()
{
    QDir::setCurrent(m_previous);
}

bool ProfileSandbox::exec(const QString &file, const QString &sql) const
{
    const QString name = QStringLiteral("sandbox:") + file;
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(QDir(m_dir.path()).filePath(file));
        if (db.open()) {
            QSqlQuery query(db);
            ok = query.exec(sql);
            if (!ok)
                qWarning("ProfileSandbox: %s: %s", qPrintable(sql), qPrintable(query.lastError().text()));
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}
