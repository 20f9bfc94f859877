#include "monitorwindow.h"

#include "registeritem.h"

#include <devicedriver.h>
#include <modbusprotocol.h>
#include <modulereply.h>
#include <propertyitem.h>
#include <propertyitemmodel.h>

#include <QtCore/QDateTime>
#include <QtCore/QThread>
#include <QtCore/QUrl>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QSplitter>
#include <QtWidgets/QTreeView>
#include <QtWidgets/QVBoxLayout>

using Modbus::AbstractDeviceModule;
using Modbus::ModuleReply;
using Modbus::ModuleStatus;

namespace {

QString statusText(ModuleStatus status)
{
    switch (status.data()) {
    case ModuleStatus::NoError: return MonitorWindow::tr("ok");
    case ModuleStatus::TimeoutError: return MonitorWindow::tr("no reply");
    case ModuleStatus::InvalidReplyError: return MonitorWindow::tr("bad reply");
    case ModuleStatus::WriteError: return MonitorWindow::tr("request not sent");
    case ModuleStatus::NotOpenError: return MonitorWindow::tr("link not open");
    case ModuleStatus::CanceledError: return MonitorWindow::tr("given up");
    default: break;
    }
    if (status.isException())
        return MonitorWindow::tr("exception %1 from module %2: %3")
            .arg(status.exceptionCode())
            .arg(status.exceptionAddress())
            .arg(status.exceptionText());
    return MonitorWindow::tr("device error 0x%1").arg(status.data(), 4, 16, QLatin1Char('0'));
}

QString reasonText(ModbusClient::DiscardReason reason)
{
    switch (reason) {
    case ModbusClient::LateReply: return MonitorWindow::tr("late reply");
    case ModbusClient::UnaskedFrame: return MonitorWindow::tr("frame nobody asked for");
    case ModbusClient::LineNoise: return MonitorWindow::tr("line noise");
    case ModbusClient::CutShort: return MonitorWindow::tr("reply cut short");
    }
    return QString();
}

quint16 wordAt(const QByteArray &bytes, int index)
{
    return quint16(quint8(bytes.at(2 * index)) << 8 | quint8(bytes.at(2 * index + 1)));
}

} // namespace

MonitorWindow::MonitorWindow(QWidget *parent)
    : QWidget(parent)
    , m_client(new ModbusClient(this))
    , m_scanClient(new ModbusClient(this))
    , m_model(new PropertyItemModel(this))
    , m_view(new QTreeView)
    , m_found(new QListWidget)
    , m_state(new QLabel)
    , m_discarded(new QPlainTextEdit)
    , m_urlEdit(new QLineEdit)
    , m_pathEdit(new QLineEdit)
    , m_scanButton(new QPushButton(tr("Scan")))
    , m_interval(new QSpinBox)
{
    setWindowTitle(tr("Module monitor"));
    m_scanClient->setAttempts(2);
    // The clients' signals come from the line's thread; connected to this window they are
    // queued and run here.
    for (ModbusClient *client : { m_client, m_scanClient })
        connect(client, &ModbusClient::frameDiscarded, this, &MonitorWindow::showDiscarded);

    auto *connectButton = new QPushButton(tr("Connect"));
    connect(connectButton, &QPushButton::clicked, this, [this] { connectLink(m_urlEdit->text()); });
    connect(m_scanButton, &QPushButton::clicked, this, [this] { scan(1, 32); });
    auto *watchButton = new QPushButton(tr("Watch"));
    m_pathEdit->setPlaceholderText(tr("path: 1/5"));
    connect(watchButton, &QPushButton::clicked, this, [this] { watch(m_pathEdit->text().trimmed()); });
    m_interval->setRange(10, 60000);
    m_interval->setSuffix(tr(" ms"));
    m_interval->setValue(100);
    connect(m_interval, QOverload<int>::of(&QSpinBox::valueChanged), this, &MonitorWindow::setPollInterval);

    m_view->setModel(m_model);
    m_view->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_discarded->setReadOnly(true);
    m_discarded->setMaximumBlockCount(500);
    connect(m_found, &QListWidget::itemChanged, this, [this](QListWidgetItem *item) {
        if (item->checkState() == Qt::Checked)
            watch(item->text());
        else
            unwatch(item->text());
    });

    auto *linkRow = new QHBoxLayout;
    linkRow->addWidget(new QLabel(tr("Link:")));
    linkRow->addWidget(m_urlEdit, 1);
    linkRow->addWidget(connectButton);
    linkRow->addWidget(m_state, 1);
    auto *pollRow = new QHBoxLayout;
    pollRow->addWidget(m_scanButton);
    pollRow->addWidget(m_pathEdit);
    pollRow->addWidget(watchButton);
    pollRow->addStretch();
    pollRow->addWidget(new QLabel(tr("Poll every")));
    pollRow->addWidget(m_interval);
    auto *splitter = new QSplitter;
    splitter->addWidget(m_found);
    splitter->addWidget(m_view);
    splitter->setStretchFactor(1, 3);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(linkRow);
    layout->addLayout(pollRow);
    layout->addWidget(splitter, 3);
    layout->addWidget(new QLabel(tr("Frames the link dropped:")));
    layout->addWidget(m_discarded, 1);
    resize(760, 560);

    m_clock.start();
    m_pollTimer.setInterval(m_interval->value());
    connect(&m_pollTimer, &QTimer::timeout, this, &MonitorWindow::poll);
    m_pollTimer.start();
    showLinkState();
}

