#include <QtTest/QtTest>

#include <messagebuilder.h>

#include <functional>
#include <vector>

using BuildRequest = std::function<void(MessageBuilder &)>;
Q_DECLARE_METATYPE(BuildRequest)

namespace {

// The request as it goes on the wire: the builder's bytes followed by the CRC, high byte first.
QByteArray frameOf(const QByteArray &request)
{
    const quint16 crc = crc16(request.constData(), request.size());
    return request + char(crc >> 8) + char(crc & 0xFF);
}

QByteArray withCrc(const char *hex)
{
    return frameOf(QByteArray::fromHex(hex));
}

// Exactly sized heap copies, so a read past either length is caught by the sanitizer build.
int predictedSize(const QByteArray &request, const QByteArray &reply, bool nullReply = false)
{
    std::vector<unsigned char> req(request.begin(), request.end());
    std::vector<unsigned char> rep(reply.begin(), reply.end());
    return Modbus::calculateReplyFrameSize(req.empty() ? nullptr : req.data(), int(req.size()),
                                           nullReply || rep.empty() ? nullptr : rep.data(), int(rep.size()));
}

void setReply(MessageBuilder &builder, const QByteArray &reply)
{
    builder.buffer() = reply;
    builder.seek(0);
}

} // namespace

class tst_MessageBuilder : public QObject
{
    Q_OBJECT

private slots:
    void crcCheckValues_data();
    void crcCheckValues();
    void workedFrames();

    void pathHeader_data();
    void pathHeader();
    void resetRewritesHeader();

    void requestBytes_data();
    void requestBytes();

    void discardRoute_data();
    void discardRoute();

    void readersOnShortReplies();
    void checkDataSize_data();
    void checkDataSize();
    void isExceptionResponse_data();
    void isExceptionResponse();
    void readingPastEndYieldsZero();

    void replyFrameSize_data();
    void replyFrameSize();
    void replyFrameSizeNestsAtAnyDepth();
    void replyFrameSizeOnHostileInput_data();
    void replyFrameSizeOnHostileInput();
    void aRegisteredRuleTeachesAFunctionCode();
};

void tst_MessageBuilder::crcCheckValues_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("crc");

    QTest::newRow("check digits") << QByteArray("123456789") << 0x29B1;
    QTest::newRow("abc") << QByteArray("abc") << 0x514A;
    QTest::newRow("nothing") << QByteArray() << 0xFFFF;
    QTest::newRow("one zero byte") << QByteArray(1, '\0') << 0xE1F0;
    QTest::newRow("read two registers") << QByteArray::fromHex("010300100002") << 0xC643;
}

void tst_MessageBuilder::crcCheckValues()
{
    QFETCH(QByteArray, data);
    QFETCH(int, crc);
    QCOMPARE(int(crc16(data.constData(), data.size())), crc);
}

void tst_MessageBuilder::workedFrames()
{
    MessageBuilder direct(QStringLiteral("1"));
    direct.readWord(0x0010, 2);
    QCOMPARE(frameOf(direct.buffer()), QByteArray::fromHex("01 03 00 10 00 02 c6 43"));

    MessageBuilder routed(QStringLiteral("1/5"));
    routed.readWord(0x0010, 2);
    QCOMPARE(frameOf(routed.buffer()), QByteArray::fromHex("01 2b 0c 05 03 00 10 00 02 c2 0f"));

    // A length of 0 or less gives the initial value.
    QCOMPARE(int(crc16("abc", 0)), 0xFFFF);
    QCOMPARE(int(crc16("abc", -5)), 0xFFFF);
    QCOMPARE(int(crc16(nullptr, 3)), 0xFFFF);
}

