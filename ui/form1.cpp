// The main window as a whole: its construction, creation and show handlers,
// catalogue texts, button images, page switching, the all-models chord and
// the way back to the login page after an apply.

#include "ui/form1.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProxyStyle>
#include <QRadioButton>
#include <QScreen>
#include <QStyleHints>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <utility>
#include <vector>

#include "app/catalogue.h"
#include "app/data_folders.h"
#include "app/gui/artwork.h"
#include "app/gui/image_button.h"
#include "app/gui/instance_guard.h"
#include "app/gui/message_form.h"
#include "protocol/startup.h"
#include "ui/widgets.h"

namespace aputil {

namespace {

const QColor kFontColour(0x66, 0x66, 0x66);

// Shows one character for every character typed in a password or key field.
class PasswordCharStyle : public QProxyStyle {
public:
    explicit PasswordCharStyle(QChar c) : c_(c) {}
    void SetChar(QChar c) { c_ = c; }
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter) return c_.unicode();
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }

private:
    QChar c_;
};

// Puts a catalogue text on a control of any of the kinds that carry one.
void SetControlText(QWidget* control, const QString& text) {
    if (auto* label = qobject_cast<QLabel*>(control)) {
        label->setText(text);
        label->adjustSize();
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->setText(text);
        button->adjustSize();
    } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
        group->setTitle(text);
    }
}

}  // namespace

// A click acts on the page it began on. The pages lie on top of each other,
// so what opens a page is under the cursor when that page appears: the second
// press of a double-click on it, or a release whose press was made before the
// page changed, would otherwise act on a control its user never aimed at.
// While the window pauses (ReturnToLogin) input queues up for whatever will
// be at its spot afterwards; that input is dropped.
class InputGate : public QObject {
public:
    explicit InputGate(TForm1& form) : QObject(&form), form_(form) {}

    // Delivers what is pending now, dropping every input event among it.
    void DiscardPendingInput() {
        discarding_ = true;
        for (int i = 0; i < 2; ++i) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
        discarding_ = false;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type == QEvent::Show && IsPage(watched)) {
            ++pageSerial_;
            return false;
        }
        if (discarding_ && IsUserInput(type)) return true;
        if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonDblClick &&
            type != QEvent::MouseButtonRelease) {
            return false;
        }
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr || widget->window() != &form_) return false;
        const auto* mouse = static_cast<QMouseEvent*>(event);
        switch (type) {
        case QEvent::MouseButtonPress: {
            const auto at = static_cast<qint64>(mouse->timestamp());
            const bool secondOfDouble =
                havePress_ && pressSerial_ != pageSerial_ && at >= lastPressAt_ &&
                at - lastPressAt_ <= QGuiApplication::styleHints()->mouseDoubleClickInterval() &&
                (mouse->globalPosition() - lastPressPos_).manhattanLength() <=
                    QGuiApplication::styleHints()->startDragDistance();
            havePress_ = true;
            lastPressAt_ = at;
            lastPressPos_ = mouse->globalPosition();
            if (secondOfDouble) {
                eatingClick_ = true;
                return true;
            }
            eatingClick_ = false;
            pressSerial_ = pageSerial_;
            return false;
        }
        case QEvent::MouseButtonDblClick:
            return eatingClick_ || pressSerial_ != pageSerial_;
        default:  // release
            if (!eatingClick_ && pressSerial_ == pageSerial_) return false;
            eatingClick_ = false;
            // A button pressed on the page that went away must not stay
            // down and fire when it comes back.
            if (auto* button = qobject_cast<QAbstractButton*>(widget)) button->setDown(false);
            return true;
        }
    }

private:
    bool IsPage(const QObject* watched) const {
        const QObject* pages[] = {form_.Panel1, form_.Panel2, form_.Panel3, form_.Panel4, form_.Panel6, form_.Panel8};
        return std::find(std::begin(pages), std::end(pages), watched) != std::end(pages);
    }

    static bool IsUserInput(QEvent::Type type) {
        switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::InputMethod:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletMove:
        case QEvent::TabletRelease:
            return true;
        default:
            return false;
        }
    }

    TForm1& form_;
    bool discarding_ = false;
    int pageSerial_ = 0;
    int pressSerial_ = 0;
    bool havePress_ = false;
    bool eatingClick_ = false;
    qint64 lastPressAt_ = 0;
    QPointF lastPressPos_;
};

