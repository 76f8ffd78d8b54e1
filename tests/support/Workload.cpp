#include "Workload.h"

#include "File.h"
#include "TestSupport.h"

namespace KestTest {

namespace {

void collect(Archive& archive, const QString& folder, Content& content)
{
    for (const Archive::EntryInfo& info : archive.entries(folder)) {
        const QString path =
            (folder == QLatin1String("/") ? folder : folder + QLatin1Char('/')) + info.name;
        if (info.isFolder) {
            content.insert(path, FolderMark);
            collect(archive, path, content);
        } else {
            content.insert(path, readMember(archive, path));
        }
    }
}

bool overwrite(Archive& archive, const QString& path, qint64 at, const QByteArray& bytes)
{
    Kest::Ar::File member(&archive, path);
    if (!member.open(QIODevice::ReadWrite) || !member.seek(at) ||
        member.write(bytes) != bytes.size())
        return false;
    member.close();
    return member.error() == Archive::Error::NoError;
}

bool cut(Archive& archive, const QString& path, qint64 at)
{
    Kest::Ar::File member(&archive, path);
    return member.open(QIODevice::ReadWrite) && member.seek(at) && member.truncate();
}

} // namespace

Content contentOf(Archive& archive)
{
    Content content;
    collect(archive, "/", content);
    return content;
}

// Blocks of 64 bytes, so that a few hundred bytes span several blocks and clusters.
Workload::Workload()
{
    const auto add = [this](std::function<bool(Archive&)> change,
                            std::function<void(Content&)> model) {
        steps_.append(Step{std::move(change), std::move(model)});
    };
    add(
        [](Archive& a) {
            return a.makeFolder("/docs") && a.makeFolder("/docs/sub") && a.writeBack();
        },
        [](Content& c) { c.insert("/docs", FolderMark), c.insert("/docs/sub", FolderMark); });
    for (int i = 0; i < 8; ++i) {
        const QString path = "/docs/m" + QString::number(i);
        const QByteArray bytes = patternBytes(20 + 37 * i, quint32(i));
        add([=](Archive& a) { return writeMember(a, path, bytes); },
            [=](Content& c) { c.insert(path, bytes); });
    }
    const QString five = "/docs/sub/five";
    add([=](Archive& a) { return writeMember(a, five, patternBytes(5 * 64, 99)); },
        [=](Content& c) { c.insert(five, patternBytes(5 * 64, 99)); });
    add([=](Archive& a) { return overwrite(a, five, 60, "across-a-boundary"); },
        [=](Content& c) { c[five].replace(60, 17, "across-a-boundary"); });
    add([=](Archive& a) { return cut(a, five, 150); }, [=](Content& c) { c[five].truncate(150); });
    add([](Archive& a) { return a.removeFile("/docs/m3"); },
        [](Content& c) { c.remove("/docs/m3"); });
    // One transaction across several members.
    add(
        [](Archive& a) {
            return a.beginTransaction() && writeMember(a, "/t1", patternBytes(200, 5)) &&
                   overwrite(a, "/docs/m7", 3, "TXN") && a.removeFile("/docs/m1") &&
                   a.makeFolder("/tf") && a.commit();
        },
        [](Content& c) {
            c.insert("/t1", patternBytes(200, 5));
            c["/docs/m7"].replace(3, 3, "TXN");
            c.remove("/docs/m1");
            c.insert("/tf", FolderMark);
        });
    add(
        [](Archive& a) {
            return a.makeFolder("/last") && (a.close(), a.error() == Archive::Error::NoError);
        },
        [](Content& c) { c.insert("/last", FolderMark); });

    contents_.append(Content{});
    for (const Step& step : std::as_const(steps_)) {
        Content next = contents_.last();
        step.model(next);
        contents_.append(next);
    }
}

int Workload::steps() const
{
    return int(steps_.size());
}

bool Workload::run(int i, Archive& archive) const
{
    return steps_.at(i).change(archive);
}

const Content& Workload::content(int i) const
{
    return contents_.at(i);
}

bool Workload::prepare(const QString& path, Archive::Durability durability)
{
    QFile::remove(path);
    QFile::remove(path + "-journal");
    Archive archive(path, 64);
    archive.setDurability(durability);
    archive.setApplicationVersion(Archive::Version(3, 2, 1));
    return archive.open(QIODevice::ReadWrite);
}

} // namespace KestTest
