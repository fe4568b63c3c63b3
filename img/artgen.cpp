// Draws the window's artwork into a folder: the button strips (faces side by
// side: normal, disabled, pressed, held down), the header banner, the page
// background that continues it, the field icon, the message dialog picture and
// the search animation strip. Run by the build; edit and rebuild to change the
// look. With --icons it draws the program's desktop icon instead, one PNG per
// size in the freedesktop "hicolor" theme layout (SIZExSIZE/apps/aputil.png).
//
//   aputil_artgen OUTPUT_DIR
//   aputil_artgen --icons OUTPUT_DIR

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <QString>

#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>

namespace {

// Colours of one button face.
struct FaceStyle {
    QColor top;
    QColor bottom;
    QColor border;
    QColor text;
    int shift = 0;  // caption offset of a pressed face
};

const FaceStyle kNormal{QColor(0xf6, 0xf9, 0xfd), QColor(0xc4, 0xd5, 0xea), QColor(0x4f, 0x75, 0xa8),
                        QColor(0x1d, 0x3d, 0x66), 0};
const FaceStyle kDisabled{QColor(0xf0, 0xf0, 0xf0), QColor(0xd8, 0xd8, 0xd8), QColor(0xa8, 0xa8, 0xa8),
                          QColor(0xa0, 0xa0, 0xa0), 0};
const FaceStyle kPressed{QColor(0x9f, 0xba, 0xdc), QColor(0xd9, 0xe5, 0xf3), QColor(0x2a, 0x50, 0x84),
                         QColor(0x10, 0x2a, 0x4c), 1};
const FaceStyle kHeld{QColor(0xff, 0xf6, 0xc6), QColor(0xf1, 0xcf, 0x55), QColor(0xa8, 0x84, 0x12),
                      QColor(0x55, 0x40, 0x00), 1};
const FaceStyle kYellow{QColor(0xff, 0xf8, 0xd2), QColor(0xf5, 0xd8, 0x6a), QColor(0xb0, 0x8c, 0x18),
                        QColor(0x5a, 0x44, 0x00), 0};
const FaceStyle kYellowDisabled{QColor(0xf4, 0xf0, 0xe0), QColor(0xdc, 0xd4, 0xb4), QColor(0xb4, 0xaa, 0x8c),
                                QColor(0xa8, 0x9e, 0x80), 0};
const FaceStyle kYellowPressed{QColor(0xe6, 0xc2, 0x3e), QColor(0xfb, 0xec, 0xa8), QColor(0x8c, 0x6c, 0x08),
                               QColor(0x48, 0x36, 0x00), 1};

const QColor kDeepBlue(0x16, 0x3f, 0x7a);
const QColor kMidBlue(0x3a, 0x78, 0xc2);
const QColor kPale(0xea, 0xf1, 0xf9);

QFont CaptionFont(int pixelSize, bool bold = true) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

using Glyph = std::function<void(QPainter&, const QRectF&, const QColor&)>;

void DrawFace(QPainter& p, const QRect& r, const FaceStyle& s, const QString& caption, const Glyph& glyph) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, s.top);
    g.setColorAt(1, s.bottom);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRect(r);
    p.setBrush(Qt::NoBrush);
    p.setPen(s.border);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    // A light inner edge, or a dark one when pressed, gives the face its depth.
    p.setPen(s.shift ? s.border.darker(115) : QColor(255, 255, 255, 170));
    p.drawLine(r.left() + 1, r.top() + 1, r.right() - 1, r.top() + 1);
    p.drawLine(r.left() + 1, r.top() + 1, r.left() + 1, r.bottom() - 1);
    const QRect inner = r.adjusted(2 + s.shift, 1 + s.shift, -2 + s.shift, -1 + s.shift);
    if (glyph) {
        glyph(p, QRectF(inner), s.text);
        return;
    }
    p.setFont(CaptionFont(r.height() >= 20 ? 11 : 10));
    if (&s == &kDisabled || &s == &kYellowDisabled) {
        p.setPen(QColor(255, 255, 255, 200));
        p.drawText(inner.translated(1, 1), Qt::AlignCenter, caption);
    }
    p.setPen(s.text);
    p.drawText(inner, Qt::AlignCenter, caption);
}

