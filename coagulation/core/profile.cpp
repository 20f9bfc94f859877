#include "profile.h"
#include "profile_p.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtCore/QSettings>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

#include "qvglobal.h"

namespace {

const char ProfileConnection[] = "profile.db";
const char DataConnection[] = "data.db";
const char QcConnection[] = "qc.db";
const char SyslogConnection[] = "syslog.db";
const char ConnectOptions[] = "QSQLITE_BUSY_TIMEOUT=30000";

#define QV_LOG_SQL_ERROR(error) \
    qWarning("%s:%d: %s", __FILE__, __LINE__, qPrintable((error).text()))

// A fresh connection of that name; an earlier one of the same name is dropped
// first, which is what a second store means to do.
QSqlDatabase addConnection(const QString &name, const QString &path)
{
    if (QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    db.setConnectOptions(QLatin1String(ConnectOptions));
    return db;
}

// The form a value is bound in. The SQLite driver would bind a bool as 1 and
// an invalid colour as "#000000"; the profile keeps "true"/"false", a colour's
// name, and NULL for an invalid colour (as for a null string).
QVariant storedForm(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Bool:
        return QVariant(value.toBool() ? QStringLiteral("true") : QStringLiteral("false"));
    case QMetaType::QColor: {
        const QColor colour = qvariant_cast<QColor>(value);
        return colour.isValid() ? QVariant(colour.name()) : QVariant(QString());
    }
    default:
        return value;
    }
}

} // namespace

Profile &Profile::instance()
{
    static Profile profile;
    return profile;
}

Profile::Profile(QObject *parent)
    : QObject(parent)
{
    init(QStringLiteral("profile.db"));
}

Profile::Profile(const QString &profileName, QObject *parent)
    : QObject(parent)
{
    init(profileName);
}

Profile::~Profile() = default;

void Profile::init(const QString &profileName)
{
    d_ptr.reset(new ProfilePrivate);
    Q_D(Profile);
    d->workdir = QDir::current();

    const QSettings settings(QStringLiteral("settings.ini"), QSettings::IniFormat);
    const QString name = settings.value(QStringLiteral("db/profile"), profileName).toString();

    const QStringList searchPath = {QStringLiteral("."), QCoreApplication::applicationDirPath(),
                                    QStringLiteral("release")};
    QDir profileDir;
    bool found = false;
    for (const QString &path : searchPath) {
        const QDir dir(path);
        if (!name.isEmpty() && dir.exists(name)) {
            profileDir = dir;
            found = true;
            break;
        }
    }
    if (!found) {
        warning(tr("找不到配置文件 %1").arg(name), QMessageBox::Ok, QMessageBox::Ok);
        return;
    }

    const QString profilePath = profileDir.filePath(name);
    QSqlDatabase db = addConnection(QLatin1String(ProfileConnection), profilePath);
    if (!db.open())
        warning(tr("无法加载配置文件 %1\n%2").arg(profilePath, db.lastError().text()),
                QMessageBox::Ok, QMessageBox::Ok);
    if (db.tables(QSql::Tables).isEmpty())
        warning(tr("错误的配置文件 %1").arg(profilePath), QMessageBox::Ok, QMessageBox::Ok);

    if (db.isOpen()) {
        QSqlQuery query(db);
        if (query.exec(QStringLiteral("select name, value from profile"))) {
            CacheWriteLocker locker(d->lock);
            while (query.next())
                d->cache.insert(query.value(0).toString(), query.value(1));
        } else {
            QV_LOG_SQL_ERROR(query.lastError());
        }
    }
    db = QSqlDatabase();

    struct Other {
        const char *key;
        const char *connection;
    };
    static const Other others[] = {
        {"db/data", DataConnection},
        {"db/qc", QcConnection},
        {"db/syslog", SyslogConnection},
    };
    for (const Other &other : others) {
        const QString connection = QLatin1String(other.connection);
        const QString path = profileDir.filePath(
            settings.value(QLatin1String(other.key), connection).toString());
        QSqlDatabase odb = addConnection(connection, path);
        if (!odb.open())
            warning(tr("无法打开数据库文件 %1").arg(path), QMessageBox::Ok, QMessageBox::Ok);
        if (odb.tables(QSql::Tables).isEmpty())
            warning(tr("错误的数据库文件 %1").arg(path), QMessageBox::Ok, QMessageBox::Ok);
    }

    connect(this, &Profile::valueChanged, this, &Profile::saveValue, Qt::AutoConnection);
    connect(this, &Profile::keyRemoved, this, &Profile::removeKey, Qt::AutoConnection);
}

QDir Profile::workdir() const
{
    Q_D(const Profile);
    return d->workdir;
}

QSqlDatabase Profile::database() const
{
    return QSqlDatabase::database(QLatin1String(ProfileConnection), true);
}

QSqlDatabase Profile::dataDatabase() const
{
    return QSqlDatabase::database(QLatin1String(DataConnection), true);
}

QSqlDatabase Profile::qcDatabase() const
{
    return QSqlDatabase::database(QLatin1String(QcConnection), true);
}

QSqlDatabase Profile::syslogDatabase() const
{
    return QSqlDatabase::database(QLatin1String(SyslogConnection), true);
}

QVariant Profile::value(const QString &key, const QVariant &defaultValue)
{
    Q_D(Profile);
    {
        CacheReadLocker locker(d->lock);
        const auto it = d->cache.constFind(key);
        if (it != d->cache.constEnd())
            return it->isValid() ? *it : defaultValue;
    }
    // Record the miss, unless another thread stored a value in the meantime.
    CacheWriteLocker locker(d->lock);
    if (!d->cache.contains(key))
        d->cache.insert(key, QVariant());
    return defaultValue;
}

QVariant Profile::value2(const QString &key1, const QString &key2, const QVariant &defaultValue)
{
    const QVariant first = value(key1, QVariant());
    return first.isValid() ? first : value(key2, defaultValue);
}

QVariant Profile::value3(const QString &key1, const QString &key2, const QString &key3,
                         const QVariant &defaultValue)
{
    const QVariant first = value(key1, QVariant());
    return first.isValid() ? first : value2(key2, key3, defaultValue);
}

void Profile::setValue(const QString &key, const QVariant &value, bool save)
{
    Q_D(Profile);
    {
        CacheWriteLocker locker(d->lock);
        d->cache.insert(key, value);
    }
    if (save)
        Q_EMIT valueChanged(key, value);
}

void Profile::remove(const QString &key)
{
    Q_D(Profile);
    {
        CacheWriteLocker locker(d->lock);
        d->cache.remove(key);
    }
    Q_EMIT keyRemoved(key);
}

QStringList Profile::keys() const
{
    Q_D(const Profile);
    CacheWriteLocker locker(d->lock);
    return d->cache.keys();
}

void Profile::saveValue(const QString &key, const QVariant &value)
{
    QSqlQuery query(database());
    if (value.isValid()) {
        query.prepare(QStringLiteral("insert or replace into profile (name, value) values(?,?)"));
        query.addBindValue(key);
        query.addBindValue(storedForm(value));
    } else {
        query.prepare(QStringLiteral("delete from profile where name = ?"));
        query.addBindValue(key);
    }
    if (!query.exec())
        QV_LOG_SQL_ERROR(query.lastError());
}

void Profile::removeKey(const QString &key)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral("delete from profile where name = ?"));
    query.addBindValue(key);
    if (!query.exec())
        QV_LOG_SQL_ERROR(query.lastError());
}
