#include "defaultanalyser.h"

#include "simulatedgateway.h"
#include "simulatedlink.h"

namespace {

void fill(SimulatedModule *module, const char *name)
{
    const quint8 a = module->address();
    const QByteArray version = QByteArray::number(1) + '.' + QByteArray::number(a) + ".0";

    // Holding registers: identity, version and a block of set points.
    module->setHoldingRegister(0, a);
    module->setHoldingRegister(1, quint16(0x0100 | a));
    for (int i = 0; i < 16; ++i)
        module->setHoldingRegister(0x10 + i, quint16(a * 0x100 + i));
    module->setHoldingRegister(0x20, 370);  // temperature set point, 0.1 degree
    // Input registers: readings that a person can recognise.
    for (int i = 0; i < 16; ++i)
        module->setInputRegister(i, quint16(1000 + 10 * a + i));
    // Coils every third on, discrete inputs alternating.
    for (int i = 0; i < 64; ++i) {
        module->setCoil(i, i % 3 == 0);
        module->setDiscreteInput(i, i % 2 == 0);
    }

    // An even length: the block's checksum then ends on a record boundary, as the
    // library's trunk reader requires.
    QByteArray trunk = QByteArray("module ") + QByteArray::number(a) + ' ' + name + " configuration";
    if (trunk.size() % 2)
        trunk.append('.');
    module->storeTrunk(1, trunk);
    QVector<quint16> records(100);
    for (int i = 0; i < records.size(); ++i)
        records[i] = quint16(a * 1000 + i);
    module->setFile(2, records);

    module->setObject(0, "QvCore simulation");
    module->setObject(1, "QV-M" + QByteArray::number(a));
    module->setObject(2, version);
    module->setObject(3, "http://127.0.0.1/");
    module->setObject(4, name);
    module->setObject(5, QByteArray("SIM-") + QByteArray::number(a));
    module->setObject(6, "simulated analyser");

    module->setServerId(QByteArray(1, char(a)) + char(0xFF) + name);
    module->setBootloaderInfo("boot loader " + version);
    module->setBusyPolls(2);
    module->setBusyTriggerRegister(0x0100);
}

} // namespace

void buildDefaultAnalyser(SimulatedLink &link)
{
    link.clear();
    SimulatedGateway *g1 = link.addGateway(1);
    fill(g1, "main gateway");
    SimulatedGateway *g5 = g1->addGateway(5);
    fill(g5, "optics gateway");
    fill(g5->addModule(3), "photometer");
    fill(g1->addModule(6), "sample arm");
    SimulatedModule *m2 = link.addModule(2);
    fill(m2, "reagent cooler");
    // Small pages here, so that reading its objects takes several requests.
    m2->setObjectPageSize(40);
}
