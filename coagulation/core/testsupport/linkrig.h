#ifndef LINKRIG_H
#define LINKRIG_H

#include "clientsignalrecorder.h"

#include <devicedriver.h>
#include <modbusclient.h>

#include <QtCore/QMetaType>

#include <memory>

class SimulatorThread;

// The two lines the link is tested on, both to a SimulatorThread: its TCP port and its
// pseudo-terminal (a serial port at 115200 baud).
enum Transport { Tcp, Pty };
Q_DECLARE_METATYPE(Transport)

// A test class that runs every function on both lines calls this in initTestCase_data()
// (column "transport", rows "tcp" and "pty"); a function reads its line with
// QFETCH_GLOBAL(Transport, transport).
void addTransportRows();

// The driver's time-outs in milliseconds: short, so that failures are fast, and long
// enough for a loaded machine.
struct LinkTimeouts
{
    int read = 40;
    int interval = 25;
    int write = 200;
};

// A driver on sim's line of the given kind, with the time-outs set, opened; a warning says
// why where it did not open.
std::unique_ptr<DeviceDriver> openLinkDriver(Transport transport, const SimulatorThread &sim,
                                             const LinkTimeouts &timeouts = LinkTimeouts());

// What a link test sets up: a driver on the simulator, a client on it and a recorder of
// the client's signals, in that order, so that a test names them with
// `auto &&[driver, client, recorder] = LinkRig(...);`.
struct LinkRig
{
    LinkRig(Transport transport, const SimulatorThread &sim, const LinkTimeouts &timeouts = LinkTimeouts());

    std::unique_ptr<DeviceDriver> driver;
    ModbusClient client;
    ClientSignalRecorder recorder;
};

#endif // LINKRIG_H
