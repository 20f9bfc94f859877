#include <QtCore/QDir>
#include <QtCore/QDirIterator>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>
#include <QtWidgets/QApplication>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <type_traits>
#include <vector>

#include <unistd.h>

#include <messageboxrecorder.h>
#include <profile.h>
#include <toolrunner.h>

namespace {

// A NULL column as the SQL layer reads it back: a null variant of type QString.
// Qt 6 no longer counts QVariant(QString()) as null, so there it is made from the type.
QVariant nullText()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QVariant(QMetaType::fromType<QString>());
#else
    return QVariant(QString());
#endif
}

const QStringList connectionNames = {QStringLiteral("profile.db"), QStringLiteral("data.db"),
                                     QStringLiteral("qc.db"), QStringLiteral("syslog.db")};

// Runs statements on a private connection to the SQLite file at path.
bool execOn(const QString &path, const QStringList &statements)
{
    const QString name = QStringLiteral("tst_profile_setup");
    bool ok;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery query(db);
        for (const QString &statement : statements) {
            if (ok && !query.exec(statement)) {
                qWarning() << statement << query.lastError().text();
                ok = false;
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

bool makeProfile(const QString &path, const QString &greeting = QStringLiteral("hello"))
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return execOn(path, {QStringLiteral("create table profile (name text primary key, value)"),
                         QStringLiteral("insert into profile values('greeting', '%1')").arg(greeting)});
}

bool makeDatabase(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return execOn(path, {QStringLiteral("create table t (x)")});
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A profile of 201 rows, "greeting" first, whose table has a page amid its
// rows zeroed: reading stops with an error after the rows before that page.
bool makeDamagedProfile(const QString &path)
{
    QStringList statements = {QStringLiteral("create table profile (name text, value)"),
                              QStringLiteral("insert into profile values('greeting', 'hello')")};
    for (int i = 1; i < 201; ++i)
        statements << QStringLiteral("insert into profile values('k%1', '%2')")
                          .arg(i).arg(QString(300, QLatin1Char(char('a' + i % 26))));
    if (!execOn(path, statements))
        return false;
    const int pageSize = 4096; // SQLite's default
    QFile file(path);
    const qint64 pages = file.size() / pageSize;
    return pages >= 8 && file.open(QIODevice::ReadWrite) && file.seek(pages / 2 * pageSize)
           && file.write(QByteArray(pageSize, '\0')) == pageSize;
}

// Every file under the current directory with its bytes.
QMap<QString, QByteArray> snapshot()
{
    QMap<QString, QByteArray> files;
    QDirIterator it(QStringLiteral("."), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        files.insert(file.fileName(), file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)"));
    }
    return files;
}

// The files of before that after holds different, or not at all.
QStringList changedFiles(const QMap<QString, QByteArray> &before, const QMap<QString, QByteArray> &after)
{
    QStringList changed;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!after.contains(it.key()) || after.value(it.key()) != it.value())
            changed << it.key();
    }
    return changed;
}

struct Row {
    QString type; // SQLite storage class of the value
    QVariant value;
};

// The profile table as another program sees it.
QMap<QString, Row> rows(const QString &path = QStringLiteral("profile.db"))
{
    QMap<QString, Row> result;
    const QString name = QStringLiteral("tst_profile_reader");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            query.exec(QStringLiteral("select name, typeof(value), value from profile"));
            while (query.next())
                result.insert(query.value(0).toString(), Row{query.value(1).toString(), query.value(2)});
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

bool sameMessages(const QStringList &actual, const QStringList &expected)
{
    if (actual.size() != expected.size())
        return false;
    for (int i = 0; i < actual.size(); ++i) {
        // A trailing '*' stands for the driver's error text.
        const QString &e = expected.at(i);
        if (e.endsWith(QLatin1Char('*')) ? !actual.at(i).startsWith(e.chopped(1)) : actual.at(i) != e)
            return false;
    }
    return true;
}

// Every typed setting, by key, with a compile-time check of its signatures.
struct Accessor {
    std::function<QVariant(Profile &, const QVariant &)> get;
    std::function<void(Profile &, const QVariant &, bool)> set;
    int type;
};

QMap<QString, Accessor> accessors()
{
    QMap<QString, Accessor> result;
#define ACCESSOR(Type, key, ...)                                                                  \
    static_assert(std::is_same<decltype(&Profile::key), Type (Profile::*)(const Type &)>::value,  \
                  #key " getter");                                                                \
    static_assert(std::is_same<decltype(&Profile::set_##key), void (Profile::*)(const Type &, bool)>::value, \
                  #key " setter");                                                                \
    result.insert(QStringLiteral(#key),                                                           \
                  Accessor{[](Profile &p, const QVariant &d) { return QVariant::fromValue(p.key(qvariant_cast<Type>(d))); }, \
                           [](Profile &p, const QVariant &v, bool save) { p.set_##key(qvariant_cast<Type>(v), save); }, \
                           qMetaTypeId<Type>()});
    QV_PROFILE_SETTINGS(ACCESSOR)
#undef ACCESSOR
    return result;
}

// Child mode of this program: the process-wide store is first reached from a
// worker thread that then ends; the main thread goes on saving and querying.
// Prints what it saw; the parent test reads the file.
int firstUseOnAWorker(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString greeting;
    std::thread worker([&greeting]() {
        Profile &profile = Profile::instance();
        greeting = profile.value(QStringLiteral("greeting")).toString();
        profile.setValue(QStringLiteral("from-worker"), QStringLiteral("w"), true);
    });
    worker.join();

    Profile &profile = Profile::instance();
    profile.setValue(QStringLiteral("from-gui"), QStringLiteral("g"), true);
    QCoreApplication::processEvents();
    QSqlQuery query(profile.dataDatabase());
    const bool dataUsable = query.exec(QStringLiteral("select count(*) from t")) && query.next();
    std::printf("greeting=%s data=%s\n", qPrintable(greeting), dataUsable ? "usable" : "unusable");
    return 0;
}

// Child mode of this program: the process-wide store has a save pending for a
// lock another connection holds ("held") or gave up ("released") when the
// program ends without flush().
int exitWithPendingSave(int argc, char **argv)
{
    QScopedPointer<QCoreApplication> app(new QCoreApplication(argc, argv));
    QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
    holder.setDatabaseName(QStringLiteral("profile.db"));
    if (!holder.open() || !QSqlQuery(holder).exec(QStringLiteral("begin immediate")))
        return 2;
    Profile &profile = Profile::instance();
    QSqlQuery(profile.database()).exec(QStringLiteral("pragma busy_timeout = 50"));
    profile.setValue(QStringLiteral("late"), QStringLiteral("saved"), true);
    if (profile.status() != Profile::SavesPending)
        return 3;
    if (std::strcmp(argv[2], "released") == 0)
        QSqlQuery(holder).exec(QStringLiteral("commit"));
    app.reset();
    return 0;
}

} // namespace

class tst_Profile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void startUpMessagesAndPaths_data();
    void startUpMessagesAndPaths();
    void profileInApplicationDirectory();
    void defaultsOnlyWithoutProfile();
    void instanceIsOneStore();

    void lookupsRecordMisses_data();
    void lookupsRecordMisses();
    void writeThroughAndDelete();
    void storedFormsSurviveRestart_data();
    void storedFormsSurviveRestart();

    void typedSettingsRoundTrip_data();
    void typedSettingsRoundTrip();
    void badlyStoredRowsConvert_data();
    void badlyStoredRowsConvert();
    void unsavedSettingIsGoneAfterRestart();

    void workerWriteIsQueuedToStoreThread();
    void concurrentLookupsAndWrites();
    void fileEndsAsTheCacheEnds_data();
    void fileEndsAsTheCacheEnds();
    void firstUseOnAWorkerThread();
    void busySavesWaitAndLand_data();
    void busySavesWaitAndLand();
    void pendingSavesAtExit_data();
    void pendingSavesAtExit();

private:
    QString m_startDir;
    QScopedPointer<QTemporaryDir> m_tmp;
};

void tst_Profile::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("ProfileTest"));
    m_startDir = QDir::currentPath();
}

void tst_Profile::init()
{
    // On a memory file system where there is one: these tests are about what
    // reaches the file, not about how fast the disk syncs.
    const QDir shm(QStringLiteral("/dev/shm"));
    m_tmp.reset(shm.exists() ? new QTemporaryDir(shm.filePath(QStringLiteral("tst_profile-XXXXXX")))
                             : new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    QVERIFY(QDir::setCurrent(m_tmp->path()));
}

void tst_Profile::cleanup()
{
    for (const QString &name : connectionNames)
        QSqlDatabase::removeDatabase(name);
    QDir::setCurrent(m_startDir);
    m_tmp.reset();
}

void tst_Profile::startUpMessagesAndPaths_data()
{
    // files: "kind:path" with kind profile, other (a profile with another
    // greeting), db (one user table), empty (zero bytes), dir, older (a profile
    // table without the column value), notable (another table, none named
    // profile), damaged (a page amid the profile's rows zeroed), garbage (not
    // a database), utf16 or mode000 (settings.ini holding ini as UTF-16, or
    // unreadable); "{tmp}" is the current directory's absolute path. Start-up
    // writes no file, and status() tells its first box; saved: a save then
    // reaches the profile (otherwise no file changes either).
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QString>("dataPath"); // empty: not registered
    QTest::addColumn<QVariant>("greeting");
    QTest::addColumn<bool>("saved");

    const QStringList dbs = {QStringLiteral("db:data.db"), QStringLiteral("db:qc.db"), QStringLiteral("db:syslog.db")};

    QTest::newRow("no profile anywhere: one message")
        << QStringList() << QString() << QStringList{QStringLiteral("找不到配置文件 profile.db")}
        << QString() << QVariant() << false;
    QTest::newRow("configured profile missing")
        << (QStringList{QStringLiteral("profile:profile.db")} + dbs)
        << QStringLiteral("[db]\nprofile=missing.db\n")
        << QStringList{QStringLiteral("找不到配置文件 missing.db")} << QString() << QVariant() << false;
    QTest::newRow("all four in the current directory, no settings.ini")
        << (QStringList{QStringLiteral("profile:profile.db")} + dbs) << QString() << QStringList()
        << QStringLiteral("./data.db") << QVariant(QStringLiteral("hello")) << true;
    QTest::newRow("missing databases are created empty")
        << QStringList{QStringLiteral("profile:profile.db")} << QString()
        << QStringList{QStringLiteral("错误的数据库文件 ./data.db"), QStringLiteral("错误的数据库文件 ./qc.db"),
                       QStringLiteral("错误的数据库文件 ./syslog.db")}
        << QStringLiteral("./data.db") << QVariant(QStringLiteral("hello")) << true;
    QTest::newRow("empty SQLite file as profile")
        << (QStringList{QStringLiteral("empty:profile.db")} + dbs) << QString()
        << QStringList{QStringLiteral("错误的配置文件 ./profile.db")} << QStringLiteral("./data.db") << QVariant() << false;
    QTest::newRow("profile does not open: both messages in order")
        << (QStringList{QStringLiteral("dir:profile.db")} + dbs) << QString()
        << QStringList{QStringLiteral("无法加载配置文件 ./profile.db\n*"), QStringLiteral("错误的配置文件 ./profile.db")}
        << QStringLiteral("./data.db") << QVariant() << false;
    QTest::newRow("data does not open: both messages, then the next file")
        << QStringList{QStringLiteral("profile:profile.db"), QStringLiteral("db:syslog.db")}
        << QStringLiteral("[db]\ndata=nodir/data.db\n")
        << QStringList{QStringLiteral("无法打开数据库文件 ./nodir/data.db"), QStringLiteral("错误的数据库文件 ./nodir/data.db"),
                       QStringLiteral("错误的数据库文件 ./qc.db")}
        << QStringLiteral("./nodir/data.db") << QVariant(QStringLiteral("hello")) << true;
    QTest::newRow("profile only in release: others resolved there")
        << QStringList{QStringLiteral("profile:release/profile.db"), QStringLiteral("db:release/data.db"),
                       QStringLiteral("db:release/qc.db"), QStringLiteral("db:release/syslog.db")}
        << QString() << QStringList() << QStringLiteral("release/data.db") << QVariant(QStringLiteral("hello")) << true;
    QTest::newRow("current directory before release")
        << (QStringList{QStringLiteral("profile:profile.db"), QStringLiteral("other:release/profile.db")} + dbs)
        << QString() << QStringList() << QStringLiteral("./data.db") << QVariant(QStringLiteral("hello")) << true;
    QTest::newRow("absolute db/profile: others resolved against the current directory")
        << (QStringList{QStringLiteral("other:sub/p.db")} + dbs) << QStringLiteral("[db]\nprofile={tmp}/sub/p.db\n")
        << QStringList() << QStringLiteral("./data.db") << QVariant(QStringLiteral("other")) << true;
    QTest::newRow("absolute db/data used unchanged")
        << QStringList{QStringLiteral("profile:profile.db"), QStringLiteral("db:elsewhere/d.db"),
                       QStringLiteral("db:qc.db"), QStringLiteral("db:syslog.db")}
        << QStringLiteral("[db]\ndata={tmp}/elsewhere/d.db\n") << QStringList()
        << QStringLiteral("{tmp}/elsewhere/d.db") << QVariant(QStringLiteral("hello")) << true;
    QTest::newRow("relative names from settings.ini")
        << QStringList{QStringLiteral("profile:p.db"), QStringLiteral("db:d.db"), QStringLiteral("db:q.db"),
                       QStringLiteral("db:s.db")}
        << QStringLiteral("[db]\nprofile=p.db\ndata=d.db\nqc=q.db\nsyslog=s.db\n") << QStringList()
        << QStringLiteral("./d.db") << QVariant(QStringLiteral("hello")) << true;
    QTest::newRow("settings.ini read as UTF-8")
        << QStringList{QStringLiteral("profile:profile.db"), QStringLiteral("db:数据/d.db"), QStringLiteral("db:qc.db"),
                       QStringLiteral("db:syslog.db")}
        << QStringLiteral("[db]\ndata=数据/d.db\n") << QStringList() << QStringLiteral("./数据/d.db")
        << QVariant(QStringLiteral("hello")) << true;
    QTest::newRow("settings.ini with the escapes Qt writes")
        << QStringList{QStringLiteral("profile:profile.db"), QStringLiteral("db:数据/d.db"), QStringLiteral("db:qc.db"),
                       QStringLiteral("db:syslog.db")}
        << QStringLiteral("[db]\ndata=\\x6570\\x636e/d.db\n") << QStringList() << QStringLiteral("./数据/d.db")
        << QVariant(QStringLiteral("hello")) << true;
    // Files that cannot be read whole: told, in status() too, and never written.
    QTest::newRow("older profile without a value column")
        << (QStringList{QStringLiteral("older:profile.db")} + dbs) << QString()
        << QStringList{QStringLiteral("无法加载配置文件 ./profile.db\nno such column: value*")}
        << QStringLiteral("./data.db") << QVariant() << false;
    QTest::newRow("no profile table beside another table")
        << (QStringList{QStringLiteral("notable:profile.db")} + dbs) << QString()
        << QStringList{QStringLiteral("无法加载配置文件 ./profile.db\nno such table: profile*")}
        << QStringLiteral("./data.db") << QVariant() << false;
    QTest::newRow("damaged page amid the rows: those before it kept")
        << (QStringList{QStringLiteral("damaged:profile.db")} + dbs) << QString()
        << QStringList{QStringLiteral("无法加载配置文件 ./profile.db\ndatabase disk image is malformed*")}
        << QStringLiteral("./data.db") << QVariant(QStringLiteral("hello")) << false;
    QTest::newRow("profile not a database")
        << (QStringList{QStringLiteral("garbage:profile.db")} + dbs) << QString()
        << QStringList{QStringLiteral("无法加载配置文件 ./profile.db\nfile is not a database*")}
        << QStringLiteral("./data.db") << QVariant() << false;
    QTest::newRow("data not a database: the profile is still saved")
        << QStringList{QStringLiteral("profile:profile.db"), QStringLiteral("garbage:data.db"), QStringLiteral("db:qc.db"),
                       QStringLiteral("db:syslog.db")}
        << QString() << QStringList{QStringLiteral("无法打开数据库文件 ./data.db\nfile is not a database*")}
        << QStringLiteral("./data.db") << QVariant(QStringLiteral("hello")) << true;
    // An unreadable settings.ini opens none of the working directory's files.
    QTest::newRow("settings.ini a folder")
        << (QStringList{QStringLiteral("profile:profile.db"), QStringLiteral("dir:settings.ini")} + dbs) << QString()
        << QStringList{QStringLiteral("无法读取启动设置 {tmp}/settings.ini\n它不是普通文件")} << QString() << QVariant()
        << false;
    QTest::newRow("settings.ini in UTF-16")
        << (QStringList{QStringLiteral("profile:profile.db"), QStringLiteral("other:p.db"),
                        QStringLiteral("utf16:settings.ini")} + dbs)
        << QStringLiteral("[db]\nprofile=p.db\n")
        << QStringList{QStringLiteral("无法读取启动设置 {tmp}/settings.ini\n它不是 UTF-8 文本")} << QString() << QVariant()
        << false;
    QTest::newRow("settings.ini unreadable (mode 000)")
        << (QStringList{QStringLiteral("profile:profile.db"), QStringLiteral("other:p.db"),
                        QStringLiteral("mode000:settings.ini")} + dbs)
        << QStringLiteral("[db]\nprofile=p.db\n")
        << QStringList{QStringLiteral("无法读取启动设置 {tmp}/settings.ini\n*")} << QString() << QVariant() << false;
}

void tst_Profile::startUpMessagesAndPaths()
{
    QFETCH(QStringList, files);
    QFETCH(QString, ini);
    QFETCH(QStringList, messages);
    QFETCH(QString, dataPath);
    QFETCH(QVariant, greeting);
    QFETCH(bool, saved);

    const QString tmp = QDir::currentPath();
    if (files.contains(QStringLiteral("mode000:settings.ini")) && ::geteuid() == 0)
        QSKIP("root reads a file of mode 000");
    for (const QString &file : qAsConst(files)) {
        const QString kind = file.section(QLatin1Char(':'), 0, 0);
        const QString path = file.section(QLatin1Char(':'), 1);
        if (kind == QLatin1String("profile"))
            QVERIFY(makeProfile(path));
        else if (kind == QLatin1String("other"))
            QVERIFY(makeProfile(path, QStringLiteral("other")));
        else if (kind == QLatin1String("db"))
            QVERIFY(makeDatabase(path));
        else if (kind == QLatin1String("empty"))
            QVERIFY(writeFile(path, QByteArray()));
        else if (kind == QLatin1String("dir"))
            QVERIFY(QDir().mkpath(path));
        else if (kind == QLatin1String("older"))
            QVERIFY(execOn(path, {QStringLiteral("create table profile (name text primary key, setting)"),
                                  QStringLiteral("insert into profile values('greeting', 'hello')")}));
        else if (kind == QLatin1String("notable"))
            QVERIFY(execOn(path, {QStringLiteral("create table settings (name text primary key, value)"),
                                  QStringLiteral("insert into settings values('greeting', 'hello')")}));
        else if (kind == QLatin1String("damaged"))
            QVERIFY(makeDamagedProfile(path));
        else if (kind == QLatin1String("garbage"))
            QVERIFY(writeFile(path, QByteArray(2048, 'x')));
        else if (kind == QLatin1String("utf16"))
            QVERIFY(writeFile(path, QByteArray("\xff\xfe", 2)
                                        + QByteArray(reinterpret_cast<const char *>(ini.utf16()), 2 * ini.size())));
        else if (kind == QLatin1String("mode000"))
            QVERIFY(writeFile(path, ini.toUtf8()) && QFile::setPermissions(path, QFileDevice::Permissions()));
    }
    const bool iniWritten = files.contains(QStringLiteral("utf16:settings.ini"))
                            || files.contains(QStringLiteral("mode000:settings.ini"));
    if (!ini.isNull() && !iniWritten)
        QVERIFY(writeFile(QStringLiteral("settings.ini"), ini.replace(QLatin1String("{tmp}"), tmp).toUtf8()));
    for (QString &message : messages)
        message.replace(QLatin1String("{tmp}"), tmp);
    dataPath.replace(QLatin1String("{tmp}"), tmp);

    const QMap<QString, QByteArray> before = snapshot();
    MessageBoxRecorder recorder;
    Profile profile(QStringLiteral("profile.db"), nullptr);

    QVERIFY2(sameMessages(recorder.texts(), messages), qPrintable(recorder.texts().join(QLatin1String(" | "))));
    QCOMPARE(profile.status(), messages.isEmpty() ? Profile::NoError : Profile::StartupError);
    QCOMPARE(profile.errorString(), recorder.texts().value(0));
    QCOMPARE(changedFiles(before, snapshot()), QStringList());
    for (const MessageBoxRecorder::Box &box : recorder.boxes()) {
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.title, QStringLiteral("ProfileTest"));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box.defaultButton, QMessageBox::Ok);
    }
    QCOMPARE(profile.workdir(), QDir::current());
    QCOMPARE(profile.value(QStringLiteral("greeting")), greeting);

    if (dataPath.isEmpty()) {
        for (const QString &name : connectionNames)
            QVERIFY2(!QSqlDatabase::contains(name), qPrintable(name));
        QVERIFY(!profile.dataDatabase().isValid());
    } else {
        for (const QString &name : connectionNames) {
            QVERIFY2(QSqlDatabase::contains(name), qPrintable(name));
            QCOMPARE(QSqlDatabase::database(name, false).connectOptions(),
                     QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
        }
        QCOMPARE(profile.dataDatabase().databaseName(), dataPath);
    }

    // Only a profile read whole is written to: what a program shows in place
    // of rows it could not read must not overwrite them.
    profile.setValue(QStringLiteral("probe"), QStringLiteral("written"), true);
    QCOMPARE(profile.value(QStringLiteral("probe")), QVariant(QStringLiteral("written")));
    if (saved) {
        QCOMPARE(rows(profile.database().databaseName()).value(QStringLiteral("probe")).value,
                 QVariant(QStringLiteral("written")));
        QCOMPARE(profile.status(), messages.isEmpty() ? Profile::NoError : Profile::StartupError);
    } else {
        QCOMPARE(changedFiles(before, snapshot()), QStringList());
        QVERIFY(profile.status() != Profile::NoError);
    }
}

void tst_Profile::profileInApplicationDirectory()
{
    // The test program's own directory is shared, so the files get names of
    // this process alone and are removed again.
    const QDir appDir(QCoreApplication::applicationDirPath());
    const QString stem = QStringLiteral("tst_profile_%1_").arg(QCoreApplication::applicationPid());
    const QStringList names = {stem + QStringLiteral("profile.db"), stem + QStringLiteral("data.db"),
                               stem + QStringLiteral("qc.db"), stem + QStringLiteral("syslog.db")};
    struct Remover {
        QDir dir;
        QStringList names;
        ~Remover() { for (const QString &n : names) dir.remove(n); }
    } remover{appDir, names};

    QVERIFY(makeProfile(appDir.filePath(names[0])));
    for (int i = 1; i < names.size(); ++i)
        QVERIFY(makeDatabase(appDir.filePath(names[i])));
    QVERIFY(writeFile(QStringLiteral("settings.ini"),
                      QStringLiteral("[db]\nprofile=%1\ndata=%2\nqc=%3\nsyslog=%4\n")
                          .arg(names[0], names[1], names[2], names[3]).toUtf8()));

    MessageBoxRecorder recorder;
    {
        Profile profile(QStringLiteral("profile.db"), nullptr);
        QCOMPARE(recorder.texts(), QStringList());
        QCOMPARE(profile.workdir(), QDir::current());
        QCOMPARE(profile.value(QStringLiteral("greeting")), QVariant(QStringLiteral("hello")));
        QCOMPARE(profile.database().databaseName(), appDir.filePath(names[0]));
        QCOMPARE(profile.dataDatabase().databaseName(), appDir.filePath(names[1]));
        QCOMPARE(profile.qcDatabase().databaseName(), appDir.filePath(names[2]));
        QCOMPARE(profile.syslogDatabase().databaseName(), appDir.filePath(names[3]));
        profile.setValue(QStringLiteral("found"), 1, true);
    }
    for (const QString &name : connectionNames)
        QSqlDatabase::removeDatabase(name);
    QCOMPARE(rows(appDir.filePath(names[0])).value(QStringLiteral("found")).value, QVariant(1));
}

void tst_Profile::defaultsOnlyWithoutProfile()
{
    MessageBoxRecorder recorder;
    Profile profile(QStringLiteral("profile.db"), nullptr);
    QCOMPARE(recorder.count(), 1);

    QSignalSpy changed(&profile, &Profile::valueChanged);
    // Start-up tells its box in the status too.
    QCOMPARE(profile.status(), Profile::StartupError);
    QCOMPARE(profile.errorString(), recorder.texts().value(0));
    profile.resetStatus();
    profile.setValue(QStringLiteral("k"), 5, true);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(profile.status(), Profile::AccessError);  // kept in memory only
    QCOMPARE(profile.value(QStringLiteral("k"), 0), QVariant(5));
    QVERIFY(!profile.database().isValid());
    QVERIFY(!profile.dataDatabase().isValid());
    QVERIFY(!QFile::exists(QStringLiteral("profile.db")));
    QCOMPARE(recorder.count(), 1);
}

void tst_Profile::instanceIsOneStore()
{
    MessageBoxRecorder recorder;
    Profile &first = Profile::instance();
    Profile &second = Profile::instance();
    QCOMPARE(&first, &second);
    QCOMPARE(first.parent(), static_cast<QObject *>(nullptr));
    QCOMPARE(recorder.texts(), QStringList{QStringLiteral("找不到配置文件 profile.db")});
}

void tst_Profile::lookupsRecordMisses_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QStringList>("chain"); // one, two or three keys
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<QStringList>("recorded"); // keys known afterwards

    const QVariant d(QStringLiteral("default"));
    QTest::newRow("miss gives the default and records the key")
        << QVariantMap() << QStringList{QStringLiteral("a")} << d << QStringList{QStringLiteral("a")};
    QTest::newRow("stored value")
        << QVariantMap{{QStringLiteral("a"), 3}} << QStringList{QStringLiteral("a")} << QVariant(3)
        << QStringList{QStringLiteral("a")};
    QTest::newRow("known without a value gives the default")
        << QVariantMap{{QStringLiteral("a"), QVariant()}} << QStringList{QStringLiteral("a")} << d
        << QStringList{QStringLiteral("a")};
    QTest::newRow("value2: neither set records both")
        << QVariantMap() << QStringList{QStringLiteral("a"), QStringLiteral("b")} << d
        << QStringList{QStringLiteral("a"), QStringLiteral("b")};
    QTest::newRow("value2: first set, second not consulted")
        << QVariantMap{{QStringLiteral("a"), 1}} << QStringList{QStringLiteral("a"), QStringLiteral("b")}
        << QVariant(1) << QStringList{QStringLiteral("a")};
    QTest::newRow("value2: falls back to the second")
        << QVariantMap{{QStringLiteral("b"), 2}} << QStringList{QStringLiteral("a"), QStringLiteral("b")}
        << QVariant(2) << QStringList{QStringLiteral("a"), QStringLiteral("b")};
    QTest::newRow("value3: falls back to the third")
        << QVariantMap{{QStringLiteral("c"), 3}}
        << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")} << QVariant(3)
        << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    QTest::newRow("value3: second wins over third")
        << QVariantMap{{QStringLiteral("b"), 2}, {QStringLiteral("c"), 3}}
        << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")} << QVariant(2)
        << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    QTest::newRow("value3: none set")
        << QVariantMap() << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")} << d
        << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
}

void tst_Profile::lookupsRecordMisses()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QStringList, chain);
    QFETCH(QVariant, expected);
    QFETCH(QStringList, recorded);

    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    MessageBoxRecorder recorder;
    Profile profile(QStringLiteral("profile.db"), nullptr);
    QCOMPARE(recorder.count(), 0);
    for (auto it = stored.cbegin(); it != stored.cend(); ++it)
        profile.setValue(it.key(), it.value(), false);

    const QVariant d(QStringLiteral("default"));
    QVariant result;
    if (chain.size() == 1)
        result = profile.value(chain[0], d);
    else if (chain.size() == 2)
        result = profile.value2(chain[0], chain[1], d);
    else
        result = profile.value3(chain[0], chain[1], chain[2], d);
    QCOMPARE(result, expected);

    QStringList keys = profile.keys();
    keys.removeOne(QStringLiteral("greeting"));
    keys.sort();
    QCOMPARE(keys, recorded);
    // Lookups never touch the file.
    QCOMPARE(rows().keys(), QStringList{QStringLiteral("greeting")});
}

