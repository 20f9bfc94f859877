#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

#include <clotcurve.h>
#include <profile.h>
#include <profilesandbox.h>

class tst_CurveStorage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void savesOneRowWithTheStoredForm();
    void curveWithoutSegmentsWritesNothing();
    void curveOfEmptySegmentsIsWritten();
    void failureIsAWarning();

private:
    int rowCount();

    QScopedPointer<ProfileSandbox> m_sandbox;
};

void tst_CurveStorage::initTestCase()
{
    m_sandbox.reset(new ProfileSandbox);
    QVERIFY(m_sandbox->isValid());
    QCOMPARE(m_sandbox->startupBoxes(), 0);
    QVERIFY(Profile::instance().dataDatabase().isOpen());
}

void tst_CurveStorage::init()
{
    QSqlQuery query(Profile::instance().dataDatabase());
    QVERIFY(query.exec("delete from curve"));
}

int tst_CurveStorage::rowCount()
{
    QSqlQuery query(Profile::instance().dataDatabase());
    return query.exec("select count(*) from curve") && query.next() ? query.value(0).toInt() : -1;
}

void tst_CurveStorage::savesOneRowWithTheStoredForm()
{
    ClotCurve c;
    c.setType(ClotCurve::OpticalDensity);
    c.append(0.0, 0.1, {1.0, 2.5, -3.0});
    c.append(12.0, 1.0, {4.0});
    const qint64 patientId = Q_INT64_C(5000000000);  // beyond 32 bits
    QVERIFY(c.save(patientId, "PT", 3));

    QSqlQuery query(Profile::instance().dataDatabase());
    QVERIFY(query.exec("select patientId, typeof(patientId), item, typeof(item), version, typeof(version),"
                       " curve, typeof(curve) from curve"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toLongLong(), patientId);
    QCOMPARE(query.value(1).toString(), QString("integer"));
    QCOMPARE(query.value(2).toString(), QString("PT"));
    QCOMPARE(query.value(3).toString(), QString("text"));
    QCOMPARE(query.value(4).toInt(), 3);
    QCOMPARE(query.value(5).toString(), QString("integer"));
    const QByteArray stored = query.value(6).toByteArray();
    QCOMPARE(stored.toHex(), c.toBuffer().toHex());
    QCOMPARE(query.value(7).toString(), QString("blob"));
    QVERIFY(!query.next());

    bool ok = false;
    const ClotCurve back = ClotCurve::fromBuffer(stored, &ok);
    QVERIFY(ok);
    QCOMPARE(back.size(), 4);
    QCOMPARE(back.y(3), 4.0);
    QCOMPARE(back.x(3), 12.0);
}

void tst_CurveStorage::curveWithoutSegmentsWritesNothing()
{
    QVERIFY(ClotCurve().save(1, "PT", 1));
    QCOMPARE(rowCount(), 0);
}

void tst_CurveStorage::curveOfEmptySegmentsIsWritten()
{
    ClotCurve c;
    c.setType(ClotCurve::OpticalDensity);
    c.append(0.0, 1.0, {});
    QVERIFY(c.save(7, QString(), 0));
    QSqlQuery query(Profile::instance().dataDatabase());
    QVERIFY(query.exec("select curve, item is null from curve"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toByteArray(),
             QByteArray::fromHex("00000001 00000001 0000000000000000 3ff0000000000000 00000000"));
    QVERIFY(query.value(1).toBool());  // a null item is stored as NULL
}

void tst_CurveStorage::failureIsAWarning()
{
    // Without the table the statement cannot be prepared: warnings, no row, no crash.
    QSqlQuery query(Profile::instance().dataDatabase());
    QVERIFY(query.exec("alter table curve rename to curve_kept"));
    ClotCurve c;
    c.append(0.0, 1.0, {1.0});
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("clotcurve\\.cpp:\\d+: .*no such table: curve"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("clotcurve\\.cpp:\\d+: "));
    const bool saved = c.save(1, "PT", 1);
    QVERIFY(query.exec("alter table curve_kept rename to curve"));
    QVERIFY(!saved);
    QCOMPARE(rowCount(), 0);
}

QTEST_GUILESS_MAIN(tst_CurveStorage)
#include "tst_curvestorage.moc"