MonitorWindow::~MonitorWindow()
{
    // Before the clients go: a client being destroyed waits for its request on the line,
    // which closing ends at once.
    closeLink();
}

// --- the link ---------------------------------------------------------------------

void MonitorWindow::connectLink(const QString &url)
{
    closeLink();
    m_url = url.trimmed();
    m_urlEdit->setText(m_url);
    if (m_url.isEmpty())
        return;
    m_driver = DeviceDriver::create(QUrl(m_url), this);
    m_driver->setPortName(m_url);
    m_client->setDriver(m_driver);
    m_scanClient->setDriver(m_driver);
    // A TCP connect waits up to 30 s for a host that does not answer: it runs on a thread
    // of its own, and closeLink() ends that wait at once. (Looking a host name up is not
    // interrupted; a numeric address needs no lookup.)
    const int generation = ++m_linkGeneration;
    DeviceDriver *driver = m_driver;
    m_opener = QThread::create([this, driver, generation] {
        driver->open();
        QMetaObject::invokeMethod(this, [this, generation] { linkOpened(generation); }, Qt::QueuedConnection);
    });
    m_opener->start();
    showLinkState();
}

void MonitorWindow::linkOpened(int generation)
{
    if (generation != m_linkGeneration)
        return; // a link closed since
    m_opener->wait();
    showLinkState();
}

void MonitorWindow::closeLink()
{
    if (!m_driver)
        return;
    ++m_linkGeneration;
    stopScan();
    // Ends the exchange under way (or the connect), and every pending reply with
    // NotOpenError; their finished() comes later, from the event loop.
    m_driver->close();
    if (m_opener) {
        m_opener->wait();
        delete m_opener;
        m_opener = nullptr;
    }
    m_client->setDriver(nullptr);
    m_scanClient->setDriver(nullptr);
    delete m_driver;
    m_driver = nullptr;
    showLinkState();
}

bool MonitorWindow::isLinkOpen() const
{
    return m_driver && m_driver->isOpen();
}

DeviceDriver *MonitorWindow::driver() const
{
    return m_driver;
}

