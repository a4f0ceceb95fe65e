// The drive queries in force and what is read through them, on every system.
#include "Drives.h"

namespace deruzera::platform {
namespace {

TDriveQueries& QueriesInForce() {
    static TDriveQueries queries = DriveMapQueries();
    return queries;
}

}  // namespace

const TDriveQueries& DriveQueries() { return QueriesInForce(); }

TDriveQueries SetDriveQueries(TDriveQueries queries) {
    TDriveQueries previous = std::move(QueriesInForce());
    QueriesInForce() = std::move(queries);
    return previous;
}

bool AskFileSystemName(const std::string& letter, std::string& name) {
    const TDriveQueries& q = DriveQueries();
    name.clear();
    if (!q.VolumeFileSystem || !q.VolumeFileSystem(letter + ":\\", name)) {
        name.clear();
        return false;
    }
    // The platform's answer is a 32-character buffer up to its NUL.
    const auto nul = name.find('\0');
    if (nul != std::string::npos) name.resize(nul);
    if (name.size() > 31) name.resize(31);
    return true;
}

std::string GetFileSystemName(const std::string& letter) {
    std::string name;
    AskFileSystemName(letter, name);
    return name;
}

}  // namespace deruzera::platform
