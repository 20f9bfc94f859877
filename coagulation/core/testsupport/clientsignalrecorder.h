#ifndef CLIENTSIGNALRECORDER_H
#define CLIENTSIGNALRECORDER_H

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QMutex>
#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QStringList>

class ModbusClient;

// Records the three signals of a ModbusClient in the order they were emitted,
// connected directly (so from whichever thread makes the exchange).
class ClientSignalRecorder : public QObject
{
    Q_OBJECT
public:
    enum Kind { Written, Read, Status };
    struct Event
    {
        Kind kind;
        int code;         // messageRead's status or statusCodeChanged's code; 0 for Written
        int channel;      // statusCodeChanged only
        QString detail;   // statusCodeChanged only
        QByteArray bytes; // messageWritten and messageRead
    };

    explicit ClientSignalRecorder(ModbusClient *client, QObject *parent = nullptr);

    QList<Event> events() const;
    int count(Kind kind) const;
    // "W R S W R S ..." with the codes of R and S, e.g. "W S:80000001 R:80000001".
    QString trace() const;
    void clear();

private:
    void record(const Event &event);

    mutable QMutex m_mutex;
    QList<Event> m_events;
};

#endif // CLIENTSIGNALRECORDER_H
