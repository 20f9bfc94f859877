#ifndef CONSOLE_H
#define CONSOLE_H

#include "options.h"

#include <abstractdevicemodule.h>
#include <pcapwriter.h>

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QScopedPointer>
#include <QTextStream>

class DeviceDriver;
class ModbusClient;
class SimulatorThread;

// One run of the console: opens the link (or the embedded simulator), performs one
// command on the module at the path and prints the outcome.
class Console : public QObject
{
    Q_OBJECT
public:
    explicit Console(const Options &options, QObject *parent = nullptr);
    ~Console() override;

    int run();
    // The walkthrough's commands run through here on the same link.
    int runCommand(const QString &command, const QStringList &args);

    bool connectLink();
    QString url() const { return m_url; }
    Options &options() { return m_options; }

private:
    struct Outcome {
        Modbus::ModuleStatus status;
        int exitCode = 0;
    };

    int dispatch(const QString &command, const QStringList &args);
    int readRun(const QString &command, const QStringList &args);
    int writeRun(const QString &command, const QStringList &args);
    int readFile(const QStringList &args);
    int writeFile(const QStringList &args);
    int readTrunk(const QStringList &args);
    int identify();
    int events();
    int waitIdle();
    int restart(bool bootloader);
    int raw(const QStringList &args);
    int scan(const QStringList &args);
    int poll(const QStringList &args);
    int ports();

    int fail(const Modbus::ModuleStatus &status, QJsonObject result = QJsonObject());
    int usage(const QString &message);
    void emitJson(QJsonObject result);
    QString formatWord(quint16 value) const;
    void progress(const QString &what, qint64 done, qint64 total);
    void capture(PcapWriter::Direction direction, const QByteArray &frame);

    Options m_options;
    QString m_url;
    QScopedPointer<SimulatorThread> m_simulator;
    DeviceDriver *m_driver = nullptr;
    ModbusClient *m_client = nullptr;
    QElapsedTimer m_clock;
    PcapWriter m_capture;
    bool m_captureFailed = false;
    // counted from the client's signals, for poll's summary
    int m_framesWritten = 0;
    int m_framesAnswered = 0;
};

// stdout as the console writes it, shared so that output stays in order.
QTextStream &consoleOut();

// The short tour of the main operations against the embedded simulator.
int runWalkthrough(Console &console);

#endif // CONSOLE_H
