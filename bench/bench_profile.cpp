// Lookups in the settings profile against QSettings on the same 1,000 keys,
// on one thread and on two threads at once.
#include <benchmark/benchmark.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QSettings>
#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>

#include <cstdio>
#include <memory>

#include <profile.h>
#include <qvglobal.h>

namespace {

const int KeyCount = 1000;

struct Fixture {
    QTemporaryDir dir;
    QStringList keys;
    QString iniPath;
    std::unique_ptr<Profile> profile;
};
Fixture *fixture = nullptr;

bool createFiles(Fixture &f)
{
    const QDir dir(f.dir.path());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench_setup"));
        db.setDatabaseName(dir.filePath(QStringLiteral("profile.db")));
        if (!db.open())
            return false;
        QSqlQuery query(db);
        query.exec(QStringLiteral("create table profile (name text primary key, value)"));
        db.transaction();
        query.prepare(QStringLiteral("insert into profile values(?, ?)"));
        for (int i = 0; i < KeyCount; ++i) {
            query.addBindValue(f.keys.at(i));
            query.addBindValue(i % 2 ? QVariant(i) : QVariant(QStringLiteral("text %1").arg(i)));
            query.exec();
        }
        db.commit();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench_setup"));
    for (const char *name : {"data.db", "qc.db", "syslog.db"}) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench_other"));
        db.setDatabaseName(dir.filePath(QLatin1String(name)));
        if (db.open())
            QSqlQuery(db).exec(QStringLiteral("create table t (x)"));
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("bench_other"));
    }

    f.iniPath = dir.filePath(QStringLiteral("bench.ini"));
    QSettings ini(f.iniPath, QSettings::IniFormat);
    for (int i = 0; i < KeyCount; ++i)
        ini.setValue(f.keys.at(i), i % 2 ? QVariant(i) : QVariant(QStringLiteral("text %1").arg(i)));
    ini.sync();
    return ini.status() == QSettings::NoError;
}

void BM_ProfileValue(benchmark::State &state)
{
    Profile &profile = *fixture->profile;
    const QStringList &keys = fixture->keys;
    int i = (state.thread_index() * KeyCount / 2) % KeyCount;
    for (auto _ : state) {
        QVariant v = profile.value(keys.at(i), QVariant());
        benchmark::DoNotOptimize(v);
        if (++i == KeyCount)
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProfileValue)->Threads(1)->Threads(2)->UseRealTime();

void BM_QSettingsValue(benchmark::State &state)
{
    // QSettings objects are not shared between threads: one each, on the same file.
    QSettings settings(fixture->iniPath, QSettings::IniFormat);
    const QStringList &keys = fixture->keys;
    int i = (state.thread_index() * KeyCount / 2) % KeyCount;
    for (auto _ : state) {
        QVariant v = settings.value(keys.at(i), QVariant());
        benchmark::DoNotOptimize(v);
        if (++i == KeyCount)
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QSettingsValue)->Threads(1)->Threads(2)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);

    Fixture f;
    for (int i = 0; i < KeyCount; ++i)
        f.keys << QStringLiteral("setting_key_%1").arg(i, 4, 10, QLatin1Char('0'));
    if (!f.dir.isValid() || !createFiles(f)) {
        std::fprintf(stderr, "bench_profile: cannot create the test files\n");
        return 1;
    }
    // Start-up must find everything; a box here would mean a broken fixture.
    int boxes = 0;
    setMessageBoxHandler([&boxes](QMessageBox::Icon, const QString &, const QString &text,
                                  QMessageBox::StandardButtons, QMessageBox::StandardButton) {
        std::fprintf(stderr, "bench_profile: %s\n", qPrintable(text));
        ++boxes;
        return QMessageBox::Ok;
    });
    const QString start = QDir::currentPath();
    QDir::setCurrent(f.dir.path());
    f.profile.reset(new Profile(QStringLiteral("profile.db"), nullptr));
    QDir::setCurrent(start);
    if (boxes != 0 || f.profile->keys().size() != KeyCount) {
        std::fprintf(stderr, "bench_profile: profile not loaded\n");
        return 1;
    }
    fixture = &f;

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fixture = nullptr;
    f.profile.reset();
    setMessageBoxHandler(MessageBoxHandler());
    return 0;
}
