#ifndef MODULESTATUS_H
#define MODULESTATUS_H

#include <QtCore/QByteArray>
#include <QtCore/QString>

#include "qvcore_global.h"

/**
 * \file modulestatus.h
 * \brief The outcome of an operation on a module (Modbus::ModuleStatus).
 */

namespace Modbus {

/**
 * The outcome of one operation on an electronic module, as one 32-bit code:
 *
 * | Code | Meaning |
 * |---|---|
 * | 0 | success |
 * | 0x80000000 .. 0x80000003 | communication error (the client's result codes) |
 * | 0x80000004 | an asynchronous request given up by its caller |
 * | 0x7Faaccxx | exception: answering address aa, reply command cc, code xx |
 * | 0x00000001 .. 0x0000FFFF | device error: the module's non-zero status word |
 *
 * A plain value (an int) that converts to bool as success, so that
 * `if (!status)` tests for a failure. Reentrant; copies are independent.
 */
class QVCORE_EXPORT ModuleStatus
{
public:
    /// The communication errors, which are also the negative results of ModbusClient::talk().
    enum ErrorCode {
        /// Success.
        NoError = 0,
        /// A reply came but was damaged, did not answer the request or did not fit it.
        InvalidReplyError = int(0x80000000),
        /// No reply within the attempts' time-outs, or an asynchronous request's deadline passed.
        TimeoutError = int(0x80000001),
        /**
         * The request was not sent: the line did not take it, or it was refused before
         * sending (too long, past address 65535).
         */
        WriteError = int(0x80000002),
        /// No client or driver, the driver closed, or the line closed or failed during the exchange.
        NotOpenError = int(0x80000003),
        /// An asynchronous request cancelled before it was done (ModuleReply::cancel()).
        CanceledError = int(0x80000004)
    };

    /// Success.
    ModuleStatus() : m_code(0) {}
    /// The status of a communication error, or success for NoError.
    ModuleStatus(ErrorCode code) : m_code(code) {}
    /// Any code taken as it is: a negative talk() result, a status word, an exception's code.
    ModuleStatus(int code) : m_code(code) {}

    /// Whether the operation succeeded (the code is 0).
    operator bool() const { return m_code == 0; }
    /// Whether the operation failed (the code is not 0).
    bool operator!() const { return m_code != 0; }

    /// Whether the code is negative: one of ErrorCode's failures, CanceledError included.
    bool isCommunicationError() const { return m_code < 0; }
    /// Whether a module or a gateway on the path answered with an exception (0x7F in the top byte).
    bool isException() const { return (quint32(m_code) >> 24) == 0x7F; }
    /// Whether the code is a module's non-zero status word (as wait() gives it).
    bool isDeviceError() const { return (quint32(m_code) >> 16) == 0 && (m_code & 0xFFFF) != 0; }

    /// The address of the module that answered with the exception; meaningful when isException().
    unsigned char exceptionAddress() const { return (quint32(m_code) >> 16) & 0xFF; }
    /// The function code of the exception reply (0x80 set); meaningful when isException().
    unsigned char exceptionCommand() const { return (quint32(m_code) >> 8) & 0xFF; }
    /// The exception code (Modbus::ExceptionCode); meaningful when isException().
    unsigned char exceptionCode() const { return quint32(m_code) & 0xFF; }
    /**
     * The English text of the exception code ("illegal data address"); empty when the
     * status is no exception or the protocol does not name its code.
     */
    QString exceptionText() const;

    /// Makes the status the exception 0x7F, address, command, code.
    void setException(unsigned char address, unsigned char command, unsigned char code);
    /**
     * Makes the status the exception that a reply without its route states: its address,
     * function code and exception code, the first three bytes; a byte missing from a
     * shorter reply counts as 0.
     */
    void setException(const QByteArray &reply);

    /// The status of a ModbusClient::talk() result: its code when negative, success for a reply length (0 or more).
    static ModuleStatus fromTalkResult(int result);
    /// Sets the status from a ModbusClient::talk() result as fromTalkResult() does; whether it was a success.
    bool setTalkResult(int result);

    /// The code itself.
    int data() const { return m_code; }

private:
    int m_code;
};

} // namespace Modbus

#endif // MODULESTATUS_H
