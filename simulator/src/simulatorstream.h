#ifndef SIMULATORSTREAM_H
#define SIMULATORSTREAM_H

#include "simulatedframer.h"
#include "simulatedlink.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QSocketNotifier;
class QTcpSocket;

// One byte stream into the simulator (a TCP connection or the pseudo-terminal): cuts
// requests out of what arrives, lets the link answer them and sends the replies with
// their timing faults. Subclasses only move bytes.
class SimulatorStream : public QObject
{
    Q_OBJECT
public:
    explicit SimulatorStream(SimulatedLink *link, QObject *parent = nullptr);
    ~SimulatorStream() override;

signals:
    // A request frame cut from the stream (checksum included), before it is answered.
    void requestReceived(const QByteArray &frame);
    // A reply as it went out, once its last byte was sent (delays and pieces included).
    void replySent(const QByteArray &reply);

protected:
    void received(const char *data, int size);
    virtual void send(const char *data, int size) = 0;
    // Closes the line from this end, as a module that goes away mid-reply.
    virtual void hangUp() = 0;

private:
    void process();
    void lineQuiet();
    void answer(const char *frame, int size);
    void sendParts();
    // Sends bytes after delayMs; the piece that ends a reply carries the whole reply,
    // and whether the line is then closed.
    void schedule(int delayMs, const QByteArray &bytes, const QByteArray &wholeReply, bool thenHangUp);

    SimulatedLink *m_link;
    SimulatedFramer m_framer;
    QTimer m_quietTimer;
    QElapsedTimer m_lastArrival;
    SimulatedReply m_reply;
    bool m_hungUp = false;
};

class SimulatorTcpStream : public SimulatorStream
{
    Q_OBJECT
public:
    SimulatorTcpStream(SimulatedLink *link, QTcpSocket *socket, QObject *parent = nullptr);

protected:
    void send(const char *data, int size) override;
    void hangUp() override;

private:
    void readSocket();

    QTcpSocket *m_socket;
};

// The master side of a pseudo-terminal; the client opens the slave as a serial port.
class SimulatorPtyStream : public SimulatorStream
{
    Q_OBJECT
public:
    SimulatorPtyStream(SimulatedLink *link, int masterFd, QObject *parent = nullptr);
    ~SimulatorPtyStream() override;

signals:
    // The stream hung up: whoever owns the pseudo-terminal closes it.
    void hungUp();

protected:
    void send(const char *data, int size) override;
    void hangUp() override;

private:
    void readMaster();
    void writePending();

    int m_fd;
    QSocketNotifier *m_readNotifier;
    QSocketNotifier *m_writeNotifier;
    QByteArray m_pending;
};

#endif // SIMULATORSTREAM_H
