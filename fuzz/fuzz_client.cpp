// Whatever comes back on the line, the client must stay inside the reply storage
// it was given, make at most its five attempts, and report a reply as good only
// when it is a whole frame of the addressed module with a valid checksum.
//
// Two kinds of input, told by byte 0 (below 0xF0: a stream; 0xF0 and above: a schedule):
// - A stream: an in-memory driver serves the fuzz bytes as the reply stream through
//   the driver's transfer operations. Byte 0 picks the request and options, byte 1 how
//   the stream arrives (low nibble: bytes per piece, 0 for one byte at a time and a peer
//   that hangs up at the end; high nibble: pieces before the line falls silent once),
//   the rest is the stream, shared by all attempts.
// - A chaos schedule: the simulated analyser answers on a line that keeps time of its
//   own, with faults drawn from every class it knows (seed in bytes 1-4, rate in byte 5,
//   the time-out in byte 6); the rest are reads of areas whose contents name module and
//   address. No read may succeed with data that is not its own, and no exchange may
//   outlast its bound, however late, doubled or garbled the replies.
#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>
#include <modulestatus.h>

#include <abstractdevicemodule.h>
#include <virtualline.h>
#include <simulatedgateway.h>
#include <simulatedlink.h>
#include <simulatedmodule.h>

#include <QtCore/QBuffer>
#include <QtCore/QCoreApplication>
#include <QtCore/QtGlobal>


#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// Serves a byte stream in pieces; every wait for input releases the next piece, as
// bytes come off a line.
class MemoryDriver : public DeviceDriver
{
public:
    MemoryDriver()
        : m_device(new QBuffer)
    {
        adoptDevice(m_device);
        setReadTimeouts(0);
        setReadIntervalTimeouts(0);
        setWriteTimeouts(0);
        // The stream's framing is what is explored here; late replies are the schedules'.
        setLateReplyTimeouts(0);
    }
    ~MemoryDriver() override { retire(); }

    void load(const QByteArray &stream, int piece, int silenceEvery, bool failFirstWrite)
    {
        m_stream = stream;
        m_released = 0;
        m_read = 0;
        m_hangUpAtEnd = piece == 0;
        m_piece = qMax(1, piece);
        m_silenceEvery = silenceEvery;
        m_pieces = 0;
        m_failWrite = failFirstWrite;
    }

    bool open() override
    {
        const bool opened = m_device->open(QIODevice::ReadWrite);
        publishDeviceState();
        return opened;
    }
    bool isOpen() const override { return publishedOpen(); }
    void close() override
    {
        m_device->close();
        publishDeviceState();
    }
    QStringList avaliablePorts() const override { return {QStringLiteral("memory")}; }
    QString portName() const override { return QStringLiteral("memory"); }
    void setPortName(const QString &) override {}
    void clear() override { discard(); }
    QIODevice *device() const override { return m_device; }

    bool send(const char *, int) override
    {
        if (!m_failWrite)
            return true;
        m_failWrite = false;
        publishError(QStringLiteral("refused"));
        return false;
    }
    int receive(char *buffer, int capacity, int) override
    {
        if (m_read == m_released) {
            if (m_released >= m_stream.size()) {
                if (!m_hangUpAtEnd)
                    return 0;
                failLine(QStringLiteral("hung up"));
                return -1;
            }
            if (m_silenceEvery > 0 && ++m_pieces % (m_silenceEvery + 1) == 0)
                return 0;  // the line is quiet for one wait
            m_released = qMin(m_stream.size(), m_released + m_piece);
        }
        const int n = qMin(capacity, m_released - m_read);
        memcpy(buffer, m_stream.constData() + m_read, size_t(n));
        m_read += n;
        return n;
    }
    int discard() override
    {
        const int dropped = m_released - m_read;
        m_read = m_released;
        return dropped;
    }

private:
    // Stands for the line's open state only; the bytes pass through the operations above.
    QBuffer *m_device;
    QByteArray m_stream;
    int m_released = 0;
    int m_read = 0;
    int m_piece = 1;
    int m_silenceEvery = 0;
    int m_pieces = 0;
    bool m_failWrite = false;
    bool m_hangUpAtEnd = false;
};

