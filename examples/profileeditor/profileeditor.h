#ifndef PROFILEEDITOR_H
#define PROFILEEDITOR_H

#include <QtWidgets/QWidget>

class Profile;
class PropertyItemModel;
class QTreeView;

// Shows the named settings of a profile as a property tree, grouped by what
// they are for; an edit in the value column is written to the profile at once.
class ProfileEditor : public QWidget
{
    Q_OBJECT

public:
    explicit ProfileEditor(Profile &profile, QWidget *parent = nullptr);

    PropertyItemModel *model() const;
    QTreeView *view() const;

private:
    PropertyItemModel *m_model;
    QTreeView *m_view;
};

#endif // PROFILEEDITOR_H
