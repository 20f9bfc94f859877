#include <QtTest/QtTest>

#include <clotcurve.h>

#include <cmath>
#include <cstring>
#include <limits>

using Segments = QVector<ClotCurve::Segment>;
Q_DECLARE_METATYPE(ClotCurve::Segment)

namespace {

const double notANumber = qQNaN();
const double infinity = qInf();

// Doubles compared by their bits, so NaN and -0.0 round-trip checks are exact.
bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

QString describe(const ClotCurve &c)
{
    QStringList parts;
    for (const ClotCurve::Segment &s : c.segments()) {
        QStringList values;
        for (double v : s.y)
            values << QString::number(v);
        parts << QStringLiteral("(%1,%2:%3)").arg(s.x0).arg(s.dx).arg(values.join(' '));
    }
    return QStringLiteral("type %1 %2").arg(c.type()).arg(parts.join(' '));
}

bool sameCurve(const ClotCurve &a, const ClotCurve &b)
{
    if (a.type() != b.type())
        return false;
    const Segments sa = a.segments(), sb = b.segments();
    if (sa.size() != sb.size())
        return false;
    for (int i = 0; i < sa.size(); ++i) {
        if (!sameBits(sa[i].x0, sb[i].x0) || !sameBits(sa[i].dx, sb[i].dx) || sa[i].y.size() != sb[i].y.size())
            return false;
        for (int k = 0; k < sa[i].y.size(); ++k)
            if (!sameBits(sa[i].y[k], sb[i].y[k]))
                return false;
    }
    return true;
}

// Segments (x0 0, dx 0.5: 1, 2, 3) and (x0 10, dx 1: 4, 5).
ClotCurve twoSegments()
{
    ClotCurve c;
    c.append(0.0, 0.5, {1, 2, 3});
    c.append(ClotCurve::Segment(10.0, 1.0, {4, 5}));
    return c;
}

ClotCurve curveOf(const Segments &segments, ClotCurve::PointType type = ClotCurve::RawSignal)
{
    ClotCurve c;
    c.setSegments(segments);
    c.setType(type);
    return c;
}

double randomDouble(QRandomGenerator &random)
{
    // Any bit pattern now and then (NaNs and infinities included), plain values mostly.
    if (random.bounded(8) == 0) {
        const quint64 bits = random.generate64();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    return random.bounded(20000.0) - 10000.0;
}

ClotCurve randomCurve(QRandomGenerator &random)
{
    ClotCurve c;
    c.setType(ClotCurve::PointType(random.bounded(3)));
    const int segments = random.bounded(5);
    for (int s = 0; s < segments; ++s) {
        QVector<double> y(random.bounded(60));
        for (double &v : y)
            v = randomDouble(random);
        c.append(randomDouble(random), randomDouble(random), y);
    }
    return c;
}

} // namespace

class tst_ClotCurve : public QObject
{
    Q_OBJECT

private slots:
    void newCurveIsEmpty();
    void pointsAreNumberedAcrossSegments_data();
    void pointsAreNumberedAcrossSegments();
    void removeAcrossSegments_data();
    void removeAcrossSegments();
    void removeLeavesCopiesAlone();

    void storedForm_data();
    void storedForm();
    void randomCurvesRoundTrip();
    void damagedBuffers_data();
    void damagedBuffers();
    void unknownTypeIsKept();
    void everyTruncationReadsAPrefix();

    void opticalDensity_data();
    void opticalDensity();
    void conversionKeepsTheSource();
    void conversionsThatDoNotExist_data();
    void conversionsThatDoNotExist();
};

void tst_ClotCurve::newCurveIsEmpty()
{
    const ClotCurve c;
    QCOMPARE(c.type(), ClotCurve::RawSignal);
    QVERIFY(c.isEmpty());
    QCOMPARE(c.size(), 0);
    QCOMPARE(c.x(0), 0.0);
    QCOMPARE(c.y(0), 0.0);

    ClotCurve onlyEmptySegments;
    onlyEmptySegments.append(1.0, 1.0, {});
    QVERIFY(!onlyEmptySegments.isEmpty());
    QCOMPARE(onlyEmptySegments.size(), 0);
    QCOMPARE(onlyEmptySegments.x(0), 0.0);
}

void tst_ClotCurve::pointsAreNumberedAcrossSegments_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");

