#ifndef ABSTRACTDEVICEMODULE_H
#define ABSTRACTDEVICEMODULE_H

#include <QtCore/QByteArray>
#include <QtCore/QString>

#include "modbusprotocol.h"
#include "modulestatus.h"
#include "qvcore_global.h"

class MessageBuilder;
class ModbusClient;

namespace Modbus {

class ModuleReply;

// The handle on one electronic module: a route path ("1/5": module 5 behind gateway 1)
// bound to the client that performs the exchanges. Every operation builds its requests
// afresh from the path, so the object has no connection state and setPath() takes
// effect with the next request.
//
// Buffers are never converted to host order: registers and file records are byte pairs,
// most significant byte first, as on the wire; bits are packed, item k in bit k % 8 of
// byte k / 8.
//
// Runs are cut into chunks of at most 100 data bytes less 3 per gateway hop
// (bitChunkLimit() and wordChunkLimit() in modbusprotocol.h). A run
// returns the items transferred; the status of the last exchange goes to the optional
// status pointer. A count of 0 makes no exchange and leaves the status untouched; a run
// of registers, bits or records that would pass address 65535 makes none either, and
// fails with WriteError and a warning.
// Operations block the calling thread; the client serialises single exchanges on the
// transport, and only writeFile() keeps the transport to itself between its chunks.
class QVCORE_EXPORT AbstractDeviceModule
{
public:
    // How often one chunk is requested when its reply does not fit the request.
    enum { ChunkAttempts = 3 };
    // Requests of one readObject(), continuation pages included.
    enum { ObjectPageLimit = 256 };

    AbstractDeviceModule(const QString &path, ModbusClient *client);
    AbstractDeviceModule(const AbstractDeviceModule &other);
    AbstractDeviceModule &operator=(const AbstractDeviceModule &other);
    virtual ~AbstractDeviceModule();

    QString path() const;
    void setPath(const QString &path);
    ModbusClient *client() const;
    // Whether wait() lets the application's event loop run between polls.
    bool processEvents() const;
    void setProcessEvents(bool enabled);

    int readBit(unsigned short address, unsigned short count, void *bits, ModuleStatus *status = nullptr) const;
    int readRoBit(unsigned short address, unsigned short count, void *bits, ModuleStatus *status = nullptr) const;
    int readWord(unsigned short address, unsigned short count, void *words, ModuleStatus *status = nullptr) const;
    int readRoWord(unsigned short address, unsigned short count, void *words, ModuleStatus *status = nullptr) const;
    int writeBit(unsigned short address, unsigned short count, const void *bits, ModuleStatus *status = nullptr) const;
    int writeWord(unsigned short address, unsigned short count, const void *words, ModuleStatus *status = nullptr) const;

    // False both for a clear bit and for a failed read; the status tells them apart.
    bool getBit(unsigned short address, ModuleStatus *status = nullptr) const;
    bool getRoBit(unsigned short address, ModuleStatus *status = nullptr) const;
    // Function 15 with one bit.
    ModuleStatus setBit(unsigned short address, bool value) const;

    // One exchange of a request the caller built: the route is checked and removed, an
    // exception reply or a gateway answering in place of the target becomes an exception.
    ModuleStatus talk(MessageBuilder &builder) const;
    // The client's raw exchange, unchanged: no route is added or removed.
    int talk(char *reply, int capacity, const char *request, int length) const;

    // code with the path's hops 1 to 4 ORed in at bits 12, 8, 4 and 0.
    int globalStatus(int code) const;

    // File records; a reply with fewer records than asked ends the file (success).
    int readFile(unsigned short file, unsigned short record, unsigned short count, void *buffer,
                 ModuleStatus *status = nullptr) const;
    // Holds the transport's lock across all its chunks.
    int writeFile(unsigned short file, unsigned short record, unsigned short count, const void *buffer,
                  ModuleStatus *status = nullptr) const;
    // The checksummed block from record 0 of file: length word, data and checksum.
    // Empty when an exchange failed (the status says why); two zero bytes, with success,
    // when the block is too long, has an impossible length or a wrong checksum.
    QByteArray readTrunk(unsigned short file, ModuleStatus *status = nullptr) const;
    // value is left unchanged when the module does not list the object.
    ModuleStatus readObject(int objectId, QByteArray &value) const;
    ModuleStatus readEventCount(quint16 *statusWord, quint16 *eventCount = nullptr) const;
    // Polls the event counter until the module is no longer busy; the result is the
    // final status word (0 success, anything else a device error) or the failure.
    ModuleStatus wait(quint16 *statusWord = nullptr) const;
    // As wait(), giving up after maxPolls busy answers with the status word 0xFFFF as a
    // device error; maxPolls <= 0 polls without bound.
    ModuleStatus wait(quint16 *statusWord, int maxPolls) const;
    ModuleStatus restart(bool clearEventLog) const;
    ModuleStatus enterBootloaderMode() const;
    // Pass-through: the payload of the module's encapsulated reply, empty when there is none.
    QByteArray transmit(const char *data, int length, ModuleStatus *status = nullptr) const;

    // Asynchronous twins of the operations above. Each returns at once with a reply that the
    // caller owns (give it a parent, or deleteLater() it after finished()); the operation is
    // queued on the line of the module's client, behind the requests made before it, and
    // runs on a thread the library owns with the same frames, chunks, statuses and client
    // signals as the blocking call; finished() comes in the calling thread's event loop.
    // The path and client are those of the call. Any thread with an event loop may call them.
    ModuleReply *readBitAsync(unsigned short address, unsigned short count) const;
    ModuleReply *readRoBitAsync(unsigned short address, unsigned short count) const;
    ModuleReply *readWordAsync(unsigned short address, unsigned short count) const;
    ModuleReply *readRoWordAsync(unsigned short address, unsigned short count) const;
    // count bits from bits, packed as writeBit() takes them.
    ModuleReply *writeBitAsync(unsigned short address, unsigned short count, const QByteArray &bits) const;
    // words: big-endian byte pairs, one register each.
    ModuleReply *writeWordAsync(unsigned short address, const QByteArray &words) const;
    ModuleReply *readFileAsync(unsigned short file, unsigned short record, unsigned short count) const;
    // records: big-endian byte pairs, one record each.
    ModuleReply *writeFileAsync(unsigned short file, unsigned short record, const QByteArray &records) const;
    ModuleReply *readTrunkAsync(unsigned short file) const;
    // The reply's data is the object's value, empty when the module does not list it.
    ModuleReply *readObjectAsync(int objectId) const;
    // The reply's data is the status word and the event count, two big-endian words.
    ModuleReply *readEventCountAsync() const;
    // Polls the event counter as wait() does, without running any event loop; the reply's
    // status is the final status word or the failure, its data that word.
    ModuleReply *waitAsync(int maxPolls = 0) const;
    ModuleReply *restartAsync(bool clearEventLog) const;
    ModuleReply *enterBootloaderModeAsync() const;
    ModuleReply *transmitAsync(const QByteArray &data) const;

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
