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

std::string GetFileSystemName(const std::string& letter) {
    const TDriveQueries& q = DriveQueries();
    std::string name;
    if (!q.VolumeFileSystem || !q.VolumeFileSystem(letter + ":\\", name)) return {};
    // The platform's answer is a 32-character buffer up to its NUL.
    const auto nul = name.find('\0');
    if (nul != std::string::npos) name.resize(nul);
    if (name.size() > 31) name.resize(31);
    return name;
}

}  // namespace deruzera::platform