    QTest::newRow("first point") << 0 << 0.0 << 1.0;
    QTest::newRow("second point") << 1 << 0.5 << 2.0;
    QTest::newRow("last of first segment") << 2 << 1.0 << 3.0;
    QTest::newRow("first of second segment") << 3 << 10.0 << 4.0;
    QTest::newRow("last point") << 4 << 11.0 << 5.0;
    QTest::newRow("past the end") << 5 << 0.0 << 0.0;
    QTest::newRow("far past the end") << 1000000 << 0.0 << 0.0;
    QTest::newRow("negative") << -1 << 0.0 << 0.0;
}

void tst_ClotCurve::pointsAreNumberedAcrossSegments()
{
    QFETCH(int, index);
    QFETCH(double, x);
    QFETCH(double, y);

    ClotCurve c = twoSegments();
    c.append(20.0, 1.0, {});  // an empty segment at the end changes nothing
    QCOMPARE(c.size(), 5);
    QCOMPARE(c.x(index), x);
    QCOMPARE(c.y(index), y);
}

void tst_ClotCurve::removeAcrossSegments_data()
{
    QTest::addColumn<Segments>("before");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("count");
    QTest::addColumn<Segments>("after");

    const Segments two = twoSegments().segments();
    QTest::newRow("across the border") << two << 2 << 2
        << Segments{{0, 0.5, {1, 2}}, {10, 1, {5}}};
    QTest::newRow("whole first segment") << two << 0 << 3 << Segments{{10, 1, {4, 5}}};
    QTest::newRow("everything") << two << 0 << 5 << Segments{};
    QTest::newRow("more than everything") << two << 1 << 100 << Segments{{0, 0.5, {1}}};
    QTest::newRow("past the end") << two << 9 << 1 << two;
    QTest::newRow("inside one segment") << two << 1 << 1 << Segments{{0, 0.5, {1, 3}}, {10, 1, {4, 5}}};
    QTest::newRow("whole second segment") << two << 3 << 2 << Segments{{0, 0.5, {1, 2, 3}}};
    QTest::newRow("count zero") << two << 1 << 0 << two;
    QTest::newRow("negative index") << two << -1 << 2 << two;
    QTest::newRow("negative count") << two << 1 << -2 << two;

    const Segments three{{0, 1, {1, 2}}, {5, 1, {3}}, {9, 1, {4, 5, 6}}};
    QTest::newRow("middle segment dropped between cut ones") << three << 1 << 4
        << Segments{{0, 1, {1}}, {9, 1, {6}}};
    QTest::newRow("two whole segments") << three << 0 << 3 << Segments{{9, 1, {4, 5, 6}}};

    const Segments withEmpty{{0, 1, {1, 2}}, {3, 1, {}}, {6, 1, {3, 4}}};
    QTest::newRow("an empty segment on the way stays") << withEmpty << 1 << 2
        << Segments{{0, 1, {1}}, {3, 1, {}}, {6, 1, {4}}};
    QTest::newRow("nothing to remove") << Segments{} << 0 << 3 << Segments{};
}

void tst_ClotCurve::removeAcrossSegments()
{
    QFETCH(Segments, before);
    QFETCH(int, index);
    QFETCH(int, count);
    QFETCH(Segments, after);

    ClotCurve c = curveOf(before);
    c.remove(index, count);
    const ClotCurve expected = curveOf(after);
    QVERIFY2(sameCurve(c, expected), qPrintable(describe(c) + " != " + describe(expected)));
}

void tst_ClotCurve::removeLeavesCopiesAlone()
{
    const ClotCurve original = twoSegments();
    ClotCurve copy = original;
    copy.remove(1, 3);
    QCOMPARE(copy.size(), 2);
    QVERIFY(sameCurve(original, twoSegments()));
}

