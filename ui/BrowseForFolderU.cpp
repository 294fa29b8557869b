#include "ui/BrowseForFolderU.h"

#include <QFileDialog>
#include <QFileInfo>

QString BrowseForFolder(const QString& Title, const QString& InitialFolder, bool AllowNewFolder,
                        QWidget* Owner) {
    QFileDialog::Options options = QFileDialog::ShowDirsOnly;
    // A read-only dialog offers no button for making a new folder.
    if (!AllowNewFolder) options |= QFileDialog::ReadOnly;
    const QString chosen = QFileDialog::getExistingDirectory(Owner, Title, InitialFolder, options);
    if (chosen.isEmpty()) return {};
    // Only a folder of the file system is an answer (a portal may hand back something else).
    const QFileInfo info(chosen);
    if (!info.isDir()) return {};
    return info.absoluteFilePath();
}
