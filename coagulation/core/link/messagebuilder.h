#ifndef MESSAGEBUILDER_H
#define MESSAGEBUILDER_H

#include <QtCore/QBuffer>
#include <QtCore/QByteArray>
#include <QtCore/QDataStream>
#include <QtCore/QString>

#include "qvcore_global.h"

// Frame on the wire, both directions (multi-byte fields big-endian):
//   address | route prefix 2B 0C next-address, once per gateway hop | function | fields | CRC-16 (high byte first)
// There is no start or end marker and no length field.
//
// A MessageBuilder composes one request in its own buffer and, after the exchange,
// holds the reply (without CRC) for reading with the stream's extraction operators.
class QVCORE_EXPORT MessageBuilder : public QDataStream
{
public:
    // Function codes of the requests this builder makes.
    enum FunctionCode : quint8 {
        ReadCoils = 0x01,
        ReadDiscreteInputs = 0x02,
        ReadHoldingRegisters = 0x03,
        ReadInputRegisters = 0x04,
        WriteSingleCoil = 0x05,
        WriteSingleRegister = 0x06,
        ReadExceptionStatus = 0x07,
        Diagnostics = 0x08,
        GetCommEventCounter = 0x0B,
        GetCommEventLog = 0x0C,
        WriteMultipleCoils = 0x0F,
        WriteMultipleRegisters = 0x10,
        ReportServerId = 0x11,
        ReadFileRecord = 0x14,
        WriteFileRecord = 0x15,
        EncapsulatedInterface = 0x2B,
        LoadBootloaderInfo = 0x41,
        EraseFlashPage = 0x42,
        ReadPageCrc = 0x43,
        WriteFlashPage = 0x44
    };
    // MEI types behind function 0x2B.
    enum MeiType : quint8 {
        RouteMei = 0x0C,
        EncapsulateMei = 0x0D,
        ReadObjectMei = 0x0E
    };
    enum : quint8 {
        ExceptionBit = 0x80,
        FileReferenceType = 6
    };

    explicit MessageBuilder(int address);
    explicit MessageBuilder(const QString &path);
    virtual ~MessageBuilder();

    // Empties the buffer and writes the header again, so one builder can carry several requests.
    void reset();

    MessageBuilder &readRwBit(unsigned short address, unsigned short count);
    MessageBuilder &readRoBit(unsigned short address, unsigned short count);
    MessageBuilder &readWord(unsigned short address, unsigned short count);
    MessageBuilder &readRoWord(unsigned short address, unsigned short count);
    MessageBuilder &writeBit(unsigned short address, bool value);
    MessageBuilder &writeWord(unsigned short address, unsigned short value);
    MessageBuilder &readExceptionStatus();
    MessageBuilder &diagnose(unsigned short sub);
    MessageBuilder &diagnose(unsigned short sub, unsigned short data);
    // A length of -1 takes data as a zero-terminated text (0 bytes when data is null).
    MessageBuilder &testCommunication(const char *data, int length = -1);
    MessageBuilder &restart(bool flag);
    MessageBuilder &enterBootloaderMode();
    MessageBuilder &readEventCount();
    MessageBuilder &readEventLog();
    // The caller appends the (count + 7) / 8 packed bytes itself.
    MessageBuilder &beginWriteBit(unsigned short address, unsigned short count);
    MessageBuilder &writeBit(unsigned short address, unsigned short count, const void *bits);
    // count is limited to 64; bit i of bits is the coil at address + i.
    MessageBuilder &writeBit(unsigned short address, unsigned short count, quint64 bits);
    // The caller appends the 2 * count data bytes itself.
    MessageBuilder &beginWriteWord(unsigned short address, unsigned short count);
    // Reads count values in host order from words and writes each big-endian.
    MessageBuilder &writeWord(unsigned short address, unsigned short count, const void *words);
    MessageBuilder &readDevId();
    // Followed by n calls of appendReadFile.
    MessageBuilder &beginReadFile(int n);
    MessageBuilder &appendReadFile(unsigned short file, unsigned short record, unsigned short length);
    // The caller appends the 2 * length data bytes itself.
    MessageBuilder &beginWriteFile(unsigned short file, unsigned short record, unsigned short length);
    MessageBuilder &route(unsigned char address);
    // The caller appends the payload as raw bytes.
    MessageBuilder &encapsulate();
    MessageBuilder &readObject(unsigned char id);
    MessageBuilder &loadBootloaderInfo();
    MessageBuilder &eraseFlashPage(unsigned int page);
    MessageBuilder &readPageCRC();
    MessageBuilder &writeFlashPage(unsigned int page, unsigned short value);

    // Clears the stream status and moves the position; a position outside the
    // buffer fails and changes nothing.
    bool seek(int position);
    // The first byte after address and function code.
    bool seekToData();
    int pos() const;
    int size() const;
    int left() const;

    // Reads the byte count and tells whether exactly that many bytes follow it.
    bool checkDataSize();
    bool isExceptionResponse() const;
    // Removes the route prefix of a reply; returns the number of triplets removed.
    int discardRoute();
    int gateCount() const;

    int address() const;
    QString path() const;

    // The frame buffer itself: the request while building, the reply after an exchange.
    QByteArray &buffer();
    const QByteArray &buffer() const;

private:
    void writeHeader();
    void writeFunction(quint8 function);
    void writeRaw(const void *data, int length);

    QByteArray m_buffer;
    int m_address;
    QString m_path;
    int m_gateCount;
    QBuffer m_device;

    Q_DISABLE_COPY(MessageBuilder)
};

// CRC-16 with polynomial 0x1021, initial value 0xFFFF, not reflected, no final XOR.
// Sent high byte first. A length of 0 or less gives 0xFFFF.
QVCORE_EXPORT unsigned short crc16(const void *data, int length);

namespace Modbus {

// The expected total length of a reply frame (CRC included), predicted from the
// complete request frame (CRC included) and the reply bytes received so far;
// -1 while it cannot be known. Never reads past either length.
QVCORE_EXPORT int calculateReplyFrameSize(const unsigned char *request, int requestLength,
                                          const unsigned char *reply, int replyLength);

} // namespace Modbus

#endif // MESSAGEBUILDER_H
