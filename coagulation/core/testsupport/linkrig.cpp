#include "linkrig.h"

#include <serialportdriver.h>
#include <simulatorthread.h>

#include <QtCore/QUrl>
#include <QtTest/QTest>

void addTransportRows()
{
    qRegisterMetaType<Transport>();
    QTest::addColumn<Transport>("transport");
    QTest::newRow("tcp") << Tcp;
    QTest::newRow("pty") << Pty;
}

std::unique_ptr<DeviceDriver> openLinkDriver(Transport transport, const SimulatorThread &sim,
                                             const LinkTimeouts &timeouts)
{
    std::unique_ptr<DeviceDriver> driver;
    if (transport == Tcp) {
        driver.reset(DeviceDriver::create(QUrl(sim.url()), nullptr));
        driver->setPortName(sim.url());
    } else {
        driver.reset(new SerialPortDriver);
        driver->setPortName(sim.serialPortName(115200));
    }
    driver->setReadTimeouts(timeouts.read);
    driver->setReadIntervalTimeouts(timeouts.interval);
    driver->setWriteTimeouts(timeouts.write);
    if (!driver->open())
        qWarning("cannot open %s: %s", qPrintable(driver->portName()), qPrintable(driver->errorString()));
    return driver;
}

LinkRig::LinkRig(Transport transport, const SimulatorThread &sim, const LinkTimeouts &timeouts)
    : driver(openLinkDriver(transport, sim, timeouts))
    , recorder(&client)
{
    client.setDriver(driver.get());
}
