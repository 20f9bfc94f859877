#include <QtGui/QBrush>
#include <QtTest/QtTest>

#include <analysisresult.h>
#include <profile.h>
#include <profilesandbox.h>

#include <thread>

using Code = AnalysisResult::ErrorCode;
using Settings = QMap<QString, QString>;  // marker or placeholder key -> text
Q_DECLARE_METATYPE(AnalysisResult::ErrorCode)
Q_DECLARE_METATYPE(AnalysisResult::Format)

namespace {

const QStringList textKeys{"manual_input_flag", "dilution_result_flag", "replication_diff_flag",
                           "lower_report_limit_flag", "upper_report_limit_flag", "lower_mark_limit_flag",
                           "upper_mark_limit_flag", "result_not_clotted", "result_can_not_be_calculated"};
const QStringList colourKeys{"color_of_null_result", "color_of_upper_report", "color_of_lower_report",
                             "color_of_upper_mark", "color_of_lower_mark"};

// Changes settings in memory only, as the setters do with save false.
void apply(const Settings &settings)
{
    for (auto it = settings.begin(); it != settings.end(); ++it)
        Profile::instance().setValue(it.key(), it.value(), false);
}

AnalysisResult make(Code error, double value, int flags)
{
    AnalysisResult r(error, value);
    r.setFlags(flags);
    return r;
}

const int parsedBits = 0x8000 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20;

} // namespace

class tst_ResultText : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void toString_data();
    void toString();
    void prefixMask();
    void parse_data();
    void parse();
    void changedSettingShowsAtTheNextCall();
    void roundTrip_data();
    void roundTrip();
    void errorText_data();
    void errorText();
    void foregroundRole_data();
    void foregroundRole();
    void parsingFromSeveralThreads();

private:
    QScopedPointer<ProfileSandbox> m_sandbox;
};

void tst_ResultText::initTestCase()
{
    m_sandbox.reset(new ProfileSandbox);
    QVERIFY(m_sandbox->isValid());
    QCOMPARE(m_sandbox->startupBoxes(), 0);
}

void tst_ResultText::cleanup()
{
    // Back to the built-in defaults: a key known without a value yields them.
    for (const QString &key : textKeys + colourKeys)
        Profile::instance().setValue(key, QVariant(), false);
}

