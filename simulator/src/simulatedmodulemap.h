#ifndef SIMULATEDMODULEMAP_H
#define SIMULATEDMODULEMAP_H

#include <QList>
#include <mutex>

#include <memory>

class SimulatedModule;
class SimulatedGateway;

// The modules reachable at one level of the tree (on the link, or behind one gateway),
// by address. Thread-safe; a module stays alive while a request holds it, even if it is
// removed meanwhile.
class SimulatedModuleMap
{
public:
    SimulatedModuleMap();
    ~SimulatedModuleMap();
    SimulatedModuleMap(const SimulatedModuleMap &) = delete;
    SimulatedModuleMap &operator=(const SimulatedModuleMap &) = delete;

    // Both replace any module at that address; the map owns the new module.
    SimulatedModule *addModule(quint8 address);
    SimulatedGateway *addGateway(quint8 address);
    bool remove(quint8 address);
    void clear();

    std::shared_ptr<SimulatedModule> find(quint8 address) const;
    bool contains(quint8 address) const;
    QList<quint8> addresses() const;

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<SimulatedModule> m_modules[256];
};

#endif // SIMULATEDMODULEMAP_H
