#ifndef MESSAGEBOXRECORDER_H
#define MESSAGEBOXRECORDER_H

#include <QtCore/QList>
#include <QtCore/QString>

#include <qvglobal.h>

// Answers and records every message box of the library while it lives, so a
// test can count them without a person. Restores the earlier handler when it
// goes; recorders nest.
class MessageBoxRecorder
{
public:
    struct Box {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton;
    };

    MessageBoxRecorder();
    ~MessageBoxRecorder();

    // The button every box is answered with. NoButton (the default) answers
    // with the box's default button, else its first button.
    void setAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }

    int count() const { return m_boxes.size(); }
    const QList<Box> &boxes() const { return m_boxes; }
    QStringList texts() const;
    void clear() { m_boxes.clear(); }

private:
    Q_DISABLE_COPY(MessageBoxRecorder)
    QMessageBox::StandardButton answer(const Box &box) const;

    QList<Box> m_boxes;
    QMessageBox::StandardButton m_answer = QMessageBox::NoButton;
    MessageBoxHandler m_previous;
};

#endif // MESSAGEBOXRECORDER_H
