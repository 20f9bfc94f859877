#ifndef PCAPWRITER_H
#define PCAPWRITER_H

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QVector>

// Writes a classic capture file (microsecond timestamps, little-endian header) that
// Wireshark, tshark and tcpdump read, to a file, a pipe or standard output. Every packet
// goes out in one write as it comes, so a session that fails or is interrupted still
// leaves a valid file holding what was exchanged up to then, and a reader at the other
// end of a pipe (tshark -i -, Wireshark's extcap FIFO) sees each frame at once.
//
// The link's own packets (link type User0) are one direction byte and the frame with its
// checksum. Bit 0 of the direction byte is the direction (0 a request, 1 a reply); bits
// 1-7 are a mark: why the bytes read were not taken as a reply (Mark), 0 for a request and
// a reply that was taken. The dissector has the same rows.
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
    enum Mark : quint8 {
        Taken = 0,
        LateReply = 1,
        UnaskedFrame = 2,
        LineNoise = 3,
        CutShort = 4,
        NotAnAnswer = 5
    };
    struct MarkRow {
        Mark mark;
        const char *name; // for a trace
        const char *text; // the dissector's text of the mark
    };
    // One row per mark but Taken.
    static const QVector<MarkRow> &marks();
    static const MarkRow *markRow(Mark mark);

    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;

    // Creates (or empties) the file and writes the file header. "-" is standard output,
    // which has to be open and not a terminal. Where the capture goes to a pipe, the
    // process ignores SIGPIPE from then on: a reader that goes away makes a write fail
    // with its reason rather than end the program without a word.
    bool open(const QString &fileName, LinkType linkType = User0);
    // "standard output" for "-", else the file's name: for messages.
    QString targetName() const;

    // For the start of main(), before anything is opened: a standard stream the program
    // was started without is opened on /dev/null, so that no file or socket opened later
    // takes its number and receives what was meant for the stream; open("-") then
    // refuses the stdout that was closed.
    static void guardStandardStreams();
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    QString errorString() const { return m_error; }

    // One packet, stamped with the current time or with the given microseconds since
    // the epoch. False, with the file closed, when it could not be written.
    bool writePacket(const QByteArray &data, qint64 microsecondsSinceEpoch = -1);
    // One frame of the link (User0 files), with the mark on a reply not taken.
    bool writeFrame(Direction direction, const QByteArray &frame, Mark mark = Taken);

private:
    bool writeWhole(const QByteArray &bytes);

    QFile m_file;
    QString m_target;
    QString m_error;
};

#endif // PCAPWRITER_H
