#include "modbusprotocol.h"

#include <array>
#include <atomic>

namespace Modbus {

namespace {

struct ExceptionRow
{
    ExceptionCode code;
    const char *text;
};

constexpr ExceptionRow Exceptions[] = {
    { IllegalFunction, "illegal function" },
    { IllegalDataAddress, "illegal data address" },
    { IllegalDataValue, "illegal data value" },
    { ServerDeviceFailure, "device failure" },
    { Acknowledge, "acknowledge" },
    { ServerDeviceBusy, "device busy" },
    { MemoryParityError, "memory parity error" },
    { GatewayPathUnavailable, "gateway path unavailable" },
    { GatewayTargetFailedToRespond, "gateway target did not respond" },
};

// --- reply lengths ------------------------------------------------------------------

// The count of a read: request bytes 4-5 behind the route, -1 when they are missing.
int requestedCount(const unsigned char *request, int requestLength)
{
    return requestLength >= 6 ? request[4] * 256 + request[5] : -1;
}

// Byte count u8, then the packed bits.
int bitsReply(const unsigned char *request, int requestLength, const unsigned char *, int)
{
    const int count = requestedCount(request, requestLength);
    return count < 0 ? -1 : FrameHeaderSize + 1 + (count + 7) / 8 + CrcSize;
}

// Byte count u8, then 2 bytes per register.
int registersReply(const unsigned char *request, int requestLength, const unsigned char *, int)
{
    const int count = requestedCount(request, requestLength);
    return count < 0 ? -1 : FrameHeaderSize + 1 + 2 * count + CrcSize;
}

int echoReply(const unsigned char *, int requestLength, const unsigned char *, int)
{
    return requestLength;
}

int diagnosticReply(const unsigned char *request, int requestLength, const unsigned char *, int)
{
    if (requestLength < 4)
        return -1;
    return isEchoedDiagnostic(quint16(request[2] * 256 + request[3])) ? requestLength : -1;
}

// Byte count u8, then that many bytes: known once the count has come.
int byteCountReply(const unsigned char *, int, const unsigned char *reply, int replyLength)
{
    return replyLength > 2 ? FrameHeaderSize + 1 + reply[2] + CrcSize : -1;
}

// Byte count u16, then that many bytes.
int fifoReply(const unsigned char *, int, const unsigned char *reply, int replyLength)
{
    return replyLength > 3 ? FrameHeaderSize + 2 + reply[2] * 256 + reply[3] + CrcSize : -1;
}

// A fixed number of data bytes after address and function.
template <int DataBytes>
int fixedReply(const unsigned char *, int, const unsigned char *, int)
{
    return FrameHeaderSize + DataBytes + CrcSize;
}

// Behind function 0x2B (route triplets are taken off before any rule): an object read is
// answered with MEI type, read code, conformity level, more follows, next object id and the
// number of objects N, then N times object id, length L and L bytes. Its end follows from
// those headers as far as they have come. A pass-through's answer is the module's own, of
// a length nobody announces: -1, and silence ends it.
int encapsulatedReply(const unsigned char *request, int requestLength, const unsigned char *reply, int replyLength)
{
    enum { ObjectCountAt = FrameHeaderSize + 5, FirstObjectAt = ObjectCountAt + 1 };
    if (requestLength < 3 || request[2] != ReadObjectMei || replyLength < FirstObjectAt
        || reply[2] != ReadObjectMei)
        return -1;
    int end = FirstObjectAt;
    for (int objects = reply[ObjectCountAt]; objects > 0; --objects) {
        if (end + 2 > replyLength)
            return -1;
        end += 2 + reply[end + 1];
    }
    return end + CrcSize;
}

struct ReplyRow
{
    FunctionCode function;
    ReplySizeRule rule;
};

// The reply of every function code the library knows; other codes, and pass-through
// requests, have replies of unknown length: the client takes them as complete when the
// line falls silent.
constexpr ReplyRow ReplyRules[] = {
    { ReadCoils, bitsReply },
    { ReadDiscreteInputs, bitsReply },
    { ReadHoldingRegisters, registersReply },
    { ReadInputRegisters, registersReply },
    { ReadWriteMultipleRegisters, registersReply },
    { WriteSingleCoil, echoReply },
    { WriteSingleRegister, echoReply },
    { WriteFileRecord, echoReply },
    { MaskWriteRegister, echoReply },
    { ReadExceptionStatus, fixedReply<1> },    // exception status u8
    { Diagnostics, diagnosticReply },
    { GetCommEventCounter, fixedReply<4> },    // status word, event count
    { WriteMultipleCoils, fixedReply<4> },     // start, count
    { WriteMultipleRegisters, fixedReply<4> }, // start, count
    { EraseFlashPage, fixedReply<4> },
    { WriteFlashPage, fixedReply<4> },
    { ReadPageCrc, fixedReply<2> },            // CRC of the page
    { GetCommEventLog, byteCountReply },
    { ReportServerId, byteCountReply },
    { ReadFileRecord, byteCountReply },
    { LoadBootloaderInfo, byteCountReply },
    { ReadFifoQueue, fifoReply },
    { EncapsulatedInterface, encapsulatedReply },
};

constexpr std::array<ReplySizeRule, 256> builtInRules()
{
    std::array<ReplySizeRule, 256> rules{};
    for (const ReplyRow &row : ReplyRules)
        rules[row.function] = row.rule;
    return rules;
}

constexpr std::array<ReplySizeRule, 256> BuiltInRules = builtInRules();

// Rules programs registered; they go before the built-in ones. Zero-initialised before
// any code runs, and read without a lock by every exchange.
std::atomic<ReplySizeRule> RegisteredRules[256];

ReplySizeRule ruleFor(quint8 function)
{
    const ReplySizeRule registered = RegisteredRules[function].load(std::memory_order_acquire);
    return registered ? registered : BuiltInRules[function];
}

} // namespace

const char *exceptionText(quint8 code)
{
    for (const ExceptionRow &row : Exceptions) {
        if (row.code == code)
            return row.text;
    }
    return nullptr;
}

QStringList modulePathElements(const QString &path)
{
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

int hopCount(const QString &path)
{
    return qMax(0, int(modulePathElements(path).size()) - 1);
}

void registerReplySizeRule(quint8 function, ReplySizeRule rule)
{
    RegisteredRules[function].store(rule, std::memory_order_release);
}

int calculateReplyFrameSize(const unsigned char *request, int requestLength,
                            const unsigned char *reply, int replyLength)
{
    if (!reply)
        replyLength = 0;
    // Each route triplet in front of the request is repeated in front of the reply;
    // the rule applies again to the frame behind it, plus 3 bytes per hop.
    int routePrefix = 0;
    for (;;) {
        if (!request || requestLength < FrameHeaderSize)
            return -1;
        // Address, function with the exception bit, exception code, CRC.
        if (replyLength >= FrameHeaderSize && (reply[1] & ExceptionBit))
            return FrameHeaderSize + 1 + CrcSize + routePrefix;
        if (request[1] != EncapsulatedInterface || requestLength < 3 || request[2] != RouteMei)
            break;
        request += RouteTripletSize;
        requestLength -= RouteTripletSize;
        if (replyLength > RouteTripletSize) {
            reply += RouteTripletSize;
            replyLength -= RouteTripletSize;
        } else {
            reply = nullptr;
            replyLength = 0;
        }
        routePrefix += RouteTripletSize;
    }
    const ReplySizeRule rule = ruleFor(request[1]);
    const int size = rule ? rule(request, requestLength, replyLength > 0 ? reply : nullptr, replyLength) : -1;
    return size > 0 ? size + routePrefix : -1;
}

} // namespace Modbus
