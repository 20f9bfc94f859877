#include <benchmark/benchmark.h>

#include <QtCore/QDir>
#include <QtCore/QRandomGenerator>
#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtWidgets/QApplication>

#include <analysisresult.h>
#include <clotcurve.h>
#include <profile.h>

#include <cstring>

namespace {

const int curvePoints = 1000000;

// A recording of one million points at dx 0.01: a flat baseline, then a signal
// that falls as the sample clots.
ClotCurve millionPointCurve()
{
    QVector<double> y(curvePoints);
    QRandomGenerator random(7);
    for (int i = 0; i < curvePoints; ++i)
        y[i] = (i < 500 ? 1000.0 : 1000.0 - 600.0 * i / curvePoints) + random.bounded(2.0);
    ClotCurve c;
    c.append(0.0, 0.01, y);
    return c;
}

void BM_CurveToOpticalDensity(benchmark::State &state)
{
    const ClotCurve raw = millionPointCurve();
    for (auto _ : state) {
        ClotCurve od = raw.toType(ClotCurve::OpticalDensity);
        benchmark::DoNotOptimize(od.y(curvePoints - 1));
    }
    state.SetItemsProcessed(state.iterations() * curvePoints);
    state.SetBytesProcessed(state.iterations() * qint64(curvePoints) * 8);
}
BENCHMARK(BM_CurveToOpticalDensity)->Unit(benchmark::kMillisecond);

void BM_CurveFromBuffer(benchmark::State &state)
{
    const QByteArray stored = millionPointCurve().toBuffer();
    for (auto _ : state) {
        ClotCurve c = ClotCurve::fromBuffer(stored);
        benchmark::DoNotOptimize(c.y(curvePoints - 1));
    }
    state.SetBytesProcessed(state.iterations() * qint64(stored.size()));
}
BENCHMARK(BM_CurveFromBuffer)->Unit(benchmark::kMillisecond);

// The floor for reading the stored form: copying the same bytes into a fresh buffer.
void BM_MemcpyOfStoredCurve(benchmark::State &state)
{
    const QByteArray stored = millionPointCurve().toBuffer();
    for (auto _ : state) {
        QVector<double> target(stored.size() / 8 + 1);
        std::memcpy(target.data(), stored.constData(), size_t(stored.size()));
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * qint64(stored.size()));
}
BENCHMARK(BM_MemcpyOfStoredCurve)->Unit(benchmark::kMillisecond);

void BM_CurveToBuffer(benchmark::State &state)
{
    const ClotCurve c = millionPointCurve();
    qint64 bytes = 0;
    for (auto _ : state) {
        const QByteArray stored = c.toBuffer();
        bytes += stored.size();
        benchmark::DoNotOptimize(stored.constData());
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_CurveToBuffer)->Unit(benchmark::kMillisecond);

// Text forms with the default markers (nothing stored in the profile).
void BM_ResultToString(benchmark::State &state)
{
    AnalysisResult r(AnalysisResult::BelowLimit, 3.5);
    r.setFlags(0x8000 | 0x2 | 0x4 | 0x10);
    for (auto _ : state) {
        const QString text = r.toString(AnalysisResult::DisplayFormat, 'g', 6);
        benchmark::DoNotOptimize(text.constData());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResultToString);

void BM_ResultToStringPlain(benchmark::State &state)
{
    const AnalysisResult r(12.5);
    for (auto _ : state) {
        const QString text = r.toString(AnalysisResult::DisplayFormat, 'f', 1);
        benchmark::DoNotOptimize(text.constData());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResultToStringPlain);

void BM_ResultParse(benchmark::State &state)
{
    const QString text = QStringLiteral("M!< 3.5 \u2193");
    for (auto _ : state) {
        const AnalysisResult r(text);
        benchmark::DoNotOptimize(r.value());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResultParse);

void BM_ResultParsePlain(benchmark::State &state)
{
    const QString text = QStringLiteral("12.5");
    for (auto _ : state) {
        const AnalysisResult r(text);
        benchmark::DoNotOptimize(r.value());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResultParsePlain);

// A marker that changes before every parse: the patterns are compiled each time.
void BM_ResultParseChangingMarker(benchmark::State &state)
{
    const QString text = QStringLiteral("M!< 3.5 \u2193");
    const QString markers[] = {QStringLiteral("M"), QStringLiteral("H")};
    int i = 0;
    for (auto _ : state) {
        Profile::instance().set_manual_input_flag(markers[i++ & 1], false);
        const AnalysisResult r(text);
        benchmark::DoNotOptimize(r.value());
    }
    Profile::instance().setValue(QStringLiteral("manual_input_flag"), QVariant(), false);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResultParseChangingMarker);

void BM_ResultCopy(benchmark::State &state)
{
    AnalysisResult r(12.5);
    r.setFlags(0x8000);
    for (auto _ : state) {
        AnalysisResult copy = r;
        benchmark::DoNotOptimize(copy.value());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResultCopy);

} // namespace

// The profile starts in a temporary directory with the database files it looks
// for, so that no setting of a real installation is read or written.
bool startProfile(const QTemporaryDir &dir)
{
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return false;
    const char *const files[][2] = {{"profile.db", "create table profile (name text primary key, value)"},
                                    {"data.db", "create table curve (patientId integer, item text, version integer, curve blob)"},
                                    {"qc.db", "create table qc (id integer)"},
                                    {"syslog.db", "create table syslog (id integer)"}};
    for (const auto &file : files) {
        bool ok = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
            db.setDatabaseName(QLatin1String(file[0]));
            ok = db.open() && QSqlQuery(db).exec(QLatin1String(file[1]));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("bench"));
        if (!ok)
            return false;
    }
    Profile::instance();
    return true;
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString start = QDir::currentPath();
    QTemporaryDir dir;
    if (!startProfile(dir)) {
        qWarning("bench_results: cannot set up a profile in %s", qPrintable(dir.path()));
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    QDir::setCurrent(start);
    return 0;
}
