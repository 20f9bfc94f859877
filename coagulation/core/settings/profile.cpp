#include "profile.h"
#include "profile_p.h"
#include "profileitem_p.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtCore/QMetaObject>
#include <QtCore/QThread>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

#include "qvglobal.h"
#include "qvlogging_p.h"
#include "startupsettings_p.h"

namespace {

const char ProfileConnection[] = "profile.db";
const char DataConnection[] = "data.db";
const char QcConnection[] = "qc.db";
const char SyslogConnection[] = "syslog.db";
const char ConnectOptions[] = "QSQLITE_BUSY_TIMEOUT=30000";

// The other databases: key in "settings.ini", and connection name, which is
// also the default file name.
struct OtherDatabase {
    const char *key;
    const char *connection;
};
const OtherDatabase OtherDatabases[] = {
    {"db/data", DataConnection},
    {"db/qc", QcConnection},
    {"db/syslog", SyslogConnection},
};

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

// Opens a profile connection; a file that does not open, or holds no table,
// is shown to the user and start-up goes on.
void openProfile(QSqlDatabase &db, const QString &path)
{
    if (!db.open())
        warning(Profile::tr("无法加载配置文件 %1\n%2").arg(path, db.lastError().text()),
                QMessageBox::Ok, QMessageBox::Ok);
    if (db.tables(QSql::Tables).isEmpty())
        warning(Profile::tr("错误的配置文件 %1").arg(path), QMessageBox::Ok, QMessageBox::Ok);
}

void loadCache(const QSqlDatabase &db, ProfilePrivate *d)
{
    if (!db.isOpen())
        return;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("select name, value from profile"))) {
        QV_SQL_WARNING(qvProfile, query.lastError());
        return;
    }
    CacheWriteLocker locker(d->lock);
    while (query.next())
        d->cache.insert(query.value(0).toString(), query.value(1));
}

