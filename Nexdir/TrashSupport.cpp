#include "TrashSupport.h"

#include "Paths.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>

namespace quelmo::TrashSupport {

Destination destinationFor(const std::string& path, const std::string& homeTrash) {
    // The same choice QFile::moveToTrash makes, so that the confirmation names the Trash the
    // file then goes to: the home Trash for the home folder's file system, else the file's own.
    QStorageInfo disk(QFile::decodeName(QByteArray::fromStdString(path)));
    QStorageInfo home(QDir::home());
    if (!disk.isValid() || disk == home) {
        return {homeTrash, {}};
    }
    std::string top = QFile::encodeName(disk.rootPath()).toStdString();
    return {nexdir::volumeTrashFolder(top), top};
}

QString destinationNote(const Destination& destination) {
    if (destination.isHomeTrash()) {
        return {};
    }
    return "\n\nThis file is on another disk (" + QFile::decodeName(destination.diskTop.c_str()) +
           "): it goes to that disk's Trash, " + QFile::decodeName(destination.folder.c_str()) +
           ".";
}

std::optional<QString> moveToTrash(const std::string& path, const Destination& destination) {
    const QString failed = "Could not move to Trash: ";
    // QFile names files by text: a name whose bytes are not UTF-8 would reach it as another
    // name, which may be another file.
    QString name = QFile::decodeName(QByteArray::fromStdString(path));
    if (QFile::encodeName(name).toStdString() != path) {
        return failed + "its name is not valid UTF-8; move it with the file manager.";
    }
    if (auto problem = nexdir::prepareTrashFolder(destination.folder, destination.isHomeTrash())) {
        QString where = destination.isHomeTrash()
                            ? QString("your Trash cannot be used")
                            : "the disk it is on (" +
                                  QFile::decodeName(destination.diskTop.c_str()) +
                                  ") has no Trash this account can use";
        return failed + where + " (" + QFile::decodeName(problem->c_str()) +
               "). Nothing was moved.";
    }
    QFile file(name);
    if (!file.moveToTrash()) {
        return failed + file.errorString();
    }
    // After a move QFile names the file where it went.
    std::string moved = QFile::encodeName(file.fileName()).toStdString();
    if (!moved.starts_with('/') || !nexdir::isAtOrUnder(moved, destination.folder + "/files") ||
        moved == destination.folder + "/files") {
        return QString("Trash operation could not be confirmed. Refresh the results.");
    }
    return std::nullopt;
}

} // namespace quelmo::TrashSupport
