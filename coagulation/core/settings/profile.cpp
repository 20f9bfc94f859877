#include "profile.h"
#include "profile_p.h"
#include "profileitem_p.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QMetaObject>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QtCore/QStringDecoder>
#else
#include <QtCore/QTextCodec>
#endif
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

#include <algorithm>
#include <limits>

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

// Whether a value reads back equal from the form it is bound in. The kinds the
// driver or storedForm() keep as such are stored as they always were; every
// other kind is bound as its text, which must convert back to an equal value
// (a one-text list does, a QSize or a map has no text, a list of two texts
// loses them).
bool hasStoredForm(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType: // invalid: deletes the row
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QColor:
    case QMetaType::QDate:
    case QMetaType::QTime:
    case QMetaType::QDateTime:
        return true;
    default:
        break;
    }
    if (!value.canConvert<QString>())
        return false;
    QVariant back(value.toString());
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const bool converted = back.convert(value.metaType());
#else
    const bool converted = back.convert(value.userType());
#endif
    return converted && back == value;
}

// SQLite's "database is busy" and "database table is locked": another
// connection holds the lock, and the same statement may succeed later.
bool isBusy(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok && ((code & 0xff) == 5 || (code & 0xff) == 6);
}

// Replaces a connection's busy time-out for the statements made while it
// lives, and puts the one it had back after: a save that would only wait for
// a lock already known to be held tries without waiting. waitMs < 0 changes
// nothing.
class BusyWait
{
public:
    BusyWait(const QSqlDatabase &db, int waitMs) : m_db(db)
    {
        if (waitMs < 0)
            return;
        QSqlQuery query(m_db);
        if (!query.exec(QStringLiteral("pragma busy_timeout")) || !query.next())
            return;
        const int had = query.value(0).toInt();
        if (had != waitMs && query.exec(QStringLiteral("pragma busy_timeout = %1").arg(waitMs)))
            m_saved = had;
    }
    ~BusyWait()
    {
        if (m_saved >= 0)
            QSqlQuery(m_db).exec(QStringLiteral("pragma busy_timeout = %1").arg(m_saved));
    }

private:
    Q_DISABLE_COPY(BusyWait)
    QSqlDatabase m_db;
    int m_saved = -1;
};

// The number of tables of an open connection (what tables() counts), or -1
// with the database's reason when its schema cannot be read: busy, not a
// database, damaged. tables() would give an empty list for all of these.
int countTables(const QSqlDatabase &db, QString *reason)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("select count(*) from sqlite_master where type = 'table'")) || !query.next()) {
        *reason = query.lastError().text();
        return -1;
    }
    return query.value(0).toInt();
}

bool isUtf8Text(const QByteArray &bytes)
{
    if (bytes.contains('\0'))
        return false;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes); // decodes only when taken as a QString
    Q_UNUSED(text)
    return !decoder.hasError();
#else
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
#endif
}

// Why "settings.ini" of the current directory cannot be read as it stands;
// empty when it can, or when there is none (every key then takes its default).
QString startupSettingsProblem()
{
    const QFileInfo info(QStringLiteral("settings.ini"));
    if (!info.exists() && !info.isSymLink())
        return QString();
    if (info.exists() && !info.isFile())
        return Profile::tr("它不是普通文件");
    QFile file(info.filePath());
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return file.errorString();
    if (!isUtf8Text(bytes))
        return Profile::tr("它不是 UTF-8 文本");
    const StartupSettings settings;
    if (settings.status() != QSettings::NoError)
        return Profile::tr("它的格式有误");
    return QString();
}