std::optional<QString> TForm1::CatalogueText(const char* key) {
    if (auto value = LookupMessage(std::string_view(key))) return QString::fromLocal8Bit(*value);
    return std::nullopt;
}

TForm1::TForm1(InstanceGuard* guard, QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Wireless Access Point Utility"));
    setFixedSize(kClientWidth, kClientHeight);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    setAutoFillBackground(true);

    LIAPP_Timer = new QTimer(this);
    LIAPP_Timer->setObjectName(QStringLiteral("LIAPP_Timer"));
    LIAPP_Timer->setInterval(kBrowseDelayMs);
    LIAPP_Timer->setSingleShot(true);  // the handler disables it before browsing
    connect(LIAPP_Timer, &QTimer::timeout, this, &TForm1::LIAPP_TimerTimer);

    passwordStyle_ = new PasswordCharStyle(passwordChar_);
    passwordStyle_->setParent(this);

    // The font goes on first so that every label is sized for it.
    ApplyWindowFont();
    BuildHeader();
    BuildLoginPage();
    BuildStatusPages();
    BuildSetupPage();
    BuildSecurityPage();
    LoadPictures();
    // Names, SSIDs and catalogue texts come from outside: a label shows them
    // character for character, never as markup that could load a file.
    for (QLabel* label : findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
    // Only the login page is up until the window is shown.
    for (QWidget* page : {Panel2, Panel3, Panel4, Panel6, Panel8}) page->hide();
    inputGate_ = new InputGate(*this);
    qApp->installEventFilter(inputGate_);

    if (const QScreen* desktop = screen()) {
        move(desktop->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    }

    if (guard != nullptr && guard->Acquire() == InstanceGuard::Result::HeldByOther) {
        duplicate_ = true;
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Message"), QStringLiteral("Application is running."),
                        QMessageBox::Ok);
        box.setObjectName(QStringLiteral("DuplicateMessage"));
        box.exec();
    }
    FormCreate();
}

// The gate goes first: it looks at the pages, which go with the window.
TForm1::~TForm1() { delete inputGate_; }

void TForm1::BuildHeader() {
    Panel7 = new TPicturePanel(this);
    Panel7->setObjectName(QStringLiteral("Panel7"));
    Panel7->setGeometry(0, 0, kClientWidth, kHeaderHeight);

    Image1 = new QLabel(Panel7);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(0, 0, kClientWidth, kHeaderHeight);

    Label1 = new QLabel(QStringLiteral("AP's NAME"), Panel7);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(32, 85);
    Label1->adjustSize();

    ComboBox1 = new QComboBox(Panel7);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setGeometry(112, 79, 281, 22);
    ComboBox1->setEditable(false);
    ComboBox1->setAccessibleName(QStringLiteral("Access points"));
    connect(ComboBox1, qOverload<int>(&QComboBox::activated), this, &TForm1::ComboBox1Change);
    ComboBox1->installEventFilter(this);

    const struct {
        TImageButton** button;
        const char* name;
        const char* text;
        int x;
    } pageButtons[] = {
        {&BitBtn1, "BitBtn1", "Information", 149},
        {&BitBtn2, "BitBtn2", "Security", 217},
        {&BitBtn3, "BitBtn3", "About", 285},
    };
    for (const auto& b : pageButtons) {
        *b.button = new TImageButton(QString::fromLatin1(b.text), Panel7);
        (*b.button)->setObjectName(QString::fromLatin1(b.name));
        (*b.button)->setGeometry(b.x, 106, 67, 20);
    }
    connect(BitBtn1, &QPushButton::clicked, this, &TForm1::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TForm1::BitBtn2Click);
    connect(BitBtn3, &QPushButton::clicked, this, &TForm1::BitBtn3Click);

    AllModelLabel = new QLabel(QStringLiteral("All Model"), Panel7);
    AllModelLabel->setObjectName(QStringLiteral("AllModelLabel"));
    AllModelLabel->move(112, 24);
    AllModelLabel->adjustSize();
    AllModelLabel->hide();
}

void TForm1::LoadPictures() {
    const QPixmap banner = LoadArtwork(QStringLiteral("banner.bmp"));
    if (!banner.isNull()) {
        Image1->setPixmap(banner);
        // Over the dark part of the banner the window's grey would not read.
        QPalette p = AllModelLabel->palette();
        p.setColor(QPalette::WindowText, Qt::white);
        AllModelLabel->setPalette(p);
    }
    const QPixmap page = LoadArtwork(QStringLiteral("page.bmp"));
    for (TPicturePanel* panel : {Panel1, Panel2, Panel3, Panel4, Panel6, Panel8}) {
        panel->SetPicture(page, kHeaderHeight);
    }
    const QPixmap icon = LoadArtwork(QStringLiteral("field.bmp"));
    if (icon.isNull()) return;
    for (QLabel* image : {Image8, Image9, Image10, Image11, Image12, Image13, Image14, Image16, Image17}) {
        image->setPixmap(icon);
    }
}

// Reads "message.txt" from the current directory; without one there, the copy
// beside the program, then the one installed in the shared data folder.
bool TForm1::LoadCatalogue() {
    return LoadMessageCatalogueFromFolders(
        DataFolders(QFile::encodeName(QDir::currentPath()).toStdString(),
                    QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString()));
}

void TForm1::SetPasswordChar(QChar c) {
    passwordChar_ = c;
    static_cast<PasswordCharStyle*>(passwordStyle_)->SetChar(c);
    std::vector<QLineEdit*> fields{Edit1, Edit3, Edit4};
    fields.insert(fields.end(), MaskEdit.begin(), MaskEdit.end());
    for (QLineEdit* field : fields) {
        field->setStyle(passwordStyle_);
        field->setEchoMode(QLineEdit::Password);
        field->update();
    }
}

void TForm1::ApplyWindowFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    font.setPixelSize(11);
    setFont(font);
    QPalette palette = this->palette();
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(role, kFontColour);
    }
    // The window's face is the system's button face.
    palette.setColor(QPalette::Window, QGuiApplication::palette().color(QPalette::Button));
    setPalette(palette);
}

