#include "ui/controls.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>

namespace aputil {

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int width) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->move(x, y);
    label->adjustSize();
    if (width > 0) label->resize(width, label->height());
    return label;
}

QLabel* MakeIcon(QWidget* parent, const char* name, int x, int y) {
    auto* icon = new QLabel(parent);
    icon->setObjectName(QString::fromLatin1(name));
    icon->setGeometry(x, y, 12, 12);
    return icon;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QRect& geometry) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(geometry);
    return edit;
}

QTreeWidget* MakeReportList(QWidget* parent, const char* name, const QRect& geometry) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(QString::fromLatin1(name));
    list->setGeometry(geometry);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setColumnCount(2);
    list->setHeaderLabels({QString(), QString()});
    list->header()->setSectionsMovable(false);
    return list;
}

}  // namespace aputil
