#include "pcapwriter.h"

#include <QtEndian>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Magic number of the microsecond format; its byte order tells readers ours.
constexpr quint32 Magic = 0xA1B2C3D4;
constexpr quint16 VersionMajor = 2;
constexpr quint16 VersionMinor = 4;
// Longest packet a reader has to accept; our frames are far shorter.
constexpr quint32 SnapLength = 65535;
constexpr int FileHeaderSize = 24;
constexpr int PacketHeaderSize = 16;

// Whether stdout was closed when the program started (guardStandardStreams).
bool stdoutWasClosed = false;

void put32(char *at, quint32 value)
{
    qToLittleEndian(value, at);
}

void put16(char *at, quint16 value)
{
    qToLittleEndian(value, at);
}

} // namespace

PcapWriter::~PcapWriter()
{
    close();
}

bool PcapWriter::open(const QString &fileName, LinkType linkType)
{
    close();
    m_error.clear();
    m_target = fileName;
    // Unbuffered: each packet reaches the file at once, in a single write.
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered;
    if (fileName == QLatin1String("-")) {
        // A closed stdout may be any file the process opened since: never write to it.
        const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
        if (stdoutWasClosed || flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
            m_error = QStringLiteral("standard output is not open for writing");
            return false;
        }
        if (::isatty(STDOUT_FILENO)) {
            m_error = QStringLiteral("standard output is a terminal; send it to a reader such as tshark -i -");
            return false;
        }
        if (!m_file.open(STDOUT_FILENO, mode & ~QIODevice::Truncate, QFileDevice::DontCloseHandle)) {
            m_error = m_file.errorString();
            return false;
        }
    } else {
        m_file.setFileName(fileName);
        if (!m_file.open(mode)) {
            m_error = m_file.errorString();
            return false;
        }
    }
    struct stat target = {};
    if (::fstat(m_file.handle(), &target) == 0 && !S_ISREG(target.st_mode))
        ::signal(SIGPIPE, SIG_IGN);
    QByteArray header(FileHeaderSize, '\0');
    char *h = header.data();
    put32(h, Magic);
    put16(h + 4, VersionMajor);
    put16(h + 6, VersionMinor);
    // bytes 8-15: time zone offset and accuracy, both 0
    put32(h + 16, SnapLength);
    put32(h + 20, linkType);
    return writeWhole(header);
}

void PcapWriter::guardStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        if (fd == STDOUT_FILENO)
            stdoutWasClosed = true;
        // open() takes the lowest free number, which is this one.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd)
            ::close(opened);
    }
}

QString PcapWriter::targetName() const
{
    return m_target == QLatin1String("-") ? QStringLiteral("standard output") : m_target;
}

void PcapWriter::close()
{
    if (m_file.isOpen())
        m_file.close();
}

bool PcapWriter::writePacket(const QByteArray &data, qint64 microsecondsSinceEpoch)
{
    if (!m_file.isOpen())
        return false;
    if (microsecondsSinceEpoch < 0) {
        using namespace std::chrono;
        microsecondsSinceEpoch = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    }
    const quint32 length = quint32(qMin<qsizetype>(data.size(), SnapLength));
    QByteArray record(PacketHeaderSize + int(length), '\0');
    char *r = record.data();
    put32(r, quint32(microsecondsSinceEpoch / 1000000));
    put32(r + 4, quint32(microsecondsSinceEpoch % 1000000));
    put32(r + 8, length);                 // bytes kept
    put32(r + 12, quint32(data.size()));  // bytes on the wire
    std::memcpy(r + PacketHeaderSize, data.constData(), length);
    return writeWhole(record);
}

const QVector<PcapWriter::MarkRow> &PcapWriter::marks()
{
    static const QVector<MarkRow> table = {
        {LateReply, "late reply", "Late reply: answers an earlier request"},
        {UnaskedFrame, "unasked frame", "Unasked frame: answers no request written"},
        {LineNoise, "line noise", "Line noise: bytes that form no frame"},
        {CutShort, "cut short", "Cut short: the start of a reply whose rest did not come"},
        {NotAnAnswer, "not an answer", "Not an answer: damaged, or not the reply to its request"},
    };
    return table;
}

const PcapWriter::MarkRow *PcapWriter::markRow(Mark mark)
{
    for (const MarkRow &row : marks()) {
        if (row.mark == mark)
            return &row;
    }
    return nullptr;
}

bool PcapWriter::writeFrame(Direction direction, const QByteArray &frame, Mark mark)
{
    return writePacket(char(direction | mark << 1) + frame);
}

bool PcapWriter::writeWhole(const QByteArray &bytes)
{
    if (m_file.write(bytes) == bytes.size())
        return true;
    m_error = m_file.errorString();
    m_file.close();
    return false;
}
