#ifndef MONITORWINDOW_H
#define MONITORWINDOW_H

#include <abstractdevicemodule.h>
#include <modbusclient.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtWidgets/QWidget>

#include <memory>
#include <vector>

class DeviceDriver;
class PropertyItem;
class PropertyItemModel;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QThread;
class QTreeView;
class RegisterItem;

namespace Modbus {
class ModuleReply;
}

// Watches modules of the instrument without ever blocking the window: the link is opened
// on a thread of its own, and every module operation is asynchronous (a ModuleReply whose
// finished() comes back here). Scans for modules, polls holding registers of the modules
// chosen every so many milliseconds, shows them in a property tree where a value may be
// edited (and is then written to the module), and shows the link's state and the frames
// it dropped.
//
// A module has at most one poll under way: a module slower than the interval is polled as
// often as it answers, and one that does not answer rests for a while (longer each time),
// so that the line stays free for the others: requests on one line take turns, one
// exchange at a time, and a silent module holds the line for all its attempts.
class MonitorWindow : public QWidget
{
    Q_OBJECT

public:
    // A module that does not answer is asked again after this long, twice as long after
    // each time-out that follows, up to the longest rest.
    enum { RetryMs = 2000, LongestRestMs = 16000 };
    // How deep a scan looks behind the modules that answer.
    enum { ScanHops = 3 };

    explicit MonitorWindow(QWidget *parent = nullptr);
    // Closes the link first: the exchange under way and every pending request end at once.
    ~MonitorWindow() override;

    // Opens the link at url (socks://HOST:PORT, or a serial port such as
    // /dev/ttyUSB0?baudrate=9600) in the background; linkStateChanged() follows. A link
    // already open is closed first.
    void connectLink(const QString &url);
    // Ends every request under way at once, and a connect in progress.
    void closeLink();
    bool isLinkOpen() const;
    // The link's driver (its time-outs may be set), null while there is no link.
    DeviceDriver *driver() const;

    // Asks every address from first to last for its event counter, and the same addresses
    // behind each module that answers, ScanHops deep, one at a time; the modules found are
    // listed, to be ticked for polling. A scan under way is given up.
    void scan(int first, int last);
    bool isScanning() const;
    // Polls the module at path ("2", "1/5") from now on, or no more. A path that is not
    // one (addresses 1-247) is refused with a warning line: false.
    bool watch(const QString &path);
    void unwatch(const QString &path);
    void setPollInterval(int msecs);
    // The holding registers polled: count of them from start.
    void setRegisters(quint16 start, quint16 count);

    // The row of a watched module (its registers are its children); null if not watched.
    PropertyItem *moduleRow(const QString &path) const;
    PropertyItemModel *model() const { return m_model; }
    QTreeView *view() const { return m_view; }
    QListWidget *foundModules() const { return m_found; }
    QLabel *linkState() const { return m_state; }
    QPlainTextEdit *discardedFrames() const { return m_discarded; }

Q_SIGNALS:
    void linkStateChanged();
    void scanFinished();

private:
    struct Watched
    {
        Modbus::AbstractDeviceModule module;
        PropertyItem *row;                 // owned by the model
        QVector<RegisterItem *> registers; // the row's children
        QPointer<Modbus::ModuleReply> poll;
        qint64 nextPollMs = 0;
        int restMs = 0; // after the last time-out
    };

    Watched *watched(const QString &path) const;
    void fillRegisters(Watched &w);
    void poll();
    void pollFinished(const QString &path, Modbus::ModuleReply *reply);
    void write(const QString &path, quint16 address, quint16 value);
    void probeNext();
    void stopScan();
    // Ticks or clears the module in the list of those found.
    void showWatched(const QString &path, bool on);
    void linkOpened(int generation);
    void showLinkState();
    void showDiscarded(const QByteArray &bytes, ModbusClient::DiscardReason reason);

    // One client polls and writes; the scan has one of its own that asks an absent
    // address twice rather than five times. Both take turns on the same line.
    ModbusClient *m_client;
    ModbusClient *m_scanClient;
    DeviceDriver *m_driver = nullptr;
    QString m_url;
    QThread *m_opener = nullptr;
    int m_linkGeneration = 0;
    // The scan: the paths still to ask, and the probe under way.
    QStringList m_toProbe;
    QPointer<Modbus::ModuleReply> m_probe;
    int m_scanFirst = 1;
    int m_scanLast = 1;

    std::vector<std::unique_ptr<Watched>> m_watched;
    quint16 m_start = 0x10;
    quint16 m_count = 4;
    QTimer m_pollTimer;
    QElapsedTimer m_clock;

    PropertyItemModel *m_model;
    QTreeView *m_view;
    QListWidget *m_found;
    QLabel *m_state;
    QPlainTextEdit *m_discarded;
    QLineEdit *m_urlEdit;
    QLineEdit *m_pathEdit;
    QPushButton *m_scanButton;
    QSpinBox *m_interval;
};

#endif // MONITORWINDOW_H
