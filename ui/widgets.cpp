#include "ui/widgets.h"

#include <QPainter>
#include <QPalette>

#include <cmath>
#include <numbers>

#include "app/gui/artwork.h"

namespace aputil {

TPicturePanel::TPicturePanel(QWidget* parent) : QWidget(parent) { setAutoFillBackground(true); }

void TPicturePanel::SetPicture(const QPixmap& picture, int offset) {
    picture_ = picture;
    offset_ = offset;
    update();
}

void TPicturePanel::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    if (picture_.isNull()) return;
    QPainter painter(this);
    painter.drawPixmap(0, -offset_, picture_);
}

namespace {
constexpr int kFrameIntervalMs = 60;
}

TAnimate::TAnimate(QWidget* parent, int frameWidth, int frameHeight) : QWidget(parent) {
    setFixedSize(frameWidth, frameHeight);
    timer_.setInterval(kFrameIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &TAnimate::Advance);
}

bool TAnimate::LoadClip(const QString& file, int frames) {
    const QPixmap clip = LoadArtwork(file);
    if (clip.isNull() || frames <= 0 || clip.width() < frames) {
        clip_ = QPixmap();
        frames_ = 0;
        return false;
    }
    clip_ = clip;
    frames_ = frames;
    return true;
}

void TAnimate::Play(int first, int last) {
    first_ = std::max(1, first);
    last_ = std::max(first_, last);
    frame_ = first_;
    timer_.start();
    update();
}

void TAnimate::Stop() { timer_.stop(); }

void TAnimate::Advance() {
    frame_ = frame_ >= last_ ? first_ : frame_ + 1;
    update();
}

void TAnimate::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (frames_ > 0 && frame_ <= frames_) {
        const int w = clip_.width() / frames_;
        painter.drawPixmap(QPoint((width() - w) / 2, (height() - clip_.height()) / 2), clip_,
                           QRect((frame_ - 1) * w, 0, w, clip_.height()));
        return;
    }
    // No clip: a dot going round, one position per frame.
    painter.setRenderHint(QPainter::Antialiasing, true);
    const double a = 2.0 * std::numbers::pi * (frame_ - first_) / std::max(1, last_ - first_ + 1);
    const QPointF centre(width() / 2.0, height() / 2.0);
    const double r = std::min(width(), height()) / 3.0;
    painter.setPen(QPen(palette().color(QPalette::Mid), 2.0));
    painter.drawEllipse(centre, r, r);
    painter.setBrush(palette().color(QPalette::Highlight));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(centre + QPointF(r * std::cos(a), r * std::sin(a)), 4.0, 4.0);
}

}  // namespace aputil