void tst_ClotCurve::storedForm_data()
{
    QTest::addColumn<ClotCurve>("curve");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("no segments") << ClotCurve() << QByteArray::fromHex("00000000 00000000");
    QTest::newRow("type 1, one empty segment")
        << curveOf({{0, 1, {}}}, ClotCurve::OpticalDensity)
        << QByteArray::fromHex("00000001 00000001 0000000000000000 3ff0000000000000 00000000");
    QTest::newRow("two segments with values")
        << curveOf({{-1.5, 0.1, {1000, -0.0}}, {2, 0.5, {1}}})
        << QByteArray::fromHex("00000000 00000002"
                               "bff8000000000000 3fb999999999999a 00000002 408f400000000000 8000000000000000"
                               "4000000000000000 3fe0000000000000 00000001 3ff0000000000000");
}

void tst_ClotCurve::storedForm()
{
    QFETCH(ClotCurve, curve);
    QFETCH(QByteArray, bytes);

    QCOMPARE(curve.toBuffer().toHex(), bytes.toHex());
    bool ok = false;
    const ClotCurve back = ClotCurve::fromBuffer(bytes, &ok);
    QVERIFY(ok);
    QVERIFY2(sameCurve(back, curve), qPrintable(describe(back)));
}

void tst_ClotCurve::randomCurvesRoundTrip()
{
    QRandomGenerator random(20261208);
    for (int i = 0; i < 300; ++i) {
        const ClotCurve c = randomCurve(random);
        const QByteArray bytes = c.toBuffer();
        int expectedSize = 8;
        for (const ClotCurve::Segment &s : c.segments())
            expectedSize += 20 + 8 * s.y.size();
        QCOMPARE(bytes.size(), expectedSize);

        bool ok = false;
        const ClotCurve back = ClotCurve::fromBuffer(bytes, &ok);
        QVERIFY(ok);
        QVERIFY2(sameCurve(back, c), qPrintable(QString::number(i)));
    }
}

void tst_ClotCurve::damagedBuffers_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("type");
    QTest::addColumn<Segments>("segments");
    QTest::addColumn<QString>("warning");  // empty: none expected

    const QString none;
    QTest::newRow("empty") << QByteArray() << 0 << Segments{} << none;
    QTest::newRow("short of the type") << QByteArray::fromHex("0000") << 0 << Segments{}
        << "Damaged curve of 2 bytes: 0 of 0 segments read whole";
    QTest::newRow("short of the count") << QByteArray::fromHex("00000001 0000") << 1 << Segments{}
        << "Damaged curve of 6 bytes: 0 of 0 segments read whole";
    QTest::newRow("count without segments") << QByteArray::fromHex("00000001 00000001") << 1 << Segments{}
        << "Damaged curve of 8 bytes: 0 of 1 segments read whole";
    QTest::newRow("hostile segment count") << QByteArray::fromHex("00000000 ffffffff") << 0 << Segments{}
        << "Damaged curve of 8 bytes: 0 of 4294967295 segments read whole";
    QTest::newRow("hostile segment count, one segment there")
        << QByteArray::fromHex("00000000 7fffffff 3ff0000000000000 3ff0000000000000 00000001 4000000000000000")
        << 0 << Segments{{1, 1, {2}}} << "Damaged curve of 36 bytes: 1 of 2147483647 segments read whole";
    QTest::newRow("segment header cut")
        << QByteArray::fromHex("00000000 00000001 3ff0000000000000 3ff0") << 0 << Segments{}
        << "Damaged curve of 18 bytes: 0 of 1 segments read whole";
    QTest::newRow("hostile point count")
        << QByteArray::fromHex("00000000 00000001 0000000000000000 3ff0000000000000 ffffffff"
                               "4000000000000000 4008000000000000")
        << 0 << Segments{{0, 1, {2, 3}}} << "Damaged curve of 44 bytes: 0 of 1 segments read whole";
    QTest::newRow("value cut in the middle")
        << QByteArray::fromHex("00000000 00000001 0000000000000000 3ff0000000000000 00000002"
                               "4000000000000000 4008")
        << 0 << Segments{{0, 1, {2}}} << "Damaged curve of 38 bytes: 0 of 1 segments read whole";
    QTest::newRow("second segment missing")
        << QByteArray::fromHex("00000001 00000002 0000000000000000 3ff0000000000000 00000000")
        << 1 << Segments{{0, 1, {}}} << "Damaged curve of 28 bytes: 1 of 2 segments read whole";
    QTest::newRow("trailing bytes are ignored")
        << QByteArray::fromHex("00000001 00000001 0000000000000000 3ff0000000000000 00000000 dead")
        << 1 << Segments{{0, 1, {}}} << "Ignored 2 bytes after the curve";
}

