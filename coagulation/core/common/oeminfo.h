#ifndef OEMINFO_H
#define OEMINFO_H

/**
 * \file oeminfo.h
 * \brief The texts by which a build names itself (OemInfo).
 */

#include <QtCore/QObject>
#include <QtCore/QString>

#include "qvcore_global.h"

/**
 * The texts by which a build names itself. Each passes through the translation context
 * "OemInfo", so an installed translation can replace any one of them: a company's own
 * translation file (installTranslators() loads one named by "settings/company") gives
 * its own names. The texts are Chinese until installTranslators() installs another
 * language. The functions are safe from any thread.
 */
class QVCORE_EXPORT OemInfo : public QObject
{
    Q_OBJECT

public:
    /// An object for tr()'s context; the texts themselves are static.
    explicit OemInfo(QObject *parent = nullptr);

    /// The build's identifier, "0001" unless a translation gives another.
    static QString oemIdText();
    /// The organisation's name.
    static QString organizationName();
    /// The application's name.
    static QString qvApplicationName();
    /// Rich text for an about box, with %1 the application's name, %2 the release, %3 the full and %4 the file version.
    static QString qvAboutText();
    /// The name of the report designer.
    static QString reportDesignerApplicationName();
};

#endif // OEMINFO_H
