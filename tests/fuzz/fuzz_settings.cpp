// The settings file and the rights file as the server may replace them (setConfiguration,
// setRights) or a damaged disk may leave them, loaded the way the client starts: directories
// set up and created in a fresh data root, then the settings, the free settings and the rights.
//
// Input: the settings file, then optionally the byte 0x1E and the rights file.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>

#include "commands/utilsmodel.h"
#include "core/globals.h"
#include "core/settings.h"
#include "fuzzsupport.h"

namespace {

void writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        fuzzsupport::fail("cannot write an input file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzsupport::setUp();
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const int separator = input.indexOf('\x1e');
    // A fresh root each time: QSettings caches files by name and change time, and two inputs
    // written within the same millisecond would otherwise see each other's settings.
    const QTemporaryDir root;
    if (!root.isValid()) fuzzsupport::fail("no temporary directory");
    qputenv("QLT_DATA_ROOT", QFile::encodeName(root.path()));
    utils.setDirectories(QString());
    utils.createDirectories(QString());
    // Rejected values are logged; millions of log lines would only fill the disk.
    Session.dataLogLocation.clear();

    writeFile(dataRoot::settingsFile(Session), separator < 0 ? input : input.left(separator));
    const bool withRights = separator >= 0;
    if (withRights) writeFile(utils.rightsFilePath(), input.mid(separator + 1));

    Settings = settingsStruct();
    utils.loadSettings(false);
    if (Settings.restServerQt_port == 0 || Settings.POS_port == 0)
        fuzzsupport::fail("a port of 0 was loaded");
    if (!Settings.variousSettings.contains(QStringLiteral("diffPLU_Waiter_ID")) ||
        !Settings.variousSettings.contains(QStringLiteral("diffPLU_PluPK")))
        fuzzsupport::fail("a default free setting is missing");
    if (utils.loadRights(true) != withRights) fuzzsupport::fail("loadRights() result is wrong");
    utils.readFile(utils.rightsFilePath(), true);
    return 0;
}
