#include "slide_file.h"

#include "tqf_format.h"

namespace tqf::writer {

namespace {
// Appends are gathered to this size before they are written.
constexpr size_t kFlushSize = 4 * 1024 * 1024;
}  // namespace

bool SlideFile::fail() {
    m_error = m_file.error();
    m_file.discard();
    return false;
}

bool SlideFile::create(const std::string &targetPath) {
    m_pending.clear();
    m_pending.reserve(kFlushSize);
    m_size = 0;
    if (!m_file.create(targetPath))
        return fail();
    // Zeros stand for the header records until finish() writes them.
    m_pending.assign(static_cast<size_t>(format::kFirstDataPosition), 0);
    m_size = m_pending.size();
    return true;
}

bool SlideFile::flush() {
    if (m_pending.empty())
        return true;
    if (!m_file.append(m_pending.data(), m_pending.size()))
        return fail();
    m_pending.clear();
    return true;
}

bool SlideFile::append(const void *data, size_t size, uint64_t &position) {
    position = m_size;
    const auto *bytes = static_cast<const uint8_t *>(data);
    if (m_pending.size() + size > kFlushSize && !flush())
        return false;
    if (size >= kFlushSize) {
        if (!m_file.append(bytes, size))
            return fail();
    } else {
        m_pending.insert(m_pending.end(), bytes, bytes + size);
    }
    m_size += size;
    return true;
}

bool SlideFile::finish(const TQF_HEADER &header, const TQF_PREVIEW_HEADER &preview, const TQF_LABEL_HEADER &label,
                       const TQF_THUMBNAIL_HEADER &thumbnail) {
    if (!flush())
        return false;
    if (!m_file.writeAt(0, &header, sizeof header) ||
        !m_file.writeAt(static_cast<uint64_t>(header.previewPos), &preview, sizeof preview) ||
        !m_file.writeAt(static_cast<uint64_t>(header.labelPos), &label, sizeof label) ||
        !m_file.writeAt(static_cast<uint64_t>(header.thumbnailPos), &thumbnail, sizeof thumbnail) ||
        !m_file.commit(io::SiblingTempFile::Durability::kSyncedToDisk))
        return fail();
    return true;
}

}  // namespace tqf::writer
