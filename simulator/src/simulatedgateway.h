#ifndef SIMULATEDGATEWAY_H
#define SIMULATEDGATEWAY_H

#include "simulatedmodule.h"
#include "simulatedmodulemap.h"

// A module that routes: a request "own address, 0x2B 0x0C, next address, ..." is passed
// on, without the first three bytes, to the module at the next address behind it, and
// answered with "own address, 0x2B 0x0C" followed by that module's whole reply. When it
// cannot deliver it answers "own address, 0xAB, code": 0x0A when no module has that
// address, 0x0B when the module did not answer. Other requests it answers itself.
class SimulatedGateway : public SimulatedModule
{
public:
    explicit SimulatedGateway(quint8 address);
    ~SimulatedGateway() override;

    bool isGateway() const override { return true; }

    SimulatedModule *addModule(quint8 address) { return m_children.addModule(address); }
    SimulatedGateway *addGateway(quint8 address) { return m_children.addGateway(address); }
    bool removeModule(quint8 address) { return m_children.remove(address); }
    SimulatedModule *module(quint8 address) const { return m_children.find(address).get(); }
    QList<quint8> moduleAddresses() const { return m_children.addresses(); }

    bool respond(const quint8 *request, int size, QByteArray &reply,
                 SimulatedRequestContext &context) override;

private:
    SimulatedModuleMap m_children;
};

#endif // SIMULATEDGATEWAY_H
