#ifndef OEMINFO_H
#define OEMINFO_H

#include <QtCore/QObject>
#include <QtCore/QString>

#include "qvcore_global.h"

// The texts by which a build names itself. Each passes through the translation
// context "OemInfo", so an installed translation can replace any one of them.
class QVCORE_EXPORT OemInfo : public QObject
{
    Q_OBJECT

public:
    explicit OemInfo(QObject *parent = nullptr);

    static QString oemIdText();
    static QString organizationName();
    static QString qvApplicationName();
    // Rich text with %1 application name, %2 release, %3 full and %4 file version.
    static QString qvAboutText();
    static QString reportDesignerApplicationName();
};

#endif // OEMINFO_H
