// A process that holds an archive open for writing, for kestar's tests of a locked archive.
//
//   kestar_lockholder ARCHIVE
//
// Opens ARCHIVE ReadWrite (which takes its write lock), prints "locked" or "failed" on a line
// of its own, then waits for a line on standard input (or its end) before it closes the
// archive. Exits 0 when the archive was held, 1 when it could not be opened, 2 on bad usage.

#include <KestArchive/Archive.h>

#include <QString>

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestar_lockholder ARCHIVE\n");
        return 2;
    }
    Kest::Ar::Archive archive(QString::fromLocal8Bit(argv[1]));
    const bool opened = archive.open(QIODevice::ReadWrite);
    std::cout << (opened ? "locked" : "failed") << std::endl;
    std::string line;
    std::getline(std::cin, line);
    archive.close();
    return opened ? 0 : 1;
}