void tst_Profile::writeThroughAndDelete()
{
    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    MessageBoxRecorder recorder;
    Profile profile(QStringLiteral("profile.db"), nullptr);
    QSignalSpy changed(&profile, &Profile::valueChanged);
    QSignalSpy removed(&profile, &Profile::keyRemoved);

    // Written at once on the store's thread.
    profile.setValue(QStringLiteral("k"), QStringLiteral("v1"), true);
    QCOMPARE(rows().value(QStringLiteral("k")).value, QVariant(QStringLiteral("v1")));
    profile.setValue(QStringLiteral("k"), QStringLiteral("v1"), true);
    QCOMPARE(changed.count(), 2); // emitted even when nothing changed
    QCOMPARE(changed.at(1).at(0).toString(), QStringLiteral("k"));

    // Without save: cache only, no signal.
    profile.setValue(QStringLiteral("k"), QStringLiteral("v2"), false);
    QCOMPARE(profile.value(QStringLiteral("k")), QVariant(QStringLiteral("v2")));
    QCOMPARE(rows().value(QStringLiteral("k")).value, QVariant(QStringLiteral("v1")));
    QCOMPARE(changed.count(), 2);

    // An invalid value deletes the row and leaves the key known.
    profile.setValue(QStringLiteral("k"), QVariant(), true);
    QVERIFY(!rows().contains(QStringLiteral("k")));
    QVERIFY(profile.keys().contains(QStringLiteral("k")));
    QCOMPARE(profile.value(QStringLiteral("k"), 9), QVariant(9));

    // remove forgets the key and deletes the row, known or not.
    profile.remove(QStringLiteral("greeting"));
    QVERIFY(!rows().contains(QStringLiteral("greeting")));
    QVERIFY(!profile.keys().contains(QStringLiteral("greeting")));
    profile.remove(QStringLiteral("never-seen"));
    QCOMPARE(removed.count(), 2);
    QCOMPARE(removed.at(1).at(0).toString(), QStringLiteral("never-seen"));
    QVERIFY(!profile.keys().contains(QStringLiteral("never-seen")));

    // An observer may call back into the store: no lock is held while emitting.
    connect(&profile, &Profile::valueChanged, &profile, [&profile](const QString &key, const QVariant &) {
        profile.setValue(key + QStringLiteral("-seen"), profile.value(key), false);
        profile.keys();
    });
    profile.setValue(QStringLiteral("echo"), 1, true);
    QCOMPARE(profile.value(QStringLiteral("echo-seen")), QVariant(1));
    QCOMPARE(profile.status(), Profile::NoError);

    // A write the file refuses is told, with its key and reason; the cache
    // keeps the new value.
    QVERIFY(execOn(QStringLiteral("profile.db"),
                   {QStringLiteral("create trigger refuse before insert on profile "
                                   "begin select raise(abort, 'read-only'); end")}));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("profile\\.cpp:\\d+: read-only")));
    profile.setValue(QStringLiteral("k"), QStringLiteral("v3"), true);
    QCOMPARE(profile.status(), Profile::AccessError);
    QVERIFY2(profile.errorString().startsWith(QStringLiteral("k: read-only")), qPrintable(profile.errorString()));
    QCOMPARE(profile.value(QStringLiteral("k")), QVariant(QStringLiteral("v3")));
    profile.resetStatus();
    QCOMPARE(profile.status(), Profile::NoError);
    QCOMPARE(recorder.count(), 0);
}

