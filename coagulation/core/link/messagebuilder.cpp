#include "messagebuilder.h"

#include <QtCore/QStringList>

#include <array>
#include <cstring>

namespace {

// A frame carries at most 100 data bytes plus header; 128 covers request and reply.
constexpr int ReservedFrameSize = 128;

constexpr quint8 RouteCode = MessageBuilder::EncapsulatedInterface;

int pathElementValue(const QString &element)
{
    bool ok = false;
    const int value = element.toInt(&ok, 10);
    return ok ? value : 0;
}

} // namespace

MessageBuilder::MessageBuilder(int address)
    : m_address(address)
    , m_gateCount(0)
    , m_device(&m_buffer)
{
    m_device.open(QIODevice::ReadWrite);
    setDevice(&m_device);
    setByteOrder(QDataStream::BigEndian);
    reset();
}

MessageBuilder::MessageBuilder(const QString &path)
    : m_address(0)
    , m_path(path)
    , m_gateCount(0)
    , m_device(&m_buffer)
{
    m_device.open(QIODevice::ReadWrite);
    setDevice(&m_device);
    setByteOrder(QDataStream::BigEndian);
    reset();
}

MessageBuilder::~MessageBuilder()
{
    setDevice(nullptr);
}

void MessageBuilder::reset()
{
    resetStatus();
    m_buffer.resize(0);
    m_buffer.reserve(ReservedFrameSize);
    m_device.seek(0);
    writeHeader();
}

void MessageBuilder::writeHeader()
{
    if (m_path.isNull()) {
        *this << quint8(m_address);
        return;
    }
    // "1/5", "/1/5" and "1//5" are the same path; a part that is not a number counts as 0.
    QStringList parts = m_path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    m_address = 0;
    if (!parts.isEmpty())
        m_address = pathElementValue(parts.takeFirst());
    *this << quint8(m_address);
    m_gateCount = parts.size();
    for (const QString &part : qAsConst(parts)) {
        m_address = pathElementValue(part);
        *this << RouteCode << RouteMei << quint8(m_address);
    }
}

void MessageBuilder::writeFunction(quint8 function)
{
    *this << function;
}

void MessageBuilder::writeRaw(const void *data, int length)
{
    if (data && length > 0)
        writeRawData(static_cast<const char *>(data), length);
}

MessageBuilder &MessageBuilder::readRwBit(unsigned short address, unsigned short count)
{
    writeFunction(ReadCoils);
    *this << quint16(address) << quint16(count);
    return *this;
}

MessageBuilder &MessageBuilder::readRoBit(unsigned short address, unsigned short count)
{
    writeFunction(ReadDiscreteInputs);
    *this << quint16(address) << quint16(count);
    return *this;
}

MessageBuilder &MessageBuilder::readWord(unsigned short address, unsigned short count)
{
    writeFunction(ReadHoldingRegisters);
    *this << quint16(address) << quint16(count);
    return *this;
}

MessageBuilder &MessageBuilder::readRoWord(unsigned short address, unsigned short count)
{
    writeFunction(ReadInputRegisters);
    *this << quint16(address) << quint16(count);
    return *this;
}

MessageBuilder &MessageBuilder::writeBit(unsigned short address, bool value)
{
    writeFunction(WriteSingleCoil);
    *this << quint16(address) << quint16(value ? 0xFF00 : 0x0000);
    return *this;
}

MessageBuilder &MessageBuilder::writeWord(unsigned short address, unsigned short value)
{
    writeFunction(WriteSingleRegister);
    *this << quint16(address) << quint16(value);
    return *this;
}

MessageBuilder &MessageBuilder::readExceptionStatus()
{
    writeFunction(ReadExceptionStatus);
    return *this;
}

MessageBuilder &MessageBuilder::diagnose(unsigned short sub)
{
    writeFunction(Diagnostics);
    *this << quint16(sub);
    return *this;
}

MessageBuilder &MessageBuilder::diagnose(unsigned short sub, unsigned short data)
{
    writeFunction(Diagnostics);
    *this << quint16(sub) << quint16(data);
    return *this;
}

MessageBuilder &MessageBuilder::testCommunication(const char *data, int length)
{
    if (length < 0)
        length = data ? int(std::strlen(data)) : 0;
    diagnose(0x0000);
    writeRaw(data, length);
    return *this;
}