void tst_MessageBuilder::pathHeader_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("gates");
    QTest::addColumn<int>("address");

    QTest::newRow("empty") << QString() << QByteArray::fromHex("00") << 0 << 0;
    QTest::newRow("slashes only") << QStringLiteral("///") << QByteArray::fromHex("00") << 0 << 0;
    QTest::newRow("one module") << QStringLiteral("7") << QByteArray::fromHex("07") << 0 << 7;
    QTest::newRow("one hop") << QStringLiteral("1/5") << QByteArray::fromHex("01 2b0c05") << 1 << 5;
    QTest::newRow("leading slash") << QStringLiteral("/1/5") << QByteArray::fromHex("01 2b0c05") << 1 << 5;
    QTest::newRow("double slash") << QStringLiteral("1//5") << QByteArray::fromHex("01 2b0c05") << 1 << 5;
    QTest::newRow("two hops") << QStringLiteral("2/3/4") << QByteArray::fromHex("02 2b0c03 2b0c04") << 2 << 4;
    QTest::newRow("not a number") << QStringLiteral("x/5") << QByteArray::fromHex("00 2b0c05") << 1 << 5;
    QTest::newRow("low 8 bits") << QStringLiteral("257/300") << QByteArray::fromHex("01 2b0c2c") << 1 << 300;
}

void tst_MessageBuilder::pathHeader()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, header);
    QFETCH(int, gates);
    QFETCH(int, address);

    MessageBuilder builder(path);
    QCOMPARE(builder.buffer(), header);
    QCOMPARE(builder.gateCount(), gates);
    QCOMPARE(builder.address(), address);
    QCOMPARE(builder.pos(), header.size());
    QCOMPARE(builder.path(), path);
}

void tst_MessageBuilder::resetRewritesHeader()
{
    MessageBuilder routed(QStringLiteral("2/3/4"));
    routed.readWord(1, 2);
    routed.reset();
    routed.readRoWord(3, 4);
    QCOMPARE(routed.buffer(), QByteArray::fromHex("02 2b0c03 2b0c04 04 0003 0004"));
    QCOMPARE(routed.gateCount(), 2);
    QVERIFY(routed.buffer().capacity() >= 128);

    MessageBuilder plain(0x1FF);
    plain.readExceptionStatus();
    plain.reset();
    plain.readEventCount();
    QCOMPARE(plain.buffer(), QByteArray::fromHex("ff 0b"));
    QCOMPARE(plain.gateCount(), 0);
}