bool SaveStrip(const QString& dir, const QString& name, int faceWidth, int faceHeight,
               std::initializer_list<const FaceStyle*> faces, const QString& caption, const Glyph& glyph = {}) {
    QImage img(faceWidth * static_cast<int>(faces.size()), faceHeight, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    int i = 0;
    for (const FaceStyle* s : faces) {
        DrawFace(p, QRect(i * faceWidth, 0, faceWidth, faceHeight), *s, caption, glyph);
        ++i;
    }
    p.end();
    return img.save(dir + QLatin1Char('/') + name, "BMP");
}

bool SaveButton(const QString& dir, const QString& name, int w, int h, const QString& caption,
                const Glyph& glyph = {}) {
    return SaveStrip(dir, name, w, h, {&kNormal, &kDisabled, &kPressed, &kHeld}, caption, glyph);
}

bool SaveYellowButton(const QString& dir, const QString& name, int w, int h, const QString& caption) {
    return SaveStrip(dir, name, w, h, {&kYellow, &kYellowDisabled, &kYellowPressed}, caption);
}

// Radio waves spreading from a mast: the motif of the banner.
void DrawWaves(QPainter& p, QPointF centre, int rings, double spacing, QColor colour) {
    p.setBrush(Qt::NoBrush);
    for (int k = 1; k <= rings; ++k) {
        colour.setAlpha(std::max(30, 150 - k * 22));
        p.setPen(QPen(colour, 2.0));
        const double radius = spacing * k;
        const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
        p.drawArc(box, 30 * 16, 120 * 16);
    }
}

// The header's picture, also the top of the page background so that the
// pages continue it.
void DrawBanner(QPainter& p, int width) {
    QLinearGradient sky(0, 0, 0, 70);
    sky.setColorAt(0, kDeepBlue);
    sky.setColorAt(1, kMidBlue);
    p.fillRect(QRect(0, 0, width, 70), sky);

    p.setRenderHint(QPainter::Antialiasing, true);
    const QPointF mast(400, 60);
    DrawWaves(p, mast, 5, 11.0, QColor(255, 255, 255));
    p.setPen(QPen(QColor(255, 255, 255, 220), 3.0));
    p.drawLine(mast, mast + QPointF(0, -14));
    p.setBrush(QColor(255, 255, 255, 220));
    p.drawEllipse(mast + QPointF(0, -16), 3.5, 3.5);

    p.setPen(QColor(255, 255, 255));
    p.setFont(CaptionFont(20));
    p.drawText(QRect(24, 12, 330, 28), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Access Point Utility"));
    p.setFont(CaptionFont(11, false));
    p.setPen(QColor(0xd4, 0xe3, 0xf6));
    p.drawText(QRect(26, 42, 330, 16), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("802.11b wireless access point set-up"));
    p.setRenderHint(QPainter::Antialiasing, false);

    QLinearGradient band(0, 70, 0, 135);
    band.setColorAt(0, kPale);
    band.setColorAt(1, QColor(0xdc, 0xe7, 0xf4));
    p.fillRect(QRect(0, 70, width, 65), band);
    p.setPen(QColor(0xf2, 0xb8, 0x1d));
    p.drawLine(0, 70, width, 70);
    p.setPen(QColor(0xa9, 0xbf, 0xda));
    p.drawLine(0, 134, width, 134);
}

bool SaveBanner(const QString& dir) {
    QImage img(463, 135, QImage::Format_RGB32);
    QPainter p(&img);
    DrawBanner(p, img.width());
    p.end();
    return img.save(dir + QStringLiteral("/banner.bmp"), "BMP");
}

// Page background: 135 rows of banner, then the page area. The pages place it
// 135 pixels above their top edge, so only the part below the banner shows.
bool SavePage(const QString& dir) {
    QImage img(463, 135 + 309, QImage::Format_RGB32);
    QPainter p(&img);
    DrawBanner(p, img.width());
    QLinearGradient body(0, 135, 0, img.height());
    body.setColorAt(0, QColor(0xf7, 0xfa, 0xfd));
    body.setColorAt(1, QColor(0xdf, 0xe9, 0xf5));
    p.fillRect(QRect(0, 135, img.width(), img.height() - 135), body);
    p.setRenderHint(QPainter::Antialiasing, true);
    DrawWaves(p, QPointF(440, img.height() + 20), 7, 16.0, QColor(0x8c, 0xab, 0xd3));
    p.setPen(QColor(0xc9, 0xd8, 0xeb));
    p.drawLine(QPointF(24, 135 + 8), QPointF(439, 135 + 8));
    p.end();
    return img.save(dir + QStringLiteral("/page.bmp"), "BMP");
}

// The small marker left of the field labels.
bool SaveFieldIcon(const QString& dir) {
    QImage img(12, 12, QImage::Format_RGB32);
    img.fill(QColor(0xf7, 0xfa, 0xfd));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    QRadialGradient g(QPointF(4.5, 4.5), 7);
    g.setColorAt(0, QColor(0x8f, 0xbc, 0xf0));
    g.setColorAt(1, kDeepBlue);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(QRectF(1, 1, 10, 10));
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(4.5, 3.5), QPointF(8.5, 6), QPointF(4.5, 8.5)}));
    p.end();
    return img.save(dir + QStringLiteral("/field.bmp"), "BMP");
}