void tst_ResultText::toString_data()
{
    QTest::addColumn<AnalysisResult>("result");
    QTest::addColumn<AnalysisResult::Format>("format");
    QTest::addColumn<char>("fmt");
    QTest::addColumn<int>("prec");
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<QString>("text");

    using R = AnalysisResult;
    const R::Format display = R::DisplayFormat;
    const R::Format value = R::ValueFormat;
    const Settings defaults;
    QTest::newRow("plain number") << R(12.5) << display << 'f' << 1 << defaults << "12.5";
    QTest::newRow("negative precision is g 6") << R(12.5) << display << 'f' << -1 << defaults << "12.5";
    QTest::newRow("negative precision, large number") << R(1234567.0) << display << 'f' << -1 << defaults
                                                      << "1.23457e+06";
    QTest::newRow("fixed, two digits") << R(3.14159) << display << 'f' << 2 << defaults << "3.14";
    QTest::newRow("exponent form") << R(12.5) << display << 'e' << 2 << defaults << "1.25e+01";
    QTest::newRow("valid zero") << R(R::ValidNumber, 0.0) << display << 'g' << 6 << defaults << "0";

    const R marked = make(R::BelowLimit, 3, 0x8000 | 0x2 | 0x4 | 0x10);
    QTest::newRow("every marker") << marked << display << 'g' << 6 << defaults << "M!< 3 ↓";
    QTest::newRow("value format keeps the limit only") << marked << value << 'g' << 6 << defaults << "< 3";
    QTest::newRow("any other format is the value format") << marked << R::Format(7) << 'g' << 6 << defaults
                                                          << "< 3";
    QTest::newRow("lower wins in the prefix") << make(R::AboveLimit, 5, 0x4 | 0x8) << display << 'g' << 6
                                              << defaults << "< 5";
    QTest::newRow("upper limit") << make(R::AboveLimit, 5, 0x8) << display << 'g' << 6 << defaults << "> 5";
    QTest::newRow("upper mark") << make(R::ValidNumber, 5, 0x20) << display << 'g' << 6 << defaults << "5 ↑";
    QTest::newRow("lower mark wins in the suffix") << make(R::ValidNumber, 5, 0x30) << display << 'g' << 6
                                                   << defaults << "5 ↓";
    QTest::newRow("no mark in value format") << make(R::ValidNumber, 5, 0x8000 | 0x20) << value << 'g' << 6
                                             << defaults << "5";
    QTest::newRow("empty replication marker adds nothing") << make(R::ValidNumber, 5, 0x400) << display << 'g'
                                                           << 6 << defaults << "5";
    QTest::newRow("flags without a marker") << make(R::ValidNumber, 5, 0x1000 | 0x10000 | 0x40000) << display
                                            << 'g' << 6 << defaults << "5";
    QTest::newRow("the code alone adds no marker") << make(R::BelowLimit, 5, 0) << display << 'g' << 6
                                                   << defaults << "5";
    QTest::newRow("code above 11 counts as a number") << make(R::ErrorCode(12), 5, 0) << display << 'g' << 6
                                                      << defaults << "5";

    QTest::newRow("not clotted whatever the flags") << make(R::NotClotted, 999.9, 0x8000 | 0x4) << display << 'g'
                                                    << 6 << defaults << "不凝";
    QTest::newRow("null is empty") << R() << display << 'g' << 6 << defaults << "";
    QTest::newRow("null with flags is empty") << make(R::NullResult, 0, 0x8000) << display << 'g' << 6 << defaults
                                              << "";
    QTest::newRow("no standard curve") << R(R::NoStandardCurve) << display << 'g' << 6 << defaults << "---.-";
    QTest::newRow("invalid value near 999.9") << R(R::InvalidValue, 999.9004) << display << 'g' << 6 << defaults
                                              << "不凝";
    QTest::newRow("negative code") << R(R::ErrorCode(-1), 1) << display << 'g' << 6 << defaults << "---.-";
    QTest::newRow("NaN is no number") << R(qQNaN()) << display << 'g' << 6 << defaults << "---.-";
    QTest::newRow("infinity is no number") << R(qInf()) << display << 'g' << 6 << defaults << "---.-";

    const Settings changed{{"manual_input_flag", "MAN"}, {"dilution_result_flag", "D"},
                           {"replication_diff_flag", "R"}, {"lower_report_limit_flag", "LO"},
                           {"upper_mark_limit_flag", "HI"}, {"result_not_clotted", "NC"},
                           {"result_can_not_be_calculated", "n/a"}};
    QTest::newRow("changed prefix markers") << make(R::BelowLimit, 2.5, 0x8000 | 0x2 | 0x400 | 0x4 | 0x20)
                                            << display << 'g' << 6 << changed << "MANDRLO 2.5 HI";
    QTest::newRow("changed not clotted text") << R(999.9) << display << 'g' << 6 << changed << "NC";
    QTest::newRow("changed placeholder") << R(R::InvalidCalculationMethod) << display << 'g' << 6 << changed
                                         << "n/a";
    QTest::newRow("empty lower marker") << make(R::BelowLimit, 2, 0x4) << display << 'g' << 6
                                        << Settings{{"lower_report_limit_flag", ""}} << "2";
}

void tst_ResultText::toString()
{
    QFETCH(AnalysisResult, result);
    QFETCH(AnalysisResult::Format, format);
    QFETCH(char, fmt);
    QFETCH(int, prec);
    QFETCH(Settings, settings);
    QFETCH(QString, text);

    apply(settings);
    QCOMPARE(result.toString(format, fmt, prec), text);
}

void tst_ResultText::prefixMask()
{
    const AnalysisResult r = make(AnalysisResult::AboveLimit, 1, 0x8000 | 0x2 | 0x8 | 0x10);
    QCOMPARE(r.prefix(), QString("M!>"));
    QCOMPARE(r.prefix(0x2 | 0x8), QString("!>"));
    QCOMPARE(r.prefix(0), QString());
    QCOMPARE(r.suffix(), QString("↓"));
    QCOMPARE(AnalysisResult(1.0).suffix(), QString());
}