MessageBuilder &MessageBuilder::restart(bool flag)
{
    // Restart communications; 0xFF00 also clears the module's event log.
    return diagnose(0x0001, flag ? 0xFF00 : 0x0000);
}

MessageBuilder &MessageBuilder::enterBootloaderMode()
{
    // Outside the standard restart data values: the module enters its boot loader.
    return diagnose(0x0001, 0xFFFF);
}

MessageBuilder &MessageBuilder::readEventCount()
{
    writeFunction(GetCommEventCounter);
    return *this;
}

MessageBuilder &MessageBuilder::readEventLog()
{
    writeFunction(GetCommEventLog);
    return *this;
}

MessageBuilder &MessageBuilder::beginWriteBit(unsigned short address, unsigned short count)
{
    writeFunction(WriteMultipleCoils);
    *this << quint16(address) << quint16(count) << quint8((count + 7) / 8);
    return *this;
}

MessageBuilder &MessageBuilder::writeBit(unsigned short address, unsigned short count, const void *bits)
{
    beginWriteBit(address, count);
    writeRaw(bits, (count + 7) / 8);
    return *this;
}

MessageBuilder &MessageBuilder::writeBit(unsigned short address, unsigned short count, quint64 bits)
{
    if (count > 64)
        count = 64;
    // The value's bytes least significant first, whatever the host order.
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = uchar(bits >> (8 * i));
    return writeBit(address, count, static_cast<const void *>(bytes));
}

MessageBuilder &MessageBuilder::beginWriteWord(unsigned short address, unsigned short count)
{
    writeFunction(WriteMultipleRegisters);
    *this << quint16(address) << quint16(count) << quint8(2 * count);
    return *this;
}

MessageBuilder &MessageBuilder::writeWord(unsigned short address, unsigned short count, const void *words)
{
    beginWriteWord(address, count);
    const char *source = static_cast<const char *>(words);
    for (int i = 0; source && i < count; ++i) {
        quint16 value;
        std::memcpy(&value, source + 2 * i, sizeof value);
        *this << value;
    }
    return *this;
}

MessageBuilder &MessageBuilder::readDevId()
{
    writeFunction(ReportServerId);
    return *this;
}

MessageBuilder &MessageBuilder::beginReadFile(int n)
{
    writeFunction(ReadFileRecord);
    *this << quint8(7 * n);
    return *this;
}

MessageBuilder &MessageBuilder::appendReadFile(unsigned short file, unsigned short record, unsigned short length)
{
    *this << quint8(FileReferenceType) << quint16(file) << quint16(record) << quint16(length);
    return *this;
}

MessageBuilder &MessageBuilder::beginWriteFile(unsigned short file, unsigned short record, unsigned short length)
{
    writeFunction(WriteFileRecord);
    *this << quint8(2 * length + 7) << quint8(FileReferenceType)
          << quint16(file) << quint16(record) << quint16(length);
    return *this;
}

MessageBuilder &MessageBuilder::route(unsigned char address)
{
    writeFunction(EncapsulatedInterface);
    *this << quint8(RouteMei) << quint8(address);
    return *this;
}

MessageBuilder &MessageBuilder::encapsulate()
{
    writeFunction(EncapsulatedInterface);
    *this << quint8(EncapsulateMei);
    return *this;
}

MessageBuilder &MessageBuilder::readObject(unsigned char id)
{
    writeFunction(EncapsulatedInterface);
    *this << quint8(ReadObjectMei) << quint8(0x01) << quint8(id);
    return *this;
}

MessageBuilder &MessageBuilder::loadBootloaderInfo()
{
    writeFunction(LoadBootloaderInfo);
    return *this;
}

MessageBuilder &MessageBuilder::eraseFlashPage(unsigned int page)
{
    writeFunction(EraseFlashPage);
    *this << quint32(page) << quint8(0xA5) << quint8(0xF1);
    return *this;
}

MessageBuilder &MessageBuilder::readPageCRC()
{
    writeFunction(ReadPageCrc);
    return *this;
}

MessageBuilder &MessageBuilder::writeFlashPage(unsigned int page, unsigned short value)
{
    writeFunction(WriteFlashPage);
    *this << quint32(page) << quint16(value);
    return *this;
}

bool MessageBuilder::seek(int position)
{
    resetStatus();
    // QBuffer would pad a writable buffer with zeros up to a position past its end.
    if (position < 0 || position > m_buffer.size())
        return false;
    return m_device.seek(position);
}

