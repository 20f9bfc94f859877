#include "simulatedmodule.h"

#include "simulatorprotocol.h"

#include <mutex>

using namespace SimulatorProtocol;

namespace {

constexpr int DefaultItemCount = 4096;
constexpr int MaxItemCount = 65536;
constexpr int EventLogSize = 64;
constexpr quint8 EventReceived = 0x80;
constexpr quint8 EventRestart = 0x00;

inline quint16 word(const quint8 *p)
{
    return quint16((p[0] << 8) | p[1]);
}

inline quint32 dword(const quint8 *p)
{
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3];
}

inline void appendWord(QByteArray &out, quint16 value)
{
    out.append(char(value >> 8));
    out.append(char(value & 0xFF));
}

inline void appendDword(QByteArray &out, quint32 value)
{
    appendWord(out, quint16(value >> 16));
    appendWord(out, quint16(value & 0xFFFF));
}

inline int boundedCount(int count)
{
    return qBound(0, count, MaxItemCount);
}

} // namespace

SimulatedModule::SimulatedModule(quint8 address)
    : m_address(address)
    , m_coils(DefaultItemCount, 0)
    , m_discreteInputs(DefaultItemCount, 0)
    , m_holding(DefaultItemCount, 0)
    , m_input(DefaultItemCount, 0)
{
    m_serverId = QByteArray(1, char(address)) + char(0xFF) + "simulated module";
    m_bootloaderInfo = "boot loader 1.0";
}

SimulatedModule::~SimulatedModule() = default;

void SimulatedModule::setResponding(bool responding)
{
    m_responding = responding;
}

bool SimulatedModule::isResponding() const
{
    return m_responding;
}

// --- data access ------------------------------------------------------------------

template <typename T>
T SimulatedModule::lockedValue(const T &field) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return field;
}

template <typename T, typename V>
void SimulatedModule::setLockedValue(T &field, const V &value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    field = value;
}

template <typename T>
void SimulatedModule::resizeTable(QVector<T> &table, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    table.resize(boundedCount(count));
}

template <typename T>
T SimulatedModule::tableItem(const QVector<T> &table, int address) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return address >= 0 && address < table.size() ? table.at(address) : T(0);
}

template <typename T>
void SimulatedModule::setTableItems(QVector<T> &table, int address, const QVector<T> &values)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < values.size(); ++i) {
        if (address + i >= 0 && address + i < table.size())
            table[address + i] = values.at(i);
    }
}

template <typename T>
QVector<T> SimulatedModule::tableItems(const QVector<T> &table, int address, int count) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (address < 0 || count <= 0 || address >= table.size())
        return {};
    return table.mid(address, count);
}

void SimulatedModule::setCoilCount(int count) { resizeTable(m_coils, count); }
int SimulatedModule::coilCount() const { return lockedValue(m_coils).size(); }
void SimulatedModule::setCoil(int address, bool value) { setTableItems(m_coils, address, {quint8(value)}); }
bool SimulatedModule::coil(int address) const { return tableItem(m_coils, address); }
void SimulatedModule::setDiscreteInputCount(int count) { resizeTable(m_discreteInputs, count); }
int SimulatedModule::discreteInputCount() const { return lockedValue(m_discreteInputs).size(); }
void SimulatedModule::setDiscreteInput(int address, bool value)
{
    setTableItems(m_discreteInputs, address, {quint8(value)});
}
bool SimulatedModule::discreteInput(int address) const { return tableItem(m_discreteInputs, address); }
void SimulatedModule::setHoldingRegisterCount(int count) { resizeTable(m_holding, count); }
int SimulatedModule::holdingRegisterCount() const { return lockedValue(m_holding).size(); }
void SimulatedModule::setHoldingRegister(int address, quint16 value) { setTableItems(m_holding, address, {value}); }
quint16 SimulatedModule::holdingRegister(int address) const { return tableItem(m_holding, address); }
void SimulatedModule::setHoldingRegisters(int address, const QVector<quint16> &values)
{
    setTableItems(m_holding, address, values);
}
QVector<quint16> SimulatedModule::holdingRegisters(int address, int count) const
{
    return tableItems(m_holding, address, count);
}