void tst_MessageBuilder::requestBytes_data()
{
    QTest::addColumn<BuildRequest>("build");
    QTest::addColumn<QByteArray>("expected");

    const auto row = [](const char *name, BuildRequest build, const char *hex) {
        QTest::newRow(name) << build << QByteArray::fromHex(hex);
    };
    static const unsigned char bits[] = { 0xA5, 0x01, 0xFF };
    static const quint16 words[] = { 0x1234, 0xABCD };

    row("read coils", [](MessageBuilder &b) { b.readRwBit(0x0102, 0x0304); }, "09 01 0102 0304");
    row("read discrete inputs", [](MessageBuilder &b) { b.readRoBit(1, 16); }, "09 02 0001 0010");
    row("read holding registers", [](MessageBuilder &b) { b.readWord(0xFFFF, 125); }, "09 03 ffff 007d");
    row("read input registers", [](MessageBuilder &b) { b.readRoWord(0, 1); }, "09 04 0000 0001");
    row("write coil on", [](MessageBuilder &b) { b.writeBit(7, true); }, "09 05 0007 ff00");
    row("write coil off", [](MessageBuilder &b) { b.writeBit(7, false); }, "09 05 0007 0000");
    row("write register", [](MessageBuilder &b) { b.writeWord(0x10, 0xBEEF); }, "09 06 0010 beef");
    row("exception status", [](MessageBuilder &b) { b.readExceptionStatus(); }, "09 07");
    row("diagnose", [](MessageBuilder &b) { b.diagnose(0x000A); }, "09 08 000a");
    row("diagnose with data", [](MessageBuilder &b) { b.diagnose(4, 0x1234); }, "09 08 0004 1234");
    row("test communication", [](MessageBuilder &b) { b.testCommunication("hi", 2); }, "09 08 0000 6869");
    row("test communication text", [](MessageBuilder &b) { b.testCommunication("abc"); }, "09 08 0000 616263");
    row("test communication null", [](MessageBuilder &b) { b.testCommunication(nullptr); }, "09 08 0000");
    row("restart clearing log", [](MessageBuilder &b) { b.restart(true); }, "09 08 0001 ff00");
    row("restart keeping log", [](MessageBuilder &b) { b.restart(false); }, "09 08 0001 0000");
    row("boot loader", [](MessageBuilder &b) { b.enterBootloaderMode(); }, "09 08 0001 ffff");
    row("event count", [](MessageBuilder &b) { b.readEventCount(); }, "09 0b");
    row("event log", [](MessageBuilder &b) { b.readEventLog(); }, "09 0c");
    row("begin write coils", [](MessageBuilder &b) { b.beginWriteBit(3, 17); }, "09 0f 0003 0011 03");
    row("write 9 coils", [](MessageBuilder &b) { b.writeBit(3, 9, static_cast<const void *>(bits)); },
        "09 0f 0003 0009 02 a501");
    row("write 64-bit coils", [](MessageBuilder &b) { b.writeBit(0, 70, quint64(0x8877665544332211ULL)); },
        "09 0f 0000 0040 08 1122334455667788");
    row("write 12 coils from value", [](MessageBuilder &b) { b.writeBit(0, 12, quint64(0xABC)); },
        "09 0f 0000 000c 02 bc0a");
    row("begin write registers", [](MessageBuilder &b) { b.beginWriteWord(1, 200); }, "09 10 0001 00c8 90");
    row("write registers host order", [](MessageBuilder &b) { b.writeWord(2, 2, words); },
        "09 10 0002 0002 04 1234 abcd");
    row("report id", [](MessageBuilder &b) { b.readDevId(); }, "09 11");
    row("read file, two sub-requests",
        [](MessageBuilder &b) { b.beginReadFile(2).appendReadFile(4, 1, 2).appendReadFile(3, 9, 0x30); },
        "09 14 0e 06 0004 0001 0002 06 0003 0009 0030");
    row("write file", [](MessageBuilder &b) { b.beginWriteFile(4, 7, 3); }, "09 15 0d 06 0004 0007 0003");
    row("route", [](MessageBuilder &b) { b.route(0x21); }, "09 2b 0c 21");
    row("encapsulate", [](MessageBuilder &b) { b.encapsulate(); }, "09 2b 0d");
    row("read object", [](MessageBuilder &b) { b.readObject(0x81); }, "09 2b 0e 01 81");
    row("boot loader info", [](MessageBuilder &b) { b.loadBootloaderInfo(); }, "09 41");
    row("erase flash page", [](MessageBuilder &b) { b.eraseFlashPage(3); }, "09 42 00000003 a5 f1");
    row("page crc", [](MessageBuilder &b) { b.readPageCRC(); }, "09 43");
    row("write flash page", [](MessageBuilder &b) { b.writeFlashPage(0x01020304, 0x0506); }, "09 44 01020304 0506");
    row("chained", [](MessageBuilder &b) { b.encapsulate().writeRawData("\x01\x02", 2); }, "09 2b 0d 0102");
}

void tst_MessageBuilder::requestBytes()
{
    QFETCH(BuildRequest, build);
    QFETCH(QByteArray, expected);

    MessageBuilder builder(9);
    build(builder);
    QCOMPARE(builder.buffer().toHex(), expected.toHex());
    QCOMPARE(builder.size(), expected.size());
    QCOMPARE(builder.left(), 0);
}

void tst_MessageBuilder::discardRoute_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("removed");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("two bytes") << QByteArray::fromHex("2b0c") << 0 << QByteArray::fromHex("2b0c");
    QTest::newRow("no route") << QByteArray::fromHex("0503040102") << 0 << QByteArray::fromHex("0503040102");
    QTest::newRow("one hop") << QByteArray::fromHex("012b0c05 0304 1234") << 1 << QByteArray::fromHex("0503041234");
    QTest::newRow("two hops") << QByteArray::fromHex("012b0c05 2b0c03 0302abcd") << 2
                              << QByteArray::fromHex("030302abcd");
    QTest::newRow("gateway exception") << QByteArray::fromHex("01ab0b") << 0 << QByteArray::fromHex("01ab0b");
    QTest::newRow("inner gateway exception") << QByteArray::fromHex("012b0c05ab0a") << 1
                                             << QByteArray::fromHex("05ab0a");
    QTest::newRow("route triplet alone") << QByteArray::fromHex("012b0c") << 1 << QByteArray();
    QTest::newRow("route cut short") << QByteArray::fromHex("012b0c052b") << 1 << QByteArray::fromHex("052b");
    QTest::newRow("routes only") << QByteArray::fromHex("012b0c052b0c03") << 2 << QByteArray::fromHex("03");
}