void DrawWarningTriangle(QPainter& p, const QRectF& box) {
    QPainterPath tri;
    tri.moveTo(box.center().x(), box.top());
    tri.lineTo(box.right(), box.bottom());
    tri.lineTo(box.left(), box.bottom());
    tri.closeSubpath();
    QLinearGradient g(box.topLeft(), box.bottomLeft());
    g.setColorAt(0, QColor(0xff, 0xe4, 0x5c));
    g.setColorAt(1, QColor(0xf0, 0xb4, 0x10));
    p.setBrush(g);
    p.setPen(QPen(QColor(0x8a, 0x62, 0x00), 1.5));
    p.drawPath(tri);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x30, 0x24, 0x00));
    const double cx = box.center().x();
    p.drawRoundedRect(QRectF(cx - 2, box.top() + box.height() * 0.32, 4, box.height() * 0.38), 1.5, 1.5);
    p.drawEllipse(QPointF(cx, box.bottom() - box.height() * 0.14), 2.3, 2.3);
}

// The message dialog's whole picture: panel, warning triangle, and the darker
// band with an OK button drawn where the dialog's button sits.
bool SaveMessagePicture(const QString& dir) {
    QImage img(198, 128, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient panel(0, 0, 0, 92);
    panel.setColorAt(0, QColor(0xfb, 0xfc, 0xfe));
    panel.setColorAt(1, QColor(0xe6, 0xee, 0xf7));
    p.fillRect(QRect(0, 0, 198, 92), panel);
    QLinearGradient band(0, 92, 0, 128);
    band.setColorAt(0, QColor(0xb9, 0xcc, 0xe4));
    band.setColorAt(1, QColor(0x95, 0xb0, 0xd4));
    p.fillRect(QRect(0, 92, 198, 36), band);
    p.setPen(QColor(0x7d, 0x9b, 0xc4));
    p.drawLine(0, 92, 197, 92);
    p.setRenderHint(QPainter::Antialiasing, true);
    DrawWarningTriangle(p, QRectF(9, 24, 32, 28));
    p.setRenderHint(QPainter::Antialiasing, false);
    DrawFace(p, QRect(64, 98, 67, 20), kNormal, QStringLiteral("OK"), {});
    p.end();
    return img.save(dir + QStringLiteral("/message.bmp"), "BMP");
}

// 29 frames of a magnifier circling over a folder, shown while a browse runs.
bool SaveSearchAnimation(const QString& dir) {
    constexpr int kFrames = 29;
    constexpr int kW = 80;
    constexpr int kH = 50;
    QImage img(kW * kFrames, kH, QImage::Format_RGB32);
    img.fill(QColor(0xf7, 0xfa, 0xfd));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    for (int f = 0; f < kFrames; ++f) {
        const double x0 = f * kW;
        // Folder.
        p.setPen(QPen(QColor(0x9a, 0x72, 0x10), 1.0));
        p.setBrush(QColor(0xf3, 0xc9, 0x4a));
        p.drawRect(QRectF(x0 + 14, 16, 34, 24));
        p.drawRect(QRectF(x0 + 14, 12, 13, 5));
        p.setBrush(QColor(0xfb, 0xdd, 0x7a));
        p.drawRect(QRectF(x0 + 14, 20, 34, 20));
        // Magnifier on an ellipse around the folder.
        const double a = 2.0 * std::numbers::pi * f / kFrames;
        const QPointF c(x0 + 40 + 20 * std::cos(a), 25 + 9 * std::sin(a));
        p.setPen(QPen(QColor(0x3a, 0x3a, 0x3a), 3.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(c + QPointF(6, 6), c + QPointF(13, 13));
        p.setPen(QPen(QColor(0x22, 0x44, 0x77), 2.0));
        p.setBrush(QColor(0xcf, 0xe6, 0xff, 170));
        p.drawEllipse(c, 7.5, 7.5);
    }
    p.end();
    return img.save(dir + QStringLiteral("/find.bmp"), "BMP");
}

void PlusGlyph(QPainter& p, const QRectF& r, const QColor& c) {
    p.setPen(QPen(c, 2.0));
    const QPointF m = r.center();
    p.drawLine(m + QPointF(-4, 0), m + QPointF(4, 0));
    p.drawLine(m + QPointF(0, -4), m + QPointF(0, 4));
}

void MinusGlyph(QPainter& p, const QRectF& r, const QColor& c) {
    p.setPen(QPen(c, 2.0));
    const QPointF m = r.center();
    p.drawLine(m + QPointF(-4, 0), m + QPointF(4, 0));
}

void PencilGlyph(QPainter& p, const QRectF& r, const QColor& c) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(c, 2.0, Qt::SolidLine, Qt::RoundCap));
    const QPointF m = r.center();
    p.drawLine(m + QPointF(-4, 4), m + QPointF(4, -4));
    p.setPen(QPen(c, 1.0));
    p.drawLine(m + QPointF(-5, 5), m + QPointF(-3, 5));
    p.setRenderHint(QPainter::Antialiasing, false);
}

// The desktop icon, drawn in a unit box so every size is drawn, not scaled: a
// blue tile with an access point (box, antenna, two radio arcs).
QImage DrawAppIcon(int size) {
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.scale(size / 64.0, size / 64.0);
    QLinearGradient tile(0, 2, 0, 62);
    tile.setColorAt(0, kMidBlue);
    tile.setColorAt(1, kDeepBlue);
    p.setPen(QPen(kDeepBlue.darker(130), 1.5));
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 11, 11);
    // Access point body with two lights.
    p.setPen(Qt::NoPen);
    p.setBrush(kPale);
    p.drawRoundedRect(QRectF(12, 40, 40, 12), 3, 3);
    p.setBrush(QColor(0x4c, 0xc3, 0x4c));
    p.drawEllipse(QPointF(20, 46), 2.5, 2.5);
    p.setBrush(QColor(0xf5, 0xb8, 0x20));
    p.drawEllipse(QPointF(28, 46), 2.5, 2.5);
    // Antenna and the waves it sends.
    p.setPen(QPen(kPale, 3.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(44, 40), QPointF(44, 22));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(36, 14, 16, 16), 30 * 16, 120 * 16);
    p.drawArc(QRectF(28, 6, 32, 32), 35 * 16, 110 * 16);
    p.end();
    return img;
}

