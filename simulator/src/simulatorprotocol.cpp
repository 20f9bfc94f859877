#include "simulatorprotocol.h"

#include <QByteArray>

namespace SimulatorProtocol {

quint16 crc16(const void *data, int size, quint16 crc)
{
    const quint8 *p = static_cast<const quint8 *>(data);
    for (int i = 0; i < size; ++i) {
        crc ^= quint16(p[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

void appendCrc(QByteArray &frame)
{
    const quint16 crc = crc16(frame.constData(), frame.size());
    frame.append(char(crc >> 8));
    frame.append(char(crc & 0xFF));
}

RequestLength requestLength(const quint8 *data, int size)
{
    if (size < 2)
        return {RequestLength::NeedMore, 0};
    const quint8 function = data[1];
    switch (function) {
    case ReadCoils:
    case ReadDiscreteInputs:
    case ReadHoldingRegisters:
    case ReadInputRegisters:
    case WriteSingleCoil:
    case WriteSingleRegister:
        return {RequestLength::Fixed, 8};
    case ReadExceptionStatus:
    case GetEventCounter:
    case GetEventLog:
    case ReportServerId:
    case BootloaderInfo:
    case ReadPageCrc:
        return {RequestLength::Fixed, 4};
    case EraseFlashPage:
    case WriteFlashPage:
        return {RequestLength::Fixed, 10};
    case Diagnostics:
        if (size < 4)
            return {RequestLength::NeedMore, 0};
        // The echo test carries any number of data bytes; every other sub-function one word.
        if (data[2] == 0 && data[3] == 0)
            return {RequestLength::Open, 6};
        return {RequestLength::Fixed, 8};
    case WriteMultipleCoils:
    case WriteMultipleRegisters:
        if (size < 7)
            return {RequestLength::NeedMore, 0};
        return {RequestLength::Fixed, 9 + data[6]};
    case ReadFileRecord:
    case WriteFileRecord:
        if (size < 3)
            return {RequestLength::NeedMore, 0};
        return {RequestLength::Fixed, 5 + data[2]};
    case EncapsulatedInterface: {
        if (size < 3)
            return {RequestLength::NeedMore, 0};
        if (data[2] == MeiReadDeviceId)
            return {RequestLength::Fixed, 7};
        if (data[2] != MeiRoute)
            return {RequestLength::Open, 5};
        if (size < 5)
            return {RequestLength::NeedMore, 0};
        const RequestLength inner = requestLength(data + 3, size - 3);
        if (inner.kind == RequestLength::Fixed || inner.kind == RequestLength::Open)
            return {inner.kind, inner.length + 3};
        return inner;
    }
    default:
        // Function 0 and codes with bit 7 set are never requests. Other codes are
        // unknown here; they end at a valid checksum and get "illegal function".
        if (function == 0 || function >= 0x80)
            return {RequestLength::Invalid, 0};
        return {RequestLength::Open, 4};
    }
}

} // namespace SimulatorProtocol