void tst_Profile::storedFormsSurviveRestart_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("storedType");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QVariant>("restored");

    QTest::newRow("text") << QVariant(QStringLiteral("不凝")) << QStringLiteral("text")
                          << QVariant(QStringLiteral("不凝")) << QVariant(QStringLiteral("不凝"));
    QTest::newRow("integer") << QVariant(-42) << QStringLiteral("integer") << QVariant(-42)
                             << QVariant(qlonglong(-42));
    QTest::newRow("bool true") << QVariant(true) << QStringLiteral("text") << QVariant(QStringLiteral("true"))
                               << QVariant(QStringLiteral("true"));
    QTest::newRow("bool false") << QVariant(false) << QStringLiteral("text") << QVariant(QStringLiteral("false"))
                                << QVariant(QStringLiteral("false"));
    QTest::newRow("colour as its name") << QVariant(QColor(255, 170, 0)) << QStringLiteral("text")
                                        << QVariant(QStringLiteral("#ffaa00")) << QVariant(QStringLiteral("#ffaa00"));
    QTest::newRow("colour alpha dropped") << QVariant(QColor(1, 2, 3, 100)) << QStringLiteral("text")
                                          << QVariant(QStringLiteral("#010203")) << QVariant(QStringLiteral("#010203"));
    QTest::newRow("invalid colour as NULL") << QVariant(QColor()) << QStringLiteral("null") << QVariant()
                                            << nullText();
    QTest::newRow("null string as NULL") << QVariant(QString()) << QStringLiteral("null") << QVariant()
                                         << nullText();
    QTest::newRow("empty string stays text") << QVariant(QLatin1String("")) << QStringLiteral("text")
                                             << QVariant(QLatin1String("")) << QVariant(QLatin1String(""));
    QTest::newRow("real") << QVariant(2.5) << QStringLiteral("real") << QVariant(2.5) << QVariant(2.5);
    QTest::newRow("one text in a list") << QVariant(QStringList{QStringLiteral("a")}) << QStringLiteral("text")
                                        << QVariant(QStringLiteral("a")) << QVariant(QStringLiteral("a"));
    QTest::newRow("date") << QVariant(QDate(2024, 1, 31)) << QStringLiteral("text")
                          << QVariant(QStringLiteral("2024-01-31")) << QVariant(QStringLiteral("2024-01-31"));
    QTest::newRow("bytes") << QVariant(QByteArray("\x00\xff", 2)) << QStringLiteral("blob")
                           << QVariant(QByteArray("\x00\xff", 2)) << QVariant(QByteArray("\x00\xff", 2));
    // No stored form reads these back equal: the save is refused and changes nothing.
    const QString refused = QStringLiteral("refused");
    QTest::newRow("size") << QVariant(QSize(3, 4)) << refused << QVariant() << QVariant();
    QTest::newRow("point") << QVariant(QPoint(1, 2)) << refused << QVariant() << QVariant();
    QTest::newRow("rect") << QVariant(QRect(1, 2, 3, 4)) << refused << QVariant() << QVariant();
    QTest::newRow("two texts in a list") << QVariant(QStringList{QStringLiteral("a"), QStringLiteral("b")}) << refused
                                         << QVariant() << QVariant();
    QTest::newRow("empty list") << QVariant(QStringList()) << refused << QVariant() << QVariant();
    QTest::newRow("map") << QVariant(QVariantMap{{QStringLiteral("a"), 1}}) << refused << QVariant() << QVariant();
    QTest::newRow("list of numbers") << QVariant(QVariantList{1, 2}) << refused << QVariant() << QVariant();
}