void tst_ResultText::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<Code>("error");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("flags");

    using R = AnalysisResult;
    const Settings defaults;
    QTest::newRow("every marker, spaces around") << "  M!<3.5↓ " << defaults << R::BelowLimit << 3.5
                                                 << (0x8000 | 0x2 | 0x4 | 0x10);
    QTest::newRow("not clotted") << "不凝" << defaults << R::NotClotted << 999.9 << 0;
    QTest::newRow("marked not clotted") << "M 不凝" << defaults << R::NotClotted << 999.9 << 0x8000;
    QTest::newRow("words") << "abc" << defaults << R::NullResult << 0.0 << 0;
    QTest::newRow("empty") << "" << defaults << R::NullResult << 0.0 << 0;
    QTest::newRow("placeholder") << "---.-" << defaults << R::NullResult << 0.0 << 0;
    QTest::newRow("zero is a valid number") << "0" << defaults << R::ValidNumber << 0.0 << 0;
    QTest::newRow("999.9 is a valid number") << "999.9" << defaults << R::ValidNumber << 999.9 << 0;
    QTest::newRow("both limits, upper wins") << "<>5" << defaults << R::AboveLimit << 5.0 << (0x4 | 0x8);
    QTest::newRow("leading point with exponent") << ".5e1" << defaults << R::ValidNumber << 5.0 << 0;
    QTest::newRow("both marks") << "5 ↑↓" << defaults << R::ValidNumber << 5.0 << 0x30;
    QTest::newRow("signed exponent") << "-2.5E-3" << defaults << R::ValidNumber << -0.0025 << 0;
    QTest::newRow("trailing point") << "+7." << defaults << R::ValidNumber << 7.0 << 0;
    QTest::newRow("tabs and newlines") << "\t 5 \n" << defaults << R::ValidNumber << 5.0 << 0;
    QTest::newRow("out of range keeps the markers") << "M 1e999" << defaults << R::NullResult << 0.0 << 0x8000;
    QTest::newRow("two numbers") << "5 5" << defaults << R::NullResult << 0.0 << 0;
    QTest::newRow("mark before the number") << "↓5" << defaults << R::NullResult << 0.0 << 0;
    QTest::newRow("prefix after the number") << "5<" << defaults << R::NullResult << 0.0 << 0;
    QTest::newRow("markers alone") << "M!" << defaults << R::NullResult << 0.0 << 0;
    QTest::newRow("case matters") << "m5" << defaults << R::NullResult << 0.0 << 0;

    QTest::newRow("replication marker once set") << "R5" << Settings{{"replication_diff_flag", "R"}}
                                                 << R::ValidNumber << 5.0 << 0x400;
    QTest::newRow("pattern characters are literal") << "*($3+" << Settings{{"dilution_result_flag", "*"},
                                                                           {"lower_report_limit_flag", "("},
                                                                           {"manual_input_flag", "$"},
                                                                           {"upper_mark_limit_flag", "+"}}
                                                    << R::BelowLimit << 3.0 << (0x2 | 0x4 | 0x8000 | 0x20);
    QTest::newRow("a marker that begins another is read whole") << "5 **" << Settings{{"lower_mark_limit_flag", "*"},
                                                                                   {"upper_mark_limit_flag", "**"}}
                                                                 << R::ValidNumber << 5.0 << 0x20;
    QTest::newRow("same text for two markers, the first wins") << "!5" << Settings{{"manual_input_flag", "!"}}
                                                               << R::ValidNumber << 5.0 << 0x8000;
    const Settings noMarkers{{"manual_input_flag", ""}, {"dilution_result_flag", ""},
                             {"lower_report_limit_flag", ""}, {"upper_report_limit_flag", ""},
                             {"lower_mark_limit_flag", ""}, {"upper_mark_limit_flag", ""},
                             {"result_not_clotted", ""}};
    QTest::newRow("no markers, a number") << " 4.5 " << noMarkers << R::ValidNumber << 4.5 << 0;
    QTest::newRow("no markers, a marker") << "<4.5" << noMarkers << R::NullResult << 0.0 << 0;
    QTest::newRow("no not-clotted text") << "不凝" << noMarkers << R::NullResult << 0.0 << 0;
    QTest::newRow("changed not-clotted text") << "NC" << Settings{{"result_not_clotted", "NC"}}
                                              << R::NotClotted << 999.9 << 0;
    QTest::newRow("old not-clotted text is gone") << "不凝" << Settings{{"result_not_clotted", "NC"}}
                                                  << R::NullResult << 0.0 << 0;
}