void TForm1::FormCreate() {
    ApplyWindowFont();
    LoadCatalogue();
    SetPasswordChar(QLatin1Char('*'));
    ApplyCatalogueTexts();
    KeepCatalogueTexts();
    LoadButtonImages();
    InitPacketDriver();
}

void TForm1::ApplyCatalogueTexts() {
    if (auto caption = CatalogueText("UTILITY_NAME")) setWindowTitle(*caption);
    const std::pair<const char*, QWidget*> table[] = {
        {"AP_NAME_TITLE", Label1},
        {"PASSWD_TITLE", Label2},
        {"AP_NAME_INFO", Label26},
        {"SSID_INFO", Label4},
        {"CHANNEL_INFO", Label5},
        {"IP_ADDRESS", Label6},
        {"SUBNET_MASK", Label41},
        {"DEFAULT_GATEWAY", Label48},
        {"SSID_INFO_CFG", Label7},
        {"CHANNEL_INFO_CFG", Label9},
        {"AP_NAME_INFO_CFG", Label18},
        {"NEW_PASSWD_INFO_CFG", Label10},
        {"CONFIRM_PASSWD_INFO_CFG", Label11},
        {"IP_ADDRESS", Label51},
        {"SUBNET_MASK", Label52},
        {"DEFAULT_GATEWAY", Label53},
        {"SECURITY_SEC", Label88},
        {"SEC_DESC_SEC", Label12},
        {"MAC_CONTROL_SEC", Label17},
        {"MAC_CONTROL_TABLE_SEC", Label85},
        {"PASSWORD_CHAR", nullptr},
        {"WEP_TITLE_SEC_CFG", Label35},
        {"MAC_TITLE_SEC_CFG", Label37},
        {"MAC_TABLE_SEC_CFG", Label43},
        {"TABLE_ADD_SEC_CFG", Label45},
        {"TABLE_MODIFY_SEC_CFG", Label46},
        {"TABLE_REMOVE_SEC_CFG", Label47},
        {"ENABLE_CONTROL_SEC_CFG", CheckBox3},
        {"WEP_DISABLE_SEC_CFG", RadioButton9},
        {"WEP_64BIT_SEC_CFG", RadioButton1},
        {"WEP_128_SEC_CFG", RadioButton4},
        {"KEY1_SEC_CFG", RadioButton5},
        {"KEY2_SEC_CFG", RadioButton6},
        {"KEY3_SEC_CFG", RadioButton7},
        {"KEY4_SEC_CFG", RadioButton8},
        {"ASCII", RadioButton10},
        {"HEX", RadioButton11},
        {"ENCRYPTION_STATUS", GroupBox3},
        {"KEY_FORMAT", GroupBox5},
        {"KEY_EDIT", GroupBox4},
        {"FW_VER", Label15},
        {"UTI_VER", Label20},
        {"FW_DATE_VER", Label16},
        {"UTI_DATE_VER", Label21},
    };
    for (const auto& [key, control] : table) {
        const auto text = CatalogueText(key);
        if (!text) continue;
        if (control != nullptr) {
            SetControlText(control, *text);
        } else if (!text->isEmpty() && text->at(0).isPrint()) {
            // The first character of "PASSWORD_CHAR" masks the password and key fields.
            SetPasswordChar(text->at(0));
        }
    }
    KeepValuesClearOfCaptions();
}