// What a register or input holds on a module: its module and address, so that another
// request's data shows.
quint16 pattern(quint8 module, int address, bool input)
{
    return quint16((module << 10) ^ (address * 7) ^ (input ? 0x8001 : 0));
}

struct ChaosEnvironment
{
    ChaosEnvironment()
        : line(&link)
    {
        link.addModule(2);
        SimulatedGateway *g1 = link.addGateway(1);
        g1->addGateway(5)->addModule(3);
        link.setRequestLogLimit(0);
        for (const char *path : { "2", "1/5", "1/5/3" }) {
            SimulatedModule *module = link.module(QString::fromLatin1(path));
            // Every register a schedule can name: starts up to 510, counts up to 110.
            for (int address = 0; address < 2 * 255 + 110; ++address) {
                module->setHoldingRegister(address, pattern(module->address(), address, false));
                module->setInputRegister(address, pattern(module->address(), address, true));
            }
        }
        client.setDriver(&line);
        QObject::connect(&client, &ModbusClient::messageWritten, [this](const QByteArray &) { ++written; });
    }

    SimulatedLink link;
    VirtualLine line;
    ModbusClient client;
    int written = 0;
};

int runSchedule(const uint8_t *data, size_t size)
{
    static ChaosEnvironment env;
    if (size < 7)
        return 0;
    const quint32 seed = quint32(data[1]) | quint32(data[2]) << 8 | quint32(data[3]) << 16 | quint32(data[4]) << 24;
    const int timeout = 1 + data[6] % 50;
    env.link.setChaos(seed, (data[5] + 1) / 256.0, timeout);
    env.line.setReadTimeouts(timeout);
    env.line.setReadIntervalTimeouts(1 + timeout / 2);
    env.line.setWriteTimeouts(timeout);
    env.line.close();
    env.line.open();
    static const char *const Paths[] = { "2", "1/5", "1/5/3" };
    for (size_t at = 7; at + 3 <= size; at += 3) {
        const QString path = QString::fromLatin1(Paths[data[at] % 3]);
        const bool input = data[at] & 0x10;
        const int start = data[at + 1] * 2;
        const int count = 1 + data[at + 2] % 110;
        Modbus::AbstractDeviceModule module(path, &env.client);
        QByteArray words(2 * count, '\0');
        Modbus::ModuleStatus status;
        env.written = 0;
        const qint64 began = env.line.now();
        const int done = input ? module.readRoWord(quint16(start), quint16(count), words.data(), &status)
                               : module.readWord(quint16(start), quint16(count), words.data(), &status);
        const quint8 address = env.link.module(path)->address();
        for (int i = 0; i < done; ++i) {
            const quint16 value = quint16(quint8(words.at(2 * i)) << 8 | quint8(words.at(2 * i + 1)));
            if (value != pattern(address, start + i, input))
                abort(); // another request's data
        }
        if (done < 0 || done > count || (status.data() == 0) != (done == count))
            abort();
        // Chunks, each asked at most three times, of at most five attempts that settle for
        // at most the late-reply bound.
        const int chunks = (count + 46) / 47;
        const qint64 attempt = 10000 + 4 * timeout + 2 * (1 + timeout / 2) + 4;
        if (env.line.now() - began > qint64(chunks) * 3 * 5 * attempt || env.written > chunks * 3 * 5)
            abort();
        if (!env.line.isOpen())
            env.line.open();
    }
    return 0;
}

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
           || result == int(Modbus::ModuleStatus::WriteError) || result == int(Modbus::ModuleStatus::NotOpenError);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Environment env; // the application object and the quiet message handler first
    if (size < 2 || size > 2048)
        return 0;
    if (data[0] >= 0xF0)
        return runSchedule(data, size);
    const int which = data[0] & 0x0F;
    const char *path = Paths[(data[0] >> 4) & 3];
    const bool failFirstWrite = data[0] & 0x40;
    const bool raw = data[0] & 0x80;
    const QByteArray stream(reinterpret_cast<const char *>(data + 2), int(size - 2));

    env.driver.load(stream, data[1] & 0x0F, data[1] >> 4, failFirstWrite);
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
