#ifndef MESSAGEBUILDER_H
#define MESSAGEBUILDER_H

#include <QtCore/QBuffer>
#include <QtCore/QByteArray>
#include <QtCore/QDataStream>
#include <QtCore/QString>

#include "modbusprotocol.h"
#include "qvcore_global.h"

/**
 * \file messagebuilder.h
 * \brief One request frame and its reply (MessageBuilder), and the frames' CRC-16.
 */

/**
 * Composes one request in its own buffer and, after the exchange, holds the reply
 * (without CRC) for reading with the stream's extraction operators. The frame layout,
 * function codes and limits are in modbusprotocol.h; \ref wireformat_requests lists the
 * requests.
 *
 * The constructor writes the header: the module's address, and for a path one route
 * triplet `2B 0C address` per gateway hop. A request method then appends the function
 * code and its fields, big-endian, at the stream's position, and returns the builder.
 * One builder carries one request; reset() starts the next. The CRC is added by
 * ModbusClient::talk(), which also puts the reply into buffer().
 *
 * Nothing is checked while building: a field is written in its width whatever its value
 * (a byte count of more than 255 is cut to its low byte), and a request too long for the
 * line is refused by the exchange. Reentrant: one builder belongs to one thread at a time;
 * nothing blocks.
 */
class QVCORE_EXPORT MessageBuilder : public QDataStream
{
public:
    /// A request to the module at address on the link, without route (its low byte is sent).
    explicit MessageBuilder(int address);
    /**
     * A request along a module path ("1/5": module 5 behind gateway 1, see
     * Modbus::modulePathElements()): the first element's address, then a route triplet
     * per further element. address() is the last element, gateCount() the hops.
     */
    explicit MessageBuilder(const QString &path);
    /// Releases the buffer.
    virtual ~MessageBuilder();

    /// Empties the buffer and writes the header again, so one builder can carry several requests.
    void reset();

