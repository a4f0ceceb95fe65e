// Recovery of one found file: re-read its record from the volume of the last
// scan, check it still describes a deleted file, decode its content, ask for
// a target and write the content there through a temporary file.
#include <filesystem>
#include <fstream>
#include <random>

#include "Log.h"
#include "Salvane.h"

namespace deruzera {
namespace {

constexpr std::size_t RecordFlags = 22;  // u16

// Writes the content to a temporary file beside `target` and renames it over
// the target once complete; the file that was there stays as it was on any
// failure. Returns the bytes written, or -1.
std::int64_t WriteRecoveredFile(TDevice& handle, const TFileContent& content, const std::string& target) {
    namespace fs = std::filesystem;
    const fs::path targetPath(target);
    if (targetPath.filename().empty()) return -1;
    std::random_device random;
    const fs::path temporary = targetPath.parent_path() /
                               ("." + targetPath.filename().string() + "." + std::to_string(random()) + ".deruzera-tmp");
    std::uint64_t written = 0;
    bool ok = true;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return -1;
        ReadFileContent(handle, content, [&](const std::uint8_t* bytes, std::uint64_t count) {
            if (!ok) return;
            if (bytes == nullptr) {
                // A hole stays a hole: the file system fills it with zeros.
                out.seekp(static_cast<std::streamoff>(count), std::ios::cur);
            } else {
                out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
            }
            if (out) written += count;
            else ok = false;
        });
        out.flush();
        ok = ok && static_cast<bool>(out);
    }
    std::error_code error;
    // A file that ends in a hole gets its full length.
    if (ok && std::filesystem::file_size(temporary, error) != written) fs::resize_file(temporary, written, error);
    ok = ok && !error;
    if (ok) fs::rename(temporary, targetPath, error);
    if (!ok || error) {
        fs::remove(temporary, error);
        return -1;
    }
    return static_cast<std::int64_t>(written);
}

}  // namespace

std::string SafeFileName(const std::string& name) {
    std::string safe = name;
    for (char& c : safe) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) c = '_';
    }
    if (safe == "." || safe == "..") safe.assign(safe.size(), '_');
    return safe;
}

void RecoverFile(TRecoveryHost& host) {
    const int row = host.Row();
    if (row < 1) return;
    // Row 1's first cell tells whether the grid holds results. A found file
    // whose name is empty shows as " " there too, and must not make every
    // row unrecoverable, so the list itself decides in that case.
    const TFoundFileList& found = host.FoundFiles();
    const std::string firstCell = host.FirstResultCell();
    const bool unnamedFirst = !found.empty() && found.front().FileName.empty();
    if ((firstCell.empty() || firstCell == " ") && !unnamedFirst) return;
    if (static_cast<std::size_t>(row - 1) >= found.size()) return;
    const std::int64_t offset = found[static_cast<std::size_t>(row - 1)].RecordOffset;

    LogMessage("Preparing for recovery", clBlack);
    const TVolume& volume = Volume;
    THandle handle = OpenVolume(volume.CurrentDrive);
    if (!handle) {
        LogMessage("Error: Invalid handle value", clRed);
        return;
    }
    TDynamicCharArray record = ReadFileRecord(*handle, offset, volume);
    try {
        FixupRecord(record);
    } catch (const ERecordError&) {
        LogMessage("Error during file recovery", clRed);
        return;
    }
    if (ReadU16(record, RecordFlags) != 0) {
        LogMessage("Error: The file seems no longer listed as deleted", clRed);
        return;
    }

    std::string name = "untitled.dat";
    const auto fileName = FindAttributeView(record, AttrFileName, true);
    if (!fileName.empty()) {
        name = FileNameOf(fileName);
        ResetPathCache(volume.RecordCount);
        const std::string path = GetDirectoryPath(ParentReferenceOf(fileName)) + "\\";
        LogMessage("File: " + name, clBlue);
        LogMessage("Path: " + path, clBlue);
    }

    TFileContent content;
    try {
        content = ExtractFileContent(record, volume);
    } catch (const ERecordError&) {
        LogMessage("Error during file recovery", clRed);
        return;
    }
    LogMessage("Data recovered", clGreen);

    const std::optional<std::string> target = host.AskTargetPath(SafeFileName(name));
    if (!target) {
        LogMessage("Recovery cancelled by user", clRed);
        return;
    }
    const std::int64_t written = WriteRecoveredFile(*handle, content, *target);
    if (written < 0) {
        LogMessage("Error: Unable to write the recovered file", clRed);
        return;
    }
    LogMessage("Recovered file written : " + std::filesystem::path(*target).filename().string() + " (" +
                   std::to_string(written) + " Bytes)",
               clBlue);
    LogMessage("File recovered", clGreen);
}

}  // namespace deruzera
