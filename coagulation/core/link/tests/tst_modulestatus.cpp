#include <QtTest/QtTest>

#include <modulestatus.h>

using Modbus::ModuleStatus;

class tst_ModuleStatus : public QObject
{
    Q_OBJECT

private slots:
    void kindsAreDisjoint_data();
    void kindsAreDisjoint();
    void exceptionLayout();
    void exceptionFromReplyBytes_data();
    void exceptionFromReplyBytes();
    void talkResults_data();
    void talkResults();
};

void tst_ModuleStatus::kindsAreDisjoint_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("success");
    QTest::addColumn<bool>("communication");
    QTest::addColumn<bool>("exception");
    QTest::addColumn<bool>("device");

    QTest::newRow("success") << 0 << true << false << false << false;
    QTest::newRow("invalid reply") << int(ModuleStatus::InvalidReplyError) << false << true << false << false;
    QTest::newRow("timeout") << int(ModuleStatus::TimeoutError) << false << true << false << false;
    QTest::newRow("write") << int(ModuleStatus::WriteError) << false << true << false << false;
    QTest::newRow("not open") << int(ModuleStatus::NotOpenError) << false << true << false << false;
    QTest::newRow("lowest exception") << 0x7F000000 << false << false << true << false;
    QTest::newRow("highest exception") << 0x7FFFFFFF << false << false << true << false;
    QTest::newRow("device error 1") << 0x0001 << false << false << false << true;
    QTest::newRow("device error 0x0102") << 0x0102 << false << false << false << true;
    QTest::newRow("device error 0xFFFF") << 0xFFFF << false << false << false << true;
    // Above the device range but not an exception: still a failure.
    QTest::newRow("unclassified 0x10000") << 0x00010000 << false << false << false << false;
    QTest::newRow("unclassified 0x7E000000") << 0x7E000000 << false << false << false << false;
}

void tst_ModuleStatus::kindsAreDisjoint()
{
    QFETCH(int, code);
    QFETCH(bool, success);
    QFETCH(bool, communication);
    QFETCH(bool, exception);
    QFETCH(bool, device);

    const ModuleStatus status(code);
    QCOMPARE(status.data(), code);
    QCOMPARE(bool(status), success);
    QCOMPARE(!status, !success);
    QCOMPARE(status.isCommunicationError(), communication);
    QCOMPARE(status.isException(), exception);
    QCOMPARE(status.isDeviceError(), device);
    // Only an exception has an exception text, whatever its low byte holds.
    if (!exception)
        QVERIFY(status.exceptionText().isEmpty());
}

void tst_ModuleStatus::exceptionLayout()
{
    ModuleStatus status;
    status.setException(5, 0x83, 2);
    QCOMPARE(quint32(status.data()), 0x7F058302u);
    QVERIFY(status.isException());
    QVERIFY(!status.isDeviceError());
    QVERIFY(!status.isCommunicationError());
    QVERIFY(!status);
    QCOMPARE(status.exceptionAddress(), uchar(5));
    QCOMPARE(status.exceptionCommand(), uchar(0x83));
    QCOMPARE(status.exceptionCode(), uchar(2));

    // Copies carry the code.
    const ModuleStatus copy = status;
    ModuleStatus assigned;
    assigned = copy;
    QCOMPARE(assigned.data(), status.data());
}

void tst_ModuleStatus::exceptionFromReplyBytes_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<quint32>("code");
    QTest::addColumn<QString>("text");

    QTest::newRow("gateway exception") << QByteArray::fromHex("01ab0b") << 0x7F01AB0Bu
                                       << "gateway target did not respond";
    QTest::newRow("module exception with trailing bytes") << QByteArray::fromHex("05830244") << 0x7F058302u
                                                          << "illegal data address";
    QTest::newRow("two bytes") << QByteArray::fromHex("0583") << 0x7F058300u << QString();
    QTest::newRow("one byte") << QByteArray::fromHex("05") << 0x7F050000u << QString();
    QTest::newRow("empty") << QByteArray() << 0x7F000000u << QString();
    QTest::newRow("a code the protocol does not name") << QByteArray::fromHex("058307") << 0x7F058307u << QString();
}

void tst_ModuleStatus::exceptionFromReplyBytes()
{
    QFETCH(QByteArray, reply);
    QFETCH(quint32, code);
    QFETCH(QString, text);
    ModuleStatus status;
    status.setException(reply);
    QCOMPARE(quint32(status.data()), code);
    QVERIFY(status.isException());
    QCOMPARE(status.exceptionText(), text);
}

void tst_ModuleStatus::talkResults_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("empty reply length") << 0 << 0 << true;
    QTest::newRow("reply length") << 25 << 0 << true;
    QTest::newRow("invalid reply") << int(0x80000000) << int(ModuleStatus::InvalidReplyError) << false;
    QTest::newRow("timeout") << -2147483647 << int(ModuleStatus::TimeoutError) << false;
    QTest::newRow("not open") << int(0x80000003) << int(ModuleStatus::NotOpenError) << false;
}

void tst_ModuleStatus::talkResults()
{
    QFETCH(int, result);
    QFETCH(int, code);
    QFETCH(bool, accepted);

    QCOMPARE(ModuleStatus::fromTalkResult(result).data(), code);
    ModuleStatus status(0x0102);
    QCOMPARE(status.setTalkResult(result), accepted);
    QCOMPARE(status.data(), code);
}

QTEST_GUILESS_MAIN(tst_ModuleStatus)
#include "tst_modulestatus.moc"