void SimulatedModule::setInputRegisterCount(int count) { resizeTable(m_input, count); }
int SimulatedModule::inputRegisterCount() const { return lockedValue(m_input).size(); }
void SimulatedModule::setInputRegister(int address, quint16 value) { setTableItems(m_input, address, {value}); }
quint16 SimulatedModule::inputRegister(int address) const { return tableItem(m_input, address); }
void SimulatedModule::setInputRegisters(int address, const QVector<quint16> &values)
{
    setTableItems(m_input, address, values);
}
QVector<quint16> SimulatedModule::inputRegisters(int address, int count) const
{
    return tableItems(m_input, address, count);
}

void SimulatedModule::setFile(quint16 file, const QVector<quint16> &records)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_files.insert(file, records.mid(0, MaxFileRecords));
}

void SimulatedModule::setFileBytes(quint16 file, const QByteArray &bytes)
{
    QVector<quint16> records((bytes.size() + 1) / 2, 0);
    const quint8 *p = reinterpret_cast<const quint8 *>(bytes.constData());
    for (int i = 0; i < bytes.size(); ++i)
        records[i / 2] |= (i % 2 == 0) ? quint16(p[i] << 8) : quint16(p[i]);
    setFile(file, records);
}

QVector<quint16> SimulatedModule::file(quint16 file) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_files.value(file);
}

QByteArray SimulatedModule::fileBytes(quint16 file) const
{
    const QVector<quint16> records = this->file(file);
    QByteArray bytes;
    bytes.reserve(records.size() * 2);
    for (quint16 r : records)
        appendWord(bytes, r);
    return bytes;
}

bool SimulatedModule::hasFile(quint16 file) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_files.contains(file);
}

void SimulatedModule::removeFile(quint16 file)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_files.remove(file);
}

QByteArray SimulatedModule::makeTrunk(const QByteArray &data)
{
    QByteArray trunk;
    const int length = data.size() + 2;
    appendWord(trunk, quint16(length));
    trunk.append(data);
    appendCrc(trunk);
    if (trunk.size() % 2)
        trunk.append('\0');
    return trunk;
}

void SimulatedModule::storeTrunk(quint16 file, const QByteArray &data)
{
    setFileBytes(file, makeTrunk(data));
}

void SimulatedModule::setObject(quint8 id, const QByteArray &value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_objects.insert(id, value.left(255));  // the length is one byte
}

QByteArray SimulatedModule::object(quint8 id) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_objects.value(id);
}

void SimulatedModule::removeObject(quint8 id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_objects.remove(id);
}

void SimulatedModule::clearObjects()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_objects.clear();
}

void SimulatedModule::setObjectPageSize(int bytes) { setLockedValue(m_objectPageSize, qMax(1, bytes)); }
int SimulatedModule::objectPageSize() const { return lockedValue(m_objectPageSize); }
void SimulatedModule::setConformityLevel(quint8 level) { setLockedValue(m_conformity, level); }
void SimulatedModule::setExceptionStatus(quint8 status) { setLockedValue(m_exceptionStatus, status); }
void SimulatedModule::setBusyPolls(int polls) { setLockedValue(m_busyPolls, qMax(0, polls)); }
int SimulatedModule::busyPolls() const { return lockedValue(m_busyPolls); }
void SimulatedModule::setFinalStatusWord(quint16 status) { setLockedValue(m_finalStatus, status); }
quint16 SimulatedModule::finalStatusWord() const { return lockedValue(m_finalStatus); }
void SimulatedModule::setBusyTriggerRegister(int address) { setLockedValue(m_busyTrigger, address); }

void SimulatedModule::startBusy()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_busyRemaining = m_busyPolls;
}

bool SimulatedModule::isBusy() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_busyRemaining > 0;
}

quint16 SimulatedModule::eventCount() const { return lockedValue(m_eventCount); }
void SimulatedModule::setEventCount(quint16 count) { setLockedValue(m_eventCount, count); }
QByteArray SimulatedModule::eventLog() const { return lockedValue(m_eventLog); }
int SimulatedModule::restartCount() const { return lockedValue(m_restartCount); }
bool SimulatedModule::isInBootloader() const { return lockedValue(m_bootloader); }
void SimulatedModule::setInBootloader(bool on) { setLockedValue(m_bootloader, on); }
void SimulatedModule::setServerId(const QByteArray &id) { setLockedValue(m_serverId, id.left(250)); }
void SimulatedModule::setBootloaderInfo(const QByteArray &info) { setLockedValue(m_bootloaderInfo, info.left(250)); }

void SimulatedModule::setFlashPageSize(int bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_flashPageSize = qBound(2, bytes, 65536);
    m_flash.clear();
    m_flashWriteOffset.clear();
}

