#include <QtTest/QtTest>

#include <bitarray.h>

namespace {
QByteArray bytesOf(const BitArray &bits)
{
    return QByteArray(bits.data(), (bits.count() + 7) / 8);
}
}

class tst_BitArray : public QObject
{
    Q_OBJECT

private slots:
    void construction_data();
    void construction();
    void setBit_data();
    void setBit();
    void indexOutsideStorageIsHarmless();
    void copiesShareUntilWritten();
    void writeThroughDataChangesOnlyThatCopy();
};

void tst_BitArray::construction_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fill");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("10 clear") << 10 << false << 10 << QByteArray::fromHex("00 00");
    QTest::newRow("10 set, spare bits too") << 10 << true << 10 << QByteArray::fromHex("ff ff");
    QTest::newRow("8 is one byte") << 8 << false << 8 << QByteArray::fromHex("00");
    QTest::newRow("9 is two bytes") << 9 << true << 9 << QByteArray::fromHex("ff ff");
    QTest::newRow("0 has no bytes") << 0 << true << 0 << QByteArray();
    QTest::newRow("negative is empty") << -5 << true << 0 << QByteArray();
    QTest::newRow("negative, clear") << -1 << false << 0 << QByteArray();
}

void tst_BitArray::construction()
{
    QFETCH(int, size);
    QFETCH(bool, fill);
    QFETCH(int, count);
    QFETCH(QByteArray, bytes);

    const BitArray bits(size, fill);
    QCOMPARE(bits.count(), count);
    QCOMPARE(bytesOf(bits), bytes);
    for (int i = 0; i < bytes.size() * 8; ++i)
        QCOMPARE(bits[i], fill);

    if (!fill) {
        const BitArray plain(size);
        QCOMPARE(plain.count(), count);
        QCOMPARE(bytesOf(plain), bytes);
    }
}

void tst_BitArray::setBit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fill");
    QTest::addColumn<QVector<int>>("indices");  // set for i >= 0, cleared for ~i
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("bit 9 is bit 1 of byte 1") << 10 << false << QVector<int>{9} << QByteArray::fromHex("00 02");
    QTest::newRow("bit 0 is the low bit") << 10 << false << QVector<int>{9, 0} << QByteArray::fromHex("01 02");
    QTest::newRow("bit 7 is the high bit") << 16 << false << QVector<int>{7, 8} << QByteArray::fromHex("80 01");
    QTest::newRow("spare bit of the last byte") << 10 << false << QVector<int>{15} << QByteArray::fromHex("00 80");
    QTest::newRow("clear from full") << 10 << true << QVector<int>{~0, ~9, ~15} << QByteArray::fromHex("fe 7d");
    QTest::newRow("set twice, clear once") << 8 << false << QVector<int>{3, 3, ~3} << QByteArray::fromHex("00");
}

void tst_BitArray::setBit()
{
    QFETCH(int, size);
    QFETCH(bool, fill);
    QFETCH(QVector<int>, indices);
    QFETCH(QByteArray, bytes);

    BitArray bits(size, fill);
    for (int i : indices) {
        const bool on = i >= 0;
        const int index = on ? i : ~i;
        bits.setBit(index, on);
        QCOMPARE(bits[index], on);
    }
    QCOMPARE(bytesOf(bits), bytes);
    QCOMPARE(bits.count(), size);
}

void tst_BitArray::indexOutsideStorageIsHarmless()
{
    BitArray bits(10);
    for (int i : {-1, 16, 17, 1 << 30, -(1 << 30)}) {
        bits.setBit(i, true);
        QVERIFY2(!bits[i], qPrintable(QString::number(i)));
    }
    QCOMPARE(bytesOf(bits), QByteArray::fromHex("00 00"));

    BitArray empty(0);
    empty.setBit(0, true);
    QVERIFY(!empty[0]);
}

void tst_BitArray::copiesShareUntilWritten()
{
    BitArray first(20);
    first.setBit(3, true);
    const char *before = static_cast<const BitArray &>(first).data();

    BitArray copy = first;
    QCOMPARE(static_cast<const BitArray &>(copy).data(), before);  // shared, not copied
    QCOMPARE(copy.count(), 20);

    copy.setBit(17, true);
    QCOMPARE(bytesOf(first), QByteArray::fromHex("08 00 00"));
    QCOMPARE(bytesOf(copy), QByteArray::fromHex("08 00 02"));
    QCOMPARE(static_cast<const BitArray &>(first).data(), before);
    QVERIFY(static_cast<const BitArray &>(copy).data() != before);

    BitArray assigned(3);
    assigned = first;
    QCOMPARE(assigned.count(), 20);
    QCOMPARE(bytesOf(assigned), QByteArray::fromHex("08 00 00"));
}

void tst_BitArray::writeThroughDataChangesOnlyThatCopy()
{
    const BitArray first(12, true);
    BitArray copy = first;
    char *raw = copy.data();
    raw[0] = 0x5a;
    raw[1] = 0x00;
    QCOMPARE(bytesOf(first), QByteArray::fromHex("ff ff"));
    QCOMPARE(bytesOf(copy), QByteArray::fromHex("5a 00"));
    QVERIFY(copy[1] && !copy[0] && !copy[8]);
}

QTEST_GUILESS_MAIN(tst_BitArray)
#include "tst_bitarray.moc"
