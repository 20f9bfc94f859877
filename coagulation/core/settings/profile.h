#ifndef PROFILE_H
#define PROFILE_H

#include <QtCore/QDir>
#include <QtCore/QObject>
#include <QtCore/QScopedPointer>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QVariant>
#include <QtCore/QVector>
#include <QtGui/QColor>
#include <QtSql/QSqlDatabase>

#include "profileitem.h"
#include "profilesettings.h"
#include "qvcore_global.h"

class ProfilePrivate;

// The process-wide store of named settings: an in-memory cache of the table
// "profile" (name, value) of an SQLite file, read once at start-up and written
// through on request, plus the application's other three database connections.
// Reads and writes of the cache are safe from any thread. All SQL runs on the
// store's own thread: a save made there is written at once, one made on
// another thread is handed to the store's thread. Saves reach the file in the
// order they changed the cache, so once the store's thread has run its event
// loop the file holds what the cache holds (settings changed without save
// aside), whatever the threads and whatever is done to the signals.
//
// Start-up tells every problem in a warning box and in status(), and never
// writes: a profile that could not be read whole (it does not open, is busy,
// is damaged, or has no table "profile" with the columns name and value) is
// not written to at all while the store lives, so that defaults shown in its
// place cannot overwrite the user's settings; saves then stay in memory. An
// unreadable "settings.ini" opens no database at all rather than the default
// files of the working directory.
//
// When another program holds the profile locked, a save waits the busy
// time-out once, then stays pending: later saves queue behind it without
// waiting, the store tries again now and then from its thread's event loop,
// and status() says SavesPending until all of them are written, oldest first
// (a save of a key that a later one replaces is skipped). Call flush() before
// the program ends.
class QVCORE_EXPORT Profile : public QObject
{
    Q_OBJECT

public:
    /**
     * Whether start-up and the writes to the file went well: see status().
     */
    enum Status {
        NoError,
        AccessError,  ///< a save or remove did not reach the file; see errorString()
        StartupError, ///< start-up showed a warning box; errorString() holds its text
        SavesPending, ///< saves wait for a lock another program holds; see flush()
        ValueError    ///< a save was refused: no stored form reads the value back equal
    };
    Q_ENUM(Status)

    // The store of the program, made on first use. It and its connections
    // belong to the application's main thread whoever calls first: when that is
    // another thread, the cache is read there, the connections are opened on
    // the main thread, and a warning line names the misuse. Start-up may show
    // message boxes, so the main thread should call first.
    static Profile &instance();

    // A store of one's own belongs to the thread that makes it. Saves still
    // waiting for that thread when it is destroyed there are written first.
    explicit Profile(QObject *parent = nullptr);
    Profile(const QString &profileName, QObject *parent);
    ~Profile() override;

    // The current directory when the store was made.
    QDir workdir() const;

    // The connections "profile.db", "data.db", "qc.db" and "syslog.db", opened
    // if they are not; invalid when start-up did not register them.
    QSqlDatabase database() const;
    QSqlDatabase dataDatabase() const;
    QSqlDatabase qcDatabase() const;
    QSqlDatabase syslogDatabase() const;

    // The stored value of key, or defaultValue when it has none. A key never
    // seen before is remembered without a value, so keys() lists it.
    QVariant value(const QString &key, const QVariant &defaultValue = QVariant());
    // The first valid value of key1, key2 (and key3), else defaultValue.
    QVariant value2(const QString &key1, const QString &key2, const QVariant &defaultValue = QVariant());
    QVariant value3(const QString &key1, const QString &key2, const QString &key3,
                    const QVariant &defaultValue = QVariant());

