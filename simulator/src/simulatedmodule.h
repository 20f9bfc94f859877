#ifndef SIMULATEDMODULE_H
#define SIMULATEDMODULE_H

#include "simulatedfaultplan.h"

#include <QByteArray>
#include <QMap>
#include <mutex>
#include <QVector>

#include <atomic>
#include <functional>

// The state one request carries through the tree: the link's fault plan and the
// fault taken for this reply by the module that answers it.
struct SimulatedRequestContext
{
    SimulatedFaultPlan *linkFaults = nullptr;
    SimulatedFault fault;
    bool faultTaken = false;
};

// One simulated electronic module: coils, discrete inputs, holding and input
// registers, files of 16-bit records, identification objects, the event counter,
// restart and boot-loader commands, flash pages and a pass-through responder.
// Every setter and getter is thread-safe; the simulator thread answers requests
// while a test thread changes the data.
class SimulatedModule
{
public:
    using PassThroughResponder = std::function<QByteArray(const QByteArray &payload)>;

    explicit SimulatedModule(quint8 address);
    SimulatedModule(const SimulatedModule &) = delete;
    SimulatedModule &operator=(const SimulatedModule &) = delete;
    virtual ~SimulatedModule();

    quint8 address() const { return m_address; }
    virtual bool isGateway() const { return false; }

    // A module that does not respond stays silent; a gateway in front of it answers
    // "target did not respond".
    void setResponding(bool responding);
    bool isResponding() const;

    // Bits and registers; the counts bound the valid addresses (4096 of each at first).
    void setCoilCount(int count);
    int coilCount() const;
    void setCoil(int address, bool value);
    bool coil(int address) const;
    void setDiscreteInputCount(int count);
    int discreteInputCount() const;
    void setDiscreteInput(int address, bool value);
    bool discreteInput(int address) const;

    void setHoldingRegisterCount(int count);
    int holdingRegisterCount() const;
    void setHoldingRegister(int address, quint16 value);
    quint16 holdingRegister(int address) const;
    void setHoldingRegisters(int address, const QVector<quint16> &values);
    QVector<quint16> holdingRegisters(int address, int count) const;
    void setInputRegisterCount(int count);
    int inputRegisterCount() const;
    void setInputRegister(int address, quint16 value);
    quint16 inputRegister(int address) const;
    void setInputRegisters(int address, const QVector<quint16> &values);
    QVector<quint16> inputRegisters(int address, int count) const;

    // Files of 16-bit records, numbered from 0. Writes over the wire create or extend a file.
    void setFile(quint16 file, const QVector<quint16> &records);
    void setFileBytes(quint16 file, const QByteArray &bytes);  // high byte first, odd size padded
    QVector<quint16> file(quint16 file) const;
    QByteArray fileBytes(quint16 file) const;
    bool hasFile(quint16 file) const;
    void removeFile(quint16 file);
    // Stores data as a checksummed trunk from record 0 of the file (see makeTrunk).
    void storeTrunk(quint16 file, const QByteArray &data);
    // Length word L (counting itself and the data), the data, then the checksum of those
    // L bytes, high byte first, padded with a zero byte to whole records.
    static QByteArray makeTrunk(const QByteArray &data);

    // Identification objects, answered from the requested id on, as many per page as
    // fit pageSize bytes (2 bytes of id and length plus the value each; one at least).
    void setObject(quint8 id, const QByteArray &value);
    QByteArray object(quint8 id) const;
    void removeObject(quint8 id);
    void clearObjects();
    void setObjectPageSize(int bytes);
    int objectPageSize() const;
    void setConformityLevel(quint8 level);

    void setExceptionStatus(quint8 status);

    // Event counter: after a restart, a write to the trigger register or startBusy() the
    // status word reads 0xFFFF for busyPolls polls, then the final status word.
    void setBusyPolls(int polls);
    int busyPolls() const;
    void setFinalStatusWord(quint16 status);
    quint16 finalStatusWord() const;
    void setBusyTriggerRegister(int address);  // -1: none
    void startBusy();
    bool isBusy() const;
    quint16 eventCount() const;
    void setEventCount(quint16 count);
    QByteArray eventLog() const;  // newest event first

    int restartCount() const;
    bool isInBootloader() const;
    void setInBootloader(bool on);

    void setServerId(const QByteArray &id);  // reply of function 17
    void setBootloaderInfo(const QByteArray &info);  // reply of function 65

