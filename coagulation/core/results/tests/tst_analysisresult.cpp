#include <QtTest/QtTest>

#include <analysisresult.h>

#include <cstring>
#include <functional>
#include <thread>

using Code = AnalysisResult::ErrorCode;
using Write = std::function<void(AnalysisResult &)>;
Q_DECLARE_METATYPE(AnalysisResult::ErrorCode)
Q_DECLARE_METATYPE(Write)

namespace {

const double notANumber = qQNaN();
const double infinity = qInf();
const double epsilon = std::numeric_limits<double>::epsilon();

quint64 bitsOf(double v)
{
    quint64 bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

} // namespace

class tst_AnalysisResult : public QObject
{
    Q_OBJECT

private slots:
    void defaultIsSharedNull();
    void specialValues();
    void classification_data();
    void classification();
    void constructorsWithCode();
    void comparisonWithNumbers_data();
    void comparisonWithNumbers();
    void equality_data();
    void equality();
    void errorTextAndError();
    void flagsToError_data();
    void flagsToError();
    void staticMappings();
    void flags();
    void toVariant_data();
    void toVariant();
    void readsNeverDetach();
    void everyWriteDetaches_data();
    void everyWriteDetaches();
    void sharedNullStaysEmpty();
    void moveAndSwap();
    void copiesCrossThreads();
};

void tst_AnalysisResult::defaultIsSharedNull()
{
    const AnalysisResult a, b;
    QVERIFY(a.isNull());
    QVERIFY(!a.isValid());
    QVERIFY(!a.isValidNumber());
    QCOMPARE(a.value(), 0.0);
    QCOMPARE(a.flags(), 0);
    QCOMPARE(int(a.error()), 0);
    QCOMPARE(a.od(), 0.0);
    QCOMPARE(a.recordId(), qint64(0));
    QVERIFY(a.curve().isEmpty());
    QVERIFY(a.isCopyOf(b));
    QVERIFY(a == b);
}

void tst_AnalysisResult::specialValues()
{
    QCOMPARE(bitsOf(AnalysisResult::notClottedValue), Q_UINT64_C(0x408F3F3333333333));
    QCOMPARE(bitsOf(AnalysisResult::nullValue), Q_UINT64_C(0));
    QCOMPARE(bitsOf(AnalysisResult::invalidOD), Q_UINT64_C(0));
    QCOMPARE(bitsOf(epsilon), Q_UINT64_C(0x3CB0000000000000));
    QVERIFY(AnalysisResult::isInvalidODValue(1e-17));
    QVERIFY(!AnalysisResult::isInvalidODValue(epsilon));
    QVERIFY(AnalysisResult::isNotClottedValue(999.9));
    QVERIFY(!AnalysisResult::isNullValue(notANumber));
    QVERIFY(!AnalysisResult::isNotClottedValue(notANumber));
}

void tst_AnalysisResult::classification_data()
{
    QTest::addColumn<double>("input");
    QTest::addColumn<Code>("error");
    QTest::addColumn<quint64>("valueBits");

    auto row = [](const char *name, double input, Code error, double value) {
        QTest::newRow(name) << input << error << bitsOf(value);
    };
    row("zero", 0.0, AnalysisResult::NullResult, 0.0);
    row("negative zero becomes zero", -0.0, AnalysisResult::NullResult, 0.0);
    row("1e-17", 1e-17, AnalysisResult::NullResult, 0.0);
    row("-1e-17", -1e-17, AnalysisResult::NullResult, 0.0);
    row("just below 2^-52", std::nextafter(epsilon, 0.0), AnalysisResult::NullResult, 0.0);
    row("2^-52 itself is a number", epsilon, AnalysisResult::ValidNumber, epsilon);
    row("-2^-52", -epsilon, AnalysisResult::ValidNumber, -epsilon);
    row("3e-16", 3e-16, AnalysisResult::ValidNumber, 3e-16);
    row("999.8995 not clotted", 999.8995, AnalysisResult::NotClotted, 999.9);
    row("999.901 just inside", 999.901, AnalysisResult::NotClotted, 999.9);
    row("999.899 just inside", 999.899, AnalysisResult::NotClotted, 999.9);
    row("next double above is outside", 999.9010000000001, AnalysisResult::ValidNumber, 999.9010000000001);
    row("next double below is outside", 999.8989999999999, AnalysisResult::ValidNumber, 999.8989999999999);
    row("999.9011", 999.9011, AnalysisResult::ValidNumber, 999.9011);
    row("12.5", 12.5, AnalysisResult::ValidNumber, 12.5);
    row("negative number", -3.25, AnalysisResult::ValidNumber, -3.25);
    row("NaN is no number", notANumber, AnalysisResult::InvalidValue, notANumber);
    row("infinity is no number", infinity, AnalysisResult::InvalidValue, infinity);
    row("minus infinity is no number", -infinity, AnalysisResult::InvalidValue, -infinity);
}

void tst_AnalysisResult::classification()
{
    QFETCH(double, input);
    QFETCH(Code, error);
    QFETCH(quint64, valueBits);

    const AnalysisResult constructed(input);
    QCOMPARE(constructed.error(), error);
    QCOMPARE(bitsOf(constructed.value()), valueBits);

    // setValue classifies the same way and leaves flags and error text alone.
    AnalysisResult set(AnalysisResult::ValidNumber, 1.0);
    set.setFlags(0x8000 | 0x40000);
    set.setValue(input);
    QCOMPARE(set.error(), error);
    QCOMPARE(bitsOf(set.value()), valueBits);
    QCOMPARE(set.flags(), 0x8000 | 0x40000);
}

void tst_AnalysisResult::constructorsWithCode()
{
    const AnalysisResult code(AnalysisResult::NoStandardCurve);
    QCOMPARE(code.error(), AnalysisResult::NoStandardCurve);
    QCOMPARE(code.value(), 0.0);
    QCOMPARE(code.flags(), 0);

    const AnalysisResult zero(AnalysisResult::ValidNumber, 0.0);
    QVERIFY(zero.isValid());
    QVERIFY(zero.isValidNumber());
    QVERIFY(!zero.isNull());
    QCOMPARE(zero.value(), 0.0);

    const AnalysisResult notClotted(999.9);
    QVERIFY(!notClotted.isValid());
    QVERIFY(!notClotted.isNull());

    // setValue(code, value) stores what it is given, a NaN included.
    AnalysisResult stored;
    stored.setValue(AnalysisResult::ValidNumber, notANumber);
    QCOMPARE(stored.error(), AnalysisResult::ValidNumber);
    QVERIFY(qIsNaN(stored.value()));
    QVERIFY(AnalysisResult(AnalysisResult::ErrorCode(12), 1.0).isValid());
    QVERIFY(!AnalysisResult(AnalysisResult::ErrorCode(-1), 1.0).isValid());
}

void tst_AnalysisResult::comparisonWithNumbers_data()
{
    // Expected answers as a string of six letters, t or f, for
    // result < x, result > x, x < result, x > result, result <= x, result >= x.
    QTest::addColumn<Code>("error");
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("x");
    QTest::addColumn<QString>("answers");

    const Code valid = AnalysisResult::ValidNumber;
    const Code below = AnalysisResult::BelowLimit;
    const Code above = AnalysisResult::AboveLimit;
    QTest::newRow("valid under x") << valid << 3.0 << 5.0 << "tffttf";
    QTest::newRow("valid equal to x") << valid << 5.0 << 5.0 << "fffftt";
    QTest::newRow("valid over x") << valid << 7.0 << 5.0 << "fttfft";

    QTest::newRow("below 5, x 5") << below << 5.0 << 5.0 << "tffttf";
    QTest::newRow("below 5, x 4") << below << 5.0 << 4.0 << "fffftt";
    QTest::newRow("below 5, x 6") << below << 5.0 << 6.0 << "tffttf";
    QTest::newRow("below 5, x 1") << below << 5.0 << 1.0 << "fffftt";
    QTest::newRow("below 5, x 4.99") << below << 5.0 << 4.99 << "fffftt";

    QTest::newRow("above 5, x 5") << above << 5.0 << 5.0 << "fttfft";
    QTest::newRow("above 5, x 6") << above << 5.0 << 6.0 << "fffftt";
    QTest::newRow("above 5, x 4") << above << 5.0 << 4.0 << "fttfft";

    for (Code e : {AnalysisResult::NullResult, AnalysisResult::InvalidValue, AnalysisResult::NoStandardCurve,
                   AnalysisResult::NotClotted, AnalysisResult::ErrorCode(-3), AnalysisResult::ErrorCode(12)}) {
        for (double x : {-1e9, 0.0, 5.0, 999.9, 1e9})
            QTest::newRow(qPrintable(QStringLiteral("code %1, x %2").arg(int(e)).arg(x))) << e << 5.0 << x << "fffftt";
    }

    for (Code e : {valid, below, above}) {
        QTest::newRow(qPrintable(QStringLiteral("code %1, NaN value").arg(int(e)))) << e << notANumber << 5.0 << "fffftt";
        QTest::newRow(qPrintable(QStringLiteral("code %1, NaN x").arg(int(e)))) << e << 5.0 << notANumber << "fffftt";
    }
    QTest::newRow("valid against infinity") << valid << 5.0 << infinity << "tffttf";
    QTest::newRow("below infinity") << below << infinity << infinity << "tffttf";
    QTest::newRow("above a huge negative, x minus infinity") << above << -1e300 << -infinity << "fttfft";
}

void tst_AnalysisResult::comparisonWithNumbers()
{
    QFETCH(Code, error);
    QFETCH(double, value);
    QFETCH(double, x);
    QFETCH(QString, answers);

    const AnalysisResult r(error, value);
    QString got;
    for (bool b : {r < x, r > x, x < r, x > r, r <= x, r >= x})
        got += b ? 't' : 'f';
    QCOMPARE(got, answers);
}

void tst_AnalysisResult::equality_data()
{
    QTest::addColumn<AnalysisResult>("a");
    QTest::addColumn<AnalysisResult>("b");
    QTest::addColumn<bool>("equal");

    using R = AnalysisResult;
    QTest::newRow("codes below 9 ignore values") << R(R::InvalidValue, 3.0) << R(R::InvalidValue, 7.0) << true;
    QTest::newRow("different codes") << R(R::ValidNumber, 3.0) << R(R::BelowLimit, 3.0) << false;
    QTest::newRow("same number") << R(R::ValidNumber, 3.0) << R(3.0) << true;
    QTest::newRow("different numbers") << R(3.0) << R(3.0000001) << false;
    QTest::newRow("same limit") << R(R::AboveLimit, 2.0) << R(R::AboveLimit, 2.0) << true;
    QTest::newRow("NaN never equals") << R(R::ValidNumber, notANumber) << R(R::ValidNumber, notANumber) << false;
    QTest::newRow("zero and negative zero") << R(R::ValidNumber, 0.0) << R(R::ValidNumber, -0.0) << true;
    QTest::newRow("not clotted ones") << R(999.9) << R(R::NotClotted, 0.0) << true;
    QTest::newRow("null and not clotted") << R() << R(999.9) << false;

    R flagged(5.0);
    flagged.setFlags(0x8000 | 0x10);
    flagged.setOD(1.5);
    flagged.setId(7);
    flagged.setRecordId(99);
    QTest::newRow("flags and the rest do not count") << flagged << R(5.0) << true;

    R texted(R::UnknownError);
    texted.setErrorText("a");
    R other(R::UnknownError);
    other.setErrorText("b");
    QTest::newRow("error texts do not count") << texted << other << true;
}

void tst_AnalysisResult::equality()
{
    QFETCH(AnalysisResult, a);
    QFETCH(AnalysisResult, b);
    QFETCH(bool, equal);

    QCOMPARE(a == b, equal);
    QCOMPARE(b == a, equal);
    QVERIFY(a == a);  // one payload is equal to itself, even holding a NaN
}

void tst_AnalysisResult::errorTextAndError()
{
    AnalysisResult r(12.5);
    r.setFlags(0x4);
    r.setErrorText("Kein Ergebnis");
    QCOMPARE(r.error(), AnalysisResult::UnknownError);
    QCOMPARE(r.value(), 12.5);
    QCOMPARE(r.flags(), 0x4);
    QVERIFY(!r.isValid());

    r.setError(AnalysisResult::ValidNumber);
    QVERIFY(r.isValid());
    QCOMPARE(r.value(), 12.5);

    r.setErrorText("x");
    r.clearErrorText();
    QCOMPARE(r.error(), AnalysisResult::UnknownError);
}

void tst_AnalysisResult::flagsToError_data()
{
    QTest::addColumn<Code>("before");
    QTest::addColumn<int>("flags");
    QTest::addColumn<Code>("after");

    using R = AnalysisResult;
    QTest::newRow("upper wins over lower") << R::ValidNumber << 0x4 + 0x8 << R::AboveLimit;
    QTest::newRow("lower") << R::ValidNumber << 0x4 << R::BelowLimit;
    QTest::newRow("back to a number") << R::AboveLimit << 0x10 << R::ValidNumber;
    QTest::newRow("limit turned over") << R::BelowLimit << 0x8 << R::AboveLimit;
    QTest::newRow("not clotted stays") << R::NotClotted << 0x8 << R::NotClotted;
    QTest::newRow("null stays") << R::NullResult << 0x4 << R::NullResult;
    QTest::newRow("negative code stays") << R::ErrorCode(-1) << 0x4 << R::ErrorCode(-1);
}

void tst_AnalysisResult::flagsToError()
{
    QFETCH(Code, before);
    QFETCH(int, flags);
    QFETCH(Code, after);

    AnalysisResult r(before, 4.0);
    r.setFlags(flags);
    const AnalysisResult copy = r;
    r.flagsToError();
    QCOMPARE(r.error(), after);
    QCOMPARE(r.value(), 4.0);
    QCOMPARE(copy.error(), before);
    if (before < AnalysisResult::ValidNumber)
        QVERIFY(r.isCopyOf(copy));  // nothing to do, no detach
}

void tst_AnalysisResult::staticMappings()
{
    using R = AnalysisResult;
    QCOMPARE(R::errorCode(0), R::ValidNumber);
    QCOMPARE(R::errorCode(0x4), R::BelowLimit);
    QCOMPARE(R::errorCode(0x8), R::AboveLimit);
    QCOMPARE(R::errorCode(0xC | 0x8000), R::AboveLimit);
    QCOMPARE(R::opposite(R::BelowLimit), R::AboveLimit);
    QCOMPARE(R::opposite(R::AboveLimit), R::BelowLimit);
    QCOMPARE(R::opposite(R::NotClotted), R::NotClotted);
    QCOMPARE(R::opposite(R::ValidNumber), R::ValidNumber);
    QCOMPARE(int(R(R::ValidNumber, 1).errorFlags()), 0);
    QCOMPARE(int(R(R::BelowLimit, 1).errorFlags()), 0x4);
    QCOMPARE(int(R(R::AboveLimit, 1).errorFlags()), 0x8);
    QCOMPARE(int(R::errorFlags(R::NullResult)), 0);
}

void tst_AnalysisResult::flags()
{
    AnalysisResult r(1.0);
    r.setFlags(0x40000 | 0x2);
    QVERIFY(r.testFlag(qv::DilutionResult));
    QVERIFY(!r.testFlag(qv::ManualInput));
    QVERIFY(r.testFlag(qv::ResultFlag(0x40000)));  // bits without meaning here are kept
    r.setFlag(qv::ManualInput);
    r.setFlag(qv::DilutionResult, false);
    QCOMPARE(r.flags(), 0x40000 | 0x8000);
    r.setManualTest();
    QVERIFY(r.isManualTest());
    QCOMPARE(r.flags(), 0x40000 | 0x8000 | 0x1000);
    r.setManualTest(false);
    QVERIFY(!r.isManualTest());
    QCOMPARE(r.flags(), 0x40000 | 0x8000);
}

void tst_AnalysisResult::toVariant_data()
{
    QTest::addColumn<AnalysisResult>("result");
    QTest::addColumn<QVariant>("variant");

    using R = AnalysisResult;
    QTest::newRow("number") << R(12.5) << QVariant(12.5);
    QTest::newRow("below limit gives its limit") << R(R::BelowLimit, 5.0) << QVariant(5.0);
    QTest::newRow("above limit gives its limit") << R(R::AboveLimit, 5.0) << QVariant(5.0);
    QTest::newRow("no standard curve") << R(R::NoStandardCurve) << QVariant();
    QTest::newRow("not clotted") << R(999.9) << QVariant();
    QTest::newRow("null") << R() << QVariant();
}

void tst_AnalysisResult::toVariant()
{
    QFETCH(AnalysisResult, result);
    QFETCH(QVariant, variant);
    QCOMPARE(result.toVariant(), variant);
}

void tst_AnalysisResult::readsNeverDetach()
{
    AnalysisResult a(3.5);
    a.setFlags(0x2);
    const AnalysisResult b = a;
    QVERIFY(a.isCopyOf(b));
    // Every read, through a non-const object too.
    (void)a.value(), (void)a.od(), (void)a.id(), (void)a.flags(), (void)a.ch(), (void)a.version();
    (void)a.error(), (void)a.recordId(), (void)a.qcRecordId(), (void)a.curve(), (void)a.errorFlags();
    (void)a.testFlag(qv::DilutionResult), (void)a.isManualTest(), (void)a.isNull(), (void)a.isValid();
    (void)a.toVariant(), (void)(a == b), (void)(a < 1.0), (void)(a >= 1.0);
    QVERIFY(a.isCopyOf(b));
}

void tst_AnalysisResult::everyWriteDetaches_data()
{
    QTest::addColumn<Write>("write");

    using W = Write;
    QTest::newRow("setValue") << W([](AnalysisResult &r) { r.setValue(9.0); });
    QTest::newRow("setValue with code") << W([](AnalysisResult &r) { r.setValue(AnalysisResult::BelowLimit, 9.0); });
    QTest::newRow("setError") << W([](AnalysisResult &r) { r.setError(AnalysisResult::InvalidValue); });
    QTest::newRow("setErrorText") << W([](AnalysisResult &r) { r.setErrorText("x"); });
    QTest::newRow("clearErrorText") << W([](AnalysisResult &r) { r.clearErrorText(); });
    QTest::newRow("setFlags") << W([](AnalysisResult &r) { r.setFlags(0x20); });
    QTest::newRow("setFlag") << W([](AnalysisResult &r) { r.setFlag(qv::UpperMarkLimit); });
    QTest::newRow("setManualTest") << W([](AnalysisResult &r) { r.setManualTest(true); });
    QTest::newRow("flagsToError") << W([](AnalysisResult &r) { r.flagsToError(); });
    QTest::newRow("setId") << W([](AnalysisResult &r) { r.setId(42); });
    QTest::newRow("setOD") << W([](AnalysisResult &r) { r.setOD(0.7); });
    QTest::newRow("setCh") << W([](AnalysisResult &r) { r.setCh(3); });
    QTest::newRow("setVersion") << W([](AnalysisResult &r) { r.setVersion(2); });
    QTest::newRow("setRecordId") << W([](AnalysisResult &r) { r.setRecordId(Q_INT64_C(1) << 40); });
    QTest::newRow("setQcRecordId") << W([](AnalysisResult &r) { r.setQcRecordId(-5); });
    QTest::newRow("setCurve") << W([](AnalysisResult &r) {
        ClotCurve c;
        c.append(0, 1, {1, 2});
        r.setCurve(c);
    });
}

void tst_AnalysisResult::everyWriteDetaches()
{
    QFETCH(Write, write);

    AnalysisResult original(AnalysisResult::ValidNumber, 1.25);
    original.setFlags(0x4);
    original.setId(1);
    original.setCh(2);
    original.setOD(0.5);
    AnalysisResult copy = original;
    QVERIFY(copy.isCopyOf(original));

    write(copy);
    QVERIFY(!copy.isCopyOf(original));
    QCOMPARE(original.error(), AnalysisResult::ValidNumber);
    QCOMPARE(original.value(), 1.25);
    QCOMPARE(original.flags(), 0x4);
    QCOMPARE(original.id(), 1);
    QCOMPARE(original.ch(), 2);
    QCOMPARE(original.od(), 0.5);
    QCOMPARE(original.version(), 0);
    QCOMPARE(original.recordId(), qint64(0));
    QCOMPARE(original.qcRecordId(), qint64(0));
    QVERIFY(original.curve().isEmpty());

}

void tst_AnalysisResult::sharedNullStaysEmpty()
{
    AnalysisResult a;
    a.setId(5);
    a.setFlags(0x8000);
    a.setErrorText("gone");
    a.setValue(AnalysisResult::ValidNumber, 4.0);
    ClotCurve c;
    c.append(0, 1, {1});
    a.setCurve(c);

    const AnalysisResult fresh;
    QVERIFY(!fresh.isCopyOf(a));
    QCOMPARE(fresh.id(), 0);
    QCOMPARE(fresh.flags(), 0);
    QCOMPARE(fresh.value(), 0.0);
    QVERIFY(fresh.isNull());
    QVERIFY(fresh.curve().isEmpty());

    // Payloads made from it start clean as well.
    const AnalysisResult made(AnalysisResult::InvalidValue);
    QCOMPARE(made.id(), 0);
    QCOMPARE(made.flags(), 0);
    QVERIFY(made.curve().isEmpty());
}

void tst_AnalysisResult::moveAndSwap()
{
    AnalysisResult a(7.0);
    AnalysisResult moved(std::move(a));
    QCOMPARE(moved.value(), 7.0);
    QVERIFY(a.isNull());  // a moved-from result is the shared null, still usable
    a.setValue(1.0);
    QCOMPARE(a.value(), 1.0);

    AnalysisResult b(AnalysisResult::NoStandardCurve);
    b.swap(moved);
    QCOMPARE(b.value(), 7.0);
    QCOMPARE(moved.error(), AnalysisResult::NoStandardCurve);

    AnalysisResult self(3.0);
    const AnalysisResult &alias = self;
    self = alias;
    QCOMPARE(self.value(), 3.0);
}

void tst_AnalysisResult::copiesCrossThreads()
{
    AnalysisResult shared(6.5);
    shared.setFlags(0x2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([shared, t] {
            for (int i = 0; i < 20000; ++i) {
                AnalysisResult copy = shared;
                if (i % 7 == 0)
                    copy.setId(t);  // detaches from the payload the others share
                AnalysisResult empty;
                empty = copy;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    QCOMPARE(shared.value(), 6.5);
    QCOMPARE(shared.flags(), 0x2);
    QCOMPARE(shared.id(), 0);
}

QTEST_GUILESS_MAIN(tst_AnalysisResult)
#include "tst_analysisresult.moc"
