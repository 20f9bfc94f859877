#ifndef ABSTRACTDEVICEMODULE_H
#define ABSTRACTDEVICEMODULE_H

#include <QtCore/QByteArray>
#include <QtCore/QString>

#include "modbusprotocol.h"
#include "modulestatus.h"
#include "qvcore_global.h"

class MessageBuilder;
class ModbusClient;

/**
 * \file abstractdevicemodule.h
 * \brief The operations on one electronic module (Modbus::AbstractDeviceModule).
 */

namespace Modbus {

class ModuleReply;

/**
 * The handle on one electronic module: a route path ("1/5": module 5 behind gateway 1)
 * bound to the client that performs the exchanges. Every operation builds its requests
 * afresh from the path, so the object has no connection state and setPath() takes
 * effect with the next request.
 *
 * Buffers are never converted to host order: registers and file records are byte pairs,
 * most significant byte first, as on the wire; bits are packed, item k in bit k % 8 of
 * byte k / 8.
 *
 * Runs are cut into chunks of at most 100 data bytes less 3 per gateway hop
 * (bitChunkLimit() and wordChunkLimit() in modbusprotocol.h). A run returns the items
 * transferred, fewer than asked when a chunk failed; the status of the last exchange goes
 * to the optional status pointer. A count of 0 makes no exchange and leaves the status
 * untouched; a run of registers, bits or records that would pass address 65535 makes none
 * either, and fails with WriteError and a warning; a path of more than MaxHops hops fails
 * with InvalidReplyError. A chunk whose reply has the wrong length is asked for again, at
 * most ChunkAttempts times, then InvalidReplyError ("Reply doesn't match request").
 * Without a client every operation fails with NotOpenError.
 *
 * Operations block the calling thread; the client serialises single exchanges on the
 * transport, and only writeFile() keeps the transport to itself between its chunks.
 * Blocking operations may be called from any thread, also on one object from several
 * threads at once; setPath() and setProcessEvents() must not run alongside them. Each
 * has an asynchronous twin (readWordAsync() and the others) that returns at once with a
 * ModuleReply; \ref threads_async tells how they run.
 */
class QVCORE_EXPORT AbstractDeviceModule
{
public:
    /// How often one chunk is requested when its reply does not fit the request.
    enum { ChunkAttempts = 3 };
    /// Requests of one readObject(), continuation pages included.
    enum { ObjectPageLimit = 256 };

    /// The module at path, reached through client (not owned; null makes every operation fail with NotOpenError).
    AbstractDeviceModule(const QString &path, ModbusClient *client);
    /// The same module through the same client.
    AbstractDeviceModule(const AbstractDeviceModule &other);
    /// Takes other's path, client and event-processing flag.
    AbstractDeviceModule &operator=(const AbstractDeviceModule &other);
    /// Nothing to release: the client is not owned.
    virtual ~AbstractDeviceModule();

    /// The module path, as given.
    QString path() const;
    /// Sets the module path; the next request goes there.
    void setPath(const QString &path);
    /// The client given at construction.
    ModbusClient *client() const;
    /// Whether wait() lets the application's event loop run between polls (false by default).
    bool processEvents() const;
    /**
     * Lets wait() run the application's event loop between polls when it is called on the
     * main thread (elsewhere it never does), so that a window stays live; slots may then
     * run inside the call.
     */
    void setProcessEvents(bool enabled);

    /// Reads count coils from address (function 0x01 per chunk) into bits, packed; the bits read.
    int readBit(unsigned short address, unsigned short count, void *bits, ModuleStatus *status = nullptr) const;
    /// Reads count discrete inputs from address (function 0x02 per chunk) into bits, packed; the bits read.
    int readRoBit(unsigned short address, unsigned short count, void *bits, ModuleStatus *status = nullptr) const;
    /// Reads count holding registers from address (function 0x03 per chunk) into words; the registers read.
    int readWord(unsigned short address, unsigned short count, void *words, ModuleStatus *status = nullptr) const;
    /// Reads count input registers from address (function 0x04 per chunk) into words; the registers read.
    int readRoWord(unsigned short address, unsigned short count, void *words, ModuleStatus *status = nullptr) const;
    /// Writes count coils from address (function 0x0F per chunk) from packed bits; the bits written.
    int writeBit(unsigned short address, unsigned short count, const void *bits, ModuleStatus *status = nullptr) const;
    /// Writes count holding registers from address (function 0x10 per chunk) from words; the registers written.
    int writeWord(unsigned short address, unsigned short count, const void *words, ModuleStatus *status = nullptr) const;