void tst_Profile::storedFormsSurviveRestart()
{
    QFETCH(QVariant, value);
    QFETCH(QString, storedType);
    QFETCH(QVariant, stored);
    QFETCH(QVariant, restored);

    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    MessageBoxRecorder recorder;
    if (storedType == QLatin1String("refused")) {
        Profile profile(QStringLiteral("profile.db"), nullptr);
        QSignalSpy changed(&profile, &Profile::valueChanged);
        profile.setValue(QStringLiteral("greeting"), value, true);
        QCOMPARE(profile.status(), Profile::ValueError);
        QVERIFY2(profile.errorString().startsWith(QStringLiteral("greeting: a %1 has no stored form")
                                                      .arg(QLatin1String(value.typeName()))),
                 qPrintable(profile.errorString()));
        QCOMPARE(profile.value(QStringLiteral("greeting")), QVariant(QStringLiteral("hello")));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(rows().value(QStringLiteral("greeting")).value, QVariant(QStringLiteral("hello")));
        // Kept in memory only, it is no save and is taken.
        profile.setValue(QStringLiteral("greeting"), value, false);
        QCOMPARE(profile.value(QStringLiteral("greeting")), value);
        return;
    }
    {
        Profile profile(QStringLiteral("profile.db"), nullptr);
        profile.setValue(QStringLiteral("k"), value, true);
        QCOMPARE(profile.value(QStringLiteral("k")), value);
        QCOMPARE(profile.status(), Profile::NoError);
    }
    const Row row = rows().value(QStringLiteral("k"));
    QCOMPARE(row.type, storedType);
    if (stored.isValid())
        QCOMPARE(row.value.toString(), stored.toString());

    Profile restarted(QStringLiteral("profile.db"), nullptr);
    const QVariant back = restarted.value(QStringLiteral("k"), QStringLiteral("default"));
    QCOMPARE(back.userType(), restored.userType());
    QCOMPARE(back.isNull(), restored.isNull());
    QCOMPARE(back, restored);
    QCOMPARE(recorder.count(), 0);
}

