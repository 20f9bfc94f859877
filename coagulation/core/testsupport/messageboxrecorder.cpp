#include "messageboxrecorder.h"

#include <QtCore/QStringList>

MessageBoxRecorder::MessageBoxRecorder()
{
    m_previous = setMessageBoxHandler([this](QMessageBox::Icon icon, const QString &title, const QString &text,
                                             QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton defaultButton) {
        const Box box{icon, title, text, buttons, defaultButton};
        m_boxes.append(box);
        return answer(box);
    });
}

MessageBoxRecorder::~MessageBoxRecorder()
{
    setMessageBoxHandler(std::move(m_previous));
}

QStringList MessageBoxRecorder::texts() const
{
    QStringList result;
    for (const Box &box : m_boxes)
        result << box.text;
    return result;
}

QMessageBox::StandardButton MessageBoxRecorder::answer(const Box &box) const
{
    if (m_answer != QMessageBox::NoButton)
        return m_answer;
    if (box.defaultButton != QMessageBox::NoButton)
        return box.defaultButton;
    for (int bit = QMessageBox::FirstButton; bit <= QMessageBox::LastButton; bit <<= 1) {
        if (box.buttons & bit)
            return QMessageBox::StandardButton(bit);
    }
    return QMessageBox::NoButton;
}