    /// One coil (function 0x01). False both for a clear bit and for a failed read; the status tells them apart.
    bool getBit(unsigned short address, ModuleStatus *status = nullptr) const;
    /// One discrete input (function 0x02). False both for a clear bit and for a failed read, as getBit().
    bool getRoBit(unsigned short address, ModuleStatus *status = nullptr) const;
    /// Function 15 (0x0F) with one bit; the status of the exchange.
    ModuleStatus setBit(unsigned short address, bool value) const;

    /**
     * One exchange of a request the caller built: the route is checked and removed, an
     * exception reply or a gateway answering in place of the target becomes an exception.
     * The builder then holds the reply without route and CRC at position 0.
     */
    ModuleStatus talk(MessageBuilder &builder) const;
    /// The client's raw exchange (ModbusClient::talk()), unchanged: no route is added or removed.
    int talk(char *reply, int capacity, const char *request, int length) const;

    /// code with the path's hops 1 to 4 ORed in at bits 12, 8, 4 and 0.
    int globalStatus(int code) const;

    /**
     * Reads count records of file from record (function 0x14 per chunk) into buffer; the
     * records read. A reply with fewer records than asked ends the file (success).
     */
    int readFile(unsigned short file, unsigned short record, unsigned short count, void *buffer,
                 ModuleStatus *status = nullptr) const;
    /**
     * Writes count records of file from record (function 0x15 per chunk) from buffer; the
     * records written. Holds the transport's lock across all its chunks.
     */
    int writeFile(unsigned short file, unsigned short record, unsigned short count, const void *buffer,
                  ModuleStatus *status = nullptr) const;
    /**
     * The checksummed block from record 0 of file: length word (counting itself), data and
     * CRC-16 of both, read with readFile(). Empty when an exchange failed (the status says
     * why; InvalidReplyError when the file ends before the block does); two zero bytes,
     * with success, when the block is too long (past MaxTrunkSize), has an impossible
     * length or a wrong checksum.
     */
    QByteArray readTrunk(unsigned short file, ModuleStatus *status = nullptr) const;
    /**
     * Reads a device identification object (2B 0E, read code 1), following continuation
     * pages, at most ObjectPageLimit requests. value is left unchanged when the module does
     * not list the object (success); InvalidReplyError for a malformed reply or too many pages.
     */
    ModuleStatus readObject(int objectId, QByteArray &value) const;
    /**
     * The event counter (function 0x0B): the status word (BusyStatusWord while busy) and
     * the event count, each written only on success; InvalidReplyError for a short reply.
     */
    ModuleStatus readEventCount(quint16 *statusWord, quint16 *eventCount = nullptr) const;
    /**
     * Polls the event counter, back to back, until the module is no longer busy; the
     * result is the final status word (0 success, anything else a device error) or the
     * failure of a poll. Without bound while the module stays busy; see processEvents().
     */
    ModuleStatus wait(quint16 *statusWord = nullptr) const;
    /**
     * As wait(), giving up after maxPolls busy answers with the status word 0xFFFF as a
     * device error; maxPolls <= 0 polls without bound.
     */
    ModuleStatus wait(quint16 *statusWord, int maxPolls) const;
    /// Restarts the module's communications (0x08, sub-function 0001), clearing its event log or keeping it.
    ModuleStatus restart(bool clearEventLog) const;
    /// Restarts the module into its boot loader (0x08, sub-function 0001, data FFFF).
    ModuleStatus enterBootloaderMode() const;
    /**
     * Pass-through (2B 0D, then length bytes of data): the payload of the module's
     * encapsulated reply, empty when there is none or the exchange failed.
     */
    QByteArray transmit(const char *data, int length, ModuleStatus *status = nullptr) const;

