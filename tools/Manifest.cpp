#include "Manifest.h"

#include <fstream>
#include <sstream>

namespace deruzera {

std::vector<TManifestRow> ReadManifest(const std::string& path) {
    std::vector<TManifestRow> rows;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        TManifestRow row;
        std::string record, parent, size;
        std::getline(fields, row.State, '\t');
        std::getline(fields, row.Kind, '\t');
        std::getline(fields, record, '\t');
        std::getline(fields, parent, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, row.Sha256, '\t');
        std::getline(fields, row.Path);
        try {
            row.Record = std::stoll(record);
            row.Parent = std::stoll(parent);
            row.Size = std::stoll(size);
        } catch (const std::exception&) {
            continue;
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace deruzera