void MonitorWindow::showLinkState()
{
    QString text;
    if (!m_driver)
        text = tr("not connected");
    else if (m_driver->isOpen())
        text = tr("open");
    else if (m_opener && m_opener->isRunning())
        text = tr("connecting");
    else
        text = tr("closed: %1").arg(m_driver->errorString());
    if (text != m_state->text()) {
        m_state->setText(text);
        m_scanButton->setEnabled(isLinkOpen());
        Q_EMIT linkStateChanged();
    }
}

void MonitorWindow::showDiscarded(const QByteArray &bytes, ModbusClient::DiscardReason reason)
{
    m_discarded->appendPlainText(QStringLiteral("%1  %2: %3")
                                     .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")),
                                          reasonText(reason), QString::fromLatin1(bytes.toHex(' '))));
}

// --- scanning ---------------------------------------------------------------------

void MonitorWindow::scan(int first, int last)
{
    stopScan();
    m_scanFirst = first;
    m_scanLast = last;
    m_found->clear();
    for (int address = first; address <= last; ++address)
        m_toProbe.append(QString::number(address));
    probeNext();
}

// One probe at a time: the polls asked meanwhile take their turns between them, rather
// than waiting behind the whole scan.
void MonitorWindow::probeNext()
{
    if (m_toProbe.isEmpty()) {
        m_scanButton->setText(tr("Scan"));
        Q_EMIT scanFinished();
        return;
    }
    m_scanButton->setText(tr("Scanning (%1 to ask)").arg(m_toProbe.size()));
    const QString path = m_toProbe.takeFirst();
    ModuleReply *reply = AbstractDeviceModule(path, m_scanClient).readEventCountAsync();
    reply->setParent(this);
    m_probe = reply;
    connect(reply, &ModuleReply::finished, this, [this, reply, path] {
        reply->deleteLater();
        m_probe = nullptr;
        if (reply->status()) {
            auto *item = new QListWidgetItem(path);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(watched(path) ? Qt::Checked : Qt::Unchecked);
            m_found->addItem(item);
            // A gateway passes the probes on; a plain module refuses them at once.
            if (Modbus::hopCount(path) < ScanHops) {
                for (int address = m_scanFirst; address <= m_scanLast; ++address)
                    m_toProbe.append(path + QLatin1Char('/') + QString::number(address));
            }
        }
        probeNext();
    });
}

void MonitorWindow::stopScan()
{
    delete m_probe; // gives it up
    m_toProbe.clear();
    m_scanButton->setText(tr("Scan"));
}

bool MonitorWindow::isScanning() const
{
    return !m_probe.isNull();
}

// --- polling ----------------------------------------------------------------------

MonitorWindow::Watched *MonitorWindow::watched(const QString &path) const
{
    for (const std::unique_ptr<Watched> &w : m_watched) {
        if (w->module.path() == path)
            return w.get();
    }
    return nullptr;
}

PropertyItem *MonitorWindow::moduleRow(const QString &path) const
{
    const Watched *w = watched(path);
    return w ? w->row : nullptr;
}

bool MonitorWindow::watch(const QString &given)
{
    // The library reads an element that is no number as address 0, the broadcast: a
    // typing error must not become a write to every module.
    QStringList addresses;
    const QStringList elements = Modbus::modulePathElements(given);
    for (const QString &element : elements) {
        bool ok = false;
        const int address = element.toInt(&ok, 10);
        if (!ok || address < 1 || address > 247) {
            qWarning("monitor: \"%s\" is no module path (addresses 1-247, gateways first: 1/5)", qPrintable(given));
            return false;
        }
        addresses << QString::number(address);
    }
    const QString path = addresses.join(QLatin1Char('/')); // "/1//05" is "1/5"
    if (path.isEmpty() || watched(path))
        return !path.isEmpty();
    auto *row = new PropertyItem(path, tr("not polled yet"));
    row->setEditable(false);
    m_model->append(row);
    m_watched.push_back(std::unique_ptr<Watched>(new Watched{ AbstractDeviceModule(path, m_client), row, {}, {}, 0 }));
    fillRegisters(*m_watched.back());
    m_view->expand(row->index());
    showWatched(path, true);
    return true;
}

