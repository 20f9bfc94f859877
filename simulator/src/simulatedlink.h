#ifndef SIMULATEDLINK_H
#define SIMULATEDLINK_H

#include "simulatedchaos.h"
#include "simulatedfaultplan.h"
#include "simulatedmodulemap.h"

#include <QByteArray>
#include <QList>
#include <mutex>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class SimulatedModule;
class SimulatedGateway;

// One reply as it is to leave the simulator: the bytes (checksum and byte faults
// applied; empty when nothing is sent) and how they are to be timed.
struct SimulatedReply
{
    QByteArray bytes;
    int delayMs = 0;
    int pieces = 1;
    int pieceDelayMs = 0;
    bool hangUp = false;  // close the line once the bytes are out

    // What a chaos schedule sends instead: each part (the reply, a copy of it, a frame
    // nobody asked for, noise) leaves atMs after the request, a byte every dripMs when
    // that is above 0. Empty: bytes leave as timed above.
    struct Part
    {
        int atMs = 0;
        QByteArray bytes;
        int dripMs = 0;
    };
    QVector<Part> parts;
};

// The bus: the modules attached to it (each possibly a gateway with more behind it),
// faults that hit every reply, and the log of every request frame received.
// handleFrame() is the whole request-to-reply logic, free of any I/O; the transports
// call it with each frame they cut from their byte stream. Thread-safe.
class SimulatedLink
{
public:
    SimulatedLink();
    ~SimulatedLink();
    SimulatedLink(const SimulatedLink &) = delete;
    SimulatedLink &operator=(const SimulatedLink &) = delete;

    SimulatedModule *addModule(quint8 address) { return m_modules.addModule(address); }
    SimulatedGateway *addGateway(quint8 address) { return m_modules.addGateway(address); }
    bool removeModule(quint8 address) { return m_modules.remove(address); }
    void clear() { m_modules.clear(); }
    bool hasModule(quint8 address) const { return m_modules.contains(address); }
    QList<quint8> moduleAddresses() const { return m_modules.addresses(); }

    SimulatedModule *module(quint8 address) const;
    // A route path as the host writes it: "1/5/3" is module 3 behind 5 behind 1.
    SimulatedModule *module(const QString &path) const;
    SimulatedGateway *gateway(const QString &path) const;

    SimulatedFaultPlan &faults() { return m_faults; }

    // From now on every reply may get a fault drawn at random (see SimulatedChaos), on
    // top of the planned ones; a rate of 0 or less switches the schedule off. Call it
    // while no request is being answered.
    void setChaos(quint32 seed, double rate, int timeoutMs = 100);
    // The schedule in effect, null when none.
    const SimulatedChaos *chaos() const { return m_chaos.get(); }

    // Every frame received, checksum included, oldest first. The log keeps the latest
    // `limit` frames (10000 at first; 0 keeps none); requestCount() counts them all.
    QList<QByteArray> requests() const;
    QByteArray lastRequest() const;
    int requestCount() const;
    void clearRequests();
    void setRequestLogLimit(int limit);

    // Answers one complete request frame (checksum included). Returns false, with the
    // reply's bytes empty, when nothing is to be done: a bad checksum, no module at the
    // address, a silent module or a dropped reply. A hang-up is something to do, with
    // or without bytes before it.
    bool handleFrame(const char *frame, int size, SimulatedReply *reply);
    // The same for a test: the bytes that would be sent, timing ignored.
    QByteArray reply(const QByteArray &request);

    // Told of every frame handleFrame() answers or ignores, with the reply that
    // leaves for it (no bytes: none). Set it before serving; it runs on the
    // serving thread.
    using Observer = std::function<void(const QByteArray &request, const SimulatedReply &reply)>;
    void setObserver(Observer observer) { m_observer = std::move(observer); }

private:
    bool answer(const char *frame, int size, SimulatedReply *reply);
    static void misroute(const quint8 *request, int size, QByteArray &reply);

    SimulatedModuleMap m_modules;
    Observer m_observer;
    SimulatedFaultPlan m_faults;
    std::unique_ptr<SimulatedChaos> m_chaos;
    mutable std::mutex m_logMutex;
    QList<QByteArray> m_log;
    int m_logLimit = 10000;
    int m_requestCount = 0;
};

#endif // SIMULATEDLINK_H
