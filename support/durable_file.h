#pragma once
// Small file-system services whose results must survive a crash or power loss. Each call that
// changes a file or a directory is reported to the io_seam observer (support/io_seam.h).
// One implementation per platform (durable_file_posix.cpp, durable_file_win.cpp).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

namespace durable {

// A file made new and written from its start, a piece at a time; closed when dropped.
class NewFile {
public:
    // Null when the file cannot be made; nameTaken, when given, tells whether something already
    // has that name (the file is never someone's file emptied). Not inherited by child processes.
    static std::unique_ptr<NewFile> Create(const std::filesystem::path& path, bool* nameTaken = nullptr);
    virtual ~NewFile() = default;
    // Appends all bytes; false when they could not all be written (disk full, a file-size limit).
    virtual bool Append(std::span<const std::uint8_t> bytes) = 0;
    // The file's data is on disk when this returns true.
    virtual bool Sync() = 0;
};

// An existing file that is not a regular file (a FIFO, a terminal, a character or block device)
// opened to be written as it stands: never created, emptied or renamed. Sync does nothing, since such
// a file has no data of its own on disk. A FIFO nobody reads fails at once rather than waiting for
// a reader. Null when it cannot be opened for writing (a socket, no permission).
std::unique_ptr<NewFile> OpenDevice(const std::filesystem::path& path);

// The standard stream `standardStream` (1 or 2) of this process, written from where it stands;
// path names it in the io_seam reports. Null when it cannot be duplicated.
std::unique_ptr<NewFile> OpenOwnOutput(const std::filesystem::path& path, int standardStream);

// What a write to a path lands on, symbolic links (reparse points on Windows) followed to the end.
struct WriteTarget {
    enum class Kind {
        Missing,   // nothing has the name (and it is no link): a new file is made there
        Regular,   // a regular file: path is the file itself, links resolved
        Directory, // refused
        Device,    // a FIFO, a terminal, a device: written in place through path
        Dangling,  // a link to nothing or a loop of links: refused, as cp refuses it
        // A regular file that is this process's own standard output or error ("/dev/stdout" behind a
        // shell's redirection): written through that stream, at its offset, never replaced. A new
        // file renamed over it would leave the shell's stream in the old, unlinked file, and an
        // appending redirection would lose what came before.
        OwnOutput,
    };
    Kind kind = Kind::Missing;
    std::filesystem::path path;
    int standardStream = -1; // OwnOutput: 1 (output) or 2 (error)
};
// Example: "out.mp3" -> a link to "/srv/music/a.mp3" gives {Regular, "/srv/music/a.mp3"}; "/dev/stdout"
// on a pipe gives {Device, "/dev/stdout"}.
WriteTarget ResolveWriteTarget(const std::filesystem::path& path);

// Flushes an existing file's data to disk.
bool SyncFile(const std::filesystem::path& path);

// Makes a rename or a removal inside the directory durable (a no-op where the platform has no need).
bool SyncDirectory(const std::filesystem::path& directory);

// Renames source over target in one atomic step.
bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target);

// Gives the file `existing` the second name `link`; false where the file system has no hard links.
bool LinkFile(const std::filesystem::path& existing, const std::filesystem::path& link);

// Removes the file's name; true when the name is gone, also when there was none.
bool RemoveFile(const std::filesystem::path& path);

// True when the file exists and the user may not write it (read-only attribute or permission).
bool IsReadOnly(const std::filesystem::path& path);

} // namespace durable