void tst_MessageBuilder::discardRoute()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, removed);
    QFETCH(QByteArray, after);

    MessageBuilder builder(1);
    setReply(builder, reply);
    builder.skipRawData(1);
    QCOMPARE(builder.discardRoute(), removed);
    QCOMPARE(builder.buffer().toHex(), after.toHex());
    if (removed > 0)
        QCOMPARE(builder.pos(), 0);
}

void tst_MessageBuilder::readersOnShortReplies()
{
    MessageBuilder builder(1);
    for (const QByteArray &reply : { QByteArray(), QByteArray::fromHex("01"), QByteArray::fromHex("0103") }) {
        setReply(builder, reply);
        QCOMPARE(builder.seekToData(), reply.size() >= 2);
        QCOMPARE(builder.size(), reply.size()); // seeking never pads the buffer
        QVERIFY(!builder.checkDataSize());
        QVERIFY(!builder.isExceptionResponse());
        QVERIFY(builder.left() >= 0);
        QCOMPARE(builder.discardRoute(), 0);
    }
    QVERIFY(!builder.seek(-1));
    QVERIFY(!builder.seek(builder.size() + 1));
    QCOMPARE(builder.size(), 2);
}

void tst_MessageBuilder::checkDataSize_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("matches");
    QTest::addColumn<int>("left");

    QTest::newRow("two registers") << QByteArray::fromHex("0103 04 00010002") << true << 4;
    QTest::newRow("zero bytes announced") << QByteArray::fromHex("0103 00") << true << 0;
    QTest::newRow("one byte short") << QByteArray::fromHex("0103 04 000100") << false << 3;
    QTest::newRow("one byte long") << QByteArray::fromHex("0103 04 0001000203") << false << 5;
    QTest::newRow("count byte missing") << QByteArray::fromHex("0103") << false << 0;
    QTest::newRow("count 255, nothing behind") << QByteArray::fromHex("0103 ff") << false << 0;
}

void tst_MessageBuilder::checkDataSize()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, matches);
    QFETCH(int, left);

    MessageBuilder builder(1);
    setReply(builder, reply);
    QVERIFY(builder.seekToData());
    QCOMPARE(builder.checkDataSize(), matches);
    QCOMPARE(builder.left(), left);
}

void tst_MessageBuilder::isExceptionResponse_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("exception");

    QTest::newRow("exception") << QByteArray::fromHex("018302") << true;
    QTest::newRow("gateway exception") << QByteArray::fromHex("01ab0b") << true;
    QTest::newRow("normal") << QByteArray::fromHex("010302") << false;
    QTest::newRow("too short") << QByteArray::fromHex("0183") << false;
}

void tst_MessageBuilder::isExceptionResponse()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, exception);
    MessageBuilder builder(1);
    setReply(builder, reply);
    QCOMPARE(builder.isExceptionResponse(), exception);
}

void tst_MessageBuilder::readingPastEndYieldsZero()
{
    MessageBuilder builder(1);
    setReply(builder, QByteArray::fromHex("010b12"));
    QVERIFY(builder.seekToData());
    quint16 word = 0xAAAA;
    builder >> word;
    QCOMPARE(word, quint16(0));
    QCOMPARE(builder.status(), QDataStream::ReadPastEnd);
    // seek clears the status again.
    QVERIFY(builder.seek(1));
    QCOMPARE(builder.status(), QDataStream::Ok);
    quint8 function = 0;
    builder >> function;
    QCOMPARE(function, quint8(0x0b));
}

