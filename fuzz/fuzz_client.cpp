// Whatever comes back on the line, the client must stay inside the reply storage
// it was given, make at most its five attempts, and report a reply as good only
// when it is a whole frame of the addressed module with a valid checksum.
//
// The transport is an in-memory device that serves the fuzz bytes as the reply
// stream. Input: byte 0 picks the request and options, byte 1 how the stream
// arrives (low nibble: bytes per piece; high nibble: pieces before the line
// falls silent once), the rest is the stream, shared by all attempts.
#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>
#include <modulestatus.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QIODevice>
#include <QtCore/QtGlobal>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// Serves a byte stream in pieces; every piece is released by a wait for input,
// as bytes come off a line.
class StreamDevice : public QIODevice
{
public:
    void load(const QByteArray &stream, int piece, int silenceEvery, bool failFirstWrite)
    {
        m_stream = stream;
        m_released = 0;
        m_read = 0;
        m_piece = qMax(1, piece);
        m_silenceEvery = silenceEvery;
        m_pieces = 0;
        m_failWrite = failFirstWrite;
        m_written.clear();
    }
    void discardInput() { m_read = m_released; }
    const QByteArray &written() const { return m_written; }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_released - m_read + QIODevice::bytesAvailable(); }
    bool waitForReadyRead(int) override
    {
        if (m_released >= m_stream.size())
            return false;
        if (m_silenceEvery > 0 && ++m_pieces % (m_silenceEvery + 1) == 0)
            return false;  // the line is quiet for one wait
        m_released = qMin(m_stream.size(), m_released + m_piece);
        return true;
    }
    bool waitForBytesWritten(int) override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, m_released - m_read);
        if (n <= 0)
            return 0;
        memcpy(data, m_stream.constData() + m_read, size_t(n));
        m_read += int(n);
        return n;
    }
    qint64 writeData(const char *data, qint64 size) override
    {
        if (m_failWrite) {
            m_failWrite = false;
            return -1;
        }
        m_written.append(data, int(size));
        return size;
    }

private:
    QByteArray m_stream;
    QByteArray m_written;
    int m_released = 0;
    int m_read = 0;
    int m_piece = 1;
    int m_silenceEvery = 0;
    int m_pieces = 0;
    bool m_failWrite = false;
};

class MemoryDriver : public DeviceDriver
{
public:
    MemoryDriver()
    {
        m_device = new StreamDevice;
        adoptDevice(m_device);
        setReadTimeouts(0);
        setReadIntervalTimeouts(0);
        setWriteTimeouts(0);
    }
    StreamDevice *stream() const { return m_device; }

    bool open() override { return m_device->open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
    bool isOpen() const override { return m_device->isOpen(); }
    void close() override { m_device->close(); }
    QStringList avaliablePorts() const override { return {QStringLiteral("memory")}; }
    QString portName() const override { return QStringLiteral("memory"); }
    void setPortName(const QString &) override {}
    void clear() override { m_device->discardInput(); }
    QIODevice *device() const override { return m_device; }

private:
    StreamDevice *m_device;
};

struct Environment
{
    Environment()
    {
        qInstallMessageHandler(quiet);
        static int argc = 1;
        static char name[] = "fuzz_client";
        static char *argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
        client.setDriver(&driver);
        QObject::connect(&client, &ModbusClient::messageWritten, [this](const QByteArray &) { ++written; });
        QObject::connect(&client, &ModbusClient::messageRead,
                         [this](int status, const QByteArray &msg) { lastStatus = status; lastRead = msg; });
    }

    QCoreApplication *app;
    MemoryDriver driver;
    ModbusClient client;
    int written = 0;
    int lastStatus = 0;
    QByteArray lastRead;
};

void buildRequest(MessageBuilder &b, int which)
{
    switch (which % 10) {
    case 0: b.readWord(0x10, 10); break;
    case 1: b.readRwBit(0, 20); break;
    case 2: b.beginReadFile(1).appendReadFile(2, 0, 12); break;
    case 3: b.readObject(0); break;
    case 4: { static const char payload[] = "ping"; b.encapsulate(); b.writeRawData(payload, 4); break; }
    case 5: b.readEventCount(); break;
    case 6: b.diagnose(4); break;               // no length rule: ends with silence
    case 7: b.writeWord(0x100, 0x1234); break;
    case 8: b.readDevId(); break;
    default: b.testCommunication("hello"); break;
    }
}

const char *const Paths[] = {"1", "1/5", "1/5/3", "2"};

bool isError(int result)
{
    return result == int(Modbus::ModuleStatus::TimeoutError) || result == int(Modbus::ModuleStatus::InvalidReplyError)
           || result == int(Modbus::ModuleStatus::WriteError);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Environment env;
    if (size < 2 || size > 2048)
        return 0;
    const int which = data[0] & 0x0F;
    const char *path = Paths[(data[0] >> 4) & 3];
    const bool failFirstWrite = data[0] & 0x40;
    const bool raw = data[0] & 0x80;
    const QByteArray stream(reinterpret_cast<const char *>(data + 2), int(size - 2));

    env.driver.stream()->load(stream, data[1] & 0x0F, data[1] >> 4, failFirstWrite);
    if (!env.driver.isOpen())
        env.driver.open();
    env.written = 0;
    env.lastRead.clear();

    MessageBuilder builder{QString::fromLatin1(path)};
    buildRequest(builder, which);
    const QByteArray request = builder.buffer();

    int result;
    QByteArray reply;
    if (raw) {
        // Raw form with storage of exactly the capacity given, small or large.
        const int capacity = 4 + (data[1] % 61);
        std::unique_ptr<char[]> storage(new char[size_t(capacity)]);
        result = env.client.talk(storage.get(), capacity, request.constData(), request.size());
        if (result >= 0) {
            if (result + 2 > capacity)
                abort();
            reply = QByteArray(storage.get(), result);
        }
    } else {
        result = env.client.talk(builder);
        if (result >= 0)
            reply = builder.buffer();
        else if (builder.size() != 0 || builder.pos() != 0)
            abort();
    }

    if (env.written < 1 || env.written > 5)
        abort();
    if (result < 0) {
        if (!isError(result))
            abort();
        return 0;
    }
    // A good reply: what was read, less its checksum, from the addressed module
    // for the function asked, with a valid checksum, taken from the stream as it came.
    const QByteArray &frame = env.lastRead;
    if (result < 2 || env.lastStatus != 0 || frame.size() != result + 2 || frame.left(result) != reply)
        abort();
    if (crc16(frame.constData(), result) != (quint8(frame.at(result)) << 8 | quint8(frame.at(result + 1))))
        abort();
    if (frame.at(0) != request.at(0) || (quint8(frame.at(1)) & 0x7F) != quint8(request.at(1)))
        abort();
    if (!stream.contains(frame))
        abort();
    return 0;
}
