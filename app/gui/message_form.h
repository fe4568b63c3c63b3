#pragma once
// The one message dialog: a small modal window with a picture background (a
// warning triangle and a band with an OK button drawn in), the message text
// centred and word-wrapped over it, and the OK button. Created hidden at
// start-up and reused for every message.

#include <QDialog>
#include <QString>

class QLabel;

namespace aputil {

class TImageButton;

class TMessageForm : public QDialog {
    Q_OBJECT
public:
    explicit TMessageForm(QWidget* parent = nullptr);
    ~TMessageForm() override;

    // The dialog created at start-up, or nullptr before and after it lives.
    static TMessageForm* Instance();

    // Puts text into Label1, centres the dialog over `over` (when given) and
    // shows it modally; returns when it was closed.
    void ShowMessage(const QString& text, QWidget* over);

    // The controls, named as their object names.
    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    TImageButton* BitBtn1 = nullptr;

signals:
    // Emitted with the text each time the dialog is about to be shown, so a
    // watcher (a test) can read it and close the dialog.
    void Showing(const QString& text);

private:
    void FormCreate();
    void BitBtn1Click();
    void CentreOver(QWidget* over);
};

}  // namespace aputil