    /// Read coils: 0x01, start word, count word.
    MessageBuilder &readRwBit(unsigned short address, unsigned short count);
    /// Read discrete inputs: 0x02, start word, count word.
    MessageBuilder &readRoBit(unsigned short address, unsigned short count);
    /// Read holding registers: 0x03, start word, count word.
    MessageBuilder &readWord(unsigned short address, unsigned short count);
    /// Read input registers: 0x04, start word, count word.
    MessageBuilder &readRoWord(unsigned short address, unsigned short count);
    /// Write single coil: 0x05, address word, FF00 for true or 0000 for false.
    MessageBuilder &writeBit(unsigned short address, bool value);
    /// Write single register: 0x06, address word, value word.
    MessageBuilder &writeWord(unsigned short address, unsigned short value);
    /// Read exception status: 0x07, no fields.
    MessageBuilder &readExceptionStatus();
    /// Diagnostics: 0x08, sub-function word (Modbus::DiagnosticSubFunction); the caller appends any data.
    MessageBuilder &diagnose(unsigned short sub);
    /// Diagnostics: 0x08, sub-function word, data word.
    MessageBuilder &diagnose(unsigned short sub, unsigned short data);
    /**
     * Diagnostics, return query data: 0x08, sub-function 0000, then length bytes of data as
     * they are. A length of -1 takes data as a zero-terminated text (0 bytes when data is null).
     */
    MessageBuilder &testCommunication(const char *data, int length = -1);
    /// Diagnostics, restart: 0x08, sub-function 0001, FF00 when flag (the event log is cleared too) or 0000.
    MessageBuilder &restart(bool flag);
    /// Diagnostics, restart into the boot loader: 0x08, sub-function 0001, FFFF.
    MessageBuilder &enterBootloaderMode();
    /// Get event counter: 0x0B, no fields; the reply holds the status word and the event count.
    MessageBuilder &readEventCount();
    /// Get event log: 0x0C, no fields.
    MessageBuilder &readEventLog();
    /**
     * Write multiple coils, head only: 0x0F, start word, count word, byte count
     * (count + 7) / 8 as one byte. The caller appends the (count + 7) / 8 packed bytes
     * itself, coil k in bit k % 8 of byte k / 8.
     */
    MessageBuilder &beginWriteBit(unsigned short address, unsigned short count);
    /**
     * Write multiple coils: the head of beginWriteBit(), then (count + 7) / 8 packed bytes
     * from bits (none when bits is null).
     */
    MessageBuilder &writeBit(unsigned short address, unsigned short count, const void *bits);
    /// Write multiple coils from a value: count is limited to 64; bit i of bits is the coil at address + i.
    MessageBuilder &writeBit(unsigned short address, unsigned short count, quint64 bits);
    /**
     * Write multiple registers, head only: 0x10, start word, count word, byte count
     * 2 * count as one byte. The caller appends the 2 * count data bytes itself.
     */
    MessageBuilder &beginWriteWord(unsigned short address, unsigned short count);
    /**
     * Write multiple registers: the head of beginWriteWord(), then count values read in
     * host order from words (no alignment needed), each written big-endian; no data when
     * words is null. (The module operations take big-endian byte pairs instead.)
     */
    MessageBuilder &writeWord(unsigned short address, unsigned short count, const void *words);
    /// Report server id: 0x11, no fields.
    MessageBuilder &readDevId();
    /**
     * Read file record, head only: 0x14, byte count 7 * n as one byte. Followed by n calls
     * of appendReadFile().
     */
    MessageBuilder &beginReadFile(int n);
    /// One sub-request of a file read: reference type 6 (one byte), file word, record word, length word (in records).
    MessageBuilder &appendReadFile(unsigned short file, unsigned short record, unsigned short length);
    /**
     * Write file record, head only: 0x15, byte count 2 * length + 7 as one byte, reference
     * type 6 (one byte), file word, record word, length word. The caller appends the
     * 2 * length data bytes itself.
     */
    MessageBuilder &beginWriteFile(unsigned short file, unsigned short record, unsigned short length);
    /// A route triplet by hand: 2B 0C address; what follows goes to that module behind this one.
    MessageBuilder &route(unsigned char address);
    /// Pass-through: 2B 0D. The caller appends the payload as raw bytes.
    MessageBuilder &encapsulate();
    /// Read identification object: 2B 0E, read code 01, object id (Modbus::ObjectId), one byte each.
    MessageBuilder &readObject(unsigned char id);
    /// Boot-loader information: 0x41, no fields.
    MessageBuilder &loadBootloaderInfo();
    /// Erase flash page: 0x42, page as four bytes, then A5 F1.
    MessageBuilder &eraseFlashPage(unsigned int page);
    /// Read page CRC: 0x43, no fields.
    MessageBuilder &readPageCRC();
    /// Write flash page: 0x44, page as four bytes, value word.
    MessageBuilder &writeFlashPage(unsigned int page, unsigned short value);

    /**
     * Clears the stream status and moves the position; a position outside the buffer
     * (below 0 or past size()) fails and leaves the position where it was.
     */
    bool seek(int position);
    /**
     * Moves to the first byte after address and function code (position 2): the first
     * data byte of a reply whose route was removed. False when the buffer holds fewer than two bytes.
     */
    bool seekToData();
    /// The stream's position in the buffer.
    int pos() const;
    /// The bytes in the buffer.
    int size() const;
    /// The bytes after the position.
    int left() const;

    /**
     * Reads the byte count at the position and tells whether exactly that many bytes
     * follow it; false too when the byte count itself is missing.
     */
    bool checkDataSize();
    /// Whether the reply's function code (byte 1) has the exception bit, in a buffer of 3 bytes or more.
    bool isExceptionResponse() const;
    /**
     * Removes the route prefix of a reply (the triplets 2B 0C address after its first
     * byte) and moves to position 0 when it removed any; returns the number of triplets
     * removed. Fewer than gateCount() means a gateway answered in the target's place.
     */
    int discardRoute();
    /// The gateway hops of the path; 0 for a builder made with an address.
    int gateCount() const;

    /// The target module's address: the path's last element, or the address given.
    int address() const;
    /// The path given; a null string for a builder made with an address.
    QString path() const;

    /// The frame buffer itself: the request while building, the reply after an exchange.
    QByteArray &buffer();
    /// The frame buffer itself, read only.
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

/**
 * The CRC-16 of a frame's bytes: polynomial 0x1021, initial value 0xFFFF, not reflected,
 * no final XOR ("123456789" gives 0x29B1). Sent high byte first. A length of 0 or less,
 * or null data, gives 0xFFFF. Safe from any thread.
 */
QVCORE_EXPORT unsigned short crc16(const void *data, int length);

#endif // MESSAGEBUILDER_H
