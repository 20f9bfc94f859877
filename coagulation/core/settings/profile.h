#ifndef PROFILE_H
#define PROFILE_H

#include <QtCore/QDir>
#include <QtCore/QObject>
#include <QtCore/QScopedPointer>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QVariant>
#include <QtGui/QColor>
#include <QtSql/QSqlDatabase>

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
class QVCORE_EXPORT Profile : public QObject
{
    Q_OBJECT

public:
    // Whether the writes to the file went through.
    enum Status {
        NoError,
        AccessError // a save or remove did not reach the file; see errorString()
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
    // deletes it) and then emits valueChanged.
    void setValue(const QString &key, const QVariant &value, bool save);
    // Forgets key, deletes its row, then emits keyRemoved.
    void remove(const QString &key);
    QStringList keys() const;

    // AccessError once a write did not reach the file since start-up or the
    // last resetStatus(): an SQL error (also written as a warning line), or a
    // save or remove in a store that found no profile. errorString() tells the first
    // such write: its key and the reason. The cache keeps the new state all
    // the same. A write made on another thread is known here only after the
    // store's thread has run it.
    Status status() const;
    QString errorString() const;
    void resetStatus();

    // Typed settings: the getter is named like the key and the setter adds
    // "set_"; save has the meaning it has for setValue(). A stored value that
    // does not convert to the type yields its empty value, not the default.
#define QV_PROFILE_SETTING(Type, key) \
    Type key(const Type &defaultValue) { return setting<Type>(#key, defaultValue); } \
    void set_##key(const Type &value, bool save) { setSetting<Type>(#key, value, save); }

    QV_PROFILE_SETTING(QString, statim_sample_prefix)
    QV_PROFILE_SETTING(QString, qc_sample_prefix)
    QV_PROFILE_SETTING(QString, result_is_preparing)
    QV_PROFILE_SETTING(QString, result_can_not_be_calculated)
    QV_PROFILE_SETTING(QString, result_is_incubating)
    QV_PROFILE_SETTING(QString, result_is_analysing)
    QV_PROFILE_SETTING(QString, result_not_clotted)
    QV_PROFILE_SETTING(QString, dilution_result_flag)
    QV_PROFILE_SETTING(QString, lower_report_limit_flag)
    QV_PROFILE_SETTING(QString, upper_report_limit_flag)
    QV_PROFILE_SETTING(QString, lower_mark_limit_flag)
    QV_PROFILE_SETTING(QString, upper_mark_limit_flag)
    QV_PROFILE_SETTING(QString, manual_input_flag)
    QV_PROFILE_SETTING(QString, replication_diff_flag)
    QV_PROFILE_SETTING(QColor, color_of_waiting)
    QV_PROFILE_SETTING(QColor, color_of_dispensing)
    QV_PROFILE_SETTING(QColor, color_of_incubating)
    QV_PROFILE_SETTING(QColor, color_of_analysing)
    QV_PROFILE_SETTING(QColor, color_of_null_result)
    QV_PROFILE_SETTING(QColor, color_of_lower_report)
    QV_PROFILE_SETTING(QColor, color_of_upper_report)
    QV_PROFILE_SETTING(QColor, color_of_lower_mark)
    QV_PROFILE_SETTING(QColor, color_of_upper_mark)
    QV_PROFILE_SETTING(QString, analysis_display_assay)
    QV_PROFILE_SETTING(QString, patient_display_fields)
    QV_PROFILE_SETTING(int, max_qc_file)
    QV_PROFILE_SETTING(int, qc_method)
    QV_PROFILE_SETTING(QString, hospital)
    QV_PROFILE_SETTING(bool, is_touch_screen)

#undef QV_PROFILE_SETTING

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