void MonitorWindow::unwatch(const QString &path)
{
    for (auto it = m_watched.begin(); it != m_watched.end(); ++it) {
        if ((*it)->module.path() == path) {
            delete (*it)->poll; // gives the poll up
            delete (*it)->row;
            m_watched.erase(it);
            showWatched(path, false);
            return;
        }
    }
}

void MonitorWindow::showWatched(const QString &path, bool on)
{
    const QList<QListWidgetItem *> items = m_found->findItems(path, Qt::MatchExactly);
    for (QListWidgetItem *item : items)
        item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
}

void MonitorWindow::setPollInterval(int msecs)
{
    m_pollTimer.setInterval(msecs);
    if (m_interval->value() != msecs)
        m_interval->setValue(msecs);
}

void MonitorWindow::setRegisters(quint16 start, quint16 count)
{
    m_start = start;
    m_count = count;
    for (const std::unique_ptr<Watched> &w : m_watched)
        fillRegisters(*w);
}

void MonitorWindow::fillRegisters(Watched &w)
{
    delete w.poll; // it read the old registers
    qDeleteAll(w.registers);
    w.registers.clear();
    const QString path = w.module.path();
    for (int i = 0; i < m_count; ++i) {
        auto *item = new RegisterItem(quint16(m_start + i), [this, path](RegisterItem *item, quint16 value) {
            write(path, item->address(), value);
        });
        w.row->append(item);
        w.registers.append(item);
    }
}

void MonitorWindow::poll()
{
    // The line may have broken off (the peer hung up, the port went away).
    showLinkState();
    if (!isLinkOpen())
        return;
    const qint64 now = m_clock.elapsed();
    for (const std::unique_ptr<Watched> &w : m_watched) {
        if (w->poll || now < w->nextPollMs)
            continue;
        ModuleReply *reply = w->module.readWordAsync(m_start, m_count);
        reply->setParent(this); // the window going away gives it up
        w->poll = reply;
        const QString path = w->module.path();
        connect(reply, &ModuleReply::finished, this, [this, path, reply, now] {
            reply->deleteLater();
            Watched *w = watched(path);
            if (!w || w->poll != reply)
                return;
            w->poll = nullptr;
            const ModuleStatus status = reply->status();
            if (status) {
                for (int i = 0; i < reply->count() && i < w->registers.size(); ++i)
                    w->registers.at(i)->showRead(wordAt(reply->data(), i));
                w->row->setValue(tr("ok, %1 ms").arg(m_clock.elapsed() - now), false);
                w->restMs = 0;
            } else if (status.data() == ModuleStatus::TimeoutError) {
                w->restMs = w->restMs ? qMin(2 * w->restMs, int(LongestRestMs)) : int(RetryMs);
                w->nextPollMs = m_clock.elapsed() + w->restMs;
                w->row->setValue(tr("%1; asked again in %2 s").arg(statusText(status)).arg(w->restMs / 1000), false);
            } else {
                w->row->setValue(statusText(status), false);
            }
        });
    }
}

void MonitorWindow::write(const QString &path, quint16 address, quint16 value)
{
    QByteArray word;
    word.append(char(value >> 8)).append(char(value & 0xFF));
    ModuleReply *reply = AbstractDeviceModule(path, m_client).writeWordAsync(address, word);
    reply->setParent(this);
    connect(reply, &ModuleReply::finished, this, [this, path, address, reply] {
        reply->deleteLater();
        // The row may have gone meanwhile.
        Watched *w = watched(path);
        if (!w)
            return;
        for (RegisterItem *item : qAsConst(w->registers)) {
            if (item->address() == address)
                item->written(reply->status() && reply->count() == 1, statusText(reply->status()));
        }
    });
}
