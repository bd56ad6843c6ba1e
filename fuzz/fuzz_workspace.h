// A private scratch directory for one fuzzing process: inputs that must be
// files (slides are opened by path) are written there, and the process works
// in it so that preview and label scratch files land there too. It is
// removed with everything in it when the process exits normally.
#ifndef TQF_FUZZ_WORKSPACE_H
#define TQF_FUZZ_WORKSPACE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tqf::fuzz {

// The directory, made on first use under TQF_FUZZ_TMPDIR, /dev/shm or /tmp
// (a memory file system keeps the per-input writes cheap).
const std::string &workspace();

// Writes `size` bytes to `name` in the workspace, replacing the file, and
// returns its path. Aborts when the file cannot be written: the run would
// otherwise fuzz nothing.
std::string writeWorkspaceFile(const std::string &name, const uint8_t *data, size_t size);

// A file held in memory (memfd_create) under a name in the workspace: a
// symbolic link `name` to its /proc/self/fd path, so that the slide library
// opens it by a path with the name's extension like any other file, while
// each input costs no file system write. Made on first use per name; the
// contents are replaced by every call, and the returned path stays valid.
const std::string &memoryFile(const std::string &name, const uint8_t *data, size_t size);

// Gathers what the code under test writes to std::cerr (one system call a
// line, or a word, since the stream is unbuffered) and writes it out at once
// when flushDiagnostics is called, at the end of each input and before a
// broken promise aborts. Only a crashing input's own lines are lost (its
// replay shows them); C's stderr, which libFuzzer and the sanitizers
// report on, stays as it is.
void bufferDiagnostics();
void flushDiagnostics();

// Makes the workspace the current working directory.
void enterWorkspace();

// Removes every entry of the workspace but the directory itself.
void clearWorkspace();

// Sends the image library's temporary files (OPENCV_TEMP_PATH, TMPDIR) to a
// directory of their own and watches it. Call before the image library is
// first used: it reads the setting once.
void watchTemporaryFiles();

// Whether any file was made in that directory since the last call. Reading
// a slide must never write one (the slide API's private directories for
// associated images aside, as the reader's scratch images): the image
// library does so only for decoders of formats a slide does not hold.
bool temporaryFileWritten();

}  // namespace tqf::fuzz

#endif  // TQF_FUZZ_WORKSPACE_H
