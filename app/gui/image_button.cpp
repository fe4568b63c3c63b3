#include "app/gui/image_button.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

#include "app/gui/artwork.h"

namespace aputil {

TImageButton::TImageButton(const QString& fallbackText, QWidget* parent)
    : QPushButton(fallbackText, parent), fallbackText_(fallbackText) {
    setAccessibleName(fallbackText);
}

bool TImageButton::LoadStrip(const QString& file, int faces) { return SetStrip(LoadArtwork(file), faces, file); }

bool TImageButton::SetStrip(const QPixmap& strip, int faces, const QString& file) {
    if (strip.isNull() || faces < 3 || faces > 4 || strip.width() < faces) {
        ClearStrip();
        return false;
    }
    strip_ = strip;
    faces_ = faces;
    file_ = file;
    setText(QString());
    setFlat(true);
    update();
    return true;
}

void TImageButton::ClearStrip() {
    strip_ = QPixmap();
    faces_ = 0;
    file_.clear();
    setText(fallbackText_);
    setFlat(false);
    update();
}

TImageButton::Face TImageButton::CurrentFace() const {
    if (!isEnabled()) return FaceDisabled;
    if (isChecked()) return faces_ == 4 ? FaceHeld : FacePressed;
    if (isDown()) return FacePressed;
    return FaceNormal;
}

QPixmap TImageButton::FacePixmap(Face face) const {
    if (strip_.isNull() || static_cast<int>(face) >= faces_) return {};
    const int width = strip_.width() / faces_;
    return strip_.copy(static_cast<int>(face) * width, 0, width, strip_.height());
}

void TImageButton::paintEvent(QPaintEvent* event) {
    if (strip_.isNull()) {
        QPushButton::paintEvent(event);
        return;
    }
    QPainter painter(this);
    const QPixmap face = FacePixmap(CurrentFace());
    // Faces are drawn at their own size, centred: a pixel or two of difference
    // to the button is cut rather than blurred by scaling.
    const QPoint at((width() - face.width()) / 2, (height() - face.height()) / 2);
    painter.drawPixmap(at, face);
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect().adjusted(2, 2, -2, -2);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
}

}  // namespace aputil
