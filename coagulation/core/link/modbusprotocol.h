#ifndef MODBUSPROTOCOL_H
#define MODBUSPROTOCOL_H

#include <QtCore/QStringList>
#include <QtCore/QtGlobal>

#include "qvcore_global.h"

/**
 * \file modbusprotocol.h
 * \brief The names and limits of the protocol spoken with the modules.
 *
 * The names and limits of the register-and-file protocol spoken with the modules, in one
 * place: the builder, the reply-length rules, the client, the module operations and the
 * tools use these and no bare numbers.
 *
 * Frame on the wire, both directions (multi-byte fields big-endian):
 *
 *     address | route triplet 2B 0C next-address, once per gateway hop | function | fields | CRC-16
 *
 * There is no start or end marker and no length field. \ref wireformat shows frames
 * byte by byte. Everything here is a constant or a function without state, safe from
 * any thread, except registerReplySizeRule(), which changes what every client of the
 * process predicts.
 */

/**
 * \namespace Modbus
 * \brief The instrument link: the protocol's names and limits, the module operations,
 * their outcomes and asynchronous replies.
 */
namespace Modbus {

/// The function codes: the second byte of a frame (behind its route triplets).
enum FunctionCode : quint8 {
    ReadCoils = 0x01,                  ///< Read read-write bits (coils).
    ReadDiscreteInputs = 0x02,         ///< Read read-only bits (discrete inputs).
    ReadHoldingRegisters = 0x03,       ///< Read read-write registers.
    ReadInputRegisters = 0x04,         ///< Read read-only registers.
    WriteSingleCoil = 0x05,            ///< Write one bit (CoilOn or CoilOff); the reply echoes the request.
    WriteSingleRegister = 0x06,        ///< Write one register; the reply echoes the request.
    ReadExceptionStatus = 0x07,        ///< Read the exception status byte.
    Diagnostics = 0x08,                ///< A diagnostic sub-function (DiagnosticSubFunction), restarts included.
    GetCommEventCounter = 0x0B,        ///< Read the status word (BusyStatusWord while busy) and the event count.
    GetCommEventLog = 0x0C,            ///< Read the event log.
    WriteMultipleCoils = 0x0F,         ///< Write a run of bits.
    WriteMultipleRegisters = 0x10,     ///< Write a run of registers.
    ReportServerId = 0x11,             ///< Read the module's identification.
    ReadFileRecord = 0x14,             ///< Read records of a file.
    WriteFileRecord = 0x15,            ///< Write records of a file; the reply echoes the request.
    MaskWriteRegister = 0x16,          ///< Change bits of a register; the reply echoes the request.
    ReadWriteMultipleRegisters = 0x17, ///< Write a run of registers and read another.
    ReadFifoQueue = 0x18,              ///< Read a queue of registers.
    EncapsulatedInterface = 0x2B,      ///< Route, pass-through and identification objects (MeiType).
    LoadBootloaderInfo = 0x41,         ///< The modules' own: read the boot loader's information.
    EraseFlashPage = 0x42,             ///< The modules' own: erase a page of flash (EraseKey1, EraseKey2 follow).
    ReadPageCrc = 0x43,                ///< The modules' own: read the CRC of a flash page.
    WriteFlashPage = 0x44              ///< The modules' own: write a value into a flash page.
};

/**
 * In a reply, the function code with this bit set marks an exception; a gateway that
 * cannot deliver answers EncapsulatedInterface | ExceptionBit (0xAB).
 */
enum : quint8 {
    ExceptionBit = 0x80 ///< The exception bit of a reply's function code.
};

/// The interface types behind function 0x2B: the byte after the function code.
enum MeiType : quint8 {
    RouteMei = 0x0C,       ///< Route triplet: 2B 0C next-address, then the next module's frame.
    EncapsulateMei = 0x0D, ///< Pass-through: the payload as raw bytes.
    ReadObjectMei = 0x0E   ///< Device identification objects.
};

/// Sub-functions of Diagnostics (0x08): the word after the function code.
enum DiagnosticSubFunction : quint16 {
    ReturnQueryData = 0x0000,             ///< Echo the data sent (MessageBuilder::testCommunication()).
    /// Restart; the data word says how (RestartClearingLog, RestartKeepingLog, RestartIntoBootloader).
    RestartCommunications = 0x0001,
    ReturnDiagnosticRegister = 0x0002,    ///< Read the diagnostic register.
    ChangeAsciiDelimiter = 0x0003,        ///< Change the delimiter of the ASCII mode.
    ForceListenOnly = 0x0004,             ///< Listen only; the module sends no reply.
    ClearCounters = 0x000A,               ///< Clear the counters and the diagnostic register.
    ReturnBusMessageCount = 0x000B,       ///< Read the count of messages seen on the bus.
    ReturnBusErrorCount = 0x000C,         ///< Read the count of checksum errors.
    ReturnBusExceptionCount = 0x000D,     ///< Read the count of exception replies.
    ReturnServerMessageCount = 0x000E,    ///< Read the count of messages addressed to the module.
    ReturnServerNoResponseCount = 0x000F, ///< Read the count of messages left without reply.
    ReturnServerNakCount = 0x0010,        ///< Read the count of negative acknowledgements.
    ReturnServerBusyCount = 0x0011,       ///< Read the count of busy answers.
    ReturnBusOverrunCount = 0x0012,       ///< Read the count of character overruns.
    ClearOverrunCounter = 0x0014          ///< Clear the overrun counter.
};

/**
 * Whether a module answers the diagnostic sub-function with an echo of the request:
 * all but listen-only mode (which has no reply) and codes the protocol does not define.
 */
constexpr bool isEchoedDiagnostic(quint16 sub)
{
    return sub <= ChangeAsciiDelimiter || (sub >= ClearCounters && sub <= ReturnBusOverrunCount)
        || sub == ClearOverrunCounter;
}

/// Data words of the requests.
enum : quint16 {
    CoilOn = 0xFF00,                ///< WriteSingleCoil: set the bit.
    CoilOff = 0x0000,               ///< WriteSingleCoil: clear the bit.
    RestartClearingLog = 0xFF00,    ///< RestartCommunications: also clears the event log.
    RestartKeepingLog = 0x0000,     ///< RestartCommunications: keeps the event log.
    RestartIntoBootloader = 0xFFFF, ///< RestartCommunications, outside the standard values: into the boot loader.
    BusyStatusWord = 0xFFFF         ///< GetCommEventCounter: still busy with an earlier command.
};

/// Bytes of the requests.
enum : quint8 {
    FileReferenceType = 6,      ///< The reference type of every file sub-request and sub-response.
    ReadObjectStream = 0x01,    ///< ReadObjectMei read code: the basic objects, in pages.
    EraseKey1 = 0xA5,           ///< EraseFlashPage: the first of the two bytes after the page number.
    EraseKey2 = 0xF1            ///< EraseFlashPage: the second of the two bytes after the page number.
};

/// Device identification objects: the basic (0-2) and regular (3-6) ones.
enum ObjectId : quint8 {
    VendorName = 0,         ///< The vendor's name.
    ProductCode = 1,        ///< The product code.
    MajorMinorRevision = 2, ///< The revision, "major.minor".
    VendorUrl = 3,          ///< The vendor's URL.
    ProductName = 4,        ///< The product's name.
    ModelName = 5,          ///< The model's name.
    UserApplicationName = 6 ///< The name of the application the module runs.
};

/// The code a module (or a gateway on the path) answers an exception with.
enum ExceptionCode : quint8 {
    IllegalFunction = 0x01,             ///< "illegal function": the module does not know the function.
    IllegalDataAddress = 0x02,          ///< "illegal data address": an address outside the module's tables.
    IllegalDataValue = 0x03,            ///< "illegal data value": a field the module does not accept.
    ServerDeviceFailure = 0x04,         ///< "device failure": the module failed to carry the request out.
    Acknowledge = 0x05,                 ///< "acknowledge": taken, to be carried out later.
    ServerDeviceBusy = 0x06,            ///< "device busy": busy with an earlier command.
    MemoryParityError = 0x08,           ///< "memory parity error": a file's memory failed its check.
    GatewayPathUnavailable = 0x0A,      ///< "gateway path unavailable": a gateway cannot reach the next address.
    /// "gateway target did not respond": the target stayed silent behind a gateway.
    GatewayTargetFailedToRespond = 0x0B
};

/**
 * The English text of an exception code ("illegal data address"); null for a code the
 * protocol does not name. The text is static; safe from any thread.
 */
QVCORE_EXPORT const char *exceptionText(quint8 code);

/// Module addresses: 1-247 name one module; 0 is the broadcast address, 248-255 are reserved.
enum : int {
    FirstModuleAddress = 1, ///< The lowest address of one module.
    LastModuleAddress = 247 ///< The highest address of one module.
};

/// The sizes of frames and their parts, in bytes.
enum : int {
    /// Address and function code: the head of every frame.
    FrameHeaderSize = 2,
    /// The CRC-16 at the end of every frame.
    CrcSize = 2,
    /// One gateway hop: 2B 0C next-address, in front of the request and again of the reply.
    RouteTripletSize = 3,
    /**
     * The modules take at most 100 bytes of data in one frame; the route triplets of a
     * request, repeated in its reply, take their share of them.
     */
    MaxFrameData = 100,
    /// Paths with more hops leave no room for one register in a frame.
    MaxHops = 32,
    /**
     * Reserved for a frame at construction, and so for the reply of an exchange: every
     * request and reply of the operations' chunks fits. The longest is a file-record write
     * of 112 bytes: address, function and fields 10, route and data 100, CRC 2.
     */
    ReservedFrameSize = 128,
    /// A checksummed block stored in a module file (length word, data, checksum) fits this.
    MaxTrunkSize = 8192
};

/**
 * A module path names the module on the link first, then the module each gateway hop
 * reaches: "1/5/3" is module 3 behind 5 behind 1, two hops. Its elements, empty ones
 * dropped ("/1//5/" is "1/5"); an element is read as a decimal number, 0 when it is none.
 * Safe from any thread.
 */
QVCORE_EXPORT QStringList modulePathElements(const QString &path);

/// The gateway hops of a module path: its elements after the first (0 for an empty path).
QVCORE_EXPORT int hopCount(const QString &path);

/// Data bytes one frame carries on a path of that many gateway hops.
constexpr int frameDataBytes(int hops)
{
    return MaxFrameData - RouteTripletSize * hops;
}

/**
 * Bits per request on a path of that many hops: 800 - 24h (every chunk but the last
 * whole bytes). Not positive past MaxHops.
 */
constexpr int bitChunkLimit(int hops)
{
    return 8 * frameDataBytes(hops);
}

/**
 * Registers or file records per request on a path of that many hops:
 * 50 - floor((3h + 1) / 2). Not positive past MaxHops.
 */
constexpr int wordChunkLimit(int hops)
{
    return frameDataBytes(hops) / 2;
}

static_assert(wordChunkLimit(MaxHops) >= 1 && wordChunkLimit(MaxHops + 1) < 1,
              "MaxHops is the longest path with room for one register");

/**
 * How the length of the reply to one function code follows from the request (CRC
 * included) and the reply bytes received so far, both behind their route triplets:
 * the total length, CRC included, or -1 while it cannot be known. reply is null when
 * replyLength is 0. A rule must not read past either length. It is called during
 * exchanges, on any thread, with the driver's lock held: it must not block.
 */
using ReplySizeRule = int (*)(const unsigned char *request, int requestLength, const unsigned char *reply,
                              int replyLength);

/**
 * Teaches calculateReplyFrameSize() the replies of a function code (a new one, or one whose
 * rule a program knows better), for every client of the process; routed requests and
 * exception replies are handled around it. A null rule restores the built-in one. Call it
 * before exchanges with that code begin. Any thread; the change is atomic.
 */
QVCORE_EXPORT void registerReplySizeRule(quint8 function, ReplySizeRule rule);

/**
 * The expected total length of a reply frame (CRC included), predicted from the
 * complete request frame (CRC included) and the reply bytes received so far;
 * -1 while it cannot be known (also for a function without a rule, or a pass-through,
 * whose reply ends when the line falls silent). Never reads past either length. Safe
 * from any thread.
 */
QVCORE_EXPORT int calculateReplyFrameSize(const unsigned char *request, int requestLength,
                                          const unsigned char *reply, int replyLength);

} // namespace Modbus

#endif // MODBUSPROTOCOL_H
