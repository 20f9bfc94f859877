#include "registeritem.h"

#include <QtCore/QCoreApplication>

RegisterItem::RegisterItem(quint16 address, Writer writer)
    : PropertyItem(QStringLiteral("0x%1").arg(address, 4, 16, QLatin1Char('0')), QVariant())
    , m_writer(std::move(writer))
    , m_address(address)
{
}

int RegisterItem::type() const
{
    return Type;
}

quint16 RegisterItem::address() const
{
    return m_address;
}

bool RegisterItem::isWriting() const
{
    return m_writing > 0;
}

void RegisterItem::showRead(quint16 value)
{
    m_read = int(value);
    if (!isWriting() && m_read != PropertyItem::value())
        PropertyItem::setValue(m_read, false);
}

void RegisterItem::written(bool ok, const QString &why)
{
    if (m_writing > 0)
        --m_writing;
    setData(ok ? QVariant() : QVariant(why), Qt::ToolTipRole);
    if (!ok && !isWriting())
        PropertyItem::setValue(m_read, false);
}

void RegisterItem::setValue(const QVariant &value, bool notify)
{
    if (!notify) {
        PropertyItem::setValue(value, notify);
        return;
    }
    const QString text = value.toString().trimmed();
    bool ok = false;
    const uint number = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? text.mid(2).toUInt(&ok, 16)
                                                                                    : text.toUInt(&ok, 10);
    if (!ok || number > 0xFFFF) {
        qWarning("monitor: register %s: \"%s\" is not a number from 0 to 65535", qPrintable(name()),
                 qPrintable(text));
        return;
    }
    ++m_writing;
    PropertyItem::setValue(int(number), false);
    setData(QCoreApplication::translate("RegisterItem", "being written"), Qt::ToolTipRole);
    m_writer(this, quint16(number));
}
