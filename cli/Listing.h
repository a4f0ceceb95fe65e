// The found files as the companion lists them on stdout: a table whose
// columns line up, held to the end of the scan, on a terminal; rows
// separated by tabs as the scan goes otherwise; one JSON object a line;
// CSV with a column for every JSON key; or The Sleuth Kit's body file, for
// a timeline with mactime. The window exports its list through the same
// writers.
#pragma once

#include <memory>
#include <string>

#include "Output.h"
#include "volume/Scan.h"

namespace deruzera::cli {

enum class TListFormat { Table, Json, Csv, Bodyfile };

// The format named on the command line ("table", "json", "csv",
// "bodyfile"); false for any other name.
bool ParseListFormat(const std::string& name, TListFormat& format);

class TFoundWriter {
public:
    // The writer for `format`, into `out`; a table lines up its columns
    // where stdout is a terminal. With `snapshots` (a scan with snapshots)
    // the table has a column SNAPSHOT: "-" for the live volume's files,
    // "K:2013-12-03T06:35:09Z" for a snapshot's. JSON rows of a snapshot's
    // files carry "snapshot" and "snapshot_created" whatever it says; CSV
    // gets those two columns with it. With `pass` (a deep scan or carving)
    // CSV gets the JSON rows' found_by and source_offset.
    static std::unique_ptr<TFoundWriter> Make(TListFormat format, TOutput& out, bool snapshots = false,
                                              bool pass = false);
    virtual ~TFoundWriter() = default;
    // A batch of found files, in the order the scan hands them over.
    virtual void Write(const TFoundBatch& batch) = 0;
    // After the last batch: what is held is written.
    virtual void Finish() = 0;
};

}  // namespace deruzera::cli
