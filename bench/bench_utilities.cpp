// Cost of the text helpers that item views call per cell: ratios parsed with
// the one shared expression (alone and from several threads), dilutions
// normalised, volumes formatted, and an expression evaluated on a fresh engine.
#include <benchmark/benchmark.h>

#include <qvglobal.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QStringList>

namespace {

const QStringList ratios = {QStringLiteral("1/8"), QStringLiteral("dilution -2.5 : 10 of plasma"),
                            QStringLiteral("no ratio in this text"), QStringLiteral("1/320")};

void BM_Fraction(benchmark::State &state)
{
    int i = 0;
    for (auto _ : state) {
        bool ok;
        benchmark::DoNotOptimize(fraction(ratios.at(i++ & 3), &ok));
    }
}
BENCHMARK(BM_Fraction)->Threads(1)->Threads(2);

void BM_NormalizedDilution(benchmark::State &state)
{
    const QStringList texts = {QStringLiteral(" 01 : 10 "), QStringLiteral("1/2/3")};
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(normalizedDilution(texts.at(i++ & 1)));
}
BENCHMARK(BM_NormalizedDilution);

void BM_HumanReadableVolume(benchmark::State &state)
{
    const int volumes[] = {250, 1500, 1234567};
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(humanReadableVolume(volumes[i++ % 3]));
}
BENCHMARK(BM_HumanReadableVolume);

void BM_Eval(benchmark::State &state)
{
    const QString program = QStringLiteral("var ratio = 1 / 8; ratio * 100");
    for (auto _ : state)
        benchmark::DoNotOptimize(eval(program));
}
BENCHMARK(BM_Eval);

} // namespace

int main(int argc, char **argv)
{
    // The script engine wants an application object.
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