void tst_ResultText::parse()
{
    QFETCH(QString, text);
    QFETCH(Settings, settings);
    QFETCH(Code, error);
    QFETCH(double, value);
    QFETCH(int, flags);

    apply(settings);
    const AnalysisResult r(text);
    QCOMPARE(r.error(), error);
    QCOMPARE(r.value(), value);
    QCOMPARE(r.flags(), flags);

    const AnalysisResult same = AnalysisResult::fromString(text);
    QCOMPARE(same.error(), error);
    QCOMPARE(same.flags(), flags);
    if (error == AnalysisResult::NullResult && flags == 0)
        QVERIFY(r.isCopyOf(AnalysisResult()));  // a text that gives nothing allocates nothing
}

void tst_ResultText::changedSettingShowsAtTheNextCall()
{
    Profile &profile = Profile::instance();
    const AnalysisResult r = make(AnalysisResult::ValidNumber, 5, 0x8000 | 0x20);
    QCOMPARE(r.toString(), QString("M 5 ↑"));
    QCOMPARE(AnalysisResult(QString("M5")).flags(), 0x8000);

    profile.set_manual_input_flag("H", false);
    profile.set_upper_mark_limit_flag("^", false);
    QCOMPARE(r.toString(), QString("H 5 ^"));
    QVERIFY(AnalysisResult(QString("M5")).isNull());
    QCOMPARE(AnalysisResult(QString("H5^")).flags(), 0x8000 | 0x20);

    profile.set_manual_input_flag("M", false);
    QCOMPARE(AnalysisResult(QString("M5")).flags(), 0x8000);
    QVERIFY(AnalysisResult(QString("H5")).isNull());

    const QColor blue(Qt::blue);
    QCOMPARE(qvariant_cast<QBrush>(r.foregroundRole()).color(), QColor(255, 170, 0));
    profile.set_color_of_upper_mark(blue, false);
    QCOMPARE(qvariant_cast<QBrush>(r.foregroundRole()).color(), blue);
}

void tst_ResultText::roundTrip_data()
{
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<int>("kept");  // the bits that a text carries back

    QTest::newRow("default markers") << Settings() << parsedBits;
    QTest::newRow("changed markers, replication marked")
        << Settings{{"manual_input_flag", "hand "}, {"dilution_result_flag", "x2"}, {"replication_diff_flag", "~"},
                    {"lower_report_limit_flag", "≤"}, {"upper_report_limit_flag", "≥"},
                    {"lower_mark_limit_flag", "(L)"}, {"upper_mark_limit_flag", "(H)"}}
        << (parsedBits | 0x400);
}

void tst_ResultText::roundTrip()
{
    QFETCH(Settings, settings);
    QFETCH(int, kept);

    apply(settings);
    QRandomGenerator random(6);
    const int candidates[] = {0x2, 0x400, 0x1000, 0x8000, 0x10000, 0x40000};
    for (int i = 0; i < 2000; ++i) {
        int flags = 0;
        for (int bit : candidates)
            if (random.bounded(2))
                flags |= bit;
        flags |= QVector<int>{0, 0x4, 0x8}[random.bounded(3)];
        flags |= QVector<int>{0, 0x10, 0x20}[random.bounded(3)];
        // Positive and negative numbers over many decades.
        const double magnitude = std::pow(10.0, random.bounded(16.0) - 8.0);
        const double value = (random.bounded(2) ? 1 : -1) * magnitude;

        AnalysisResult r(AnalysisResult::ValidNumber, value);
        r.setFlags(flags);
        r.flagsToError();

        const QString text = r.toString(AnalysisResult::DisplayFormat, 'g', 6);
        const AnalysisResult back(text);
        const QString context = QStringLiteral("%1 from flags %2").arg(text).arg(flags, 0, 16);
        QVERIFY2(back.error() == r.error(), qPrintable(context));
        QVERIFY2(back.flags() == (flags & kept), qPrintable(context));
        QVERIFY2(back.value() == QString::number(value, 'g', 6).toDouble(), qPrintable(context));
    }
}

