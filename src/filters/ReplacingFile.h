// A new version of a file, written beside it and put in its place only when complete: a
// failed or interrupted write (full disk, power cut, a modem that stops answering halfway)
// leaves the old file as it was, or no file at all when there was none.
//
// The temporary file lies in the target's folder (a rename never crosses file systems) and is
// hidden (".name.XXXXXX"). An existing target keeps its permission bits; a symbolic link
// keeps pointing at the same file, which is the one replaced. An existing target that this
// process may not write is refused, as opening it for writing would be.
//
// Threads: one object per thread; nothing is shared.
#pragma once

#include <cstdio>
#include <string>

namespace kvx::filters {

class ReplacingFile {
  public:
    // Creates the temporary file; check isOpen(). Nothing is done to the target yet.
    explicit ReplacingFile(const std::string& target);
    // Removes the temporary file unless commit() put it in place.
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    bool isOpen() const { return stream_ != nullptr; }
    // The binary stream to write; owned by this object (never fclose it), null when not open.
    std::FILE* stream() const { return stream_; }

    // Flushes the data to the disk, closes the stream and renames the file over the target.
    // False, with the temporary file removed and the target untouched, when any write failed
    // or the rename did not happen.
    bool commit();
    // Drops what was written: the temporary file is removed, the target untouched.
    void discard();

    // The errno of the first failure (0 when none).
    int error() const { return error_; }

  private:
    void fail(int err);
    std::string target_;
    std::string temp_;
    std::FILE* stream_ = nullptr;
    int error_ = 0;
};

}  // namespace kvx::filters