void tst_MessageBuilder::replyFrameSize_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("size");

    QTest::newRow("read 10 coils") << withCrc("01 01 0000 000a") << QByteArray() << 7;
    QTest::newRow("read 16 inputs") << withCrc("01 02 0000 0010") << QByteArray() << 7;
    QTest::newRow("read 10 registers") << withCrc("01 03 0010 000a") << QByteArray() << 25;
    QTest::newRow("read input registers") << withCrc("01 04 0010 0001") << QByteArray() << 7;
    QTest::newRow("function 23") << withCrc("01 17 0000 0002 0000 0000 00") << QByteArray() << 9;
    QTest::newRow("write coil echo") << withCrc("01 05 0001 ff00") << QByteArray() << 8;
    QTest::newRow("write register echo") << withCrc("01 06 0001 1234") << QByteArray() << 8;
    QTest::newRow("write file echo") << withCrc("01 15 0d 06 0004 0007 0003 000000000000") << QByteArray() << 18;
    QTest::newRow("function 22 echo") << withCrc("01 16 0001 ffff 0000") << QByteArray() << 10;
    QTest::newRow("exception status") << withCrc("01 07") << QByteArray() << 5;
    QTest::newRow("diagnose echo") << withCrc("01 08 0000 6869") << QByteArray() << 8;
    QTest::newRow("diagnose 10") << withCrc("01 08 000a 0000") << QByteArray() << 8;
    QTest::newRow("diagnose 20") << withCrc("01 08 0014 0000") << QByteArray() << 8;
    QTest::newRow("diagnose 4 unknown") << withCrc("01 08 0004 0000") << QByteArray() << -1;
    QTest::newRow("diagnose 19 unknown") << withCrc("01 08 0013 0000") << QByteArray() << -1;
    QTest::newRow("event count") << withCrc("01 0b") << QByteArray() << 8;
    QTest::newRow("write coils") << withCrc("01 0f 0000 0009 02 ff01") << QByteArray() << 8;
    QTest::newRow("write registers") << withCrc("01 10 0000 0001 02 1234") << QByteArray() << 8;
    QTest::newRow("flash erase") << withCrc("01 42 00000003 a5f1") << QByteArray() << 8;
    QTest::newRow("flash write") << withCrc("01 44 00000003 0001") << QByteArray() << 8;
    QTest::newRow("page crc") << withCrc("01 43") << QByteArray() << 6;
    QTest::newRow("event log, 2 bytes") << withCrc("01 0c") << QByteArray::fromHex("010c") << -1;
    QTest::newRow("event log, count known") << withCrc("01 0c") << QByteArray::fromHex("010c06") << 11;
    QTest::newRow("report id") << withCrc("01 11") << QByteArray::fromHex("011103") << 8;
    QTest::newRow("read file") << withCrc("01 14 07 06 0004 0000 0002") << QByteArray::fromHex("011406") << 11;
    QTest::newRow("boot info") << withCrc("01 41") << QByteArray::fromHex("0141ff") << 260;
    QTest::newRow("function 24, 3 bytes") << withCrc("01 18 0004") << QByteArray::fromHex("011800") << -1;
    QTest::newRow("function 24") << withCrc("01 18 0004") << QByteArray::fromHex("01180006") << 12;
    QTest::newRow("exception reply") << withCrc("01 03 0010 000a") << QByteArray::fromHex("0183") << 5;
    QTest::newRow("exception to unknown function") << withCrc("01 63") << QByteArray::fromHex("01e3") << 5;
    QTest::newRow("unknown function") << withCrc("01 63") << QByteArray::fromHex("0163") << -1;
    QTest::newRow("encapsulated") << withCrc("01 2b 0d 0102") << QByteArray::fromHex("012b0d") << -1;
    QTest::newRow("object read") << withCrc("01 2b 0e 01 00") << QByteArray::fromHex("012b0e0101") << -1;
    // An object reply ends with the last object its header announces, once that object's
    // id and length have come.
    QTest::newRow("objects, count come") << withCrc("01 2b 0e 01 00") << QByteArray::fromHex("012b0e 0183 0000 02")
                                         << -1;
    QTest::newRow("objects, first object's header")
        << withCrc("01 2b 0e 01 00") << QByteArray::fromHex("012b0e 0183 0000 02 0003") << -1;
    QTest::newRow("objects, last object's header")
        << withCrc("01 2b 0e 01 00") << QByteArray::fromHex("012b0e 0183 0000 02 0003 414243 0102") << 19;
    QTest::newRow("objects, none") << withCrc("01 2b 0e 01 00") << QByteArray::fromHex("012b0e 0183 ff03 00") << 10;
    QTest::newRow("objects, longest") << withCrc("01 2b 0e 01 00") << QByteArray::fromHex("012b0e 0183 0000 01 00ff")
                                      << 267;
    QTest::newRow("objects, routed") << withCrc("01 2b0c06 2b 0e 01 00")
                                     << QByteArray::fromHex("012b0c06 2b0e 0183 0000 01 0002") << 17;
    QTest::newRow("objects, two hops") << withCrc("01 2b0c05 2b0c03 2b 0e 01 00")
                                       << QByteArray::fromHex("012b0c05 2b0c03 2b0e 0183 0000 00") << 16;
    QTest::newRow("objects, answered as pass-through")
        << withCrc("01 2b 0e 01 00") << QByteArray::fromHex("012b0d 0183 0000 00") << -1;
    QTest::newRow("pass-through answered as objects")
        << withCrc("01 2b 0d 0102") << QByteArray::fromHex("012b0e 0183 0000 00") << -1;
    QTest::newRow("routed read of 10") << withCrc("01 2b0c05 03 0010 000a") << QByteArray() << 28;
    QTest::newRow("routed read, partial reply") << withCrc("01 2b0c05 03 0010 000a")
                                                << QByteArray::fromHex("012b0c05") << 28;
    QTest::newRow("routed exception") << withCrc("01 2b0c05 03 0010 000a")
                                      << QByteArray::fromHex("012b0c058302") << 8;
    QTest::newRow("gateway's own exception") << withCrc("01 2b0c05 03 0010 000a")
                                             << QByteArray::fromHex("01ab0b") << 5;
    QTest::newRow("two hops") << withCrc("01 2b0c05 2b0c03 03 0010 000a") << QByteArray() << 31;
    QTest::newRow("routed count needs reply") << withCrc("01 2b0c05 11")
                                              << QByteArray::fromHex("012b0c") << -1;
    QTest::newRow("routed count known") << withCrc("01 2b0c05 11")
                                        << QByteArray::fromHex("012b0c051102") << 10;
    QTest::newRow("routed encapsulation") << withCrc("01 2b0c05 2b0d 00") << QByteArray() << -1;
}

