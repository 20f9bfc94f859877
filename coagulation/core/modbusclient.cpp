#include "modbusclient.h"

#include "devicedriver.h"
#include "messagebuilder.h"
#include "modulestatus.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QIODevice>
#include <QtCore/QMetaMethod>
#include <QtCore/QtDebug>

#include <atomic>

namespace {

using Modbus::ModuleStatus;

constexpr int DefaultAttempts = 5;
constexpr int ReservedFrameSize = 128;
// Address and function code at least, so that byte 1 can be judged.
constexpr int MinRequestLength = 2;
// Fewer bytes than address, function and CRC count as no reply at all.
constexpr int MinReplyLength = 4;
constexpr int DefaultChannel = 0x10000003;

bool isGoodReply(const unsigned char *reply, int length, const QByteArray &frame)
{
    const unsigned short expected = (unsigned short)((reply[length - 2] << 8) | reply[length - 1]);
    return crc16(reply, length - 2) == expected
        && reply[0] == (unsigned char)frame.at(0)
        && (reply[1] & ~MessageBuilder::ExceptionBit) == (unsigned char)frame.at(1);
}

} // namespace

class ModbusClientPrivate
{
public:
    DeviceDriver *driver = nullptr;
    int channel = DefaultChannel;
    std::atomic<int> attempts{ DefaultAttempts };
};

ModbusClient::ModbusClient(QObject *parent)
    : QObject(parent)
    , d(new ModbusClientPrivate)
{
}

ModbusClient::~ModbusClient() = default;

void ModbusClient::setDriver(DeviceDriver *driver)
{
    d->driver = driver;
}

DeviceDriver *ModbusClient::driver() const
{
    return d->driver;
}

void ModbusClient::setStatusCodeChannel(int channel)
{
    d->channel = channel;
}

int ModbusClient::statusCodeChannel() const
{
    return d->channel;
}

void ModbusClient::setAttempts(int attempts)
{
    d->attempts.store(qMax(1, attempts), std::memory_order_relaxed);
}

int ModbusClient::attempts() const
{
    return d->attempts.load(std::memory_order_relaxed);
}

void ModbusClient::setStatusCode(int code, int channel, const QString &detail)
{
    emit statusCodeChanged(code, channel, detail);
}

int ModbusClient::talk(MessageBuilder &builder)
{
    QByteArray &buffer = builder.buffer();
    // A buffer shared with a copy would detach in data() to its size alone, leaving no
    // room for the reply; reserve() detaches it with the full room instead.
    buffer.reserve(qMax(buffer.capacity(), ReservedFrameSize));
    // The pointer before the capacity: data() may still detach, and the capacity must
    // describe the storage the reply is read into.
    char *storage = buffer.data();
    const int capacity = buffer.capacity();
    const int result = talk(storage, capacity, storage, buffer.size());
    buffer.resize(result > 0 ? result : 0);
    builder.seek(0);
    return result;
}

int ModbusClient::talk(char *reply, int replyCapacity, const char *request, int requestLength)
{
    DeviceDriver *driver = d->driver;
    const int channel = d->channel;
    if (!driver) {
        emit statusCodeChanged(ModuleStatus::NotOpenError, channel, QString());
        return ModuleStatus::NotOpenError;
    }

    DeviceDriver::DeviceLocker locker(driver);
    if (!driver->isOpen()) {
        emit statusCodeChanged(ModuleStatus::NotOpenError, channel, driver->errorString());
        return ModuleStatus::NotOpenError;
    }
    if (!request || requestLength < MinRequestLength) {
        qWarning("(ModbusClient::talk) Request of %d bytes is too short to send", request ? requestLength : 0);
        emit statusCodeChanged(ModuleStatus::WriteError, channel,
                               QCoreApplication::translate("ModbusClient", "Request too short"));
        emit messageRead(ModuleStatus::WriteError, QByteArray());
        return ModuleStatus::WriteError;
    }
    if (!reply || replyCapacity < 0)
        replyCapacity = 0;

    QIODevice *device = driver->device();
    QByteArray frame;
    frame.reserve(ReservedFrameSize);
    frame.append(request, requestLength);
    const unsigned short crc = crc16(request, requestLength);
    frame.append(char(crc >> 8));
    frame.append(char(crc & 0xFF));
    const unsigned char *frameBytes = reinterpret_cast<const unsigned char *>(frame.constData());
    unsigned char *replyBytes = reinterpret_cast<unsigned char *>(reply);
    // Byte 1 of the frame, not of request: the reply may overwrite the request.
    const bool routed = frameBytes[1] == MessageBuilder::EncapsulatedInterface;
    const bool reportReads = isSignalConnected(QMetaMethod::fromSignal(&ModbusClient::messageRead));

    int result = ModuleStatus::TimeoutError;
    bool announce = true;
    const int attempts = d->attempts.load(std::memory_order_relaxed);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (announce)
            emit messageWritten(frame);
        announce = true;

        driver->clear();
        // clear() may find that the peer has gone and close the device.
        const bool written = device->isOpen() && device->write(frame) == frame.size()
                             && device->waitForBytesWritten(driver->writeTimeouts());
        if (!written) {
            qWarning("Could not write to serial port: %s [ %s]", device->errorString().toUtf8().constData(),
                     frame.toHex().constData());
            driver->close();
            if (!driver->open()) {
                emit statusCodeChanged(ModuleStatus::WriteError, channel, driver->errorString());
                emit messageRead(ModuleStatus::WriteError, QByteArray());
                return ModuleStatus::WriteError;
            }
            // The repeated write is one of the attempts, so a device that opens but
            // never accepts data cannot hold the exchange and the lock forever.
            result = ModuleStatus::WriteError;
            announce = false;
            continue;
        }

        int received = 0;
        for (;;) {
            const qint64 available = device->bytesAvailable();
            const int room = replyCapacity - received;
            if (available > 0 && room > 0) {
                const qint64 count = device->read(reply + received, qMin<qint64>(available, room));
                if (count > 0)
                    received += int(count);
            }
            const int expected = Modbus::calculateReplyFrameSize(frameBytes, frame.size(), replyBytes, received);
            if ((expected > 0 && received >= expected) || received >= replyCapacity)
                break;
            int wait = received == 0 ? driver->readTimeouts() : driver->readIntervalTimeouts();
            // Routed, encapsulated and object requests pass through gateways: allow
            // twice as long for the first byte.
            if (received == 0 && routed && wait > 0)
                wait *= 2;
            if (!device->waitForReadyRead(wait))
                break;
        }

        const QByteArray bytes = reportReads ? QByteArray(reply, received) : QByteArray();
        if (received < MinReplyLength) {
            result = ModuleStatus::TimeoutError;
            emit statusCodeChanged(result, channel, driver->errorString());
            emit messageRead(result, bytes);
            continue;
        }
        if (isGoodReply(replyBytes, received, frame)) {
            emit statusCodeChanged(ModuleStatus::NoError, channel, QString());
            emit messageRead(ModuleStatus::NoError, bytes);
            return received - 2;
        }
        result = ModuleStatus::InvalidReplyError;
        emit statusCodeChanged(result, channel, QString());
        emit messageRead(result, bytes);
    }

    if (result == ModuleStatus::WriteError) {
        // The last write failed and was followed by a reopen, but no attempt was left.
        emit statusCodeChanged(ModuleStatus::WriteError, channel, driver->errorString());
        emit messageRead(ModuleStatus::WriteError, QByteArray());
        return ModuleStatus::WriteError;
    }
    return result;
}