bool SaveIcons(const QString& dir) {
    bool ok = true;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString folder = dir + QStringLiteral("/%1x%1/apps").arg(size);
        ok &= QDir().mkpath(folder) && DrawAppIcon(size).save(folder + QStringLiteral("/aputil.png"), "PNG");
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const bool icons = argc == 3 && QString::fromLocal8Bit(argv[1]) == QStringLiteral("--icons");
    if (argc != 2 && !icons) {
        std::fprintf(stderr, "usage: aputil_artgen [--icons] OUTPUT_DIR\n");
        return 2;
    }
    const char* target = argv[argc - 1];
    const QString dir = QString::fromLocal8Bit(target);
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "aputil_artgen: cannot create %s\n", target);
        return 1;
    }
    if (icons) {
        if (SaveIcons(dir)) return 0;
        std::fprintf(stderr, "aputil_artgen: could not write every icon into %s\n", target);
        return 1;
    }
    bool ok = true;
    ok &= SaveButton(dir, QStringLiteral("info.bmp"), 67, 20, QStringLiteral("INFO"));
    ok &= SaveYellowButton(dir, QStringLiteral("info_down_yellow.bmp"), 67, 20, QStringLiteral("INFO"));
    ok &= SaveButton(dir, QStringLiteral("security.bmp"), 67, 20, QStringLiteral("SECURITY"));
    ok &= SaveYellowButton(dir, QStringLiteral("security_down_yellow.bmp"), 67, 20, QStringLiteral("SECURITY"));
    ok &= SaveButton(dir, QStringLiteral("about.bmp"), 67, 20, QStringLiteral("ABOUT"));
    ok &= SaveButton(dir, QStringLiteral("LOGIN.bmp"), 66, 19, QStringLiteral("LOGIN"));
    ok &= SaveButton(dir, QStringLiteral("exit.bmp"), 66, 19, QStringLiteral("EXIT"));
    ok &= SaveButton(dir, QStringLiteral("setup.bmp"), 66, 20, QStringLiteral("SETUP"));
    ok &= SaveButton(dir, QStringLiteral("cancel.bmp"), 67, 19, QStringLiteral("CANCEL"));
    ok &= SaveButton(dir, QStringLiteral("apply.bmp"), 67, 19, QStringLiteral("APPLY"));
    ok &= SaveButton(dir, QStringLiteral("ok.bmp"), 68, 21, QStringLiteral("OK"));
    ok &= SaveButton(dir, QStringLiteral("table_add.bmp"), 22, 18, {}, PlusGlyph);
    ok &= SaveButton(dir, QStringLiteral("table_modify.bmp"), 22, 18, {}, PencilGlyph);
    ok &= SaveButton(dir, QStringLiteral("table_remove.bmp"), 22, 18, {}, MinusGlyph);
    ok &= SaveBanner(dir);
    ok &= SavePage(dir);
    ok &= SaveFieldIcon(dir);
    ok &= SaveMessagePicture(dir);
    ok &= SaveSearchAnimation(dir);
    if (!ok) {
        std::fprintf(stderr, "aputil_artgen: could not write every picture into %s\n", target);
        return 1;
    }
    return 0;
}