void tst_Profile::typedSettingsRoundTrip_data()
{
    QTest::addColumn<QString>("key");
    const QMap<QString, Accessor> all = accessors();
    // Every accessor has its item.
    QCOMPARE(Profile::items().size(), all.size());
    QVERIFY(!Profile::findItem(QStringLiteral("no_such_setting")).isValid());
    for (const QString &key : all.keys())
        QTest::newRow(qPrintable(key)) << key;
}

void tst_Profile::typedSettingsRoundTrip()
{
    QFETCH(QString, key);
    const Accessor accessor = accessors().value(key);
    const ProfileItem item = Profile::findItem(key);
    QCOMPARE(item.key(), key);
    QCOMPARE(item.type(), accessor.type);
    QCOMPARE(item.defaultValue().userType(), accessor.type);
    QVERIFY(!item.group().isEmpty() && !item.label().isEmpty());

    QVariant sample, fallback, stored;
    if (accessor.type == QMetaType::QString) {
        sample = QStringLiteral("值 %1").arg(key);
        fallback = QStringLiteral("default");
        stored = sample;
    } else if (accessor.type == QMetaType::QColor) {
        sample = QColor(0x12, 0x34, 0x56);
        fallback = QColor(Qt::red);
        stored = QStringLiteral("#123456");
    } else if (accessor.type == QMetaType::Int) {
        sample = 42;
        fallback = 7;
        stored = 42;
    } else {
        QCOMPARE(accessor.type, int(QMetaType::Bool));
        sample = true;
        fallback = false;
        stored = QStringLiteral("true");
    }

    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    MessageBoxRecorder recorder;
    {
        Profile profile(QStringLiteral("profile.db"), nullptr);
        QSignalSpy changed(&profile, &Profile::valueChanged);
        // Nothing stored: the caller's default, and the key is now known.
        QCOMPARE(accessor.get(profile, fallback), fallback);
        QVERIFY(profile.keys().contains(key));
        // A getter called without a default, here through the item, takes the declared one.
        QCOMPARE(item.value(profile), item.defaultValue());
        accessor.set(profile, sample, true);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toString(), key);
        QCOMPARE(accessor.get(profile, fallback), sample);
    }
    QCOMPARE(rows().value(key).value.toString(), stored.toString());

    Profile restarted(QStringLiteral("profile.db"), nullptr);
    QCOMPARE(accessor.get(restarted, fallback), sample);
    // The item reads and writes the accessors' row.
    QCOMPARE(item.value(restarted), sample);
    item.setValue(restarted, fallback, true);
    QCOMPARE(accessor.get(restarted, sample), fallback);
    QCOMPARE(recorder.count(), 0);
}