// Registers and opens the data, quality-control and system-log connections,
// showing each problem and going on.
void openOtherConnections(const QStringList &paths)
{
    for (int i = 0; i < paths.size(); ++i) {
        const QString &path = paths.at(i);
        QSqlDatabase db = addConnection(QLatin1String(OtherDatabases[i].connection), path);
        if (!db.open())
            warning(Profile::tr("无法打开数据库文件 %1").arg(path), QMessageBox::Ok, QMessageBox::Ok);
        if (db.tables(QSql::Tables).isEmpty())
            warning(Profile::tr("错误的数据库文件 %1").arg(path), QMessageBox::Ok, QMessageBox::Ok);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Write-through
// ---------------------------------------------------------------------------

QSqlDatabase ProfilePrivate::connection(const char *name) const
{
    if (onStoreThread())
        openPendingConnections();
    return QSqlDatabase::database(QLatin1String(name), true);
}

void ProfilePrivate::openPendingConnections() const
{
    if (!connectionsPending.load() || !connectionsPending.exchange(false))
        return;
    // The profile's own problems were shown when it was read at first use.
    addConnection(QLatin1String(ProfileConnection), profilePath).open();
    openOtherConnections(otherPaths);
}

void ProfilePrivate::changeAndSave(const QString &key, const QVariant &value, bool remove)
{
    const bool here = onStoreThread();
    bool post = false;
    {
        CacheWriteLocker locker(lock);
        if (remove)
            cache.remove(key);
        else
            cache.insert(key, value);
        if (!persistent) {
            recordFailure(key, QStringLiteral("no profile database was found; the change is kept in memory only"));
            return;
        }
        writes.enqueue(PendingWrite{key, value, ++sequence});
        latest.insert(key, sequence);
        if (!here && !drainPosted)
            post = drainPosted = true;
    }
    if (here)
        drain();
    else if (post)
        QMetaObject::invokeMethod(q_ptr, [this]() { drain(); }, Qt::QueuedConnection);
}

void ProfilePrivate::drain()
{
    if (draining)
        return;
    draining = true;
    for (;;) {
        PendingWrite pending;
        {
            CacheWriteLocker locker(lock);
            if (writes.isEmpty()) {
                drainPosted = false;
                break;
            }
            pending = writes.dequeue();
            const auto newest = latest.find(pending.key);
            if (newest.value() != pending.sequence)
                continue;
            latest.erase(newest);
        }
        write(pending);
    }
    draining = false;
}

void ProfilePrivate::write(const PendingWrite &pending)
{
    QSqlQuery query(connection(ProfileConnection));
    if (pending.value.isValid()) {
        query.prepare(QStringLiteral("insert or replace into profile (name, value) values(?,?)"));
        query.addBindValue(pending.key);
        query.addBindValue(storedForm(pending.value));
    } else {
        query.prepare(QStringLiteral("delete from profile where name = ?"));
        query.addBindValue(pending.key);
    }
    if (query.exec())
        return;
    const QSqlError error = query.lastError();
    QV_SQL_WARNING(qvProfile, error);
    CacheWriteLocker locker(lock);
    recordFailure(pending.key, error.text());
}

void ProfilePrivate::recordFailure(const QString &key, const QString &reason)
{
    if (status != Profile::NoError)
        return;
    status = Profile::AccessError;
    errorString = key + QStringLiteral(": ") + reason;
}

// ---------------------------------------------------------------------------
// Profile
// ---------------------------------------------------------------------------

Profile &Profile::instance()
{
    static Profile profile(QStringLiteral("profile.db"), MainThread);
    return profile;
}

Profile::Profile(QObject *parent)
    : QObject(parent)
{
    init(QStringLiteral("profile.db"), CallingThread);
}

Profile::Profile(const QString &profileName, QObject *parent)
    : QObject(parent)
{
    init(profileName, CallingThread);
}

Profile::Profile(const QString &profileName, ThreadRule rule)
    : QObject(nullptr)
{
    init(profileName, rule);
}

Profile::~Profile()
{
    Q_D(Profile);
    // Saves still waiting for the store's thread are written now if this is
    // that thread; otherwise they are lost, and said so.
    if (d->onStoreThread()) {
        d->drain();
        return;
    }
    CacheReadLocker locker(d->lock);
    if (!d->writes.isEmpty())
        qCWarning(qvProfile, "Profile: destroyed outside its thread; %d saves not written", int(d->writes.size()));
}

void Profile::init(const QString &profileName, ThreadRule rule)
{
    d_ptr.reset(new ProfilePrivate(this));
    Q_D(Profile);
    d->workdir = QDir::current();

    const StartupSettings settings;
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

    d->persistent = true;
    d->profilePath = profileDir.filePath(name);
    for (const OtherDatabase &other : OtherDatabases)
        d->otherPaths << profileDir.filePath(
            settings.value(QLatin1String(other.key), QLatin1String(other.connection)).toString());

    // Connections belong to the thread that makes them, and a worker may end
    // long before the program does. So the process-wide store reads its cache
    // here on a connection of its own and leaves the named connections to the
    // main thread, which makes them before its first SQL.
    const QCoreApplication *app = QCoreApplication::instance();
    if (rule == MainThread && app && QThread::currentThread() != app->thread()) {
        qCWarning(qvProfile, "Profile: first used on a thread other than the application's main thread; "
                             "the store and its database connections are handed to the main thread");
        const QString reader = QStringLiteral("profile.db:first-use");
        {
            QSqlDatabase db = addConnection(reader, d->profilePath);
            openProfile(db, d->profilePath);
            loadCache(db, d);
        }
        QSqlDatabase::removeDatabase(reader);
        moveToThread(app->thread());
        d->connectionsPending = true;
        QMetaObject::invokeMethod(this, [d]() { d->openPendingConnections(); }, Qt::QueuedConnection);
        return;
    }

    {
        QSqlDatabase db = addConnection(QLatin1String(ProfileConnection), d->profilePath);
        openProfile(db, d->profilePath);
        loadCache(db, d);
    }
    openOtherConnections(d->otherPaths);
}

QDir Profile::workdir() const
{
    Q_D(const Profile);
    return d->workdir;
}

QSqlDatabase Profile::database() const
{
    Q_D(const Profile);
    return d->connection(ProfileConnection);
}

QSqlDatabase Profile::dataDatabase() const
{
    Q_D(const Profile);
    return d->connection(DataConnection);
}

QSqlDatabase Profile::qcDatabase() const
{
    Q_D(const Profile);
    return d->connection(QcConnection);
}

QSqlDatabase Profile::syslogDatabase() const
{
    Q_D(const Profile);
    return d->connection(SyslogConnection);
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
    if (!save) {
        CacheWriteLocker locker(d->lock);
        d->cache.insert(key, value);
        return;
    }
    d->changeAndSave(key, value, false);
    Q_EMIT valueChanged(key, value);
}

void Profile::remove(const QString &key)
{
    Q_D(Profile);
    d->changeAndSave(key, QVariant(), true);
    Q_EMIT keyRemoved(key);
}

QStringList Profile::keys() const
{
    Q_D(const Profile);
    CacheWriteLocker locker(d->lock);
    return d->cache.keys();
}

Profile::Status Profile::status() const
{
    Q_D(const Profile);
    CacheReadLocker locker(d->lock);
    return d->status;
}

QString Profile::errorString() const
{
    Q_D(const Profile);
    CacheReadLocker locker(d->lock);
    return d->errorString;
}

void Profile::resetStatus()
{
    Q_D(Profile);
    CacheWriteLocker locker(d->lock);
    d->status = NoError;
    d->errorString.clear();
}

QVector<ProfileItem> Profile::items()
{
    int count = 0;
    const ProfileItemRow *rows = profileItemRows(&count);
    QVector<ProfileItem> list;
    list.reserve(count);
    for (int i = 0; i < count; ++i)
        list.append(ProfileItem(rows + i));
    return list;
}

ProfileItem Profile::findItem(const QString &key)
{
    int count = 0;
    const ProfileItemRow *rows = profileItemRows(&count);
    for (int i = 0; i < count; ++i) {
        if (key == QLatin1String(rows[i].key))
            return ProfileItem(rows + i);
    }
    return ProfileItem();
}
