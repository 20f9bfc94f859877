#include "simulatedgateway.h"

#include "simulatorprotocol.h"

using namespace SimulatorProtocol;

SimulatedGateway::SimulatedGateway(quint8 address)
    : SimulatedModule(address)
{
}

SimulatedGateway::~SimulatedGateway() = default;

bool SimulatedGateway::respond(const quint8 *request, int size, QByteArray &reply,
                               SimulatedRequestContext &context)
{
    if (size < 3 || request[1] != EncapsulatedInterface || request[2] != MeiRoute)
        return SimulatedModule::respond(request, size, reply, context);
    if (!isResponding())
        return false;
    if (size < 5) {  // no room for the next address and a function code
        takeFault(context);
        appendException(reply, EncapsulatedInterface, IllegalDataValue);
        return true;
    }

    const std::shared_ptr<SimulatedModule> next = m_children.find(request[3]);
    if (!next) {
        takeFault(context);
        appendException(reply, EncapsulatedInterface, GatewayPathUnavailable);
        return true;
    }
    const int start = reply.size();
    reply.append(char(address()));
    reply.append(char(EncapsulatedInterface));
    reply.append(char(MeiRoute));
    if (next->respond(request + 3, size - 3, reply, context))
        return true;
    reply.resize(start);
    takeFault(context);
    appendException(reply, EncapsulatedInterface, GatewayTargetNoResponse);
    return true;
}
