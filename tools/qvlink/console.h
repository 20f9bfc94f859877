#ifndef CONSOLE_H
#define CONSOLE_H

#include "options.h"
#include "statustext.h"

#include <abstractdevicemodule.h>
#include <commandline.h>
#include <modbusclient.h>
#include <pcapwriter.h>

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QScopedPointer>
#include <QTextStream>

class DeviceDriver;
class ModbusClient;
class SimulatorThread;

// One run of the console: checks a command's arguments, opens the link (or the
// embedded simulator), performs the command on the module at the path and
// prints the outcome: text, or with --json exactly one object, failures included.
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

    // The commands with their arguments and help, for the command line.
    static QVector<ToolCommand> commandList();
    // The options meant for some commands only, each with the commands whose rows name it.
    static QVector<ToolOptionScope> optionScopes();
    // The commands that take a --path ending in "/" (the modules behind a gateway).
    static QStringList commandsBehindGateway();
    // A bad command line: the message on stderr and, with --json, the object.
    static int usageError(const QString &message, bool json, const QString &command = QString());

private:
    struct Command;
    using Handler = int (Console::*)(const Command &command, const QStringList &args);
    using ReadOperation = int (Modbus::AbstractDeviceModule::*)(unsigned short address, unsigned short count,
                                                                void *buffer, Modbus::ModuleStatus *status) const;
    // What a command reads or writes.
    enum Items { NoItems, Bits, Registers };
    // Everything about one command, in its row of commands(): name, synopsis and help,
    // what runs it, what Ctrl-C does to it, the options meant for it alone (shared with
    // the other rows that name them), and for a read the module operation poll repeats.
    struct Command {
        ToolCommand text;
        Handler run;
        bool reportsInterrupt;  // Ctrl-C stops it between exchanges with a report; else it ends the program
        QStringList options = {};
        Items items = NoItems;
        ReadOperation read = nullptr;
        bool behindGateway = false;  // takes a --path ending in "/"
    };
    static const QVector<Command> &commands();
    static const Command *findCommand(const QString &name);

    // A run of bits or registers to read, checked against the address space.
    struct ReadRequest {
        QString command;
        ReadOperation read = nullptr;
        bool bits = false;
        quint16 address = 0;
        int values = 0;  // values asked for: bits, words or register pairs
        int items = 0;   // bits or registers on the wire
    };
    struct ReadResult {
        Modbus::ModuleStatus status;
        int items = 0;
        QByteArray buffer;
    };
    bool parseRead(const Command &command, const QStringList &args, ReadRequest *request, QString *error) const;
    ReadResult performRead(const ReadRequest &request) const;
    int valuesRead(const ReadRequest &request, const ReadResult &result) const;
    QString valueLabel(const ReadRequest &request, const ReadResult &result, int i) const;
    QJsonValue valueJson(const ReadRequest &request, const ReadResult &result, int i) const;
    Modbus::ModuleStatus writeSingle(bool bit, quint16 address, quint16 value) const;
    bool trunkFileEnds(quint16 file) const;

    int ports(const Command &command, const QStringList &args);
    int readRun(const Command &command, const QStringList &args);
    int writeRun(const Command &command, const QStringList &args);
    int readFile(const Command &command, const QStringList &args);
    int writeFile(const Command &command, const QStringList &args);
    int readTrunk(const Command &command, const QStringList &args);
    int identify(const Command &command, const QStringList &args);
    int events(const Command &command, const QStringList &args);
    int waitIdle(const Command &command, const QStringList &args);
    int restart(const Command &command, const QStringList &args);
    int enterBootloader(const Command &command, const QStringList &args);
    int raw(const Command &command, const QStringList &args);
    int scan(const Command &command, const QStringList &args);
    int poll(const Command &command, const QStringList &args);
    int walkthrough(const Command &command, const QStringList &args);

    // Poll's pieces (pollcommand.cpp).
    void printPoll(const ReadRequest &request, const ReadResult &result, const QString &time);
    bool reopenLink(QString *error);

    // Outcomes; each returns the exit code and, with --json, prints the one object.
    int succeed(QJsonObject result);
    // A failed operation: the status in words, and what was done before it.
    int fail(const Modbus::ModuleStatus &status, QJsonObject result, const QString &done = QString());
    // Any other outcome but success: its status and the message as error with --json, the
    // message on stderr (an interruption reports on stdout what was done).
    int conclude(Outcome outcome, const QString &message, QJsonObject result = QJsonObject());
    int usage(const QString &message);
    void emitJson(QJsonObject result);
    // A status in words; for a link that is not open, with the driver's reason.
    QString describe(const Modbus::ModuleStatus &status) const;

    bool writeOutput(const QByteArray &data, QString *error) const;
    bool readInput(QByteArray *data, QString *error) const;
    QString fileName(const QString &name) const;
    void progress(const QString &what, qint64 done, qint64 total);
    void capture(PcapWriter::Direction direction, const QByteArray &frame, PcapWriter::Mark mark = PcapWriter::Taken);
    // A --trace line of bytes read: the attempt's status where it failed, and why the
    // bytes were not taken.
    void traceRead(const QByteArray &bytes, const QString &status, PcapWriter::Mark mark);
    static PcapWriter::Mark markOf(ModbusClient::DiscardReason reason);
    static PcapWriter::Mark markOfFailure(int status);
    Modbus::AbstractDeviceModule module() const { return Modbus::AbstractDeviceModule(m_options.path, m_client); }

    Options m_options;
    QString m_url;
    QString m_command;
    QScopedPointer<SimulatorThread> m_simulator;
    DeviceDriver *m_driver = nullptr;
    ModbusClient *m_client = nullptr;
    QElapsedTimer m_clock;
    PcapWriter m_capture;
    QString m_captureError;  // why the capture stopped; empty while it goes on
    // counted from the client's signals, for poll's summary
    int m_framesWritten = 0;
    int m_framesAnswered = 0;
};

// Set by Ctrl-C; long commands look at it between exchanges.
bool interruptRequested();
// Sleeps ms, in short steps so that Ctrl-C ends it early; false when it did.
bool sleepUnlessInterrupted(int ms);

// The short tour of the main operations against the embedded simulator.
int runWalkthrough(Console &console);

#endif // CONSOLE_H
