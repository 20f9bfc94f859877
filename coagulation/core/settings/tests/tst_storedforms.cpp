#include <QtCore/QDateTime>
#include <QtGui/QColor>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

#include <clotcurve.h>
#include <profile.h>
#include <profilesandbox.h>

#include <limits>

// What the library leaves in files, byte for byte: a curve's stored form and its row
// in the data database, and the rows of the profile. The golden bytes are written
// out here, not made by the code under test, and hold for every Qt the library builds
// with: files move between installations.
class tst_StoredForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void curveBlobAndRow();
    void profileRows_data();
    void profileRows();

private:
    QScopedPointer<ProfileSandbox> m_sandbox;
};

void tst_StoredForms::initTestCase()
{
    m_sandbox.reset(new ProfileSandbox);
    QVERIFY(m_sandbox->isValid());
    QCOMPARE(m_sandbox->startupBoxes(), 0);
}

void tst_StoredForms::curveBlobAndRow()
{
    ClotCurve curve;
    curve.setType(ClotCurve::OpticalDensity);
    curve.append(0.5, 0.1, {1.0, -2.5, std::numeric_limits<double>::infinity()});
    curve.append(12.0, 1.0, QVector<double>());
    const QByteArray golden = QByteArray::fromHex("00000001 00000002"                  // type, segments
                                                  "3FE0000000000000 3FB999999999999A" // x0, dx
                                                  "00000003"                          // points
                                                  "3FF0000000000000 C004000000000000 7FF0000000000000"
                                                  "4028000000000000 3FF0000000000000 00000000");
    QCOMPARE(curve.toBuffer().toHex(), golden.toHex());

    QVERIFY(curve.save(Q_INT64_C(5000000000), QStringLiteral("凝血"), 3));
    QSqlQuery query(Profile::instance().dataDatabase());
    QVERIFY(query.exec("select typeof(patientId), patientId, typeof(item), hex(item), typeof(version), version,"
                       " typeof(curve), hex(curve) from curve"));
    QVERIFY(query.next());
    QStringList row;
    for (int i = 0; i < 8; ++i)
        row << query.value(i).toString();
    QCOMPARE(row, QStringList({"integer", "5000000000", "text", "E5879DE8A180", "integer", "3", "blob",
                               QString::fromLatin1(golden.toHex().toUpper())}));
}

void tst_StoredForms::profileRows_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("storedType");
    QTest::addColumn<QByteArray>("storedHex"); // of the text SQLite shows for a number

    QTest::newRow("text") << QVariant(QStringLiteral("不凝")) << "text" << QByteArray("E4B88DE5879D");
    QTest::newRow("empty text") << QVariant(QLatin1String("")) << "text" << QByteArray("");
    QTest::newRow("null text") << QVariant(QString()) << "null" << QByteArray("");
    QTest::newRow("int") << QVariant(-42) << "integer" << QByteArray("2D3432");
    QTest::newRow("64-bit integer") << QVariant(Q_INT64_C(5000000000)) << "integer"
                                    << QByteArray("35303030303030303030");
    QTest::newRow("real") << QVariant(2.5) << "real" << QByteArray("322E35");
    QTest::newRow("bool") << QVariant(true) << "text" << QByteArray("74727565");
    QTest::newRow("colour by its name") << QVariant(QColor(255, 170, 0)) << "text" << QByteArray("23666661613030");
    QTest::newRow("colour without alpha") << QVariant(QColor(1, 2, 3, 100)) << "text" << QByteArray("23303130323033");
    QTest::newRow("invalid colour") << QVariant(QColor()) << "null" << QByteArray("");
    QTest::newRow("bytes") << QVariant(QByteArray("\x00\xff", 2)) << "blob" << QByteArray("00FF");
    QTest::newRow("date") << QVariant(QDate(2024, 1, 31)) << "text" << QByteArray("323032342D30312D3331");
}

void tst_StoredForms::profileRows()
{
    QFETCH(QVariant, value);
    QFETCH(QString, storedType);
    QFETCH(QByteArray, storedHex);

    const QString key = QStringLiteral("golden ") + QLatin1String(QTest::currentDataTag());
    Profile::instance().setValue(key, value, true);
    QCOMPARE(Profile::instance().status(), Profile::NoError);

    QSqlQuery query(Profile::instance().database());
    QVERIFY(query.prepare("select typeof(value), hex(value) from profile where name = ?"));
    query.addBindValue(key);
    QVERIFY(query.exec() && query.next());
    QCOMPARE(query.value(0).toString(), storedType);
    QCOMPARE(query.value(1).toString(), QString::fromLatin1(storedHex));
}

QTEST_MAIN(tst_StoredForms)
#include "tst_storedforms.moc"
