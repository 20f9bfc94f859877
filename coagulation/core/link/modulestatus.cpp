#include "modulestatus.h"

#include "modbusprotocol.h"

namespace Modbus {

void ModuleStatus::setException(unsigned char address, unsigned char command, unsigned char code)
{
    m_code = int((0x7Fu << 24) | (quint32(address) << 16) | (quint32(command) << 8) | quint32(code));
}

void ModuleStatus::setException(const QByteArray &reply)
{
    // A byte missing from a shorter reply counts as 0.
    auto byteAt = [&reply](int i) -> unsigned char { return i < reply.size() ? uchar(reply.at(i)) : 0; };
    setException(byteAt(0), byteAt(1), byteAt(2));
}

QString ModuleStatus::exceptionText() const
{
    return isException() ? QString::fromLatin1(Modbus::exceptionText(exceptionCode())) : QString();
}

ModuleStatus ModuleStatus::fromTalkResult(int result)
{
    return ModuleStatus(result < 0 ? result : 0);
}

bool ModuleStatus::setTalkResult(int result)
{
    m_code = result < 0 ? result : 0;
    return result >= 0;
}

} // namespace Modbus