// The fixed places were laid out for a narrower font; a caption that came out
// wider (or a longer catalogue text) pushes the value beside it to the right
// instead of running under it.
void TForm1::KeepValuesClearOfCaptions() {
    constexpr int kGap = 6;
    const std::pair<QLabel*, QLabel*> rows[] = {
        {Label26, Label19}, {Label4, Label3},   {Label5, Label23},  {Label6, Label24},
        {Label41, Label49}, {Label48, Label50}, {Label12, Label25}, {Label15, Label30},
        {Label16, Label31}, {Label20, Label27}, {Label21, Label28},
    };
    for (const auto& [caption, value] : rows) {
        const int needed = caption->geometry().right() + 1 + kGap;
        if (value->x() < needed) value->move(needed, value->y());
    }
}

void TForm1::KeepCatalogueTexts() {
    const std::pair<const char*, QString KeptTexts::*> table[] = {
        {"INVALID_PASSWORD", &KeptTexts::invalidPassword},
        {"PASSWORD_MISMATCH", &KeptTexts::passwordMismatch},
        {"INVALID_WEP", &KeptTexts::invalidWep},
        {"CONNECTION_FAIL", &KeptTexts::connectionFail},
        {"AP_INFO_NOT_AVAILIBLE", &KeptTexts::apInfoNotAvailable},
        {"WEP_KEY_UNCOMPLETED", &KeptTexts::wepKeyUncompleted},
        {"IP_ERROR", &KeptTexts::ipError},
        {"MASK_ERROR", &KeptTexts::maskError},
        {"GW_ERROR", &KeptTexts::gwError},
        {"MAC_ERROR", &KeptTexts::macError},
        {"MAC_ACC_NO", &KeptTexts::macAccNo},
        {"MAC_ACC_ADDR", &KeptTexts::macAccAddr},
        {"MAC_LIMIT", &KeptTexts::macLimit},
        {"MAC_DUPLEX", &KeptTexts::macDuplex},
        {"BROWSE_AGAIN", &KeptTexts::browseAgain},
        {"DISABLED", &KeptTexts::disabled},
        {"WEP_64", &KeptTexts::wep64},
        {"WEP_128", &KeptTexts::wep128},
        {"WARNING_MSG", &KeptTexts::warningMsg},
    };
    for (const auto& [key, member] : table) kept.*member = CatalogueText(key).value_or(QString());
    // Added for the apply pages: a failed image write must never pass silently,
    // so this one has a built-in text when the catalogue lacks it.
    kept.writeFail =
        CatalogueText("WRITE_FAIL").value_or(QStringLiteral("The settings could not be written to the access point."));
    // Likewise for a text the image cannot hold: nothing was sent, so the
    // write failure's words would be wrong.
    kept.textNotStorable = CatalogueText("TEXT_NOT_STORABLE")
                               .value_or(QStringLiteral("A text holds a character the access point cannot store."));
}

