#pragma once

#include "ShellFixture.h"
#include "common/UuidText.h"
#include "shell/SidebarColumn.h"

#include <QListWidget>

// Finds and clicks the sidebar's rows the way a user does.
namespace SidebarDriver {

inline QListWidget *list(ShellFixture &fixture)
{
    return fixture.find<QListWidget>(QStringLiteral("sidebarList"));
}

inline QWidget *row(ShellFixture &fixture, const QString &objectName)
{
    QListWidget *sidebar = list(fixture);
    for (int i = 0; i < sidebar->count(); ++i)
        if (QWidget *widget = sidebar->itemWidget(sidebar->item(i)); widget && widget->objectName() == objectName)
            return widget;
    return nullptr;
}

inline QString projectRowName(const QUuid &id)
{
    return QStringLiteral("projectRow_") + UuidText::lower(id);
}

// Clicks the middle of the row's list item; false when there is no such row.
inline bool click(ShellFixture &fixture, const QString &objectName)
{
    QListWidget *sidebar = list(fixture);
    for (int i = 0; i < sidebar->count(); ++i) {
        QListWidgetItem *item = sidebar->item(i);
        QWidget *widget = sidebar->itemWidget(item);
        if (!widget || widget->objectName() != objectName)
            continue;
        sidebar->scrollToItem(item);
        QTest::mouseClick(sidebar->viewport(), Qt::LeftButton, {}, sidebar->visualItemRect(item).center());
        ShellFixture::settle();
        return true;
    }
    return false;
}

// The object names of the rows in list order (headers included).
inline QStringList rowNames(ShellFixture &fixture)
{
    QStringList names;
    QListWidget *sidebar = list(fixture);
    for (int i = 0; i < sidebar->count(); ++i)
        if (QWidget *widget = sidebar->itemWidget(sidebar->item(i)))
            names << widget->objectName();
    return names;
}

inline QString text(QWidget *row, const QString &child)
{
    auto *label = row ? row->findChild<QLabel *>(child) : nullptr;
    return label ? label->text() : QString();
}

} // namespace SidebarDriver