    // Sets the cached value; with save, also writes the row (an invalid value
    // deletes it) and then emits valueChanged. With save, a value that no
    // stored form reads back equal is refused: a QSize, QPoint or QRect, a
    // list of other than one text, a map, a type without a text form. Then
    // neither the cache nor the file changes, nothing is emitted, and status()
    // becomes ValueError. Texts, numbers, bools, colours, dates, times, byte
    // arrays, URLs and one-text lists are stored as they always were.
    void setValue(const QString &key, const QVariant &value, bool save);
    // Forgets key, deletes its row, then emits keyRemoved.
    void remove(const QString &key);
    QStringList keys() const;

    /**
     * SavesPending while saves wait for a database another program holds
     * locked (errorString() gives its reason); otherwise the first problem
     * since start-up or the last resetStatus(), else NoError. Problems:
     * StartupError for a warning box of start-up (errorString() holds its
     * text), AccessError once a write did not reach the file (an SQL error,
     * also written as a warning line, or a save in a store that writes no
     * file), ValueError for a refused value; errorString() names the key and
     * the reason. The cache keeps the new state all the same, except for a
     * refused value. A write made on another thread is known here only after
     * the store's thread has run it.
     *
     * Any thread; takes the cache's lock briefly.
     */
    Status status() const;
    QString errorString() const;
    /** Forgets the problem; saves still pending stay pending. Any thread. */
    void resetStatus();

    /**
     * Writes every save waiting for the store's thread when it is called,
     * those pending because the profile database was busy included, oldest
     * first. Saves made on other threads meanwhile are left to the store's
     * event loop.
     *
     * Call it before the program ends: what is still pending when the store
     * closes (at its destruction; the process-wide store, when the
     * application object is destroyed) gets one more try without waiting, and
     * what that does not write is lost (a warning line counts it).
     *
     * @param msecs the longest time to wait for another program's lock, in all;
     *        0 tries once without waiting.
     * @return true when no save is left waiting; false when the lock did not
     *         go in time (status() stays SavesPending, the saves stay queued),
     *         or when called on a thread other than the store's (a warning
     *         line says so; nothing is written).
     *
     * Store's thread only. Blocks on the database's lock, for at most msecs.
     * A save that fails for another reason is dropped and told as for
     * setValue(); it does not make the result false.
     */
    bool flush(int msecs);

    // Typed settings, one pair per row of profilesettings.h: the getter is named
    // like the key and the setter adds "set_"; save has the meaning it has for
    // setValue(). A getter called without a default takes the declared one. A
    // stored value that does not convert to the type yields its empty value, not
    // the default.
#define QV_PROFILE_ACCESSORS(Type, key, declared, group, label) \
    Type key(const Type &defaultValue = declared) { return setting<Type>(#key, defaultValue); } \
    void set_##key(const Type &value, bool save) { setSetting<Type>(#key, value, save); }
    QV_PROFILE_SETTINGS(QV_PROFILE_ACCESSORS)
#undef QV_PROFILE_ACCESSORS

    // The named settings with their keys, types, declared defaults, groups and
    // labels, in the order they are declared; findItem() gives an invalid item
    // for a key that is no named setting.
    static QVector<ProfileItem> items();
    static ProfileItem findItem(const QString &key);

Q_SIGNALS:
    // Notifications only: saving does not depend on them, so blocked signals
    // or a disconnect() do not stop the write-through.
    void valueChanged(const QString &key, const QVariant &value);
    void keyRemoved(const QString &key);

private:
    enum ThreadRule { CallingThread, MainThread };
    Profile(const QString &profileName, ThreadRule rule);
    void init(const QString &profileName, ThreadRule rule);

    template <typename T>
    T setting(const char *key, const T &defaultValue)
    {
        return qvariant_cast<T>(value(QLatin1String(key), QVariant::fromValue(defaultValue)));
    }

    template <typename T>
    void setSetting(const char *key, const T &value, bool save)
    {
        setValue(QLatin1String(key), QVariant::fromValue(value), save);
    }

    Q_DISABLE_COPY(Profile)
    Q_DECLARE_PRIVATE(Profile)
    QScopedPointer<ProfilePrivate> d_ptr;
};

#endif // PROFILE_H
