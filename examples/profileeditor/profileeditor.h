#ifndef PROFILEEDITOR_H
#define PROFILEEDITOR_H

#include <QtWidgets/QWidget>

class Profile;
class PropertyItemModel;
class QLabel;
class QTreeView;

// Shows the named settings of a profile as a property tree, grouped by what
// they are for; an edit in the value column is written to the profile at once.
// Stored values are told apart from the defaults shown for settings never
// stored. The title names the profile's file; a profile that could not be
// opened is said above the tree, which then takes no edits (they would be lost).
class ProfileEditor : public QWidget
{
    Q_OBJECT

public:
    // profileName: the name the profile was looked for by, said when it is missing.
    explicit ProfileEditor(Profile &profile, const QString &profileName = QString(), QWidget *parent = nullptr);

    PropertyItemModel *model() const;
    QTreeView *view() const;
    // Whether the profile's database is open, so that edits are kept.
    bool hasProfile() const;
    // The warning above the tree; hidden when the profile is there.
    QLabel *warning() const;

private:
    PropertyItemModel *m_model;
    QTreeView *m_view;
    QLabel *m_warning;
    bool m_hasProfile;
};

#endif // PROFILEEDITOR_H