    void setFlashPageSize(int bytes);
    void setFlashPageCount(int pages);
    QByteArray flashPage(quint32 page) const;

    // Pass-through requests are echoed unless a responder is set; a responder that
    // returns an empty array makes a reply without payload.
    void setPassThroughResponder(const PassThroughResponder &responder);

    SimulatedFaultPlan &faults() { return m_faults; }

    // Answers a request that begins with this module's address (checksum removed) by
    // appending the reply without checksum. Returns false when nothing is to be sent.
    virtual bool respond(const quint8 *request, int size, QByteArray &reply,
                         SimulatedRequestContext &context);

protected:
    // Takes the fault of this reply from the link's plan and this module's plan.
    void takeFault(SimulatedRequestContext &context);
    void appendException(QByteArray &reply, quint8 function, quint8 code) const;
    // Answers with an exception; true: that reply is to be sent.
    bool refuse(QByteArray &reply, quint8 function, quint8 code) const;

private:
    // The accessors' reads and writes, each under the lock.
    template <typename T>
    T lockedValue(const T &field) const;
    template <typename T, typename V>
    void setLockedValue(T &field, const V &value);
    // A table of bits (0 or 1 a byte) or registers: addresses outside it read as 0 and are
    // not written; its size is bounded.
    template <typename T>
    void resizeTable(QVector<T> &table, int count);
    template <typename T>
    T tableItem(const QVector<T> &table, int address) const;
    template <typename T>
    void setTableItems(QVector<T> &table, int address, const QVector<T> &values);
    template <typename T>
    QVector<T> tableItems(const QVector<T> &table, int address, int count) const;

    bool respondLocked(const quint8 *request, int size, QByteArray &reply, int extraItems);
    // The run a read or write of bits or registers names, checked against the frame (a
    // write's dataBytes for count items), the largest count and the table's size; false
    // when refused, the exception then in reply.
    bool acceptRun(const quint8 *request, int size, int maxCount, int tableSize, int (*dataBytes)(int),
                   QByteArray &reply, int *start, int *count) const;
    bool readBits(const QVector<quint8> &bits, const quint8 *request, int size,
                  QByteArray &reply, int extraItems);
    bool readRegisters(const QVector<quint16> &registers, const quint8 *request, int size,
                       QByteArray &reply, int extraItems);
    bool writeMultipleCoils(const quint8 *request, int size, QByteArray &reply);
    bool writeMultipleRegisters(const quint8 *request, int size, QByteArray &reply);
    bool diagnostics(const quint8 *request, int size, QByteArray &reply);
    bool readFileRecords(const quint8 *request, int size, QByteArray &reply, int extraItems);
    bool writeFileRecords(const quint8 *request, int size, QByteArray &reply);
    bool readDeviceId(const quint8 *request, int size, QByteArray &reply);
    bool flash(const quint8 *request, int size, QByteArray &reply);
    void restart(quint16 mode);
    void logEvent(quint8 event);
    void registersWritten(int first, int count);
    QByteArray &flashPageLocked(quint32 page);

    const quint8 m_address;
    std::atomic<bool> m_responding{true};
    mutable std::mutex m_mutex;
    SimulatedFaultPlan m_faults;

    QVector<quint8> m_coils;           // one byte per bit, 0 or 1
    QVector<quint8> m_discreteInputs;
    QVector<quint16> m_holding;
    QVector<quint16> m_input;
    QMap<quint16, QVector<quint16>> m_files;
    QMap<quint8, QByteArray> m_objects;
    int m_objectPageSize = 128;
    quint8 m_conformity = 0x83;
    quint8 m_exceptionStatus = 0;

    int m_busyPolls = 0;
    int m_busyRemaining = 0;
    quint16 m_finalStatus = 0;
    int m_busyTrigger = -1;
    quint16 m_eventCount = 0;
    quint16 m_messageCount = 0;
    QByteArray m_eventLog;

    int m_restartCount = 0;
    bool m_bootloader = false;
    QByteArray m_serverId;
    QByteArray m_bootloaderInfo;
    int m_flashPageSize = 128;
    int m_flashPageCount = 256;
    quint32 m_currentPage = 0;
    QMap<quint32, QByteArray> m_flash;
    QMap<quint32, int> m_flashWriteOffset;
    PassThroughResponder m_passThrough;
};

#endif // SIMULATEDMODULE_H
