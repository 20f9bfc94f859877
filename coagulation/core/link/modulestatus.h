#ifndef MODULESTATUS_H
#define MODULESTATUS_H

#include <QtCore/QByteArray>
#include <QtCore/QString>

#include "qvcore_global.h"

namespace Modbus {

// The outcome of one operation on an electronic module, as one 32-bit code:
//   0                          success
//   0x80000000 .. 0x80000003   communication error (the client's result codes)
//   0x80000004                 an asynchronous request given up by its caller
//   0x7Faaccxx                 exception: answering address aa, reply command cc, code xx
//   0x00000001 .. 0x0000FFFF   device error: the module's non-zero status word
class QVCORE_EXPORT ModuleStatus
{
public:
    enum ErrorCode {
        NoError = 0,
        InvalidReplyError = int(0x80000000),
        TimeoutError = int(0x80000001),
        WriteError = int(0x80000002),
        NotOpenError = int(0x80000003),
        // An asynchronous request cancelled before it was done (ModuleReply::cancel()).
        CanceledError = int(0x80000004)
    };

    ModuleStatus() : m_code(0) {}
    ModuleStatus(ErrorCode code) : m_code(code) {}
    ModuleStatus(int code) : m_code(code) {}

    operator bool() const { return m_code == 0; }
    bool operator!() const { return m_code != 0; }

    bool isCommunicationError() const { return m_code < 0; }
    bool isException() const { return (quint32(m_code) >> 24) == 0x7F; }
    bool isDeviceError() const { return (quint32(m_code) >> 16) == 0 && (m_code & 0xFFFF) != 0; }

    unsigned char exceptionAddress() const { return (quint32(m_code) >> 16) & 0xFF; }
    unsigned char exceptionCommand() const { return (quint32(m_code) >> 8) & 0xFF; }
    unsigned char exceptionCode() const { return quint32(m_code) & 0xFF; }
    // The English text of the exception code ("illegal data address"); empty when the
    // status is no exception or the protocol does not name its code.
    QString exceptionText() const;

    void setException(unsigned char address, unsigned char command, unsigned char code);
    void setException(const QByteArray &reply);

    static ModuleStatus fromTalkResult(int result);
    bool setTalkResult(int result);

    int data() const { return m_code; }

private:
    int m_code;
};

} // namespace Modbus

#endif // MODULESTATUS_H
