#include "engine/filesource.h"

#include "engine/platformfs.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <qpdf/FileInputSource.hh>
#endif

namespace batch {

#ifdef Q_OS_UNIX

namespace {

class PositionalFileSource : public InputSource
{
public:
    explicit PositionalFileSource(const std::string& name) : m_name(name)
    {
        m_fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            failSystem("open");
        struct stat status
        {};
        if (::fstat(m_fd, &status) != 0) {
            const int error = errno;
            ::close(m_fd);
            errno = error;
            failSystem("stat");
        }
        m_size = status.st_size;
    }
    ~PositionalFileSource() override { ::close(m_fd); }
    PositionalFileSource(const PositionalFileSource&) = delete;
    PositionalFileSource& operator=(const PositionalFileSource&) = delete;

    std::string const& getName() const override { return m_name; }
    qpdf_offset_t tell() override { return m_position; }
    void rewind() override { m_position = 0; }
    void unreadCh(char) override
    {
        if (m_position > 0)
            --m_position;
    }

    void seek(qpdf_offset_t offset, int whence) override
    {
        qpdf_offset_t target = offset;
        if (whence == SEEK_CUR)
            target += m_position;
        else if (whence == SEEK_END)
            target += m_size;
        if (target < 0)
            throw std::runtime_error(m_name + ": seek before the beginning of the file");
        m_position = target;
    }

    size_t read(char* target, size_t length) override
    {
        last_offset = m_position;
        size_t done = 0;
        while (done < length) {
            const size_t got = readAt(m_position, target + done, length - done);
            if (got == 0)
                break;
            done += got;
            m_position += qpdf_offset_t(got);
        }
        return done;
    }

    qpdf_offset_t findAndSkipNextEOL() override
    {
        // The offset of the first end-of-line byte; the position moves past
        // every \r and \n that follow it.
        qpdf_offset_t eol = -1;
        char byte = 0;
        while (readAt(m_position, &byte, 1) == 1) {
            const bool isEol = byte == '\r' || byte == '\n';
            if (eol < 0 && isEol)
                eol = m_position;
            else if (eol >= 0 && !isEol)
                return eol;
            ++m_position;
        }
        return eol >= 0 ? eol : m_position;
    }

private:
    static constexpr size_t windowSize = 65536;

    [[noreturn]] void failSystem(const char* what) const
    {
        throw std::runtime_error(m_name + ": " + what + " " + m_name + ": " + std::strerror(errno));
    }

    // Up to `length` bytes at `offset`, fewer only at the end of the file.
    size_t readAt(qpdf_offset_t offset, char* target, size_t length)
    {
        if (offset < m_windowStart || offset >= m_windowStart + qpdf_offset_t(m_windowLength)) {
            if (length >= windowSize)
                return readFile(offset, target, length);
            m_windowLength = readFile(offset, m_window.get(), windowSize);
            m_windowStart = offset;
            if (m_windowLength == 0)
                return 0;
        }
        const size_t from = size_t(offset - m_windowStart);
        const size_t count = std::min(length, m_windowLength - from);
        std::memcpy(target, m_window.get() + from, count);
        return count;
    }

    size_t readFile(qpdf_offset_t offset, char* target, size_t length)
    {
        for (;;) {
            const ssize_t got = ::pread(m_fd, target, length, offset);
            if (got >= 0)
                return size_t(got);
            if (errno != EINTR)
                failSystem("read");
        }
    }

    std::string m_name;
    int m_fd = -1;
    qpdf_offset_t m_size = 0;
    qpdf_offset_t m_position = 0;
    std::unique_ptr<char[]> m_window = std::make_unique<char[]>(windowSize);
    size_t m_windowLength = 0;
    qpdf_offset_t m_windowStart = 0;
};

} // namespace

std::shared_ptr<InputSource> openFileSource(const QString& absolutePath)
{
    return std::make_shared<PositionalFileSource>(QFile::encodeName(absolutePath).toStdString());
}

#else

std::shared_ptr<InputSource> openFileSource(const QString& absolutePath)
{
    auto source = std::make_shared<FileInputSource>();
    source->setFilename(libraryPath(absolutePath).constData());
    return source;
}

#endif

} // namespace batch