void tst_Profile::badlyStoredRowsConvert_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("sqlValue"); // SQL literal in the row
    QTest::addColumn<QVariant>("fallback");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("non-numeric integer gives 0") << QStringLiteral("max_qc_file") << QStringLiteral("'abc'")
                                                 << QVariant(5) << QVariant(0);
    QTest::newRow("numeric text integer") << QStringLiteral("qc_method") << QStringLiteral("'12'") << QVariant(5)
                                          << QVariant(12);
    QTest::newRow("stored integer") << QStringLiteral("qc_method") << QStringLiteral("3") << QVariant(5)
                                    << QVariant(3);
    QTest::newRow("\"false\" gives false") << QStringLiteral("is_touch_screen") << QStringLiteral("'false'")
                                           << QVariant(true) << QVariant(false);
    QTest::newRow("\"FALSE\" gives false") << QStringLiteral("is_touch_screen") << QStringLiteral("'FALSE'")
                                           << QVariant(true) << QVariant(false);
    QTest::newRow("\"0\" gives false") << QStringLiteral("is_touch_screen") << QStringLiteral("'0'")
                                       << QVariant(true) << QVariant(false);
    QTest::newRow("other text gives true") << QStringLiteral("is_touch_screen") << QStringLiteral("'yes'")
                                           << QVariant(false) << QVariant(true);
    QTest::newRow("integer 1 gives true") << QStringLiteral("is_touch_screen") << QStringLiteral("1")
                                          << QVariant(false) << QVariant(true);
    QTest::newRow("unknown colour name gives an invalid colour")
        << QStringLiteral("color_of_lower_mark") << QStringLiteral("'nocolour'") << QVariant(QColor(Qt::red))
        << QVariant(QColor());
    QTest::newRow("named colour") << QStringLiteral("color_of_waiting") << QStringLiteral("'blue'")
                                  << QVariant(QColor(Qt::red)) << QVariant(QColor(Qt::blue));
    QTest::newRow("NULL colour is invalid, not the default")
        << QStringLiteral("color_of_null_result") << QStringLiteral("NULL") << QVariant(QColor(Qt::red))
        << QVariant(QColor());
    QTest::newRow("integer as text") << QStringLiteral("hospital") << QStringLiteral("17")
                                     << QVariant(QStringLiteral("d")) << QVariant(QStringLiteral("17"));
    QTest::newRow("NULL text is empty, not the default")
        << QStringLiteral("hospital") << QStringLiteral("NULL") << QVariant(QStringLiteral("d")) << QVariant(QString());
}

void tst_Profile::badlyStoredRowsConvert()
{
    QFETCH(QString, key);
    QFETCH(QString, sqlValue);
    QFETCH(QVariant, fallback);
    QFETCH(QVariant, expected);

    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(execOn(QStringLiteral("profile.db"),
                   {QStringLiteral("insert into profile values('%1', %2)").arg(key, sqlValue)}));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    MessageBoxRecorder recorder;
    Profile profile(QStringLiteral("profile.db"), nullptr);
    const QVariant result = accessors().value(key).get(profile, fallback);
    QCOMPARE(result, expected);
    if (expected.userType() == QMetaType::QColor)
        QCOMPARE(qvariant_cast<QColor>(result).isValid(), qvariant_cast<QColor>(expected).isValid());
    QCOMPARE(recorder.count(), 0);
}

