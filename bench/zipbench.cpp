// Unpacks one archive with the client's ZIP reader, as the command that installs archives
// does, so that a script can time it beside `unzip` on the same archive.
//
//   zipbench ARCHIVE DESTINATION
#include <QCoreApplication>
#include <cstdio>

#include "zipreader.h"

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: zipbench ARCHIVE DESTINATION\n");
        return 2;
    }
    const zip::ZipReader reader(args.at(1));
    if (reader.extractAll(args.at(2))) return 0;
    std::fprintf(stderr, "zipbench: %s\n", qPrintable(reader.errorString()));
    return 1;
}