bool MessageBuilder::seekToData()
{
    return seek(2);
}

int MessageBuilder::pos() const
{
    return int(m_device.pos());
}

int MessageBuilder::size() const
{
    return m_buffer.size();
}

int MessageBuilder::left() const
{
    return size() - pos();
}

bool MessageBuilder::checkDataSize()
{
    quint8 byteCount = 0;
    *this >> byteCount;
    // A missing byte-count byte is a malformed reply, not an empty one.
    return status() == QDataStream::Ok && int(byteCount) == left();
}

bool MessageBuilder::isExceptionResponse() const
{
    return m_buffer.size() >= 3 && (uchar(m_buffer.at(1)) & ExceptionBit);
}

int MessageBuilder::discardRoute()
{
    const int length = m_buffer.size();
    if (length <= 2)
        return 0;
    const uchar *bytes = reinterpret_cast<const uchar *>(m_buffer.constData());
    int count = 0;
    int index = 2;
    while (index < length && bytes[index - 1] == RouteCode && bytes[index] == RouteMei) {
        ++count;
        index += 3;
    }
    if (count > 0) {
        m_buffer.remove(0, 3 * count);
        resetStatus();
        m_device.seek(0);
    }
    return count;
}

int MessageBuilder::gateCount() const
{
    return m_gateCount;
}

int MessageBuilder::address() const
{
    return m_address;
}

QString MessageBuilder::path() const
{
    return m_path;
}

QByteArray &MessageBuilder::buffer()
{
    return m_buffer;
}

const QByteArray &MessageBuilder::buffer() const
{
    return m_buffer;
}

namespace {

constexpr std::array<quint16, 256> makeCrcTable()
{
    std::array<quint16, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        quint16 crc = quint16(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
        table[byte] = crc;
    }
    return table;
}

constexpr std::array<quint16, 256> CrcTable = makeCrcTable();

} // namespace

unsigned short crc16(const void *data, int length)
{
    quint16 crc = 0xFFFF;
    if (!data || length <= 0)
        return crc;
    const uchar *bytes = static_cast<const uchar *>(data);
    for (int i = 0; i < length; ++i)
        crc = quint16((crc << 8) ^ CrcTable[(crc >> 8) ^ bytes[i]]);
    return crc;
}

namespace Modbus {

int calculateReplyFrameSize(const unsigned char *request, int requestLength,
                            const unsigned char *reply, int replyLength)
{
    if (!reply)
        replyLength = 0;
    // Each route triplet in front of the request is repeated in front of the reply;
    // the rule applies again to the frame behind it, plus 3 bytes per hop.
    int routePrefix = 0;
    for (;;) {
        if (!request || requestLength < 2)
            return -1;
        if (replyLength >= 2 && (reply[1] & MessageBuilder::ExceptionBit))
            return 5 + routePrefix;

        const auto count = [&]() { return requestLength >= 6 ? request[4] * 256 + request[5] : -1; };
        int size = -1;
        switch (request[1]) {
        case 1: case 2:
            size = count() < 0 ? -1 : 5 + (count() + 7) / 8;
            break;
        case 3: case 4: case 23:
            size = count() < 0 ? -1 : 5 + 2 * count();
            break;
        case 5: case 6: case 21: case 22:
            size = requestLength;
            break;
        case 7:
            size = 5;
            break;
        case 8: {
            if (requestLength < 4)
                return -1;
            const int sub = request[2] * 256 + request[3];
            const bool echoed = sub <= 3 || (sub >= 10 && sub <= 18) || sub == 20;
            size = echoed ? requestLength : -1;
            break;
        }
        case 11: case 15: case 16: case 66: case 68:
            size = 8;
            break;
        case 12: case 17: case 20: case 65:
            size = replyLength > 2 ? reply[2] + 5 : -1;
            break;
        case 24:
            size = replyLength > 3 ? reply[2] * 256 + reply[3] + 6 : -1;
            break;
        case 43:
            if (requestLength < 3 || request[2] != MessageBuilder::RouteMei)
                return -1;
            request += 3;
            requestLength -= 3;
            if (replyLength > 3) {
                reply += 3;
                replyLength -= 3;
            } else {
                reply = nullptr;
                replyLength = 0;
            }
            routePrefix += 3;
            continue;
        case 67:
            size = 6;
            break;
        default:
            return -1;
        }
        return size > 0 ? size + routePrefix : -1;
    }
}

} // namespace Modbus
