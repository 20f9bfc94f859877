#include "simulatedmodulemap.h"

#include "simulatedgateway.h"

#include <mutex>

SimulatedModuleMap::SimulatedModuleMap() = default;
SimulatedModuleMap::~SimulatedModuleMap() = default;

SimulatedModule *SimulatedModuleMap::addModule(quint8 address)
{
    auto module = std::make_shared<SimulatedModule>(address);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_modules[address] = module;
    return module.get();
}

SimulatedGateway *SimulatedModuleMap::addGateway(quint8 address)
{
    auto gateway = std::make_shared<SimulatedGateway>(address);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_modules[address] = gateway;
    return gateway.get();
}

bool SimulatedModuleMap::remove(quint8 address)
{
    std::shared_ptr<SimulatedModule> removed;  // released outside the lock
    std::lock_guard<std::mutex> lock(m_mutex);
    removed.swap(m_modules[address]);
    return bool(removed);
}

void SimulatedModuleMap::clear()
{
    std::shared_ptr<SimulatedModule> removed[256];
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < 256; ++i)
        removed[i].swap(m_modules[i]);
}

std::shared_ptr<SimulatedModule> SimulatedModuleMap::find(quint8 address) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_modules[address];
}

bool SimulatedModuleMap::contains(quint8 address) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return bool(m_modules[address]);
}

QList<quint8> SimulatedModuleMap::addresses() const
{
    QList<quint8> result;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < 256; ++i) {
        if (m_modules[i])
            result.append(quint8(i));
    }
    return result;
}