void TForm1::LoadButtonImages() {
    const std::pair<TImageButton*, const char*> table[] = {
        {BitBtn1, "info.bmp"},    {BitBtn2, "security.bmp"}, {BitBtn3, "about.bmp"}, {BitBtn5, "LOGIN.bmp"},
        {BitBtn6, "exit.bmp"},    {BitBtn7, "setup.bmp"},    {BitBtn9, "setup.bmp"}, {BitBtn18, "cancel.bmp"},
        {BitBtn20, "cancel.bmp"}, {BitBtn19, "apply.bmp"},   {BitBtn8, "apply.bmp"},
    };
    for (const auto& [button, file] : table) button->LoadStrip(QString::fromLatin1(file), 4);
    // The table buttons of the MAC access tab carry small glyphs of their own.
    BitBtn15->LoadStrip(QStringLiteral("table_add.bmp"), 4);
    BitBtn16->LoadStrip(QStringLiteral("table_modify.bmp"), 4);
    BitBtn17->LoadStrip(QStringLiteral("table_remove.bmp"), 4);
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window coming back from the task bar is no new show.
    if (!event->spontaneous()) FormShow();
}

void TForm1::FormShow() {
    ShowLoginPage();
    LIAPP_Timer->start();
}

void TForm1::SetPageButtonsEnabled(bool enabled) {
    for (TImageButton* button : {BitBtn1, BitBtn2, BitBtn3}) button->setEnabled(enabled);
}

void TForm1::ShowLoginPage() {
    SetPageButtonsEnabled(false);
    Panel1->show();
    for (QWidget* page : {Panel2, Panel3, Panel4, Panel6, Panel8}) page->hide();
}

bool TForm1::FormKeyDown(QKeyEvent* event) {
    const Qt::KeyboardModifiers mods = event->modifiers();
    if (event->key() != Qt::Key_F4 || !(mods & Qt::ControlModifier) || !(mods & Qt::ShiftModifier)) return false;
    AllModelLabel->show();
    allModels = true;
    return true;
}

bool TForm1::ComboBox1KeyDown(QKeyEvent* event) { return FormKeyDown(event); }

void TForm1::keyPressEvent(QKeyEvent* event) {
    // Only the window's own focus counts here; Edit1 and ComboBox1 are watched
    // by the event filter, other controls do not take the chord.
    const QWidget* focus = focusWidget();
    if ((focus == nullptr || focus == this) && FormKeyDown(event)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (watched == Edit1) return FormKeyDown(key) || Edit1KeyPress(key);
        if (watched == ComboBox1) return ComboBox1KeyDown(key);
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::BitBtn1Click() {
    Panel2->show();
    Panel4->hide();
    Panel6->hide();
}

void TForm1::BitBtn2Click() {
    Panel4->show();
    Panel2->hide();
    Panel6->hide();
}

void TForm1::BitBtn3Click() {
    Panel6->show();
    Panel2->hide();
    Panel4->hide();
}

void TForm1::BitBtn6Click() { close(); }

void TForm1::ReturnToLogin() {
    // The device is busy taking its new settings; the window waits without
    // handling input, as a browse before it is done would not find it.
    if (returnPause != nullptr) {
        returnPause(kReturnPauseMs);
    } else {
        QThread::msleep(kReturnPauseMs);
    }
    // Clicks and keys given meanwhile were aimed at the page that goes away.
    inputGate_->DiscardPendingInput();
    Panel3->hide();
    Panel8->hide();
    Panel1->show();
    LIAPP_Timer->start();
}

void TForm1::ApplyEditedImage(const ConfigImage& edited) {
    configImage = edited;
    bool written = true;
    if (configImage != imageSnapshot) written = WriteDeviceImage();
    SendFinish(BLOCK_OP_FINISH);
    // Settings that did not reach the device must not look as if they had.
    if (!written) ShowMessageDialog(kept.writeFail);
    ReturnToLogin();
}

void TForm1::ShowMessageDialog(const QString& text) {
    lastMessage_ = text;
    ++messageCount_;
    if (TMessageForm* dialog = TMessageForm::Instance()) dialog->ShowMessage(text, this);
}

}  // namespace aputil