void tst_ClotCurve::damagedBuffers()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, type);
    QFETCH(Segments, segments);
    QFETCH(QString, warning);

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable("(ClotCurve::fromBuffer) " + warning));
    bool ok = true;
    const ClotCurve c = ClotCurve::fromBuffer(bytes, &ok);
    QVERIFY(!ok);
    const ClotCurve expected = curveOf(segments, ClotCurve::PointType(type));
    QVERIFY2(sameCurve(c, expected), qPrintable(describe(c) + " != " + describe(expected)));
}

void tst_ClotCurve::unknownTypeIsKept()
{
    bool ok = false;
    const ClotCurve c = ClotCurve::fromBuffer(QByteArray::fromHex("00000007 00000000"), &ok);
    QVERIFY(ok);
    QCOMPARE(int(c.type()), 7);
    QCOMPARE(c.toBuffer(), QByteArray::fromHex("00000007 00000000"));
}

void tst_ClotCurve::everyTruncationReadsAPrefix()
{
    const ClotCurve whole = curveOf({{0, 0.5, {1, 2, 3}}, {10, 1, {}}, {20, 2, {4, 5}}});
    const QByteArray bytes = whole.toBuffer();
    const QVector<double> all{1, 2, 3, 4, 5};
    for (int length = 0; length < bytes.size(); ++length) {
        if (length > 0)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^\\(ClotCurve::fromBuffer\\) Damaged curve"));
        bool ok = true;
        const ClotCurve part = ClotCurve::fromBuffer(bytes.left(length), &ok);
        QVERIFY(!ok);
        QVERIFY(part.segments().size() <= 3);
        for (int i = 0; i < part.size(); ++i) {
            QCOMPARE(part.y(i), all[i]);
            QCOMPARE(part.x(i), whole.x(i));
        }
    }
}

