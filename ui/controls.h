#pragma once
// Helpers that build the window's controls at their fixed places, each with
// its control name (Label26, Edit1, ...) as object name.

#include <QRect>
#include <QString>

class QLabel;
class QLineEdit;
class QTreeWidget;
class QWidget;

namespace aputil {

// A label sized to its text; width > 0 fixes the width (value labels whose
// text comes later).
QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int width = -1);
// A label that holds one of the small field icons.
QLabel* MakeIcon(QWidget* parent, const char* name, int x, int y);
QLineEdit* MakeEdit(QWidget* parent, const char* name, const QRect& geometry);
// A read-only list in report view with two columns and whole-row selection.
QTreeWidget* MakeReportList(QWidget* parent, const char* name, const QRect& geometry);

}  // namespace aputil