void tst_ResultText::errorText_data()
{
    QTest::addColumn<Code>("error");
    QTest::addColumn<QString>("text");

    using R = AnalysisResult;
    QTest::newRow("null") << R::NullResult << "结果为空";
    QTest::newRow("invalid value") << R::InvalidValue << "无效的值";
    QTest::newRow("unknown") << R::UnknownError << "未知错误";
    QTest::newRow("no standard curve") << R::NoStandardCurve << "无标准曲线";
    QTest::newRow("invalid standard curve") << R::InvalidStandardCurve << "标准曲线无效";
    QTest::newRow("standard curve set up wrongly") << R::StandardCurveSettingError << "标准曲线设置错误";
    QTest::newRow("invalid method") << R::InvalidCalculationMethod << "无效的计算方法";
    QTest::newRow("missing parameter") << R::MissingCalculationParameter << "计算所需的参数不存在";
    QTest::newRow("not clotted") << R::NotClotted << QString();
    QTest::newRow("valid") << R::ValidNumber << QString();
    QTest::newRow("below") << R::BelowLimit << QString();
    QTest::newRow("above") << R::AboveLimit << QString();
    QTest::newRow("negative code") << R::ErrorCode(-2) << QString();
    QTest::newRow("code 12") << R::ErrorCode(12) << QString();
}

void tst_ResultText::errorText()
{
    QFETCH(Code, error);
    QFETCH(QString, text);

    AnalysisResult r(error, 1.0);
    QCOMPARE(r.errorText(), text);
    QCOMPARE(r.errorText().isNull(), text.isNull());

    r.setErrorText("Küvette fehlt");
    QCOMPARE(r.errorText(), QString("Küvette fehlt"));
    r.clearErrorText();
    QCOMPARE(r.errorText(), QString("未知错误"));
}

void tst_ResultText::foregroundRole_data()
{
    QTest::addColumn<AnalysisResult>("result");
    QTest::addColumn<QColor>("colour");  // invalid: no colour

    using R = AnalysisResult;
    const QColor red(Qt::red);
    const QColor orange(255, 170, 0, 255);
    QTest::newRow("null") << R() << red;
    QTest::newRow("no standard curve, flags aside") << make(R::NoStandardCurve, 0, 0x10000) << red;
    QTest::newRow("not clotted") << R(999.9) << red;
    QTest::newRow("negative code") << R(R::ErrorCode(-1), 0) << red;
    QTest::newRow("valid without flags") << R(2.0) << QColor();
    QTest::newRow("no colour wins") << make(R::AboveLimit, 2, 0x10000 | 0x8) << QColor();
    QTest::newRow("upper report") << make(R::ValidNumber, 2, 0x8 | 0x4 | 0x20) << red;
    QTest::newRow("lower report") << make(R::BelowLimit, 2, 0x4 | 0x10) << red;
    QTest::newRow("upper mark") << make(R::ValidNumber, 2, 0x20 | 0x10) << orange;
    QTest::newRow("lower mark") << make(R::ValidNumber, 2, 0x10) << orange;
    QTest::newRow("the code alone gives none") << make(R::AboveLimit, 2, 0) << QColor();
}

void tst_ResultText::foregroundRole()
{
    QFETCH(AnalysisResult, result);
    QFETCH(QColor, colour);

    const QVariant role = result.foregroundRole();
    if (!colour.isValid()) {
        QVERIFY(!role.isValid());
        return;
    }
    QCOMPARE(role.userType(), qMetaTypeId<QBrush>());
    const QBrush brush = qvariant_cast<QBrush>(role);
    QCOMPARE(brush.style(), Qt::SolidPattern);
    QCOMPARE(brush.color(), colour);
}

void tst_ResultText::parsingFromSeveralThreads()
{
    // Each thread keeps its own compiled patterns; none may see another's match.
    const QStringList texts{"M!<3.5↓", "5 ↑", "不凝", "abc", ">7", "0.25"};
    std::vector<AnalysisResult> expected;
    for (const QString &t : texts)
        expected.push_back(AnalysisResult(t));

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1500; ++i) {
                const int k = (i + t) % texts.size();
                const AnalysisResult r(texts[k]);
                if (!(r == expected[k]) || r.flags() != expected[k].flags())
                    ++mismatches;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    QCOMPARE(mismatches.load(), 0);
}

QTEST_GUILESS_MAIN(tst_ResultText)
#include "tst_resulttext.moc"
