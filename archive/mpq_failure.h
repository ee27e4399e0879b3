#pragma once
// Why an archive operation returned false. The window ignores it; the command line prints it.
// Each reason has a short stable English text, e.g. MpqFailure::Locked -> "locked".
#include <cstdint>
#include <functional>

enum class MpqFailure {
    None,
    NoArchive,       // no archive name, or no regular file under it
    Malformed,       // our check refused the archive or the stored file
    NotFound,        // the archive holds no such file
    BadArgument,     // not a usable path inside an archive, or data too large
    Locked,          // another operation kept the archive's lock past the bounded wait
    PendingRecovery, // an interrupted write could not be put right yet
    ForeignFile,     // a file that is not ours holds a name the operation needs
    Linked,          // the archive has other hard links, which compaction would split
    NotWritable,     // the archive or its directory cannot be written
    DiskFull,        // the disk or a file-size limit ran out
    WorkerDied,      // the archive worker crashed, exceeded its memory or went silent
    EngineFailed,    // the archive engine reported failure
    TooLarge,        // the stored file is larger than the caller reads (no game file comes near)
    DiskFile,        // the file on disk to copy to or from cannot be written or read
};

const char* MpqFailureText(MpqFailure failure);

// Progress of a long step (compaction, a large write or read): bytes done of total, total 0 when
// unknown. Called at least every 100 ms while an operation waits for the archive worker, so a
// window can repaint meanwhile; it must not start another archive operation.
using MpqProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;
