#include <QtTest/QtTest>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include <qvglobal.h>

class tst_NumberText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void volumeUnitsAndBoundaries_data();
    void volumeUnitsAndBoundaries();
    void fractionOfFirstRatio_data();
    void fractionOfFirstRatio();
    void fractionFromSeveralThreads();
    void dilutionNormalised_data();
    void dilutionNormalised();
    void dilutionListIsFixedAndNormal();
};

void tst_NumberText::volumeUnitsAndBoundaries_data()
{
    QTest::addColumn<int>("volume");
    QTest::addColumn<QString>("text");

    QTest::newRow("zero") << 0 << QStringLiteral("0 uL");
    QTest::newRow("negative stays in uL") << -2000 << QStringLiteral("-2000 uL");
    QTest::newRow("1000 is still uL") << 1000 << QStringLiteral("1000 uL");
    QTest::newRow("1001 is mL") << 1001 << QStringLiteral("1.001 mL");
    QTest::newRow("1500") << 1500 << QStringLiteral("1.5 mL");
    QTest::newRow("four significant digits") << 12345 << QStringLiteral("12.35 mL");
    QTest::newRow("999999 rounds to 1000 mL") << 999999 << QStringLiteral("1000 mL");
    QTest::newRow("1000000 is still mL") << 1000000 << QStringLiteral("1000 mL");
    QTest::newRow("1000001 is L") << 1000001 << QStringLiteral("1 L");
    QTest::newRow("1234567") << 1234567 << QStringLiteral("1.235 L");
    QTest::newRow("2500000") << 2500000 << QStringLiteral("2.5 L");
    QTest::newRow("largest int") << std::numeric_limits<int>::max() << QStringLiteral("2147 L");
}

void tst_NumberText::volumeUnitsAndBoundaries()
{
    QFETCH(int, volume);
    QFETCH(QString, text);
    QCOMPARE(humanReadableVolume(volume), text);
}

void tst_NumberText::fractionOfFirstRatio_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("ok");

    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();

    QTest::newRow("null text") << QString() << 0.0 << false;
    QTest::newRow("no ratio") << QStringLiteral("one to eight") << 0.0 << false;
    QTest::newRow("separator without a divisor") << QStringLiteral("3/") << 0.0 << false;
    QTest::newRow("slash") << QStringLiteral("1/8") << 0.125 << true;
    QTest::newRow("colon with decimals") << QStringLiteral("2.5:10") << 0.25 << true;
    QTest::newRow("between other words") << QStringLiteral("dilute 1/4 please") << 0.25 << true;
    QTest::newRow("signs and spaces") << QStringLiteral("-1.5 : 3") << -0.5 << true;
    QTest::newRow("plus and minus") << QStringLiteral("+3/-4") << -0.75 << true;
    QTest::newRow("tabs around a colon") << QStringLiteral("1\t:\t8") << 0.125 << true;
    QTest::newRow("ideographic spaces") << QStringLiteral("1\u3000/\u30008") << 0.125 << true;
    QTest::newRow("trailing dot") << QStringLiteral("1./2.") << 0.5 << true;
    QTest::newRow("leading dot is not part of the number") << QStringLiteral(".5/2") << 2.5 << true;
    QTest::newRow("first ratio of several") << QStringLiteral("1/2/3") << 0.5 << true;
    QTest::newRow("zero divisor") << QStringLiteral("3/0") << inf << true;
    QTest::newRow("negative over zero") << QStringLiteral("-3:0") << -inf << true;
    QTest::newRow("zero over zero") << QStringLiteral("0/0.0") << nan << true;
}

void tst_NumberText::fractionOfFirstRatio()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QFETCH(bool, ok);

    bool matched = !ok;
    const double result = fraction(text, &matched);
    QCOMPARE(matched, ok);
    if (std::isnan(value))
        QVERIFY2(std::isnan(result), qPrintable(QString::number(result)));
    else
        QCOMPARE(result, value);
    // The flag is optional.
    QCOMPARE(std::isnan(fraction(text)), std::isnan(value));
}

