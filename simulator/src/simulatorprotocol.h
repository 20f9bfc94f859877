#ifndef SIMULATORPROTOCOL_H
#define SIMULATORPROTOCOL_H

#include <QtGlobal>

// Wire facts of the register-and-file protocol as the simulated modules see them.
// The simulator keeps its own copy of these rules (checksum, request lengths) on
// purpose: a misreading in the host library then shows as a failing test instead of
// agreeing with itself.
namespace SimulatorProtocol {

enum FunctionCode : quint8 {
    ReadCoils = 0x01,
    ReadDiscreteInputs = 0x02,
    ReadHoldingRegisters = 0x03,
    ReadInputRegisters = 0x04,
    WriteSingleCoil = 0x05,
    WriteSingleRegister = 0x06,
    ReadExceptionStatus = 0x07,
    Diagnostics = 0x08,
    GetEventCounter = 0x0B,
    GetEventLog = 0x0C,
    WriteMultipleCoils = 0x0F,
    WriteMultipleRegisters = 0x10,
    ReportServerId = 0x11,
    ReadFileRecord = 0x14,
    WriteFileRecord = 0x15,
    EncapsulatedInterface = 0x2B,
    BootloaderInfo = 0x41,
    EraseFlashPage = 0x42,
    ReadPageCrc = 0x43,
    WriteFlashPage = 0x44
};

// Sub-types of function 43.
enum MeiType : quint8 {
    MeiRoute = 0x0C,
    MeiPassThrough = 0x0D,
    MeiReadDeviceId = 0x0E
};

enum DiagnosticsSub : quint16 {
    DiagReturnQuery = 0x0000,
    DiagRestart = 0x0001
};

enum ExceptionCode : quint8 {
    IllegalFunction = 0x01,
    IllegalDataAddress = 0x02,
    IllegalDataValue = 0x03,
    GatewayPathUnavailable = 0x0A,
    GatewayTargetNoResponse = 0x0B
};

enum : quint16 {
    RestartClearLog = 0xFF00,
    RestartKeepLog = 0x0000,
    RestartBootloader = 0xFFFF,
    CoilOn = 0xFF00,
    CoilOff = 0x0000,
    StatusBusy = 0xFFFF
};

enum : int {
    MaxFrameSize = 256,         // one request frame, checksum included
    MaxReadBits = 2000,
    MaxReadRegisters = 125,
    MaxWriteBits = 1968,
    MaxWriteRegisters = 123,
    MinReadFileBytes = 7,       // one sub-request
    MaxReadFileBytes = 0xF5,
    MinWriteFileBytes = 9,      // one sub-request with one record
    MaxWriteFileBytes = 0xFB,
    FileReferenceType = 6,
    MaxFileRecords = 10000,
    EraseKey1 = 0xA5,
    EraseKey2 = 0xF1
};

// CRC-16, polynomial 0x1021, initial value 0xFFFF, not reflected, no final xor.
// Over a frame followed by its own checksum (high byte first) it yields 0.
quint16 crc16(const void *data, int size, quint16 crc = 0xFFFF);

// Appends the checksum of everything in frame, high byte first.
void appendCrc(QByteArray &frame);

// How a request that begins at the given bytes ends.
struct RequestLength {
    enum Kind {
        NeedMore,   // the header is not complete yet
        Invalid,    // these bytes cannot start a request
        Fixed,      // the frame has exactly `length` bytes, checksum included
        Open        // no length field: at least `length` bytes, ends at a valid checksum
    };
    Kind kind;
    int length;
};

// Derives the length of the request frame at data[0..size) from its header alone;
// a routed request (43/12) is measured by the frame behind its route triplet.
RequestLength requestLength(const quint8 *data, int size);

} // namespace SimulatorProtocol

#endif // SIMULATORPROTOCOL_H