void tst_ClotCurve::opticalDensity_data()
{
    QTest::addColumn<ClotCurve>("raw");
    QTest::addColumn<QVector<double>>("expected");  // the first segment after conversion

    QVector<double> flat(100, 1000.0);
    QVector<double> zeros(100, 0.0);
    QTest::newRow("flat signal, window at x 3") << curveOf({{0, 0.1, flat}}) << zeros;

    QVector<double> dip = flat;
    dip[50] = 10.0;
    dip[60] = 0.0;
    dip[70] = 100000.0;
    QVector<double> od = zeros;
    od[50] = 2.0;
    od[60] = 5.0;   // the signal is floored at 2^-52, the absorbance capped at 5
    od[70] = -2.0;
    QTest::newRow("absorbance against the baseline") << curveOf({{0, 0.1, dip}}) << od;

    QVector<double> early = dip;
    early[33] = 0.0;  // inside the window before its middle: part of the base, zeroed
    early[35] = 1.0;  // the middle of the window: converted
    QVector<double> earlyOd = od;
    const double base = (8 * 1000.0 + 0.0 + 1.0) / 10;
    earlyOd[35] = std::log10(base / 1.0);
    earlyOd[50] = std::log10(base / 10.0);
    earlyOd[70] = std::log10(base / 100000.0);
    earlyOd[60] = 5.0;
    for (int i = 36; i < 100; ++i)
        if (i != 50 && i != 60 && i != 70)
            earlyOd[i] = std::log10(base / 1000.0);
    QTest::newRow("window mean decides the base") << curveOf({{0, 0.1, early}}) << earlyOd;

    // x0 5 is after 3.0: skip 0, w 2 (dx 0.5), base (100 + 100) / 2, z 1.
    QVector<double> late(10, 100.0);
    late[9] = 1.0;
    QVector<double> lateOd(10, 0.0);
    lateOd[9] = 2.0;
    QTest::newRow("recording starting after x 3") << curveOf({{5, 0.5, late}}) << lateOd;

    QTest::newRow("too short for the window") << curveOf({{0, 0.1, QVector<double>(20, 7.0)}})
                                              << QVector<double>(20, 0.0);
    QTest::newRow("empty first segment") << curveOf({{0, 0.1, {}}}) << QVector<double>{};

    const QVector<double> four{4, 3, 2, 1};
    for (double dx : {0.0, -0.1, notANumber, infinity, -infinity})
        QTest::newRow(qPrintable(QStringLiteral("dx %1 has no window").arg(dx)))
            << curveOf({{0, dx, four}}) << QVector<double>(4, 0.0);
    for (double x0 : {notANumber, infinity, -infinity})
        QTest::newRow(qPrintable(QStringLiteral("x0 %1 has no window").arg(x0)))
            << curveOf({{x0, 0.1, four}}) << QVector<double>(4, 0.0);
    QTest::newRow("x0 far before 3.0") << curveOf({{-1e300, 0.1, four}}) << QVector<double>(4, 0.0);
    // dx so small that one x unit would hold more points than an int counts: the
    // window is the whole segment.
    QTest::newRow("tiny dx, base over every point") << curveOf({{3, 1e-300, {10, 10, 10, 10, 10, 0.1}}})
                                                    << QVector<double>{0, 0, 0, std::log10(8.35 / 10), std::log10(8.35 / 10), std::log10(8.35 / 0.1)};
}

void tst_ClotCurve::opticalDensity()
{
    QFETCH(ClotCurve, raw);
    QFETCH(QVector<double>, expected);

    ClotCurve withTail = raw;
    withTail.append(50, 1, {123.0, 0.0});  // only the first segment is converted
    const ClotCurve c = withTail.toType(ClotCurve::OpticalDensity);
    QCOMPARE(c.type(), ClotCurve::OpticalDensity);
    const Segments segments = c.segments();
    QCOMPARE(segments.size(), 2);
    QVERIFY(sameBits(segments[0].x0, raw.segments()[0].x0));
    QCOMPARE(segments[0].y.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(qAbs(segments[0].y[i] - expected[i]) < 1e-12,
                 qPrintable(QStringLiteral("point %1: %2 != %3").arg(i).arg(segments[0].y[i]).arg(expected[i])));
    QCOMPARE(segments[1].y, (QVector<double>{123.0, 0.0}));
}

void tst_ClotCurve::conversionKeepsTheSource()
{
    const ClotCurve raw = curveOf({{0, 0.1, QVector<double>(100, 1000.0)}});
    const ClotCurve od = raw.toType(ClotCurve::OpticalDensity);
    QCOMPARE(raw.type(), ClotCurve::RawSignal);
    QCOMPARE(raw.y(0), 1000.0);
    QCOMPARE(od.y(0), 0.0);
}

void tst_ClotCurve::conversionsThatDoNotExist_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");

    QTest::newRow("density to density") << 1 << 1;
    QTest::newRow("density to raw") << 1 << 0;
    QTest::newRow("raw to raw") << 0 << 0;
    QTest::newRow("unknown type to density") << 7 << 1;
    QTest::newRow("raw to unknown type") << 0 << 5;
}

void tst_ClotCurve::conversionsThatDoNotExist()
{
    QFETCH(int, from);
    QFETCH(int, to);

    const ClotCurve c = curveOf({{0, 0.1, QVector<double>(100, 1000.0)}, {20, 1, {3}}}, ClotCurve::PointType(from));
    const ClotCurve converted = c.toType(ClotCurve::PointType(to));
    QVERIFY2(sameCurve(converted, c), qPrintable(describe(converted)));
}

QTEST_GUILESS_MAIN(tst_ClotCurve)
#include "tst_clotcurve.moc"
