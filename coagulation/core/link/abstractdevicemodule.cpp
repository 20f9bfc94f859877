#include "abstractdevicemodule.h"

#include "messagebuilder.h"
#include "modbusclient.h"
#include "qvlogging.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QStringList>
#include <QtCore/QThread>

#include <cstring>

namespace Modbus {

namespace {

// One exchange, classified: a communication error as the client returned it; an
// exception when the reply is one, or when fewer route prefixes came back than the
// path has (a gateway answered in place of the target). The route is removed from
// the reply either way, so an exception names the module that answered.
ModuleStatus exchange(ModbusClient *client, MessageBuilder &builder)
{
    if (!client)
        return ModuleStatus::NotOpenError;
    const int result = client->talk(builder);
    if (result < 0)
        return ModuleStatus(result);
    ModuleStatus status;
    if (builder.discardRoute() != builder.gateCount() || builder.isExceptionResponse())
        status.setException(builder.buffer());
    return status;
}

// The data bytes at the reader's position.
const char *dataAt(const MessageBuilder &builder)
{
    return builder.buffer().constData() + builder.pos();
}

// The head of a file reply with one sub-response: the byte count, the sub-response's
// length S (reference type and records), the reference type. False when the reply is
// not one; the reader then stands at the records.
bool readFileReplyHead(MessageBuilder &builder, int *subLength)
{
    if (!builder.seekToData() || !builder.checkDataSize())
        return false;
    quint8 length = 0, referenceType = 0;
    builder >> length;
    if (length != builder.left())
        return false;
    builder >> referenceType;
    *subLength = length;
    return builder.status() == QDataStream::Ok && referenceType == FileReferenceType;
}

// A reply whose data length does not fit its request: warned about, and the chunk asked
// for again, a few times only, so that a module that keeps answering the wrong length
// cannot hold the caller forever. False when the chunk is given up.
bool retryMisfit(const char *operation, int expected, const char *unit, int actual, int *misfits,
                 ModuleStatus &status)
{
    status = ModuleStatus::InvalidReplyError;
    qCWarning(qvLink, "(AbstractDeviceModule::%s) Reply doesn't match request, expect %d %s, actual: %d", operation,
              expected, unit, actual);
    return ++*misfits < AbstractDeviceModule::ChunkAttempts;
}

} // namespace

AbstractDeviceModule::AbstractDeviceModule(const QString &path, ModbusClient *client)
    : m_path(path), m_client(client), m_processEvents(false)
{
}

AbstractDeviceModule::AbstractDeviceModule(const AbstractDeviceModule &other) = default;
AbstractDeviceModule &AbstractDeviceModule::operator=(const AbstractDeviceModule &other) = default;
AbstractDeviceModule::~AbstractDeviceModule() = default;

QString AbstractDeviceModule::path() const
{
    return m_path;
}

void AbstractDeviceModule::setPath(const QString &path)
{
    m_path = path;
}

ModbusClient *AbstractDeviceModule::client() const
{
    return m_client;
}

bool AbstractDeviceModule::processEvents() const
{
    return m_processEvents;
}

void AbstractDeviceModule::setProcessEvents(bool enabled)
{
    m_processEvents = enabled;
}

// The run operations: which request each chunk makes and what comes back. Bits are
// counted in bytes of ceil(n / 8), registers in pairs of bytes.
struct AbstractDeviceModule::Run
{
    const char *name;
    MessageBuilder &(MessageBuilder::*request)(unsigned short address, unsigned short count);
    bool bits;
    bool write;
};

const AbstractDeviceModule::Run AbstractDeviceModule::ReadCoilRun = { "readBit", &MessageBuilder::readRwBit, true, false };
const AbstractDeviceModule::Run AbstractDeviceModule::ReadInputRun = { "readRoBit", &MessageBuilder::readRoBit, true, false };
const AbstractDeviceModule::Run AbstractDeviceModule::ReadRegisterRun = { "readWord", &MessageBuilder::readWord, false, false };
const AbstractDeviceModule::Run AbstractDeviceModule::ReadInputRegisterRun = { "readRoWord", &MessageBuilder::readRoWord, false, false };
const AbstractDeviceModule::Run AbstractDeviceModule::WriteCoilRun = { "writeBit", &MessageBuilder::beginWriteBit, true, true };
const AbstractDeviceModule::Run AbstractDeviceModule::WriteRegisterRun = { "writeWord", &MessageBuilder::beginWriteWord, false, true };

int AbstractDeviceModule::transferRun(const Run &run, unsigned short address, unsigned short count, char *readInto,
                                      const char *writeFrom, ModuleStatus *status) const
{
    ModuleStatus local;
    ModuleStatus &st = status ? *status : local;
    const int limit = chunkLimit(run.name, address, count, run.bits, st);
    int total = 0;
    int misfits = 0;
    while (total < count && limit > 0) {
        const int n = qMin(count - total, limit);
        const int bytes = run.bits ? (n + 7) / 8 : 2 * n;
        // Every bit chunk but the last is whole bytes, so chunks meet on byte boundaries.
        const int offset = run.bits ? total / 8 : 2 * total;
        MessageBuilder builder(m_path);
        (builder.*run.request)((unsigned short)(address + total), (unsigned short)n);
        if (run.write)
            builder.writeRawData(writeFrom + offset, bytes);
        st = exchange(m_client, builder);
        if (!st)
            break;
        if (!run.write) {
            if (!builder.seekToData() || !builder.checkDataSize()) {
                st = ModuleStatus::InvalidReplyError;
                break;
            }
            const int expected = run.bits ? bytes : n;
            const int actual = run.bits ? builder.left() : builder.left() / 2;
            if (actual != expected) {
                if (!retryMisfit(run.name, expected, run.bits ? "bytes" : "records", actual, &misfits, st))
                    break;
                continue;
            }
            misfits = 0;
            std::memcpy(readInto + offset, dataAt(builder), size_t(bytes));
        }
        total += n;
    }
    return total;
}

int AbstractDeviceModule::chunkLimit(const char *operation, unsigned short address, unsigned short count, bool bits,
                                     ModuleStatus &status) const
{
    if (count == 0)
        return 0;
    // A run past address 0xFFFF would wrap to address 0 on the wire: it is refused before
    // any exchange.
    if (int(address) + int(count) > 0x10000) {
        qCWarning(qvLink, "(AbstractDeviceModule::%s) %d items from %d would go past 65535", operation, int(count),
                  int(address));
        status = ModuleStatus::WriteError;
        return 0;
    }
    const int hops = hopCount(m_path);
    const int limit = bits ? bitChunkLimit(hops) : wordChunkLimit(hops);
    // Past MaxHops a frame has no room for data.
    if (limit <= 0)
        status = ModuleStatus::InvalidReplyError;
    return qMax(0, limit);
}

int AbstractDeviceModule::readBit(unsigned short address, unsigned short count, void *bits,
                                  ModuleStatus *status) const
{
    return transferRun(ReadCoilRun, address, count, static_cast<char *>(bits), nullptr, status);
}

int AbstractDeviceModule::readRoBit(unsigned short address, unsigned short count, void *bits,
                                    ModuleStatus *status) const
{
    return transferRun(ReadInputRun, address, count, static_cast<char *>(bits), nullptr, status);
}

int AbstractDeviceModule::readWord(unsigned short address, unsigned short count, void *words,
                                   ModuleStatus *status) const
{
    return transferRun(ReadRegisterRun, address, count, static_cast<char *>(words), nullptr, status);
}

int AbstractDeviceModule::readRoWord(unsigned short address, unsigned short count, void *words,
                                     ModuleStatus *status) const
{
    return transferRun(ReadInputRegisterRun, address, count, static_cast<char *>(words), nullptr, status);
}

int AbstractDeviceModule::writeBit(unsigned short address, unsigned short count, const void *bits,
                                   ModuleStatus *status) const
{
    return transferRun(WriteCoilRun, address, count, nullptr, static_cast<const char *>(bits), status);
}

int AbstractDeviceModule::writeWord(unsigned short address, unsigned short count, const void *words,
                                    ModuleStatus *status) const
{
    return transferRun(WriteRegisterRun, address, count, nullptr, static_cast<const char *>(words), status);
}

bool AbstractDeviceModule::getBit(unsigned short address, ModuleStatus *status) const
{
    unsigned char byte = 0;
    return readBit(address, 1, &byte, status) == 1 && (byte & 1);
}

bool AbstractDeviceModule::getRoBit(unsigned short address, ModuleStatus *status) const
{
    unsigned char byte = 0;
    return readRoBit(address, 1, &byte, status) == 1 && (byte & 1);
}

ModuleStatus AbstractDeviceModule::setBit(unsigned short address, bool value) const
{
    ModuleStatus status;
    const unsigned char byte = value ? 1 : 0;
    writeBit(address, 1, &byte, &status);
    return status;
}

ModuleStatus AbstractDeviceModule::talk(MessageBuilder &builder) const
{
    return exchange(m_client, builder);
}

int AbstractDeviceModule::talk(char *reply, int capacity, const char *request, int length) const
{
    if (!m_client)
        return ModuleStatus::NotOpenError;
    return m_client->talk(reply, capacity, request, length);
}

int AbstractDeviceModule::globalStatus(int code) const
{
    const QStringList parts = modulePathElements(m_path);
    static const int shifts[] = { 12, 8, 4, 0 };
    for (int i = 1; i < parts.size() && i <= 4; ++i)
        code |= int(uint(parts.at(i).toInt(nullptr, 10)) << shifts[i - 1]);
    return code;
}

int AbstractDeviceModule::readFile(unsigned short file, unsigned short record, unsigned short count,
                                   void *buffer, ModuleStatus *status) const
{
    ModuleStatus local;
    ModuleStatus &st = status ? *status : local;
    const int limit = chunkLimit("readFile", record, count, false, st);
    char *out = static_cast<char *>(buffer);
    int total = 0;
    int misfits = 0;
    while (total < count && limit > 0) {
        const int n = qMin(count - total, limit);
        MessageBuilder builder(m_path);
        builder.beginReadFile(1).appendReadFile(file, (unsigned short)(record + total), n);
        st = exchange(m_client, builder);
        if (!st)
            break;
        int subLength = 0;
        if (!readFileReplyHead(builder, &subLength)) {
            st = ModuleStatus::InvalidReplyError;
            break;
        }
        const int m = (subLength - 1) / 2;
        if (m > n) {
            if (!retryMisfit("readFile", n, "records", m, &misfits, st))
                break;
            continue;
        }
        misfits = 0;
        std::memcpy(out + 2 * total, dataAt(builder), size_t(2 * m));
        total += m;
        // Fewer records than asked: the file has ended.
        if (m < n)
            break;
    }
    return total;
}

int AbstractDeviceModule::writeFile(unsigned short file, unsigned short record, unsigned short count,
                                    const void *buffer, ModuleStatus *status) const
{
    ModuleStatus local;
    ModuleStatus &st = status ? *status : local;
    const int limit = chunkLimit("writeFile", record, count, false, st);
    if (limit <= 0)
        return 0;
    // The chunks of one file write go out with nobody else's exchange between them.
    const ModbusClient::TransportLock hold(m_client);
    const char *in = static_cast<const char *>(buffer);
    int total = 0;
    while (total < count) {
        const int n = qMin(count - total, limit);
        MessageBuilder builder(m_path);
        builder.beginWriteFile(file, (unsigned short)(record + total), n);
        builder.writeRawData(in + 2 * total, 2 * n);
        st = exchange(m_client, builder);
        if (!st)
            break;
        // The module's echo; nothing in it is examined beyond its byte count.
        if (!builder.seekToData() || !builder.checkDataSize()) {
            st = ModuleStatus::InvalidReplyError;
            break;
        }
        total += n;
    }
    return total;
}

QByteArray AbstractDeviceModule::readTrunk(unsigned short file, ModuleStatus *status) const
{
    // Length word L (counting itself), data, then the crc16 of those L bytes.
    enum { TrunkCapacity = MaxTrunkSize };
    ModuleStatus local;
    ModuleStatus &st = status ? *status : local;

    // Zeroed, so that nothing the module did not send can ever be returned.
    QByteArray work(TrunkCapacity, '\0');
    unsigned char *data = reinterpret_cast<unsigned char *>(work.data());
    if (readFile(file, 0, 1, data, &st) != 1) {
        // A file without even its length record is not a trunk.
        if (st)
            st = ModuleStatus::InvalidReplyError;
        return QByteArray();
    }
    const int length = data[0] * 256 + data[1];
    // Too long for the buffer, shorter than its own length word, or odd (its second
    // checksum byte would lie beyond the records read): a broken block.
    if (length + 2 > TrunkCapacity || length < 2 || (length & 1))
        return QByteArray(2, '\0');
    const int records = length / 2;
    if (readFile(file, 1, (unsigned short)records, data + 2, &st) != records) {
        // The file ended before the block did.
        if (st)
            st = ModuleStatus::InvalidReplyError;
        return QByteArray();
    }
    const unsigned short stored = (unsigned short)(data[length] * 256 + data[length + 1]);
    if (crc16(data, length) != stored)
        return QByteArray(2, '\0');
    work.truncate(length + 2);
    return work;
}

ModuleStatus AbstractDeviceModule::readObject(int objectId, QByteArray &value) const
{
    // Continuation pages are requested from the reply's next object id, but their
    // objects are matched against the id the caller asked for: another object's value
    // is never the answer.
    const quint8 wanted = quint8(objectId & 0xFF);
    quint8 requested = wanted;
    for (int page = 0; page < ObjectPageLimit; ++page) {
        MessageBuilder builder(m_path);
        builder.readObject(requested);
        const ModuleStatus status = exchange(m_client, builder);
        if (!status)
            return status;
        if (!builder.seekToData())
            return ModuleStatus::InvalidReplyError;
        // MEI type, read code, conformity level; then more-follows, next id, object count.
        builder.skipRawData(3);
        quint8 moreFollows = 0, nextId = 0, objects = 0;
        builder >> moreFollows >> nextId >> objects;
        if (builder.status() != QDataStream::Ok)
            return ModuleStatus::InvalidReplyError;
        for (int i = 0; i < objects; ++i) {
            quint8 id = 0, length = 0;
            builder >> id >> length;
            if (builder.status() != QDataStream::Ok)
                break;
            if (id == wanted) {
                value = QByteArray(dataAt(builder), qMin(int(length), builder.left()));
                return ModuleStatus();
            }
            builder.skipRawData(length);
        }
        if (moreFollows == 0)
            return ModuleStatus();
        requested = nextId;
    }
    return ModuleStatus::InvalidReplyError;
}

ModuleStatus AbstractDeviceModule::readEventCount(quint16 *statusWord, quint16 *eventCount) const
{
    MessageBuilder builder(m_path);
    builder.readEventCount();
    const ModuleStatus status = exchange(m_client, builder);
    if (!status)
        return status;
    // Address, function, status word, event count.
    if (builder.size() < 6)
        return ModuleStatus::InvalidReplyError;
    builder.seekToData();
    quint16 word = 0, events = 0;
    builder >> word >> events;
    if (statusWord)
        *statusWord = word;
    if (eventCount)
        *eventCount = events;
    return ModuleStatus();
}

ModuleStatus AbstractDeviceModule::wait(quint16 *statusWord) const
{
    return wait(statusWord, 0);
}

ModuleStatus AbstractDeviceModule::wait(quint16 *statusWord, int maxPolls) const
{
    quint16 local = 0;
    quint16 &word = statusWord ? *statusWord : local;
    const QCoreApplication *app = QCoreApplication::instance();
    const bool pump = m_processEvents && app && QThread::currentThread() == app->thread();
    for (int polls = 1;; ++polls) {
        const ModuleStatus status = readEventCount(&word, nullptr);
        if (!status)
            return status;
        if (word != BusyStatusWord)
            return ModuleStatus(int(word));
        if (maxPolls > 0 && polls >= maxPolls)
            return ModuleStatus(int(BusyStatusWord));
        if (pump)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

ModuleStatus AbstractDeviceModule::restart(bool clearEventLog) const
{
    MessageBuilder builder(m_path);
    builder.restart(clearEventLog);
    return exchange(m_client, builder);
}

ModuleStatus AbstractDeviceModule::enterBootloaderMode() const
{
    MessageBuilder builder(m_path);
    builder.enterBootloaderMode();
    return exchange(m_client, builder);
}

QByteArray AbstractDeviceModule::transmit(const char *data, int length, ModuleStatus *status) const
{
    ModuleStatus local;
    ModuleStatus &st = status ? *status : local;
    MessageBuilder builder(m_path);
    builder.encapsulate();
    if (data && length > 0)
        builder.writeRawData(data, length);
    st = exchange(m_client, builder);
    const QByteArray &reply = builder.buffer();
    // Address, 0x2B, 0x0D, then the payload.
    if (!st || reply.size() < 4 || quint8(reply.at(1)) != EncapsulatedInterface
        || quint8(reply.at(2)) != EncapsulateMei)
        return QByteArray();
    return reply.mid(3);
}

} // namespace Modbus