void tst_Profile::unsavedSettingIsGoneAfterRestart()
{
    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    MessageBoxRecorder recorder;
    {
        Profile profile(QStringLiteral("profile.db"), nullptr);
        profile.set_manual_input_flag(QStringLiteral("手"), true);
        QSignalSpy changed(&profile, &Profile::valueChanged);
        profile.set_hospital(QStringLiteral("第一医院"), false);
        profile.set_manual_input_flag(QStringLiteral("X"), false);
        QCOMPARE(profile.hospital(QStringLiteral("d")), QStringLiteral("第一医院"));
        QCOMPARE(changed.count(), 0);
    }
    Profile restarted(QStringLiteral("profile.db"), nullptr);
    QCOMPARE(restarted.hospital(QStringLiteral("d")), QStringLiteral("d"));
    QCOMPARE(restarted.manual_input_flag(QStringLiteral("M")), QStringLiteral("手"));
    QCOMPARE(recorder.count(), 0);
}

void tst_Profile::workerWriteIsQueuedToStoreThread()
{
    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    MessageBoxRecorder recorder;
    Profile profile(QStringLiteral("profile.db"), nullptr);

    const int writes = 50;
    std::thread worker([&profile]() {
        for (int i = 0; i < writes; ++i) {
            profile.setValue(QStringLiteral("counter"), i, true);
            profile.setValue(QStringLiteral("k%1").arg(i), i, true);
        }
        profile.remove(QStringLiteral("greeting"));
        profile.remove(QStringLiteral("k0"));
    });
    worker.join();

    // The cache has the writes at once; the file only when the store's thread
    // runs the queued slots, in the order they were emitted.
    QCOMPARE(profile.value(QStringLiteral("counter")), QVariant(writes - 1));
    QVERIFY(rows().contains(QStringLiteral("greeting")));
    QVERIFY(!rows().contains(QStringLiteral("counter")));
    QTRY_COMPARE(rows().value(QStringLiteral("counter")).value, QVariant(writes - 1));
    const QMap<QString, Row> after = rows();
    QVERIFY(!after.contains(QStringLiteral("greeting")));
    QVERIFY(!after.contains(QStringLiteral("k0")));
    QCOMPARE(after.size(), writes); // counter and k1..k49
    QCOMPARE(after.value(QStringLiteral("k49")).value, QVariant(49));
    QCOMPARE(recorder.count(), 0);
}

void tst_Profile::concurrentLookupsAndWrites()
{
    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    MessageBoxRecorder recorder;
    Profile profile(QStringLiteral("profile.db"), nullptr);

    const int rounds = 20000;
    const int shared = 64;
    std::atomic<int> ready{0};
    std::atomic<bool> badValue{false};
    auto hammer = [&](int id) {
        ++ready;
        while (ready.load() < 2) {
        }
        const QString own = QStringLiteral("t%1").arg(id);
        for (int i = 0; i < rounds; ++i) {
            const QString key = QStringLiteral("shared%1").arg((i * (id + 1)) % shared);
            const QVariant v = profile.value(key, -1);
            if (v.toInt() < -1 || v.toInt() >= rounds)
                badValue = true;
            profile.setValue(key, i, false);
            profile.value(QStringLiteral("miss%1-%2").arg(id).arg(i % 128), 0);
            if (i % 500 == 0)
                profile.setValue(own, i, true);
            if (i % 1000 == 0)
                profile.keys();
        }
        profile.setValue(own, rounds, true);
    };
    std::thread a(hammer, 0);
    std::thread b(hammer, 1);
    a.join();
    b.join();

    QVERIFY(!badValue);
    const QStringList keys = profile.keys();
    for (int id = 0; id < 2; ++id)
        for (int i = 0; i < 128; ++i)
            QVERIFY(keys.contains(QStringLiteral("miss%1-%2").arg(id).arg(i)));
    for (int s = 0; s < shared; ++s)
        QVERIFY(profile.value(QStringLiteral("shared%1").arg(s)).isValid());
    // Each thread's saves land in its order: the last one wins.
    QTRY_COMPARE(rows().value(QStringLiteral("t0")).value, QVariant(rounds));
    QTRY_COMPARE(rows().value(QStringLiteral("t1")).value, QVariant(rounds));
    QCOMPARE(recorder.count(), 0);
}

void tst_Profile::fileEndsAsTheCacheEnds_data()
{
    // workers: threads saving beside the GUI thread; lockStep: each worker
    // operation finishes before the next operation starts (so a worker's save
    // followed by the GUI's on the same key happens every time), otherwise all
    // run at once; guard: what an editor does to the store's signals meanwhile.
    QTest::addColumn<int>("workers");
    QTest::addColumn<bool>("lockStep");
    QTest::addColumn<QString>("guard");

    QTest::newRow("worker and GUI in turn") << 1 << true << QString();
    QTest::newRow("two workers and GUI at once") << 2 << false << QString();
    QTest::newRow("GUI alone, signals blocked") << 0 << true << QStringLiteral("blocker");
    QTest::newRow("worker and GUI, signals blocked") << 1 << true << QStringLiteral("blockSignals");
    QTest::newRow("two workers and GUI, all disconnected") << 2 << false << QStringLiteral("disconnect");
}

void tst_Profile::fileEndsAsTheCacheEnds()
{
    QFETCH(int, workers);
    QFETCH(bool, lockStep);
    QFETCH(QString, guard);

    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    MessageBoxRecorder recorder;
    Profile profile(QStringLiteral("profile.db"), nullptr);

    QScopedPointer<QSignalBlocker> blocker;
    if (guard == QLatin1String("blocker"))
        blocker.reset(new QSignalBlocker(&profile));
    else if (guard == QLatin1String("blockSignals"))
        profile.blockSignals(true);
    else if (guard == QLatin1String("disconnect"))
        profile.disconnect();

    // A few keys that every thread sets, clears and removes, "greeting" (a
    // stored row) among them.
    const QStringList keys = {QStringLiteral("greeting"), QStringLiteral("a"), QStringLiteral("b"),
                              QStringLiteral("c")};
    auto operate = [&profile, &keys](std::mt19937 &random, int actor, int step) {
        const QString &key = keys.at(int(random() % unsigned(keys.size())));
        switch (random() % 4) {
        case 0: profile.setValue(key, QStringLiteral("t%1-%2").arg(actor).arg(step), true); break;
        case 1: profile.setValue(key, actor * 100000 + step, true); break;
        case 2: profile.setValue(key, QVariant(), true); break;
        default: profile.remove(key); break;
        }
    };

    const int steps = 600;
    if (lockStep) {
        std::mt19937 random(7);
        for (int step = 0; step < steps; ++step) {
            const int actor = workers ? int(random() % 2) : 0;
            if (actor == 0)
                operate(random, 0, step);
            else
                std::thread([&]() { operate(random, actor, step); }).join();
            if (random() % 16 == 0)
                QCoreApplication::processEvents();
        }
    } else {
        std::vector<std::thread> threads;
        for (int w = 1; w <= workers; ++w) {
            threads.emplace_back([&, w]() {
                std::mt19937 random{unsigned(w)};
                for (int step = 0; step < steps; ++step)
                    operate(random, w, step);
            });
        }
        // The GUI thread's saves run at once while the workers' wait for its
        // event loop, which turns only at the end.
        std::mt19937 random(0);
        for (int step = 0; step < steps; ++step)
            operate(random, 0, step);
        for (std::thread &t : threads)
            t.join();
    }
    QCoreApplication::processEvents();

    const QMap<QString, Row> file = rows();
    for (const QString &key : keys) {
        const QVariant cached = profile.value(key);
        if (cached.isValid()) {
            QVERIFY2(file.contains(key), qPrintable(key + QStringLiteral(": cache ") + cached.toString()
                                                    + QStringLiteral(", no row")));
            QCOMPARE(file.value(key).value.toString(), cached.toString());
        } else {
            QVERIFY2(!file.contains(key), qPrintable(key + QStringLiteral(": no value, row ")
                                                     + file.value(key).value.toString()));
        }
    }
    QCOMPARE(recorder.count(), 0);
}

