// The MAC access tab of the security configuration page: the switch
// (CheckBox3), the address field (MaskEdit28) and the table (ListView3) with
// add, modify and remove.

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QTreeWidget>

#include <algorithm>

#include "app/gui/image_button.h"
#include "app/textconv.h"
#include "image/layout.h"
#include "image/transfer.h"
#include "ui/form1.h"
#include "ui/security_input.h"
#include "ui/widgets.h"

namespace aputil {

namespace {

constexpr int kAddressColumn = 1;

// The field's text with its colons and with a blank in every empty place
// (text() of a masked field leaves the blanks out).
QString FieldText(const QLineEdit* field) { return field->displayText(); }

QStringList StoredAddressTexts() {
    QStringList texts;
    for (const MacAddress& mac : ReadMacTable(configImage).entries) {
        texts.push_back(QString::fromLatin1(FormatMacText(mac)));
    }
    return texts;
}

// The table holds an address once. Rows read from the device are lower
// case and typed ones upper case, so the test ignores case: otherwise a typed
// copy of a device row with letters in it would be listed twice.
bool IsListed(const QTreeWidget* list, const QString& address) {
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QString row = list->topLevelItem(i)->text(kAddressColumn).left(static_cast<int>(kMacTextLength));
        if (row.compare(address, Qt::CaseInsensitive) == 0) return true;
    }
    return false;
}

void RefuseAddress(TForm1& form) {
    form.ShowMessageDialog(form.kept.macError);
    form.MaskEdit28->selectAll();
    form.MaskEdit28->setFocus();
}

}  // namespace

void TForm1::FillMacAccessTab() {
    ListView3->clear();
    ListView3->setHeaderLabels({kept.macAccNo, kept.macAccAddr});
    const int inner = ListView3->width() - 2 * ListView3->frameWidth();
    ListView3->setColumnWidth(0, inner / 5);
    ListView3->setColumnWidth(1, inner * 4 / 5);
    const QStringList stored = StoredAddressTexts();
    for (int i = 0; i < stored.size(); ++i) {
        new QTreeWidgetItem(ListView3, {QString::number(i + 1), stored[i]});
    }
    MaskEdit28->clear();
    {
        const QSignalBlocker block(CheckBox3);
        CheckBox3->setChecked(ReadMacTable(configImage).IsOn());
    }
    // The controls follow the box even when its state did not change.
    CheckBox3Click();
}

void TForm1::CheckBox3Click() {
    const bool on = CheckBox3->isChecked();
    MaskEdit28->setEnabled(on);
    ListView3->setEnabled(on);
    BitBtn15->setEnabled(on);
    BitBtn16->setEnabled(on);
    BitBtn17->setEnabled(on);
    if (on && !Panel8->isHidden() && !GroupBox2->isHidden() && MaskEdit28->isEnabled()) {
        MaskEdit28->setFocus();
        MaskEdit28->selectAll();
    }
}

bool TForm1::MaskEdit28KeyPress(QKeyEvent* event) { return IsKeyRefused(event, KeyCharClass::Hex); }

void TForm1::ListView3Click() {
    const QList<QTreeWidgetItem*> selected = ListView3->selectedItems();
    if (selected.isEmpty()) return;
    MaskEdit28->setText(selected.first()->text(kAddressColumn));
}

void TForm1::BitBtn15Click() {
    if (ListView3->topLevelItemCount() >= MAX_MAC_ENTRIES) {
        ShowMessageDialog(kept.macLimit);
        return;
    }
    const QString field = FieldText(MaskEdit28);
    const QString address = field.toUpper();
    if (IsListed(ListView3, address)) return;
    if (!IsValidMacText(field.toLatin1().toStdString())) {
        RefuseAddress(*this);
        return;
    }
    const int position = ListView3->topLevelItemCount() + 1;
    new QTreeWidgetItem(ListView3, {QString::number(position), address});
}

void TForm1::BitBtn16Click() {
    if (ListView3->topLevelItemCount() == 0) return;
    const QString field = FieldText(MaskEdit28);
    const QString address = field.toUpper();
    if (IsListed(ListView3, address)) return;
    const QList<QTreeWidgetItem*> selected = ListView3->selectedItems();
    if (selected.isEmpty()) return;
    if (!IsValidMacText(field.toLatin1().toStdString())) {
        RefuseAddress(*this);
        return;
    }
    selected.first()->setText(kAddressColumn, address);
}

void TForm1::BitBtn17Click() {
    const QList<QTreeWidgetItem*> selected = ListView3->selectedItems();
    if (selected.isEmpty()) return;
    const int removed = ListView3->indexOfTopLevelItem(selected.first());
    delete ListView3->takeTopLevelItem(removed);
    // Positions stay 1, 2, 3, ... without a gap.
    for (int i = removed; i < ListView3->topLevelItemCount(); ++i) {
        ListView3->topLevelItem(i)->setText(0, QString::number(i + 1));
    }
    MaskEdit28->clear();
}

bool TForm1::MacSettingsChanged() const {
    // The switch is on exactly when the stored byte is 1, so any other stored
    // value matches a box that is off.
    if (CheckBox3->isChecked() != ReadMacTable(configImage).IsOn()) return true;
    const QStringList stored = StoredAddressTexts();
    const int rows = ListView3->topLevelItemCount();
    if (rows == 0 || stored.isEmpty()) return rows != stored.size();
    if (rows != stored.size()) return true;
    for (int i = 0; i < rows; ++i) {
        if (!stored.contains(ListView3->topLevelItem(i)->text(kAddressColumn))) return true;
    }
    return false;
}

}  // namespace aputil
