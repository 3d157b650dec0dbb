#include "Record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <streambuf>
#include <string>

#include "Output.h"
#include "Watch.h"

namespace moorwinch_tool {
namespace {

// Text to a descriptor, written out at every flush (watch flushes each line),
// so that a stop or a kill loses no line that was finished. A file being
// replaced is emptied only when its first line comes: a station that cannot be
// reached leaves it as it was.
class LineFile : public std::streambuf {
public:
    LineFile(int descriptor, bool replacing) : fd(descriptor), emptyFirst(replacing) {}

    int error() const { return failure; }
    std::size_t lines() const { return written; }

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) pending += traits_type::to_char_type(c);
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize n) override {
        pending.append(text, static_cast<std::size_t>(n));
        return n;
    }
    int sync() override {
        if (pending.empty()) return 0;
        if (emptyFirst && ::ftruncate(fd, 0) != 0) return fail(errno);
        emptyFirst = false;
        for (std::size_t done = 0; done < pending.size();) {
            const ssize_t n = ::write(fd, pending.data() + done, pending.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return fail(errno);
            done += static_cast<std::size_t>(n);
        }
        written += static_cast<std::size_t>(std::count(pending.begin(), pending.end(), '\n'));
        pending.clear();
        return 0;
    }

private:
    int fail(int error) {
        failure = error;
        pending.clear();
        return -1;
    }

    int fd;
    bool emptyFirst;
    std::string pending;
    int failure = 0;
    std::size_t written = 0;
};

}  // namespace

int record(const Invocation& inv, StationBackend& station, std::ostream&, std::ostream& err) {
    const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
    int fd = ::open(inv.output.c_str(), flags | O_CREAT | O_EXCL, 0666);
    const bool made = fd >= 0;
    if (!made && errno == EEXIST && inv.force) fd = ::open(inv.output.c_str(), flags);
    if (fd < 0) {
        const int e = errno;
        err << "moorwinch: " << inv.output << ": "
            << (e == EEXIST ? "the file exists; give --force to replace it" : std::strerror(e)) << "\n";
        return exitUsage;
    }
    struct stat kind;
    LineFile file(fd, !made && ::fstat(fd, &kind) == 0 && S_ISREG(kind.st_mode));
    std::ostream lines(&file);
    Invocation asJson = inv;
    asJson.json = true;
    int code;
    try {
        code = watch(asJson, station, lines, err);
    } catch (...) {
        ::close(fd);
        // A station that could not be reached leaves no empty recording behind.
        if (file.lines() == 0 && made) ::unlink(inv.output.c_str());
        throw;
    }
    const int closing = ::close(fd) == 0 ? 0 : errno;
    const int error = file.error() != 0 ? file.error() : closing;
    if (error != 0) {
        err << "moorwinch: " << inv.output << ": cannot write: " << std::strerror(error) << " (the "
            << counted(file.lines(), "sample") << " before are kept)\n";
        return exitStation;
    }
    if (file.lines() == 0 && !made)
        err << "moorwinch: nothing recorded; " << inv.output << " is left as it was\n";
    else
        err << "moorwinch: " << counted(file.lines(), "sample") << " recorded in " << inv.output << "\n";
    return code;
}

}  // namespace moorwinch_tool
