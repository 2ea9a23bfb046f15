#include "clientdataroot.h"

#include "commands/utilsmodel.h"
#include "core/globals.h"

ClientDataRoot::ClientDataRoot() {
    Settings = settingsStruct();
    Session = sessionStruct();
    appSession = appSessionStruct();
    utils.setDirectories(QString());
    utils.createDirectories(QString());
}