void tst_NumberText::fractionFromSeveralThreads()
{
    struct Case {
        QString text;
        double value;
        bool ok;
    };
    const std::vector<Case> cases = {
        {QStringLiteral("1/8"), 0.125, true},
        {QStringLiteral("xx -2.5 : 10 yy"), -0.25, true},
        {QStringLiteral("no ratio here"), 0.0, false},
        {QStringLiteral("  300:4"), 75.0, true},
    };

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                const Case &c = cases[(i + t) % cases.size()];
                bool ok = !c.ok;
                if (fraction(c.text, &ok) != c.value || ok != c.ok)
                    ++wrong;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(wrong.load(), 0);
}

void tst_NumberText::dilutionNormalised_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // null: rejected

    QTest::newRow("colon") << QStringLiteral("1:8") << QStringLiteral("1/8");
    QTest::newRow("already canonical") << QStringLiteral("1/8") << QStringLiteral("1/8");
    QTest::newRow("leading zeros kept, spaces dropped") << QStringLiteral(" 01 : 10 ") << QStringLiteral("01/10");
    QTest::newRow("tab and newline") << QStringLiteral("\t2/5\n") << QStringLiteral("2/5");
    QTest::newRow("numerator above denominator") << QStringLiteral("10:3") << QStringLiteral("10/3");

    QTest::newRow("null text") << QString() << QString();
    QTest::newRow("empty text") << QStringLiteral("") << QString();
    QTest::newRow("zero numerator") << QStringLiteral("0/5") << QString();
    QTest::newRow("zero denominator") << QStringLiteral("5/0") << QString();
    QTest::newRow("zeros with leading zero") << QStringLiteral("00:5") << QString();
    QTest::newRow("three parts") << QStringLiteral("1/2/3") << QString();
    QTest::newRow("negative") << QStringLiteral("-1/2") << QString();
    QTest::newRow("plus sign") << QStringLiteral("+1/2") << QString();
    QTest::newRow("decimal") << QStringLiteral("1.5/2") << QString();
    QTest::newRow("text after") << QStringLiteral("1/8x") << QString();
    QTest::newRow("text before") << QStringLiteral("x1/8") << QString();
    QTest::newRow("no separator") << QStringLiteral("1 8") << QString();
    QTest::newRow("double separator") << QStringLiteral("1//8") << QString();
    QTest::newRow("other separator") << QStringLiteral("1-8") << QString();
    QTest::newRow("numerator only") << QStringLiteral("1/") << QString();
}

void tst_NumberText::dilutionNormalised()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const QString result = normalizedDilution(text);
    QCOMPARE(result, expected);
    QCOMPARE(result.isNull(), expected.isNull());
}

void tst_NumberText::dilutionListIsFixedAndNormal()
{
    const QStringList expected = {
        QStringLiteral("1/1"),  QStringLiteral("1/2"),  QStringLiteral("1/4"),   QStringLiteral("1/5"),
        QStringLiteral("1/8"),  QStringLiteral("1/10"), QStringLiteral("1/16"),  QStringLiteral("1/20"),
        QStringLiteral("1/30"), QStringLiteral("1/40"), QStringLiteral("1/50"),  QStringLiteral("1/80"),
        QStringLiteral("1/100"), QStringLiteral("1/160"), QStringLiteral("1/320"), QStringLiteral("2/5"),
        QStringLiteral("3/4"),  QStringLiteral("3/5"),  QStringLiteral("4/5")};
    QCOMPARE(dilutionList(), expected);
    // What the list offers, the other helpers accept as it stands.
    for (const QString &entry : dilutionList()) {
        QCOMPARE(normalizedDilution(entry), entry);
        bool ok = false;
        QVERIFY(fraction(entry, &ok) > 0.0 && ok);
    }
}

QTEST_GUILESS_MAIN(tst_NumberText)
#include "tst_numbertext.moc"