    /**
     * \name Asynchronous twins
     * Each returns at once with a reply that the caller owns (give it a parent, or
     * deleteLater() it after finished()); the operation is queued on the line of the
     * module's client, behind the requests made before it, and runs on a thread the
     * library owns with the same frames, chunks, statuses and client signals as the
     * blocking call; finished() comes in the calling thread's event loop. The path and
     * client are those of the call. Any thread with an event loop may call them. Without
     * a client or driver the reply finishes with NotOpenError. The reply's data and count
     * are described with each; its status is the one the blocking call gives.
     */
    /** @{ */
    /// readBit(): data the bits read, packed; count the bits.
    ModuleReply *readBitAsync(unsigned short address, unsigned short count) const;
    /// readRoBit(): data the bits read, packed; count the bits.
    ModuleReply *readRoBitAsync(unsigned short address, unsigned short count) const;
    /// readWord(): data the registers read, as byte pairs; count the registers.
    ModuleReply *readWordAsync(unsigned short address, unsigned short count) const;
    /// readRoWord(): data the registers read, as byte pairs; count the registers.
    ModuleReply *readRoWordAsync(unsigned short address, unsigned short count) const;
    /**
     * writeBit() of count bits from bits, packed as writeBit() takes them; count the bits
     * written. Fewer bytes than count bits need: nothing is sent, WriteError and a warning.
     */
    ModuleReply *writeBitAsync(unsigned short address, unsigned short count, const QByteArray &bits) const;
    /**
     * writeWord() of words: big-endian byte pairs, one register each; count the registers
     * written. An odd number of bytes: nothing is sent, WriteError and a warning.
     */
    ModuleReply *writeWordAsync(unsigned short address, const QByteArray &words) const;
    /// readFile(): data the records read, as byte pairs; count the records.
    ModuleReply *readFileAsync(unsigned short file, unsigned short record, unsigned short count) const;
    /**
     * writeFile() of records: big-endian byte pairs, one record each; count the records
     * written. An odd number of bytes: nothing is sent, WriteError and a warning.
     */
    ModuleReply *writeFileAsync(unsigned short file, unsigned short record, const QByteArray &records) const;
    /// readTrunk(): data the block as readTrunk() gives it; count its bytes.
    ModuleReply *readTrunkAsync(unsigned short file) const;
    /// readObject(): data the object's value, empty when the module does not list it; count its bytes.
    ModuleReply *readObjectAsync(int objectId) const;
    /// readEventCount(): data the status word and the event count, two big-endian words; count 1.
    ModuleReply *readEventCountAsync() const;
    /**
     * Polls the event counter as wait(nullptr, maxPolls) does, without running any event
     * loop; the reply's status is the final status word or the failure, its data that word
     * (one big-endian word), its count 1 on success. With maxPolls <= 0 it polls while the
     * module stays busy: ModuleReply::cancel() or ModuleReply::setDeadline() end it.
     */
    ModuleReply *waitAsync(int maxPolls = 0) const;
    /// restart(); no data, count 1 on success.
    ModuleReply *restartAsync(bool clearEventLog) const;
    /// enterBootloaderMode(); no data, count 1 on success.
    ModuleReply *enterBootloaderModeAsync() const;
    /// transmit() of data: data the payload of the module's reply; count its bytes.
    ModuleReply *transmitAsync(const QByteArray &data) const;
    /** @} */

private:
    struct Run;
    static const Run ReadCoilRun, ReadInputRun, ReadRegisterRun, ReadInputRegisterRun, WriteCoilRun, WriteRegisterRun;
    // One chunk loop for the runs of bits and registers, read into readInto or written
    // from writeFrom.
    int transferRun(const Run &run, unsigned short address, unsigned short count, char *readInto,
                    const char *writeFrom, ModuleStatus *status) const;
    // The chunk limit of a run on this path after the checks every run makes first; 0 when
    // nothing is to be sent.
    int chunkLimit(const char *operation, unsigned short address, unsigned short count, bool bits,
                   ModuleStatus &status) const;

    QString m_path;
    ModbusClient *m_client;
    bool m_processEvents;
};

} // namespace Modbus

#endif // ABSTRACTDEVICEMODULE_H
