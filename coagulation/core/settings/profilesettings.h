#ifndef PROFILESETTINGS_H
#define PROFILESETTINGS_H

/**
 * \file profilesettings.h
 * \brief The named settings of the profile, each declared once.
 *
 * From the table QV_PROFILE_SETTINGS come the typed accessors of Profile (key() and
 * set_key()), Profile::items() for editors and tools, and the tests that go through
 * every setting.
 */

/**
 * The named settings, one row each:
 *
 *     X(type, key, default, group, label)
 *
 * - type: QString, QColor, int or bool
 * - key: the row's name in the table "profile", and the accessors' name
 * - default: what a getter called without one returns while nothing is stored
 * - group: one of the QV_PROFILE_GROUP_ names below
 * - label: English; a translation file may change it
 *
 * Texts are translated as they are read, never before: Profile::tr() here runs where a
 * getter is called or an item is asked, so a translator installed after start-up shows.
 * The defaults are the ones the library itself relies on (result markers and texts,
 * sample prefixes, result colours); the settings only the application reads default to
 * the type's empty value. Adding a setting is one row here (and the translations of its
 * label, and of its default if it is text, in translations/).
 */
#define QV_PROFILE_SETTINGS(X) \
    X(QString, statim_sample_prefix,         QStringLiteral("S"),  Samples,        Profile::tr("Statim samples")) \
    X(QString, qc_sample_prefix,             QStringLiteral("QC"), Samples,        Profile::tr("Quality-control samples")) \
    X(QString, result_is_preparing,          QString(),            ResultTexts,    Profile::tr("Preparing")) \
    X(QString, result_can_not_be_calculated, Profile::tr("---.-"), ResultTexts,    Profile::tr("Cannot be calculated")) \
    X(QString, result_is_incubating,         QString(),            ResultTexts,    Profile::tr("Incubating")) \
    X(QString, result_is_analysing,          QString(),            ResultTexts,    Profile::tr("Analysing")) \
    X(QString, result_not_clotted,           Profile::tr("不凝"),  ResultTexts,    Profile::tr("Not clotted")) \
    X(QString, dilution_result_flag,         Profile::tr("!"),     ResultMarkers,  Profile::tr("Diluted")) \
    X(QString, lower_report_limit_flag,      Profile::tr("<"),     ResultMarkers,  Profile::tr("Below the report range")) \
    X(QString, upper_report_limit_flag,      Profile::tr(">"),     ResultMarkers,  Profile::tr("Above the report range")) \
    X(QString, lower_mark_limit_flag,        Profile::tr("↓"),     ResultMarkers,  Profile::tr("Below the marking limit")) \
    X(QString, upper_mark_limit_flag,        Profile::tr("↑"),     ResultMarkers,  Profile::tr("Above the marking limit")) \
    X(QString, manual_input_flag,            Profile::tr("M"),     ResultMarkers,  Profile::tr("Entered by hand")) \
    X(QString, replication_diff_flag,        QString(),            ResultMarkers,  Profile::tr("Replicates differ")) \
    X(QColor,  color_of_waiting,             QColor(),             Colours,        Profile::tr("Waiting")) \
    X(QColor,  color_of_dispensing,          QColor(),             Colours,        Profile::tr("Dispensing")) \
    X(QColor,  color_of_incubating,          QColor(),             Colours,        Profile::tr("Incubating")) \
    X(QColor,  color_of_analysing,           QColor(),             Colours,        Profile::tr("Analysing")) \
    X(QColor,  color_of_null_result,         QColor(Qt::red),      Colours,        Profile::tr("Result without a number")) \
    X(QColor,  color_of_lower_report,        QColor(Qt::red),      Colours,        Profile::tr("Below the report range")) \
    X(QColor,  color_of_upper_report,        QColor(Qt::red),      Colours,        Profile::tr("Above the report range")) \
    X(QColor,  color_of_lower_mark,          QColor(255, 170, 0),  Colours,        Profile::tr("Below the marking limit")) \
    X(QColor,  color_of_upper_mark,          QColor(255, 170, 0),  Colours,        Profile::tr("Above the marking limit")) \
    X(QString, analysis_display_assay,       QString(),            Display,        Profile::tr("Assays shown in analysis")) \
    X(QString, patient_display_fields,       QString(),            Display,        Profile::tr("Patient fields shown")) \
    X(int,     max_qc_file,                  0,                    QualityControl, Profile::tr("Most quality-control files")) \
    X(int,     qc_method,                    0,                    QualityControl, Profile::tr("Quality-control method")) \
    X(QString, hospital,                     QString(),            Display,        Profile::tr("Hospital")) \
    X(bool,    is_touch_screen,              false,                Display,        Profile::tr("Touch screen"))

/**
 * \name Groups
 * The groups an editor shows the settings in, in the order they first appear above.
 */
/** @{ */
/// The group of the sample prefixes.
#define QV_PROFILE_GROUP_Samples        Profile::tr("Sample prefixes")
/// The group of the texts shown in place of a result.
#define QV_PROFILE_GROUP_ResultTexts    Profile::tr("Result texts")
/// The group of the markers shown around a result.
#define QV_PROFILE_GROUP_ResultMarkers  Profile::tr("Result markers")
/// The group of the result and state colours.
#define QV_PROFILE_GROUP_Colours        Profile::tr("Colours")
/// The group of what the application shows.
#define QV_PROFILE_GROUP_Display        Profile::tr("Display")
/// The group of the quality-control settings.
#define QV_PROFILE_GROUP_QualityControl Profile::tr("Quality control")
/** @} */

#endif // PROFILESETTINGS_H
