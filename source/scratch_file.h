// Exclusive use of a scratch file name in the current working directory.
//
// The slide library writes preview and label images to fixed file names, so
// every reader of every process working in one directory shares them. While
// a ScratchFile is alive, no other ScratchFile of the same directory (in any
// thread or process) is, and a file of that name exists only if it was
// written after the ScratchFile was made: an earlier file is set aside, and
// put back when nothing new took its place.
#ifndef TQF_SCRATCH_FILE_H
#define TQF_SCRATCH_FILE_H

#include <string>

namespace tqfio {

class ScratchFile {
public:
    explicit ScratchFile(const char *name);
    ~ScratchFile();
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;

    // True when a file of the name exists now, that is, was written since
    // construction.
    bool written() const;

    struct Identity {
        unsigned long long device, inode, size;
        long long modified_s, modified_ns, changed_s, changed_ns;
        bool operator==(const Identity &o) const;
    };

private:
    std::string m_name;
    std::string m_setAside;  // where the earlier file waits; empty when there was none
    int m_directoryFd;       // holds the directory lock; -1 when the directory cannot be opened
    // An earlier file that could not be set aside (a directory we may not
    // write): a file counts as written only when it is not that one.
    bool m_stuck;
    Identity m_stuckIdentity;
};

}  // namespace tqfio

#endif  // TQF_SCRATCH_FILE_H
