#include "artwork.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace aputil {

QStringList ArtworkFolders() {
    QStringList folders{QDir::currentPath() + QStringLiteral("/img")};
    if (QCoreApplication::instance() != nullptr) {
        const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/img");
        if (!folders.contains(beside)) folders << beside;
    }
    return folders;
}

QString FindArtwork(const QString& name) {
    for (const QString& folder : ArtworkFolders()) {
        const QFileInfo file(folder + QLatin1Char('/') + name);
        if (file.isFile() && file.isReadable()) return file.filePath();
    }
    return {};
}

QPixmap LoadArtwork(const QString& name) {
    // A damaged file in the first folder does not hide a good one in the next.
    for (const QString& folder : ArtworkFolders()) {
        const QFileInfo file(folder + QLatin1Char('/') + name);
        if (!file.isFile()) continue;
        QPixmap picture(file.filePath());
        if (!picture.isNull()) return picture;
    }
    return {};
}

}  // namespace aputil
