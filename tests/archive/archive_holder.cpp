// A second process for the lifecycle tests: holds an archive open while the test looks at it.
//
//   archive_holder <path> <read|readwrite|writeonly>
//
// Opens the archive at <path> ReadOnly, ReadWrite or WriteOnly, prints "opened" or "failed"
// on a line of its own, then waits for a line on its standard input (or its end) before it
// closes the archive and exits: 0 when the archive was opened, 1 when not, 2 on bad usage.

#include "Archive.h"

#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: archive_holder <path> <read|readwrite|writeonly>\n");
        return 2;
    }
    const QString mode = QString::fromLocal8Bit(argv[2]);
    QIODevice::OpenMode openMode;
    if (mode == QLatin1String("read"))
        openMode = QIODevice::ReadOnly;
    else if (mode == QLatin1String("readwrite"))
        openMode = QIODevice::ReadWrite;
    else if (mode == QLatin1String("writeonly"))
        openMode = QIODevice::WriteOnly;
    else
        return 2;

    Kest::Ar::Archive archive(QString::fromLocal8Bit(argv[1]));
    const bool opened = archive.open(openMode);
    std::cout << (opened ? "opened" : "failed") << std::endl;
    std::string line;
    std::getline(std::cin, line);
    archive.close();
    return opened ? 0 : 1;
}
