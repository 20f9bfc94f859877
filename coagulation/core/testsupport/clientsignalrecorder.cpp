#include "clientsignalrecorder.h"

#include <modbusclient.h>

ClientSignalRecorder::ClientSignalRecorder(ModbusClient *client, QObject *parent)
    : QObject(parent)
{
    connect(client, &ModbusClient::messageWritten, this,
            [this](const QByteArray &msg) { record({ Written, 0, 0, QString(), msg }); }, Qt::DirectConnection);
    connect(client, &ModbusClient::messageRead, this,
            [this](int status, const QByteArray &msg) { record({ Read, status, 0, QString(), msg }); },
            Qt::DirectConnection);
    connect(client, &ModbusClient::statusCodeChanged, this,
            [this](int code, int channel, const QString &detail) { record({ Status, code, channel, detail, {} }); },
            Qt::DirectConnection);
}

void ClientSignalRecorder::record(const Event &event)
{
    QMutexLocker locker(&m_mutex);
    m_events.append(event);
}

QList<ClientSignalRecorder::Event> ClientSignalRecorder::events() const
{
    QMutexLocker locker(&m_mutex);
    return m_events;
}

int ClientSignalRecorder::count(Kind kind) const
{
    QMutexLocker locker(&m_mutex);
    int n = 0;
    for (const Event &event : m_events)
        n += event.kind == kind;
    return n;
}

QString ClientSignalRecorder::trace() const
{
    QMutexLocker locker(&m_mutex);
    QStringList parts;
    for (const Event &event : m_events) {
        const QString code = QString::number(quint32(event.code), 16);
        switch (event.kind) {
        case Written: parts << QStringLiteral("W"); break;
        case Read: parts << QStringLiteral("R:") + code; break;
        case Status: parts << QStringLiteral("S:") + code; break;
        }
    }
    return parts.join(QLatin1Char(' '));
}

void ClientSignalRecorder::clear()
{
    QMutexLocker locker(&m_mutex);
    m_events.clear();
}
