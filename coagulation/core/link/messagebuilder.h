#ifndef MESSAGEBUILDER_H
#define MESSAGEBUILDER_H

#include <QtCore/QBuffer>
#include <QtCore/QByteArray>
#include <QtCore/QDataStream>
#include <QtCore/QString>

#include "modbusprotocol.h"
#include "qvcore_global.h"

// Composes one request in its own buffer and, after the exchange, holds the reply
// (without CRC) for reading with the stream's extraction operators. The frame layout,
// function codes and limits are in modbusprotocol.h.
class QVCORE_EXPORT MessageBuilder : public QDataStream
{
public:
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
    // Opens the buffer as the stream's device, big-endian, and writes the header.
    void begin();
    void writeHeader();
    // Appends the function code, then each field big-endian in its own width.
    template <typename... Fields>
    MessageBuilder &request(quint8 function, Fields... fields)
    {
        *this << function;
        ((*this << fields), ...);
        return *this;
    }
    void writeRaw(const void *data, int length);

    QByteArray m_buffer;
    int m_address = 0;
    QString m_path;
    int m_gateCount = 0;
    QBuffer m_device{ &m_buffer };

    Q_DISABLE_COPY(MessageBuilder)
};

// CRC-16 with polynomial 0x1021, initial value 0xFFFF, not reflected, no final XOR.
// Sent high byte first. A length of 0 or less gives 0xFFFF.
QVCORE_EXPORT unsigned short crc16(const void *data, int length);

#endif // MESSAGEBUILDER_H
