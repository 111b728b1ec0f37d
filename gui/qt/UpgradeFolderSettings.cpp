#include "UpgradeFolderSettings.h"

#include <QFile>
#include <QSettings>
#include <QString>

namespace {

constexpr const char* kOrganisation = "Sorvel";
constexpr const char* kApplication = "Sorvel_User";
constexpr const char* kFolderKey = "upgradeFolder";

// Named explicitly rather than through the application object, which the program does not name.
QSettings ProgramSettings() {
    return QSettings(QString::fromLatin1(kOrganisation), QString::fromLatin1(kApplication));
}

} // namespace

std::string RememberedUpgradeFolder() {
    // Folder names are the system's bytes; QFile converts them as it does for every file name.
    const QString folder = ProgramSettings().value(QString::fromLatin1(kFolderKey)).toString();
    return QFile::encodeName(folder).toStdString();
}

void RememberUpgradeFolder(const std::string& folder) {
    ProgramSettings().setValue(QString::fromLatin1(kFolderKey),
                               QFile::decodeName(QByteArray::fromStdString(folder)));
}
