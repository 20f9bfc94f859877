// The asynchronous twins of the module operations: each queues the blocking operation on
// the line's worker, on a copy of the module as it is at the call.
#include "abstractdevicemodule.h"

#include "lineworker_p.h"
#include "modulereply.h"
#include "qvlogging.h"

namespace Modbus {

namespace {

using Run = std::function<void(const AbstractDeviceModule &, AsyncRequest &)>;

ModuleReply *queue(const AbstractDeviceModule &module, Run run)
{
    AbstractDeviceModule copy(module);
    // The worker runs no event loop.
    copy.setProcessEvents(false);
    return AsyncRequest::submit(module.client(),
                                [copy, run](AsyncRequest &request) { run(copy, request); });
}

// A write whose data cannot be what it names: nothing is sent, the reply ends with
// WriteError in its turn, and a warning says why.
ModuleReply *refused(const AbstractDeviceModule &module, const char *operation, const char *why, int size)
{
    qCWarning(qvLink, "(AbstractDeviceModule::%s) %s", operation, qPrintable(QString::asprintf(why, size)));
    return queue(module, [](const AbstractDeviceModule &, AsyncRequest &r) { r.status = ModuleStatus::WriteError; });
}

// A run of count items of itemBytes(n) bytes read into the reply's data.
ModuleReply *readRun(const AbstractDeviceModule &module, unsigned short address, unsigned short count, bool bits,
                     int (AbstractDeviceModule::*read)(unsigned short, unsigned short, void *, ModuleStatus *) const)
{
    return queue(module, [=](const AbstractDeviceModule &m, AsyncRequest &r) {
        const auto bytes = [bits](int n) { return bits ? (n + 7) / 8 : 2 * n; };
        r.data.resize(bytes(count));
        r.count = (m.*read)(address, count, r.data.data(), &r.status);
        r.data.resize(bytes(qMax(0, r.count)));
    });
}

// One operation of one exchange (or a poll): count 1 when it succeeded.
ModuleReply *single(const AbstractDeviceModule &module, std::function<ModuleStatus(const AbstractDeviceModule &, QByteArray &)> run)
{
    return queue(module, [run](const AbstractDeviceModule &m, AsyncRequest &r) {
        r.status = run(m, r.data);
        r.count = r.status ? 1 : 0;
    });
}

} // namespace

ModuleReply *AbstractDeviceModule::readBitAsync(unsigned short address, unsigned short count) const
{
    return readRun(*this, address, count, true, &AbstractDeviceModule::readBit);
}

ModuleReply *AbstractDeviceModule::readRoBitAsync(unsigned short address, unsigned short count) const
{
    return readRun(*this, address, count, true, &AbstractDeviceModule::readRoBit);
}

ModuleReply *AbstractDeviceModule::readWordAsync(unsigned short address, unsigned short count) const
{
    return readRun(*this, address, count, false, &AbstractDeviceModule::readWord);
}

ModuleReply *AbstractDeviceModule::readRoWordAsync(unsigned short address, unsigned short count) const
{
    return readRun(*this, address, count, false, &AbstractDeviceModule::readRoWord);
}

ModuleReply *AbstractDeviceModule::readFileAsync(unsigned short file, unsigned short record, unsigned short count) const
{
    return queue(*this, [=](const AbstractDeviceModule &m, AsyncRequest &r) {
        r.data.resize(2 * count);
        r.count = m.readFile(file, record, count, r.data.data(), &r.status);
        r.data.resize(2 * qMax(0, r.count));
    });
}

ModuleReply *AbstractDeviceModule::writeBitAsync(unsigned short address, unsigned short count, const QByteArray &bits) const
{
    if (bits.size() < (count + 7) / 8)
        return refused(*this, "writeBitAsync", "%d bytes hold fewer than the bits to write", bits.size());
    return queue(*this, [=](const AbstractDeviceModule &m, AsyncRequest &r) {
        r.count = m.writeBit(address, count, bits.constData(), &r.status);
    });
}

ModuleReply *AbstractDeviceModule::writeWordAsync(unsigned short address, const QByteArray &words) const
{
    if (words.size() % 2 || words.size() / 2 > 0xFFFF)
        return refused(*this, "writeWordAsync", "%d bytes are no whole run of registers", words.size());
    const unsigned short count = (unsigned short)(words.size() / 2);
    return queue(*this, [=](const AbstractDeviceModule &m, AsyncRequest &r) {
        r.count = m.writeWord(address, count, words.constData(), &r.status);
    });
}

ModuleReply *AbstractDeviceModule::writeFileAsync(unsigned short file, unsigned short record, const QByteArray &records) const
{
    if (records.size() % 2 || records.size() / 2 > 0xFFFF)
        return refused(*this, "writeFileAsync", "%d bytes are no whole run of records", records.size());
    const unsigned short count = (unsigned short)(records.size() / 2);
    return queue(*this, [=](const AbstractDeviceModule &m, AsyncRequest &r) {
        r.count = m.writeFile(file, record, count, records.constData(), &r.status);
    });
}

ModuleReply *AbstractDeviceModule::readTrunkAsync(unsigned short file) const
{
    return queue(*this, [file](const AbstractDeviceModule &m, AsyncRequest &r) {
        r.data = m.readTrunk(file, &r.status);
        r.count = r.data.size();
    });
}

ModuleReply *AbstractDeviceModule::readObjectAsync(int objectId) const
{
    return queue(*this, [objectId](const AbstractDeviceModule &m, AsyncRequest &r) {
        r.status = m.readObject(objectId, r.data);
        r.count = r.data.size();
    });
}

ModuleReply *AbstractDeviceModule::readEventCountAsync() const
{
    return single(*this, [](const AbstractDeviceModule &m, QByteArray &data) {
        quint16 word = 0, events = 0;
        const ModuleStatus status = m.readEventCount(&word, &events);
        if (status)
            data = QByteArray(1, char(word >> 8)) + char(word & 0xFF) + char(events >> 8) + char(events & 0xFF);
        return status;
    });
}

ModuleReply *AbstractDeviceModule::waitAsync(int maxPolls) const
{
    return queue(*this, [maxPolls](const AbstractDeviceModule &m, AsyncRequest &r) {
        quint16 word = 0;
        r.status = m.wait(&word, maxPolls);
        r.data = QByteArray(1, char(word >> 8)) + char(word & 0xFF);
        r.count = r.status ? 1 : 0;
    });
}

ModuleReply *AbstractDeviceModule::restartAsync(bool clearEventLog) const
{
    return single(*this, [clearEventLog](const AbstractDeviceModule &m, QByteArray &) { return m.restart(clearEventLog); });
}

ModuleReply *AbstractDeviceModule::enterBootloaderModeAsync() const
{
    return single(*this, [](const AbstractDeviceModule &m, QByteArray &) { return m.enterBootloaderMode(); });
}

ModuleReply *AbstractDeviceModule::transmitAsync(const QByteArray &data) const
{
    return queue(*this, [data](const AbstractDeviceModule &m, AsyncRequest &r) {
        r.data = m.transmit(data.constData(), data.size(), &r.status);
        r.count = r.data.size();
    });
}

} // namespace Modbus
