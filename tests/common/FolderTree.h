#pragma once

// A sorted picture of a folder tree, relative to its root: "name/" for
// folders, "name@" for links (never followed), and for files "name" followed
// by whatever describeFile says of them.

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QStringList>

template <typename DescribeFile>
QStringList FolderTree(const QString& root, DescribeFile describeFile)
{
    QStringList tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isSymLink())
            tree << relative + QLatin1Char('@');
        else if (it.fileInfo().isDir())
            tree << relative + QLatin1Char('/');
        else
            tree << relative + describeFile(path, it.fileInfo());
    }
    tree.sort();
    return tree;
}
