#include "profileeditor.h"

#include <QtCore/QFileInfo>
#include <QtSql/QSqlDatabase>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QTreeView>
#include <QtWidgets/QVBoxLayout>

#include <profile.h>
#include <propertyitemmodel.h>

#include "profilesettingitem.h"

namespace {

enum Group { ResultTexts, ResultMarkers, Samples, Colours, QualityControl, Display, GroupCount };

struct Setting
{
    Group group;
    const char *key;
    int metaType;
    ProfileSettingItem::Reader read;
    ProfileSettingItem::Writer write;
};

// Each setting once: its group, key and type; the accessors come from the key.
// The default shown for a setting never stored is the one the library itself
// passes where it reads the setting, else the type's empty value.
#define SETTING(group, Type, key, defaultValue)                                                  \
    Setting { group, #key, qMetaTypeId<Type>(),                                                  \
              [](Profile &p) { return QVariant::fromValue(p.key(defaultValue)); },               \
              [](Profile &p, const QVariant &v) { p.set_##key(v.value<Type>(), true); } }

const QVector<Setting> &settings()
{
    static const QVector<Setting> table = {
        SETTING(ResultTexts, QString, result_is_preparing, QString()),
        SETTING(ResultTexts, QString, result_can_not_be_calculated, Profile::tr("---.-")),
        SETTING(ResultTexts, QString, result_is_incubating, QString()),
        SETTING(ResultTexts, QString, result_is_analysing, QString()),
        SETTING(ResultTexts, QString, result_not_clotted, Profile::tr("不凝")),
        SETTING(ResultMarkers, QString, dilution_result_flag, Profile::tr("!")),
        SETTING(ResultMarkers, QString, lower_report_limit_flag, Profile::tr("<")),
        SETTING(ResultMarkers, QString, upper_report_limit_flag, Profile::tr(">")),
        SETTING(ResultMarkers, QString, lower_mark_limit_flag, Profile::tr("↓")),
        SETTING(ResultMarkers, QString, upper_mark_limit_flag, Profile::tr("↑")),
        SETTING(ResultMarkers, QString, manual_input_flag, Profile::tr("M")),
        SETTING(ResultMarkers, QString, replication_diff_flag, QString()),
        SETTING(Samples, QString, statim_sample_prefix, QStringLiteral("S")),
        SETTING(Samples, QString, qc_sample_prefix, QStringLiteral("QC")),
        SETTING(Colours, QColor, color_of_waiting, QColor()),
        SETTING(Colours, QColor, color_of_dispensing, QColor()),
        SETTING(Colours, QColor, color_of_incubating, QColor()),
        SETTING(Colours, QColor, color_of_analysing, QColor()),
        SETTING(Colours, QColor, color_of_null_result, QColor(Qt::red)),
        SETTING(Colours, QColor, color_of_lower_report, QColor(Qt::red)),
        SETTING(Colours, QColor, color_of_upper_report, QColor(Qt::red)),
        SETTING(Colours, QColor, color_of_lower_mark, QColor(255, 170, 0)),
        SETTING(Colours, QColor, color_of_upper_mark, QColor(255, 170, 0)),
        SETTING(QualityControl, int, max_qc_file, 0),
        SETTING(QualityControl, int, qc_method, 0),
        SETTING(Display, QString, analysis_display_assay, QString()),
        SETTING(Display, QString, patient_display_fields, QString()),
        SETTING(Display, QString, hospital, QString()),
        SETTING(Display, bool, is_touch_screen, false),
    };
    return table;
}

#undef SETTING

QString groupName(Group group)
{
    switch (group) {
    case ResultTexts: return ProfileEditor::tr("Result texts");
    case ResultMarkers: return ProfileEditor::tr("Result markers");
    case Samples: return ProfileEditor::tr("Sample prefixes");
    case Colours: return ProfileEditor::tr("Colours");
    case QualityControl: return ProfileEditor::tr("Quality control");
    case Display: return ProfileEditor::tr("Display");
    case GroupCount: break;
    }
    return QString();
}

// The swatch belongs to the value; the name cell stays plain.
class ProfileModel : public PropertyItemModel
{
public:
    using PropertyItemModel::PropertyItemModel;

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::DecorationRole && index.column() == 0)
            return QVariant();
        return PropertyItemModel::data(index, role);
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

    PropertyItem *groups[GroupCount];
    for (int group = 0; group < GroupCount; ++group) {
        groups[group] = new PropertyItem(groupName(Group(group)), QVariant());
        groups[group]->setEditable(false);
        m_model->append(groups[group]);
    }
    for (const Setting &setting : settings()) {
        auto *item = new ProfileSettingItem(profile, QLatin1String(setting.key), setting.metaType, setting.read,
                                            setting.write);
        item->setEditable(m_hasProfile);
        groups[setting.group]->append(item);
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
