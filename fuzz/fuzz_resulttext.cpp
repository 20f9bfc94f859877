// Result texts are typed in by operators and the markers they are parsed with
// are user settings: any text with any markers, regular-expression characters
// and markers that contain one another included, must parse to a coherent
// result, and with the shipped markers a result's own text must parse back
// to it.
//
// Input: byte 0 selects the default markers (even) or custom ones (odd); with
// custom ones the next nine bytes pick the seven markers and the two
// placeholders from a table. The rest, as UTF-8, is the text.
#include <analysisresult.h>
#include <profile.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QTemporaryDir>
#include <QtCore/QtGlobal>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

const char *const Candidates[] = {
    "", "M", "!", "<", ">", "<<", "<>", "↓", "↑", "不凝", "---.-", "*", ".", "\\", "(", ")",
    "[", "]", "|", "^", "$", "+", "?", "{2}", "1", "e", "-", " ", "M!", "\\d", ".*", "a|b",
};
constexpr int CandidateCount = int(sizeof(Candidates) / sizeof(Candidates[0]));

struct Environment
{
    Environment()
    {
        qInstallMessageHandler(quiet);
        static int argc = 1;
        static char name[] = "fuzz_resulttext";
        static char *argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
        // A profile of our own in a private directory: the store looks in the
        // current directory first. The fuzzer's own paths are relative to the
        // directory it was started in, which is restored once the store is up.
        const QString started = QDir::currentPath();
        QDir::setCurrent(dir.path());
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("setup"));
            db.setDatabaseName(dir.filePath(QStringLiteral("profile.db")));
            if (db.open())
                QSqlQuery(db).exec(QStringLiteral("create table profile (name text unique, value)"));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("setup"));
        profile = &Profile::instance();
        QDir::setCurrent(started);
    }

    void setMarkers(const uint8_t *pick)
    {
        auto text = [&](int i) {
            return pick ? QString::fromUtf8(Candidates[pick[i] % CandidateCount]) : QString();
        };
        // Null strings select the shipped defaults: the accessors only return a
        // stored value that is valid.
        auto set = [&](const char *key, int i) {
            profile->setValue(QLatin1String(key), pick ? QVariant(text(i)) : QVariant(), false);
        };
        set("manual_input_flag", 0);
        set("dilution_result_flag", 1);
        set("replication_diff_flag", 2);
        set("lower_report_limit_flag", 3);
        set("upper_report_limit_flag", 4);
        set("lower_mark_limit_flag", 5);
        set("upper_mark_limit_flag", 6);
        set("result_not_clotted", 7);
        set("result_can_not_be_calculated", 8);
    }

    QTemporaryDir dir;
    QCoreApplication *app = nullptr;
    Profile *profile = nullptr;
};

constexpr int ParsedFlags = 0x8000 | 0x2 | 0x4 | 0x8 | 0x400 | 0x10 | 0x20;

void exercise(const AnalysisResult &r)
{
    (void)r.toString(AnalysisResult::DisplayFormat, 'g', 6);
    (void)r.toString(AnalysisResult::ValueFormat, 'f', 2);
    (void)r.toString(AnalysisResult::DisplayFormat, 'e', -1);
    (void)r.errorText();
    (void)r.foregroundRole();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Environment env;
    if (size == 0)
        return 0;
    const bool custom = data[0] & 1;
    if (custom && size < 10)
        return 0;
    env.setMarkers(custom ? data + 1 : nullptr);
    const int skip = custom ? 10 : 1;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + skip), int(size) - skip);

    const AnalysisResult r(text);
    if (r.flags() & ~ParsedFlags)
        abort();
    const int error = r.error();
    if (error != AnalysisResult::NullResult && error != AnalysisResult::NotClotted
        && error != AnalysisResult::ValidNumber && error != AnalysisResult::BelowLimit
        && error != AnalysisResult::AboveLimit)
        abort();
    if (error == AnalysisResult::NotClotted && r.value() != AnalysisResult::notClottedValue)
        abort();
    if (error == AnalysisResult::AboveLimit && !(r.flags() & 0x8))
        abort();
    if (error == AnalysisResult::BelowLimit && (!(r.flags() & 0x4) || (r.flags() & 0x8)))
        abort();
    if (error == AnalysisResult::NullResult && r.value() != 0.0)
        abort();
    exercise(r);
    if (!(AnalysisResult::fromString(text) == r))
        abort();

    // With the shipped markers a result with at most one marker of each kind
    // reads back from its own display text.
    const int f = r.flags();
    if (!custom && r.isValid() && std::isfinite(r.value())
        && (f & 0xC) != 0xC && (f & 0x30) != 0x30) {
        const QString shown = r.toString(AnalysisResult::DisplayFormat, 'g', 6);
        const AnalysisResult back(shown);
        if (back.error() != r.error() || back.flags() != f
            || QString::number(back.value(), 'g', 6) != QString::number(r.value(), 'g', 6))
            abort();
    }
    return 0;
}
