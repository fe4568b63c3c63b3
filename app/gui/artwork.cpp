#include "app/gui/artwork.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <string>

#include "app/data_folders.h"

namespace aputil {

QStringList ArtworkFolders() {
    const std::string programDir = QCoreApplication::instance() != nullptr
                                       ? QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString()
                                       : std::string();
    QStringList folders;
    for (const std::string& folder : DataFolders(QFile::encodeName(QDir::currentPath()).toStdString(), programDir)) {
        folders << QFile::decodeName(QByteArray::fromStdString(folder)) + QStringLiteral("/img");
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
