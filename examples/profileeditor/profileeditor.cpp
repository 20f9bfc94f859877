#include "profileeditor.h"

#include <QtCore/QFileInfo>
#include <QtCore/QHash>
#include <QtSql/QSqlDatabase>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QTreeView>
#include <QtWidgets/QVBoxLayout>

#include <profile.h>
#include <propertyitemmodel.h>

#include "profilesettingitem.h"

namespace {

// The swatch belongs to the value; the name cell stays plain. A yes-or-no setting's
// value is a check box: no words to read or translate, one click to change.
class ProfileModel : public PropertyItemModel
{
public:
    using PropertyItemModel::PropertyItemModel;
    enum { NameColumn = 0, ValueColumn = 1 };

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::DecorationRole && index.column() == NameColumn)
            return QVariant();
        if (const ProfileSettingItem *setting = checkable(index)) {
            switch (role) {
            case Qt::CheckStateRole:
                return setting->value().toBool() ? Qt::Checked : Qt::Unchecked;
            case Qt::DisplayRole:
                return QVariant();
            case Qt::EditRole:
                return setting->value();
            default:
                break;
            }
        }
        return PropertyItemModel::data(index, role);
    }

    bool setData(const QModelIndex &index, const QVariant &value, int role) override
    {
        ProfileSettingItem *setting = checkable(index);
        if (!setting || role != Qt::CheckStateRole)
            return PropertyItemModel::setData(index, value, role);
        if (!setting->flags().testFlag(Qt::ItemIsUserCheckable))
            return false;
        setting->setValue(value.toInt() == Qt::Checked, true);
        return true;
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        const Qt::ItemFlags flags = PropertyItemModel::flags(index);
        if (!checkable(index))
            return flags & ~Qt::ItemIsUserCheckable;
        return flags & ~Qt::ItemIsEditable;
    }

private:
    // The yes-or-no setting whose value cell index is; null for any other cell.
    ProfileSettingItem *checkable(const QModelIndex &index) const
    {
        if (index.column() != ValueColumn)
            return nullptr;
        PropertyItem *item = itemFromIndex(index);
        if (!item || item->type() != ProfileSettingItem::Type)
            return nullptr;
        auto *setting = static_cast<ProfileSettingItem *>(item);
        return setting->isCheckable() ? setting : nullptr;
    }
};

} // namespace

ProfileEditor::ProfileEditor(Profile &profile, const QString &profileName, QWidget *parent)
    : QWidget(parent)
    , m_model(new ProfileModel(this))
    , m_view(new QTreeView(this))
    , m_warning(new QLabel(this))
{
    const QSqlDatabase db = profile.database();
    m_hasProfile = db.isValid() && db.isOpen();
    const QString file = m_hasProfile ? QFileInfo(db.databaseName()).absoluteFilePath()
                                      : (profileName.isEmpty() ? QStringLiteral("profile.db") : profileName);

    // The groups in the order they first appear among the settings.
    QHash<QString, PropertyItem *> groups;
    for (const ProfileItem &setting : Profile::items()) {
        PropertyItem *&group = groups[setting.group()];
        if (!group) {
            group = new PropertyItem(setting.group(), QVariant());
            group->setEditable(false);
            m_model->append(group);
        }
        auto *item = new ProfileSettingItem(profile, setting);
        item->setEditable(m_hasProfile);
        if (item->isCheckable())
            item->changeFlags(Qt::ItemIsUserCheckable, m_hasProfile);
        group->append(item);
    }

    m_view->setModel(m_model);
    m_view->setAlternatingRowColors(true);
    m_view->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked
                            | QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    m_view->expandAll();
    m_view->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);

    m_warning->setWordWrap(true);
    m_warning->setMargin(8);
    m_warning->setStyleSheet(QStringLiteral("background: #fff3cd; color: #664d03;"));
    m_warning->setText(tr("The profile %1 does not exist or cannot be opened: the values shown are the defaults,"
                          " and nothing can be changed.").arg(file));
    m_warning->setVisible(!m_hasProfile);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_warning);
    layout->addWidget(m_view);
    setWindowTitle(m_hasProfile ? tr("Profile settings - %1").arg(file)
                                : tr("Profile settings - %1 (not found)").arg(file));
    resize(560, 820);
}

PropertyItemModel *ProfileEditor::model() const
{
    return m_model;
}

QTreeView *ProfileEditor::view() const
{
    return m_view;
}

bool ProfileEditor::hasProfile() const
{
    return m_hasProfile;
}

QLabel *ProfileEditor::warning() const
{
    return m_warning;
}
