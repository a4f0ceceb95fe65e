// The file systems of this machine as the place recovered files go.
#pragma once

#include "volume/Target.h"

namespace deruzera::platform {

// The local file systems. POSIX: every folder and file below an open folder
// is reached with the *at calls relative to its descriptor, never through a
// link (O_NOFOLLOW), files made only where nothing has their name (O_EXCL),
// sizes, times and renames through the descriptors. A link on the way to a
// chosen folder is followed only where the user or the administrator owns
// it. Windows: the same through handles, every folder and file opened by
// NtCreateFile relative to its folder's handle without following a
// reparse point (FILE_OPEN_REPARSE_POINT), files made only where nothing
// has their name (FILE_CREATE), sizes, times and renames through the
// handles; names Windows would take for a device ("con.txt"), a stream
// ("a:b") or another name ("name.") are refused with EINVAL. One object
// for the program, safe to use from several threads.
TTargetFileSystem& LocalFileSystem();

}  // namespace deruzera::platform