void SimulatedModule::setFlashPageCount(int pages) { setLockedValue(m_flashPageCount, qMax(1, pages)); }

QByteArray SimulatedModule::flashPage(quint32 page) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_flash.value(page, QByteArray(m_flashPageSize, char(0xFF)));
}

void SimulatedModule::setPassThroughResponder(const PassThroughResponder &responder)
{
    setLockedValue(m_passThrough, responder);
}

// --- answering requests -----------------------------------------------------------

void SimulatedModule::takeFault(SimulatedRequestContext &context)
{
    if (context.faultTaken)
        return;
    context.faultTaken = true;
    SimulatedFault fault;
    if (context.linkFaults && context.linkFaults->take(&fault))
        context.fault.merge(fault);
    if (m_faults.take(&fault))
        context.fault.merge(fault);
}

void SimulatedModule::appendException(QByteArray &reply, quint8 function, quint8 code) const
{
    reply.append(char(m_address));
    reply.append(char(function | 0x80));
    reply.append(char(code));
}

bool SimulatedModule::refuse(QByteArray &reply, quint8 function, quint8 code) const
{
    appendException(reply, function, code);
    return true;
}

bool SimulatedModule::respond(const quint8 *request, int size, QByteArray &reply,
                              SimulatedRequestContext &context)
{
    if (!m_responding || size < 2)
        return false;
    takeFault(context);

    if (request[1] == EncapsulatedInterface && size >= 3 && request[2] == MeiPassThrough) {
        // The responder runs without the lock, so it may use this module's accessors.
        PassThroughResponder responder;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            responder = m_passThrough;
            logEvent(EventReceived);
            ++m_messageCount;
            ++m_eventCount;
        }
        const QByteArray payload(reinterpret_cast<const char *>(request) + 3, size - 3);
        reply.append(char(m_address));
        reply.append(char(EncapsulatedInterface));
        reply.append(char(MeiPassThrough));
        reply.append(responder ? responder(payload) : payload);
        return true;
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    logEvent(EventReceived);
    ++m_messageCount;
    const int start = reply.size();
    const bool answered = respondLocked(request, size, reply, context.fault.extraItems);
    // Exception replies, polls of the counter and a restart (which clears it) are no events.
    const bool restarted = request[1] == Diagnostics && size >= 4 && word(request + 2) == DiagRestart;
    if (answered && reply.size() > start + 1 && !(quint8(reply.at(start + 1)) & 0x80)
        && request[1] != GetEventCounter && request[1] != GetEventLog && !restarted)
        ++m_eventCount;
    return answered;
}

bool SimulatedModule::respondLocked(const quint8 *request, int size, QByteArray &reply,
                                    int extraItems)
{
    const quint8 function = request[1];
    switch (function) {
    case ReadCoils:
        return readBits(m_coils, request, size, reply, extraItems);
    case ReadDiscreteInputs:
        return readBits(m_discreteInputs, request, size, reply, extraItems);
    case ReadHoldingRegisters:
        return readRegisters(m_holding, request, size, reply, extraItems);
    case ReadInputRegisters:
        return readRegisters(m_input, request, size, reply, extraItems);
    case WriteSingleCoil: {
        if (size != 6)
            break;
        const quint16 address = word(request + 2);
        const quint16 value = word(request + 4);
        if (value != CoilOn && value != CoilOff)
            break;
        if (address >= m_coils.size())
            return refuse(reply, function, IllegalDataAddress);
        m_coils[address] = value == CoilOn ? 1 : 0;
        reply.append(reinterpret_cast<const char *>(request), size);
        return true;
    }
    case WriteSingleRegister: {
        if (size != 6)
            break;
        const quint16 address = word(request + 2);
        if (address >= m_holding.size())
            return refuse(reply, function, IllegalDataAddress);
        m_holding[address] = word(request + 4);
        registersWritten(address, 1);
        reply.append(reinterpret_cast<const char *>(request), size);
        return true;
    }
    case ReadExceptionStatus:
        if (size != 2)
            break;
        reply.append(char(m_address));
        reply.append(char(function));
        reply.append(char(m_exceptionStatus));
        return true;
    case Diagnostics:
        return diagnostics(request, size, reply);
    case GetEventCounter:
        if (size != 2)
            break;
        reply.append(char(m_address));
        reply.append(char(function));
        if (m_busyRemaining > 0) {
            --m_busyRemaining;
            appendWord(reply, StatusBusy);
        } else {
            appendWord(reply, m_finalStatus);
        }
        appendWord(reply, m_eventCount);
        return true;
    case GetEventLog:
        if (size != 2)
            break;
        reply.append(char(m_address));
        reply.append(char(function));
        reply.append(char(6 + m_eventLog.size()));
        appendWord(reply, m_busyRemaining > 0 ? quint16(StatusBusy) : m_finalStatus);
        appendWord(reply, m_eventCount);
        appendWord(reply, m_messageCount);
        reply.append(m_eventLog);
        return true;
    case WriteMultipleCoils:
        return writeMultipleCoils(request, size, reply);
    case WriteMultipleRegisters:
        return writeMultipleRegisters(request, size, reply);
    case ReportServerId:
        if (size != 2)
            break;
        reply.append(char(m_address));
        reply.append(char(function));
        reply.append(char(m_serverId.size()));
        reply.append(m_serverId);
        return true;
    case ReadFileRecord:
        return readFileRecords(request, size, reply, extraItems);
    case WriteFileRecord:
        return writeFileRecords(request, size, reply);
    case EncapsulatedInterface:
        if (size >= 3 && request[2] == MeiReadDeviceId)
            return readDeviceId(request, size, reply);
        // Routing is a gateway's business; other interface types are not offered.
        return refuse(reply, function, IllegalFunction);
    case BootloaderInfo:
        if (size != 2)
            break;
        reply.append(char(m_address));
        reply.append(char(function));
        reply.append(char(m_bootloaderInfo.size()));
        reply.append(m_bootloaderInfo);
        return true;
    case EraseFlashPage:
    case ReadPageCrc:
    case WriteFlashPage:
        return flash(request, size, reply);
    default:
        return refuse(reply, function, IllegalFunction);
    }
    // A known function whose fields are inconsistent with the frame.
    return refuse(reply, function, IllegalDataValue);
}

