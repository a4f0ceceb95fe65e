// libntfs-3g's public headers expect the configure results of the library's
// own build. These are the ones that hold on glibc Linux.
#pragma once

#define HAVE_STDINT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_STDIO_H 1
#define HAVE_STDARG_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_PARAM_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_TIME_H 1
#define HAVE_ENDIAN_H 1
#define HAVE_BYTESWAP_H 1
#define HAVE_CLOCK_GETTIME 1
#define HAVE_GETTIMEOFDAY 1
#define HAVE_FFS 1
#define HAVE_STRSEP 1
#define HAVE_DAEMON 1
#define HAVE_REALPATH 1
#define HAVE_SETXATTR 1
#define HAVE_SYS_XATTR_H 1

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/bitmap.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/lcnalloc.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/volume.h>
}

// support.h defines these as macros, which breaks std::min and std::max.
#undef min
#undef max