// Opens and reads the profile into the cache. False, after telling the user,
// when it could not be read whole: it does not open, its schema cannot be
// read (busy, not a database), it has no table, its table cannot be read as
// (name, value), or its rows end in an error (a damaged page). Rows read up
// to the error stay in the cache. Nothing is written.
bool readProfile(QSqlDatabase &db, ProfilePrivate *d)
{
    const QString &path = d->profilePath;
    const auto cannotLoad = [&](const QString &reason) {
        d->startupProblem(Profile::tr("无法加载配置文件 %1\n%2").arg(path, reason));
    };
    if (!db.open()) {
        cannotLoad(db.lastError().text());
        d->startupProblem(Profile::tr("错误的配置文件 %1").arg(path));
        return false;
    }
    QString reason;
    const int tables = countTables(db, &reason);
    if (tables <= 0) {
        if (tables < 0)
            cannotLoad(reason);
        else
            d->startupProblem(Profile::tr("错误的配置文件 %1").arg(path));
        return false;
    }
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("select name, value from profile"))) {
        cannotLoad(query.lastError().text());
        return false;
    }
    QHash<QString, QVariant> rows;
    while (query.next())
        rows.insert(query.value(0).toString(), query.value(1));
    // The rows end with an error, not with the table, where a page is damaged.
    const QSqlError error = query.lastError();
    {
        CacheWriteLocker locker(d->lock);
        for (auto it = rows.cbegin(); it != rows.cend(); ++it)
            d->cache.insert(it.key(), it.value());
    }
    if (error.isValid()) {
        cannotLoad(error.text());
        return false;
    }
    return true;
}

// Registers and opens the data, quality-control and system-log connections,
// showing each problem and going on.
void openOtherConnections(ProfilePrivate *d, const QStringList &paths)
{
    for (int i = 0; i < paths.size(); ++i) {
        const QString &path = paths.at(i);
        QSqlDatabase db = addConnection(QLatin1String(OtherDatabases[i].connection), path);
        if (!db.open()) {
            d->startupProblem(Profile::tr("无法打开数据库文件 %1").arg(path));
            d->startupProblem(Profile::tr("错误的数据库文件 %1").arg(path));
            continue;
        }
        QString reason;
        const int tables = countTables(db, &reason);
        if (tables < 0)
            d->startupProblem(Profile::tr("无法打开数据库文件 %1\n%2").arg(path, reason));
        else if (tables == 0)
            d->startupProblem(Profile::tr("错误的数据库文件 %1").arg(path));
    }
}

const int FirstRetryDelay = 100; // ms
const int LastRetryDelay = 2000;

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
    openOtherConnections(const_cast<ProfilePrivate *>(this), otherPaths);
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
            recordFailure(key, notSaved);
            return;
        }
        writes.enqueue(PendingWrite{key, value, ++sequence});
        latest.insert(key, sequence);
        // While the database is busy nothing leaves the queue: drop the saves
        // that later ones replace, so it holds about one save per key.
        if (writes.size() > 2 * latest.size() + 64) {
            QQueue<PendingWrite> kept;
            for (const PendingWrite &write : qAsConst(writes)) {
                if (latest.value(write.key) == write.sequence)
                    kept.enqueue(write);
            }
            writes.swap(kept);
        }
        if (!here && !drainPosted)
            post = drainPosted = true;
    }
    if (here)
        drain();
    else if (post)
        postDrain();
}

void ProfilePrivate::postDrain()
{
    QMetaObject::invokeMethod(q_ptr, [this]() { drain(); }, Qt::QueuedConnection);
}

bool ProfilePrivate::drain(const QDeadlineTimer *deadline)
{
    if (draining)
        return false;
    draining = true;
    // Saves made while this runs are left to the next turn of the event loop,
    // which a thread saving without pause would otherwise never get back.
    quint64 until;
    {
        CacheWriteLocker locker(lock);
        drainPosted = false;
        until = sequence;
    }
    bool lockHeld = false;
    bool post = false;
    for (;;) {
        PendingWrite pending;
        bool waited;
        {
            CacheWriteLocker locker(lock);
            // A save that a later one of the same key replaces is skipped.
            while (!writes.isEmpty() && latest.value(writes.head().key) != writes.head().sequence)
                writes.dequeue();
            if (writes.isEmpty()) {
                busy = false;
                busyReason.clear();
                break;
            }
            if (writes.head().sequence > until) {
                post = !drainPosted;
                drainPosted = true;
                break;
            }
            pending = writes.head();
            waited = busy;
        }
        // The busy time-out is waited once per burst: while saves are pending
        // already, a save tries without waiting.
        int wait = waited ? 0 : -1;
        if (deadline)
            wait = int(std::min<qint64>(std::max<qint64>(deadline->remainingTime(), 0),
                                        std::numeric_limits<int>::max()));
        if (write(pending, wait) == Busy) {
            lockHeld = true;
            break;
        }
        // Only this loop takes saves off the head of the queue; a save made
        // meanwhile may have dropped the written one as replaced. A statement
        // that was not refused for busy tells the lock has gone.
        CacheWriteLocker locker(lock);
        busy = false;
        busyReason.clear();
        if (!writes.isEmpty() && writes.head().sequence == pending.sequence)
            writes.dequeue();
        const auto newest = latest.find(pending.key);
        if (newest != latest.end() && newest.value() == pending.sequence)
            latest.erase(newest);
    }
    draining = false;
    if (lockHeld) {
        scheduleRetry();
        return false;
    }
    if (post)
        postDrain();
    if (retryTimer)
        retryTimer->stop();
    retryDelay = 0;
    CacheReadLocker locker(lock);
    return writes.isEmpty();
}