void tst_MessageBuilder::replyFrameSize()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(int, size);
    QCOMPARE(predictedSize(request, reply), size);
}

void tst_MessageBuilder::replyFrameSizeNestsAtAnyDepth()
{
    for (int hops = 0; hops <= 40; ++hops) {
        QByteArray request("\x01", 1);
        for (int i = 0; i < hops; ++i)
            request += QByteArray::fromHex("2b0c05");
        request = frameOf(request + QByteArray::fromHex("03 0000 0002"));
        QCOMPARE(predictedSize(request, QByteArray()), 9 + 3 * hops);
    }
    // A request made of nothing but route triplets has no rule at its end.
    QByteArray deep("\x01", 1);
    for (int i = 0; i < 20000; ++i)
        deep += QByteArray::fromHex("2b0c05");
    QCOMPARE(predictedSize(deep, QByteArray()), -1);
    QCOMPARE(predictedSize(deep, deep), -1);
}

void tst_MessageBuilder::replyFrameSizeOnHostileInput_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("nullReply");
    QTest::addColumn<int>("size");

    QTest::newRow("empty request") << QByteArray() << QByteArray() << true << -1;
    QTest::newRow("address only") << QByteArray::fromHex("01") << QByteArray() << true << -1;
    QTest::newRow("read without count") << QByteArray::fromHex("0103") << QByteArray() << true << -1;
    QTest::newRow("read with half a count") << QByteArray::fromHex("01030010") << QByteArray() << true << -1;
    QTest::newRow("read with count, no crc") << QByteArray::fromHex("010300100002") << QByteArray() << true << 9;
    QTest::newRow("diagnose without sub") << QByteArray::fromHex("0108") << QByteArray() << true << -1;
    QTest::newRow("diagnose half a sub") << QByteArray::fromHex("010800") << QByteArray() << true << -1;
    QTest::newRow("route code alone") << QByteArray::fromHex("012b") << QByteArray() << true << -1;
    QTest::newRow("route triplet cut") << QByteArray::fromHex("012b0c") << QByteArray() << true << -1;
    QTest::newRow("route to address only") << QByteArray::fromHex("012b0c05") << QByteArray() << true << -1;
    QTest::newRow("route into cut read") << QByteArray::fromHex("012b0c0503") << QByteArray() << true << -1;
    QTest::newRow("null reply with a length") << withCrc("01 11") << QByteArray::fromHex("011105") << true << -1;
    QTest::newRow("null reply, exception length")
        << withCrc("01 03 0000 0001") << QByteArray::fromHex("0183") << true << 7;
    QTest::newRow("routed count, reply of 3") << withCrc("01 2b0c05 11") << QByteArray::fromHex("012b0c") << false << -1;
    QTest::newRow("routed count, reply of 4") << withCrc("01 2b0c05 11") << QByteArray::fromHex("012b0c05") << false
                                              << -1;
    QTest::newRow("routed count, reply of 5") << withCrc("01 2b0c05 11") << QByteArray::fromHex("012b0c0511") << false
                                              << -1;
}

