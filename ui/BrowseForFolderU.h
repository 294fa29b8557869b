#pragma once

#include <QString>

class QWidget;

// Asks the user for a folder of the file system and answers its path, or the empty string when
// the user cancelled. Title is the prompt; InitialFolder, when not empty, is preselected;
// AllowNewFolder offers the dialog's button for making a new folder.
QString BrowseForFolder(const QString& Title, const QString& InitialFolder, bool AllowNewFolder,
                        QWidget* Owner = nullptr);
