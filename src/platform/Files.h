// File plumbing shared by the writer, the startup configuration and the
// network settings: owners for descriptors and FILE streams, a write that
// finishes or fails, and an atomic replacement of a whole file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

namespace qva {

// Closed on every way out; close() is explicit where its result matters,
// since a failed close can mean the data never reached the medium.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();
    int get() const { return fd_; }
    bool close();

private:
    int fd_;
};

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FileOwner = std::unique_ptr<FILE, FileCloser>;

// Writes all size bytes (through short writes and interruptions) or fails.
bool writeAll(int fd, const void* data, size_t size);

// Replaces path with data through a temporary file in the same folder,
// fsync, rename and an fsync of the folder, so a power cut leaves either the
// old or the new content. On failure the old file is untouched.
bool replaceFileAtomically(const std::string& path, const void* data, size_t size);

// Removes the temporary files of replaceFileAtomically(path) that a process
// killed in the middle left behind; returns how many.
int removeLeftoverTemporaries(const std::string& path);

}  // namespace qva
