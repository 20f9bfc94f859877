#ifndef PCAPWRITER_H
#define PCAPWRITER_H

#include <QByteArray>
#include <QFile>
#include <QString>

// Writes a classic capture file (microsecond timestamps, little-endian header) that
// Wireshark, tshark and tcpdump read. Every packet goes to the file in one write as it
// comes, so a session that fails or is interrupted still leaves a valid file holding
// what was exchanged up to then.
//
// The link's own packets (link type User0) are one direction byte, 0 for a request
// and 1 for a reply, followed by the frame with its checksum.
class PcapWriter
{
public:
    enum LinkType : quint32 {
        Ethernet = 1,
        User0 = 147
    };
    enum Direction : quint8 {
        Request = 0,
        Reply = 1
    };

    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;

    // Creates (or empties) the file and writes the file header.
    bool open(const QString &fileName, LinkType linkType = User0);
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    QString errorString() const { return m_error; }

    // One packet, stamped with the current time or with the given microseconds since
    // the epoch. False, with the file closed, when it could not be written.
    bool writePacket(const QByteArray &data, qint64 microsecondsSinceEpoch = -1);
    // One frame of the link (User0 files).
    bool writeFrame(Direction direction, const QByteArray &frame);

private:
    bool writeWhole(const QByteArray &bytes);

    QFile m_file;
    QString m_error;
};

#endif // PCAPWRITER_H
