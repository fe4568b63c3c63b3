#pragma once
// Where the window's pictures come from: "img/<name>" under the current
// directory first, then beside the program, then in the installed shared data
// folder (app/data_folders.h), so that a copy run from its build tree or an
// installed one started from anywhere finds its artwork.

#include <QPixmap>
#include <QString>
#include <QStringList>

namespace aputil {

// Folders searched for "img/<name>", in order.
QStringList ArtworkFolders();
// The path of the first readable "img/<name>", or an empty string.
QString FindArtwork(const QString& name);
// The picture of the first of those files that reads as one, or a null pixmap.
QPixmap LoadArtwork(const QString& name);

}  // namespace aputil
