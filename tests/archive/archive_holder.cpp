// A second process for the lifecycle tests: holds an archive open while the test looks at it.
//
//   archive_holder <path> <read|readwrite|writeonly>
//
// Opens the archive at <path> ReadOnly, ReadWrite or WriteOnly, prints "opened" or "failed"
// on a line of its own, then waits for a line on its standard input (or its end) before it
// closes the archive and exits: 0 when the archive was opened, 1 when not, 2 on bad usage.

#include "Archive.h"

#include <QCoreApplication>
#include <QMap>

#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QMap<QString, QIODevice::OpenMode> modes{{"read", QIODevice::ReadOnly},
                                                   {"readwrite", QIODevice::ReadWrite},
                                                   {"writeonly", QIODevice::WriteOnly}};
    if (args.size() != 3 || !modes.contains(args[2])) {
        std::cerr << "usage: archive_holder <path> <read|readwrite|writeonly>\n";
        return 2;
    }
    Kest::Ar::Archive archive(args[1]);
    const bool opened = archive.open(modes[args[2]]);
    std::cout << (opened ? "opened" : "failed") << std::endl;
    std::string line;
    std::getline(std::cin, line);
    archive.close();
    return opened ? 0 : 1;
}
