#include "app/gui/message_form.h"

#include <QFontDatabase>
#include <QLabel>
#include <QScreen>

#include "app/catalogue.h"
#include "app/gui/artwork.h"
#include "app/gui/image_button.h"

namespace aputil {

namespace {

TMessageForm* theMessageForm = nullptr;

constexpr int kClientWidth = 198;
constexpr int kClientHeight = 128;

}  // namespace

TMessageForm::TMessageForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("MessageForm"));
    setWindowTitle(QStringLiteral("Warning"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setModal(true);
    setFixedSize(kClientWidth, kClientHeight);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(0, 0, kClientWidth, kClientHeight);
    Image1->setTextFormat(Qt::PlainText);
    const QPixmap picture = LoadArtwork(QStringLiteral("message.bmp"));
    if (!picture.isNull()) {
        Image1->setPixmap(picture);
    } else {
        // Without the picture the dialog still reads as one: a plain panel.
        Image1->setAutoFillBackground(true);
    }

    Label1 = new QLabel(QStringLiteral("Label1"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(48, 24, 145, 41);
    Label1->setFixedSize(145, 41);  // a long text is cut at the bottom edge; the dialog never grows
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label1->setWordWrap(true);
    Label1->setTextFormat(Qt::PlainText);  // catalogue texts are shown as written, never as markup
    Label1->setAttribute(Qt::WA_TranslucentBackground);

    BitBtn1 = new TImageButton(QStringLiteral("OK"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(64, 98, 67, 20);
    BitBtn1->LoadStrip(QStringLiteral("ok.bmp"), 4);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &TMessageForm::BitBtn1Click);

    theMessageForm = this;
    FormCreate();
}

TMessageForm::~TMessageForm() {
    if (theMessageForm == this) theMessageForm = nullptr;
}

TMessageForm* TMessageForm::Instance() { return theMessageForm; }

void TMessageForm::FormCreate() {
    setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
    if (const auto title = LookupMessage("MESSAGE_NAME")) setWindowTitle(QString::fromLocal8Bit(*title));
}

void TMessageForm::BitBtn1Click() { done(1); }

void TMessageForm::CentreOver(QWidget* over) {
    QRect area;
    if (over != nullptr && over->isVisible()) {
        area = over->frameGeometry();
    } else if (const QScreen* screen = this->screen()) {
        area = screen->availableGeometry();
    }
    if (area.isValid()) move(area.center() - QPoint(width() / 2, height() / 2));
}

void TMessageForm::ShowMessage(const QString& text, QWidget* over) {
    Label1->setText(text);
    CentreOver(over);
    BitBtn1->setFocus();
    emit Showing(text);
    exec();
}

}  // namespace aputil
