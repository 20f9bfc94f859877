#ifndef REGISTERITEM_H
#define REGISTERITEM_H

#include <propertyitem.h>

#include <functional>

// One holding register of a module as a row: its address and the value last read. An
// edit in the view is not kept as it stands: a number from 0 to 65535 (decimal, or
// hexadecimal after 0x) goes to the writer, and the row shows it as being written until
// the writer calls written(); anything else is refused with a warning line.
class RegisterItem : public PropertyItem
{
public:
    using Writer = std::function<void(RegisterItem *item, quint16 value)>;

    RegisterItem(quint16 address, Writer writer);

    int type() const override;
    quint16 address() const;
    // Whether a write of this row is under way; a poll does not show its value meanwhile,
    // since it may have been read before the write.
    bool isWriting() const;

    // A value read from the module.
    void showRead(quint16 value);
    // The write has ended: the value stays on success, else the last value read comes
    // back and the tip says why.
    void written(bool ok, const QString &why);
    // From the view (notify): a number to write; otherwise as PropertyItem.
    void setValue(const QVariant &value, bool notify) override;

    enum { Type = 2 };

private:
    Writer m_writer;
    quint16 m_address;
    QVariant m_read;
    int m_writing = 0;
};

#endif // REGISTERITEM_H