ProfilePrivate::WriteResult ProfilePrivate::write(const PendingWrite &pending, int busyWaitMs)
{
    const QSqlDatabase db = connection(ProfileConnection);
    const BusyWait wait(db, busyWaitMs);
    QSqlQuery query(db);
    bool ok;
    if (pending.value.isValid()) {
        ok = query.prepare(QStringLiteral("insert or replace into profile (name, value) values(?,?)"));
        query.addBindValue(pending.key);
        query.addBindValue(storedForm(pending.value));
    } else {
        ok = query.prepare(QStringLiteral("delete from profile where name = ?"));
        query.addBindValue(pending.key);
    }
    // A statement that did not prepare is not executed: its error is the reason.
    if (ok && query.exec())
        return Written;
    const QSqlError error = query.lastError();
    if (isBusy(error)) {
        bool first;
        int waiting;
        {
            CacheWriteLocker locker(lock);
            first = !busy;
            busy = true;
            busyReason = error.text();
            waiting = latest.size();
        }
        if (first)
            qCWarning(qvProfile, "Profile: %s is busy (%s); %d changed settings wait and are tried again",
                      qPrintable(profilePath), qPrintable(error.text()), waiting);
        return Busy;
    }
    QV_SQL_WARNING(qvProfile, error);
    CacheWriteLocker locker(lock);
    recordFailure(pending.key, error.text());
    return Failed;
}

void ProfilePrivate::scheduleRetry()
{
    if (closing)
        return;
    if (!retryTimer) {
        retryTimer = new QTimer(q_ptr);
        retryTimer->setSingleShot(true);
        QObject::connect(retryTimer, &QTimer::timeout, q_ptr, [this]() { drain(); });
    }
    retryDelay = retryDelay ? qMin(2 * retryDelay, LastRetryDelay) : FirstRetryDelay;
    retryTimer->start(retryDelay);
}

void ProfilePrivate::recordFailure(const QString &key, const QString &reason)
{
    recordProblem(Profile::AccessError, key + QStringLiteral(": ") + reason);
}

void ProfilePrivate::recordProblem(Profile::Status problem, const QString &text)
{
    if (status != Profile::NoError)
        return;
    status = problem;
    errorString = text;
}

void ProfilePrivate::startupProblem(const QString &text)
{
    {
        CacheWriteLocker locker(lock);
        recordProblem(Profile::StartupError, text);
    }
    warning(text, QMessageBox::Ok, QMessageBox::Ok);
}

// ---------------------------------------------------------------------------
// Profile
// ---------------------------------------------------------------------------

namespace {

// The process-wide store writes what it still can while the application
// object is being destroyed: after it, at exit, the SQL driver is gone. Post
// routines run last registered first, so this one is registered after the
// SQL module's, which closes every connection.
ProfilePrivate *processStore = nullptr;

void closeProcessStore()
{
    if (processStore)
        processStore->close();
}

void closeAtApplicationEnd(ProfilePrivate *d)
{
    if (!QCoreApplication::instance())
        return;
    processStore = d;
    qAddPostRoutine(closeProcessStore);
}

} // namespace

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
    d->close();
}