bool SimulatedModule::acceptRun(const quint8 *request, int size, int maxCount, int tableSize, int (*dataBytes)(int),
                                QByteArray &reply, int *start, int *count) const
{
    // A read is start and count; a write adds the byte count and that many data bytes.
    const bool write = dataBytes != nullptr;
    const bool framed = write ? size >= 7 && size == 7 + request[6] : size == 6;
    *start = framed ? word(request + 2) : 0;
    *count = framed ? word(request + 4) : 0;
    if (*count == 0 || *count > maxCount || (write && request[6] != dataBytes(*count)))
        return !refuse(reply, request[1], IllegalDataValue);
    if (*start + *count > tableSize)
        return !refuse(reply, request[1], IllegalDataAddress);
    return true;
}

bool SimulatedModule::readBits(const QVector<quint8> &bits, const quint8 *request, int size,
                               QByteArray &reply, int extraItems)
{
    const quint8 function = request[1];
    int start = 0, count = 0;
    if (!acceptRun(request, size, MaxReadBits, bits.size(), nullptr, reply, &start, &count))
        return true;
    // The byte count is one byte: extra bits stop where it would overflow.
    const int sent = qMin(count + extraItems, 255 * 8);
    const int byteCount = (sent + 7) / 8;
    reply.append(char(m_address));
    reply.append(char(function));
    reply.append(char(byteCount));
    const int first = reply.size();
    reply.append(byteCount, '\0');
    char *out = reply.data() + first;
    for (int i = 0; i < sent; ++i) {
        if (start + i < bits.size() && bits.at(start + i))
            out[i / 8] |= char(1 << (i % 8));
    }
    return true;
}

bool SimulatedModule::readRegisters(const QVector<quint16> &registers, const quint8 *request,
                                    int size, QByteArray &reply, int extraItems)
{
    const quint8 function = request[1];
    int start = 0, count = 0;
    if (!acceptRun(request, size, MaxReadRegisters, registers.size(), nullptr, reply, &start, &count))
        return true;
    const int sent = qMin(count + extraItems, 127);
    reply.append(char(m_address));
    reply.append(char(function));
    reply.append(char(sent * 2));
    for (int i = 0; i < sent; ++i)
        appendWord(reply, start + i < registers.size() ? registers.at(start + i) : 0);
    return true;
}

bool SimulatedModule::writeMultipleCoils(const quint8 *request, int size, QByteArray &reply)
{
    int start = 0, count = 0;
    if (!acceptRun(request, size, MaxWriteBits, m_coils.size(), [](int n) { return (n + 7) / 8; }, reply, &start,
                   &count))
        return true;
    for (int i = 0; i < count; ++i)
        m_coils[start + i] = (request[7 + i / 8] >> (i % 8)) & 1;
    reply.append(reinterpret_cast<const char *>(request), 6);
    return true;
}

