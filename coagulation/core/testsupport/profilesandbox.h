#ifndef PROFILESANDBOX_H
#define PROFILESANDBOX_H

#include <QtCore/QString>
#include <QtCore/QTemporaryDir>

// Makes the process-wide Profile start in a temporary directory holding the
// four database files (profile with its table "profile", data with the table
// "curve", quality control and system log with one table each), so that code
// reading Profile::instance() can be tested without touching real settings.
// Create it before anything calls Profile::instance(); the current directory
// stays in the sandbox while it lives.
class ProfileSandbox
{
public:
    ProfileSandbox();
    ~ProfileSandbox();

    bool isValid() const { return m_valid; }
    QString path() const { return m_dir.path(); }
    // Message boxes that the profile's start-up showed (answered unseen).
    int startupBoxes() const { return m_boxes; }

    // Runs one statement on a connection of its own to a file in the sandbox.
    bool exec(const QString &file, const QString &sql) const;

private:
    QTemporaryDir m_dir;
    QString m_previous;
    bool m_valid = false;
    int m_boxes = 0;
};

#endif // PROFILESANDBOX_H
