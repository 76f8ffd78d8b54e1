// kestar_lockholder ARCHIVE: opens ARCHIVE for writing (which takes its write lock), prints
// "locked" or "failed" on a line of its own, and holds it until a line (or the end) arrives
// on standard input. Exits 0 when the archive was held.

#include <KestArchive/Archive.h>

#include <iostream>
#include <string>

int main(int, char** argv)
{
    Kest::Ar::Archive archive(QString::fromLocal8Bit(argv[1]));
    const bool opened = archive.open(QIODevice::ReadWrite);
    std::cout << (opened ? "locked" : "failed") << std::endl;
    std::string line;
    std::getline(std::cin, line);
    return opened ? 0 : 1;
}