bool SimulatedModule::writeMultipleRegisters(const quint8 *request, int size, QByteArray &reply)
{
    int start = 0, count = 0;
    if (!acceptRun(request, size, MaxWriteRegisters, m_holding.size(), [](int n) { return 2 * n; }, reply, &start,
                   &count))
        return true;
    for (int i = 0; i < count; ++i)
        m_holding[start + i] = word(request + 7 + 2 * i);
    registersWritten(start, count);
    reply.append(reinterpret_cast<const char *>(request), 6);
    return true;
}

bool SimulatedModule::diagnostics(const quint8 *request, int size, QByteArray &reply)
{
    const quint8 function = request[1];
    if (size < 4)
        return refuse(reply, function, IllegalDataValue);
    const quint16 sub = word(request + 2);
    switch (sub) {
    case DiagReturnQuery:
        break;
    case DiagRestart: {
        const quint16 mode = size == 6 ? word(request + 4) : 1;
        if (mode != RestartClearLog && mode != RestartKeepLog && mode != RestartBootloader)
            return refuse(reply, function, IllegalDataValue);
        restart(mode);
        break;
    }
    case 2: case 3: case 10: case 11: case 12: case 13: case 14: case 15: case 16: case 17:
    case 18: case 20:
        // Counters and registers this simulation does not keep: answered as an echo.
        if (size != 6)
            return refuse(reply, function, IllegalDataValue);
        break;
    default:
        return refuse(reply, function, IllegalFunction);
    }
    reply.append(reinterpret_cast<const char *>(request), size);
    return true;
}

bool SimulatedModule::readFileRecords(const quint8 *request, int size, QByteArray &reply,
                                      int extraItems)
{
    const quint8 function = request[1];
    const int byteCount = size >= 3 ? request[2] : -1;
    if (byteCount < MinReadFileBytes || byteCount > MaxReadFileBytes || byteCount % 7 != 0
        || size != 3 + byteCount)
        return refuse(reply, function, IllegalDataValue);
    int requested = 0;
    for (const quint8 *sub = request + 3; sub < request + size; sub += 7) {
        const int length = word(sub + 5);
        if (sub[0] != FileReferenceType || !m_files.contains(word(sub + 1)))
            return refuse(reply, function, IllegalDataAddress);
        if (length == 0)
            return refuse(reply, function, IllegalDataValue);
        requested += 2 + 2 * length;
    }
    if (requested > MaxReadFileBytes)
        return refuse(reply, function, IllegalDataValue);

    reply.append(char(m_address));
    reply.append(char(function));
    const int countAt = reply.size();
    reply.append('\0');
    for (const quint8 *sub = request + 3; sub < request + size; sub += 7) {
        const QVector<quint16> &records = m_files[word(sub + 1)];
        const int record = word(sub + 3);
        const int length = word(sub + 5);
        // Past the end of the file only the records that exist are sent; a fault may add more.
        int sent = extraItems > 0 ? length + extraItems
                                  : qBound(0, records.size() - record, length);
        const int room = (255 - (reply.size() - countAt - 1) - 2) / 2;
        sent = qMax(0, qMin(sent, room));
        reply.append(char(1 + 2 * sent));
        reply.append(char(FileReferenceType));
        for (int i = 0; i < sent; ++i)
            appendWord(reply, record + i < records.size() ? records.at(record + i) : 0);
    }
    reply[countAt] = char(reply.size() - countAt - 1);
    return true;
}

bool SimulatedModule::writeFileRecords(const quint8 *request, int size, QByteArray &reply)
{
    const quint8 function = request[1];
    const int byteCount = size >= 3 ? request[2] : -1;
    if (byteCount < MinWriteFileBytes || byteCount > MaxWriteFileBytes || size != 3 + byteCount)
        return refuse(reply, function, IllegalDataValue);
    // Check every sub-request before writing any, so a bad one changes nothing.
    for (int pass = 0; pass < 2; ++pass) {
        const quint8 *sub = request + 3;
        while (sub < request + size) {
            if (request + size - sub < 7)
                return refuse(reply, function, IllegalDataValue);
            const int record = word(sub + 3);
            const int length = word(sub + 5);
            if (pass == 0) {
                if (length == 0 || request + size - sub < 7 + 2 * length)
                    return refuse(reply, function, IllegalDataValue);
                if (sub[0] != FileReferenceType || record + length > MaxFileRecords)
                    return refuse(reply, function, IllegalDataAddress);
            } else {
                QVector<quint16> &records = m_files[word(sub + 1)];
                if (records.size() < record + length)
                    records.resize(record + length);
                for (int i = 0; i < length; ++i)
                    records[record + i] = word(sub + 7 + 2 * i);
            }
            sub += 7 + 2 * length;
        }
    }
    reply.append(reinterpret_cast<const char *>(request), size);
    return true;
}

