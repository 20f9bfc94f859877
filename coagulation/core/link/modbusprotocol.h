#ifndef MODBUSPROTOCOL_H
#define MODBUSPROTOCOL_H

#include <QtCore/QStringList>
#include <QtCore/QtGlobal>

#include "qvcore_global.h"

// The names and limits of the register-and-file protocol spoken with the modules, in one
// place: the builder, the reply-length rules, the client, the module operations and the
// tools use these and no bare numbers.
//
// Frame on the wire, both directions (multi-byte fields big-endian):
//   address | route triplet 2B 0C next-address, once per gateway hop | function | fields | CRC-16
// There is no start or end marker and no length field.
namespace Modbus {

enum FunctionCode : quint8 {
    ReadCoils = 0x01,
    ReadDiscreteInputs = 0x02,
    ReadHoldingRegisters = 0x03,
    ReadInputRegisters = 0x04,
    WriteSingleCoil = 0x05,
    WriteSingleRegister = 0x06,
    ReadExceptionStatus = 0x07,
    Diagnostics = 0x08,
    GetCommEventCounter = 0x0B,
    GetCommEventLog = 0x0C,
    WriteMultipleCoils = 0x0F,
    WriteMultipleRegisters = 0x10,
    ReportServerId = 0x11,
    ReadFileRecord = 0x14,
    WriteFileRecord = 0x15,
    MaskWriteRegister = 0x16,
    ReadWriteMultipleRegisters = 0x17,
    ReadFifoQueue = 0x18,
    EncapsulatedInterface = 0x2B,
    // The modules' own: boot loader and flash programming.
    LoadBootloaderInfo = 0x41,
    EraseFlashPage = 0x42,
    ReadPageCrc = 0x43,
    WriteFlashPage = 0x44
};

// In a reply, the function code with this bit set marks an exception; a gateway that
// cannot deliver answers EncapsulatedInterface | ExceptionBit (0xAB).
enum : quint8 { ExceptionBit = 0x80 };

// The interface types behind function 0x2B.
enum MeiType : quint8 {
    RouteMei = 0x0C,       // route triplet: 2B 0C next-address, then the next module's frame
    EncapsulateMei = 0x0D, // pass-through: the payload as raw bytes
    ReadObjectMei = 0x0E   // device identification objects
};

// Sub-functions of Diagnostics (0x08).
enum DiagnosticSubFunction : quint16 {
    ReturnQueryData = 0x0000,
    RestartCommunications = 0x0001,
    ReturnDiagnosticRegister = 0x0002,
    ChangeAsciiDelimiter = 0x0003,
    ForceListenOnly = 0x0004,
    ClearCounters = 0x000A,
    ReturnBusMessageCount = 0x000B,
    ReturnBusErrorCount = 0x000C,
    ReturnBusExceptionCount = 0x000D,
    ReturnServerMessageCount = 0x000E,
    ReturnServerNoResponseCount = 0x000F,
    ReturnServerNakCount = 0x0010,
    ReturnServerBusyCount = 0x0011,
    ReturnBusOverrunCount = 0x0012,
    ClearOverrunCounter = 0x0014
};

// Whether a module answers the diagnostic sub-function with an echo of the request:
// all but listen-only mode (which has no reply) and codes the protocol does not define.
constexpr bool isEchoedDiagnostic(quint16 sub)
{
    return sub <= ChangeAsciiDelimiter || (sub >= ClearCounters && sub <= ReturnBusOverrunCount)
        || sub == ClearOverrunCounter;
}

// Data words of the requests.
enum : quint16 {
    CoilOn = 0xFF00,            // WriteSingleCoil
    CoilOff = 0x0000,
    RestartClearingLog = 0xFF00, // RestartCommunications: also clears the event log
    RestartKeepingLog = 0x0000,
    RestartIntoBootloader = 0xFFFF, // outside the standard values: into the boot loader
    BusyStatusWord = 0xFFFF     // GetCommEventCounter: still busy with an earlier command
};

enum : quint8 {
    FileReferenceType = 6,      // every file sub-request and sub-response
    ReadObjectStream = 0x01,    // ReadObjectMei read code: the basic objects, in pages
    EraseKey1 = 0xA5,           // EraseFlashPage: the two bytes after the page number
    EraseKey2 = 0xF1
};

// Device identification objects: the basic (0-2) and regular (3-6) ones.
enum ObjectId : quint8 {
    VendorName = 0,
    ProductCode = 1,
    MajorMinorRevision = 2,
    VendorUrl = 3,
    ProductName = 4,
    ModelName = 5,
    UserApplicationName = 6
};

// The code a module (or a gateway on the path) answers an exception with.
enum ExceptionCode : quint8 {
    IllegalFunction = 0x01,
    IllegalDataAddress = 0x02,
    IllegalDataValue = 0x03,
    ServerDeviceFailure = 0x04,
    Acknowledge = 0x05,
    ServerDeviceBusy = 0x06,
    MemoryParityError = 0x08,
    GatewayPathUnavailable = 0x0A,
    GatewayTargetFailedToRespond = 0x0B
};

// The English text of an exception code ("illegal data address"); null for a code the
// protocol does not name.
QVCORE_EXPORT const char *exceptionText(quint8 code);

// Module addresses: 1-247 name one module; 0 is the broadcast address, 248-255 are reserved.
enum : int {
    FirstModuleAddress = 1,
    LastModuleAddress = 247
};

enum : int {
    // Address and function code: the head of every frame.
    FrameHeaderSize = 2,
    // The CRC-16 at the end of every frame.
    CrcSize = 2,
    // One gateway hop: 2B 0C next-address, in front of the request and again of the reply.
    RouteTripletSize = 3,
    // The modules take at most 100 bytes of data in one frame; the route triplets of a
    // request, repeated in its reply, take their share of them.
    MaxFrameData = 100,
    // Paths with more hops leave no room for one register in a frame.
    MaxHops = 32,
    // Reserved for a frame at construction, and so for the reply of an exchange: every
    // request and reply of the operations' chunks fits. The longest is a file-record write
    // of 112 bytes: address, function and fields 10, route and data 100, CRC 2.
    ReservedFrameSize = 128,
    // A checksummed block stored in a module file (length word, data, checksum) fits this.
    MaxTrunkSize = 8192
};

// A module path names the module on the link first, then the module each gateway hop
// reaches: "1/5/3" is module 3 behind 5 behind 1, two hops. Its elements, empty ones
// dropped ("/1//5/" is "1/5"); an element is read as a decimal number, 0 when it is none.
QVCORE_EXPORT QStringList modulePathElements(const QString &path);

// The gateway hops of a module path: its elements after the first.
QVCORE_EXPORT int hopCount(const QString &path);

// Data bytes one frame carries on a path of that many gateway hops.
constexpr int frameDataBytes(int hops)
{
    return MaxFrameData - RouteTripletSize * hops;
}

// Items per request on a path of that many hops: 800 - 24h bits (every chunk but the last
// whole bytes), 50 - floor((3h + 1) / 2) registers or file records.
constexpr int bitChunkLimit(int hops)
{
    return 8 * frameDataBytes(hops);
}

constexpr int wordChunkLimit(int hops)
{
    return frameDataBytes(hops) / 2;
}

static_assert(wordChunkLimit(MaxHops) >= 1 && wordChunkLimit(MaxHops + 1) < 1,
              "MaxHops is the longest path with room for one register");

// How the length of the reply to one function code follows from the request (CRC
// included) and the reply bytes received so far, both behind their route triplets:
// the total length, CRC included, or -1 while it cannot be known. reply is null when
// replyLength is 0. A rule must not read past either length.
using ReplySizeRule = int (*)(const unsigned char *request, int requestLength, const unsigned char *reply,
                              int replyLength);

// Teaches calculateReplyFrameSize the replies of a function code (a new one, or one whose
// rule a program knows better), for every client of the process; routed requests and
// exception replies are handled around it. A null rule restores the built-in one. Call it
// before exchanges with that code begin.
QVCORE_EXPORT void registerReplySizeRule(quint8 function, ReplySizeRule rule);

// The expected total length of a reply frame (CRC included), predicted from the
// complete request frame (CRC included) and the reply bytes received so far;
// -1 while it cannot be known. Never reads past either length.
QVCORE_EXPORT int calculateReplyFrameSize(const unsigned char *request, int requestLength,
                                          const unsigned char *reply, int replyLength);

} // namespace Modbus

#endif // MODBUSPROTOCOL_H
