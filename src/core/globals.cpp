#include "core/globals.h"

settingsStruct Settings;
sessionStruct Session;
appSessionStruct appSession;
const constantsStruct constants;