void tst_MessageBuilder::replyFrameSizeOnHostileInput()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(bool, nullReply);
    QFETCH(int, size);
    QCOMPARE(predictedSize(request, reply, nullReply), size);

    // Negative lengths never read anything.
    QCOMPARE(Modbus::calculateReplyFrameSize(reinterpret_cast<const uchar *>(request.constData()), -1, nullptr, -7),
             -1);
}

void tst_MessageBuilder::aRegisteredRuleTeachesAFunctionCode()
{
    // A function of the modules' own: N u16 after the function code, its reply N bytes
    // (the request's CRC counts in its length).
    const QByteArray request = withCrc("01 45 0006");
    QCOMPARE(predictedSize(request, QByteArray()), -1);
    Modbus::registerReplySizeRule(0x45, [](const unsigned char *req, int length, const unsigned char *, int) {
        return length >= 6 ? Modbus::FrameHeaderSize + req[3] + Modbus::CrcSize : -1;
    });
    const int plain = predictedSize(request, QByteArray());
    const int routed = predictedSize(withCrc("01 2b0c05 45 0006"), QByteArray());
    const int exception = predictedSize(request, QByteArray::fromHex("01c5"));
    const int cut = predictedSize(withCrc("01 45"), QByteArray());
    // A built-in rule can be replaced, and comes back when the program's rule is taken away.
    Modbus::registerReplySizeRule(Modbus::ReadHoldingRegisters,
                                  [](const unsigned char *, int, const unsigned char *, int) { return 0; });
    const int replaced = predictedSize(withCrc("01 03 0010 000a"), QByteArray());
    Modbus::registerReplySizeRule(Modbus::ReadHoldingRegisters, nullptr);
    Modbus::registerReplySizeRule(0x45, nullptr);

    QCOMPARE(plain, 10);
    QCOMPARE(routed, 13);
    QCOMPARE(exception, 5);
    QCOMPARE(cut, -1);
    QCOMPARE(replaced, -1);
    QCOMPARE(predictedSize(withCrc("01 03 0010 000a"), QByteArray()), 25);
    QCOMPARE(predictedSize(request, QByteArray()), -1);
}

QTEST_GUILESS_MAIN(tst_MessageBuilder)
#include "tst_messagebuilder.moc"
