#include "messagebuilder.h"

#include <QtCore/QStringList>

#include <array>
#include <cstring>

using namespace Modbus;

namespace {

int pathElementValue(const QString &element)
{
    bool ok = false;
    const int value = element.toInt(&ok, 10);
    return ok ? value : 0;
}

} // namespace

MessageBuilder::MessageBuilder(int address)
    : m_address(address)
{
    begin();
}

MessageBuilder::MessageBuilder(const QString &path)
    : m_path(path)
{
    begin();
}

void MessageBuilder::begin()
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
    QStringList parts = modulePathElements(m_path);
    m_address = 0;
    if (!parts.isEmpty())
        m_address = pathElementValue(parts.takeFirst());
    *this << quint8(m_address);
    m_gateCount = parts.size();
    for (const QString &part : qAsConst(parts)) {
        m_address = pathElementValue(part);
        *this << quint8(EncapsulatedInterface) << quint8(RouteMei) << quint8(m_address);
    }
}

void MessageBuilder::writeRaw(const void *data, int length)
{
    if (data && length > 0)
        writeRawData(static_cast<const char *>(data), length);
}

MessageBuilder &MessageBuilder::readRwBit(unsigned short address, unsigned short count)
{
    return request(ReadCoils, quint16(address), quint16(count));
}

MessageBuilder &MessageBuilder::readRoBit(unsigned short address, unsigned short count)
{
    return request(ReadDiscreteInputs, quint16(address), quint16(count));
}

MessageBuilder &MessageBuilder::readWord(unsigned short address, unsigned short count)
{
    return request(ReadHoldingRegisters, quint16(address), quint16(count));
}

MessageBuilder &MessageBuilder::readRoWord(unsigned short address, unsigned short count)
{
    return request(ReadInputRegisters, quint16(address), quint16(count));
}

MessageBuilder &MessageBuilder::writeBit(unsigned short address, bool value)
{
    return request(WriteSingleCoil, quint16(address), quint16(value ? CoilOn : CoilOff));
}

MessageBuilder &MessageBuilder::writeWord(unsigned short address, unsigned short value)
{
    return request(WriteSingleRegister, quint16(address), quint16(value));
}

MessageBuilder &MessageBuilder::readExceptionStatus()
{
    return request(ReadExceptionStatus);
}

MessageBuilder &MessageBuilder::diagnose(unsigned short sub)
{
    return request(Diagnostics, quint16(sub));
}

MessageBuilder &MessageBuilder::diagnose(unsigned short sub, unsigned short data)
{
    return request(Diagnostics, quint16(sub), quint16(data));
}

MessageBuilder &MessageBuilder::testCommunication(const char *data, int length)
{
    if (length < 0)
        length = data ? int(std::strlen(data)) : 0;
    diagnose(ReturnQueryData);
    writeRaw(data, length);
    return *this;
}

MessageBuilder &MessageBuilder::restart(bool flag)
{
    return diagnose(RestartCommunications, flag ? RestartClearingLog : RestartKeepingLog);
}

MessageBuilder &MessageBuilder::enterBootloaderMode()
{
    return diagnose(RestartCommunications, RestartIntoBootloader);
}

MessageBuilder &MessageBuilder::readEventCount()
{
    return request(GetCommEventCounter);
}

MessageBuilder &MessageBuilder::readEventLog()
{
    return request(GetCommEventLog);
}

MessageBuilder &MessageBuilder::beginWriteBit(unsigned short address, unsigned short count)
{
    return request(WriteMultipleCoils, quint16(address), quint16(count), quint8((count + 7) / 8));
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
    return request(WriteMultipleRegisters, quint16(address), quint16(count), quint8(2 * count));
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
    return request(ReportServerId);
}

MessageBuilder &MessageBuilder::beginReadFile(int n)
{
    // Each sub-request is 7 bytes: reference type, file, record, length.
    return request(ReadFileRecord, quint8(7 * n));
}

MessageBuilder &MessageBuilder::appendReadFile(unsigned short file, unsigned short record, unsigned short length)
{
    *this << quint8(FileReferenceType) << quint16(file) << quint16(record) << quint16(length);
    return *this;
}

MessageBuilder &MessageBuilder::beginWriteFile(unsigned short file, unsigned short record, unsigned short length)
{
    // The data length counts the 7 bytes of the sub-request head and its records.
    return request(WriteFileRecord, quint8(2 * length + 7), quint8(FileReferenceType), quint16(file),
                   quint16(record), quint16(length));
}

MessageBuilder &MessageBuilder::route(unsigned char address)
{
    return request(EncapsulatedInterface, quint8(RouteMei), quint8(address));
}

MessageBuilder &MessageBuilder::encapsulate()
{
    return request(EncapsulatedInterface, quint8(EncapsulateMei));
}

MessageBuilder &MessageBuilder::readObject(unsigned char id)
{
    return request(EncapsulatedInterface, quint8(ReadObjectMei), quint8(ReadObjectStream), quint8(id));
}

MessageBuilder &MessageBuilder::loadBootloaderInfo()
{
    return request(LoadBootloaderInfo);
}

MessageBuilder &MessageBuilder::eraseFlashPage(unsigned int page)
{
    return request(EraseFlashPage, quint32(page), quint8(EraseKey1), quint8(EraseKey2));
}

MessageBuilder &MessageBuilder::readPageCRC()
{
    return request(ReadPageCrc);
}

MessageBuilder &MessageBuilder::writeFlashPage(unsigned int page, unsigned short value)
{
    return request(WriteFlashPage, quint32(page), quint16(value));
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
    while (index < length && bytes[index - 1] == EncapsulatedInterface && bytes[index] == RouteMei) {
        ++count;
        index += RouteTripletSize;
    }
    if (count > 0) {
        m_buffer.remove(0, RouteTripletSize * count);
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