void ProfilePrivate::close()
{
    if (closed)
        return;
    closed = true;
    // Saves still waiting for the store's thread are written now if this is
    // that thread (those pending for a busy database get one more try, without
    // waiting); otherwise they are lost, and said so.
    if (onStoreThread()) {
        closing = true;
        if (retryTimer)
            retryTimer->stop();
        drain();
    }
    int lost = 0;
    {
        CacheReadLocker locker(lock);
        lost = latest.size();
    }
    if (lost)
        qCWarning(qvProfile, "Profile: closed with %d changed settings not written to %s", lost,
                  qPrintable(profilePath));
}

void Profile::init(const QString &profileName, ThreadRule rule)
{
    d_ptr.reset(new ProfilePrivate(this));
    Q_D(Profile);
    d->workdir = QDir::current();

    // settings.ini names the files. One that cannot be read would send the
    // store to the working directory's default files, whatever it names: a
    // stale profile, and sample numbers from another data database.
    const QString unreadable = startupSettingsProblem();
    if (!unreadable.isEmpty()) {
        d->notSaved = QStringLiteral("settings.ini could not be read, so no database was opened; "
                                     "the change is kept in memory only");
        d->startupProblem(tr("无法读取启动设置 %1\n%2")
                              .arg(QFileInfo(QStringLiteral("settings.ini")).absoluteFilePath(), unreadable));
        return;
    }

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
        d->notSaved = QStringLiteral("no profile database was found; the change is kept in memory only");
        d->startupProblem(tr("找不到配置文件 %1").arg(name));
        return;
    }

    d->profilePath = profileDir.filePath(name);
    for (const OtherDatabase &other : OtherDatabases)
        d->otherPaths << profileDir.filePath(
            settings.value(QLatin1String(other.key), QLatin1String(other.connection)).toString());
    // Saves go to the file only if it was read whole: otherwise what the
    // program shows in place of the unread rows would overwrite them.
    d->notSaved = QStringLiteral("the profile could not be read whole at start-up, so nothing is written to it; "
                                 "the change is kept in memory only");

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
            d->persistent = readProfile(db, d);
        }
        QSqlDatabase::removeDatabase(reader);
        moveToThread(app->thread());
        d->connectionsPending = true;
        QMetaObject::invokeMethod(this, [d]() { d->openPendingConnections(); }, Qt::QueuedConnection);
        closeAtApplicationEnd(d);
        return;
    }

    {
        QSqlDatabase db = addConnection(QLatin1String(ProfileConnection), d->profilePath);
        d->persistent = readProfile(db, d);
    }
    openOtherConnections(d, d->otherPaths);
    if (rule == MainThread)
        closeAtApplicationEnd(d);
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
    if (!hasStoredForm(value)) {
        const QString reason = QStringLiteral("a %1 has no stored form that reads it back equal; nothing was changed")
                                   .arg(QString::fromLatin1(value.typeName()));
        {
            CacheWriteLocker locker(d->lock);
            d->recordProblem(ValueError, key + QStringLiteral(": ") + reason);
        }
        qCWarning(qvProfile, "Profile: %s: %s", qPrintable(key), qPrintable(reason));
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
    return d->busy ? SavesPending : d->status;
}

QString Profile::errorString() const
{
    Q_D(const Profile);
    CacheReadLocker locker(d->lock);
    if (!d->busy)
        return d->errorString;
    return QStringLiteral("waiting for %1, which another program holds: %2 (%3 changed settings not yet written)")
        .arg(d->profilePath, d->busyReason).arg(d->latest.size());
}

void Profile::resetStatus()
{
    Q_D(Profile);
    CacheWriteLocker locker(d->lock);
    d->status = NoError;
    d->errorString.clear();
}

bool Profile::flush(int msecs)
{
    Q_D(Profile);
    if (!d->onStoreThread()) {
        qCWarning(qvProfile, "Profile::flush: called outside the store's thread; nothing was written");
        return false;
    }
    const QDeadlineTimer deadline(qMax(msecs, 0));
    return d->drain(&deadline);
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
