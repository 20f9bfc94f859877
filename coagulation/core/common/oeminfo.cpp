#include "oeminfo.h"

OemInfo::OemInfo(QObject *parent)
    : QObject(parent)
{
}

QString OemInfo::oemIdText()
{
    return tr("0001");
}

QString OemInfo::organizationName()
{
    return tr("凝析仪器");
}

QString OemInfo::qvApplicationName()
{
    return tr("凝血分析系统");
}

QString OemInfo::qvAboutText()
{
    return tr("<h2>%1</h2>\n"
              "<table width=480>\n"
              "<tr>\n"
              "  <td>发布版本: %2</td>\n"
              "  <td>完整版本: %3</td>\n"
              "  <td>文件版本: %4</td>\n"
              "</tr>\n"
              "</table>");
}

QString OemInfo::reportDesignerApplicationName()
{
    return tr("ReportDesigner");
}