bool SimulatedModule::readDeviceId(const quint8 *request, int size, QByteArray &reply)
{
    const quint8 function = request[1];
    const int readCode = size == 5 ? request[3] : 0;
    if (readCode < 1 || readCode > 4)
        return refuse(reply, function, IllegalDataValue);
    const quint8 firstId = request[4];
    if (readCode == 4 && !m_objects.contains(firstId))
        return refuse(reply, function, IllegalDataAddress);
    reply.append(char(m_address));
    reply.append(char(function));
    reply.append(char(MeiReadDeviceId));
    reply.append(char(readCode));
    reply.append(char(m_conformity));
    const int pagingAt = reply.size();
    reply.append(3, '\0');  // more follows, next object id, number of objects

    int used = 0;
    int count = 0;
    for (auto it = m_objects.lowerBound(firstId); it != m_objects.end(); ++it) {
        const int cost = 2 + it.value().size();
        if (count > 0 && (used + cost > m_objectPageSize || readCode == 4)) {
            if (readCode != 4) {
                reply[pagingAt] = char(0xFF);
                reply[pagingAt + 1] = char(it.key());
            }
            break;
        }
        reply.append(char(it.key()));
        reply.append(char(it.value().size()));
        reply.append(it.value());
        used += cost;
        ++count;
    }
    reply[pagingAt + 2] = char(count);
    return true;
}

bool SimulatedModule::flash(const quint8 *request, int size, QByteArray &reply)
{
    const quint8 function = request[1];
    if (function == ReadPageCrc) {
        if (size != 2)
            return refuse(reply, function, IllegalDataValue);
        const QByteArray &page = flashPageLocked(m_currentPage);
        reply.append(char(m_address));
        reply.append(char(function));
        appendWord(reply, crc16(page.constData(), page.size()));
        return true;
    }
    if (size != 8)
        return refuse(reply, function, IllegalDataValue);
    const quint32 page = dword(request + 2);
    if (function == EraseFlashPage && (request[6] != EraseKey1 || request[7] != EraseKey2))
        return refuse(reply, function, IllegalDataValue);
    if (page >= quint32(m_flashPageCount))
        return refuse(reply, function, IllegalDataAddress);
    QByteArray &bytes = flashPageLocked(page);
    if (function == EraseFlashPage) {
        bytes.fill(char(0xFF));
        m_flashWriteOffset.insert(page, 0);
    } else {
        // Programming goes word by word from the start of the page.
        int &offset = m_flashWriteOffset[page];
        if (offset + 2 > bytes.size())
            return refuse(reply, function, IllegalDataValue);
        bytes[offset] = char(request[6]);
        bytes[offset + 1] = char(request[7]);
        offset += 2;
    }
    m_currentPage = page;
    reply.append(char(m_address));
    reply.append(char(function));
    appendDword(reply, page);
    return true;
}

QByteArray &SimulatedModule::flashPageLocked(quint32 page)
{
    auto it = m_flash.find(page);
    if (it == m_flash.end())
        it = m_flash.insert(page, QByteArray(m_flashPageSize, char(0xFF)));
    return it.value();
}

void SimulatedModule::restart(quint16 mode)
{
    ++m_restartCount;
    m_eventCount = 0;
    m_messageCount = 0;
    if (mode == RestartClearLog)
        m_eventLog.clear();
    logEvent(EventRestart);
    m_bootloader = mode == RestartBootloader;
    m_busyRemaining = m_busyPolls;
}

void SimulatedModule::logEvent(quint8 event)
{
    m_eventLog.prepend(char(event));
    if (m_eventLog.size() > EventLogSize)
        m_eventLog.chop(m_eventLog.size() - EventLogSize);
}

void SimulatedModule::registersWritten(int first, int count)
{
    if (m_busyTrigger >= first && m_busyTrigger < first + count)
        m_busyRemaining = m_busyPolls;
}