void tst_Profile::firstUseOnAWorkerThread()
{
    // The store is process-wide, so a fresh process of this program is the
    // application under test.
    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    const ToolResult child = runProgram(QCoreApplication::applicationFilePath(),
                                        {QStringLiteral("--first-use-on-worker")}, QDir::currentPath(), 60000);
    QVERIFY(child.finished);
    const QByteArray &err = child.err;
    QVERIFY2(child.exitCode == 0, err.constData());
    QCOMPARE(child.out, QByteArray("greeting=hello data=usable\n"));
    // The misuse is named, once.
    QCOMPARE(err.count("first used on a thread other than the application's main thread"), 1);

    const QMap<QString, Row> file = rows();
    QCOMPARE(file.value(QStringLiteral("from-worker")).value, QVariant(QStringLiteral("w")));
    QCOMPARE(file.value(QStringLiteral("from-gui")).value, QVariant(QStringLiteral("g")));
}

void tst_Profile::busySavesWaitAndLand_data()
{
    // worker: a thread saves too while the lock is held; flush: the program
    // flushes at its end instead of waiting for the store's next try.
    QTest::addColumn<bool>("worker");
    QTest::addColumn<bool>("flush");
    QTest::newRow("retried once the lock goes") << false << false;
    QTest::newRow("a worker saves meanwhile") << true << false;
    QTest::newRow("flushed at shutdown") << true << true;
}

void tst_Profile::busySavesWaitAndLand()
{
    QFETCH(bool, worker);
    QFETCH(bool, flush);

    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    MessageBoxRecorder recorder;
    Profile profile(QStringLiteral("profile.db"), nullptr);

    // Another connection holds the write lock, as another program would.
    const QString holderName = QStringLiteral("tst_profile_holder");
    QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), holderName);
    holder.setDatabaseName(QStringLiteral("profile.db"));
    QVERIFY(holder.open());
    QVERIFY(QSqlQuery(holder).exec(QStringLiteral("begin immediate")));

    // The first save waits the connection's busy time-out, made short here.
    QSqlQuery setting(profile.database());
    QVERIFY(setting.exec(QStringLiteral("pragma busy_timeout = 50")));
    profile.setValue(QStringLiteral("a"), 1, true);
    QCOMPARE(profile.status(), Profile::SavesPending);
    QVERIFY2(profile.errorString().contains(QStringLiteral("database is locked")), qPrintable(profile.errorString()));

    // Now a save that waited the busy time-out again would not end before the
    // test's time-out: the saves of the same burst must not wait.
    QVERIFY(setting.exec(QStringLiteral("pragma busy_timeout = 600000")));
    profile.setValue(QStringLiteral("a"), 2, true);
    profile.remove(QStringLiteral("greeting"));
    profile.setValue(QStringLiteral("greeting"), QStringLiteral("again"), true);
    profile.setValue(QStringLiteral("b"), QStringLiteral("x"), true);
    profile.remove(QStringLiteral("b"));
    if (worker) {
        std::thread([&profile]() {
            for (int i = 0; i < 20; ++i)
                profile.setValue(QStringLiteral("w"), i, true);
        }).join();
        QCoreApplication::processEvents();
    }
    QVERIFY(!profile.flush(0));
    QCOMPARE(profile.status(), Profile::SavesPending);
    QCOMPARE(profile.value(QStringLiteral("a")), QVariant(2));
    QCOMPARE(rows().value(QStringLiteral("greeting")).value, QVariant(QStringLiteral("hello")));
    QVERIFY(!rows().contains(QStringLiteral("a")));

    QVERIFY(QSqlQuery(holder).exec(QStringLiteral("commit")));
    if (flush)
        QVERIFY(profile.flush(10000));
    else
        QTRY_COMPARE_WITH_TIMEOUT(profile.status(), Profile::NoError, 20000);
    QCOMPARE(profile.status(), Profile::NoError);

    // Everything landed, in order: the file holds what the cache holds.
    const QMap<QString, Row> file = rows();
    QCOMPARE(file.value(QStringLiteral("a")).value, QVariant(2));
    QCOMPARE(file.value(QStringLiteral("greeting")).value, QVariant(QStringLiteral("again")));
    QVERIFY(!file.contains(QStringLiteral("b")));
    if (worker)
        QCOMPARE(file.value(QStringLiteral("w")).value, QVariant(19));
    // The connection's own busy time-out is back.
    QVERIFY(setting.exec(QStringLiteral("pragma busy_timeout")) && setting.next());
    QCOMPARE(setting.value(0).toInt(), 600000);
    QCOMPARE(recorder.count(), 0);

    holder.close();
    holder = QSqlDatabase();
    QSqlDatabase::removeDatabase(holderName);
}

void tst_Profile::pendingSavesAtExit_data()
{
    QTest::addColumn<QString>("lock");
    QTest::addColumn<bool>("written");
    QTest::newRow("lock gone: written on the way out") << QStringLiteral("released") << true;
    QTest::newRow("lock still held: lost, and told") << QStringLiteral("held") << false;
}

void tst_Profile::pendingSavesAtExit()
{
    // The last try comes while the application object goes, before the SQL
    // module closes the connections.
    QFETCH(QString, lock);
    QFETCH(bool, written);
    QVERIFY(makeProfile(QStringLiteral("profile.db")));
    QVERIFY(makeDatabase(QStringLiteral("data.db")) && makeDatabase(QStringLiteral("qc.db"))
            && makeDatabase(QStringLiteral("syslog.db")));
    const ToolResult child = runProgram(QCoreApplication::applicationFilePath(),
                                        {QStringLiteral("--exit-with-pending-save"), lock}, QDir::currentPath(), 60000);
    QVERIFY(child.finished);
    const QByteArray &err = child.err;
    QVERIFY2(child.exitCode == 0, err.constData());
    QCOMPARE(rows().value(QStringLiteral("late")).value,
             written ? QVariant(QStringLiteral("saved")) : QVariant());
    QVERIFY2(err.contains("closed with 1 changed settings not written") != written, err.constData());
    QVERIFY2(!err.contains("not open") && !err.contains("not loaded"), err.constData());
}

int main(int argc, char **argv)
{
    if (argc > 2 && std::strcmp(argv[1], "--exit-with-pending-save") == 0)
        return exitWithPendingSave(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--first-use-on-worker") == 0)
        return firstUseOnAWorker(argc, argv);
    QApplication app(argc, argv);
    tst_Profile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_profile.moc"
